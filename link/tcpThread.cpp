// Server link thread. Owns g_tcpInfo: the one server connection and its
// link state. Each pass of TCP_Thread does the outgoing step of the state
// (connect, online request or heartbeat), one receive into the stream
// (link/stream), and hands every whole message at its front to its handler.
// Messages are cut by their lengths alone: one that has begun waits for its
// rest (for the silence limit), and bytes that begin no message the server
// sends are a framing fault, which drops the connection: nothing after them
// is ever read as a message, so payload can never act as a request. A server
// that keeps sending what cannot be cut meets a growing wait before the
// next connection. Intervals are whole seconds of the wall clock, tested
// two-sided so that a clock step either way counts as elapsed time. A login
// or heartbeat result counts only when it answers a request sent on this
// connection and not answered yet, so results sent unasked cannot flap
// the link state.
//
// Back-pressure: a data message the serial side has no room for stays at
// the front of the stream and the socket is left unread (TCP then holds the
// server back) until GB_RoomFd() says there is room. Data waiting unread
// keeps the link from counting as silent, while heartbeats keep their own
// interval. Whole messages received before a connection broke are handed
// on before anything of the next one, unless they have waited longer than
// the silence limit since the break, when they are given up together
// (always the oldest: the serial side gives up what it holds of them, as
// old as the break, first).
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
// Servers: the link uses the first of the endpoints' list. One that cannot
// be reached (no address connects, the connection drops before its login
// is accepted, or it falls silent) hands the next attempt to the next in
// turn; 10 minutes after the link left the first, its next drop sends it
// back there. The name is resolved on this thread at each attempt, while
// no connection is up: a slow resolver holds back only that attempt, never
// the exit, as the main thread ends the process 3 s after GB_EVENT_EXIT
// whether this thread has returned or not.
//
// Every message to the server goes through TCP_SendData under sendMutex.
// The link thread changes `sock` only under that mutex too, so no send can
// reach a descriptor that is being closed or has been reused; `state` is
// atomic because the main loop reads it without the lock.
//
// TLS (--tls, link/tls): the handshake is part of connecting, done before
// the socket is published to senders, within TCP_TLS_WAIT_MS and watching
// the exit; its failure is a connect failure. Afterwards the one session is
// read here and written by every sender, so each read (non-blocking) and
// each write runs under sendMutex, and this thread waits for the socket
// outside it: a sender waits behind a read of one record at most. Bytes the
// session has decrypted but not handed over are unread data that poll()
// cannot see, so the receive and the wait for room ask the session first.
#include "link/tcpThread.h"

#include <arpa/inet.h>
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
#include "core/status.h"
#include "link/message.h"
#include "link/requests.h"
#include "link/stream.h"
#include "link/tcp.h"
#include "link/tls.h"
#include "serial/uartThread.h"

namespace {

constexpr int TCP_CONNECT_WAIT_MS = 1000;
constexpr int TCP_RECV_WAIT_MS = 1000;  // the first receive of a connection
constexpr uint32_t TCP_CONNECT_INTERVAL_S = 10;
// Consecutive framing faults double the connection interval up to this;
// this long online without one ends the run.
constexpr uint32_t TCP_FAULT_INTERVAL_MAX_S = 600;
constexpr int64_t TCP_FAULT_FORGIVE_MS = 300000;
constexpr uint32_t TCP_ONLINE_INTERVAL_S = 5;
constexpr const char *TCP_PLACE_HEARTBEAT = "server heartbeat";
constexpr const char *TCP_PLACE_RESULT = "server result";
// Pause before trying again when no socket could be made.
constexpr int TCP_RETRY_PAUSE_MS = 200;
// The TLS handshake after the TCP connect: two round trips and the
// server's chain checked, on a slow router over a cellular link.
constexpr int TCP_TLS_WAIT_MS = 5000;

struct TcpInfo {
    std::atomic<int32_t> state;
    int sock;  // written by the link thread under sendMutex
    int32_t recvLen;      // result of the latest receive
    bool held;            // the data message at the front waits for room
    std::atomic<bool> peerGone;  // the server has closed; what it sent is still read
    uint32_t lastCommunicate;  // last byte read from the server
    uint32_t lastAlive;        // ... or seen waiting unread
    DataCallback callback;
};

TcpInfo g_tcpInfo = {{TCP_STATE_DISCONNECTED}, -1, 0, false, {false}, 0, 0, nullptr};

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
int64_t s_lastCommunicateMs = 0;  // monotonic twins of lastCommunicate
int64_t s_lastAliveMs = 0;        // and lastAlive
// Results the server owes on this connection: an online request or a
// heartbeat sent and not answered yet. A result nobody asked for changes
// nothing, so a server cannot flap the link state with them.
bool s_onlineAsked = false;
bool s_heartbeatAsked = false;
// Link thread only, inside the data callback: when the message handed on
// counts its age from (monotonic ms), or -1 for now.
int64_t s_handOnSinceMs = -1;
// Framing faults in a row, and when the link last came online.
uint32_t s_faultRun = 0;
int64_t s_onlineSinceMs = 0;
std::atomic<uint32_t> s_framingFaults{0};
std::atomic<uint32_t> s_givenUp{0};
// Connections made since start: what the serial side holds is stamped with
// it, so it can tell a broken connection's messages from the current one's.
std::atomic<uint32_t> s_generation{0};
// The server in use (an index into the endpoints' list), when the link
// left the first one, and the address of the connection (or of the last
// address tried); s_wasOnline: the current connection has logged in.
int32_t s_server = 0;
int64_t s_leftFirstMs = 0;
TcpAddr s_addr;
bool s_addrKnown = false;
bool s_wasOnline = false;
// Failures of each server are summed up on their own, so two failing
// servers in turn do not each break the other's run; the first one's place
// is the one a single server has always had.
const char *const s_connectPlaces[EP_SERVER_MAX] = {TCP_PLACE_CONNECT, "server connect 2", "server connect 3",
                                                    "server connect 4"};

TcpTimer tcpStamp(uint32_t wallS)
{
    return TcpTimer{wallS, COMM_MonotonicMs()};
}

// Server i as an entry: "host:port", an IPv6 address in brackets.
void tcpServerText(int32_t i, char *buf, size_t size)
{
    const char *host = EP_ServerHostAt(i);
    snprintf(buf, size, strchr(host, ':') != nullptr ? "[%s]:%u" : "%s:%u", host, (unsigned)EP_ServerPortAt(i));
}

// The server in use as the lines name it: its entry and, unless its host
// is an IPv4 address (the lines a single IPv4 server has always had), the
// family and address connected to or last tried.
const char *tcpWhere(char *buf, size_t size)
{
    tcpServerText(s_server, buf, size);
    struct in_addr v4;
    if (!s_addrKnown || inet_pton(AF_INET, EP_ServerHostAt(s_server), &v4) == 1)
        return buf;
    char addr[TCP_ADDR_TEXT_SIZE];
    TCP_FormatAddr(&s_addr, addr, sizeof addr);
    size_t n = strlen(buf);
    snprintf(buf + n, size - n, " (%s %s)", TCP_Family(&s_addr), addr);
    return buf;
}

// Tells the state file which server is in use and, connected, where.
void tcpShowServer(bool connected)
{
    char server[EP_HOST_MAX_LEN + 9];
    char addr[TCP_ADDR_TEXT_SIZE] = "";
    tcpServerText(s_server, server, sizeof server);
    if (connected)
        TCP_FormatAddr(&s_addr, addr, sizeof addr);
    STATUS_Server(server, addr);
}

// Where the next attempt goes once a connection ended or an attempt
// failed: after 10 minutes (EP_BackupS) away from the first server, to the
// first again; otherwise, when this one could not be reached, to the next
// in turn. shown: the failure's own lines were printed, so the move's is.
void tcpNextServer(bool unreachable, bool shown)
{
    int32_t n = EP_ServerCount();
    if (n <= 1)
        return;
    int64_t now = COMM_MonotonicMs();
    bool back = s_server != 0 && now - s_leftFirstMs >= (int64_t)EP_BackupS() * 1000;
    if (!back && !unreachable)
        return;
    char from[EP_HOST_MAX_LEN + 9], to[EP_HOST_MAX_LEN + 9];
    tcpServerText(s_server, from, sizeof from);
    if (s_server == 0)
        s_leftFirstMs = now;
    s_server = back ? 0 : (s_server + 1) % n;
    s_addrKnown = false;
    tcpServerText(s_server, to, sizeof to);
    if (shown || back)
        printf("[TCP]:server %s in use from the next connection, %s %s\r\n", to,
               back ? "back from the backup" : "could not reach", from);
    tcpShowServer(false);
}

// The server is alive: data waits for the adapter, read or not.
void tcpRenewAlive(uint32_t now)
{
    g_tcpInfo.lastAlive = now;
    s_lastAliveMs = COMM_MonotonicMs();
}

void tcpRenewCommunicate(uint32_t now)
{
    g_tcpInfo.lastCommunicate = now;
    s_lastCommunicateMs = COMM_MonotonicMs();
    tcpRenewAlive(now);
}

int32_t tcpSilenceMs()
{
    return (int32_t)EP_SilenceS() * 1000;
}

// The wait between connection attempts: 10 s, doubled for each framing
// fault in a row after the first, up to 10 minutes.
uint32_t tcpConnectInterval()
{
    uint32_t s = TCP_CONNECT_INTERVAL_S;
    for (uint32_t i = 1; i < s_faultRun && s < TCP_FAULT_INTERVAL_MAX_S; i++)
        s *= 2;
    return s < TCP_FAULT_INTERVAL_MAX_S ? s : TCP_FAULT_INTERVAL_MAX_S;
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
    // A closed server: what is left is to see the device take its data or
    // the serial side give up what is older, each told by the room descriptor
    // or seen at the next look.
    if (g_tcpInfo.peerGone.load(std::memory_order_relaxed))
        return TCP_RECV_WAIT_MS;
    TcpNow now = tcpNow();
    TcpTimer comm = {g_tcpInfo.lastCommunicate, s_lastCommunicateMs};
    TcpTimer alive = {g_tcpInfo.lastAlive, s_lastAliveMs};
    int64_t wait = tcpMsUntil(alive, EP_SilenceS(), now);
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

void tcpClearRoom()
{
    uint64_t n;
    if (read(GB_RoomFd(), &n, sizeof n) < 0) {
        // Cleared already.
    }
}

// Disconnected: sleeps until the next connection attempt is due, or a short
// while when the last one could not even make a socket, or until exit, or
// until a message of the broken connection that waits finds room.
void tcpPauseDisconnected(bool noSocket)
{
    int64_t wait = noSocket ? TCP_RETRY_PAUSE_MS : tcpMsUntil(s_connectTime, tcpConnectInterval(), tcpNow());
    struct pollfd pfd[2] = {{GB_ExitFd(), POLLIN, 0}, {g_tcpInfo.held ? GB_RoomFd() : -1, POLLIN, 0}};
    if (g_tcpInfo.held) {
        // No connection while a broken one's messages wait for the device
        // (tcpConnectServer): they go first. Until they are old enough to
        // give up; then until the serial hold empties, which the room
        // descriptor tells when the hold had turned one away, and a look
        // each second sees otherwise.
        int64_t giveUp = STREAM_KeptSince() + tcpSilenceMs() - COMM_MonotonicMs();
        wait = giveUp > 0 ? giveUp : TCP_RECV_WAIT_MS;
    }
    if (wait != 0 && COMM_PollMs(pfd, 2, (int32_t)wait) > 0 && pfd[1].revents != 0)
        tcpClearRoom();
}

// Installs a new socket and state where a concurrent send sees them.
void tcpSetLink(int sock, int32_t state)
{
    pthread_mutex_lock(&g_gbVar.sendMutex);
    g_tcpInfo.sock = sock;
    g_tcpInfo.state.store(state, std::memory_order_release);
    pthread_mutex_unlock(&g_gbVar.sendMutex);
    STATUS_Link(state);
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

// Ends the connection. The whole messages it delivered and the adapter has
// not handed on yet stay, as the server sent them for good; after a framing
// fault nothing does, as nothing past it can be cut.
void tcpDropLink(bool fault, bool silent = false)
{
    // Dropped before logging in (the handshake failed) or for silence: the
    // server cannot be reached; any other drop of a logged-in link is a
    // break in a working one, tried again at the same server.
    bool shown = LOG_Shown(TCP_PLACE_LINK) && LOG_Shown("server message");
    tcpNextServer(!s_wasOnline || silent, shown);
    s_wasOnline = false;
    tcpShowServer(false);
    pthread_mutex_lock(&g_gbVar.sendMutex);
    TLS_Close(true);
    TCP_CloseSocket(g_tcpInfo.sock);
    g_tcpInfo.sock = -1;
    g_tcpInfo.state.store(TCP_STATE_DISCONNECTED, std::memory_order_release);
    pthread_mutex_unlock(&g_gbVar.sendMutex);
    if (TLS_On())
        STATUS_Tls("", "", "", "");
    g_tcpInfo.peerGone.store(false, std::memory_order_release);
    STATUS_Link(TCP_STATE_DISCONNECTED);
    if (fault)
        STREAM_Clear();
    if (fault || STREAM_Dropped(COMM_MonotonicMs()) == 0)
        g_tcpInfo.held = false;
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
    g_tcpInfo.held = false;
    STREAM_Reset();
    g_tcpInfo.lastCommunicate = 0;
    g_tcpInfo.lastAlive = 0;
    g_tcpInfo.callback = callback;
    s_server = 0;
    s_addrKnown = false;
    s_wasOnline = false;
    tcpShowServer(false);
    // A download cut short by the end of an earlier run is useless and takes
    // the room the next one needs.
    unlink(EP_Path(EP_PATH_DOWNLOAD));
    return 0;
}

void tcpExit()
{
    pthread_mutex_lock(&g_gbVar.sendMutex);
    TLS_Close(true);
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

// The TLS handshake on a connected socket: 0 the session is up (the
// attempt's failures are over, and the session is logged and shown);
// otherwise the socket is closed, why says why and the failure is counted
// at place.
int32_t tcpOpenTls(int sock, const char *place, char *why, size_t size)
{
    if (TLS_Open(sock, EP_ServerHostAt(s_server), TCP_TLS_WAIT_MS, GB_ExitFd(), why, size) != 0) {
        TCP_CloseSocket(sock);
        if (LOG_Failure(place, EPROTO))
            printf("[TCP]:TLS handshake fail: %s\r\n", why);
        return -1;
    }
    LOG_Ok(place);
    char version[16], suite[64], subject[256], notAfter[24];
    TLS_Describe(version, sizeof version, suite, sizeof suite, subject, sizeof subject, notAfter, sizeof notAfter);
    STATUS_Tls(version, suite, subject, notAfter);
    LOG_Routinef("[TCP]:TLS up, %s %s, server certificate %s until %s\r\n", version, suite, subject, notAfter);
    return 0;
}

int32_t tcpConnectServer()
{
    // A broken connection's messages reach the device before anything of
    // the next one, and the next one's login and heartbeats would go
    // unanswered behind them.
    if (STREAM_KeptLen() > 0 || !tcpElapsed(s_connectTime, tcpConnectInterval()))
        return TCP_STEP_DONE;
    const char *place = s_connectPlaces[s_server];
    int sock = -1;
    s_addr.u.sa.sa_family = AF_UNSPEC;
    int32_t rc = TCP_ConnectServer(EP_ServerHostAt(s_server), EP_ServerPortAt(s_server), TCP_CONNECT_WAIT_MS, place,
                                   &sock, &s_addr, !TLS_On());
    int32_t err = rc == 1 ? LOG_ERR_NOT_FOUND : errno;
    char tlsWhy[128] = "";
    if (rc == 0 && TLS_On() && tcpOpenTls(sock, place, tlsWhy, sizeof tlsWhy) != 0) {
        rc = -1;
        err = EPROTO;
        sock = -1;
    }
    char where[EP_HOST_MAX_LEN + 9 + TCP_ADDR_TEXT_SIZE + 8];
    s_addrKnown = s_addr.u.sa.sa_family != AF_UNSPEC;
    tcpWhere(where, sizeof where);
    if (rc == -2) {
        STATUS_Error(err, "make a socket");
        if (LOG_Failure(place, err)) {
            printf("fail in %s, line:%d\r\n", "tcpConnectServer", 236);
            LOG_Detail("[TCP]: no socket for %s: %s", where, LOG_Reason(err));
        }
        return TCP_STEP_NO_SOCKET;
    }
    uint32_t now = COMM_GetSystemS();
    if (rc == 0) {
        tcpRenewCommunicate(now);
        g_tcpInfo.peerGone.store(false, std::memory_order_release);
        s_generation.fetch_add(1, std::memory_order_release);
        s_wasOnline = false;
        tcpShowServer(true);
        s_onlineAsked = false;
        s_heartbeatAsked = false;
        tcpSetLink(sock, TCP_STATE_CONNECTED);
        if (LOG_Shown(TCP_PLACE_LINK))
            puts("[TCP]:connect success \r");
        tcpConnected();
    } else {
        if (tlsWhy[0] != '\0')
            STATUS_Error(0, "TLS with the server: %s", tlsWhy);
        else
            STATUS_Error(rc == 1 ? 0 : err, rc == 1 ? "resolve the server's host" : "connect to the server");
        bool shown = LOG_Shown(place);
        if (shown) {
            puts("[TCP]:connect fail \r");
            LOG_Detail("[TCP]: cannot connect to %s: %s", where, tlsWhy[0] != '\0' ? tlsWhy : LOG_Reason(err));
        }
        tcpNextServer(true, shown);
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
    s_onlineAsked = true;
    s_onlineTime = tcpStamp(COMM_GetSystemS());
}

// Five minutes online end a run of framing faults: looked at with each
// heartbeat step and at the next fault.
void tcpForgiveFaults()
{
    if (s_faultRun > 0 && g_tcpInfo.state.load(std::memory_order_relaxed) == TCP_STATE_ONLINE &&
        COMM_MonotonicMs() - s_onlineSinceMs >= TCP_FAULT_FORGIVE_MS)
        s_faultRun = 0;
}

void tcpHeartbeatRequest()
{
    uint32_t now = COMM_GetSystemS();
    tcpForgiveFaults();
    if (COMM_Elapsed(g_tcpInfo.lastCommunicate, now) < EP_HeartbeatS() ||
        COMM_Elapsed(s_heartbeatTime.wallS, now) < EP_HeartbeatS())
        return;
    uint8_t buf[MSG_HEARTBEAT_LEN] = {0, 0};
    MSG_SetHead(buf, MSG_CMD_HEARTBEAT);
    TCP_SendData(buf, MSG_HEARTBEAT_LEN);
    s_heartbeatAsked = true;
    s_heartbeatTime = tcpStamp(now);
    LOG_Routinef("[TCP]:adapter send heartbeat [%d]\r\n", (int)now);
}

int32_t tcpProcessRequest()
{
    if (g_tcpInfo.peerGone.load(std::memory_order_relaxed))
        return TCP_STEP_DONE;  // nobody would hear it
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

// The server closed while the device held back what it had sent: no more
// heartbeats or logins into the closed socket, and what it sent is still
// read as the device takes it, for the silence limit at most.
void tcpPeerGone()
{
    g_tcpInfo.peerGone.store(true, std::memory_order_release);
    STATUS_Link(TCP_STATE_DISCONNECTED);
    STATUS_Error(0, "the server closed the connection while the device held its data back");
    if (LOG_Failure(TCP_PLACE_LINK, LOG_ERR_CLOSED))
        puts("[TCP]:server closed the link, what it sent still goes to the device\r");
}

// What the session holds decrypted and unread (0 without TLS).
int32_t tcpTlsPending()
{
    if (!TLS_On())
        return 0;
    pthread_mutex_lock(&g_gbVar.sendMutex);
    int32_t n = TLS_Pending();
    pthread_mutex_unlock(&g_gbVar.sendMutex);
    return n;
}

// TCP_Peek that also counts what the TLS session has decrypted already.
int32_t tcpPeek()
{
    return tcpTlsPending() > 0 ? 1 : TCP_Peek(g_tcpInfo.sock);
}

// TCP_RecvWake over the link, TLS or not: bytes the session decrypted
// already are read at once; otherwise it waits for the socket (or exit)
// outside the send lock and reads what came under it.
int32_t tcpRecv(uint8_t *buf, int32_t len, int waitMs)
{
    if (!TLS_On())
        return TCP_RecvWake(g_tcpInfo.sock, buf, len, waitMs, GB_ExitFd());
    if (tcpTlsPending() == 0) {
        struct pollfd pfd[2] = {{g_tcpInfo.sock, POLLIN, 0}, {GB_ExitFd(), POLLIN, 0}};
        int n = COMM_PollMs(pfd, 2, waitMs);
        if (n < 0)
            return -1;
        if (n == 0 || pfd[0].revents == 0)
            return 0;
    }
    pthread_mutex_lock(&g_gbVar.sendMutex);
    int32_t got = TLS_Read(buf, len);
    int err = errno;
    pthread_mutex_unlock(&g_gbVar.sendMutex);
    errno = err;
    return got;
}

// While a data message waits for room: waits for room, exit, the next step
// or the server's close, and reads nothing. Unread data shows the server
// alive until it has closed. -1 when the link failed, else 0.
int32_t tcpWaitRoom(int waitMs)
{
    // The close is told apart from data still waiting only by POLLRDHUP.
    struct pollfd pfd[3] = {{GB_RoomFd(), POLLIN, 0}, {GB_ExitFd(), POLLIN, 0},
                            {g_tcpInfo.peerGone.load(std::memory_order_relaxed) ? -1 : g_tcpInfo.sock, POLLRDHUP, 0}};
    if (COMM_PollMs(pfd, 3, waitMs) > 0) {
        if (pfd[0].revents != 0)
            tcpClearRoom();
        if (pfd[2].revents != 0)
            tcpPeerGone();
    }
    int32_t pending = tcpPeek();
    if (pending > 0 && !g_tcpInfo.peerGone.load(std::memory_order_relaxed))
        tcpRenewAlive(COMM_GetSystemS());
    return pending < 0 ? -1 : 0;
}

// A closed server's data that the device has not taken within the silence
// limit is given up: what waits in the stream and what was never read. It
// is newer than anything the serial side still holds, which it gives up by
// the same age.
void tcpGiveUpClosed()
{
    uint8_t sink[512];
    int32_t unread = tcpTlsPending();
    // Under TLS the socket holds records, not data: only what the session
    // decrypted is counted.
    bool plain = !TLS_On();
    for (ssize_t n; (n = recv(g_tcpInfo.sock, sink, sizeof sink, MSG_DONTWAIT)) > 0;)
        unread += plain ? (int32_t)n : 0;
    STREAM_Dropped(COMM_MonotonicMs());
    int32_t bytes = 0;
    int32_t count = STREAM_GiveUpKept(&bytes);
    TCP_NoteGivenUp((uint32_t)count);
    printf("[TCP]:gave up %d messages (%d bytes) and %d bytes unread of a closed link, %u s old\r\n", (int)count,
           (int)bytes, (int)unread, (unsigned)EP_SilenceS());
    tcpDropLink(true);
}

// Receives once into the stream, waiting up to waitMs (less while a message
// is half there) or until GB_EVENT_EXIT; or, while a message waits for
// room, only waits. -1 disconnected (nothing done), 1 the link was dropped,
// else 0.
int32_t tcpRecvData(int waitMs)
{
    if (g_tcpInfo.state.load(std::memory_order_relaxed) == TCP_STATE_DISCONNECTED)
        return -1;
    int64_t deadline = STREAM_Deadline(tcpSilenceMs());
    if (deadline >= 0) {
        int64_t left = deadline - COMM_MonotonicMs();
        waitMs = left <= 0 ? 0 : left < waitMs ? (int)left : waitMs;
    }
    if (g_tcpInfo.held) {
        g_tcpInfo.recvLen = tcpWaitRoom(waitMs);
    } else {
        int32_t room;
        uint8_t *tail = STREAM_Tail(&room);
        g_tcpInfo.recvLen = tcpRecv(tail, room, waitMs);
    }
    if (g_tcpInfo.recvLen < 0) {
        int got = errno;
        STATUS_Error(got, got != 0 ? "receive from the server" : "the server closed the connection");
        int32_t err = got != 0 ? got : LOG_ERR_CLOSED;
        if (LOG_Failure(TCP_PLACE_LINK, err)) {
            puts("[TCP]:recv socket error \r");
            char where[EP_HOST_MAX_LEN + 9 + TCP_ADDR_TEXT_SIZE + 8];
            LOG_Detail("[TCP]: link to %s lost: %s", tcpWhere(where, sizeof where), LOG_Reason(err));
        }
        tcpDropLink(false);
        return 1;
    }
    if (g_tcpInfo.recvLen > 0) {
        STREAM_Received(g_tcpInfo.recvLen);
        // A closed server's data counts from its close, however it trickles.
        if (!g_tcpInfo.peerGone.load(std::memory_order_relaxed))
            tcpRenewCommunicate(COMM_GetSystemS());
        return 0;
    }
    uint32_t now = COMM_GetSystemS();
    if (g_tcpInfo.peerGone.load(std::memory_order_relaxed)) {
        // The serial side gives up what it holds of it by the same age, as
        // the link counts as down meanwhile; waiting for it to empty would
        // wait for ever, as each message it takes in is new to it.
        if (COMM_Elapsed(g_tcpInfo.lastAlive, now) < EP_SilenceS())
            return 0;
        tcpGiveUpClosed();
        return 1;
    }
    if (COMM_Elapsed(g_tcpInfo.lastAlive, now) >= EP_SilenceS()) {
        STATUS_Error(0, "nothing from the server for %u s", (unsigned)EP_SilenceS());
        if (LOG_Failure(TCP_PLACE_LINK, LOG_ERR_SILENT)) {
            printf("[TCP]:lost server, lastCommunicate:%d [%d]\r\n", (int)g_tcpInfo.lastCommunicate, (int)now);
            char where[EP_HOST_MAX_LEN + 9 + TCP_ADDR_TEXT_SIZE + 8];
            LOG_Detail("[TCP]: server %s silent for %u s", tcpWhere(where, sizeof where), (unsigned)EP_SilenceS());
        }
        tcpDropLink(false, true);
        return 1;
    }
    return 0;
}

// Whether the lines of a login are printed: not while the link flaps or
// each login follows a refused heartbeat, where they only repeat.
bool tcpLoginShown()
{
    return LOG_Shown(TCP_PLACE_LINK) && LOG_Shown(TCP_PLACE_HEARTBEAT);
}

void tcpOnlineResp(const uint8_t *msg, int32_t)
{
    s_onlineAsked = false;
    if (msg[MSG_OFF_ERRORCODE] != MSG_RESULT_OK) {
        STATUS_Error(0, "login refused by the server, code %d", msg[MSG_OFF_ERRORCODE]);
        return;
    }
    if (g_tcpInfo.state.load(std::memory_order_relaxed) != TCP_STATE_ONLINE)
        s_onlineSinceMs = COMM_MonotonicMs();
    s_wasOnline = true;
    g_tcpInfo.state.store(TCP_STATE_ONLINE, std::memory_order_release);
    STATUS_Link(TCP_STATE_ONLINE);
    if (tcpLoginShown())
        puts("[TCP]:online success \r");
}

void tcpHeartbeatResp(const uint8_t *msg, int32_t)
{
    uint8_t code = msg[MSG_OFF_ERRORCODE];
    s_heartbeatAsked = false;
    if (code == MSG_RESULT_OK) {
        LOG_Ok(TCP_PLACE_HEARTBEAT);
        return;
    }
    // A server that refuses every heartbeat is a repeating failure, and so
    // is the login after each refusal (tcpProcessRecved).
    if (LOG_Failure(TCP_PLACE_HEARTBEAT, EACCES))
        printf("[TCP]:adapter heartbeat fail, errorCode:%d\r\n", code);
    g_tcpInfo.state.store(TCP_STATE_HEARTBEAT_FAIL, std::memory_order_release);
    STATUS_Error(0, "heartbeat refused by the server, code %d", code);
    STATUS_Link(TCP_STATE_HEARTBEAT_FAIL);
}

// A result that answers nothing the adapter asked on this connection (a
// second answer, or one nobody asked for) changes neither the link state
// nor the state file: it only shows the server alive.
void tcpUnaskedResult(const uint8_t *head)
{
    if (LOG_Failure(TCP_PLACE_RESULT, EPROTO))
        printf("[TCP]:result nobody asked for, ignored: %02x %02x %02x\r\n", head[0], head[1], head[2]);
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
        if (s_onlineAsked)
            tcpOnlineResp(head, len);
        else
            tcpUnaskedResult(head);
        break;
    case MSG_CMD_HEARTBEAT:
        if (s_heartbeatAsked)
            tcpHeartbeatResp(head, len);
        else
            tcpUnaskedResult(head);
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
    // A login refused every 5 s is a repeating failure; one accepted is
    // told with the rest of a flapping link; one nobody asked for is told
    // by its own line.
    bool refused = len > MSG_OFF_ERRORCODE && msg[MSG_OFF_ERRORCODE] != MSG_RESULT_OK;
    if (cmd == MSG_CMD_ONLINE && !s_onlineAsked)
        show = LOG_Routine();
    else if (!LOG_Routine() && cmd == MSG_CMD_ONLINE && refused)
        show = LOG_Failure("server login", EACCES);
    else if (cmd == MSG_CMD_ONLINE) {
        LOG_Ok("server login");
        show = show && tcpLoginShown();
    }
    if (show)
        printf("[TCP]:tcp recv data, update lastCommunicate: %d\r\n", (int)g_tcpInfo.lastCommunicate);
    if (msg[MSG_OFF_VERSION] != MSG_PROTOCOL_VERSION) {
        if (LOG_Failure("server message", EPROTO))
            printf("fail in %s, line:%d\r\n", "tcpProcessRecved", 201);
        return -1;
    }
    return tcpHandle(msg, len);
}

// Bytes that cannot be cut into messages: nothing after them can be read
// safely, so the connection ends, and a run of such connections waits
// longer each time before the next.
static void tcpFramingFault(const uint8_t *msg, int32_t len, const char *why)
{
    tcpForgiveFaults();
    s_faultRun++;
    s_framingFaults.fetch_add(1, std::memory_order_relaxed);
    // The wait the line names counts from the fault, not from the attempt
    // that made the connection.
    s_connectTime = tcpStamp(COMM_GetSystemS());
    STATUS_Error(0, "framing fault in the server's data (%s)", why);
    if (LOG_Failure("server message", EPROTO)) {
        if (len > 0 && msg[MSG_OFF_VERSION] != MSG_PROTOCOL_VERSION)
            printf("fail in %s, line:%d\r\n", "tcpProcessRecved", 201);
        char hex[8 * 3 + 1] = "";
        for (int32_t i = 0; i < len && i < 8; i++)
            snprintf(hex + i * 3, sizeof hex - (size_t)i * 3, " %02x", msg[i]);
        printf("[TCP]:framing fault (%s):%s; link dropped, next connection in %u s\r\n", why, hex,
               (unsigned)tcpConnectInterval());
    }
    tcpDropLink(true);
}

// Messages of a broken connection that have waited the silence limit since
// it broke are given up; only once nothing older waits in the serial hold,
// so what is given up is always the oldest of what is held. Until then,
// once they are that old, none of them is handed on either: the serial side
// gives up what it holds of the broken connection by the same age, and
// then they all go in one line. 1 when some were given up, -1 when they
// wait for the serial hold to empty, else 0.
static int32_t tcpGiveUpStale()
{
    if (STREAM_KeptLen() == 0 || COMM_MonotonicMs() - STREAM_KeptSince() < tcpSilenceMs())
        return 0;
    if (UART_HeldMessages() != 0) {
        g_tcpInfo.held = true;  // tcpPauseDisconnected looks again
        return -1;
    }
    int32_t bytes = 0;
    int32_t count = STREAM_GiveUpKept(&bytes);
    g_tcpInfo.held = false;
    TCP_NoteGivenUp((uint32_t)count);
    STATUS_Error(0, "gave up %d messages of a broken link, %u s old", (int)count, (unsigned)EP_SilenceS());
    printf("[TCP]:gave up %d messages (%d bytes) of a broken link, %u s old\r\n", (int)count, (int)bytes,
           (unsigned)EP_SilenceS());
    return 1;
}

// Hands the whole message at the front on: 0 when it is done with, 1 when
// it is a data message the serial side has no room for yet. A message of
// a broken connection is serial data or nothing: its results and requests
// belonged to a connection whose state is gone.
static int32_t tcpHandOn(const uint8_t *msg, int32_t len)
{
    bool old = STREAM_KeptLen() > 0 || g_tcpInfo.peerGone.load(std::memory_order_relaxed);
    if (g_tcpInfo.held || old) {
        if ((msg[MSG_OFF_CMD] & MSG_CMD_MASK) != MSG_CMD_UART_DATA || g_tcpInfo.callback == nullptr)
            return 0;
        // A broken connection's message is as old as the break wherever it
        // waits, so the serial side gives it up with the rest of them.
        s_handOnSinceMs = STREAM_KeptLen() > 0 ? STREAM_KeptSince() : -1;
        int32_t rc = g_tcpInfo.callback(msg, len);
        s_handOnSinceMs = -1;
        return rc != 0 ? 1 : 0;
    }
    return tcpProcessRecved(msg, len) == 1 ? 1 : 0;
}

// Hands every whole message at the front of the stream on, in order; stops
// at a message still arriving, at a data message that waits for room, and
// at a framing fault, which ends the connection.
static void tcpDispatch()
{
    while (!GB_TestEvent(GB_EVENT_EXIT)) {
        int32_t stale = tcpGiveUpStale();
        if (stale < 0)
            return;
        if (stale > 0)
            continue;
        const uint8_t *msg;
        int32_t len;
        const char *why = "";
        int32_t r = STREAM_Front(COMM_MonotonicMs(), tcpSilenceMs(), &msg, &len, &why);
        if (r == STREAM_WAIT)
            return;
        if (r == STREAM_FAULT) {
            tcpFramingFault(msg, len, why);
            return;
        }
        g_tcpInfo.held = tcpHandOn(msg, len) == 1;
        if (g_tcpInfo.held)
            return;
        STREAM_Consume();
    }
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
        if (rc == -1) {
            // What a broken connection delivered goes on to the device
            // meanwhile.
            tcpDispatch();
            tcpPauseDisconnected(step == TCP_STEP_NO_SOCKET);
        } else if (rc == 0) {
            tcpDispatch();
        }
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
        bool tls = TLS_On();
        int32_t sent = tls ? TLS_Write(data, len) : TCP_Send(g_tcpInfo.sock, data, len);
        STATUS_Sent(data, len, sent);
        // Part of a message went out and the rest could not: the stream is
        // out of step, so end it rather than send misframed messages. The
        // link thread then drops the link at its silence limit. A TLS
        // record given up may be partly on the wire, and the session would
        // send its rest in place of the next message: it ends too.
        if (sent < len && (sent > 0 || tls))
            shutdown(g_tcpInfo.sock, SHUT_RDWR);
    }
    pthread_mutex_unlock(&g_gbVar.sendMutex);
    return 0;
}

int32_t TCP_IsConnectServer()
{
    return g_tcpInfo.state.load(std::memory_order_acquire) != TCP_STATE_DISCONNECTED &&
                   !g_tcpInfo.peerGone.load(std::memory_order_acquire)
               ? 1
               : 0;
}


uint32_t TCP_FramingFaults()
{
    return s_framingFaults.load(std::memory_order_relaxed);
}

uint32_t TCP_GivenUp()
{
    return s_givenUp.load(std::memory_order_relaxed);
}

void TCP_NoteGivenUp(uint32_t msgs)
{
    s_givenUp.fetch_add(msgs, std::memory_order_relaxed);
}

uint32_t TCP_Generation()
{
    return s_generation.load(std::memory_order_acquire);
}

int64_t TCP_HandOnSinceMs()
{
    return s_handOnSinceMs;
}
