// Socket layer: thin functions over one TCP socket at a time, for the
// server link's client connection and a listening side. A server's name is
// resolved with getaddrinfo into a few addresses, IPv4 or IPv6, copied out
// at once (the resolver's list is freed before anything waits), and one
// connection attempt tries them in order, each on a socket of its family
// with its share of the wait, so a dead first address costs only its
// share. Listening is IPv4 only: nothing but tests listen. Sockets are
// non-blocking with address reuse; every wait is one poll() on the socket
// (and a caller's wake descriptor, if any), bounded in milliseconds and
// resumed after a signal until its deadline, so a signal is never mistaken
// for a failure. A receive that finds the peer gone fails: the link must not
// wait out its silence limit on a dead connection. Sends never raise
// SIGPIPE. The layer keeps no state: each call acts only on the descriptor
// it is given, and none closes a socket on failure (the caller decides).
#include "link/tcp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/common.h"
#include "core/log.h"

namespace {

constexpr int TCP_WAIT_READ = 1;
constexpr int TCP_WAIT_WRITE = 0;
// A message is at most 1 KiB, so a send finds room unless the peer has
// stopped reading; give it this long before the rest is abandoned.
constexpr int TCP_SEND_WAIT_MS = 1000;
constexpr int TCP_LISTEN_BACKLOG = 5;

void tcpSetNonblockSocket(int sock)
{
    int flags = fcntl(sock, F_GETFL, 0);
    fcntl(sock, F_SETFL, flags | O_NONBLOCK);
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

// Waits until sock is readable (mode TCP_WAIT_READ) or writable (any other
// mode), or until wakeFd (-1: none) turns readable. 1 ready (also on
// error/hang-up, so the next call reports it); 0 not ready within timeoutMs,
// or woken; -1 poll failed.
int tcpSelect(int sock, int mode, int timeoutMs, int wakeFd = -1)
{
    struct pollfd pfd[2];
    pfd[0].fd = sock;
    pfd[0].events = mode == TCP_WAIT_READ ? POLLIN : POLLOUT;
    pfd[1].fd = wakeFd;  // poll skips a negative descriptor
    pfd[1].events = POLLIN;
    int n = COMM_PollMs(pfd, 2, timeoutMs > 0 ? timeoutMs : 0);
    if (n > 0)
        return pfd[0].revents != 0 ? 1 : 0;
    return n;
}

// Completes a non-blocking connect: 0 connected, -1 refused, timed out or
// the wait failed, with errno saying why.
int tcpFinishConnect(int sock, int rc, int timeoutMs)
{
    if (rc != 0 && errno != EINPROGRESS && errno != EINTR)
        return -1;
    if (rc != 0) {
        int ready = tcpSelect(sock, TCP_WAIT_WRITE, timeoutMs);
        if (ready == 0)
            errno = ETIMEDOUT;
        if (ready <= 0)
            return -1;
    }
    // Writability alone also signals a failed connect; the pending error
    // tells them apart.
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return -1;
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

}  // namespace

int32_t TCP_Startup() { return 0; }
int32_t TCP_Cleanup() { return 0; }

namespace {

int tcpSocket(int family)
{
    int sock = socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sock < 0)
        return -1;
    tcpSetNonblockSocket(sock);
    return sock;
}

}  // namespace

int TCP_CreateSocket()
{
    return tcpSocket(AF_INET);
}

void TCP_CloseSocket(int sock)
{
    if (sock != -1)
        close(sock);
}

void TCP_FormatAddr(const TcpAddr *a, char *buf, size_t size)
{
    char ip[INET6_ADDRSTRLEN] = "?";
    bool v6 = a->u.sa.sa_family == AF_INET6;
    const void *raw = v6 ? (const void *)&a->u.v6.sin6_addr : (const void *)&a->u.v4.sin_addr;
    inet_ntop(v6 ? AF_INET6 : AF_INET, raw, ip, sizeof ip);
    unsigned port = ntohs(v6 ? a->u.v6.sin6_port : a->u.v4.sin_port);
    snprintf(buf, size, v6 ? "[%s]:%u" : "%s:%u", ip, port);
}

const char *TCP_Family(const TcpAddr *a)
{
    return a->u.sa.sa_family == AF_INET6 ? "IPv6" : "IPv4";
}

int32_t TCP_Resolve(const char *host, uint16_t port, TcpAddr *addrs, int32_t max, const char *place)
{
    int32_t n = COMM_ResolveHost(host, port, addrs, max);
    if (n == 0 && LOG_Failure(place, LOG_ERR_NOT_FOUND))
        printf("[tcp:]gethostbyname fail, server(%s), port(0x%x)\r\n", host ? host : "", port);
    return n;
}

int TCP_ConnectAny(const TcpAddr *addrs, int32_t n, int timeoutMs, int32_t *used)
{
    int64_t deadline = COMM_MonotonicMs() + timeoutMs;
    bool tried = false;
    int err = EADDRNOTAVAIL;
    for (int32_t i = 0; i < n; i++) {
        // The wait is the attempt's: once it is over, so is the attempt.
        int64_t left = deadline - COMM_MonotonicMs();
        if (left <= 0 && tried)
            break;
        int sock = tcpSocket(addrs[i].u.sa.sa_family);
        if (sock < 0) {
            err = errno;
            continue;
        }
        tried = true;
        *used = i;
        // Divided in 32 bits (left is at most timeoutMs): a 64-bit division
        // is a library call on 32-bit MIPS that would double the daemon.
        int share = left > 0 ? (int)left / (int)(n - i) : 0;
        int rc = connect(sock, &addrs[i].u.sa, COMM_AddrLen(&addrs[i]));
        if (tcpFinishConnect(sock, rc, share) == 0)
            return sock;
        err = errno;
        close(sock);
    }
    errno = err;
    // A family this kernel lacks is an address that cannot be reached, not
    // a shortage of sockets worth a quick retry.
    return tried || err == EAFNOSUPPORT ? -1 : -2;
}

int32_t TCP_ConnectServer(const char *host, uint16_t port, int timeoutMs, const char *place, int *sock,
                          TcpAddr *addr, bool settle)
{
    TcpAddr addrs[TCP_ADDR_MAX];
    *sock = -1;
    int32_t n = TCP_Resolve(host, port, addrs, TCP_ADDR_MAX, place);
    if (n == 0)
        return 1;
    int32_t used = -1;
    int s = TCP_ConnectAny(addrs, n, timeoutMs, &used);
    int err = errno;
    if (used >= 0)
        *addr = addrs[used];
    if (s == -2) {
        errno = err;
        return -2;
    }
    if (s < 0) {
        if (LOG_Failure(place, err))
            printf("fail in %s, line:%d\r\n", "TCP_Connect", 172);
        errno = err;
        return -1;
    }
    if (settle)
        LOG_Ok(place);
    *sock = s;
    return 0;
}

int32_t TCP_Connect(int sock, const char *host, uint16_t port, int timeoutMs)
{
    TcpAddr addrs[TCP_ADDR_MAX];
    int32_t n = TCP_Resolve(host, port, addrs, TCP_ADDR_MAX, TCP_PLACE_CONNECT);
    int family = AF_INET;
    socklen_t flen = sizeof family;
    getsockopt(sock, SOL_SOCKET, SO_DOMAIN, &family, &flen);
    int32_t i = 0;
    while (i < n && addrs[i].u.sa.sa_family != family)
        i++;
    if (i == n)
        return 1;
    int rc = connect(sock, &addrs[i].u.sa, COMM_AddrLen(&addrs[i]));
    if (tcpFinishConnect(sock, rc, timeoutMs) != 0) {
        int err = errno;
        if (LOG_Failure(TCP_PLACE_CONNECT, err))
            printf("fail in %s, line:%d\r\n", "TCP_Connect", 172);
        errno = err;
        return -1;
    }
    LOG_Ok(TCP_PLACE_CONNECT);
    return 0;
}

int32_t TCP_RecvWake(int sock, uint8_t *buf, int32_t len, int timeoutMs, int wakeFd)
{
    if (sock < 0 || buf == nullptr || len <= 0)
        return -1;
    int ready = tcpSelect(sock, TCP_WAIT_READ, timeoutMs, wakeFd);
    if (ready <= 0)
        return ready;
    // Handlers read fields beyond the received bytes as zero.
    memset(buf, 0, (size_t)len);
    for (;;) {
        ssize_t n = recv(sock, buf, (size_t)len, 0);
        if (n > 0)
            return (int32_t)n;
        // The peer has closed: nothing will ever arrive, so waiting for the
        // silence limit would only send data into a dead connection.
        if (n == 0) {
            errno = 0;
            return -1;
        }
        if (errno == EINTR)
            continue;
        // Readiness without data (a discarded segment): nothing arrived.
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}

int32_t TCP_Peek(int sock)
{
    uint8_t b;
    for (;;) {
        ssize_t n = recv(sock, &b, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0)
            return 1;
        if (n == 0) {
            errno = 0;
            return -1;
        }
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

int32_t TCP_Recv(int sock, uint8_t *buf, int32_t len, int timeoutMs)
{
    return TCP_RecvWake(sock, buf, len, timeoutMs, -1);
}

int32_t TCP_Send(int sock, const uint8_t *data, int32_t len)
{
    if (sock == -1)
        return 0;
    if (data == nullptr || len <= 0)
        return len == 0 ? 0 : -1;
    // A message split on the wire would be read as two broken messages, so
    // a short send is continued while the peer makes room, within a bound.
    int64_t deadline = COMM_MonotonicMs() + TCP_SEND_WAIT_MS;
    int32_t done = 0;
    while (done < len) {
        ssize_t n = send(sock, data + done, (size_t)(len - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += (int32_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return done > 0 ? done : -1;
        int64_t left = deadline - COMM_MonotonicMs();
        if (left <= 0 || tcpSelect(sock, TCP_WAIT_WRITE, (int)left) <= 0)
            return done > 0 ? done : -1;
    }
    return done;
}

int32_t TCP_BindListen(int sock, uint16_t port)
{
    if (sock == -1) {
        printf("fail in %s, line:%d\r\n", "TCP_BindListen", 122);
        return -1;
    }
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(sock, (struct sockaddr *)&sa, sizeof sa) != 0)
        return 1;
    if (listen(sock, TCP_LISTEN_BACKLOG) != 0)
        return 1;
    return 0;
}

int TCP_Accept(int listenSock)
{
    int sock;
    do {
        sock = accept4(listenSock, nullptr, nullptr, SOCK_CLOEXEC);
    } while (sock < 0 && errno == EINTR);
    if (sock < 0)
        return -1;
    tcpSetNonblockSocket(sock);
    return sock;
}
