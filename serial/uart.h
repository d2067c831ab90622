// Serial port driver: open in raw mode with given speed, data bits, parity
// and stop bits; gathering read ended by 0.1 s of silence; write; close.
// No state of its own; every call works on the caller's handle.
#pragma once
#include <cstdint>
#include <termios.h>

// New handle (returned even when a setting was refused), or -1 with errno
// saying why; a failure's lines are throttled with path as the place
// (core/log.h), and an open ends that place's failures.
int32_t UART_Open(const char *path, int32_t baudRate, int32_t dataBits, char parity, int32_t stopBits);
// Closes *fd unless -1 or fd is null, sets it to -1; always logs the close.
void UART_Close(int32_t *fd);
// Bytes gathered (0..cap) until 0.1 s of silence or cap; 0 for fd -1.
int32_t UART_Read(int32_t fd, uint8_t *buf, int32_t cap);
// Result of one write (bytes or -1); 0 for fd -1.
int32_t UART_Write(int32_t fd, const uint8_t *data, int32_t len);
// Writes all len bytes, continuing short writes and retrying EINTR/EAGAIN
// until timeoutMs has passed. Bytes written (len on success, fewer when
// the port stayed blocked or failed); 0 for fd -1.
int32_t UART_WriteAll(int32_t fd, const uint8_t *data, int32_t len, int32_t timeoutMs);
// 1 when the port has hung up or failed (device unplugged, pty master
// closed), so that it will never deliver again; 0 otherwise, also for -1.
// Does not wait.
int32_t UART_IsGone(int32_t fd);
// Milliseconds the line needs for `bytes` characters at baudRate with
// these data bits, parity ('N' or 'S' send no parity bit) and stop bits,
// rounded up; a start bit each. 0 for a rate of 0 or less.
int32_t UART_LineMs(int32_t bytes, int32_t baudRate, int32_t dataBits, char parity, int32_t stopBits);
// Bytes the port has been given and not yet sent (0 when it cannot say,
// also for -1). Does not wait.
int32_t UART_OutQueue(int32_t fd);
// 0 when the speed was set, -1 otherwise (port unchanged on a refused rate).
int32_t UART_ChangeBaudrate(int32_t fd, int32_t baudRate);

// Exposed for tests: the frame-format, raw-mode and no-hang-up changes
// that opening applies, computed on *t alone (no system call; prints the
// same error lines). 0 on success, 1 for unsupported data bits with *t
// unchanged.
int32_t uartFrameAttr(struct termios *t, int32_t dataBits, char parity, int32_t stopBits);
