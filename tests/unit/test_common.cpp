#include <gtest/gtest.h>

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "core/common.h"
#include "core/log.h"

// The wall clock as the adapter reads it, replaced for this program so a
// test can make it fail as a 32-bit time_t does from 2038 on. The symbol is
// the one <sys/time.h> redirects to where time_t was widened to 64 bits.
#if defined(__GLIBC__) && defined(__USE_TIME_BITS64) && __TIMESIZE == 32
#define TEST_GETTIMEOFDAY "__gettimeofday64"
#elif !defined(__GLIBC__) && defined(_REDIR_TIME64) && _REDIR_TIME64
#define TEST_GETTIMEOFDAY "__gettimeofday_time64"
#else
#define TEST_GETTIMEOFDAY "gettimeofday"
#endif

namespace {
std::atomic<bool> s_clockFails{false};
}

extern "C" int testGettimeofday(struct timeval *tv, void *) __asm__(TEST_GETTIMEOFDAY);
extern "C" int testGettimeofday(struct timeval *tv, void *)
{
    if (s_clockFails.load()) {
        errno = EOVERFLOW;
        return -1;  // *tv untouched, as the C library leaves it
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = (suseconds_t)(ts.tv_nsec / 1000);
    return 0;
}

namespace {

// Reference bit-by-bit CRC-16/CCITT-FALSE.
uint16_t crcBitwise(const uint8_t *d, size_t n)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; i++) {
        crc ^= (uint16_t)(d[i] << 8);
        for (int b = 0; b < 8; b++)
            crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
    }
    return crc;
}

TEST(Crc16, CheckValueAndEmptyInput)
{
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(COMM_Crc16(digits, 9), 0x29B1);
    EXPECT_EQ(COMM_Crc16(nullptr, 0), 0xFFFF);
}

TEST(Crc16, MatchesBitwiseFormOnRandomData)
{
    std::mt19937 rng(7);
    uint8_t buf[1100];
    for (int round = 0; round < 200; round++) {
        size_t n = rng() % sizeof buf;
        for (size_t i = 0; i < n; i++)
            buf[i] = (uint8_t)rng();
        ASSERT_EQ(COMM_Crc16(buf, (uint16_t)n), crcBitwise(buf, n)) << "length " << n;
    }
}

TEST(Crc16, StoredLowByteFirst)
{
    uint8_t field[2];
    COMM_PutLe16(field, 0x29B1);
    EXPECT_EQ(field[0], 0xB1);
    EXPECT_EQ(field[1], 0x29);
    EXPECT_EQ(COMM_GetLe16(field), 0x29B1);
}

// Every limb and carry of the 32-bit long division, up to the largest value.
TEST(FormatU64, DecimalAcrossThe32BitBoundary)
{
    const struct {
        uint64_t v;
        const char *text;
    } cases[] = {{0, "0"}, {65536, "65536"}, {4294967295u, "4294967295"}, {4294967296ull, "4294967296"},
                 {10000000000000000000ull, "10000000000000000000"}, {~0ull, "18446744073709551615"}};
    for (const auto &c : cases) {
        char out[COMM_U64_CHARS];
        EXPECT_EQ(COMM_FormatU64(c.v, out), (int32_t)strlen(c.text));
        EXPECT_STREQ(out, c.text);
    }
}

TEST(Clock, TwoSidedElapsedCountsStepsBothWays)
{
    EXPECT_EQ(COMM_Elapsed(100, 105), 5u);
    EXPECT_EQ(COMM_Elapsed(105, 100), 5u);  // clock set back
    EXPECT_EQ(COMM_Elapsed(100, 100), 0u);
    EXPECT_GE(COMM_Elapsed(1000, 990), 5u);
    EXPECT_EQ(COMM_Elapsed(0, 0xFFFFFFFFu), 0xFFFFFFFFu);
}

TEST(Clock, MillisecondsDifferenceIsShortAcrossWrap)
{
    int32_t a = COMM_GetSystemMS();
    COMM_SleepMs(20);
    int32_t b = COMM_GetSystemMS();
    // Meaningful only as a wrapped difference.
    int32_t d = (int32_t)((uint32_t)b - (uint32_t)a);
    EXPECT_GE(d, 20);
    EXPECT_LT(d, 2000);
    EXPECT_NEAR((double)COMM_GetSystemS(), (double)time(nullptr), 1.0);
}

// A clock that cannot be read must not hand out whatever was on the stack:
// the monotonic clock stands in until the wall clock reads again.
TEST(Clock, FailingWallClockFallsBackToMonotonic)
{
    s_clockFails = true;
    struct timespec mono;
    clock_gettime(CLOCK_MONOTONIC, &mono);
    uint32_t s = COMM_GetSystemS();
    int32_t ms = COMM_GetSystemMS();
    s_clockFails = false;
    EXPECT_NEAR((double)s, (double)mono.tv_sec, 1.0);
    uint32_t monoMs = (uint32_t)mono.tv_sec * 1000u + (uint32_t)(mono.tv_nsec / 1000000);
    EXPECT_LT((uint32_t)ms - monoMs, 1000u);
    EXPECT_NEAR((double)COMM_GetSystemS(), (double)time(nullptr), 1.0);
}

TEST(PrintData, TitleHexAndLineEnd)
{
    const uint8_t d[] = {0x01, 0xab};
    testing::internal::CaptureStdout();
    COMM_PrintData("data: ", d, 2);
    COMM_PrintData("none: ", d, 0);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "data: 01 ab \r\nnone: \r\n");
}

TEST(LittleEndian, RoundTripAtOddOffsets)
{
    uint8_t buf[7] = {0};
    COMM_PutLe32(buf + 3, 0x12345678u);
    EXPECT_EQ(buf[3], 0x78);
    EXPECT_EQ(buf[6], 0x12);
    EXPECT_EQ(COMM_GetLe32(buf + 3), 0x12345678u);
}

}  // namespace

namespace {

size_t Count(const std::string &s, const std::string &what)
{
    size_t n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1))
        n++;
    return n;
}

// At "changes" a repeat is counted, not shown; each window's summary sums
// what came since the last one; another reason at the same place is a
// failure of its own, shown; and a place quiet for two windows ends, so
// that its next failure is shown again.
TEST(Log, RepeatsAreSummedOnceAWindowAndQuietPlacesEnd)
{
    LOG_SetLevel(LOG_LEVEL_CHANGES);
    LOG_SetWindowMs(500);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(LOG_Failure("place", EIO));
    EXPECT_FALSE(LOG_Failure("place", EIO));
    EXPECT_TRUE(LOG_Failure("place", ENOENT));
    EXPECT_FALSE(LOG_Failure("place", ENOENT));
    usleep(600 * 1000);
    LOG_Tick();
    EXPECT_FALSE(LOG_Failure("place", ENOENT));
    usleep(600 * 1000);
    LOG_Tick();
    usleep(1100 * 1000);
    LOG_Tick();
    EXPECT_TRUE(LOG_Failure("place", ENOENT));
    std::string out = testing::internal::GetCapturedStdout();
    LOG_Flush();
    LOG_SetLevel(LOG_LEVEL_ALL);
    EXPECT_EQ(Count(out, "[LOG]: repeated failures: place: 1 more (" + std::string(strerror(ENOENT)) + ")\r\n"), 2u)
        << out;
    EXPECT_EQ(Count(out, "failing no more"), 2u) << out;
}

}  // namespace
