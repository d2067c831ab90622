// Serial bridge thread. Owns the user serial port: gathers bursts into a
// buffer behind a ten-byte data header and sends them up in place, answers
// local frames, and writes the server's data with the settings each message
// names, reopening the port when they change.
//
// Downlink: UART_WriteData (link thread) appends each data message to the
// hold, a bounded FIFO of messages with their settings, and wakes this
// thread, which writes them in arrival order; a message whose settings
// differ from the port's first lets what was written before it drain (it was
// meant for the old settings, and never for longer than a bound), then
// reopens the port. When nothing is held, the settings are the port's and
// the port takes the bytes at once, the link thread writes them itself, so
// a fast line costs no hand-over. A full hold refuses the message: the link
// keeps it, stops reading its socket (TCP then holds the server back) and
// offers it again once GB_RoomFd() says there is room. Nothing is lost to a
// slow or stalled device while the link is up.
//
// The hold, the descriptor as the link thread sees it and every write to the
// port are under one mutex. The port is non-blocking, so no write holds it
// for long, and no write can reach a closed or reused descriptor.
//
// Uplink: one poll waits on the port, the wake descriptor and the exit
// descriptor together and times the 0.1 s of silence that ends a burst, so a
// settings change or exit is seen at once whatever the device sends. A burst
// ends after 0.1 s of silence or 1014 bytes; while reads keep filling the
// buffer the thread reads on without a poll.
#include "serial/uartThread.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include "core/common.h"
#include "core/endpoints.h"
#include "core/globals.h"
#include "core/log.h"
#include "core/status.h"
#include "link/message.h"
#include "link/tcpThread.h"
#include "serial/uart.h"
#include "serial/upgrade.h"

namespace {

constexpr int32_t UART_SETTINGS_LEN = 4;
constexpr int32_t UART_OPEN_RETRY_MS = 1000;
constexpr int32_t UART_SILENCE_MS = 100;     // ends a burst
// The hold: a few full messages. More would only delay the moment TCP
// starts holding the server back, at the cost of RAM the router lacks; less
// would stall a fast line between two messages.
constexpr uint32_t UART_HOLD_BYTES = 4096;
constexpr uint32_t UART_HOLD_MSGS = 8;
// A write or a drain may take the line's time for its bytes with this much
// to spare (per cent, then milliseconds).
constexpr int32_t UART_BOUND_PERCENT = 125;
constexpr int32_t UART_BOUND_SLACK_MS = 1000;
// At exit, what the port still has to send gets this long.
constexpr int32_t UART_EXIT_DRAIN_MS = 1000;
// How often a stalled write or drain is looked at again.
constexpr int32_t UART_RECHECK_MS = 1000;
// Bound on an answer to a local frame (a few dozen bytes).
constexpr int32_t UART_ANSWER_TIMEOUT_MS = 2000;

const int32_t UART_BAUD_TABLE[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 9600};
const uint8_t UART_DATABITS_TABLE[] = {7, 8, 8};
const uint8_t UART_STOPBITS_TABLE[] = {1, 2, 1};
const char UART_PARITY_TABLE[] = "NOEE";

// The four settings indices, in the order of a data message's bytes 2..5,
// compared and copied as one 4-byte unit.
struct UartSettings {
    uint8_t baudRate;
    uint8_t dataBits;
    uint8_t stopBits;
    uint8_t parity;
};
static_assert(sizeof(UartSettings) == UART_SETTINGS_LEN, "settings are the 4 message bytes");

// 115200 bits per second, 8 data bits, 1 stop bit, no parity.
constexpr UartSettings uartDefaultConfig()
{
    return UartSettings{7, 1, 0, 0};
}

// One held message; its bytes are the next `len` bytes of the ring.
struct UartHeld {
    UartSettings settings;
    bool reopen;     // its settings differ from the ones before it
    bool reopened;   // ... and the port has them now
    bool started;    // some of its bytes are out already
    uint16_t len;    // bytes still to write
    uint16_t logLen; // bytes its log line reports when it is out
    int64_t arrivedMs; // when the link handed it over
    uint32_t link;     // the connection it came over (TCP_Generation)
};

// Under s_portMutex, shared by the two threads; the messages and their
// bytes are in g_holdMsgs and g_holdBytes.
struct UartHold {
    uint32_t msgHead;
    uint32_t msgCount;
    uint32_t byteHead;
    uint32_t byteCount;
    uint32_t reopens;     // held messages that still need a reopen
    bool refused;         // a message was turned away; tell the link of room
    int32_t fd;           // the port for writers; -1 while closed or reopening
    UartSettings current; // the settings the link last asked for
    int64_t headSince;    // monotonic ms the head message became the head
    bool givingUp;        // the head before this one was given up unwritten
};

pthread_mutex_t s_portMutex = PTHREAD_MUTEX_INITIALIZER;
// Static initialisation is the start state: the link thread may deliver data
// before this thread has run at all.
UartHold g_hold = {0, 0, 0, 0, 0, false, -1, uartDefaultConfig(), 0, false};
// Zero-filled, so they take no room in the daemon's file.
UartHeld g_holdMsgs[UART_HOLD_MSGS];
uint8_t g_holdBytes[UART_HOLD_BYTES];

// Serial thread only.
struct UartInfo {
    UartSettings applied;   // settings of the open port
    int32_t fd;             // the port, -1 when closed
    DataCallback callback;
    int32_t gathered;       // burst bytes in g_uartRecvBuf behind the header
    int64_t lastByteMs;     // when the burst last grew
    bool readOn;            // the last read filled the buffer: read again
    bool reopening;         // the head message's reopen has begun
    int64_t drainEndMs;     // when the old settings stop waiting for output
};
UartInfo g_uartInfo = {uartDefaultConfig(), -1, nullptr, 0, 0, false, false, 0};
uint8_t g_uartRecvBuf[MSG_MAX_LEN];  // burst and message

// Written after a message is held. Made before main() runs, as the link
// thread may hold data before this thread exists.
const int s_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

// An index beyond its table names no setting; the default entry is used, so
// the port stays in a sound raw mode the device most likely expects.
int32_t uartGetBaudRate(uint8_t i)
{
    return i < sizeof UART_BAUD_TABLE / sizeof UART_BAUD_TABLE[0] ? UART_BAUD_TABLE[i] : 115200;
}
int32_t uartGetDataBits(uint8_t i)
{
    return i < sizeof UART_DATABITS_TABLE ? UART_DATABITS_TABLE[i] : 8;
}
int32_t uartGetStopBits(uint8_t i)
{
    return i < sizeof UART_STOPBITS_TABLE ? UART_STOPBITS_TABLE[i] : 1;
}
char uartGetParity(uint8_t i)
{
    return i < sizeof UART_PARITY_TABLE - 1 ? UART_PARITY_TABLE[i] : 'N';
}

bool uartSameSettings(const UartSettings &a, const UartSettings &b)
{
    return memcmp(&a, &b, UART_SETTINGS_LEN) == 0;
}

// How long `bytes` may take on the line with settings s: the line's own
// time for them, with room to spare.
int32_t uartBoundMs(int32_t bytes, const UartSettings &s)
{
    int32_t ms = UART_LineMs(bytes, uartGetBaudRate(s.baudRate), uartGetDataBits(s.dataBits),
                             uartGetParity(s.parity), uartGetStopBits(s.stopBits));
    return ms / 100 * UART_BOUND_PERCENT + UART_BOUND_SLACK_MS;
}

void uartSignal(int fd)
{
    uint64_t one = 1;
    if (fd >= 0 && write(fd, &one, sizeof one) < 0) {
        // Already readable.
    }
}

void uartDrainWake()
{
    uint64_t n;
    if (s_wakeFd >= 0 && read(s_wakeFd, &n, sizeof n) < 0) {
        // Nothing to drain.
    }
}

// ---------------------------------------------------------------------------
// The hold (callers hold s_portMutex)

UartHeld *uartHead()
{
    return g_hold.msgCount > 0 ? &g_holdMsgs[g_hold.msgHead] : nullptr;
}

bool uartHoldHasRoom(int32_t len)
{
    return g_hold.msgCount < UART_HOLD_MSGS && g_hold.byteCount + (uint32_t)len <= UART_HOLD_BYTES;
}

void uartHoldPush(const UartSettings &s, bool reopen, const uint8_t *data, int32_t len, int32_t logLen,
                  bool started)
{
    UartHeld &m = g_holdMsgs[(g_hold.msgHead + g_hold.msgCount) % UART_HOLD_MSGS];
    int64_t since = TCP_HandOnSinceMs();
    m = UartHeld{s,           reopen, false, started, (uint16_t)len, (uint16_t)logLen,
                 since >= 0 ? since : COMM_MonotonicMs(), TCP_Generation()};
    uint32_t tail = (g_hold.byteHead + g_hold.byteCount) % UART_HOLD_BYTES;
    uint32_t first = UART_HOLD_BYTES - tail < (uint32_t)len ? UART_HOLD_BYTES - tail : (uint32_t)len;
    if (first > 0)
        memcpy(g_holdBytes + tail, data, first);
    if ((uint32_t)len > first)
        memcpy(g_holdBytes, data + first, (uint32_t)len - first);
    g_hold.byteCount += (uint32_t)len;
    STATUS_Held(g_hold.byteCount);
    if (g_hold.msgCount++ == 0)
        g_hold.headSince = COMM_MonotonicMs();
    if (reopen)
        g_hold.reopens++;
}

// Writes what the port takes now of the head message's bytes: the count, or
// -1 when the port failed (0: it takes nothing now).
int32_t uartHoldWrite(UartHeld *m)
{
    uint32_t first = UART_HOLD_BYTES - g_hold.byteHead;
    if (first > m->len)
        first = m->len;
    ssize_t n = write(g_hold.fd, g_holdBytes + g_hold.byteHead, first);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    m->len = (uint16_t)(m->len - n);
    m->started = true;
    g_hold.givingUp = false;
    g_hold.byteHead = (g_hold.byteHead + (uint32_t)n) % UART_HOLD_BYTES;
    g_hold.byteCount -= (uint32_t)n;
    STATUS_Held(g_hold.byteCount);
    return (int32_t)n;
}

// Forgets the head message (its bytes are out or given up); true when the
// link should hear that there is room again.
bool uartHoldPop()
{
    UartHeld *m = uartHead();
    g_hold.byteHead = (g_hold.byteHead + m->len) % UART_HOLD_BYTES;
    g_hold.byteCount -= m->len;
    STATUS_Held(g_hold.byteCount);
    g_hold.msgHead = (g_hold.msgHead + 1) % UART_HOLD_MSGS;
    g_hold.msgCount--;
    g_hold.headSince = COMM_MonotonicMs();
    bool tell = g_hold.refused;
    g_hold.refused = false;
    return tell;
}

// ---------------------------------------------------------------------------
// The port (serial thread)

int32_t uartOpen()
{
    const UartSettings &s = g_uartInfo.applied;
    int32_t fd = UART_Open(EP_Path(EP_PATH_SERIAL), uartGetBaudRate(s.baudRate), uartGetDataBits(s.dataBits),
                           uartGetParity(s.parity), uartGetStopBits(s.stopBits));
    if (fd == -1) {
        int err = errno;
        STATUS_Error(err, "open the serial port %s", EP_Path(EP_PATH_SERIAL));
        STATUS_SerialState(err == ENOENT || err == ENODEV || err == ENXIO ? STATUS_SERIAL_MISSING
                                                                          : STATUS_SERIAL_ERROR);
    } else {
        STATUS_SerialState(STATUS_SERIAL_OPEN);
    }
    STATUS_Serial(uartGetBaudRate(s.baudRate), uartGetDataBits(s.dataBits), uartGetParity(s.parity),
                  uartGetStopBits(s.stopBits));
    // Non-blocking: the thread times silence itself, and a write never
    // waits with the port's mutex held.
    if (fd != -1)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

void uartPublishFd(int32_t fd)
{
    g_uartInfo.fd = fd;
    pthread_mutex_lock(&s_portMutex);
    g_hold.fd = fd;
    pthread_mutex_unlock(&s_portMutex);
}

// Milliseconds the port needs to send what it holds (at least 10, at most
// a recheck's worth), or 0 when it holds nothing.
int32_t uartOutputMs(int32_t fd)
{
    int32_t left = UART_OutQueue(fd);
    if (left == 0)
        return 0;
    int32_t ms = uartBoundMs(left, g_uartInfo.applied) - UART_BOUND_SLACK_MS;
    return ms < 10 ? 10 : ms > UART_RECHECK_MS ? UART_RECHECK_MS : ms;
}

// Waits, for at most waitMs, until the port has sent what it was given;
// then lets the last characters leave the UART, or, when the wait ran out,
// discards the rest so that closing cannot hang on it.
void uartDrainOutput(int32_t fd, int32_t waitMs)
{
    int64_t end = COMM_MonotonicMs() + waitMs;
    for (int32_t step; (step = uartOutputMs(fd)) > 0 && COMM_MonotonicMs() < end;)
        COMM_SleepMs(step);
    if (UART_OutQueue(fd) > 0)
        tcflush(fd, TCOFLUSH);
    else
        tcdrain(fd);
}

// Takes the port from the link, closes it; output is left as it stands.
void uartClosePort()
{
    int32_t fd = g_uartInfo.fd;
    uartPublishFd(-1);
    UART_Close(&fd);
}

// Serial thread: reads what the port has into the burst. 1 bytes came, 0
// nothing now, -1 the port has gone (hung up, failed).
int32_t uartReadMore()
{
    int32_t room = MSG_DATA_MAX - g_uartInfo.gathered;
    if (room == 0)
        return 0;
    errno = 0;   // stays 0 when the line has hung up
    ssize_t n = read(g_uartInfo.fd, g_uartRecvBuf + MSG_DATA_HEAD_LEN + g_uartInfo.gathered, (size_t)room);
    if (n > 0) {
        g_uartInfo.gathered += (int32_t)n;
        g_uartInfo.lastByteMs = COMM_MonotonicMs();
        g_uartInfo.readOn = n == room;
        return 1;
    }
    g_uartInfo.readOn = false;
    return n < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

void uartWriteAnswer(const uint8_t *buf, int32_t len)
{
    pthread_mutex_lock(&s_portMutex);
    // Never inside a message the device is half-way through.
    UartHeld *m = uartHead();
    if (m != nullptr && m->started && m->len > 0) {
        int64_t end = COMM_MonotonicMs() + UART_ANSWER_TIMEOUT_MS;
        while (m->len > 0 && COMM_MonotonicMs() < end) {
            if (uartHoldWrite(m) < 0)
                break;
            struct pollfd p = {g_hold.fd, POLLOUT, 0};
            if (m->len > 0)
                COMM_PollMs(&p, 1, 50);
        }
    }
    UART_WriteAll(g_hold.fd, buf, len, UART_ANSWER_TIMEOUT_MS);
    pthread_mutex_unlock(&s_portMutex);
}

// A whole burst: a local frame is carried out and answered, anything else
// goes up as one data message.
void uartProcessBurst()
{
    uint8_t *buf = g_uartRecvBuf;
    int32_t count = g_uartInfo.gathered;
    g_uartInfo.gathered = 0;
    COMM_PutLe32(buf + MSG_OFF_DATALEN, (uint32_t)count);
    LOG_Routinef("[UART]:read data %d\r\n", count);
    uint8_t *burst = buf + MSG_DATA_HEAD_LEN;
    // Frames are checked against the whole cleared rest of the buffer: a
    // frame claiming more than arrived is read against zero bytes.
    memset(burst + count, 0, (size_t)(MSG_DATA_MAX - count));
    int32_t len = 0;
    if (UPGRADE_IsValid(burst, MSG_DATA_MAX) && !EP_LocalUpgrade()) {
        // The maker takes packages only from where they are signed.
        UPGRADE_BuildRefusal(burst, buf, &len);
        uartWriteAnswer(buf, len);
    } else if (UPGRADE_IsValid(burst, MSG_DATA_MAX)) {
        UPGRADE_SaveData(burst);
        UPGRADE_BuildResp(buf, &len);
        uartWriteAnswer(buf, len);
        if (UPGRADE_IsComplete())
            GB_SetEvent(GB_EVENT_EXIT);
    } else if (DEVINFO_IsValid(burst, MSG_DATA_MAX)) {
        DEVINFO_BuildResp(buf, &len);
        uartWriteAnswer(buf, len);
    } else {
        MSG_SetHead(buf, MSG_CMD_UART_DATA);
        memset(buf + MSG_OFF_SETTINGS, 0, UART_SETTINGS_LEN);
        if (g_uartInfo.callback != nullptr)
            g_uartInfo.callback(buf, count + MSG_DATA_HEAD_LEN);
    }
}

// ---------------------------------------------------------------------------
// Downlink (serial thread)

// What the pass waits for on behalf of the held messages.
struct UartPlan {
    bool writable;     // the port taking bytes
    int32_t timeoutMs; // -1: no time limit
};

// The head message's reopen: first the old settings' output drains (the
// passes wait for it, reading on), then the port opens with the new ones.
// 0 once the port has them, else how long to wait before looking again.
int32_t uartReopen(const UartSettings &want)
{
    int64_t now = COMM_MonotonicMs();
    if (!g_uartInfo.reopening) {
        g_uartInfo.reopening = true;
        printf("[UART]:uart event :0x%02x, [%d]\r\n", GB_Events(), COMM_GetSystemMS());
        g_uartInfo.drainEndMs = now + uartBoundMs(UART_OutQueue(g_uartInfo.fd), g_uartInfo.applied);
    }
    int32_t wait = g_uartInfo.fd != -1 ? uartOutputMs(g_uartInfo.fd) : 0;
    if (wait > 0 && now < g_uartInfo.drainEndMs)
        return wait;
    if (g_uartInfo.fd != -1) {
        uartDrainOutput(g_uartInfo.fd, 0);
        // What the device has sent is read before the reopen discards it.
        while (uartReadMore() > 0) {
            if (g_uartInfo.gathered == MSG_DATA_MAX)
                uartProcessBurst();
        }
        uartClosePort();
    }
    g_uartInfo.reopening = false;
    g_uartInfo.applied = want;
    int32_t fd = uartOpen();
    uartPublishFd(fd);
    printf("[UART]:uartOpen1 fd: %d, [%d]\r\n", fd, COMM_GetSystemMS());
    return 0;
}

// Ends the head message (written, or given up): logs the bytes that went
// out, lets the link know of room. Called and returns with the mutex held.
void uartHeadDone()
{
    UartHeld done = *uartHead();
    bool tell = uartHoldPop();
    if (done.reopen && --g_hold.reopens == 0)
        GB_ClearEvent(GB_EVENT_UART_CONFIG);
    pthread_mutex_unlock(&s_portMutex);
    int32_t written = done.logLen - done.len;
    if (!done.reopen)
        LOG_Routinef("[UART]:write to uart %d \r\n", written);
    else if (done.logLen > 0)
        printf("[UART]:uart write:%d, [%d]\r\n", written, COMM_GetSystemMS());
    if (done.len > 0) {
        // Only a message given up ends with bytes still to write.
        printf("[UART]:gave up %d bytes held for the port\r\n", (int)done.len);
        TCP_NoteGivenUp(1);
    }
    if (tell)
        uartSignal(GB_RoomFd());
    pthread_mutex_lock(&s_portMutex);
}

// A head message the port is not taking: nothing of the current connection
// is given up while it is up (TCP holds the server back instead); without
// a link, or when it came over a connection that has since broken, one that
// has had its line time and more since it became the head, and has waited
// the link's silence limit since it came, is (a reconnect takes a second or
// two, and the server sent it for good). The plan: when to look again.
// Mutex held.
// Once one has been given up unwritten, the device has had its line time:
// the next stale ones go with it, not a line time each.
UartPlan uartHeadStalled(UartHeld *m)
{
    int64_t due = g_hold.givingUp ? 0 : g_hold.headSince + uartBoundMs(m->len, g_uartInfo.applied);
    int64_t stale = m->arrivedMs + (int64_t)EP_SilenceS() * 1000;
    int32_t left = (int32_t)((due > stale ? due : stale) - COMM_MonotonicMs());
    if (left <= 0 && (TCP_IsConnectServer() == 0 || m->link != TCP_Generation())) {
        uartHeadDone();
        g_hold.givingUp = g_hold.msgCount > 0;
        return UartPlan{false, 0};
    }
    return UartPlan{g_hold.fd != -1, left > 0 && left < UART_RECHECK_MS ? left : UART_RECHECK_MS};
}

// Writes held messages, in order, while the port takes them; reopens first
// where one asks for other settings.
UartPlan uartWriteHeld()
{
    pthread_mutex_lock(&s_portMutex);
    UartPlan plan = {false, -1};
    for (UartHeld *m = uartHead(); m != nullptr; m = uartHead()) {
        plan = UartPlan{false, -1};
        if (m->reopen && !m->reopened) {
            UartSettings want = m->settings;
            pthread_mutex_unlock(&s_portMutex);
            int32_t wait = uartReopen(want);
            pthread_mutex_lock(&s_portMutex);
            if (wait > 0) {
                plan = UartPlan{false, wait};
                break;
            }
            m = uartHead();
            m->reopened = true;
            g_hold.headSince = COMM_MonotonicMs();
        }
        if (m->len > 0 && g_hold.fd != -1 && uartHoldWrite(m) < 0)
            break;  // the port failed: the read path finds out why
        if (m->len == 0) {
            uartHeadDone();
            continue;
        }
        plan = uartHeadStalled(m);
        if (plan.timeoutMs != 0)
            break;
    }
    pthread_mutex_unlock(&s_portMutex);
    return plan;
}

// Opens the closed port; after a failure waits a second, or until data is
// held or exit.
void uartOpenOrWait()
{
    int32_t fd = uartOpen();
    if (fd != -1) {
        uartPublishFd(fd);
        return;
    }
    struct pollfd pfd[2] = {{s_wakeFd, POLLIN, 0}, {GB_ExitFd(), POLLIN, 0}};
    if (COMM_PollMs(pfd, 2, UART_OPEN_RETRY_MS) > 0 && pfd[0].revents != 0)
        uartDrainWake();
}

// How long the pass may wait: until the burst has been silent long enough,
// or the held messages want looking at.
int32_t uartPassTimeout(const UartPlan &plan)
{
    int32_t wait = plan.timeoutMs;
    if (g_uartInfo.gathered > 0) {
        int64_t left = g_uartInfo.lastByteMs + UART_SILENCE_MS - COMM_MonotonicMs();
        int32_t silence = left > 0 ? (int32_t)left : 0;
        if (wait < 0 || silence < wait)
            wait = silence;
    }
    return wait;
}

// One pass with the port open: writes what is held, waits for the port,
// new data or exit, reads, and hands a finished burst on.
void uartPass()
{
    UartPlan plan = uartWriteHeld();
    if (g_uartInfo.fd == -1)
        return;
    struct pollfd pfd[3] = {{g_uartInfo.fd, (short)(POLLIN | (plan.writable ? POLLOUT : 0)), 0},
                            {s_wakeFd, POLLIN, 0},
                            {GB_ExitFd(), POLLIN, 0}};
    // On a busy line a poll per read would only add a system call.
    if (!g_uartInfo.readOn && COMM_PollMs(pfd, 3, uartPassTimeout(plan)) < 0)
        COMM_SleepMs(UART_SILENCE_MS);
    if (pfd[1].revents != 0)
        uartDrainWake();
    // A port that has gone away (unplugged adapter, closed pty) fails its
    // reads; it is closed and opened again once a second until the device
    // is back.
    if ((g_uartInfo.readOn || (pfd[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) &&
        uartReadMore() < 0) {
        int32_t err = errno != 0 ? errno : LOG_ERR_CLOSED;
        if (LOG_Failure("serial port lost", err)) {
            puts("[UART]:uart port lost\r");
            LOG_Detail("[UART]: serial port %s lost: %s", EP_Path(EP_PATH_SERIAL), LOG_Reason(err));
        }
        STATUS_Error(err > 0 ? err : 0, "serial port %s lost", EP_Path(EP_PATH_SERIAL));
        STATUS_SerialState(STATUS_SERIAL_ERROR);
        uartClosePort();
    }
    if (g_uartInfo.gathered > 0 && (g_uartInfo.gathered == MSG_DATA_MAX || g_uartInfo.fd == -1 ||
                                    COMM_MonotonicMs() - g_uartInfo.lastByteMs >= UART_SILENCE_MS))
        uartProcessBurst();
}

void uartExit()
{
    // What the port still has to send gets a moment; a stalled device must
    // not hold the close (a UART may otherwise wait 30 s for it).
    int32_t fd = g_uartInfo.fd;
    uartPublishFd(-1);
    if (fd != -1)
        uartDrainOutput(fd, UART_EXIT_DRAIN_MS);
    UART_Close(&fd);
    // An unfinished transfer dies with the process; its staging file would
    // only take the room the next one needs.
    UPGRADE_Abandon();
    puts("[UART]:uartExit-----------\r");
}

// Link thread: the message's data, cut to what was received and to 1014
// bytes, and its settings; a header that did not arrive reads as zeros.
int32_t uartParse(const uint8_t *msg, int32_t len, UartSettings *settings, const uint8_t **data)
{
    if (msg == nullptr || len < 0)
        len = 0;
    uint8_t head[MSG_DATA_HEAD_LEN] = {0};
    memcpy(head, msg, (size_t)(len < MSG_DATA_HEAD_LEN ? len : MSG_DATA_HEAD_LEN));
    uint32_t dataLen = COMM_GetLe32(head + MSG_OFF_DATALEN);
    uint32_t received = len > MSG_DATA_HEAD_LEN ? (uint32_t)(len - MSG_DATA_HEAD_LEN) : 0;
    if (dataLen > received)
        dataLen = received;
    if (dataLen > (uint32_t)MSG_DATA_MAX)
        dataLen = MSG_DATA_MAX;
    memcpy(settings, head + MSG_OFF_SETTINGS, UART_SETTINGS_LEN);
    *data = dataLen > 0 ? msg + MSG_DATA_HEAD_LEN : nullptr;
    return (int32_t)dataLen;
}

// Link thread, mutex held: with nothing held and the settings the port's,
// writes what the port takes now and holds the rest. False when it cannot.
bool uartWriteDirect(const UartSettings &s, const uint8_t *data, int32_t len)
{
    if (g_hold.msgCount != 0 || g_hold.fd == -1)
        return false;
    ssize_t n = len > 0 ? write(g_hold.fd, data, (size_t)len) : 0;
    if (n < 0)
        n = 0;
    if (n < len)
        uartHoldPush(s, false, data + n, len - (int32_t)n, len, n > 0);
    return true;
}

}  // namespace

void *UART_Thread(void *arg)
{
    const DataCallback *cb = static_cast<const DataCallback *>(arg);
    g_uartInfo.callback = cb != nullptr ? *cb : nullptr;
    // A transfer cut short by the end of an earlier run cannot be resumed.
    UPGRADE_Abandon();
    puts("[UART]:enter uart thread...\r");
    while (!GB_TestEvent(GB_EVENT_EXIT)) {
        if (g_uartInfo.fd != -1) {
            uartPass();
            continue;
        }
        // A held reopen opens the port itself; and what waits too long for
        // a missing port is given up here.
        uartWriteHeld();
        if (g_uartInfo.fd == -1)
            uartOpenOrWait();
    }
    puts("[UART]:uart GB_EVENT_EXIT\r");
    uartExit();
    return nullptr;
}

int32_t UART_WriteData(const uint8_t *msg, int32_t len)
{
    UartSettings settings;
    const uint8_t *data;
    int32_t dataLen = uartParse(msg, len, &settings, &data);

    pthread_mutex_lock(&s_portMutex);
    bool change = !uartSameSettings(settings, g_hold.current);
    if (!change && uartWriteDirect(settings, data, dataLen)) {
        bool held = g_hold.msgCount != 0;
        pthread_mutex_unlock(&s_portMutex);
        STATUS_Received(dataLen);
        if (held)
            uartSignal(s_wakeFd);
        else
            LOG_Routinef("[UART]:write to uart %d \r\n", dataLen);
        return 0;
    }
    if (!uartHoldHasRoom(dataLen)) {
        g_hold.refused = true;
        pthread_mutex_unlock(&s_portMutex);
        return -1;
    }
    uartHoldPush(settings, change, data, dataLen, dataLen, false);
    if (change) {
        g_hold.current = settings;
        GB_SetEvent(GB_EVENT_UART_CONFIG);
    }
    pthread_mutex_unlock(&s_portMutex);
    STATUS_Received(dataLen);
    // Logged before the serial thread is woken, so that its own lines about
    // the reopen always follow this one.
    if (change)
        printf("[UART]:need change uart config [%d]\r\n", COMM_GetSystemMS());
    uartSignal(s_wakeFd);
    return 0;
}

int32_t UART_HeldMessages()
{
    pthread_mutex_lock(&s_portMutex);
    int32_t n = (int32_t)g_hold.msgCount;
    pthread_mutex_unlock(&s_portMutex);
    return n;
}

int32_t UART_BoundMs(int32_t bytes, const uint8_t settings[4])
{
    UartSettings s;
    memcpy(&s, settings, UART_SETTINGS_LEN);
    return uartBoundMs(bytes, s);
}
