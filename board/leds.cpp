// Status LEDs. Owns the two LED records (remembered state and brightness
// file) and the one pending flash request. Immediate events write the
// brightness file in the caller's thread; a flash is only recorded here and
// played out by LED_Thread, one step per 50 ms tick. The request is handed
// over without a lock on the reader's side: the parameters are stored first
// and g_ledEvent is published last with release; the LED thread reads
// g_ledEvent with acquire before it reads the parameters. While nothing is
// pending the thread does not tick: it waits on an eventfd for the next
// request (or at most LED_IDLE_WAIT_MS, to notice GB_EVENT_EXIT, which a
// signal handler sets).
#include "board/leds.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "core/common.h"
#include "core/endpoints.h"
#include "core/globals.h"

namespace {

constexpr int32_t LED_IDLE_WAIT_MS = 250;

struct LedCtrl {
    uint8_t ledId;
    std::atomic<uint8_t> ledState;  // 1 after "on" was last written, 0 after "off"
    EpPath path;
};

LedCtrl g_ledCtrl[LED_COUNT] = {
    {LED_DATA, {0}, EP_PATH_LED_DATA},
    {LED_ONLINE, {0}, EP_PATH_LED_ONLINE},
};

// Pending flash; g_ledEvent != 0 publishes the other four.
std::atomic<uint8_t> g_ledType{LED_COUNT};
std::atomic<uint8_t> g_ledEvent{0};
std::atomic<uint8_t> g_flashNum{0};
std::atomic<uint32_t> g_flashTimer{0};
std::atomic<uint8_t> g_finishEvent{0};
// Serialises arming, so two callers cannot mix their parameters. Never held
// while a file is written.
pthread_mutex_t g_armMutex = PTHREAD_MUTEX_INITIALIZER;
// Wakes the idle LED thread when a flash is armed: an eventfd, so a request
// made between the thread's check and its wait is not missed. Created once
// and kept for the life of the process, since requests may come at any time.
int g_wakeFd = -1;
pthread_once_t g_wakeOnce = PTHREAD_ONCE_INIT;

void ledInitWake() { g_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

uint32_t s_tick = 0;  // LED thread only; reset by a flip and by ledInit

// Writes what "echo 0" (on) or "echo 1" (off) would write. A failure is not
// reported: the remembered state follows the request regardless.
void ledWrite(uint8_t index, bool on)
{
    int fd = open(EP_Path(g_ledCtrl[index].path), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const char *text = on ? "0\n" : "1\n";
    ssize_t n;
    do {
        n = write(fd, text, 2);
    } while (n < 0 && errno == EINTR);
    close(fd);
}

void ledOn(uint8_t index)
{
    if (index >= LED_COUNT)
        return;
    g_ledCtrl[index].ledState.store(1, std::memory_order_relaxed);
    ledWrite(index, true);
}

void ledOff(uint8_t index)
{
    if (index >= LED_COUNT)
        return;
    g_ledCtrl[index].ledState.store(0, std::memory_order_relaxed);
    ledWrite(index, false);
}

void ledFlip(uint8_t index)
{
    if (index >= LED_COUNT)
        return;
    uint8_t was = g_ledCtrl[index].ledState.fetch_xor(1, std::memory_order_relaxed);
    ledWrite(index, was == 0);
}

void ledArmFlash(uint8_t ledType, uint8_t flashNum, uint32_t flashTimer, uint8_t finishEvent)
{
    pthread_once(&g_wakeOnce, ledInitWake);
    pthread_mutex_lock(&g_armMutex);
    if (g_ledEvent.load(std::memory_order_acquire) == 0) {
        g_ledType.store(ledType, std::memory_order_relaxed);
        g_flashNum.store(flashNum, std::memory_order_relaxed);
        g_flashTimer.store(flashTimer, std::memory_order_relaxed);
        g_finishEvent.store(finishEvent, std::memory_order_relaxed);
        g_ledEvent.store(LED_EVENT_FLASH, std::memory_order_release);
        if (g_wakeFd >= 0) {
            uint64_t one = 1;
            ssize_t n = write(g_wakeFd, &one, sizeof one);
            (void)n;  // already signalled when full
        }
    }
    pthread_mutex_unlock(&g_armMutex);
}

// Waits while no flash is pending, at most LED_IDLE_WAIT_MS (one tick when
// no eventfd could be made).
void ledWaitForRequest()
{
    if (g_wakeFd < 0) {
        COMM_SleepMs(LED_TICK_MS);
        return;
    }
    if (g_ledEvent.load(std::memory_order_acquire) == 0 && !GB_TestEvent(GB_EVENT_EXIT)) {
        struct pollfd p = {g_wakeFd, POLLIN, 0};
        poll(&p, 1, LED_IDLE_WAIT_MS);
    }
    uint64_t count;
    ssize_t n = read(g_wakeFd, &count, sizeof count);
    (void)n;
}

}  // namespace

void LED_SetLedEvent(uint8_t ledType, uint8_t ledEvent, uint8_t flashNum, uint32_t flashTimer,
                     uint8_t finishEvent)
{
    if (ledType >= LED_COUNT || ledEvent == 0 || ledEvent > LED_EVENT_FLASH)
        return;
    switch (ledEvent) {
    case LED_EVENT_ON:
        ledOn(ledType);
        break;
    case LED_EVENT_OFF:
        ledOff(ledType);
        break;
    case LED_EVENT_FLIP:
        ledFlip(ledType);
        break;
    default:
        ledArmFlash(ledType, flashNum, flashTimer, finishEvent);
        return;
    }
    // An immediate event cancels a pending flash without its final state.
    g_ledEvent.store(0, std::memory_order_release);
}

void ledInit()
{
    g_ledType.store(LED_COUNT, std::memory_order_relaxed);
    g_ledEvent.store(0, std::memory_order_release);
    s_tick = 0;
    ledOff(LED_DATA);
    ledOn(LED_ONLINE);
}

void ledExit()
{
    ledOff(LED_DATA);
    ledOn(LED_ONLINE);
}

void ledTick()
{
    if (g_ledEvent.load(std::memory_order_acquire) == 0)
        return;
    uint8_t type = g_ledType.load(std::memory_order_relaxed);
    uint8_t num = g_flashNum.load(std::memory_order_relaxed);
    if (num == 0) {
        if (g_finishEvent.load(std::memory_order_relaxed) == LED_EVENT_ON)
            ledOn(type);
        else
            ledOff(type);
        g_ledEvent.store(0, std::memory_order_release);
    } else if (s_tick < g_flashTimer.load(std::memory_order_relaxed)) {
        s_tick++;
    } else {
        s_tick = 0;
        g_flashNum.store((uint8_t)(num - 1), std::memory_order_relaxed);
        ledFlip(type);
    }
}

void *LED_Thread(void *)
{
    pthread_once(&g_wakeOnce, ledInitWake);
    ledInit();
    puts("[LED]:enter led thread...\r");
    while (!GB_TestEvent(GB_EVENT_EXIT)) {
        // An idle tick changes nothing (not even the tick counter), so
        // idle ticks are skipped; the first tick follows the request.
        if (g_ledEvent.load(std::memory_order_acquire) == 0) {
            ledWaitForRequest();
            continue;
        }
        ledTick();
        COMM_SleepMs(LED_TICK_MS);
    }
    ledExit();
    return nullptr;
}
