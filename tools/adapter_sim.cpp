// adapter-sim: the server side of the adapter's link protocol, for
// integrators, bench work and tests. Listens on one TCP port (loopback by
// default), serves one adapter at a time, answers online requests and
// heartbeats with results the operator chooses, reports every message it
// receives decoded (one time-stamped line, or one JSON object, per event)
// and sends data and management requests on command.
//
// Commands come from standard input or from a scenario file (--script).
// They run one at a time, in order: a wait, a sleep, or a command that
// needs an adapter before one has connected holds the ones behind it until
// its event comes or its time runs out. Single-threaded: one poll() over the
// listening socket, the adapter's connection and standard input, with the
// running command's deadline as its time-out.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "core/globals.h"
#include "tools/cli.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr double kDefaultWaitS = 30.0;
constexpr size_t kMaxData = 1014;          // data bytes one message carries
constexpr size_t kUplinkKeep = 64 * 1024;  // uplink bytes kept for 'wait data'
// The adapter takes whatever one receive returns as one message, so two
// messages sent back to back can reach it as one and the second is lost.
constexpr int64_t kSendGapMs = 100;

const char kProg[] = "adapter-sim";
const char kSynopsis[] = "usage: adapter-sim [-p PORT] [-b ADDR] [-s FILE] [-l FILE] [-j] [-e]\n";

const char kOptions[] =
    "\n"
    "Plays the server for one adapter at a time: listens on ADDR:PORT, answers\n"
    "online requests and heartbeats, prints each message it receives decoded (one\n"
    "time-stamped line each) and sends what the commands say. Commands come from\n"
    "standard input, or from a scenario file with --script.\n"
    "\n"
    "options:\n"
    "  -p, --port=N         TCP port to listen on, 1-65535 [60928]\n"
    "  -b, --bind=ADDR      IPv4 address to listen on [127.0.0.1]\n"
    "  -s, --script=FILE    run FILE's lines as commands, then end; standard input\n"
    "                       is not read, and the first wait that times out ends it\n"
    "  -l, --log=FILE       append the decoded lines to FILE as well\n"
    "  -j, --json           print one JSON object per event instead of text lines\n"
    "  -e, --exit-on-eof    end once standard input has ended and its commands have\n"
    "                       run; without it the simulator serves until 'quit'\n"
    "  -h, --help           this text\n"
    "  -V, --version        version\n"
    "\n";

const char kCommands[] =
    "commands, one per line (a line whose first word starts with # is a comment):\n"
    "  data SETTINGS TEXT     send TEXT (the rest of the line, blanks kept) as serial\n"
    "                         data; SETTINGS as people write them (38400 8E1) or as\n"
    "                         the four indices B D S P of the table below\n"
    "  datahex SETTINGS HEX   the same with the bytes in hex (\"41 42 43\" or \"414243\")\n"
    "  raw HEX                send bytes exactly as given\n"
    "  upgrade HOST USER PASS PATH\n"
    "                         ask for a remote upgrade from an FTP server\n"
    "  devinfo SN PC          ask for a new identity: serial number, pairing code\n"
    "  login ok|refuse N      answer online requests with 0, or refuse with code N\n"
    "  heartbeat ok|refuse N  answer heartbeats with 0, or with code N\n"
    "  silent on|off          stop or resume answering anything\n"
    "  close                  close the adapter's connection\n"
    "  wait online [S]        until an adapter is logged in\n"
    "  wait data TEXT [S]     until uplink data contains TEXT: one word, or in double\n"
    "                         quotes with \\\" \\\\ \\r \\n \\t \\xHH escapes\n"
    "  wait heartbeat [S]     until a heartbeat arrives\n"
    "  wait close [S]         until the adapter's connection closes\n"
    "  sleep S                hold the commands for S seconds (fractions allowed)\n"
    "  echo TEXT              print TEXT as an event, to annotate a scenario\n"
    "  status                 show the answers, the connection and the counts\n"
    "  help                   this list\n"
    "  quit                   end the simulator\n"
    "\n"
    "A wait gives up after S seconds [30]. It is met by an event that came after\n"
    "the previous command began and that no earlier wait has taken, so 'close'\n"
    "then 'wait close', or device data just before 'wait data', are not missed.\n"
    "Commands that need an adapter (data, datahex, raw, upgrade, devinfo, close)\n"
    "wait up to 30 s for one to connect. Messages go out at least 0.1 s apart:\n"
    "the adapter takes what one receive returns as one message.\n"
    "\n"
    "serial settings, four indices in every data message:\n"
    "  index  baud    data bits  stop bits  parity\n"
    "  0      1200    7          1          N (none)\n"
    "  1      2400    8          2          O (odd)\n"
    "  2      4800    8          1          E (even)\n"
    "  3      9600                          E (even)\n"
    "  4      19200\n"
    "  5      38400\n"
    "  6      57600\n"
    "  7      115200\n"
    "  8      9600\n"
    "38400 8E1 is the indices 5 1 0 2. The adapter starts at 115200 8N1 (7 1 0 0),\n"
    "reopens its port whenever the indices change, and cannot set 1200, 2400 or\n"
    "4800 (its port keeps the rate it had). Uplink data carries zero indices.\n";

const char kExitStatus[] =
    "\n"
    "exit status:\n"
    "  0  ended, and every wait held\n"
    "  1  a wait timed out, a command found no adapter, or the port was not free\n"
    "  2  usage error, or a scenario line that is no command (with its number)\n";

// ---- Serial settings tables, both ways.

const int kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 9600};
const int kDataBits[] = {7, 8, 8};
const int kStopBits[] = {1, 2, 1};
const char kParity[] = "NOEE";

template <typename T, size_t N>
constexpr size_t countOf(const T (&)[N])
{
    return N;
}

// "38400 8E1" for the four indices; a '?' stands for an index past its table.
std::string SettingsText(const uint8_t *idx)
{
    char baud[12] = "?", bits[2] = "?", par[2] = "?", stop[2] = "?";
    if (idx[0] < countOf(kBauds))
        snprintf(baud, sizeof baud, "%d", kBauds[idx[0]]);
    if (idx[1] < countOf(kDataBits))
        bits[0] = (char)('0' + kDataBits[idx[1]]);
    if (idx[2] < countOf(kStopBits))
        stop[0] = (char)('0' + kStopBits[idx[2]]);
    if (idx[3] < 4)
        par[0] = kParity[idx[3]];
    return std::string(baud) + " " + bits + par + stop;
}

// Indices for a rate and a frame such as "8E1"; false when either is not
// in the tables.
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

int64_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// ---- Text helpers.

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

// Text field of fixed width: up to its terminator or its width.
std::string Field(const uint8_t *p, size_t width)
{
    size_t n = 0;
    while (n < width && p[n] != 0)
        n++;
    return std::string((const char *)p, n);
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

// The text after the first n words of line, blanks inside it kept.
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

// A double-quoted text with escapes, starting at s[0] == '"'. Sets *used to
// the characters consumed; false for a missing quote or a bad escape.
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

// ---- JSON object builder for --json.

class Json {
public:
    Json &str(const char *k, const std::string &v)
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
    Json &num(const char *k, double v)
    {
        char t[32];
        snprintf(t, sizeof t, "%.15g", v);
        key(k);
        s_ += t;
        return *this;
    }
    Json &flag(const char *k, bool v)
    {
        key(k);
        s_ += v ? "true" : "false";
        return *this;
    }
    const std::string &body() const { return s_; }

private:
    void key(const char *k)
    {
        s_ += ",\"";
        s_ += k;
        s_ += "\":";
    }
    std::string s_;
};

// ---- Commands.

enum class Op {
    None, Data, Raw, Upgrade, Devinfo, Login, Heartbeat, Silent, Close, Status, Help, Quit,
    WaitOnline, WaitData, WaitHeartbeat, WaitClose, Sleep, Echo
};

struct Cmd {
    Op op = Op::None;
    Bytes msg;            // ready to send (data, raw, upgrade, devinfo)
    std::string what;     // what msg is, for the log
    std::string text;     // wait data needle, echo text
    int code = 0;         // login / heartbeat answer
    bool on = false;      // silent
    double seconds = kDefaultWaitS;
    std::string line;     // as written
};

bool NeedsAdapter(Op op)
{
    return op == Op::Data || op == Op::Raw || op == Op::Upgrade || op == Op::Devinfo || op == Op::Close;
}

bool IsWait(Op op)
{
    return op == Op::WaitOnline || op == Op::WaitData || op == Op::WaitHeartbeat || op == Op::WaitClose;
}

// Appends a text field of the given width (at most width-1 characters).
bool PutField(Bytes *b, const std::string &v, size_t width, const char *name, std::string *err)
{
    if (v.size() > width - 1) {
        *err = std::string(name) + " is longer than " + std::to_string(width - 1) + " characters";
        return false;
    }
    Bytes f(width, 0);
    memcpy(f.data(), v.data(), v.size());
    b->insert(b->end(), f.begin(), f.end());
    return true;
}

// data/datahex: settings in either form, then the bytes.
bool ParseData(const std::vector<std::string> &w, const std::string &line, bool hex, Cmd *c, std::string *err)
{
    const char *form = hex ? "usage: datahex RATE FRAME HEX | datahex B D S P HEX"
                           : "usage: data RATE FRAME TEXT | data B D S P TEXT (e.g. data 38400 8E1 hello)";
    uint8_t idx[4];
    size_t words;
    if (w.size() >= 3 && LooksLikeFrame(w[2])) {
        if (!SettingsIndices(w[1], w[2], idx)) {
            *err = "'" + w[1] + "' is no rate of the table (see help); " + form;
            return false;
        }
        words = 3;
    } else {
        if (w.size() < 5) {
            *err = form;
            return false;
        }
        for (int i = 0; i < 4; i++) {
            long v;
            if (!ParseLong(w[(size_t)i + 1], 0, 255, &v)) {
                *err = "setting '" + w[(size_t)i + 1] + "' is neither an index 0-255 nor a rate and frame; " + form;
                return false;
            }
            idx[i] = (uint8_t)v;
        }
        words = 5;
    }
    std::string rest = RestAfterWords(line, words);
    Bytes data;
    if (hex && !ParseHex(rest, &data)) {
        *err = "'" + rest + "' is not an even number of hex digits";
        return false;
    }
    if (!hex)
        data.assign(rest.begin(), rest.end());
    if (data.size() > kMaxData) {
        *err = std::to_string(data.size()) + " data bytes; a message carries at most 1014";
        return false;
    }
    c->msg = {0x01, 0x40, idx[0], idx[1], idx[2], idx[3]};
    for (int i = 0; i < 4; i++)
        c->msg.push_back((uint8_t)(data.size() >> (8 * i)));
    c->msg.insert(c->msg.end(), data.begin(), data.end());
    c->op = Op::Data;
    c->what = "data message";
    return true;
}

// "wait KIND ..." into c.
bool ParseWait(const std::vector<std::string> &w, const std::string &line, Cmd *c, std::string *err)
{
    const char *form = "usage: wait online|heartbeat|close [SECONDS] | wait data TEXT [SECONDS]";
    if (w.size() < 2) {
        *err = form;
        return false;
    }
    size_t secsAt = 2;
    if (w[1] == "online")
        c->op = Op::WaitOnline;
    else if (w[1] == "heartbeat")
        c->op = Op::WaitHeartbeat;
    else if (w[1] == "close")
        c->op = Op::WaitClose;
    else if (w[1] == "data") {
        c->op = Op::WaitData;
        std::string rest = RestAfterWords(line, 2);
        size_t lead = rest.find_first_not_of(" \t");
        rest = lead == std::string::npos ? "" : rest.substr(lead);
        if (rest.empty()) {
            *err = "wait data needs the TEXT to wait for";
            return false;
        }
        std::string tail;
        if (rest[0] == '"') {
            size_t used = 0;
            if (!Unquote(rest, &c->text, &used)) {
                *err = "unterminated quote or bad escape in " + rest;
                return false;
            }
            tail = rest.substr(used);
        } else {
            c->text = w[2];
            tail = RestAfterWords(line, 3);
        }
        if (c->text.empty()) {
            *err = "wait data needs a non-empty TEXT";
            return false;
        }
        std::vector<std::string> t = Words(tail);
        if (t.size() > 1 || (t.size() == 1 && !ParseSeconds(t[0], &c->seconds))) {
            *err = "after the TEXT only SECONDS may follow (quote a TEXT with blanks)";
            return false;
        }
        return true;
    } else {
        *err = "unknown wait '" + w[1] + "'; " + form;
        return false;
    }
    if (w.size() > secsAt + 1 || (w.size() == secsAt + 1 && !ParseSeconds(w[secsAt], &c->seconds))) {
        *err = "'" + w.back() + "' is not a number of seconds; " + form;
        return false;
    }
    return true;
}

// "ok" or "refuse N" into *code.
bool ParseAnswer(const std::vector<std::string> &w, int *code, std::string *err)
{
    long v;
    if (w.size() == 2 && w[1] == "ok") {
        *code = 0;
        return true;
    }
    if (w.size() == 3 && w[1] == "refuse" && ParseLong(w[2], 1, 255, &v)) {
        *code = (int)v;
        return true;
    }
    *err = "usage: " + w[0] + " ok | " + w[0] + " refuse N (N 1-255)";
    return false;
}

bool ParseUpgrade(const std::vector<std::string> &w, Cmd *c, std::string *err)
{
    if (w.size() != 5) {
        *err = "usage: upgrade HOST USER PASS PATH";
        return false;
    }
    c->msg = {0x01, 0x41};
    if (!PutField(&c->msg, w[1], 32, "HOST", err) || !PutField(&c->msg, w[2], 12, "USER", err) ||
        !PutField(&c->msg, w[3], 12, "PASS", err))
        return false;
    if (w[4].size() > 965) {
        *err = "PATH is longer than 965 characters";
        return false;
    }
    c->msg.insert(c->msg.end(), w[4].begin(), w[4].end());
    c->msg.push_back(0);
    c->op = Op::Upgrade;
    c->what = "upgrade request";
    return true;
}

bool ParseDevinfo(const std::vector<std::string> &w, Cmd *c, std::string *err)
{
    if (w.size() != 3) {
        *err = "usage: devinfo SN PC";
        return false;
    }
    c->msg = {0x01, 0x42};
    if (!PutField(&c->msg, w[1], 12, "SN", err) || !PutField(&c->msg, w[2], 8, "PC", err))
        return false;
    c->op = Op::Devinfo;
    c->what = "identity change";
    return true;
}

// Parses one command line. False with *err for a line that is no command;
// a blank or comment line gives Op::None.
bool ParseCommand(const std::string &line, Cmd *c, std::string *err)
{
    *c = Cmd();
    c->line = line;
    std::vector<std::string> w = Words(line);
    if (w.empty() || w[0][0] == '#')
        return true;
    const std::string &k = w[0];
    auto noArgs = [&](Op op) {
        c->op = op;
        if (w.size() != 1)
            *err = k + " takes no arguments";
        return w.size() == 1;
    };
    if (k == "data" || k == "datahex")
        return ParseData(w, line, k == "datahex", c, err);
    if (k == "raw") {
        c->op = Op::Raw;
        c->what = "raw bytes";
        if (ParseHex(RestAfterWords(line, 1), &c->msg))
            return true;
        *err = "usage: raw HEX (an even number of hex digits)";
        return false;
    }
    if (k == "upgrade")
        return ParseUpgrade(w, c, err);
    if (k == "devinfo")
        return ParseDevinfo(w, c, err);
    if (k == "login" || k == "heartbeat") {
        c->op = k == "login" ? Op::Login : Op::Heartbeat;
        return ParseAnswer(w, &c->code, err);
    }
    if (k == "silent") {
        c->op = Op::Silent;
        c->on = w.size() == 2 && w[1] == "on";
        if (w.size() == 2 && (w[1] == "on" || w[1] == "off"))
            return true;
        *err = "usage: silent on|off";
        return false;
    }
    if (k == "wait")
        return ParseWait(w, line, c, err);
    if (k == "sleep") {
        c->op = Op::Sleep;
        if (w.size() == 2 && ParseSeconds(w[1], &c->seconds))
            return true;
        *err = "usage: sleep SECONDS (0-86400, fractions allowed)";
        return false;
    }
    if (k == "echo") {
        c->op = Op::Echo;
        c->text = RestAfterWords(line, 1);
        return true;
    }
    if (k == "close")
        return noArgs(Op::Close);
    if (k == "status")
        return noArgs(Op::Status);
    if (k == "help")
        return noArgs(Op::Help);
    if (k == "quit")
        return noArgs(Op::Quit);
    *err = "unknown command '" + k + "' (try 'help')";
    return false;
}

// ---- The simulator's state.

// Counts of the events that waits look for; data is a byte offset into the
// stream of uplink data.
struct Marks {
    uint64_t heartbeats = 0;
    uint64_t closes = 0;
    uint64_t data = 0;
};

struct Running {
    bool active = false;
    Cmd cmd;
    int lineNo = 0;
    int64_t start = 0;
    int64_t deadline = 0;
    uint64_t floor = 0;  // events at or below this count are not the wait's
};

struct Sim {
    int listenFd = -1;
    int client = -1;
    std::string peer;
    Bytes inbuf;           // bytes from the adapter not yet decoded
    std::string cmdLine;   // partial command line from stdin
    bool stdinOpen = true;
    bool scripted = false;
    const char *scriptName = "";
    bool exitOnEof = false;
    bool quit = false;
    bool failed = false;
    bool json = false;
    FILE *log = nullptr;
    int loginCode = 0;
    int heartbeatCode = 0;
    bool silent = false;
    bool online = false;   // the current connection has logged in
    int64_t lastSend = 0;  // when the last message went out
    Marks seen;            // events so far
    Marks taken;           // the last event each kind of wait has taken
    Marks prevStart;       // seen when the previous command began
    Marks curStart;        // seen when the current command began
    std::string uplink;    // the last uplink bytes, for 'wait data'
    uint64_t uplinkBase = 0;  // stream offset of uplink[0]
    struct Line {
        int no;
        std::string text;
    };
    std::deque<Line> lines;   // commands not yet begun
    int lineCount = 0;        // lines read from standard input so far
    Running run;
};

// One event: a time-stamped text line (standard output and --log), or a
// JSON object on standard output with --json.
void Emit(Sim &sim, const char *event, const Json &j, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
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

void Disconnect(Sim &sim, const char *why)
{
    if (sim.client < 0)
        return;
    close(sim.client);
    sim.client = -1;
    sim.inbuf.clear();
    sim.online = false;
    sim.seen.closes++;
    Emit(sim, "close", Json().str("peer", sim.peer).str("reason", why), "connection from %s closed (%s)",
         sim.peer.c_str(), why);
}

// Sends all of b, at least kSendGapMs after the previous message; false
// (after an error event) when no adapter is there or the connection fails.
bool SendAll(Sim &sim, const Bytes &b)
{
    if (sim.client < 0) {
        Error(sim, "no adapter connected");
        return false;
    }
    int64_t gap = sim.lastSend + kSendGapMs - NowMs();
    if (gap > 0)
        usleep((useconds_t)gap * 1000);
    sim.lastSend = NowMs();
    size_t done = 0;
    while (done < b.size()) {
        ssize_t n = send(sim.client, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            Error(sim, std::string("send failed: ") + strerror(errno));
            Disconnect(sim, "send failed");
            return false;
        }
        done += (size_t)n;
    }
    return true;
}

void Send(Sim &sim, const Bytes &b, const std::string &what)
{
    if (!SendAll(sim, b))
        return;
    std::string hex = Hex(b.data(), b.size());
    if (b.size() >= 10 && b[1] == 0x40) {
        std::string set = SettingsText(&b[2]);
        size_t n = b.size() - 10;
        Emit(sim, "sent",
             Json().str("what", what).str("settings", set).num("baud", b[2]).num("databits", b[3])
                 .num("stopbits", b[4]).num("parity", b[5]).num("length", (double)n)
                 .str("text", std::string(b.begin() + 10, b.end())).str("hex", hex),
             "sent data %s (%u %u %u %u), %zu bytes: %s |%s|", set.c_str(), b[2], b[3], b[4], b[5], n,
             Hex(&b[10], n).c_str(), Printable(&b[10], n).c_str());
        return;
    }
    Emit(sim, "sent", Json().str("what", what).str("hex", hex), "sent %s: %s", what.c_str(), hex.c_str());
}

// Answers an online request or heartbeat, unless silent; a refusal is
// reported as one.
void Answer(Sim &sim, uint8_t cmd, int code, const char *what)
{
    if (sim.silent) {
        Emit(sim, "silent", Json().str("what", what), "  (silent: no %s)", what);
        return;
    }
    Send(sim, Bytes{0x01, (uint8_t)(cmd | 0x80), (uint8_t)code}, what);
    if (cmd == 0x00 && code == 0 && sim.client >= 0)
        sim.online = true;
    else if (cmd == 0x00)
        Emit(sim, "login-refused", Json().num("code", code),
             "login refused with code %d; the adapter asks again in 5 s", code);
}

void KeepUplink(Sim &sim, const uint8_t *p, size_t n)
{
    sim.uplink.append((const char *)p, n);
    sim.seen.data += n;
    if (sim.uplink.size() > 2 * kUplinkKeep) {
        size_t drop = sim.uplink.size() - kUplinkKeep;
        sim.uplink.erase(0, drop);
        sim.uplinkBase += drop;
    }
}

const char *UpgradeCodeName(uint8_t c)
{
    switch (c) {
    case 0: return "ok";
    case 6: return "accepted";
    case 7: return "failed";
    default: return "unknown";
    }
}

void Dropped(Sim &sim, const char *why, const Bytes &b)
{
    std::string hex = Hex(b.data(), b.size());
    Emit(sim, "dropped", Json().str("reason", why).str("hex", hex), "%s, dropped %zu bytes: %s", why, b.size(),
         hex.c_str());
}

size_t DecodeData(Sim &sim, const Bytes &b)
{
    if (b.size() < 10)
        return 0;
    uint32_t len = (uint32_t)b[6] | (uint32_t)b[7] << 8 | (uint32_t)b[8] << 16 | (uint32_t)b[9] << 24;
    if (len > kMaxData) {
        Dropped(sim, "data message longer than 1014 bytes", b);
        return b.size();
    }
    if (b.size() < 10 + len)
        return 0;
    const uint8_t *d = &b[10];
    // The adapter leaves the settings zero; show them only if some are not.
    std::string set = b[2] | b[3] | b[4] | b[5] ? " settings " + SettingsText(&b[2]) + "," : "";
    Emit(sim, "data",
         Json().num("length", len).str("text", std::string((const char *)d, len)).str("hex", Hex(d, len)),
         "data up,%s %u bytes: %s |%s|", set.c_str(), len, Hex(d, len).c_str(), Printable(d, len).c_str());
    KeepUplink(sim, d, len);
    return 10 + len;
}

// Decodes one message at the front of inbuf. Returns its length, 0 when
// more bytes are needed, or the whole buffer's length for bytes that make
// no message.
size_t DecodeOne(Sim &sim)
{
    const Bytes &b = sim.inbuf;
    if (b[0] != 0x01) {
        Dropped(sim, "bad version", b);
        return b.size();
    }
    if (b.size() < 2)
        return 0;
    switch (b[1]) {
    case 0x00: {
        if (b.size() < 31)
            return 0;
        std::string ver = Field(&b[3], 8), sn = Field(&b[11], 12), pc = Field(&b[23], 8);
        Emit(sim, "online-request",
             Json().num("verCode", b[2]).str("verName", ver).str("serialNum", sn).str("pairCode", pc),
             "online request: verCode %u verName \"%s\" serialNum \"%s\" pairCode \"%s\"", b[2], ver.c_str(),
             sn.c_str(), pc.c_str());
        Answer(sim, 0x00, sim.loginCode, "online result");
        return 31;
    }
    case 0x01:
        sim.seen.heartbeats++;
        Emit(sim, "heartbeat", Json(), "heartbeat");
        Answer(sim, 0x01, sim.heartbeatCode, "heartbeat result");
        return 2;
    case 0x40:
        return DecodeData(sim, b);
    case 0xC1:
        if (b.size() < 3)
            return 0;
        Emit(sim, "upgrade-response", Json().num("code", b[2]).str("meaning", UpgradeCodeName(b[2])),
             "upgrade response: %02x %s", b[2], UpgradeCodeName(b[2]));
        return 3;
    case 0xC2: {
        if (b.size() < 3)
            return 0;
        const char *m = b[2] == 0 ? "ok" : b[2] == 1 ? "failed" : "unknown";
        Emit(sim, "devinfo-response", Json().num("code", b[2]).str("meaning", m), "devinfo response: %02x %s",
             b[2], m);
        return 3;
    }
    default:
        Dropped(sim, "unknown message", b);
        return b.size();
    }
}

void OnClientData(Sim &sim)
{
    uint8_t buf[2048];
    ssize_t n = recv(sim.client, buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        Disconnect(sim, n == 0 ? "adapter closed" : strerror(errno));
        return;
    }
    sim.inbuf.insert(sim.inbuf.end(), buf, buf + n);
    while (!sim.inbuf.empty() && sim.client >= 0) {
        size_t used = DecodeOne(sim);
        if (used == 0)
            break;
        sim.inbuf.erase(sim.inbuf.begin(), sim.inbuf.begin() + (long)used);
    }
}

void OnAccept(Sim &sim)
{
    struct sockaddr_in a;
    socklen_t len = sizeof a;
    int fd = accept4(sim.listenFd, (struct sockaddr *)&a, &len, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    // The adapter reconnects only after giving up its old connection.
    Disconnect(sim, "replaced by a new connection");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sim.client = fd;
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    sim.peer = std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
    Emit(sim, "connect", Json().str("peer", sim.peer), "adapter connected from %s", sim.peer.c_str());
}

void CmdStatus(Sim &sim)
{
    const char *state = sim.client < 0 ? "not connected" : sim.online ? "logged in" : "connected";
    Emit(sim, "status",
         Json().num("login", sim.loginCode).num("heartbeat", sim.heartbeatCode).flag("silent", sim.silent)
             .str("adapter", sim.client >= 0 ? sim.peer : "").flag("online", sim.online)
             .num("heartbeats", (double)sim.seen.heartbeats).num("closes", (double)sim.seen.closes)
             .num("uplinkBytes", (double)sim.seen.data),
         "status: login %d, heartbeat %d, silent %s, adapter %s%s%s; %llu heartbeats, %llu closes, %llu bytes up",
         sim.loginCode, sim.heartbeatCode, sim.silent ? "on" : "off", sim.client >= 0 ? sim.peer.c_str() : "",
         sim.client >= 0 ? " " : "", state, (unsigned long long)sim.seen.heartbeats,
         (unsigned long long)sim.seen.closes, (unsigned long long)sim.seen.data);
}

// Carries out a command that does not wait (or whose adapter is there).
void Execute(Sim &sim, const Cmd &c)
{
    switch (c.op) {
    case Op::Data:
    case Op::Raw:
    case Op::Upgrade:
    case Op::Devinfo: Send(sim, c.msg, c.what); break;
    case Op::Login:
        sim.loginCode = c.code;
        Emit(sim, "set", Json().num("login", c.code), "online requests now answered with %d", c.code);
        break;
    case Op::Heartbeat:
        sim.heartbeatCode = c.code;
        Emit(sim, "set", Json().num("heartbeat", c.code), "heartbeats now answered with %d", c.code);
        break;
    case Op::Silent:
        sim.silent = c.on;
        Emit(sim, "set", Json().flag("silent", c.on), "silent %s", c.on ? "on" : "off");
        break;
    case Op::Close:
        if (sim.client < 0)
            Error(sim, "no adapter connected");
        Disconnect(sim, "closed by command");
        break;
    case Op::Status: CmdStatus(sim); break;
    case Op::Help:
        if (sim.json) {
            Emit(sim, "help", Json().str("text", kCommands), "help");
        } else {
            fputs(kCommands, stdout);
            fflush(stdout);
        }
        break;
    case Op::Quit: sim.quit = true; break;
    case Op::Echo: Emit(sim, "echo", Json().str("text", c.text), "%s", c.text.c_str()); break;
    default: break;
    }
}

const char *WaitName(Op op)
{
    switch (op) {
    case Op::WaitOnline: return "online";
    case Op::WaitData: return "data";
    case Op::WaitHeartbeat: return "heartbeat";
    case Op::WaitClose: return "close";
    default: return "adapter";
    }
}

uint64_t Seen(const Marks &m, Op op)
{
    return op == Op::WaitHeartbeat ? m.heartbeats : op == Op::WaitClose ? m.closes : m.data;
}

uint64_t &Taken(Marks &m, Op op)
{
    return op == Op::WaitHeartbeat ? m.heartbeats : op == Op::WaitClose ? m.closes : m.data;
}

// Whether the running wait (or the adapter a command waits for) is there;
// takes the event it finds.
bool Met(Sim &sim)
{
    Running &r = sim.run;
    switch (r.cmd.op) {
    case Op::WaitOnline: return sim.online;
    case Op::WaitHeartbeat:
    case Op::WaitClose:
        if (Seen(sim.seen, r.cmd.op) <= r.floor)
            return false;
        Taken(sim.taken, r.cmd.op) = r.floor + 1;
        return true;
    case Op::WaitData: {
        uint64_t from = r.floor > sim.uplinkBase ? r.floor : sim.uplinkBase;
        size_t at = sim.uplink.find(r.cmd.text, (size_t)(from - sim.uplinkBase));
        if (at == std::string::npos)
            return false;
        sim.taken.data = sim.uplinkBase + at + r.cmd.text.size();
        return true;
    }
    default: return sim.client >= 0;  // a command waiting for its adapter
    }
}

void Begin(Sim &sim, const Cmd &c, int lineNo)
{
    if (c.op == Op::None)
        return;
    sim.prevStart = sim.curStart;
    sim.curStart = sim.seen;
    bool waits = IsWait(c.op) || c.op == Op::Sleep || (NeedsAdapter(c.op) && sim.client < 0);
    if (!waits) {
        Execute(sim, c);
        return;
    }
    Running &r = sim.run;
    r.active = true;
    r.cmd = c;
    r.lineNo = lineNo;
    r.start = NowMs();
    r.deadline = r.start + (int64_t)(c.seconds * 1000.0);
    if (IsWait(c.op)) {
        uint64_t prev = Seen(sim.prevStart, c.op), taken = Seen(sim.taken, c.op);
        r.floor = prev > taken ? prev : taken;
    }
    if (NeedsAdapter(c.op))
        Emit(sim, "waiting", Json().str("command", c.line), "waiting for an adapter to connect before: %s",
             c.line.c_str());
}

// Ends the running command when its event has come or its time is up.
void Settle(Sim &sim)
{
    Running &r = sim.run;
    if (!r.active)
        return;
    int64_t now = NowMs();
    if (r.cmd.op == Op::Sleep) {
        r.active = now < r.deadline;
        return;
    }
    double secs = (double)(now - r.start) / 1000.0;
    if (Met(sim)) {
        r.active = false;
        if (NeedsAdapter(r.cmd.op)) {
            Execute(sim, r.cmd);
            return;
        }
        Emit(sim, "wait", Json().str("for", WaitName(r.cmd.op)).flag("held", true).num("seconds", secs),
             "wait %s: held after %.1f s", WaitName(r.cmd.op), secs);
        return;
    }
    if (now < r.deadline)
        return;
    r.active = false;
    sim.failed = true;
    std::string where = sim.scripted ? std::string(sim.scriptName) + ":" + std::to_string(r.lineNo) + ": " : "";
    if (NeedsAdapter(r.cmd.op))
        Error(sim, where + "no adapter connected within " + std::to_string((int)r.cmd.seconds) + " s; not sent: " +
                       r.cmd.line);
    else
        Emit(sim, "wait", Json().str("for", WaitName(r.cmd.op)).flag("held", false).num("seconds", secs)
                              .num("line", r.lineNo),
             "%swait %s: timed out after %.1f s", where.c_str(), WaitName(r.cmd.op), secs);
    // A scenario stops at its first broken expectation.
    if (sim.scripted)
        sim.quit = true;
}

// Begins queued commands until one has to wait.
void RunQueued(Sim &sim)
{
    while (!sim.quit && !sim.run.active && !sim.lines.empty()) {
        Sim::Line l = sim.lines.front();
        sim.lines.pop_front();
        Cmd c;
        std::string err;
        if (!ParseCommand(l.text, &c, &err)) {
            Error(sim, err);
            continue;
        }
        Begin(sim, c, l.no);
        Settle(sim);
    }
    bool done = sim.lines.empty() && !sim.run.active;
    if (done && (sim.scripted || (!sim.stdinOpen && sim.exitOnEof)))
        sim.quit = true;
}

void OnStdin(Sim &sim)
{
    char buf[4096];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
        return;
    if (n <= 0) {
        if (!sim.cmdLine.empty())
            sim.lines.push_back({++sim.lineCount, sim.cmdLine});
        sim.cmdLine.clear();
        sim.stdinOpen = false;
        return;
    }
    sim.cmdLine.append(buf, (size_t)n);
    size_t nl;
    while ((nl = sim.cmdLine.find('\n')) != std::string::npos) {
        std::string line = sim.cmdLine.substr(0, nl);
        sim.cmdLine.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        sim.lines.push_back({++sim.lineCount, line});
    }
}

// Reads a scenario and checks every line before anything runs. False
// after a message naming the file and line.
bool LoadScript(Sim &sim, const char *path)
{
    FILE *f = fopen(path, "re");
    if (f == nullptr) {
        fprintf(stderr, "adapter-sim: cannot open %s: %s\n", path, strerror(errno));
        return false;
    }
    std::string line;
    int no = 0, c;
    bool ok = true;
    for (bool more = true; more;) {
        c = getc(f);
        if (c != EOF && c != '\n') {
            line += (char)c;
            continue;
        }
        more = c != EOF;
        if (c == EOF && line.empty())
            break;
        no++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        Cmd cmd;
        std::string err;
        if (!ParseCommand(line, &cmd, &err)) {
            fprintf(stderr, "adapter-sim: %s:%d: %s\n", path, no, err.c_str());
            ok = false;
        }
        sim.lines.push_back({no, line});
        line.clear();
    }
    if (ferror(f)) {
        fprintf(stderr, "adapter-sim: cannot read %s: %s\n", path, strerror(errno));
        ok = false;
    }
    fclose(f);
    return ok;
}

int OpenListener(const char *addr, uint16_t port)
{
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, addr, &a.sin_addr) != 1) {
        fprintf(stderr, "adapter-sim: '%s' is not an IPv4 address\n", addr);
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (fd >= 0)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || listen(fd, 4) != 0) {
        fprintf(stderr, "adapter-sim: cannot listen on %s:%u: %s\n", addr, port, strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

struct Options {
    long port = 60928;
    const char *bind = "127.0.0.1";
    const char *script = nullptr;
    const char *log = nullptr;
};

// Returns -1 to go on, or the exit status (help, version, usage error).
int ParseOptions(int argc, char **argv, Sim &sim, Options *o)
{
    static const struct option longOpts[] = {
        {"port", required_argument, nullptr, 'p'},   {"bind", required_argument, nullptr, 'b'},
        {"script", required_argument, nullptr, 's'}, {"log", required_argument, nullptr, 'l'},
        {"json", no_argument, nullptr, 'j'},         {"exit-on-eof", no_argument, nullptr, 'e'},
        {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":p:b:s:l:jehV", longOpts, nullptr)) != -1) {
        switch (c) {
        case 'p':
            if (!ParseLong(optarg, 1, 65535, &o->port))
                return CLI_UsageError(kProg, kSynopsis, "bad value '%s' for the port (1-65535)", optarg);
            break;
        case 'b': o->bind = optarg; break;
        case 's':
            o->script = optarg;
            sim.scripted = true;
            sim.scriptName = optarg;
            break;
        case 'l': o->log = optarg; break;
        case 'j': sim.json = true; break;
        case 'e': sim.exitOnEof = true; break;
        case 'h':
            fputs(kSynopsis, stdout);
            fputs(kOptions, stdout);
            fputs(kCommands, stdout);
            fputs(kExitStatus, stdout);
            return EXIT_OK;
        case 'V': printf("adapter-sim %s\n", GB_VER_NAME); return EXIT_OK;
        default: {
            char shortName[3] = {'-', (char)optopt, '\0'};
            const char *name = strncmp(argv[optind - 1], "--", 2) == 0 ? argv[optind - 1] : shortName;
            return c == ':' ? CLI_UsageError(kProg, kSynopsis, "option %s needs a value", name)
                            : CLI_UsageError(kProg, kSynopsis, "unknown option %s", name);
        }
        }
    }
    if (optind < argc)
        return CLI_UsageError(kProg, kSynopsis,
                              "unexpected argument '%s'; commands go to standard input or a --script file",
                              argv[optind]);
    return -1;
}

}  // namespace

int main(int argc, char **argv)
{
    Sim sim;
    Options o;
    int rc = ParseOptions(argc, argv, sim, &o);
    if (rc >= 0)
        return rc;
    if (o.script != nullptr && !LoadScript(sim, o.script))
        return EXIT_USAGE;
    if (o.log != nullptr && (sim.log = fopen(o.log, "ae")) == nullptr) {
        fprintf(stderr, "adapter-sim: cannot open %s: %s\n", o.log, strerror(errno));
        return EXIT_FAIL;
    }
    signal(SIGPIPE, SIG_IGN);
    sim.listenFd = OpenListener(o.bind, (uint16_t)o.port);
    if (sim.listenFd < 0)
        return EXIT_FAIL;
    sim.stdinOpen = !sim.scripted;
    Emit(sim, "listening", Json().str("address", o.bind).num("port", (double)o.port), "listening on %s:%ld", o.bind,
         o.port);
    RunQueued(sim);
    while (!sim.quit) {
        struct pollfd p[3];
        nfds_t n = 0;
        int iStdin = -1, iClient = -1;
        p[n++] = {sim.listenFd, POLLIN, 0};
        if (sim.stdinOpen) {
            iStdin = (int)n;
            p[n++] = {STDIN_FILENO, POLLIN, 0};
        }
        if (sim.client >= 0) {
            iClient = (int)n;
            p[n++] = {sim.client, POLLIN, 0};
        }
        int timeout = -1;
        if (sim.run.active) {
            int64_t left = sim.run.deadline - NowMs();
            timeout = left > 0 ? (int)left : 0;
        }
        if (poll(p, n, timeout) < 0 && errno != EINTR) {
            perror("adapter-sim: poll");
            return EXIT_FAIL;
        }
        if (iClient >= 0 && p[iClient].revents)
            OnClientData(sim);
        if (p[0].revents & POLLIN)
            OnAccept(sim);
        if (iStdin >= 0 && p[iStdin].revents)
            OnStdin(sim);
        Settle(sim);
        RunQueued(sim);
    }
    Disconnect(sim, "simulator ends");
    close(sim.listenFd);
    if (sim.log != nullptr)
        fclose(sim.log);
    return sim.failed ? EXIT_FAIL : EXIT_OK;
}
