// Log level and the window of repeating failures; written once at start-up.
#include "core/log.h"

namespace {

LogLevel s_level = LOG_LEVEL_ALL;
int32_t s_windowMs = 60000;

}  // namespace

void LOG_SetLevel(LogLevel level) { s_level = level; }
LogLevel LOG_Level() { return s_level; }
void LOG_SetWindowMs(int32_t ms) { s_windowMs = ms < 1 ? 1 : ms; }
int32_t LOG_WindowMs() { return s_windowMs; }
