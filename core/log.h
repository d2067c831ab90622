// Log level: whether the lines that repeat with every heartbeat, keep-alive,
// data message, burst and upgrade chunk are printed ("all", the default) or
// left out ("changes", what a router keeps). Set once at start-up, before
// any thread runs, and only read afterwards.
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
