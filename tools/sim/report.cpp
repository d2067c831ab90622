// adapter-sim's reports: every event once, as a time-stamped text line on
// standard output (and in the --log file), or as one JSON object per line
// with --json.
#include <sys/time.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "tools/sim/sim.h"

namespace sim {

Json &Json::str(const char *k, const std::string &v)
{
    key(k);
    s_ += '"';
    for (unsigned char c : v) {
        if (c == '"' || c == '\\') {
            s_ += '\\';
            s_ += (char)c;
        } else if (c < 0x20 || c >= 0x7f) {
            // Bytes, not necessarily UTF-8: each one as its code point.
            char u[8];
            snprintf(u, sizeof u, "\\u%04x", c);
            s_ += u;
        } else {
            s_ += (char)c;
        }
    }
    s_ += '"';
    return *this;
}

Json &Json::num(const char *k, double v)
{
    char t[32];
    snprintf(t, sizeof t, "%.15g", v);
    key(k);
    s_ += t;
    return *this;
}

Json &Json::flag(const char *k, bool v)
{
    key(k);
    s_ += v ? "true" : "false";
    return *this;
}

void Json::key(const char *k)
{
    s_ += ",\"";
    s_ += k;
    s_ += "\":";
}

void Emit(Sim &sim, const char *event, const Json &j, const char *fmt, ...)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char stamp[48];  // room for any int the compiler cannot rule out
    snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
             (int)(tv.tv_usec / 1000));
    char text[4096];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    std::string line = std::string(stamp) + " ";
    // Data lines can outgrow the buffer: format again at their size.
    if (n >= (int)sizeof text) {
        std::string big((size_t)n + 1, '\0');
        va_start(ap, fmt);
        vsnprintf(&big[0], big.size(), fmt, ap);
        va_end(ap);
        big.pop_back();
        line += big;
    } else {
        line += text;
    }
    if (sim.json) {
        Json head;
        head.str("time", stamp).num("ts", (double)tv.tv_sec + (double)(tv.tv_usec / 1000) / 1000.0).str("event", event);
        printf("{%s%s}\n", head.body().c_str() + 1, j.body().c_str());
    } else {
        printf("%s\n", line.c_str());
    }
    fflush(stdout);
    if (sim.log != nullptr) {
        fprintf(sim.log, "%s\n", line.c_str());
        fflush(sim.log);
    }
}

void Error(Sim &sim, const std::string &msg)
{
    Emit(sim, "error", Json().str("message", msg), "error: %s", msg.c_str());
}

std::string Hex(const uint8_t *p, size_t n)
{
    std::string s;
    char t[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(t, sizeof t, i ? " %02x" : "%02x", p[i]);
        s += t;
    }
    return s;
}

std::string Printable(const uint8_t *p, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += (p[i] >= 0x20 && p[i] < 0x7f) ? (char)p[i] : '.';
    return s;
}

}  // namespace sim
