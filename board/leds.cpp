// Status LEDs. Owns the two LED records (remembered state and brightness
// file) and the one pending flash. Immediate events write in the caller's
// thread; a flash is only recorded here and played by LED_Thread on a 50 ms
// tick. One mutex guards all of it and is held across each file write, so
// an LED change (remembered state and file) is one step, and the thread
// looks at the flash afresh under it before every flip or final state: an
// immediate event or a new flash can never be undone by an older one. No
// shell runs, so the lock is held only for a small file write. Callers of
// LED_SetLedEvent may hold sendMutex (TCP_SendData arms flashes under it);
// nothing here takes sendMutex, so the order is always sendMutex, then this.
//
// Ticks are kept by time, not by waking: tick 1 of a flash comes 50 ms
// after it is armed and each further tick 50 ms later. The LED thread sleeps
// on a timerfd set for the next tick that changes an LED, by whoever changed
// the flash last (so arming wakes nobody), or on the exit descriptor; ticks
// that only count are accounted for when the flash is next looked at. A
// final state that leaves the LED as it is gets no wake at all: the flash
// stays pending until that tick's time has passed, and whoever looks at it
// next (a new request included) retires it then, so a new flash is taken or
// dropped exactly as if the thread had ticked all along.
#include "board/leds.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "core/common.h"
#include "core/endpoints.h"
#include "core/globals.h"

namespace {

struct LedCtrl {
    uint8_t ledId;
    uint8_t ledState;  // 1 after "on" was last written, 0 after "off"
    EpPath path;
};

// Everything below is guarded by g_ledMutex.
pthread_mutex_t g_ledMutex = PTHREAD_MUTEX_INITIALIZER;

LedCtrl g_ledCtrl[LED_COUNT] = {
    {LED_DATA, 0, EP_PATH_LED_DATA},
    {LED_ONLINE, 0, EP_PATH_LED_ONLINE},
};

// The pending flash (g_ledEvent != 0) and the tick counter, which only a
// flip resets.
uint8_t g_ledType = LED_COUNT;
uint8_t g_ledEvent = 0;
uint8_t g_flashNum = 0;
uint32_t g_flashTimer = 0;
uint8_t g_finishEvent = 0;
uint32_t s_tick = 0;
int64_t s_nextTickMs = 0;  // when the next tick of the pending flash is due
int s_timerFd = -1;        // made on first use; -1 if it cannot be made
int64_t (*s_clock)() = COMM_MonotonicMs;

// Writes what "echo 0" (on) or "echo 1" (off) would write. A failure is not
// reported: the remembered state follows the request regardless.
void ledWrite(uint8_t index, bool on)
{
    int fd = open(EP_Path(g_ledCtrl[index].path), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const char *text = on ? "0\n" : "1\n";
    ssize_t n;
    do {
        n = write(fd, text, 2);
    } while (n < 0 && errno == EINTR);
    close(fd);
}

void ledSet(uint8_t index, uint8_t on)
{
    g_ledCtrl[index].ledState = on;
    ledWrite(index, on != 0);
}

uint8_t ledFinalState()
{
    return g_finishEvent == LED_EVENT_ON ? 1 : 0;
}

// One tick of the pending flash. False, with nothing done, when no flash is
// pending or the tick would change an LED and mayWrite is false.
bool ledStep(bool mayWrite)
{
    if (g_ledEvent == 0)
        return false;
    LedCtrl &led = g_ledCtrl[g_ledType];
    if (g_flashNum == 0) {
        if (led.ledState != ledFinalState()) {
            if (!mayWrite)
                return false;
            ledSet(g_ledType, ledFinalState());
        }
        g_ledEvent = 0;
    } else if (s_tick < g_flashTimer) {
        s_tick++;
    } else {
        if (!mayWrite)
            return false;
        s_tick = 0;
        g_flashNum--;
        ledSet(g_ledType, led.ledState ^ 1);
    }
    s_nextTickMs += LED_TICK_MS;
    return true;
}

// Plays every tick due by nowMs that may be played here. A run of ticks
// that only count is taken in one step, however long the interval.
void ledAdvance(int64_t nowMs, bool mayWrite)
{
    while (g_ledEvent != 0 && s_nextTickMs <= nowMs) {
        if (g_flashNum != 0 && s_tick < g_flashTimer) {
            // Divided in 32 bits: a 64-bit division is a library call on
            // 32-bit MIPS that would double the daemon's size.
            int64_t late = nowMs - s_nextTickMs;
            int32_t due = (int32_t)(late < INT32_MAX ? late : INT32_MAX) / LED_TICK_MS + 1;
            int64_t left = (int64_t)(g_flashTimer - s_tick);
            int64_t n = due < left ? due : left;
            s_tick += (uint32_t)n;
            s_nextTickMs += n * LED_TICK_MS;
        } else if (!ledStep(mayWrite)) {
            break;
        }
    }
}

// Due time of the next tick that changes an LED; -1 when none will.
int64_t ledNextChangeMs()
{
    if (g_ledEvent == 0)
        return -1;
    if (g_flashNum == 0)
        return g_ledCtrl[g_ledType].ledState != ledFinalState() ? s_nextTickMs : -1;
    int64_t counting = s_tick < g_flashTimer ? (int64_t)(g_flashTimer - s_tick) : 0;
    return s_nextTickMs + counting * LED_TICK_MS;
}

int ledTimerFd()
{
    if (s_timerFd < 0)
        s_timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    return s_timerFd;
}

// Sets the LED thread's wake-up for the next change, or clears it. The
// timer is set relative to now, so only a short span is divided (in 32
// bits); the clock's truncation to milliseconds can only make it late.
void ledSetTimer()
{
    int fd = ledTimerFd();
    if (fd < 0)
        return;
    int64_t at = ledNextChangeMs();
    struct itimerspec its = {};
    if (at >= 0) {
        int64_t rel = at - s_clock();
        int32_t ms = rel <= 0 ? 0 : (int32_t)(rel < INT32_MAX ? rel : INT32_MAX);
        its.it_value.tv_sec = ms / 1000;
        its.it_value.tv_nsec = (long)(ms % 1000) * 1000000L + 1;  // all zero would disarm
    }
    timerfd_settime(fd, 0, &its, nullptr);
}

void ledExit()
{
    pthread_mutex_lock(&g_ledMutex);
    ledSet(LED_DATA, 0);
    ledSet(LED_ONLINE, 1);
    pthread_mutex_unlock(&g_ledMutex);
}

}  // namespace

void LED_SetLedEvent(uint8_t ledType, uint8_t ledEvent, uint8_t flashNum, uint32_t flashTimer,
                     uint8_t finishEvent)
{
    if (ledType >= LED_COUNT || ledEvent == 0 || ledEvent > LED_EVENT_FLASH)
        return;
    pthread_mutex_lock(&g_ledMutex);
    int64_t now = s_clock();
    // Ticks that have passed are counted first: the tick counter, and
    // whether a flash is still pending, are then what ticking would have made
    // of them.
    ledAdvance(now, false);
    if (ledEvent == LED_EVENT_FLASH) {
        if (g_ledEvent == 0) {
            g_ledType = ledType;
            g_flashNum = flashNum;
            g_flashTimer = flashTimer;
            g_finishEvent = finishEvent;
            g_ledEvent = LED_EVENT_FLASH;
            s_nextTickMs = now + LED_TICK_MS;
            ledSetTimer();
        }
    } else {
        uint8_t on = ledEvent == LED_EVENT_ON    ? 1
                     : ledEvent == LED_EVENT_OFF ? 0
                                                 : (uint8_t)(g_ledCtrl[ledType].ledState ^ 1);
        ledSet(ledType, on);
        // An immediate event cancels a pending flash without its final state.
        if (g_ledEvent != 0) {
            g_ledEvent = 0;
            ledSetTimer();
        }
    }
    pthread_mutex_unlock(&g_ledMutex);
}

void LED_Init()
{
    pthread_mutex_lock(&g_ledMutex);
    g_ledType = LED_COUNT;
    g_ledEvent = 0;
    s_tick = 0;
    ledSetTimer();
    ledSet(LED_DATA, 0);
    ledSet(LED_ONLINE, 1);
    pthread_mutex_unlock(&g_ledMutex);
}

int ledPass()
{
    pthread_mutex_lock(&g_ledMutex);
    ledAdvance(s_clock(), true);
    ledSetTimer();
    int fd = s_timerFd;
    pthread_mutex_unlock(&g_ledMutex);
    return fd;
}

void ledSetClock(int64_t (*clock)())
{
    pthread_mutex_lock(&g_ledMutex);
    s_clock = clock != nullptr ? clock : COMM_MonotonicMs;
    pthread_mutex_unlock(&g_ledMutex);
}

void *LED_Thread(void *)
{
    // No resting pattern here: the main thread painted it before any worker
    // existed, and by now the link may have set the LEDs to its own state.
    puts("[LED]:enter led thread...\r");
    while (!GB_TestEvent(GB_EVENT_EXIT)) {
        int timerFd = ledPass();
        struct pollfd pfd[2] = {{timerFd, POLLIN, 0}, {GB_ExitFd(), POLLIN, 0}};
        // Without a timer the thread falls back to ticking.
        if (poll(pfd, 2, timerFd >= 0 ? -1 : LED_TICK_MS) > 0 && pfd[0].revents != 0) {
            uint64_t expirations;
            if (read(timerFd, &expirations, sizeof expirations) < 0) {
                // Re-armed meanwhile; the next pass looks again.
            }
        }
    }
    ledExit();
    return nullptr;
}
