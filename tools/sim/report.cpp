// adapter-sim's reports: every event once, as a time-stamped text line on
// standard output (and in the --log file), or as one JSON object per line
// with --json.
#include <sys/time.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "tools/sim/sim.h"

namespace sim {

namespace {

// Length of the valid UTF-8 sequence at p (n bytes left), or 0 when the
// byte at p does not start one: overlong forms, surrogates and values past
// U+10FFFF are not valid.
size_t Utf8Length(const unsigned char *p, size_t n)
{
    size_t len = p[0] < 0x80 ? 1 : p[0] >= 0xC2 && p[0] <= 0xDF ? 2 : p[0] >= 0xE0 && p[0] <= 0xEF ? 3
                 : p[0] >= 0xF0 && p[0] <= 0xF4 ? 4 : 0;
    if (len == 0 || len > n)
        return 0;
    for (size_t i = 1; i < len; i++)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    if ((p[0] == 0xE0 && p[1] < 0xA0) || (p[0] == 0xED && p[1] >= 0xA0) || (p[0] == 0xF0 && p[1] < 0x90) ||
        (p[0] == 0xF4 && p[1] >= 0x90))
        return 0;
    return len;
}

}  // namespace

// Text stays UTF-8; a byte that is no part of valid UTF-8 becomes U+FFFD
// (the event's hex field, where there is one, keeps every byte).
Json &Json::str(const char *k, const std::string &v)
{
    key(k);
    s_ += '"';
    const unsigned char *p = (const unsigned char *)v.data();
    for (size_t i = 0, n = v.size(); i < n;) {
        size_t len = Utf8Length(p + i, n - i);
        if (len == 0) {
            s_ += "\\ufffd";
            i++;
        } else if (p[i] == '"' || p[i] == '\\') {
            s_ += '\\';
            s_ += (char)p[i++];
        } else if (p[i] < 0x20 || p[i] == 0x7F) {
            char u[8];
            snprintf(u, sizeof u, "\\u%04x", p[i++]);
            s_ += u;
        } else {
            s_.append((const char *)p + i, len);
            i += len;
        }
    }
    s_ += '"';
    return *this;
}

Json &Json::raw(const char *k, const std::string &v)
{
    key(k);
    s_ += v;
    return *this;
}

Json &Json::settings(const uint8_t *idx)
{
    Settings v = SettingsOf(idx);
    auto value = [](int x) { return x ? std::to_string(x) : std::string("null"); };
    char indices[32];
    snprintf(indices, sizeof indices, "[%u,%u,%u,%u]", idx[0], idx[1], idx[2], idx[3]);
    str("settings", SettingsText(idx)).raw("baud", value(v.baud)).raw("databits", value(v.bits));
    raw("stopbits", value(v.stop)).raw("parity", v.parity ? std::string("\"") + v.parity + "\"" : "null");
    return raw("indices", indices);
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
