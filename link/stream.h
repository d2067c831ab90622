// The server's receive stream: bytes as TCP delivers them, cut into
// messages by their own lengths and nothing else (no time-outs that hand on
// half a message, no guessing past bytes that begin no message). The link
// thread receives into its tail and takes whole messages from its front;
// the clock is passed in, so a test drives it byte by byte without a
// thread or a socket. State is the module's own; one stream per process.
#pragma once
#include <cstdint>

constexpr int32_t STREAM_WAIT = 0;   // the front message is not all there yet
constexpr int32_t STREAM_MSG = 1;    // a whole message is at the front
constexpr int32_t STREAM_FAULT = -1; // the front cannot be cut: a framing fault

// Forgets everything: an empty stream, no kept messages, no padding.
void STREAM_Reset();
// Where the next receive goes: the tail, with *room bytes free (at least
// one whole message's worth whenever the front has been taken).
uint8_t *STREAM_Tail(int32_t *room);
// n bytes were received into the tail (n is cut to the room there was).
void STREAM_Received(int32_t n);
// The front of the stream at nowMs. STREAM_MSG: *msg and *len are the whole
// message (it stays there until STREAM_Consume). STREAM_WAIT: its rest may
// still come. STREAM_FAULT: *msg/*len are the bytes there (at most 8 are
// needed for a log line) and *why names the fault; nothing past it can be
// cut. A message whose first byte has waited limitMs at the front without
// its rest is a fault. Zero bytes right after an upgrade or identity
// request are padding and are skipped, however they are split.
int32_t STREAM_Front(int64_t nowMs, int32_t limitMs, const uint8_t **msg, int32_t *len, const char **why);
// The front message has been handled: it leaves the stream.
void STREAM_Consume();
// When the message waiting at the front runs out of time (monotonic ms),
// or -1 when none waits.
int64_t STREAM_Deadline(int32_t limitMs);
// The connection broke at nowMs: the whole messages at the front are kept,
// to be handed on before anything of the next connection; the rest (a
// message cut off by the break) is forgotten. Messages still kept from an
// earlier break keep that break's time. Returns the bytes kept.
int32_t STREAM_Dropped(int64_t nowMs);
// A framing fault ended the connection: nothing is kept.
void STREAM_Clear();
// Bytes at the front that came over a connection that has since broken,
// and when it broke (monotonic ms): they have waited at least that long.
int32_t STREAM_KeptLen();
int64_t STREAM_KeptSince();
// Gives up the kept messages: they leave the stream. Returns how many
// messages that was (bytes in *bytes).
int32_t STREAM_GiveUpKept(int32_t *bytes);
