// LED requests and the flash tick, driven step by step; the brightness
// files in a sandbox show what an LED does ("0" on, "1" off).
#include <gtest/gtest.h>

#include <pthread.h>

#include <string>

#include "board/leds.h"
#include "core/endpoints.h"
#include "core/globals.h"
#include "tests/support/harness.h"

namespace {

class Leds : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(EP_SetRoot(sb.root().c_str()), 0);
        ledInit();  // data off, online on, nothing pending, counter 0
    }
    std::string data() const { return sb.led(false); }
    std::string online() const { return sb.led(true); }
    // Runs n ticks and returns the data LED after each ("0"/"1" joined).
    std::string ticks(int n)
    {
        std::string seq;
        for (int i = 0; i < n; i++) {
            ledTick();
            seq += data();
        }
        return seq;
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
    ledTick();
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

TEST_F(Leds, ThreadLeavesRestingPatternOnExit)
{
    LED_SetLedEvent(LED_DATA, LED_EVENT_ON, 0, 0, 0);
    LED_SetLedEvent(LED_ONLINE, LED_EVENT_OFF, 0, 0, 0);
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, LED_Thread, nullptr), 0);
    // A flash armed while the thread runs is played out by it.
    int64_t deadline = th::NowMs() + 2000;
    while (data() != "1" && th::NowMs() < deadline)
        usleep(10 * 1000);
    LED_SetLedEvent(LED_DATA, LED_EVENT_FLASH, 0, 0, LED_EVENT_ON);
    while (data() != "0" && th::NowMs() < deadline)
        usleep(10 * 1000);
    EXPECT_EQ(data(), "0");
    GB_SetEvent(GB_EVENT_EXIT);
    pthread_join(t, nullptr);
    EXPECT_EQ(data(), "1");
    EXPECT_EQ(online(), "0");
}

}  // namespace
