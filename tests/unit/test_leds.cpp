// LED requests and the flash ticks on a stepped clock, the LED thread's
// passes included; the brightness files in a sandbox show what an LED does
// ("0" on, "1" off). A link-time wrap of write() can hold the LED thread's
// next file write (the only writes it makes through that symbol), to open
// the window in which another change could interleave.
#include <gtest/gtest.h>

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "board/leds.h"
#include "core/endpoints.h"
#include "core/globals.h"
#include "tests/support/harness.h"

namespace {

std::atomic<bool> s_holdNext{false};  // hold the next write off the test thread
std::atomic<int> s_holdStage{0};      // 1 while held, 2 once written
pthread_t s_testThread;

}  // namespace

#if ADAPTER_LINK_WRAP
extern "C" ssize_t __real_write(int fd, const void *buf, size_t n);
extern "C" ssize_t __wrap_write(int fd, const void *buf, size_t n)
{
    if (s_holdNext.load() && !pthread_equal(pthread_self(), s_testThread)) {
        s_holdNext = false;
        s_holdStage = 1;
        usleep(300 * 1000);
        ssize_t r = __real_write(fd, buf, n);
        s_holdStage = 2;
        return r;
    }
    return __real_write(fd, buf, n);
}
#endif

namespace {

int64_t s_now = 1000000;  // the stepped clock, in ms
int64_t s_jump = 0;       // added once the clock has next been read
int64_t FakeClock()
{
    int64_t t = s_now;
    s_now += s_jump;
    s_jump = 0;
    return t;
}

class Leds : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(EP_SetRoot(sb.root().c_str()), 0);
        ledSetClock(FakeClock);
        LED_Init();  // data off, online on, nothing pending, counter 0
    }
    void TearDown() override { ledSetClock(nullptr); }
    std::string data() const { return sb.led(false); }
    std::string online() const { return sb.led(true); }
    // Steps the clock by one tick and runs a pass of the LED thread, n
    // times; returns the data LED after each ("0"/"1" joined).
    std::string ticks(int n)
    {
        std::string seq;
        for (int i = 0; i < n; i++) {
            s_now += LED_TICK_MS;
            ledPass();
            seq += data();
        }
        return seq;
    }
    // Moves the clock by ms; with pass, the LED thread wakes there.
    void later(int64_t ms, bool pass)
    {
        s_now += ms;
        if (pass)
            ledPass();
    }
    th::Sandbox sb;
};

TEST_F(Leds, InitSetsRestingPatternAndImmediateEventsSwitchAtOnce)
{
    EXPECT_EQ(data(), "1");
    EXPECT_EQ(online(), "0");
    EXPECT_EQ(sb.readFile("/sys/devices/gpio-leds.4/leds/mpr-a2:led_data/brightness"), "1\n");
    LED_SetLedEvent(LED_DATA, LED_EVENT_ON, 0, 0, 0);
    LED_SetLedEvent(LED_ONLINE, LED_EVENT_OFF, 0, 0, 0);
    EXPECT_EQ(data(), "0");
    EXPECT_EQ(online(), "1");
    LED_SetLedEvent(LED_ONLINE, LED_EVENT_FLIP, 0, 0, 0);
    EXPECT_EQ(online(), "0");
    LED_SetLedEvent(LED_ONLINE, LED_EVENT_FLIP, 0, 0, 0);
    EXPECT_EQ(online(), "1");
}

TEST_F(Leds, TrafficFlashFlipsOnTicksTwoAndFourThenFinalState)
{
    // Interval 1: flips on ticks 2 and 4, final state on tick 5.
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 2, 1, LED_EVENT_ON);
    EXPECT_EQ(data(), "1");  // nothing switched in the caller's thread
    EXPECT_EQ(ticks(6), "100100");
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 2, 1, LED_EVENT_OFF);
    // From on: off, on again, then the final off.
    EXPECT_EQ(ticks(6), "011011");
}

TEST_F(Leds, LongerIntervalAndZeroInterval)
{
    // T=2, N=3: flips on ticks 3, 6, 9; final on tick 10.
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 3, 2, LED_EVENT_OFF);
    EXPECT_EQ(ticks(11), "11000111011");
    // T=0 flips on every tick.
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 3, 0, LED_EVENT_ON);
    EXPECT_EQ(ticks(5), "01000");
}

TEST_F(Leds, CountZeroAppliesFinalStateOnNextTick)
{
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 0, 7, LED_EVENT_ON);
    EXPECT_EQ(ticks(1), "0");
    EXPECT_EQ(ticks(3), "000");
}

TEST_F(Leds, OnlyFinalEventOneLeavesTheLedOn)
{
    for (uint8_t fin : {0, 2, 3, 4, 9}) {
        LED_SetLedEvent(LED_DATA, LED_EVENT_ON, 0, 0, 0);
        LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 0, 0, fin);
        ticks(1);
        EXPECT_EQ(data(), "1") << "final event " << int(fin);
    }
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 0, 0, LED_EVENT_ON);
    ticks(1);
    EXPECT_EQ(data(), "0");
}

TEST_F(Leds, PendingFlashDropsNewRequestsWhole)
{
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 2, 1, LED_EVENT_ON);
    // Other LED, other count and final state: all ignored.
    LED_SetLedEvent(LED_ONLINE, LED_EVENT_FLASH, 4, 0, LED_EVENT_OFF);
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 5, 0, LED_EVENT_OFF);
    EXPECT_EQ(ticks(6), "100100");
    EXPECT_EQ(online(), "0");
    // Idle again: a new request is taken.
    LED_SetLedEvent(LED_ONLINE, LED_EVENT_FLASH, 1, 0, LED_EVENT_OFF);
    ticks(1);
    EXPECT_EQ(online(), "1");
}

TEST_F(Leds, ImmediateEventCancelsFlashWithoutFinalState)
{
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 2, 1, LED_EVENT_OFF);
    EXPECT_EQ(ticks(2), "10");  // first flip: data on
    // An event on the other LED cancels the data LED's flash too.
    LED_SetLedEvent(LED_ONLINE, LED_EVENT_ON, 0, 0, 0);
    EXPECT_EQ(ticks(6), "000000");  // stays as the last flip left it
}

TEST_F(Leds, OutOfRangeChangesNothingNotEvenAPendingFlash)
{
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 2, 1, LED_EVENT_ON);
    LED_SetLedEvent(2, LED_EVENT_ON, 0, 0, 0);
    LED_SetLedEvent(255, LED_EVENT_OFF, 0, 0, 0);
    LED_SetLedEvent(LED_DATA, 0, 0, 0, 0);
    LED_SetLedEvent(LED_DATA, 5, 0, 0, 0);
    LED_SetLedEvent(LED_ONLINE, 200, 0, 0, 0);
    EXPECT_EQ(online(), "0");
    EXPECT_EQ(ticks(5), "10010");  // the flash ran to its end
}

TEST_F(Leds, TickCounterSurvivesArmAndCancel)
{
    // Cancelled with the counter at k=2; next flash T=3 flips on its tick
    // T-k+1 = 2.
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 2, 3, LED_EVENT_OFF);
    EXPECT_EQ(ticks(2), "11");
    LED_SetLedEvent(LED_DATA, LED_EVENT_OFF, 0, 0, 0);
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 1, 3, LED_EVENT_OFF);
    EXPECT_EQ(ticks(3), "101");

    // Counter k=4 at or above the next interval T=2: flips on its first tick.
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 2, 9, LED_EVENT_OFF);
    ticks(4);
    LED_SetLedEvent(LED_DATA, LED_EVENT_OFF, 0, 0, 0);
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 1, 2, LED_EVENT_OFF);
    EXPECT_EQ(ticks(2), "01");
}

// The thread wakes only where an LED changes: ticks that merely count are
// accounted for later, and so is a final state that changes nothing. A new
// flash or a cancel must still see the flash as ticking would have left it.
TEST_F(Leds, SkippedTicksAreAccountedForAsIfTicked)
{
    LED_SetLedEvent(LED_DATA, LED_EVENT_ON, 0, 0, 0);
    // From on: flips at +100 and +200 ms, then a final "on" that changes
    // nothing at +250; the thread wakes for the flips only.
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 2, 1, LED_EVENT_ON);
    later(100, true);
    EXPECT_EQ(data(), "1");
    later(100, true);
    EXPECT_EQ(data(), "0");
    // Before the final tick the flash is still pending: a request is dropped.
    later(40, false);
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 1, 0, LED_EVENT_ON);
    // At the final tick it is over: a request is taken and played.
    later(10, false);
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 1, 0, LED_EVENT_OFF);
    EXPECT_EQ(ticks(2), "11");

    // Counting ticks since the last flip still count when a cancel comes:
    // cancelled with the counter at 2, the next flash (interval 3) flips on
    // its second tick.
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 2, 3, LED_EVENT_OFF);
    later(200, true);  // first flip: data on
    EXPECT_EQ(data(), "0");
    later(100, false);
    LED_SetLedEvent(LED_ONLINE, LED_EVENT_ON, 0, 0, 0);
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 1, 3, LED_EVENT_OFF);
    EXPECT_EQ(ticks(3), "011");

    // A flip that falls due exactly when the pass sets the thread's timer
    // (the clock moved on since the pass looked): the timer must fire at
    // once, not be left disarmed.
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 1, 0, LED_EVENT_OFF);
    s_jump = LED_TICK_MS;
    struct pollfd timer = {ledPass(), POLLIN, 0};
    EXPECT_EQ(poll(&timer, 1, 1000), 1) << "the LED thread would sleep past a due change";
}

// The link may set the LEDs before the LED thread runs (its creation can
// fail and be retried a pass later): the thread's start changes nothing.
// Its end leaves the resting pattern.
TEST_F(Leds, ThreadStartKeepsTheLinkStateAndEndLeavesRestingPattern)
{
    ledSetClock(nullptr);
    LED_SetLedEvent(LED_DATA, LED_EVENT_ON, 0, 0, 0);
    LED_SetLedEvent(LED_ONLINE, LED_EVENT_OFF, 0, 0, 0);
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, LED_Thread, nullptr), 0);
    // A flash armed while the thread runs is played out by it.
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 0, 0, LED_EVENT_OFF);
    int64_t deadline = th::NowMs() + 5000;
    while (data() != "1" && th::NowMs() < deadline)
        usleep(10 * 1000);
    EXPECT_EQ(data(), "1");
    EXPECT_EQ(online(), "1") << "the thread's start painted over the link's online LED";
    GB_SetEvent(GB_EVENT_EXIT);
    pthread_join(t, nullptr);
    EXPECT_EQ(data(), "1");
    EXPECT_EQ(online(), "0");
}

// An immediate event while the LED thread writes a flip or a final state:
// the event lands last and the flash is over, whatever the interleaving.
TEST_F(Leds, ImmediateEventDuringAThreadWriteLandsLast)
{
    if (!ADAPTER_LINK_WRAP)
        GTEST_SKIP() << "needs the linker's --wrap to hold a write";
    ledSetClock(nullptr);
    s_testThread = pthread_self();
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, LED_Thread, nullptr), 0);
    // A flip (off to on) and a final state (on) held in their write.
    const uint8_t flashes[2][3] = {{2, 1, LED_EVENT_OFF}, {0, 0, LED_EVENT_ON}};
    for (const auto &f : flashes) {
        LED_SetLedEvent(LED_DATA, LED_EVENT_OFF, 0, 0, 0);
        s_holdStage = 0;
        s_holdNext = true;
        LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, f[0], f[1], f[2]);
        int64_t deadline = th::NowMs() + 5000;
        while (s_holdStage.load() != 1 && th::NowMs() < deadline)
            usleep(5 * 1000);
        ASSERT_EQ(s_holdStage.load(), 1) << "the LED thread never wrote";
        LED_SetLedEvent(LED_DATA, LED_EVENT_OFF, 0, 0, 0);
        while (s_holdStage.load() != 2 && th::NowMs() < deadline)
            usleep(5 * 1000);
        usleep(400 * 1000);  // room for any flip a live flash would still make
        EXPECT_EQ(data(), "1") << "flash " << int(f[0]) << " flips, final " << int(f[2]);
    }
    GB_SetEvent(GB_EVENT_EXIT);
    pthread_join(t, nullptr);
}

}  // namespace
