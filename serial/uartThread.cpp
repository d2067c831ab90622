// Serial bridge thread. Owns the user serial port: reads bursts into a
// buffer behind a ten-byte data header and sends them up in place, answers
// local frames, and reopens the port when the server asks for other
// settings.
//
// Hand-over with the link thread (UART_WriteData), lock-free:
// - A settings change travels in a request slot of a triple buffer: the link
//   thread fills its private back slot and swaps it into the middle with the
//   fresh mark (release), then sets GB_EVENT_UART_CONFIG; the serial thread
//   swaps its front slot with the middle (acquire). Neither ever touches a
//   slot the other may use, a newer request replaces an unclaimed one, and
//   each claimed request is written exactly once.
// - The link thread numbers its requests; the serial thread publishes the
//   number of the last one applied. Server data is written directly only
//   when every request has been applied, so no data goes out with settings
//   it was not meant for, even in the moment the event bit is clear while a
//   newer request waits.
// - The port handle is atomic, and a direct write counts itself in s_writers
//   around its use of the handle. Before closing, the serial thread swaps
//   the handle to -1 and waits for that count to drain (both sides seq_cst),
//   so no write can reach a closed or reused descriptor.
//
// An idle port costs no wake-ups: the thread waits with poll() for the first
// byte (or a hang-up), for the wake descriptor that a published settings
// change writes, and for the exit descriptor, with no time limit. Only once a
// byte is there does it gather with the driver's 0.1 s read time-outs (and
// while reads keep filling the buffer, it goes on reading without a poll).
#include "serial/uartThread.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "core/common.h"
#include "core/endpoints.h"
#include "core/globals.h"
#include "link/message.h"
#include "serial/uart.h"
#include "serial/upgrade.h"

namespace {

constexpr int32_t UART_SETTINGS_LEN = 4;
constexpr int32_t UART_OPEN_RETRY_MS = 1000;
// Pacing of the wait when it cannot block (no wake descriptor, or poll
// failing): a settings change is then seen within this time.
constexpr int32_t UART_EVENT_POLL_MS = 100;
// Bound on one write of server data: long enough for 1014 bytes at the
// slowest rate the driver sets, short enough for the link's 10 s limit.
constexpr int32_t UART_WRITE_TIMEOUT_MS = 2000;

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

struct UartRequest {
    UartSettings settings;
    int32_t pendingLen;
    uint32_t seq;
    uint8_t pendingBuf[MSG_DATA_MAX];
};

constexpr uint32_t UART_SLOT_MASK = 0x3;
constexpr uint32_t UART_SLOT_FRESH = 0x4;

struct UartInfo {
    // Link thread only: the settings it last asked for, its back slot and
    // the number of its latest request.
    UartSettings current;
    uint32_t back;
    uint32_t reqSeq;
    // Serial thread only: settings of the port, its front slot.
    UartSettings applied;
    uint32_t front;
    DataCallback callback;
    // Shared; the request slots are in g_uartSlots.
    std::atomic<uint32_t> middle;
    std::atomic<uint32_t> appliedSeq;
    std::atomic<int32_t> fd;
    std::atomic<int32_t> writers;
};

// Written after a settings change is published. Made before main() runs, as
// the link thread may publish before this thread exists.
const int s_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
// Serial thread only: the last read filled the buffer, so the line is
// busy and the next read need not be waited for.
bool s_readFull = false;

// Static initialisation is the start state: the link thread may deliver
// data before this thread has run at all, so nothing it shares is reset
// later.
UartInfo g_uartInfo = {
    uartDefaultConfig(), 0, 0, uartDefaultConfig(), 2, nullptr, {1}, {0}, {-1}, {0},
};
// The buffers start empty, so they stay out of the initialised record: in
// zero-filled memory they take no room in the daemon's file.
UartRequest g_uartSlots[3];          // the triple buffer of settings requests
uint8_t g_uartRecvBuf[MSG_MAX_LEN];  // serial thread only: burst and message

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

void uartInit(DataCallback callback)
{
    memset(g_uartRecvBuf, 0, sizeof g_uartRecvBuf);
    g_uartInfo.callback = callback;
    // A transfer cut short by the end of an earlier run cannot be resumed.
    UPGRADE_Abandon();
}

void uartWake()
{
    uint64_t one = 1;
    if (s_wakeFd >= 0 && write(s_wakeFd, &one, sizeof one) < 0) {
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

// Waits, with no time limit, until the port has input or has hung up (true),
// or a settings change or exit is signalled (false).
bool uartWaitInput(int32_t fd)
{
    struct pollfd pfd[3] = {{fd, POLLIN, 0}, {s_wakeFd, POLLIN, 0}, {GB_ExitFd(), POLLIN, 0}};
    int32_t limit = s_wakeFd >= 0 ? -1 : UART_EVENT_POLL_MS;
    int32_t r = COMM_PollMs(pfd, 3, limit);
    if (r < 0) {
        COMM_SleepMs(UART_EVENT_POLL_MS);
        return false;
    }
    if (pfd[1].revents != 0)
        uartDrainWake();
    if (pfd[1].revents != 0 || pfd[2].revents != 0)
        return false;
    return pfd[0].revents != 0;
}

int32_t uartOpen()
{
    const UartSettings &s = g_uartInfo.applied;
    return UART_Open(EP_Path(EP_PATH_SERIAL), uartGetBaudRate(s.baudRate), uartGetDataBits(s.dataBits),
                     uartGetParity(s.parity), uartGetStopBits(s.stopBits));
}

// Takes the port away from direct writers, waits for any in flight, closes.
void uartClosePort()
{
    int32_t fd = g_uartInfo.fd.exchange(-1, std::memory_order_seq_cst);
    while (g_uartInfo.writers.load(std::memory_order_seq_cst) != 0)
        COMM_SleepMs(1);
    UART_Close(&fd);
}

void uartExit()
{
    uartClosePort();
    // An unfinished transfer dies with the process; its staging file would
    // only take the room the next one needs.
    UPGRADE_Abandon();
    puts("[UART]:uartExit-----------\r");
}

// Claims the newest request, if any; its slot then belongs to this thread.
const UartRequest *uartTakeRequest()
{
    uint32_t m = g_uartInfo.middle.exchange(g_uartInfo.front, std::memory_order_acq_rel);
    g_uartInfo.front = m & UART_SLOT_MASK;
    return (m & UART_SLOT_FRESH) ? &g_uartSlots[g_uartInfo.front] : nullptr;
}

void uartApplyConfig()
{
    const UartRequest *req = uartTakeRequest();
    if (req != nullptr) {
        printf("[UART]:uart event :0x%02x, [%d]\r\n", GB_Events(), COMM_GetSystemMS());
        g_uartInfo.applied = req->settings;
        uartClosePort();
        int32_t fd = uartOpen();
        g_uartInfo.fd.store(fd, std::memory_order_seq_cst);
        printf("[UART]:uartOpen1 fd: %d, [%d]\r\n", fd, COMM_GetSystemMS());
        if (req->pendingLen > 0) {
            UART_WriteAll(fd, req->pendingBuf, req->pendingLen, UART_WRITE_TIMEOUT_MS);
            printf("[UART]:uart write:%d, [%d]\r\n", req->pendingLen, COMM_GetSystemMS());
        }
        g_uartInfo.appliedSeq.store(req->seq, std::memory_order_release);
    }
    GB_ClearEvent(GB_EVENT_UART_CONFIG);
    // A request that arrived while this one was applied may have found the
    // bit still set; raise it again so it is not left waiting.
    if (g_uartInfo.middle.load(std::memory_order_acquire) & UART_SLOT_FRESH)
        GB_SetEvent(GB_EVENT_UART_CONFIG);
}

// Opens the closed port; after a failure waits a second, or until a
// settings change or exit.
void uartOpenOrWait()
{
    int32_t fd = uartOpen();
    if (fd != -1) {
        g_uartInfo.fd.store(fd, std::memory_order_seq_cst);
        return;
    }
    struct pollfd pfd[2] = {{s_wakeFd, POLLIN, 0}, {GB_ExitFd(), POLLIN, 0}};
    if (COMM_PollMs(pfd, 2, UART_OPEN_RETRY_MS) > 0 && pfd[0].revents != 0)
        uartDrainWake();
}

void uartWriteAnswer(int32_t fd, const uint8_t *buf, int32_t len)
{
    UART_WriteAll(fd, buf, len, UART_WRITE_TIMEOUT_MS);
}

void uartProcessRecvData()
{
    uint8_t *buf = g_uartRecvBuf;
    int32_t fd = g_uartInfo.fd.load(std::memory_order_relaxed);
    // On a busy line a poll per read would only add a system call; a read
    // still returns within 0.1 s of silence, so events wait no longer.
    if (!s_readFull && !uartWaitInput(fd))
        return;
    memset(buf, 0, MSG_MAX_LEN);
    int32_t count = UART_Read(fd, buf + MSG_DATA_HEAD_LEN, MSG_DATA_MAX);
    s_readFull = count == MSG_DATA_MAX;
    COMM_PutLe32(buf + MSG_OFF_DATALEN, (uint32_t)count);
    if (count <= 0) {
        // A port that has gone away (unplugged adapter, closed pty) would
        // read as silence forever; close it so it is reopened once a second
        // until the device is back.
        if (UART_IsGone(fd)) {
            puts("[UART]:uart port lost\r");
            uartClosePort();
        }
        return;
    }
    printf("[UART]:read data %d\r\n", count);
    uint8_t *burst = buf + MSG_DATA_HEAD_LEN;
    int32_t len = 0;
    // Frames are checked against the whole cleared rest of the buffer: a
    // frame claiming more than arrived is read against zero bytes.
    if (UPGRADE_IsValid(burst, MSG_DATA_MAX)) {
        UPGRADE_SaveData(burst);
        UPGRADE_BuildResp(buf, &len);
        uartWriteAnswer(fd, buf, len);
        if (UPGRADE_IsComplete())
            GB_SetEvent(GB_EVENT_EXIT);
    } else if (DEVINFO_IsValid(burst, MSG_DATA_MAX)) {
        DEVINFO_BuildResp(buf, &len);
        uartWriteAnswer(fd, buf, len);
    } else {
        MSG_SetHead(buf, MSG_CMD_UART_DATA);
        if (g_uartInfo.callback != nullptr)
            g_uartInfo.callback(buf, count + MSG_DATA_HEAD_LEN);
    }
}

// Link thread: hands new settings and their data to the serial thread.
void uartPublish(const UartSettings &settings, const uint8_t *data, int32_t len)
{
    UartRequest *slot = &g_uartSlots[g_uartInfo.back];
    slot->settings = settings;
    memcpy(slot->pendingBuf, data, (size_t)len);
    slot->pendingLen = len;
    slot->seq = ++g_uartInfo.reqSeq;
    uint32_t old = g_uartInfo.middle.exchange(g_uartInfo.back | UART_SLOT_FRESH, std::memory_order_acq_rel);
    g_uartInfo.back = old & UART_SLOT_MASK;
}

// Link thread: tells the serial thread that a request waits.
void uartSignalConfig()
{
    GB_SetEvent(GB_EVENT_UART_CONFIG);
    uartWake();
}

// Link thread: writes at once unless a reopen is pending or the port is
// closed (or being closed), in which case the data is dropped.
void uartWriteNow(const uint8_t *data, int32_t len)
{
    if (g_uartInfo.appliedSeq.load(std::memory_order_acquire) != g_uartInfo.reqSeq ||
        GB_TestEvent(GB_EVENT_UART_CONFIG))
        return;
    g_uartInfo.writers.fetch_add(1, std::memory_order_seq_cst);
    int32_t fd = g_uartInfo.fd.load(std::memory_order_seq_cst);
    if (fd != -1) {
        UART_WriteAll(fd, data, len, UART_WRITE_TIMEOUT_MS);
        printf("[UART]:write to uart %d \r\n", len);
    }
    g_uartInfo.writers.fetch_sub(1, std::memory_order_release);
}

}  // namespace

void *UART_Thread(void *arg)
{
    const DataCallback *cb = static_cast<const DataCallback *>(arg);
    uartInit(cb != nullptr ? *cb : nullptr);
    puts("[UART]:enter uart thread...\r");
    for (;;) {
        if (GB_TestEvent(GB_EVENT_EXIT)) {
            puts("[UART]:uart GB_EVENT_EXIT\r");
            uartExit();
            return nullptr;
        }
        if (GB_TestEvent(GB_EVENT_UART_CONFIG))
            uartApplyConfig();
        else if (g_uartInfo.fd.load(std::memory_order_relaxed) == -1)
            uartOpenOrWait();
        else
            uartProcessRecvData();
    }
}

// The header is read as if the bytes beyond the received ones were zero,
// and the data is cut to what was actually received (and to 1014 bytes):
// a dataLen naming absent bytes never makes a copy or write reach past the
// message.
void UART_WriteData(const uint8_t *msg, int32_t len)
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
    UartSettings settings;
    memcpy(&settings, head + MSG_OFF_SETTINGS, UART_SETTINGS_LEN);
    const uint8_t *data = dataLen > 0 ? msg + MSG_DATA_HEAD_LEN : head;

    if (memcmp(&settings, &g_uartInfo.current, UART_SETTINGS_LEN) != 0) {
        g_uartInfo.current = settings;
        uartPublish(settings, data, (int32_t)dataLen);
        // Logged before the serial thread is told, so that its own lines
        // about the reopen always follow this one.
        printf("[UART]:need change uart config [%d]\r\n", COMM_GetSystemMS());
        uartSignalConfig();
        return;
    }
    uartWriteNow(data, (int32_t)dataLen);
}
