// Supervisor: runs start-up, installs the signal handlers, then makes one
// pass every 2000 ms until GB_EVENT_EXIT: modem bring-up while the link is
// down, start of any worker not yet started, keep-alive to the watchdog,
// and the state file's timed rewrite. The wait between passes ends at once
// on exit, so the process always ends about 3000 ms after it: workers are
// never joined; they get those 3000 ms to close what they own, and then the
// staging files that a transfer or a rewrite cut short by the exit may have
// left are removed. A state change or SIGUSR1 wakes the wait to rewrite the
// state file (here, never in a handler), and the wait then runs on to the
// pass's end, so keep-alives keep their pace.
#include "core/main.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <pthread.h>
#include <sys/msg.h>
#include <unistd.h>

#include "board/gsm.h"
#include "board/leds.h"
#include "core/common.h"
#include "core/endpoints.h"
#include "core/globals.h"
#include "core/status.h"
#include "core/log.h"
#include "link/tcpThread.h"
#include "serial/uart.h"
#include "serial/uartThread.h"

namespace {

constexpr int32_t MAIN_PASS_MS = 2000;
constexpr int32_t MAIN_EXIT_WAIT_MS = 3000;
constexpr int32_t MAIN_MODEM_PASSES = 9;   // open the modem after more passes than this
constexpr size_t MAIN_ALIVE_LEN = 9;       // "app-alive" without its NUL

const DataCallback s_tcpCallback = UART_WriteData;   // link thread → serial port
const DataCallback s_uartCallback = TCP_SendData;    // serial thread → server

struct MainThread {
    pthread_t GbVar::*handle;
    void *(*entry)(void *);
    const void *arg;
    size_t stackSize;
    const char *failMsg;
};

// The one place that lists the workers, in their start order.
const MainThread s_threads[] = {
    {&GbVar::ledThd, LED_Thread, nullptr, MAIN_STACK_LED, COMM_TAG("MAIN") ":create ledThd error \r"},
    {&GbVar::tcpThd, TCP_Thread, &s_tcpCallback, MAIN_STACK_TCP, COMM_TAG("MAIN") ":create tcpThd error \r"},
    {&GbVar::uartThd, UART_Thread, &s_uartCallback, MAIN_STACK_UART, COMM_TAG("MAIN") ":create uartThd error \r"},
};

// Starts one worker on a stack of its own size (never below the C
// library's minimum). pthread_create's result.
int mainStartThread(const MainThread &t, pthread_t *handle)
{
    size_t size = t.stackSize;
    if (size < (size_t)PTHREAD_STACK_MIN)
        size = (size_t)PTHREAD_STACK_MIN;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, size);
    int rc = pthread_create(handle, &attr, t.entry, const_cast<void *>(t.arg));
    pthread_attr_destroy(&attr);
    return rc;
}

// Every signal that asks the adapter to end takes the same orderly way.
void sigroutine(int sig)
{
    static const char msg[] = COMM_TAG("MAIN") ":Sigroutine **********\r\n";
    if (sig != SIGINT && sig != SIGTERM && sig != SIGHUP && sig != SIGQUIT)
        return;
    int saved = errno;
    // write() and a lock-free atomic or are all a handler may safely do.
    ssize_t rc = write(STDOUT_FILENO, msg, sizeof msg - 1);
    (void)rc;
    GB_SetEvent(GB_EVENT_EXIT);
    errno = saved;
}

// SIGUSR1: the state file and a summary line, written by the main thread.
void sigdump(int)
{
    int saved = errno;
    STATUS_AskDump();
    errno = saved;
}

void setSignals()
{
    struct sigaction sa = {};
    sa.sa_handler = sigroutine;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    // HUP too: procd and a closing terminal mean a restart or an end, never
    // an abrupt death that leaves staging files behind.
    static const int kEnding[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
    for (int sig : kEnding)
        sigaction(sig, &sa, nullptr);
    sa.sa_handler = sigdump;
    sigaction(SIGUSR1, &sa, nullptr);
    // Stray signals a shell or a script may send must not end the adapter.
    signal(SIGUSR2, SIG_IGN);
    signal(SIGALRM, SIG_IGN);
    // A send to a server that has gone must be an ordinary error.
    signal(SIGPIPE, SIG_IGN);
    // So must a write past a file-size limit (package download or chunks):
    // the upgrade fails and is answered, instead of the process dying.
    signal(SIGXFSZ, SIG_IGN);
}

void createThread()
{
    for (const MainThread &t : s_threads) {
        pthread_t &handle = g_gbVar.*t.handle;
        if (handle != GB_THREAD_NONE)
            continue;
        if (mainStartThread(t, &handle) != 0) {
            handle = GB_THREAD_NONE;
            puts(t.failMsg);
            continue;
        }
        // Never joined: a worker that returns early (the link thread after a
        // failed start) should give its stack back at once, not at exit.
        pthread_detach(handle);
    }
}

void sendMsg2Daemon()
{
    msgsnd(g_gbVar.msgId, &g_gbVar.aliveMsg, MAIN_ALIVE_LEN, IPC_NOWAIT);
}

void modemBringUp(int32_t *modemFd, int32_t *passCount)
{
    if (TCP_IsConnectServer() != 0 || *modemFd != -1 || *passCount <= MAIN_MODEM_PASSES)
        return;
    *modemFd = UART_Open(EP_Path(EP_PATH_MODEM), 9600, 8, 'N', 1);
    gsmEnableState(*modemFd);
    *passCount = 0;
}

// Sleeps until the next pass is due, or until GB_EVENT_EXIT; rewrites the
// state file whenever it is due at once in between, or, when it was put
// off (deferredMs, -1 none), once its gap has passed.
void mainWait(int32_t deferredMs)
{
    int64_t now = COMM_MonotonicMs();
    int64_t end = now + MAIN_PASS_MS;
    int64_t deferredAt = deferredMs >= 0 ? now + deferredMs : -1;
    for (;;) {
        now = COMM_MonotonicMs();
        int64_t left = end - now;
        if (left <= 0)
            return;
        bool byDeferral = deferredAt >= 0 && deferredAt - now < left;
        int64_t wait = byDeferral ? (deferredAt > now ? deferredAt - now : 0) : left;
        struct pollfd fds[2] = {{GB_ExitFd(), POLLIN, 0}, {STATUS_WakeFd(), POLLIN, 0}};
        int rc = COMM_PollMs(fds, 2, (int32_t)wait);
        if (rc < 0 || (rc == 0 && !byDeferral) || (rc > 0 && fds[0].revents != 0))
            return;
        int32_t d = STATUS_Service(rc > 0);
        deferredAt = d >= 0 ? COMM_MonotonicMs() + d : -1;
    }
}

// Removes every staging file (never a package or identity): a worker still
// inside a transfer or a rewrite when the process ends leaves one that
// nothing else would remove until the next start.
void mainRemoveStaging()
{
    for (int p = EP_PATH_STAGING_FIRST; p < EP_PATH_COUNT; p++)
        unlink(EP_Path((EpPath)p));
}

[[noreturn]] void mainExit(int32_t *modemFd)
{
    UART_Close(modemFd);
    puts(COMM_TAG("MAIN") ":exit -------------- \r");
    COMM_SleepMs(MAIN_EXIT_WAIT_MS);
    STATUS_Stopped();
    mainRemoveStaging();
    // After the workers' last failures.
    LOG_Flush();
    exit(0);
}

}  // namespace

void MAIN_Run()
{
    // Log lines must reach a pipe or the console as they happen, in order
    // with the handler's direct write.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int32_t modemFd = -1;
    int32_t passCount = 0;
    if (GB_Init() != 0) {
        puts(COMM_TAG("MAIN") ":GB_Init error \r");
        exit(0);
    }
    STATUS_Init();
    setSignals();
    // Before any worker exists: the link thread may set the LEDs as soon as
    // it runs, and nothing may paint the resting pattern over that later.
    LED_Init();
    while (!GB_TestEvent(GB_EVENT_EXIT)) {
        modemBringUp(&modemFd, &passCount);
        createThread();
        sendMsg2Daemon();
        int32_t deferred = STATUS_Service(false);
        LOG_Tick();
        mainWait(deferred);
        passCount++;
    }
    mainExit(&modemFd);
}
