// Common helpers shared by every module: two readings of the wall clock,
// the monotonic clock for bounded waits, a sleep, host-name resolution, a
// hex dump for diagnostics and the CRC-16 of the local frames. Stateless;
// safe from any thread.
#pragma once
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

struct in_addr;

// Full-width brackets of some log tags, stored in GBK and written byte for
// byte: COMM_TAG("FTP") is 【FTP】. Kept as separate literals so a following
// hex-looking letter cannot extend the escape.
#define COMM_TAG(name) "\xA1\xBE" name "\xA1\xBF"

// Data callback handed between the link and serial threads: a whole message
// and its length. 0 when the message was taken (passed on, held, or dropped
// for good); -1 when the receiver has no room for it now, nothing taken: the
// caller keeps it and offers it again once the receiver says there is room.
typedef int32_t (*DataCallback)(const uint8_t *msg, int32_t len);

struct timeval;
// Reads the wall clock into *tv. Cannot fail: when the clock cannot be
// read, the monotonic clock stands in.
void COMM_WallClock(struct timeval *tv);
// Whole seconds of the wall clock (jumps when the clock is set).
uint32_t COMM_GetSystemS();
// Wall-clock milliseconds wrapped to 32 bits; only short differences mean
// anything, so use it for log stamps only.
int32_t COMM_GetSystemMS();
// Milliseconds of the monotonic clock: deadlines of waits, immune to steps
// of the wall clock.
int64_t COMM_MonotonicMs();
// poll() until something is ready or timeoutMs (< 0: no limit) has passed;
// a signal does not cut the wait short. poll's result: the number of ready
// entries, 0 on time-out, -1 on failure.
struct pollfd;
int32_t COMM_PollMs(struct pollfd *fds, int32_t n, int32_t timeoutMs);
// Sleeps the caller for ms milliseconds; a signal does not cut it short.
void COMM_SleepMs(int32_t ms);
// Prints title, then each byte as "%02x ", then the line end.
void COMM_PrintData(const char *title, const uint8_t *data, int32_t len);
// CRC-16/CCITT-FALSE over len bytes (0xFFFF for len 0, data untouched).
uint16_t COMM_Crc16(const uint8_t *data, uint16_t len);
// One address of a host, as the resolver gave it, port included.
struct CommAddr {
    union {
        struct sockaddr sa;
        struct sockaddr_in v4;
        struct sockaddr_in6 v6;
    } u;
};
// Resolves host (a name, or an IPv4 or IPv6 address, which is not looked
// up) with port into addrs[0..max), in the system's order of preference;
// blocks as long as the resolver does. The count (1 to max); 0 for a null
// or empty name, a name under the reserved domain "invalid" (never asked:
// it cannot resolve) or a failed lookup. addrs past the count unchanged.
int32_t COMM_ResolveHost(const char *host, uint16_t port, CommAddr *addrs, int32_t max);
// Length of a's socket address for its family (connect, bind).
socklen_t COMM_AddrLen(const CommAddr *a);
// 1 for a name under the reserved top-level domain "invalid", which never
// resolves, so no resolver is asked; else 0.
int32_t COMM_IsInvalidName(const char *host);
// Makes a rename in the directory holding path durable (fsync of that
// directory). 0 on success, -1 when the directory cannot be synced.
int32_t COMM_SyncDir(const char *path);
// Decimal digits of v and a NUL into out, with 32-bit arithmetic only (a
// 64-bit division is a library call on 32-bit MIPS that the daemon must
// not link). Returns the number of digits (1..20).
constexpr int32_t COMM_U64_CHARS = 21;
int32_t COMM_FormatU64(uint64_t v, char out[COMM_U64_CHARS]);
// Two-sided distance between two seconds values: a clock step either way
// counts as elapsed time.
uint32_t COMM_Elapsed(uint32_t since, uint32_t now);

// Little-endian field access for unaligned protocol fields.
inline uint32_t COMM_GetLe32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
inline void COMM_PutLe32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}
inline void COMM_PutLe16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline uint16_t COMM_GetLe16(const uint8_t *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}
