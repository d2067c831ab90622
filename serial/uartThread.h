// Serial bridge thread: owns the user serial port. Reads bursts, answers
// local frames, sends other bursts up as data messages; UART_WriteData (link
// thread) writes server data, or hands new settings and the data over to
// this thread to reopen the port first.
#pragma once
#include <cstdint>

// Thread body; arg points to the DataCallback for uplink data messages.
void *UART_Thread(void *arg);
// Server data message from the link thread; len is the received length.
// Writes the data at once when the message's settings are the current ones
// and no reopen is pending; otherwise hands settings and data over to the
// serial thread (a newer hand-over replaces an unclaimed one), or drops the
// data. Never reads beyond len bytes of msg nor writes more than 1014.
void UART_WriteData(const uint8_t *msg, int32_t len);
