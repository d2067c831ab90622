// Common helpers: wall-clock and monotonic readings, an EINTR-proof sleep,
// the one host-name resolver, a hex dump and the table-free
// CRC-16/CCITT-FALSE. No state; callable from any thread.
#include "core/common.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <unistd.h>
#include <sys/time.h>

void COMM_WallClock(struct timeval *tv)
{
    if (gettimeofday(tv, nullptr) == 0)
        return;
    // A 32-bit time_t past 2038 or a broken clock source: hand out the
    // monotonic clock, never an unset value. The interval tests see the
    // switch as one step of the clock and go on counting.
    struct timespec ts = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = (suseconds_t)(ts.tv_nsec / 1000);
}

uint32_t COMM_GetSystemS()
{
    struct timeval tv;
    COMM_WallClock(&tv);
    return (uint32_t)tv.tv_sec;
}

int32_t COMM_GetSystemMS()
{
    struct timeval tv;
    COMM_WallClock(&tv);
    // Unsigned arithmetic so the wrap is defined; only differences matter.
    // tv_usec is below a million: a 32-bit division, no 64-bit helper call.
    uint32_t ms = (uint32_t)tv.tv_sec * 1000u + (uint32_t)tv.tv_usec / 1000u;
    return (int32_t)ms;
}

int64_t COMM_MonotonicMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int32_t COMM_PollMs(struct pollfd *fds, int32_t n, int32_t timeoutMs)
{
    int64_t deadline = COMM_MonotonicMs() + (timeoutMs > 0 ? timeoutMs : 0);
    int32_t wait = timeoutMs;
    for (;;) {
        int r = poll(fds, (nfds_t)n, wait < 0 ? -1 : wait);
        if (r >= 0 || errno != EINTR)
            return r;
        if (timeoutMs < 0)
            continue;
        int64_t left = deadline - COMM_MonotonicMs();
        if (left <= 0)
            return 0;
        wait = (int32_t)left;
    }
}

void COMM_SleepMs(int32_t ms)
{
    if (ms <= 0)
        return;
    struct timespec left = {ms / 1000, (long)(ms % 1000) * 1000000L};
    // A signal (a second SIGTERM during the exit wait) must not shorten
    // the sleep: shutdown timing relies on full sleeps.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void COMM_PrintData(const char *title, const uint8_t *data, int32_t len)
{
    printf("%s", title);
    for (int32_t i = 0; i < len; i++)
        printf("%02x ", data[i]);
    puts("\r");
}

uint16_t COMM_Crc16(const uint8_t *data, uint16_t len)
{
    uint16_t crc = 0xFFFF;
    for (uint16_t i = 0; i < len; i++) {
        crc = (uint16_t)((crc >> 8) | (crc << 8));
        crc ^= data[i];
        crc ^= (uint16_t)((crc & 0xFF) >> 4);
        crc ^= (uint16_t)(crc << 12);
        crc ^= (uint16_t)((crc & 0xFF) << 5);
    }
    return crc;
}

uint32_t COMM_Elapsed(uint32_t since, uint32_t now)
{
    return now > since ? now - since : since - now;
}

int32_t COMM_FormatU64(uint64_t v, char out[COMM_U64_CHARS])
{
    // Long division by 10 over four 16-bit limbs, most significant first:
    // each step divides a value below 10 * 65536.
    uint32_t limb[4] = {(uint32_t)(v >> 48) & 0xFFFFu, (uint32_t)(v >> 32) & 0xFFFFu, (uint32_t)(v >> 16) & 0xFFFFu,
                        (uint32_t)v & 0xFFFFu};
    char rev[COMM_U64_CHARS];
    int32_t n = 0;
    do {
        uint32_t rem = 0;
        for (uint32_t &l : limb) {
            uint32_t cur = rem << 16 | l;
            l = cur / 10;
            rem = cur % 10;
        }
        rev[n++] = (char)('0' + rem);
    } while ((limb[0] | limb[1] | limb[2] | limb[3]) != 0);
    for (int32_t i = 0; i < n; i++)
        out[i] = rev[n - 1 - i];
    out[n] = '\0';
    return n;
}

// Names under the reserved top-level domain "invalid" never resolve:
// answering at once saves a resolver round trip per attempt.
int32_t COMM_IsInvalidName(const char *host)
{
    static const char kSuffix[] = ".invalid";
    size_t n = strlen(host);
    size_t k = sizeof kSuffix - 1;
    if (n >= k && strcasecmp(host + n - k, kSuffix) == 0)
        return true;
    return strcasecmp(host, kSuffix + 1) == 0 ? 1 : 0;
}

int32_t COMM_ResolveHost(const char *host, uint16_t port, CommAddr *addrs, int32_t max)
{
    if (host == nullptr || host[0] == '\0' || COMM_IsInvalidName(host))
        return 0;
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    // An address is taken as it is, never sent to a name server.
    // AI_ADDRCONFIG is left out: it hides every address on a host with
    // nothing but loopback, and an address of a family the network lacks
    // fails at once (ENETUNREACH) without costing the wait.
    uint8_t raw[sizeof(struct in6_addr)];
    if (inet_pton(AF_INET, host, raw) == 1 || inet_pton(AF_INET6, host, raw) == 1)
        hints.ai_flags = AI_NUMERICHOST;
    struct addrinfo *res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0)
        return 0;
    int32_t n = 0;
    for (struct addrinfo *ai = res; ai != nullptr && n < max; ai = ai->ai_next) {
        CommAddr &a = addrs[n];
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof a.u.v4) {
            memcpy(&a.u.v4, ai->ai_addr, sizeof a.u.v4);
            a.u.v4.sin_port = htons(port);
        } else if (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof a.u.v6) {
            memcpy(&a.u.v6, ai->ai_addr, sizeof a.u.v6);
            a.u.v6.sin6_port = htons(port);
        } else {
            continue;
        }
        n++;
    }
    freeaddrinfo(res);
    return n;
}

socklen_t COMM_AddrLen(const CommAddr *a)
{
    return a->u.sa.sa_family == AF_INET6 ? sizeof a->u.v6 : sizeof a->u.v4;
}

int32_t COMM_SyncDir(const char *path)
{
    char dir[1024];
    const char *slash = strrchr(path, '/');
    size_t n = slash ? (size_t)(slash - path) : 0;
    if (n == 0 || n >= sizeof dir)
        return -1;
    memcpy(dir, path, n);
    dir[n] = '\0';
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = fsync(fd);
    close(fd);
    return rc == 0 ? 0 : -1;
}
