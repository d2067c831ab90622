// adapter-sim's text forms: the words of a command line, quoted text with
// escapes, hex bytes, numbers and seconds, and serial settings as people
// write them (38400 8E1) turned into the four table indices and back.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/sim/sim.h"

namespace sim {

namespace {

const int kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 9600};
const int kDataBits[] = {7, 8, 8};
const int kStopBits[] = {1, 2, 1};
const char kParity[] = "NOEE";

template <typename T, size_t N>
constexpr size_t countOf(const T (&)[N])
{
    return N;
}

}  // namespace

bool SettingsIndices(const std::string &rate, const std::string &frame, uint8_t *idx)
{
    char *end = nullptr;
    long r = strtol(rate.c_str(), &end, 10);
    if (end == rate.c_str() || *end != '\0' || frame.size() != 3)
        return false;
    int baud = -1;
    for (size_t i = 0; i < countOf(kBauds) && baud < 0; i++)
        baud = kBauds[i] == r ? (int)i : -1;
    static const char kLetters[] = "NOE";
    const char *p = strchr(kLetters, toupper((unsigned char)frame[1]));
    if (baud < 0 || (frame[0] != '7' && frame[0] != '8') || p == nullptr || frame[1] == '\0' ||
        (frame[2] != '1' && frame[2] != '2'))
        return false;
    idx[0] = (uint8_t)baud;
    idx[1] = frame[0] == '7' ? 0 : 1;
    idx[2] = frame[2] == '1' ? 0 : 1;
    idx[3] = (uint8_t)(p - kLetters);
    return true;
}

bool LooksLikeFrame(const std::string &w)
{
    return w.size() == 3 && (w[0] == '7' || w[0] == '8') && strchr("NOEnoe", w[1]) != nullptr &&
           (w[2] == '1' || w[2] == '2');
}

Settings SettingsOf(const uint8_t *idx)
{
    Settings v;
    v.baud = idx[0] < countOf(kBauds) ? kBauds[idx[0]] : 0;
    v.bits = idx[1] < countOf(kDataBits) ? kDataBits[idx[1]] : 0;
    v.stop = idx[2] < countOf(kStopBits) ? kStopBits[idx[2]] : 0;
    v.parity = idx[3] < 4 ? kParity[idx[3]] : '\0';
    return v;
}

std::string SettingsText(const uint8_t *idx)
{
    Settings v = SettingsOf(idx);
    char text[32];
    snprintf(text, sizeof text, "%s %c%c%c", v.baud ? std::to_string(v.baud).c_str() : "?",
             v.bits ? (char)('0' + v.bits) : '?', v.parity ? v.parity : '?', v.stop ? (char)('0' + v.stop) : '?');
    return text;
}

bool ParseLong(const std::string &s, long lo, long hi, long *out)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

bool ParseSeconds(const std::string &s, double *out)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    double v = strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(v >= 0.0 && v <= 86400.0))
        return false;
    *out = v;
    return true;
}

bool ParseHex(const std::string &s, Bytes *out)
{
    std::string digits;
    for (char c : s) {
        if (c == ' ' || c == '\t' || c == ':')
            continue;
        if (!isxdigit((unsigned char)c))
            return false;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        out->push_back((uint8_t)strtol(digits.substr(i, 2).c_str(), nullptr, 16));
    return true;
}

std::vector<std::string> Words(const std::string &line)
{
    std::vector<std::string> w;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isspace((unsigned char)line[i]))
            i++;
        size_t start = i;
        while (i < line.size() && !isspace((unsigned char)line[i]))
            i++;
        if (i > start)
            w.push_back(line.substr(start, i - start));
    }
    return w;
}

std::string RestAfterWords(const std::string &line, size_t n)
{
    size_t i = 0;
    for (size_t k = 0; k < n; k++) {
        while (i < line.size() && isspace((unsigned char)line[i]))
            i++;
        while (i < line.size() && !isspace((unsigned char)line[i]))
            i++;
    }
    if (i < line.size())
        i++;  // the one blank that separates the text
    return line.substr(i);
}

bool Unquote(const std::string &s, std::string *out, size_t *used)
{
    out->clear();
    for (size_t i = 1; i < s.size(); i++) {
        char c = s[i];
        if (c == '"') {
            *used = i + 1;
            return true;
        }
        if (c != '\\') {
            *out += c;
            continue;
        }
        if (++i >= s.size())
            return false;
        switch (s[i]) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case 'r': *out += '\r'; break;
        case 'n': *out += '\n'; break;
        case 't': *out += '\t'; break;
        case 'x':
            if (i + 2 >= s.size() || !isxdigit((unsigned char)s[i + 1]) || !isxdigit((unsigned char)s[i + 2]))
                return false;
            *out += (char)strtol(s.substr(i + 1, 2).c_str(), nullptr, 16);
            i += 2;
            break;
        default: return false;
        }
    }
    return false;
}

}  // namespace sim
