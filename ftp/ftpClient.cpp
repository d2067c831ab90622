// FTP client: a blocking control connection, passive data connections and
// binary type. The module keeps no state: every operation takes the control
// socket and works on buffers on its own stack, except the listing, which
// grows on the heap. One receive on the control socket is one reply (at most
// 512 bytes, NUL-terminated). Command lines are formatted into fixed buffers
// and refused before anything is sent when they do not fit or when an
// argument would smuggle in a line break. Sockets carry 15 s send/receive
// time-outs; a signal does not cut a wait short before that deadline. A
// caller may pass a cancel descriptor to the operations it must be able to
// end early: every connect and reply wait of those also ends once it turns
// readable. Name resolution cannot be cut short; a name's addresses, IPv4
// or IPv6, are tried in turn, and the data connection is asked for with
// EPSV over IPv6 and PASV over IPv4. A download asks SIZE
// first and counts only when that length arrived and 226/250 confirmed it;
// its data connection goes to the control connection's peer, never to the
// address a PASV reply names.
#include "ftp/ftpClient.h"

#include "core/common.h"
#include "core/log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static constexpr int FTP_TIMEOUT_S = 15;
static constexpr size_t FTP_REPLY_MAX = 512;   // bytes of one reply receive
static constexpr size_t FTP_LINE_SHORT = 128;  // USER, PASS, TYPE, CWD, PORT
static constexpr size_t FTP_LINE_LONG = 512;   // every other command line
static constexpr size_t FTP_CHUNK = 512;       // every data transfer step
static constexpr int FTP_TOS_THROUGHPUT = 8;
static constexpr int FTP_CODE_MAX = 999;
// Addresses of the server's name tried in turn, each with the whole wait.
static constexpr int32_t FTP_ADDR_MAX = 4;
// A fetched file is readable by all, as a package pushed over the serial
// port is (the umask still applies).
static constexpr mode_t FTP_FILE_MODE = 0644;

// ---------------------------------------------------------------------------
// Low-level I/O

static int64_t ftpDeadline()
{
    return COMM_MonotonicMs() + FTP_TIMEOUT_S * 1000;
}

// After an EINTR: 1 while a retry is allowed, else 0. The clock is read
// only once a signal arrived, never on the per-chunk path; *deadline starts
// at 0 and is fixed by the first interruption.
static int ftpRetryEintr(int64_t *deadline)
{
    if (errno != EINTR)
        return 0;
    int64_t now = COMM_MonotonicMs();
    if (*deadline == 0)
        *deadline = ftpDeadline();
    return now < *deadline ? 1 : 0;
}

// One receive; EINTR is retried for up to the time-out.
static ssize_t ftpRecv(int sock, void *buf, size_t len)
{
    int64_t deadline = 0;
    for (;;) {
        ssize_t n = recv(sock, buf, len, 0);
        if (n >= 0 || !ftpRetryEintr(&deadline))
            return n;
    }
}

// Sends all len bytes (a closed peer raises no SIGPIPE). 0, or -1 on error
// or time-out.
static int ftpSendAll(int sock, const void *data, size_t len)
{
    const char *p = (const char *)data;
    int64_t deadline = 0;
    while (len > 0) {
        ssize_t n = send(sock, p, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (ftpRetryEintr(&deadline))
                continue;
            return -1;
        }
        p += n;
        len -= (size_t)n;
    }
    return 0;
}

static ssize_t ftpWrite(int fd, const void *buf, size_t len)
{
    for (;;) {
        ssize_t n = write(fd, buf, len);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

static ssize_t ftpRead(int fd, void *buf, size_t len)
{
    for (;;) {
        ssize_t n = read(fd, buf, len);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

// Formats one command line (format ending in "\r\n") into line[size].
// 0, or -1 when it does not fit or holds a CR/LF before its end; line is then
// empty so nothing can be sent by mistake.
__attribute__((format(printf, 3, 4)))
static int ftpFormat(char *line, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, size, fmt, ap);
    va_end(ap);
    if (n < 2 || (size_t)n >= size) {
        line[0] = '\0';
        return -1;
    }
    for (int i = 0; i < n - 2; i++) {
        if (line[i] == '\r' || line[i] == '\n') {
            line[0] = '\0';
            return -1;
        }
    }
    return 0;
}

int ftpReplyCode(const char *reply)
{
    const unsigned char *p = (const unsigned char *)reply;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    if (*p < '0' || *p > '9')
        return 0;
    int code = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        code = code * 10 + (*p - '0');
        if (code > FTP_CODE_MAX)
            return FTP_CODE_MAX;  // not an FTP code, but still a refusal
    }
    return code;
}

// ---------------------------------------------------------------------------
// Connections

// Waits until sock is ready for `events`, or cancelFd (-1: none; poll
// skips it) turns readable. 1 ready, 0 cancelled, -1 time-out or failure.
static int ftpWaitReady(int sock, short events, int cancelFd)
{
    struct pollfd pfd[2] = {{sock, events, 0}, {cancelFd, POLLIN, 0}};
    int r = COMM_PollMs(pfd, 2, FTP_TIMEOUT_S * 1000);
    if (r <= 0)
        return -1;
    return pfd[1].revents != 0 ? 0 : 1;
}

// 1 once cancelFd (-1: none) is readable, else 0; does not wait.
static int ftpCancelled(int cancelFd)
{
    struct pollfd pfd = {cancelFd, POLLIN, 0};
    return cancelFd >= 0 && poll(&pfd, 1, 0) > 0 ? 1 : 0;
}

// Connects sock to a without blocking, so the wait is bounded by the
// time-out and ends early on cancelFd. The socket is left blocking.
// 0, or -1.
static int ftpConnectWithin(int sock, const CommAddr *a, int cancelFd)
{
    int fl = fcntl(sock, F_GETFL);
    if (fl < 0 || fcntl(sock, F_SETFL, fl | O_NONBLOCK) < 0)
        return -1;
    int rc = connect(sock, &a->u.sa, COMM_AddrLen(a));
    if (rc < 0 && (errno == EINPROGRESS || errno == EINTR)) {
        rc = -1;
        int err = 0;
        socklen_t len = sizeof err;
        int ready = ftpWaitReady(sock, POLLOUT, cancelFd);
        if (ready == 1 && getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
            rc = 0;
        errno = ready == 1 ? err : ETIMEDOUT;
    }
    if (rc == 0 && fcntl(sock, F_SETFL, fl) < 0)
        rc = -1;
    return rc;
}

// New TCP socket of a's family with throughput TOS (traffic class) and
// 15 s time-outs, connected to a (what names the peer in the log lines).
// Socket, or -1.
static int ftpConnectAddr(const CommAddr *a, const char *what, int port, int cancelFd)
{
    bool v6 = a->u.sa.sa_family == AF_INET6;
    int sock = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int tos = FTP_TOS_THROUGHPUT;
    if (sock < 0 || setsockopt(sock, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_TCLASS : IP_TOS, &tos,
                               sizeof tos) < 0) {
        int err = errno;
        puts(COMM_TAG("FTP") ":socket fail \r");
        LOG_Detail("[FTP]: no socket for %s:%d: %s", what, port, LOG_Reason(err));
        if (sock >= 0)
            close(sock);
        return -1;
    }
    struct timeval tv = {FTP_TIMEOUT_S, 0};
    (void)setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    (void)setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (port <= 0 || port > 65535 || ftpConnectWithin(sock, a, cancelFd) < 0) {
        int err = port <= 0 || port > 65535 ? EINVAL : errno;
        puts(COMM_TAG("FTP") ":connect fail \r");
        LOG_Detail("[FTP]: cannot connect to %s:%d: %s", what, port, LOG_Reason(err));
        close(sock);
        return -1;
    }
    return sock;
}

// Control connection to host (a name, or an IPv4 or IPv6 address, which
// may stand in brackets): each of its first addresses in the system's order
// until one connects, each with the whole time-out. Socket, or -1.
static int ftpSocketConnect(const char *host, int port, int cancelFd)
{
    char bare[INET6_ADDRSTRLEN];
    size_t len = host != nullptr ? strlen(host) : 0;
    if (len > 2 && len - 2 < sizeof bare && host[0] == '[' && host[len - 1] == ']') {
        memcpy(bare, host + 1, len - 2);
        bare[len - 2] = '\0';
        host = bare;
    }
    CommAddr addrs[FTP_ADDR_MAX];
    int32_t n = port > 0 && port <= 65535 ? COMM_ResolveHost(host, (uint16_t)port, addrs, FTP_ADDR_MAX) : 0;
    if (n == 0) {
        puts(COMM_TAG("FTP") ":gethostbyname fail \r");
        LOG_Detail("[FTP]: cannot connect to %s:%d: %s", host, port, LOG_Reason(LOG_ERR_NOT_FOUND));
        return -1;
    }
    int sock = -1;
    for (int32_t i = 0; i < n && sock < 0 && !ftpCancelled(cancelFd); i++)
        sock = ftpConnectAddr(&addrs[i], host, port, cancelFd);
    return sock;
}

// One reply receive of up to len bytes: with a cancel descriptor, only
// once the reply has begun to arrive (-1 when cancelled or after the
// time-out); without one, the socket's receive time-out bounds it.
static ssize_t ftpRecvReply(int sock, char *buf, size_t len, int cancelFd)
{
    if (cancelFd >= 0 && ftpWaitReady(sock, POLLIN, cancelFd) != 1)
        return -1;
    return ftpRecv(sock, buf, len);
}

// Connects and reads the greeting. Socket when it is 220, otherwise -1
// (socket closed).
static int ftpConnectServer(const char *host, int port, int cancelFd)
{
    int sock = ftpSocketConnect(host, port, cancelFd);
    if (sock < 0)
        return -1;
    char reply[FTP_REPLY_MAX + 1];
    ssize_t n = ftpRecvReply(sock, reply, FTP_REPLY_MAX, cancelFd);
    if (n > 0)
        reply[n] = '\0';
    if (n <= 0 || ftpReplyCode(reply) != 220) {
        close(sock);
        return -1;
    }
    return sock;
}

// ---------------------------------------------------------------------------
// Command exchange

// Sends cmd whole, then receives one reply into reply[FTP_REPLY_MAX + 1]
// (NUL-terminated; empty on failure). 0, or -1 when the send failed or the
// receive gave nothing (or was cancelled).
static int ftpSendcmdRe(int sock, const char *cmd, char *reply, int cancelFd)
{
    reply[0] = '\0';
    if (ftpSendAll(sock, cmd, strlen(cmd)) < 0)
        return -1;
    ssize_t n = ftpRecvReply(sock, reply, FTP_REPLY_MAX, cancelFd);
    if (n <= 0)
        return -1;
    reply[n] = '\0';
    return 0;
}

// Reply result of one command: its code, 0 for a reply without one, -1 when
// nothing could be exchanged.
static int ftpSendcmd(int sock, const char *cmd, int cancelFd)
{
    char reply[FTP_REPLY_MAX + 1];
    if (ftpSendcmdRe(sock, cmd, reply, cancelFd) < 0)
        return -1;
    return ftpReplyCode(reply);
}

// Sends a transfer command: its reply result. A preliminary (1xx) reply may
// share its receive with the final one when the transfer is short; *early
// then gets the final code so nobody waits for a reply already consumed
// (0 when there is none).
static int ftpTransferCmd(int sock, const char *line, int *early, int cancelFd)
{
    char reply[FTP_REPLY_MAX + 1];
    *early = 0;
    if (ftpSendcmdRe(sock, line, reply, cancelFd) < 0)
        return -1;
    int code = ftpReplyCode(reply);
    if (code < 100 || code >= 200)
        return code;
    // The last line of a reply is "ddd text"; continuation lines are not.
    for (const char *nl = strchr(reply, '\n'); nl != nullptr; nl = strchr(nl + 1, '\n')) {
        const char *p = nl + 1;
        if (p[0] >= '2' && p[0] <= '5' && p[1] >= '0' && p[1] <= '9' && p[2] >= '0' && p[2] <= '9' &&
            p[3] == ' ') {
            *early = (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0');
            break;
        }
    }
    return code;
}

// A reply result handed to a caller: a reply without a code is no success.
static int ftpFailResult(int result)
{
    return result == 0 ? -1 : result;
}

// Receives the final reply of a transfer: its code, 0 when it has none, -1
// when none arrived (or the wait was cancelled).
static int ftpFinalReply(int sock, int cancelFd)
{
    char reply[FTP_REPLY_MAX + 1];
    ssize_t n = ftpRecvReply(sock, reply, FTP_REPLY_MAX, cancelFd);
    if (n <= 0)
        return -1;
    reply[n] = '\0';
    return ftpReplyCode(reply);
}

// "<verb>[ <arg>]\r\n" in a line of lineSize; 0 when the code is okCode,
// otherwise the reply result (-1 for a line that cannot be built).
static int ftpSimpleCmd(int sock, size_t lineSize, const char *verb, const char *arg, int okCode)
{
    char line[FTP_LINE_LONG];
    if (lineSize > sizeof line)
        lineSize = sizeof line;
    int rc = arg != nullptr ? ftpFormat(line, lineSize, "%s %s\r\n", verb, arg)
                            : ftpFormat(line, lineSize, "%s\r\n", verb);
    if (rc < 0)
        return -1;
    int result = ftpSendcmd(sock, line, -1);
    return result == okCode ? 0 : ftpFailResult(result);
}

static int ftpLoginServer(int sock, const char *user, const char *pass, int cancelFd)
{
    char userLine[FTP_LINE_SHORT];
    char passLine[FTP_LINE_SHORT];
    if (user == nullptr || pass == nullptr ||
        ftpFormat(userLine, sizeof userLine, "USER %s\r\n", user) < 0 ||
        ftpFormat(passLine, sizeof passLine, "PASS %s\r\n", pass) < 0)
        return -1;
    int code = ftpSendcmd(sock, userLine, cancelFd);
    if (code == 230)
        return 0;
    if (code != 331)
        return -1;
    return ftpSendcmd(sock, passLine, cancelFd) == 230 ? 0 : -1;
}

static int ftpType(int sock, char type, int cancelFd)
{
    char line[FTP_LINE_SHORT];
    if (ftpFormat(line, sizeof line, "TYPE %c\r\n", type) < 0)
        return -1;
    return ftpSendcmd(sock, line, cancelFd) == 200 ? 0 : -1;
}

int ftpParsePasv(const char *reply, char *host, size_t hostSize, int *port)
{
    // The group must follow at least one other character.
    if (reply == nullptr || reply[0] == '\0' || reply[0] == '(')
        return -1;
    const char *p = strchr(reply, '(');
    if (p == nullptr)
        return -1;
    p++;
    int v[6];
    for (int i = 0; i < 6; i++) {
        if (i > 0 && *p++ != ',')
            return -1;
        while (*p == ' ')
            p++;
        if (*p < '0' || *p > '9')
            return -1;
        int x = 0;
        for (; *p >= '0' && *p <= '9'; p++) {
            x = x * 10 + (*p - '0');
            if (x > 255)
                return -1;
        }
        v[i] = x;
    }
    char text[16];
    int n = snprintf(text, sizeof text, "%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
    if (host == nullptr || port == nullptr || n < 0 || (size_t)n >= hostSize)
        return -1;
    memcpy(host, text, (size_t)n + 1);
    *port = v[4] * 256 + v[5];
    return 0;
}

int ftpParseEpsv(const char *reply, int *port)
{
    const char *p = reply != nullptr && ftpReplyCode(reply) == 229 ? strchr(reply, '(') : nullptr;
    if (p == nullptr)
        return -1;
    // "(|||port|)": any printable delimiter but a digit, three times, the
    // port, the delimiter again.
    char d = p[1];
    if (d < '!' || d > '~' || (d >= '0' && d <= '9') || p[2] != d || p[3] != d)
        return -1;
    p += 4;
    int x = 0;
    const char *digits = p;
    for (; *p >= '0' && *p <= '9' && p - digits < 5; p++)
        x = x * 10 + (*p - '0');
    if (p == digits || x < 1 || x > 65535 || p[0] != d || p[1] != ')')
        return -1;
    *port = x;
    return 0;
}

// The data port the server names, by EPSV over IPv6 (PASV cannot name
// one) and PASV over IPv4. 0 with *port set, or -1.
static int ftpPassivePort(int sock, bool v6, int *port, char *named, size_t namedSize, int cancelFd)
{
    char reply[FTP_REPLY_MAX + 1];
    if (ftpSendcmdRe(sock, v6 ? "EPSV\r\n" : "PASV\r\n", reply, cancelFd) < 0)
        return -1;
    return v6 ? ftpParseEpsv(reply, port) : ftpParsePasv(reply, named, namedSize, port);
}

// Passive data connection to the port the server names, at the control
// connection's peer: an address a PASV reply names is not used, so a
// hostile server cannot point the router at a host of its own networks, and
// one behind NAT that announces its private address is still reached.
// Socket, or -1.
static int ftpPasvConnect(int sock, int cancelFd)
{
    CommAddr peer;
    socklen_t len = sizeof peer.u;
    memset(&peer, 0, sizeof peer);
    if (getpeername(sock, &peer.u.sa, &len) < 0 ||
        (peer.u.sa.sa_family != AF_INET && peer.u.sa.sa_family != AF_INET6))
        return -1;
    bool v6 = peer.u.sa.sa_family == AF_INET6;
    char named[16] = "";
    int port = 0;
    if (ftpPassivePort(sock, v6, &port, named, sizeof named, cancelFd) < 0)
        return -1;
    char host[INET6_ADDRSTRLEN];
    const void *raw = v6 ? (const void *)&peer.u.v6.sin6_addr : (const void *)&peer.u.v4.sin_addr;
    if (inet_ntop(peer.u.sa.sa_family, raw, host, sizeof host) == nullptr)
        return -1;
    if (!v6 && strcmp(named, host) != 0)
        LOG_Routinef("[FTP]: PASV named %s, the data connection goes to the server's %s\r\n", named, host);
    if (v6)
        peer.u.v6.sin6_port = htons((uint16_t)port);
    else
        peer.u.v4.sin_port = htons((uint16_t)port);
    return ftpConnectAddr(&peer, host, port, cancelFd);
}

int ftpCreateDatasock(int ctrlSock)
{
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ls < 0)
        return -1;
    struct sockaddr_in any;
    memset(&any, 0, sizeof any);
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    struct sockaddr_in mine, ctrl;
    socklen_t mineLen = sizeof mine, ctrlLen = sizeof ctrl;
    if (bind(ls, (struct sockaddr *)&any, sizeof any) < 0 || listen(ls, 2) < 0 ||
        getsockname(ls, (struct sockaddr *)&mine, &mineLen) < 0 ||
        getsockname(ctrlSock, (struct sockaddr *)&ctrl, &ctrlLen) < 0 || ctrl.sin_family != AF_INET) {
        close(ls);
        return -1;
    }
    const uint8_t *ip = (const uint8_t *)&ctrl.sin_addr.s_addr;  // network order
    unsigned p = ntohs(mine.sin_port);
    char line[FTP_LINE_SHORT];
    if (ftpFormat(line, sizeof line, "PORT %d,%d,%d,%d,%u,%u\r\n", ip[0], ip[1], ip[2], ip[3],
                  p >> 8, p & 0xFFu) < 0 ||
        ftpSendcmd(ctrlSock, line, -1) != 200) {
        close(ls);
        return -1;
    }
    return ls;
}

// ---------------------------------------------------------------------------
// Login and directory operations

int FTP_Connect(const char *host, int port, const char *user, const char *pass, int cancelFd)
{
    int sock = ftpConnectServer(host, port, cancelFd);
    if (sock < 0)
        return -1;
    if (ftpLoginServer(sock, user, pass, cancelFd) < 0) {
        close(sock);
        return -1;
    }
    return sock;
}

int FTP_Quit(int sock, int cancelFd)
{
    if (sock < 0)
        return -1;
    int result = ftpSendcmd(sock, "QUIT\r\n", cancelFd);
    close(sock);
    puts(COMM_TAG("FTP") ":Quit ------------ \r");
    return result;
}

int FTP_Cwd(int sock, const char *path)
{
    if (path == nullptr)
        return -1;
    return ftpSimpleCmd(sock, FTP_LINE_SHORT, "CWD", path, 250) == 0 ? 0 : -1;
}

int FTP_Cdup(int sock)
{
    return ftpSimpleCmd(sock, FTP_LINE_LONG, "CDUP", nullptr, 250);
}

int FTP_Mkd(int sock, const char *path)
{
    return path == nullptr ? -1 : ftpSimpleCmd(sock, FTP_LINE_LONG, "MKD", path, 257);
}

int FTP_Deletefile(int sock, const char *path)
{
    return path == nullptr ? -1 : ftpSimpleCmd(sock, FTP_LINE_LONG, "DELE", path, 250);
}

int FTP_Deletefolder(int sock, const char *path)
{
    return path == nullptr ? -1 : ftpSimpleCmd(sock, FTP_LINE_LONG, "RMD", path, 250);
}

int FTP_Renamefile(int sock, const char *from, const char *to)
{
    char fromLine[FTP_LINE_LONG];
    char toLine[FTP_LINE_LONG];
    // Both lines are built first so a rename never stops half-way for a
    // line that does not fit.
    if (from == nullptr || to == nullptr ||
        ftpFormat(fromLine, sizeof fromLine, "RNFR %s\r\n", from) < 0 ||
        ftpFormat(toLine, sizeof toLine, "RNTO %s\r\n", to) < 0)
        return -1;
    int result = ftpSendcmd(sock, fromLine, -1);
    if (result != 350)
        return ftpFailResult(result);
    result = ftpSendcmd(sock, toLine, -1);
    return result == 250 ? 0 : ftpFailResult(result);
}

// ---------------------------------------------------------------------------
// Transfers

// Binary type (its result does not matter), passive connection, then the
// transfer command. Data socket with *result holding the command's reply
// result and *early a final code that came with it; or -1 (nothing left
// open) when the connection failed or the command was refused (*result then
// the refusal: its code, 0 or -1).
static int ftpOpenTransfer(int sock, const char *line, bool binary, int *result, int *early)
{
    if (binary)
        (void)ftpType(sock, 'I', -1);
    int data = ftpPasvConnect(sock, -1);
    *result = -1;
    *early = 0;
    if (data < 0)
        return -1;
    *result = ftpTransferCmd(sock, line, early, -1);
    if (*result >= 300 || *result == 0) {
        close(data);
        return -1;
    }
    return data;
}

// Receives the data connection into fd until the peer closes it, adding
// to *total. 0, or -1 when a receive failed (the file would be cut short),
// a write fell short, more than `most` bytes (-1: no bound but INT32_MAX)
// arrived or cancelFd (-1: none) turned readable.
static int ftpRecvToFile(int data, int fd, int32_t *total, int32_t most, int cancelFd)
{
    char chunk[FTP_CHUNK];
    for (;;) {
        // Only a caller that can be cancelled pays for the extra wait.
        int ready = cancelFd >= 0 ? ftpWaitReady(data, POLLIN, cancelFd) : 1;
        if (ready == 0)
            return -1;
        ssize_t n = ready > 0 ? ftpRecv(data, chunk, sizeof chunk) : -1;
        if (n == 0)
            return 0;
        if (n < 0) {
            puts(COMM_TAG("FTP") ":recv fail \r");
            return -1;
        }
        // n <= FTP_CHUNK, so neither sum can overflow.
        if (*total > INT32_MAX - (int32_t)n || (most >= 0 && *total + (int32_t)n > most)) {
            LOG_Detail("[FTP]: more than %d bytes arrived", most >= 0 ? most : INT32_MAX);
            return -1;
        }
        if (ftpWrite(fd, chunk, (size_t)n) != n) {
            puts(COMM_TAG("FTP") ":break while \r");
            return -1;
        }
        *total += (int32_t)n;
    }
}

// Reads the length of a "213 <digits>" reply into *size. 0, or -1 (also
// for a file the 32-bit counters cannot describe).
static int ftpParseSize(const char *reply, int32_t *size)
{
    if (ftpReplyCode(reply) != 213)
        return -1;
    const char *p = reply + 3;
    while (*p == ' ')
        p++;
    if (*p < '0' || *p > '9')
        return -1;
    int32_t v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        if (v > (INT32_MAX - 9) / 10)
            return -1;
        v = v * 10 + (*p - '0');
    }
    if (*p != '\r' && *p != '\n' && *p != '\0')
        return -1;
    *size = v;
    return 0;
}

// Asks SIZE (in the binary type already chosen). 0 with *size the length
// (-1 when the server does not know the command: 5xx); -1 for any other
// reply, which leaves the file's state in doubt (nothing changed then).
static int ftpSize(int sock, const char *remotePath, int32_t *size, int cancelFd)
{
    char line[FTP_LINE_LONG];
    char reply[FTP_REPLY_MAX + 1];
    if (ftpFormat(line, sizeof line, "SIZE %s\r\n", remotePath) < 0 ||
        ftpSendcmdRe(sock, line, reply, cancelFd) < 0)
        return -1;
    int code = ftpReplyCode(reply);
    if (code >= 500 && code < 600) {
        LOG_Routinef("[FTP]: SIZE refused (%d): the length of %s is not checked\r\n", code, remotePath);
        *size = -1;
        return 0;
    }
    return ftpParseSize(reply, size);
}

int FTP_Retrfile(int sock, const char *remotePath, const char *localPath, int32_t *counter, int cancelFd,
                 int32_t limit)
{
    char line[FTP_LINE_LONG];
    if (remotePath == nullptr || localPath == nullptr ||
        ftpFormat(line, sizeof line, "RETR %s\r\n", remotePath) < 0)
        return -1;
    (void)ftpType(sock, 'I', cancelFd);
    int32_t expect = -1;
    if (ftpSize(sock, remotePath, &expect, cancelFd) < 0)
        return -1;
    if (limit >= 0 && expect > limit) {
        LOG_Detail("[FTP]: %s holds %d bytes, more than %d", remotePath, expect, limit);
        return -1;
    }
    int data = ftpPasvConnect(sock, cancelFd);
    printf(COMM_TAG("FTP") ":ftpPasvConnect d_sock=%d \r\n", data);
    if (data < 0)
        return -1;
    int early;
    int result = ftpTransferCmd(sock, line, &early, cancelFd);
    printf(COMM_TAG("FTP") ":ftpSendcmd RETR result=%d \r\n", result);
    // No reply at all (-1) still goes on: the data may flow regardless. The
    // local file is touched only now, so a refused or abandoned fetch
    // leaves it as it was.
    if (result >= 300 || result == 0 || ftpCancelled(cancelFd)) {
        close(data);
        return -1;
    }
    int fd = open(localPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, FTP_FILE_MODE);
    printf(COMM_TAG("FTP") ":open %s handle=%d \r\n", localPath, fd);
    if (fd < 0) {
        close(data);
        return -1;
    }
    int32_t total = 0;
    int32_t most = expect >= 0 ? expect : limit;
    int rc = ftpRecvToFile(data, fd, &total, most, cancelFd);
    close(data);
    close(fd);
    if (counter != nullptr)
        *counter = total > INT32_MAX - *counter ? INT32_MAX : *counter + total;
    if (rc < 0)
        return -1;
    // Only a final 226 or 250 says the file ended where the data connection
    // did: a server that dies ends the data connection just as a complete
    // file does, so a final reply that is missing, has no code or is any
    // other code leaves what arrived unconfirmed. So does one the caller
    // stopped waiting for. A RETR answered at once with its final reply
    // (no 1xx) has nothing more to wait for.
    if (early == 0 && result >= 200 && result < 300)
        early = result;
    int final = early != 0 ? early : ftpFinalReply(sock, cancelFd);
    if (final != 0 && (final > 0 || result >= 200))
        result = final > 0 ? final : result;
    else
        result = -1;
    if (ftpCancelled(cancelFd))
        result = -1;
    if (result != 226 && result != 250) {
        puts(COMM_TAG("FTP") ":recv fail \r");
        return -1;
    }
    if (expect >= 0 && total != expect) {
        LOG_Detail("[FTP]: %s: %d of %d bytes arrived", remotePath, total, expect);
        return -1;
    }
    return 0;
}

int FTP_Storfile(int sock, const char *localPath, const char *remotePath, int64_t *counter,
                 const std::atomic<int> *abortFlag)
{
    char line[FTP_LINE_LONG];
    if (localPath == nullptr || remotePath == nullptr ||
        ftpFormat(line, sizeof line, "STOR %s\r\n", remotePath) < 0)
        return -1;
    int fd = open(localPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int result, early;
    int data = ftpOpenTransfer(sock, line, true, &result, &early);
    if (data < 0) {
        close(fd);
        return ftpFailResult(result);
    }
    char chunk[FTP_CHUNK];
    ssize_t n;
    while ((n = ftpRead(fd, chunk, sizeof chunk)) > 0) {
        if (ftpSendAll(data, chunk, (size_t)n) < 0 ||
            (abortFlag != nullptr && abortFlag->load(std::memory_order_acquire) != 0)) {
            n = -1;
            break;
        }
        if (counter != nullptr)
            *counter += n;
    }
    close(data);
    close(fd);
    if (n < 0)  // send failed, aborted, or the file could not be read whole
        return -1;
    // Without a final code the upload is not known to be stored.
    int final = early != 0 ? early : ftpFinalReply(sock, -1);
    if (final <= 0)
        return -1;
    return final < 300 ? 0 : final;
}

// Makes room for one more chunk, doubling the block. 0, or -1 (block kept).
static int ftpListGrow(char **block, size_t *size, size_t used)
{
    size_t want = *size;
    while (want - used < FTP_CHUNK) {
        if (want > SIZE_MAX / 2)
            return -1;
        want *= 2;
    }
    if (want == *size)
        return 0;
    char *bigger = (char *)realloc(*block, want);
    if (bigger == nullptr)
        return -1;
    *block = bigger;
    *size = want;
    return 0;
}

int FTP_List(int sock, const char *path, char **buf, int64_t *len)
{
    char line[FTP_LINE_LONG];
    if (path == nullptr || buf == nullptr || len == nullptr ||
        ftpFormat(line, sizeof line, "LIST %s\r\n", path) < 0)
        return -1;
    int result, early;
    int data = ftpOpenTransfer(sock, line, false, &result, &early);
    if (data < 0)
        return ftpFailResult(result);
    size_t size = FTP_CHUNK, used = 0;
    char *block = (char *)malloc(size);
    bool ok = block != nullptr;
    while (ok) {
        ok = ftpListGrow(&block, &size, used) == 0;
        if (!ok)
            break;
        ssize_t n = ftpRecv(data, block + used, FTP_CHUNK);
        if (n == 0)
            break;
        ok = n > 0;  // a failed receive would cut the listing short
        if (ok)
            used += (size_t)n;
    }
    close(data);
    // The final reply is read on every path so the next command's reply
    // stays in step.
    int final = early != 0 ? early : ftpFinalReply(sock, -1);
    if (ok && final == 226) {
        *buf = block;
        *len = (int64_t)used;
        return 0;
    }
    free(block);
    return ok ? ftpFailResult(final) : -1;
}
