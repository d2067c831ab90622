// adapter-sim's runner: command lines from standard input or a scenario
// run one at a time, in order. A wait, a sleep, or a command that needs an
// adapter before one has connected is the running command and holds the
// ones behind it until its event comes or its time runs out. Waits count
// events (sim.seen) so that one that came after the previous command began
// and that no earlier wait has taken meets the wait.
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
                       Clip(r.cmd.line));
    else
        Emit(sim, "wait", Json().str("for", WaitName(r.cmd.op)).flag("held", false).num("seconds", secs)
                              .num("line", r.lineNo),
             "%swait %s: timed out after %.1f s", where.c_str(), WaitName(r.cmd.op), secs);
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
        if (ClosesBlock(line)) {
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

void OnStdin(Sim &sim)
{
    char buf[4096];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
        return;
    if (n <= 0) {
        if (!sim.cmdLine.empty())
            QueueLine(sim, ++sim.lineCount, sim.cmdLine);
        EndOfLines(sim);
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
        QueueLine(sim, ++sim.lineCount, line);
    }
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
        QueueLine(sim, no, line);
        line.clear();
    }
    EndOfLines(sim);
    bool ok = true;
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
