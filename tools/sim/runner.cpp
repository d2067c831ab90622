// adapter-sim's runner: command lines from standard input or a scenario
// run one at a time, in order. A wait, a sleep, or a command that needs an
// adapter before one has connected is the running command and holds the
// ones behind it until its event comes or its time runs out (waits.cpp
// says when a wait is met). A scenario is checked whole before it runs;
// lines from standard input are checked as they arrive: outside a
// terminal a line that is no command ends the run (status 2), on a
// terminal it is reported and dropped, and status, help and quit answer at
// once, ahead of the commands still queued.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/sim/sim.h"

namespace sim {

int64_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

namespace {

constexpr size_t kMaxLine = 64 * 1024;   // bytes of one command line
constexpr size_t kMaxBlock = 1 << 20;    // bytes of one burst block

void CmdStatus(Sim &sim)
{
    const char *state = sim.client < 0 ? "not connected" : sim.online ? "logged in" : "connected";
    std::string as = sim.online ? " as serial=" + sim.loginSerial + " pair=" + sim.loginPair : "";
    Json j;
    j.num("login", sim.loginCode).num("heartbeat", sim.heartbeatCode).flag("silent", sim.silent)
        .str("adapter", sim.client >= 0 ? sim.peer : "").flag("online", sim.online);
    if (sim.online)
        j.str("serial", sim.loginSerial).str("pair", sim.loginPair);
    j.num("heartbeats", (double)sim.seen.heartbeats).num("closes", (double)sim.seen.closes)
        .num("uplinkBytes", (double)sim.seen.data);
    Emit(sim, "status", j,
         "status: login %d, heartbeat %d, silent %s, adapter %s%s%s%s; %llu heartbeats, %llu closes, %llu bytes up",
         sim.loginCode, sim.heartbeatCode, sim.silent ? "on" : "off", sim.client >= 0 ? sim.peer.c_str() : "",
         sim.client >= 0 ? " " : "", state, as.c_str(), (unsigned long long)sim.seen.heartbeats,
         (unsigned long long)sim.seen.closes, (unsigned long long)sim.seen.data);
}

}  // namespace

void Execute(Sim &sim, const Cmd &c)
{
    switch (c.op) {
    case Op::Data:
    case Op::Raw:
    case Op::Upgrade:
    case Op::Devinfo: Send(sim, c.msg, c.what); break;
    case Op::Burst:
        if (SendBytes(sim, c.msg))
            Emit(sim, "sent", Json().str("what", c.what).num("messages", c.count).num("length", (double)c.msg.size()),
                 "sent a burst of %d messages, %zu bytes in one write", c.count, c.msg.size());
        break;
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

namespace {

// The wait's members for its JSON report.
Json WaitJson(const Cmd &c, bool held, double secs)
{
    Json j;
    std::string label = WaitLabel(c);
    j.str("for", label.substr(0, label.find(' '))).flag("held", held).num("seconds", secs);
    if (c.op == Op::WaitUpgrade || c.op == Op::WaitDevinfo)
        j.str("outcome", c.on ? "ok" : "failed");
    if (c.hasSerial)
        j.str("serial", c.serial);
    if (c.hasPair)
        j.str("pair", c.pair);
    return j;
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
    r.floor = WaitFloor(sim);
    if (NeedsAdapter(c.op))
        Emit(sim, "waiting", Json().str("command", Clip(c.line)), "waiting for an adapter to connect before: %s",
             Clip(c.line).c_str());
}

}  // namespace

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
    std::string why;
    Outcome o = WaitOutcome(sim, &why);
    if (o == Outcome::Held) {
        r.active = false;
        if (NeedsAdapter(r.cmd.op)) {
            Execute(sim, r.cmd);
            return;
        }
        Emit(sim, "wait", WaitJson(r.cmd, true, secs), "wait %s: held after %.1f s", WaitLabel(r.cmd).c_str(), secs);
        return;
    }
    if (o == Outcome::Pending && now < r.deadline)
        return;
    r.active = false;
    sim.failed = true;
    std::string where = sim.scripted ? std::string(sim.scriptName) + ":" + std::to_string(r.lineNo) + ": " : "";
    if (NeedsAdapter(r.cmd.op))
        Error(sim, where + "no adapter connected within " + std::to_string((int)r.cmd.seconds) + " s; not sent: " +
                       Clip(r.cmd.line));
    else if (o == Outcome::Broken)
        Emit(sim, "wait", WaitJson(r.cmd, false, secs).num("line", r.lineNo).str("reason", why),
             "%swait %s: failed after %.1f s: %s", where.c_str(), WaitLabel(r.cmd).c_str(), secs, why.c_str());
    else
        Emit(sim, "wait", WaitJson(r.cmd, false, secs).num("line", r.lineNo).str("reason", "timed out"),
             "%swait %s: timed out after %.1f s", where.c_str(), WaitLabel(r.cmd).c_str(), secs);
    // A scenario stops at its first broken expectation.
    if (sim.scripted)
        sim.quit = true;
}

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

void QueueLine(Sim &sim, int no, const std::string &line)
{
    Sim::Line &b = sim.block;
    if (b.no > 0) {
        b.text += "\n" + line;
        // An endless block is cut off and reported as unclosed.
        if (ClosesBlock(line) || b.text.size() > kMaxBlock) {
            sim.lines.push_back(b);
            b = {0, ""};
        }
    } else if (OpensBlock(line)) {
        b = {no, line};
    } else {
        sim.lines.push_back({no, line});
    }
}

void EndOfLines(Sim &sim)
{
    if (sim.block.no > 0)
        sim.lines.push_back(sim.block);
    sim.block = {0, ""};
}

namespace {

// A line from standard input that is no command: dropped on a terminal,
// the end of the run otherwise.
void BadStdinLine(Sim &sim, int no, const std::string &err)
{
    if (sim.interactive) {
        Error(sim, err);
        return;
    }
    Error(sim, "standard input, line " + std::to_string(no) + ": " + err);
    sim.badCommand = true;
    sim.quit = true;
}

// Checks the commands queued from standard input since the queue held
// `from` entries; on a terminal, status, help and quit are carried out at
// once instead.
void CheckStdinLines(Sim &sim, size_t from)
{
    std::deque<Sim::Line> fresh(sim.lines.begin() + (long)from, sim.lines.end());
    sim.lines.resize(from);
    for (const Sim::Line &l : fresh) {
        Cmd c;
        std::string err;
        if (sim.quit)
            return;
        if (!ParseCommand(l.text, &c, &err))
            BadStdinLine(sim, l.no, err);
        else if (sim.interactive && (c.op == Op::Status || c.op == Op::Help || c.op == Op::Quit))
            Execute(sim, c);
        else
            sim.lines.push_back(l);
    }
}

// Queues the whole lines in sim.cmdLine; a line longer than kMaxLine is
// reported, and its rest dropped up to its end.
void TakeStdinLines(Sim &sim)
{
    size_t nl;
    while ((nl = sim.cmdLine.find('\n')) != std::string::npos) {
        std::string line = sim.cmdLine.substr(0, nl);
        sim.cmdLine.erase(0, nl + 1);
        if (sim.skipLine) {
            sim.skipLine = false;
            continue;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        QueueLine(sim, ++sim.lineCount, line);
    }
    if (sim.cmdLine.size() > kMaxLine) {
        if (!sim.skipLine)
            BadStdinLine(sim, ++sim.lineCount, "line longer than " + std::to_string(kMaxLine) + " bytes");
        sim.skipLine = true;
        sim.cmdLine.clear();
    }
}

}  // namespace

void OnStdin(Sim &sim)
{
    char buf[4096];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    size_t from = sim.lines.size();
    if (n <= 0) {
        if (!sim.cmdLine.empty() && !sim.skipLine)
            QueueLine(sim, ++sim.lineCount, sim.cmdLine);
        EndOfLines(sim);
        sim.cmdLine.clear();
        sim.stdinOpen = false;
    } else {
        sim.cmdLine.append(buf, (size_t)n);
        TakeStdinLines(sim);
    }
    CheckStdinLines(sim, from);
}

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
            if (line.size() <= kMaxLine)
                line += (char)c;
            continue;
        }
        more = c != EOF;
        if (c == EOF && line.empty())
            break;
        no++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > kMaxLine) {
            fprintf(stderr, "adapter-sim: %s:%d: line longer than %zu bytes\n", path, no, kMaxLine);
            ok = false;
        } else {
            QueueLine(sim, no, line);
        }
        line.clear();
    }
    EndOfLines(sim);
    for (const Sim::Line &l : sim.lines) {
        Cmd cmd;
        std::string err;
        if (!ParseCommand(l.text, &cmd, &err)) {
            fprintf(stderr, "adapter-sim: %s:%d: %s\n", path, l.no, err.c_str());
            ok = false;
        }
    }
    if (ferror(f)) {
        fprintf(stderr, "adapter-sim: cannot read %s: %s\n", path, strerror(errno));
        ok = false;
    }
    fclose(f);
    return ok;
}

}  // namespace sim
