// State file: the link state, counters, serial settings, last failure and
// last management request, as one JSON object in EP_PATH_STATUS on the RAM
// disk, for the router's status service. Hooks on the link and serial
// threads only update a record under the module's mutex. A state change, a
// request, a change of the serial port's state or SIGUSR1 also makes
// STATUS_WakeFd() readable, and the main thread, the only one that writes
// the file, rewrites it at once (at most once a second); anything
// else (counters, held bytes, settings, failures) is written from the main
// loop's passes, at most once every 10 s. So traffic costs no wake-ups and
// an idle, online adapter (heartbeats are not counted) no writes.
#pragma once
#include <cstdint>

// Main thread, before any worker starts: start time, the file's folder,
// the first write.
void STATUS_Init();
// Readable when the file is due at once; -1 only if it could not be made.
int STATUS_WakeFd();
// Main thread: when woken, clears the descriptor; writes the file if it is
// due, and logs the summary line after SIGUSR1. -1, or the milliseconds
// after which a write due at once but put off (the file was written less
// than a second ago) is to be made by another call.
int32_t STATUS_Service(bool woken);
// SIGUSR1: asks for a write and the summary line. Async-signal-safe.
void STATUS_AskDump();
// Main thread, at the orderly end: writes the file with state "stopped".
void STATUS_Stopped();

// Hooks, from any thread; none blocks on I/O.
// The link state, a TCP_STATE_* value; entering connected from
// disconnected counts a connect, entering online a login.
void STATUS_Link(int32_t tcpState);
// The server in use ("host:port", an IPv6 address in brackets) and the
// address its connection is made to ("" while none is up), written with
// the next write of the file.
void STATUS_Server(const char *server, const char *address);
// The live TLS session (protocol version, cipher suite, the server
// certificate's subject and "not after" date; all "" while none is up),
// written with the next write of the file.
void STATUS_Tls(const char *version, const char *suite, const char *subject, const char *notAfter);
// What failed, as printf would format it, and errno's reason (0: none).
void STATUS_Error(int err, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// A message went to the server (sent: TCP_Send's result): counts the
// payload of a whole data message.
void STATUS_Sent(const uint8_t *msg, int32_t len, int32_t sent);
// A data message from the server with dataLen payload bytes was taken.
void STATUS_Received(int32_t dataLen);
// Bytes the serial side holds for the port now.
void STATUS_Held(uint32_t bytes);
// The settings the serial port was opened with.
void STATUS_Serial(int32_t baud, int32_t dataBits, char parity, int32_t stopBits);
// The serial port's state: not opened yet, open, missing (its device does
// not exist) or failing (it would not open, or it failed while open).
constexpr int32_t STATUS_SERIAL_CLOSED = 0;
constexpr int32_t STATUS_SERIAL_OPEN = 1;
constexpr int32_t STATUS_SERIAL_MISSING = 2;
constexpr int32_t STATUS_SERIAL_ERROR = 3;
// A change is written at once; other values are ignored.
void STATUS_SerialState(int32_t state);
// A management request ("upgrade", "identity") and what it names, from
// the server (path may be null; never a password or pairing code), with
// its result so far; STATUS_RequestResult sets the result of the last one.
void STATUS_Request(const char *type, const char *target, const char *path, const char *result);
void STATUS_RequestResult(const char *result);
