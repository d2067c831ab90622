// Serial bridge thread: owns the user serial port. Reads bursts, answers
// local frames, sends other bursts up as data messages; UART_WriteData (link
// thread) writes server data, or holds it for this thread, which reopens
// the port first where the settings change.
#pragma once
#include <cstdint>

// Thread body; arg points to the DataCallback for uplink data messages.
void *UART_Thread(void *arg);
// Server data message from the link thread; len is the received length.
// Every message's data goes out in arrival order with the settings it
// names: written at once when nothing is held, the settings are the port's
// and the port takes it; otherwise held for the serial thread, which
// reopens the port first where the settings change. 0 when the message was
// taken (written or held); -1 when the hold is full, nothing taken: offer it
// again once GB_RoomFd() is readable. Never reads beyond len bytes of msg
// nor takes more than 1014 data bytes.
int32_t UART_WriteData(const uint8_t *msg, int32_t len);
// Messages held for the port and not yet written; any thread.
int32_t UART_HeldMessages();
// How long `bytes` may take on the line with the settings the four indices
// name (baud rate, data bits, stop bits, parity): their line time at the
// character size, a quarter more and a second. A held message gets this
// before it counts as stalled; a reopen waits this long for the old output.
int32_t UART_BoundMs(int32_t bytes, const uint8_t settings[4]);
