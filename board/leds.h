// Status LEDs: immediate on/off/flip in the caller's thread, and timed
// flashes played out by the LED thread on a 50 ms tick. LEDs are switched by
// writing their brightness files directly ("0" on, "1" off).
#pragma once
#include <cstdint>

constexpr uint8_t LED_DATA = 0;
constexpr uint8_t LED_ONLINE = 1;
constexpr uint8_t LED_COUNT = 2;

constexpr uint8_t LED_EVENT_ON = 1;
constexpr uint8_t LED_EVENT_OFF = 2;
constexpr uint8_t LED_EVENT_FLIP = 3;
constexpr uint8_t LED_EVENT_FLASH = 4;

constexpr int32_t LED_TICK_MS = 50;

// Requests an LED event; out-of-range type or event changes nothing.
// ON/OFF/FLIP switch at once and cancel a pending flash (its final state is
// not applied). FLASH records the request for the LED thread and returns
// without switching anything; it is dropped whole while another flash is
// pending. Any thread, also while holding sendMutex.
void LED_SetLedEvent(uint8_t ledType, uint8_t ledEvent, uint8_t flashNum, uint32_t flashTimer,
                     uint8_t finishEvent);
// Resting pattern (data LED off, online LED on) and no pending flash. The
// main thread calls it once before it starts any worker, so it can never
// land over a state the link has set.
void LED_Init();
// Thread body; arg ignored. Plays flashes out: it sleeps until a flip or a
// visible final state is due, or until GB_EVENT_EXIT, then leaves the
// resting pattern and returns null. Changes nothing when it starts.
void *LED_Thread(void *arg);

// Exposed for tests. ledPass: one pass of LED_Thread (plays what is due by
// the clock, sets the next wake-up); returns the thread's timer descriptor.
// ledSetClock: the monotonic milliseconds the module reads (null: the real
// clock), so tests can step time.
int ledPass();
void ledSetClock(int64_t (*clock)());
