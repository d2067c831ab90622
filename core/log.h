// Log level: whether the lines that repeat with every heartbeat, keep-alive,
// data message, burst and upgrade chunk are printed ("all", the default) or
// left out ("changes", what a router keeps). Set once at start-up, before
// any thread runs, and only read afterwards.
//
// At "changes" a failure that repeats (same place, same reason) is printed
// the first time only; the repeats are counted and summed up in one line a
// window (LOG_Tick), once more when the place works again or has been quiet
// for two windows, and at exit (LOG_Flush). At "all" every failure is printed
// as it happens and nothing is counted.
#pragma once
#include <cstdint>

enum LogLevel : int32_t {
    LOG_LEVEL_ALL = 0,      // every line
    LOG_LEVEL_CHANGES = 1,  // start and end, state changes, requests, failures
};

// Sets the level; call before any thread starts.
void LOG_SetLevel(LogLevel level);
LogLevel LOG_Level();
// 1 when the lines that repeat with routine traffic are printed, else 0.
inline bool LOG_Routine() { return LOG_Level() == LOG_LEVEL_ALL; }
// Length of the window in which a repeating failure is summed up instead of
// logged each time (60 000 ms unless a test shortens it); call before any
// thread starts. Values below 1 are taken as 1.
void LOG_SetWindowMs(int32_t ms);
int32_t LOG_WindowMs();

// printf / puts of a routine line: printed only when LOG_Routine().
void LOG_Routinef(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void LOG_RoutinePuts(const char *text);
// One line on standard error that says what failed and why (the stdout line
// before it does not); the caller adds no line end.
void LOG_Detail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Reasons that are no errno (errno values are positive).
constexpr int32_t LOG_ERR_NOT_FOUND = -1;  // host name not found
constexpr int32_t LOG_ERR_CLOSED = -2;     // the peer closed, the line hung up
constexpr int32_t LOG_ERR_SILENT = -3;     // nothing arrived within the limit
constexpr int32_t LOG_ERR_TIMEOUT = -4;    // no answer in time
// Text of a reason: strerror for an errno, a fixed text otherwise.
const char *LOG_Reason(int32_t err);

// A failure at place (a text naming what failed, such as a device path;
// its first 63 bytes count) for reason err. True when its lines are to be
// printed now: always at "all"; at "changes" the first time, and when the
// reason differs from the last one at that place. A false result counts it.
// When no slot is left, the failure is printed.
bool LOG_Failure(const char *place, int32_t err);
// The result of the latest LOG_Failure at place (true when none), for the
// further lines of the same failure.
bool LOG_Shown(const char *place);
// Place works again: a count still pending is written in one line, and the
// next failure there prints again. No effect at "all" or for a place that
// never failed.
void LOG_Ok(const char *place);
// Called every few seconds: once a window, one line with the counts of
// every place; a place quiet for two windows ends as with LOG_Ok.
void LOG_Tick();
// Writes every pending count (at exit).
void LOG_Flush();
