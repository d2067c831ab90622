// Common helpers: wall-clock readings, an EINTR-proof sleep, a hex dump and
// the table-free CRC-16/CCITT-FALSE. No state; callable from any thread.
#include "core/common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
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

void COMM_SleepMs(int32_t ms)
{
    if (ms <= 0)
        return;
    struct timespec left = {ms / 1000, (long)(ms % 1000) * 1000000L};
    // A signal (SIGTERM while the main loop sleeps) must not shorten the
    // pass: shutdown timing relies on full sleeps.
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
