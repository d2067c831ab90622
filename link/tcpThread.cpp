// Server link thread. Owns g_tcpInfo: the one server connection, its link
// state and the receive stream. Each pass of TCP_Thread does the outgoing
// step of the state (connect, online request or heartbeat), one receive,
// and the dispatch of every message that is complete. TCP joins and splits
// the server's writes as it likes, so received bytes are kept in a stream
// buffer and cut into messages by their own lengths; a message whose rest
// has not come within about a second is handled as far as it came. Bytes
// that cannot start a message are dropped with the rest of their receive,
// so the stream falls into step again with the next one. Intervals are
// whole seconds of the wall clock, tested two-sided so that a clock step
// either way counts as elapsed time.
//
// Back-pressure: a data message the serial side has no room for stays at
// the front of the stream and the socket is left unread (TCP then holds the
// server back) until GB_RoomFd() says there is room. Data waiting unread is
// a sign of life, so heartbeats and the silence limit keep their meaning.
//
// The thread sleeps only as long as nothing can fall due: a receive (or,
// disconnected, a plain wait) lasts until the next step or the silence
// limit is due, or data or GB_EVENT_EXIT wakes it; the first receive of a
// connection waits its full second, as the online request follows it. Each
// timer keeps the monotonic time of its event beside its wall-clock second,
// so a sleep never ends before its whole interval has passed, whatever the
// phase of the second it began in; a step of the wall clock is seen at the
// next wake.
//
// Every message to the server goes through TCP_SendData under sendMutex.
// The link thread changes `sock` only under that mutex too, so no send can
// reach a descriptor that is being closed or has been reused; `state` is
// atomic because the main loop reads it without the lock.
//
// The management handlers (upgrade download, identity change) also live
// here and run on this thread.
#include "link/tcpThread.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "board/leds.h"
#include "core/endpoints.h"
#include "core/globals.h"
#include "core/log.h"
#include "ftp/ftpClient.h"
#include "link/message.h"
#include "link/tcp.h"

namespace {

constexpr int TCP_CONNECT_WAIT_MS = 1000;
constexpr int TCP_RECV_WAIT_MS = 1000;  // the first receive of a connection
// How long the rest of a message that has begun to arrive is waited for.
constexpr int32_t TCP_PARTIAL_WAIT_MS = 1000;
// Received bytes kept: a message still arriving (less than one message)
// and room for a whole receive behind it.
constexpr int32_t TCP_STREAM_SIZE = 2 * MSG_MAX_LEN;
constexpr uint32_t TCP_CONNECT_INTERVAL_S = 10;
constexpr uint32_t TCP_ONLINE_INTERVAL_S = 5;
// Pause before trying again when no socket could be made.
constexpr int TCP_RETRY_PAUSE_MS = 200;

struct TcpInfo {
    std::atomic<int32_t> state;
    int sock;  // written by the link thread under sendMutex
    int32_t recvLen;      // result of the latest receive
    int32_t streamLen;    // bytes in g_tcpRecvBuf not handled yet
    int32_t heldLen;      // the data message at the front waits for room
    int64_t partialSince; // monotonic ms the front message began to arrive; 0 none
    uint32_t lastCommunicate;
    DataCallback callback;
};

TcpInfo g_tcpInfo = {{TCP_STATE_DISCONNECTED}, -1, 0, 0, 0, 0, 0, nullptr};
// Received bytes not handled yet, from the front. Kept out of the
// initialised record: in zero-filled memory it takes no room in the
// daemon's file.
uint8_t g_tcpRecvBuf[TCP_STREAM_SIZE];

// When an event last happened: its wall-clock second, which every interval
// test uses, and its monotonic time, which only bounds how long to sleep.
struct TcpTimer {
    uint32_t wallS;
    int64_t monoMs;
};

// Latest connection attempt, online request and heartbeat. They start at 0,
// so the first attempt and the first online request are due at once, and
// they carry over from one connection to the next.
TcpTimer s_connectTime = {0, 0};
TcpTimer s_onlineTime = {0, 0};
TcpTimer s_heartbeatTime = {0, 0};
int64_t s_lastCommunicateMs = 0;  // monotonic twin of lastCommunicate

TcpTimer tcpStamp(uint32_t wallS)
{
    return TcpTimer{wallS, COMM_MonotonicMs()};
}

void tcpRenewCommunicate(uint32_t now)
{
    g_tcpInfo.lastCommunicate = now;
    s_lastCommunicateMs = COMM_MonotonicMs();
}

bool tcpElapsed(const TcpTimer &since, uint32_t seconds)
{
    return COMM_Elapsed(since.wallS, COMM_GetSystemS()) >= seconds;
}

struct TcpNow {
    uint32_t s;     // wall-clock second
    int64_t usIn;   // microseconds into it
    int64_t mono;   // monotonic milliseconds
};

TcpNow tcpNow()
{
    struct timeval tv;
    COMM_WallClock(&tv);
    return TcpNow{(uint32_t)tv.tv_sec, (int64_t)tv.tv_usec, COMM_MonotonicMs()};
}

// Milliseconds until `seconds` have passed since t: 0 once the two-sided
// wall-clock test holds; otherwise until the wall clock reaches the second
// t.wallS + seconds and as many seconds have passed on the monotonic clock.
int64_t tcpMsUntil(const TcpTimer &t, uint32_t seconds, const TcpNow &now)
{
    if (COMM_Elapsed(t.wallS, now.s) >= seconds)
        return 0;
    // The test fails, so the wall clock is within `seconds` either side of
    // t.wallS: both waits are a few seconds at most, and the wall-clock one
    // is divided in 32 bits (a 64-bit division is a library call on 32-bit
    // MIPS that would double the daemon's size).
    int32_t wallUs = (int32_t)(((int64_t)t.wallS + seconds - (int64_t)now.s) * 1000000 - now.usIn);
    int64_t wall = (wallUs + 999) / 1000;
    int64_t mono = t.monoMs + (int64_t)seconds * 1000 - now.mono;
    int64_t wait = wall > mono ? wall : mono;
    return wait > 0 ? wait : 0;
}

int64_t tcpMin(int64_t a, int64_t b)
{
    return a < b ? a : b;
}

// How long the receive may wait while connected: until the outgoing step
// of the state or the silence limit falls due.
int tcpRecvWaitMs()
{
    TcpNow now = tcpNow();
    TcpTimer comm = {g_tcpInfo.lastCommunicate, s_lastCommunicateMs};
    int64_t wait = tcpMsUntil(comm, EP_SilenceS(), now);
    switch (g_tcpInfo.state.load(std::memory_order_relaxed)) {
    case TCP_STATE_CONNECTED:
    case TCP_STATE_HEARTBEAT_FAIL:
        wait = tcpMin(wait, tcpMsUntil(s_onlineTime, TCP_ONLINE_INTERVAL_S, now));
        break;
    case TCP_STATE_ONLINE: {
        int64_t sinceData = tcpMsUntil(comm, EP_HeartbeatS(), now);
        int64_t sinceBeat = tcpMsUntil(s_heartbeatTime, EP_HeartbeatS(), now);
        wait = tcpMin(wait, sinceData > sinceBeat ? sinceData : sinceBeat);
        break;
    }
    default:
        break;
    }
    return (int)wait;
}

// Disconnected: sleeps until the next connection attempt is due, or a short
// while when the last one could not even make a socket, or until exit.
void tcpPauseDisconnected(bool noSocket)
{
    int64_t wait = noSocket ? TCP_RETRY_PAUSE_MS : tcpMsUntil(s_connectTime, TCP_CONNECT_INTERVAL_S, tcpNow());
    struct pollfd exitFd = {GB_ExitFd(), POLLIN, 0};
    if (wait > 0)
        COMM_PollMs(&exitFd, 1, (int32_t)wait);
}

// Installs a new socket and state where a concurrent send sees them.
void tcpSetLink(int sock, int32_t state)
{
    pthread_mutex_lock(&g_gbVar.sendMutex);
    g_tcpInfo.sock = sock;
    g_tcpInfo.state.store(state, std::memory_order_release);
    pthread_mutex_unlock(&g_gbVar.sendMutex);
}

void tcpConnected()
{
    LED_SetLedEvent(LED_DATA, LED_EVENT_ON, 0, 0, 0);
    LED_SetLedEvent(LED_ONLINE, LED_EVENT_OFF, 0, 0, 0);
}

void tcpDisconnected()
{
    LED_SetLedEvent(LED_DATA, LED_EVENT_OFF, 0, 0, 0);
    LED_SetLedEvent(LED_ONLINE, LED_EVENT_ON, 0, 0, 0);
}

// A new connection starts a new stream; only a whole data message that
// waits for room is kept, as the server has sent it for good.
void tcpResetStream()
{
    g_tcpInfo.streamLen = g_tcpInfo.heldLen;
    g_tcpInfo.partialSince = 0;
}

void tcpDropLink()
{
    pthread_mutex_lock(&g_gbVar.sendMutex);
    TCP_CloseSocket(g_tcpInfo.sock);
    g_tcpInfo.sock = -1;
    g_tcpInfo.state.store(TCP_STATE_DISCONNECTED, std::memory_order_release);
    pthread_mutex_unlock(&g_gbVar.sendMutex);
    tcpResetStream();
    tcpDisconnected();
}

// Closing with unread input makes the kernel reset the connection and drop
// what is still queued, such as the last response before the adapter ends;
// so the write side is shut first and pending input is read away.
void tcpCloseFlushed(int sock)
{
    if (sock == -1)
        return;
    shutdown(sock, SHUT_WR);
    uint8_t sink[256];
    while (recv(sock, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    TCP_CloseSocket(sock);
}

int32_t tcpInit(DataCallback callback)
{
    if (TCP_Startup() != 0)
        return -1;
    pthread_mutex_lock(&g_gbVar.sendMutex);
    g_tcpInfo.state.store(TCP_STATE_DISCONNECTED, std::memory_order_release);
    g_tcpInfo.sock = -1;
    pthread_mutex_unlock(&g_gbVar.sendMutex);
    g_tcpInfo.recvLen = 0;
    g_tcpInfo.streamLen = 0;
    g_tcpInfo.heldLen = 0;
    g_tcpInfo.partialSince = 0;
    memset(g_tcpRecvBuf, 0, sizeof g_tcpRecvBuf);
    g_tcpInfo.lastCommunicate = 0;
    g_tcpInfo.callback = callback;
    // A download cut short by the end of an earlier run is useless and takes
    // the room the next one needs.
    unlink(EP_Path(EP_PATH_DOWNLOAD));
    return 0;
}

void tcpExit()
{
    pthread_mutex_lock(&g_gbVar.sendMutex);
    tcpCloseFlushed(g_tcpInfo.sock);
    g_tcpInfo.sock = -1;
    pthread_mutex_unlock(&g_gbVar.sendMutex);
    TCP_Cleanup();
    puts("[TCP]:tcpExit----------------- \r");
}

// Outcome of a pass's outgoing step, for the wait that follows it.
constexpr int32_t TCP_STEP_DONE = 0;
constexpr int32_t TCP_STEP_CONNECTED = 1;  // the first receive waits its full second
constexpr int32_t TCP_STEP_NO_SOCKET = -1; // try again after a short pause

int32_t tcpConnectServer()
{
    if (!tcpElapsed(s_connectTime, TCP_CONNECT_INTERVAL_S))
        return TCP_STEP_DONE;
    int sock = TCP_CreateSocket();
    if (sock == -1) {
        int err = errno;
        if (LOG_Failure(TCP_PLACE_CONNECT, err)) {
            printf("fail in %s, line:%d\r\n", "tcpConnectServer", 236);
            LOG_Detail("[TCP]: no socket for %s:%u: %s", EP_ServerHost(), (unsigned)EP_ServerPort(), LOG_Reason(err));
        }
        return TCP_STEP_NO_SOCKET;
    }
    int32_t rc = TCP_Connect(sock, EP_ServerHost(), EP_ServerPort(), TCP_CONNECT_WAIT_MS);
    int32_t err = rc == 1 ? LOG_ERR_NOT_FOUND : errno;
    uint32_t now = COMM_GetSystemS();
    if (rc == 0) {
        tcpRenewCommunicate(now);
        tcpSetLink(sock, TCP_STATE_CONNECTED);
        if (LOG_Shown(TCP_PLACE_LINK))
            puts("[TCP]:connect success \r");
        tcpConnected();
    } else {
        if (LOG_Shown(TCP_PLACE_CONNECT)) {
            puts("[TCP]:connect fail \r");
            LOG_Detail("[TCP]: cannot connect to %s:%u: %s", EP_ServerHost(), (unsigned)EP_ServerPort(), LOG_Reason(err));
        }
        TCP_CloseSocket(sock);
    }
    // The interval counts from the end of the attempt.
    s_connectTime = tcpStamp(now);
    return rc == 0 ? TCP_STEP_CONNECTED : TCP_STEP_DONE;
}

void tcpOnlineRequest()
{
    if (!tcpElapsed(s_onlineTime, TCP_ONLINE_INTERVAL_S))
        return;
    uint8_t buf[MSG_ONLINE_LEN];
    tcpBuildOnlineRequest(buf);
    TCP_SendData(buf, MSG_ONLINE_LEN);
    s_onlineTime = tcpStamp(COMM_GetSystemS());
}

void tcpHeartbeatRequest()
{
    uint32_t now = COMM_GetSystemS();
    if (COMM_Elapsed(g_tcpInfo.lastCommunicate, now) < EP_HeartbeatS() ||
        COMM_Elapsed(s_heartbeatTime.wallS, now) < EP_HeartbeatS())
        return;
    uint8_t buf[MSG_HEARTBEAT_LEN] = {0, 0};
    MSG_SetHead(buf, MSG_CMD_HEARTBEAT);
    TCP_SendData(buf, MSG_HEARTBEAT_LEN);
    s_heartbeatTime = tcpStamp(now);
    LOG_Routinef("[TCP]:adapter send heartbeat [%d]\r\n", (int)now);
}

int32_t tcpProcessRequest()
{
    switch (g_tcpInfo.state.load(std::memory_order_relaxed)) {
    case TCP_STATE_DISCONNECTED:
        return tcpConnectServer();
    case TCP_STATE_CONNECTED:
    case TCP_STATE_HEARTBEAT_FAIL:
        tcpOnlineRequest();
        break;
    case TCP_STATE_ONLINE:
        tcpHeartbeatRequest();
        break;
    default:
        break;
    }
    return TCP_STEP_DONE;
}

// While a data message waits for room: waits for room, exit or the next
// step, and reads nothing. Unread data is a sign of life; a peer that has
// closed is noticed. -1 when the link failed, else 0.
int32_t tcpWaitRoom(int waitMs)
{
    struct pollfd pfd[2] = {{GB_RoomFd(), POLLIN, 0}, {GB_ExitFd(), POLLIN, 0}};
    if (COMM_PollMs(pfd, 2, waitMs) > 0 && pfd[0].revents != 0) {
        uint64_t n;
        if (read(GB_RoomFd(), &n, sizeof n) < 0) {
            // Cleared already.
        }
    }
    int32_t pending = TCP_Peek(g_tcpInfo.sock);
    if (pending > 0)
        tcpRenewCommunicate(COMM_GetSystemS());
    return pending < 0 ? -1 : 0;
}

// Receives once into the stream, waiting up to waitMs (less while a message
// is half there) or until GB_EVENT_EXIT; or, while a message waits for
// room, only waits. -1 disconnected (nothing done), 1 the link was dropped,
// else 0.
int32_t tcpRecvData(int waitMs)
{
    if (g_tcpInfo.state.load(std::memory_order_relaxed) == TCP_STATE_DISCONNECTED)
        return -1;
    if (g_tcpInfo.partialSince != 0) {
        int64_t left = g_tcpInfo.partialSince + TCP_PARTIAL_WAIT_MS - COMM_MonotonicMs();
        waitMs = left <= 0 ? 0 : left < waitMs ? (int)left : waitMs;
    }
    if (g_tcpInfo.heldLen > 0) {
        g_tcpInfo.recvLen = tcpWaitRoom(waitMs);
    } else {
        int32_t have = g_tcpInfo.streamLen;
        g_tcpInfo.recvLen = TCP_RecvWake(g_tcpInfo.sock, g_tcpRecvBuf + have, TCP_STREAM_SIZE - have, waitMs,
                                         GB_ExitFd());
    }
    if (g_tcpInfo.recvLen < 0) {
        int32_t err = errno != 0 ? errno : LOG_ERR_CLOSED;
        if (LOG_Failure(TCP_PLACE_LINK, err)) {
            puts("[TCP]:recv socket error \r");
            LOG_Detail("[TCP]: link to %s:%u lost: %s", EP_ServerHost(), (unsigned)EP_ServerPort(), LOG_Reason(err));
        }
        tcpDropLink();
        return 1;
    }
    if (g_tcpInfo.recvLen > 0) {
        g_tcpInfo.streamLen += g_tcpInfo.recvLen;
        tcpRenewCommunicate(COMM_GetSystemS());
        return 0;
    }
    uint32_t now = COMM_GetSystemS();
    if (COMM_Elapsed(g_tcpInfo.lastCommunicate, now) >= EP_SilenceS()) {
        if (LOG_Failure(TCP_PLACE_LINK, LOG_ERR_SILENT)) {
            printf("[TCP]:lost server, lastCommunicate:%d [%d]\r\n", (int)g_tcpInfo.lastCommunicate, (int)now);
            LOG_Detail("[TCP]: server %s:%u silent for %u s", EP_ServerHost(), (unsigned)EP_ServerPort(),
                       (unsigned)EP_SilenceS());
        }
        tcpDropLink();
        return 1;
    }
    return 0;
}

void tcpOnlineResp(const uint8_t *msg, int32_t)
{
    if (msg[MSG_OFF_ERRORCODE] != MSG_RESULT_OK)
        return;
    g_tcpInfo.state.store(TCP_STATE_ONLINE, std::memory_order_release);
    if (LOG_Shown(TCP_PLACE_LINK))
        puts("[TCP]:online success \r");
}

void tcpHeartbeatResp(const uint8_t *msg, int32_t)
{
    uint8_t code = msg[MSG_OFF_ERRORCODE];
    if (code == MSG_RESULT_OK)
        return;
    printf("[TCP]:adapter heartbeat fail, errorCode:%d\r\n", code);
    g_tcpInfo.state.store(TCP_STATE_HEARTBEAT_FAIL, std::memory_order_release);
}

// Copies the text field at off (at most width-1 characters, cut at its
// terminator, its width or the message end) into out[width].
void tcpCopyField(const uint8_t *msg, int32_t len, int32_t off, int32_t width, char *out)
{
    int32_t n = 0;
    while (n < width - 1 && off + n < len && msg[off + n] != 0) {
        out[n] = (char)msg[off + n];
        n++;
    }
    out[n] = '\0';
}

// Bytes of msg that handlers may read: never beyond the receive buffer.
int32_t tcpMsgLimit(int32_t len)
{
    if (len < 0)
        return 0;
    return len > MSG_MAX_LEN ? MSG_MAX_LEN : len;
}

// Moves a complete download into place: data and directory entry reach the
// disk before the adapter reports success and ends. 0 on success.
int32_t upgradeCommit(const char *partPath, const char *packagePath)
{
    int fd = open(partPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = fsync(fd);
    close(fd);
    if (rc != 0 || rename(partPath, packagePath) != 0)
        return -1;
    COMM_SyncDir(packagePath);
    return 0;
}

void tcpSendResp(uint8_t cmd, uint8_t code)
{
    uint8_t resp[MSG_RESULT_LEN];
    MSG_SetResp(resp, cmd, code);
    TCP_SendData(resp, MSG_RESULT_LEN);
}

}  // namespace

int32_t tcpBuildOnlineRequest(uint8_t *buf)
{
    memset(buf, 0, MSG_ONLINE_LEN);
    MSG_SetHead(buf, MSG_CMD_ONLINE);
    buf[MSG_OFF_VERCODE] = (uint8_t)GB_VER_CODE;
    strncpy((char *)buf + MSG_OFF_VERNAME, GB_VER_NAME, MSG_VERNAME_SIZE - 1);
    char sn[GB_SERIALNUM_SIZE];
    char pc[GB_PAIRCODE_SIZE];
    GB_GetDeviceInfo(sn, pc);
    memcpy(buf + MSG_OFF_SERIALNUM, sn, strnlen(sn, GB_SERIALNUM_SIZE - 1));
    memcpy(buf + MSG_OFF_PAIRCODE, pc, strnlen(pc, GB_PAIRCODE_SIZE - 1));
    return MSG_ONLINE_LEN;
}

// Hands one message with the right version byte to its handler: 0, or 1
// when it is a data message the serial side has no room for yet.
static int32_t tcpHandle(const uint8_t *msg, int32_t len)
{
    // Result messages are read up to byte 2; a shorter one reads it as 0.
    uint8_t head[MSG_RESULT_LEN] = {0, 0, 0};
    memcpy(head, msg, (size_t)(len < MSG_RESULT_LEN ? len : MSG_RESULT_LEN));
    switch (head[MSG_OFF_CMD] & MSG_CMD_MASK) {
    case MSG_CMD_ONLINE:
        tcpOnlineResp(head, len);
        break;
    case MSG_CMD_HEARTBEAT:
        tcpHeartbeatResp(head, len);
        break;
    case MSG_CMD_UART_DATA:
        if (g_tcpInfo.callback != nullptr && g_tcpInfo.callback(msg, len) != 0)
            return 1;
        break;
    case MSG_CMD_UPGRADE:
        tcpUpgradeAdapter(msg, len);
        break;
    case MSG_CMD_DEVINFO:
        tcpModifyDeviceInfo(msg, len);
        break;
    default:
        break;
    }
    return 0;
}

int32_t tcpProcessRecved(const uint8_t *msg, int32_t len)
{
    if (len <= 0)
        return -1;
    tcpRenewCommunicate(COMM_GetSystemS());
    // Heartbeat results and data are routine; requests and login are not.
    uint8_t cmd = len >= 2 ? (uint8_t)(msg[MSG_OFF_CMD] & MSG_CMD_MASK) : 0;
    bool show = LOG_Routine() || (cmd != MSG_CMD_HEARTBEAT && cmd != MSG_CMD_UART_DATA);
    // A login refused every 5 s is a repeating failure.
    if (!LOG_Routine() && cmd == MSG_CMD_ONLINE && len > MSG_OFF_ERRORCODE && msg[MSG_OFF_ERRORCODE] != MSG_RESULT_OK)
        show = LOG_Failure("server login", EACCES);
    else if (cmd == MSG_CMD_ONLINE)
        LOG_Ok("server login");
    if (show)
        printf("[TCP]:tcp recv data, update lastCommunicate: %d\r\n", (int)g_tcpInfo.lastCommunicate);
    if (msg[MSG_OFF_VERSION] != MSG_PROTOCOL_VERSION) {
        if (LOG_Failure("server message", EPROTO))
            printf("fail in %s, line:%d\r\n", "tcpProcessRecved", 201);
        return -1;
    }
    return tcpHandle(msg, len);
}

// Whether msg begins a message of a command the adapter knows.
static bool tcpKnownStart(const uint8_t *msg, int32_t avail)
{
    if (avail < 2 || msg[MSG_OFF_VERSION] != MSG_PROTOCOL_VERSION)
        return false;
    switch (msg[MSG_OFF_CMD] & MSG_CMD_MASK) {
    case MSG_CMD_ONLINE:
    case MSG_CMD_HEARTBEAT:
    case MSG_CMD_UART_DATA:
    case MSG_CMD_UPGRADE:
    case MSG_CMD_DEVINFO:
        return true;
    default:
        return false;
    }
}

// Length of the message at the front of the stream to hand on now: 0 while
// its rest may still come, -1 when the front cannot start a message.
static int32_t tcpFrontLen(const uint8_t *msg, int32_t avail)
{
    int32_t n = MSG_FrameLen(msg, avail);
    if (n != 0)
        return n;
    int64_t now = COMM_MonotonicMs();
    if (g_tcpInfo.partialSince == 0)
        g_tcpInfo.partialSince = now;
    // Its rest never came: it is handled as far as it came.
    return now - g_tcpInfo.partialSince >= TCP_PARTIAL_WAIT_MS ? avail : 0;
}

// Hands every complete message at the front of the stream to its handler,
// in order; keeps a message still arriving, and a data message that waits
// for room. Bytes that cannot start a message go with the rest of what is
// there, and so does what follows a management request without beginning
// a known message (servers may pad those requests).
static void tcpDispatch()
{
    uint8_t *buf = g_tcpRecvBuf;
    int32_t len = g_tcpInfo.streamLen;
    int32_t off = 0;
    bool afterRequest = false;
    while (off < len && !GB_TestEvent(GB_EVENT_EXIT)) {
        const uint8_t *msg = buf + off;
        int32_t avail = len - off;
        if (g_tcpInfo.heldLen > 0) {
            if (g_tcpInfo.callback(msg, g_tcpInfo.heldLen) != 0)
                break;
            off += g_tcpInfo.heldLen;
            g_tcpInfo.heldLen = 0;
            continue;
        }
        if (afterRequest && !tcpKnownStart(msg, avail)) {
            off = len;
            break;
        }
        int32_t n = tcpFrontLen(msg, avail);
        if (n == 0)
            break;
        g_tcpInfo.partialSince = 0;
        if (n < 0) {
            tcpProcessRecved(msg, avail);
            off = len;
            break;
        }
        if (tcpProcessRecved(msg, n) == 1) {
            g_tcpInfo.heldLen = n;
            break;
        }
        uint8_t cmd = n >= 2 ? (uint8_t)(msg[MSG_OFF_CMD] & MSG_CMD_MASK) : 0;
        afterRequest = cmd == MSG_CMD_UPGRADE || cmd == MSG_CMD_DEVINFO;
        off += n;
    }
    memmove(buf, buf + off, (size_t)(len - off));
    g_tcpInfo.streamLen = len - off;
}

void *TCP_Thread(void *arg)
{
    const DataCallback *cb = static_cast<const DataCallback *>(arg);
    if (tcpInit(cb != nullptr ? *cb : nullptr) != 0) {
        puts("[TCP]:tcpInit fail\r");
        GB_SetEvent(GB_EVENT_EXIT);
        return nullptr;
    }
    puts("[TCP]:enter tcp thread...\r");
    while (!GB_TestEvent(GB_EVENT_EXIT)) {
        int32_t step = tcpProcessRequest();
        int waitMs = step == TCP_STEP_CONNECTED ? TCP_RECV_WAIT_MS : tcpRecvWaitMs();
        int32_t rc = tcpRecvData(waitMs);
        if (rc == -1)
            tcpPauseDisconnected(step == TCP_STEP_NO_SOCKET);
        else if (rc == 0)
            tcpDispatch();
    }
    tcpExit();
    return nullptr;
}

int32_t TCP_SendData(const uint8_t *data, int32_t len)
{
    pthread_mutex_lock(&g_gbVar.sendMutex);
    bool down = g_tcpInfo.state.load(std::memory_order_relaxed) == TCP_STATE_DISCONNECTED;
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 2, 1, down ? LED_EVENT_OFF : LED_EVENT_ON);
    if (g_tcpInfo.sock != -1 && data != nullptr && len > 0) {
        int32_t sent = TCP_Send(g_tcpInfo.sock, data, len);
        // Part of a message went out and the rest could not: the stream is
        // out of step, so end it rather than send misframed messages. The
        // link thread then drops the link at its silence limit.
        if (sent > 0 && sent < len)
            shutdown(g_tcpInfo.sock, SHUT_RDWR);
    }
    pthread_mutex_unlock(&g_gbVar.sendMutex);
    return 0;
}

int32_t TCP_IsConnectServer()
{
    return g_tcpInfo.state.load(std::memory_order_acquire) != TCP_STATE_DISCONNECTED ? 1 : 0;
}

int32_t upgradeDownlodFile(const uint8_t *msg, int32_t len)
{
    int32_t lim = tcpMsgLimit(len);
    char url[MSG_UPG_URL_SIZE];
    char user[MSG_UPG_USER_SIZE];
    char pass[MSG_UPG_PASS_SIZE];
    char path[MSG_MAX_LEN - MSG_OFF_UPG_PATH + 1];
    tcpCopyField(msg, lim, MSG_OFF_UPG_URL, (int32_t)sizeof url, url);
    tcpCopyField(msg, lim, MSG_OFF_UPG_USER, (int32_t)sizeof user, user);
    tcpCopyField(msg, lim, MSG_OFF_UPG_PASS, (int32_t)sizeof pass, pass);
    tcpCopyField(msg, lim, MSG_OFF_UPG_PATH, (int32_t)sizeof path, path);
    // The password stays out of the log: it reaches logread and often a
    // remote syslog.
    printf("[TCP]: upgrade url:%s, user:%s, pass:***, path:%s \r\n", url, user, path);

    // Every reply wait also watches the exit descriptor, so the adapter's
    // end never waits out an FTP time-out (name resolution aside).
    int sock = FTP_Connect(url, EP_FtpPort(), user, pass, GB_ExitFd());
    printf("[TCP]: upgrade, FTP_Connect socket=%d:\r\n", sock);
    if (sock < 0)
        return 0;

    // Download beside the package and rename on success, so a failed
    // download never leaves a truncated package where an installer looks.
    // The staging file is not the one the serial side stages its chunks
    // in: a local upgrade may run at the same time, and neither may write
    // into the other's file. The adapter ending (GB_EVENT_EXIT) abandons
    // the download at once, in time to remove the staging file.
    const char *package = EP_Path(EP_PATH_PACKAGE);
    const char *part = EP_Path(EP_PATH_DOWNLOAD);
    int32_t size = 0;
    int32_t result = 0;
    if (FTP_Retrfile(sock, path, part, &size, GB_ExitFd()) == 0 && upgradeCommit(part, package) == 0) {
        printf("[TCP]: upgrade success, file size:%d\r\n", size);
        result = 1;
    } else {
        puts("[TCP]: upgrade fail !!!!!!!!!!!!\r");
        unlink(part);
    }
    FTP_Quit(sock, GB_ExitFd());
    return result;
}

void tcpUpgradeAdapter(const uint8_t *msg, int32_t len)
{
    tcpSendResp(MSG_CMD_UPGRADE, MSG_RESULT_ACCEPTED);
    uint8_t code = MSG_RESULT_UPGRADE_FAIL;
    if (upgradeDownlodFile(msg, len) == 1) {
        code = MSG_RESULT_OK;
        // Seen by this thread only after the handler returns, so the
        // response below still goes out.
        GB_SetEvent(GB_EVENT_EXIT);
    }
    printf("[TCP]: upgrade errorCode: %d\r\n", code);
    tcpSendResp(MSG_CMD_UPGRADE, code);
}

void tcpModifyDeviceInfo(const uint8_t *msg, int32_t len)
{
    int32_t lim = tcpMsgLimit(len);
    char sn[GB_SERIALNUM_SIZE];
    char pc[GB_PAIRCODE_SIZE];
    tcpCopyField(msg, lim, MSG_OFF_DEV_SERIALNUM, (int32_t)sizeof sn, sn);
    tcpCopyField(msg, lim, MSG_OFF_DEV_PAIRCODE, (int32_t)sizeof pc, pc);
    uint8_t code = MSG_RESULT_DEVINFO_FAIL;
    // A request without a serial number (cut short, or empty) would wipe
    // the identity the adapter logs in with; refuse it.
    if (sn[0] != '\0' && GB_ModifyDeviceInfo(sn, pc) == 0) {
        code = MSG_RESULT_OK;
        GB_SetEvent(GB_EVENT_EXIT);
    }
    printf("[TCP]: modify errorCode: %d\r\n", code);
    tcpSendResp(MSG_CMD_DEVINFO, code);
}

int32_t tcpHttpGetFile(const char *cmd, const char *filePath)
{
    if (cmd == nullptr || filePath == nullptr)
        return 0;
    printf("[TCP]: tcpHttpGetFile cmd: %s, filePath:%s\r\n", cmd, filePath);
    int rc = system(cmd);
    (void)rc;
    return access(filePath, F_OK) == 0 ? 1 : 0;
}
