// adapter-sim's parts and the state they share. One thread: the entry point
// (tools/adapter_sim.cpp) polls the listening socket, the adapter's
// connection and standard input and hands what arrives to the parts:
//   text.cpp     the text forms: words, quoted text, hex, numbers, settings
//   command.cpp  command lines into commands (Cmd)
//   runner.cpp   the queue of command lines and the running command
//   waits.cpp    the events the waits count, and whether a wait is met
//   server.cpp   the listening socket and the adapter's connection
//   report.cpp   events as time-stamped text lines or JSON objects
// Functions that can fail return bool, false after saying why (in *err, or
// as an error event); what a failed parser was to fill is not to be used.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "link/message.h"

namespace sim {

using Bytes = std::vector<uint8_t>;

constexpr double kDefaultWaitS = 30.0;
constexpr size_t kMaxData = MSG_DATA_MAX;  // data bytes one message carries
constexpr size_t kUplinkKeep = 64 * 1024;  // uplink bytes kept for 'wait data'

extern const char kProg[];

// ---- Commands (command.cpp).

enum class Op {
    None, Data, Raw, Upgrade, Devinfo, Burst, Login, Heartbeat, Silent, Close, Status, Help, Quit,
    WaitOnline, WaitData, WaitHeartbeat, WaitClose, WaitUpgrade, WaitDevinfo, Sleep, Echo
};

struct Cmd {
    Op op = Op::None;
    Bytes msg;            // ready to send (data, raw, upgrade, devinfo, burst)
    int count = 0;        // messages in a burst
    std::string what;     // what msg is, for the log
    std::string text;     // wait data needle, echo text
    int code = 0;         // login / heartbeat answer
    bool on = false;      // silent; wait upgrade|devinfo: ok (else failed)
    bool hasSerial = false, hasPair = false;  // wait online serial= pair=
    std::string serial, pair;
    double seconds = kDefaultWaitS;
    std::string line;     // as written
};

// The command list, for 'help' and --help.
extern const char kCommands[];

// Parses one command line, or a burst block's lines joined by '\n'. False
// with *err for a text that is no command; a blank or comment line gives
// Op::None.
bool ParseCommand(const std::string &line, Cmd *c, std::string *err);
// Whether line opens a burst block ("burst [N] {"), whose lines through a
// line "}" make one command; and whether it is that closing line.
bool OpensBlock(const std::string &line);
bool ClosesBlock(const std::string &line);
// s, cut to its first line and at most 60 bytes (then followed by its
// length): for echoing what was typed in a message.
std::string Clip(const std::string &s);
bool NeedsAdapter(Op op);
bool IsWait(Op op);

// ---- Text forms (text.cpp).

// Indices for a rate and a frame such as "8E1"; false when either is not
// in the tables.
bool SettingsIndices(const std::string &rate, const std::string &frame, uint8_t *idx);
// Whether w is written like a frame ("8E1"), so that settings are meant.
bool LooksLikeFrame(const std::string &w);
// What the four indices stand for; 0 (parity '\0') for an index past its
// table.
struct Settings {
    int baud, bits, stop;
    char parity;
};
Settings SettingsOf(const uint8_t *idx);
// "38400 8E1" for the four indices; a '?' stands for an index past its table.
std::string SettingsText(const uint8_t *idx);
// A number in [lo, hi] (any base strtol takes).
bool ParseLong(const std::string &s, long lo, long hi, long *out);
// Seconds, 0 to 86400, fractions allowed.
bool ParseSeconds(const std::string &s, double *out);
// An even number of hex digits, blanks and colons between them ignored;
// appends the bytes to *out.
bool ParseHex(const std::string &s, Bytes *out);
// The blank-separated words of line.
std::vector<std::string> Words(const std::string &line);
// The text after the first n words of line, blanks inside it kept.
std::string RestAfterWords(const std::string &line, size_t n);
// A double-quoted text with escapes, starting at s[0] == '"'. Sets *used to
// the characters consumed; false for a missing quote or a bad escape.
bool Unquote(const std::string &s, std::string *out, size_t *used);

// ---- State.

// Counts of the events that waits look for; data is a byte offset into the
// stream of uplink data. Upgrade results are the final answers (not 06).
struct Marks {
    uint64_t heartbeats = 0;
    uint64_t closes = 0;
    uint64_t data = 0;
    uint64_t logins = 0;
    uint64_t upgrades = 0;
    uint64_t devinfos = 0;
};

// The codes of the last results of one kind: result number n (counted as
// in Marks) is codes[n - 1 - base] while it is kept.
struct Results {
    std::deque<uint8_t> codes;
    uint64_t base = 0;
};

struct Running {
    bool active = false;
    Cmd cmd;
    int lineNo = 0;
    int64_t start = 0;
    int64_t deadline = 0;
    Marks floor;  // events at or below these counts are not the wait's
};

struct Sim {
    int listenFd = -1;
    int client = -1;
    std::string peer;
    Bytes inbuf;           // bytes from the adapter not yet decoded
    std::string cmdLine;   // partial command line from stdin
    bool stdinOpen = true;
    bool interactive = false;  // commands from a terminal
    bool skipLine = false;     // the rest of an overlong stdin line is dropped
    bool scripted = false;
    const char *scriptName = "";
    bool exitOnEof = false;
    bool quit = false;
    bool failed = false;
    bool badCommand = false;  // a command line was no command: status 2
    bool json = false;
    FILE *log = nullptr;
    int loginCode = 0;
    int heartbeatCode = 0;
    bool silent = false;
    bool online = false;   // the current connection has logged in
    uint64_t loginNo = 0;  // which login that was (seen.logins then)
    std::string loginSerial, loginPair;  // with which identity
    Results upgradeResults, devinfoResults;
    int64_t gapMs = 0;     // least time between two writes (--gap)
    int64_t lastSend = 0;  // when the last write went out
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
    Line block{0, ""};        // a burst block still being read, if no > 0
    int lineCount = 0;        // lines read from standard input so far
    Running run;
};

int64_t NowMs();

// ---- Events (report.cpp).

// One JSON object's members after the common ones, built member by member.
class Json {
public:
    Json &str(const char *k, const std::string &v);
    Json &num(const char *k, double v);
    Json &flag(const char *k, bool v);
    // The settings of four indices: "settings" as text, "baud", "databits",
    // "stopbits" and "parity" as values (null past a table) and the
    // "indices" themselves.
    Json &settings(const uint8_t *idx);
    const std::string &body() const { return s_; }

private:
    void key(const char *k);
    Json &raw(const char *k, const std::string &v);  // v already JSON
    std::string s_;
};

// One event: a time-stamped text line (standard output and --log), or a
// JSON object on standard output with --json.
void Emit(Sim &sim, const char *event, const Json &j, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
void Error(Sim &sim, const std::string &msg);
std::string Hex(const uint8_t *p, size_t n);
std::string Printable(const uint8_t *p, size_t n);

// ---- The adapter's connection (server.cpp).

// Listening socket on addr:port; -1 after a message on standard error.
int OpenListener(const char *addr, uint16_t port);
void OnAccept(Sim &sim);
// Reads what the adapter sent and reports every whole message in it.
void OnClientData(Sim &sim);
// Writes all of b at once, at least gapMs after the previous write; false
// after an error event when no adapter is there or the connection fails.
bool SendBytes(Sim &sim, const Bytes &b);
// SendBytes, then a report of the message b (what names it).
void Send(Sim &sim, const Bytes &b, const std::string &what);
void Disconnect(Sim &sim, const char *why);

// ---- Commands in order (runner.cpp).

// Begins queued commands until one has to wait.
void RunQueued(Sim &sim);
// Carries out a command that does not wait (or whose adapter is there).
void Execute(Sim &sim, const Cmd &c);
// Ends the running command when its event has come or its time is up.
void Settle(Sim &sim);
void OnStdin(Sim &sim);
// Queues one line read as command number no; the lines of a burst block
// are gathered into one command. At the end of the input (eof) a block
// still open is queued as it is, to be reported.
void QueueLine(Sim &sim, int no, const std::string &line);
void EndOfLines(Sim &sim);
// Reads a scenario and checks every line before anything runs. False
// after a message naming the file and line.
bool LoadScript(Sim &sim, const char *path);

// ---- Waits (waits.cpp).

enum class Outcome { Pending, Held, Broken };

// Events a wait beginning now may take: those after the previous command
// began that no earlier wait has taken.
Marks WaitFloor(const Sim &sim);
// Where the running wait (or the command waiting for an adapter) stands;
// a wait that is held takes its event. Broken: the event came with the
// other outcome (or cannot come any more), *why says what came.
Outcome WaitOutcome(Sim &sim, std::string *why);
// The wait as written, after "wait": "upgrade ok", "online serial=SN1".
std::string WaitLabel(const Cmd &c);
// Reported by the server side: an accepted login, a final upgrade result,
// an identity result.
void NoteLogin(Sim &sim, const std::string &serial, const std::string &pair);
void NoteResult(Sim &sim, Op kind, uint8_t code);

}  // namespace sim
