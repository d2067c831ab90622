// Log level, routine lines and repeating failures. Level and window are
// written once at start-up. Failures that repeat are kept in a small fixed
// table of places, under one mutex (they come from every thread), timed on
// the monotonic clock; the table's lines are printed with the mutex held,
// so a summary never interleaves with another of its kind.
#include "core/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <pthread.h>

#include "core/common.h"

namespace {

LogLevel s_level = LOG_LEVEL_ALL;
int32_t s_windowMs = 60000;

constexpr size_t LOG_SLOTS = 16;
constexpr size_t LOG_LINE_SIZE = 512;
constexpr size_t LOG_PLACE_SIZE = 64;

struct LogSlot {
    char place[LOG_PLACE_SIZE];  // copied (callers may pass a buffer); "": free
    int32_t err;
    uint32_t count;     // repeats not yet written
    bool quieted;       // some repeat was left out since its first line
    bool shown;         // latest decision
    int64_t lineMs;     // latest line about it (first one or a summary)
    int64_t lastMs;     // latest failure
};

pthread_mutex_t s_mutex = PTHREAD_MUTEX_INITIALIZER;
LogSlot s_slots[LOG_SLOTS];
int64_t s_summaryMs = 0;
bool s_summarized = false;   // s_summaryMs is set

// Slot of place, or nullptr. Mutex held.
LogSlot *logFind(const char *place)
{
    for (LogSlot &s : s_slots) {
        if (s.place[0] != '\0' && strncmp(s.place, place, LOG_PLACE_SIZE - 1) == 0)
            return &s;
    }
    return nullptr;
}

LogSlot *logFree()
{
    for (LogSlot &s : s_slots) {
        if (s.place[0] == '\0')
            return &s;
    }
    return nullptr;
}

// Appends to line[LOG_LINE_SIZE] at *len, cut at the end of the buffer
// (two bytes kept for the line end).
__attribute__((format(printf, 3, 4))) void logAppend(char *line, size_t *len, const char *fmt, ...)
{
    size_t room = LOG_LINE_SIZE - 2 - *len;
    if (room <= 1)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line + *len, room, fmt, ap);
    va_end(ap);
    if (n > 0)
        *len += (size_t)n < room ? (size_t)n : room - 1;
}

void logEndLine(char *line, size_t len)
{
    memcpy(line + len, "\r\n", 3);
    fputs(line, stdout);
    fflush(stdout);
}

// The place fails no more: one line when repeats were left out; frees it.
void logStopped(LogSlot *s)
{
    if (s->quieted)
        printf("[LOG]: %s: failing no more, %u more since the last line (%s)\r\n", s->place, (unsigned)s->count,
               LOG_Reason(s->err));
    *s = LogSlot{};
}

// One line with every pending count, prefixed by head; counts reset.
void logSummary(const char *head, int64_t now)
{
    char line[LOG_LINE_SIZE];
    size_t len = 0;
    logAppend(line, &len, "[LOG]: %s", head);
    const char *sep = " ";
    for (LogSlot &s : s_slots) {
        if (s.place[0] == '\0' || s.count == 0)
            continue;
        logAppend(line, &len, "%s%s: %u more (%s)", sep, s.place, (unsigned)s.count, LOG_Reason(s.err));
        sep = "; ";
        s.count = 0;
        s.lineMs = now;
    }
    logEndLine(line, len);
}

bool logSummaryDue(int64_t now)
{
    if (s_summarized && now - s_summaryMs < s_windowMs)
        return false;
    for (const LogSlot &s : s_slots) {
        if (s.place[0] != '\0' && s.count > 0 && now - s.lineMs >= s_windowMs)
            return true;
    }
    return false;
}

}  // namespace

void LOG_SetLevel(LogLevel level) { s_level = level; }
LogLevel LOG_Level() { return s_level; }
void LOG_SetWindowMs(int32_t ms) { s_windowMs = ms < 1 ? 1 : ms; }
int32_t LOG_WindowMs() { return s_windowMs; }

void LOG_Routinef(const char *fmt, ...)
{
    if (!LOG_Routine())
        return;
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
}

void LOG_RoutinePuts(const char *text)
{
    if (LOG_Routine())
        puts(text);
}

void LOG_Detail(const char *fmt, ...)
{
    char line[LOG_LINE_SIZE];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 2, fmt, ap);
    va_end(ap);
    size_t len = n < 0 ? 0 : (size_t)n < sizeof line - 2 ? (size_t)n : sizeof line - 3;
    memcpy(line + len, "\r\n", 3);
    // After what stdout holds, so that the line follows the one it explains.
    fflush(stdout);
    fputs(line, stderr);
}

const char *LOG_Reason(int32_t err)
{
    switch (err) {
    case LOG_ERR_NOT_FOUND:
        return "host not found";
    case LOG_ERR_CLOSED:
        return "closed by the other end";
    case LOG_ERR_SILENT:
        return "silent too long";
    case LOG_ERR_TIMEOUT:
        return "no answer in time";
    default:
        return err > 0 ? strerror(err) : "failed";
    }
}

bool LOG_Failure(const char *place, int32_t err)
{
    if (s_level == LOG_LEVEL_ALL)
        return true;
    int64_t now = COMM_MonotonicMs();
    pthread_mutex_lock(&s_mutex);
    LogSlot *s = logFind(place);
    if (s != nullptr && s->err != err)
        logStopped(s);   // another reason: a failure of its own
    bool shown = true;
    if (s != nullptr && s->place[0] != '\0') {
        s->count++;
        s->quieted = true;
        shown = false;
    } else if ((s = logFree()) != nullptr) {
        *s = LogSlot{{}, err, 0, false, true, now, now};
        snprintf(s->place, sizeof s->place, "%s", place[0] != '\0' ? place : "?");
    }
    if (s != nullptr) {
        s->shown = shown;
        s->lastMs = now;
    }
    pthread_mutex_unlock(&s_mutex);
    return shown;
}

bool LOG_Shown(const char *place)
{
    if (s_level == LOG_LEVEL_ALL)
        return true;
    pthread_mutex_lock(&s_mutex);
    LogSlot *s = logFind(place);
    bool shown = s == nullptr || s->shown;
    pthread_mutex_unlock(&s_mutex);
    return shown;
}

void LOG_Ok(const char *place)
{
    if (s_level == LOG_LEVEL_ALL)
        return;
    pthread_mutex_lock(&s_mutex);
    LogSlot *s = logFind(place);
    if (s != nullptr)
        logStopped(s);
    pthread_mutex_unlock(&s_mutex);
}

void LOG_Tick()
{
    if (s_level == LOG_LEVEL_ALL)
        return;
    int64_t now = COMM_MonotonicMs();
    pthread_mutex_lock(&s_mutex);
    if (logSummaryDue(now)) {
        logSummary("repeated failures:", now);
        s_summaryMs = now;
        s_summarized = true;
    }
    // Two windows, so that a retry slower than one window (the modem's, at
    // 20 s, under a window that a test shortened) still counts as a repeat.
    for (LogSlot &s : s_slots) {
        if (s.place[0] != '\0' && now - s.lastMs >= 2 * (int64_t)s_windowMs)
            logStopped(&s);
    }
    pthread_mutex_unlock(&s_mutex);
}

void LOG_Flush()
{
    if (s_level == LOG_LEVEL_ALL)
        return;
    pthread_mutex_lock(&s_mutex);
    bool pending = false;
    for (const LogSlot &s : s_slots)
        pending = pending || (s.place[0] != '\0' && s.count > 0);
    if (pending)
        logSummary("at exit:", COMM_MonotonicMs());
    pthread_mutex_unlock(&s_mutex);
}
