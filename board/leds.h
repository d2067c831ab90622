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
// not applied). FLASH records the request for the LED thread and returns;
// it is dropped whole while another flash is pending.
void LED_SetLedEvent(uint8_t ledType, uint8_t ledEvent, uint8_t flashNum, uint32_t flashTimer,
                     uint8_t finishEvent);
// Thread body; arg ignored. Ticks every 50 ms while a flash is pending and
// sleeps while none is. Returns null within 250 ms of GB_EVENT_EXIT.
void *LED_Thread(void *arg);

// The steps of LED_Thread, exposed so tests can drive the tick without
// sleeping. ledInit: clears any pending flash and the tick counter, data
// LED off, online LED on. ledTick: one 50 ms step of a pending flash.
// ledExit: the resting pattern again. Only the LED thread calls them.
void ledInit();
void ledTick();
void ledExit();
