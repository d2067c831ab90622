// adapter-sim's waits: what they look for and whether the running one is
// met. Every event a wait can take is counted (sim.seen); a wait owns the
// events after its floor, so one that came after the previous command
// began, and that no earlier wait has taken, is not missed. Waits for a
// result fail at once when the result is the other one, or when the
// connection closes before any result: then none will come.
#include "tools/sim/sim.h"

namespace sim {

namespace {

constexpr size_t kResultsKept = 64;

uint64_t Max(uint64_t a, uint64_t b) { return a > b ? a : b; }

// The first result of a kind after floor; false when none has come (or it
// is no longer kept, which only a flood of results can cause).
bool FirstResult(const Results &r, uint64_t floor, uint64_t *no, uint8_t *code)
{
    uint64_t n = Max(floor, r.base) + 1;
    if (n - 1 - r.base >= r.codes.size())
        return false;
    *no = n;
    *code = r.codes[(size_t)(n - 1 - r.base)];
    return true;
}

// Counted events: met by the first one after the floor.
Outcome Counted(uint64_t seen, uint64_t floor, uint64_t *taken)
{
    if (seen <= floor)
        return Outcome::Pending;
    *taken = floor + 1;
    return Outcome::Held;
}

Outcome Online(Sim &sim, const Running &r, std::string *why)
{
    if (!sim.online)
        return Outcome::Pending;
    const Cmd &c = r.cmd;
    if ((!c.hasSerial || c.serial == sim.loginSerial) && (!c.hasPair || c.pair == sim.loginPair)) {
        sim.taken.logins = Max(sim.taken.logins, sim.loginNo);
        return Outcome::Held;
    }
    // A login from before the previous command (the adapter before an
    // identity change) is not the one awaited: wait for the next.
    if (sim.loginNo <= r.floor.logins)
        return Outcome::Pending;
    *why = "the adapter logged in as serial=" + sim.loginSerial + " pair=" + sim.loginPair;
    return Outcome::Broken;
}

// wait upgrade|devinfo ok|failed.
Outcome Result(Sim &sim, const Running &r, std::string *why)
{
    bool upgrade = r.cmd.op == Op::WaitUpgrade;
    const Results &results = upgrade ? sim.upgradeResults : sim.devinfoResults;
    uint64_t no;
    uint8_t code;
    if (!FirstResult(results, upgrade ? r.floor.upgrades : r.floor.devinfos, &no, &code)) {
        if (sim.seen.closes <= r.floor.closes)
            return Outcome::Pending;
        *why = std::string("the connection closed before the ") + (upgrade ? "upgrade" : "identity") + " result";
        return Outcome::Broken;
    }
    (upgrade ? sim.taken.upgrades : sim.taken.devinfos) = no;
    if ((code == MSG_RESULT_OK) == r.cmd.on)
        return Outcome::Held;
    char text[48];
    snprintf(text, sizeof text, "%s response %02x %s", upgrade ? "upgrade" : "devinfo", code,
             code == MSG_RESULT_OK ? "ok" : "failed");
    *why = text;
    return Outcome::Broken;
}

}  // namespace

Marks WaitFloor(const Sim &sim)
{
    const Marks &p = sim.prevStart, &t = sim.taken;
    Marks f;
    f.heartbeats = Max(p.heartbeats, t.heartbeats);
    f.closes = Max(p.closes, t.closes);
    f.data = Max(p.data, t.data);
    f.logins = Max(p.logins, t.logins);
    f.upgrades = Max(p.upgrades, t.upgrades);
    f.devinfos = Max(p.devinfos, t.devinfos);
    return f;
}

Outcome WaitOutcome(Sim &sim, std::string *why)
{
    Running &r = sim.run;
    switch (r.cmd.op) {
    case Op::WaitOnline: return Online(sim, r, why);
    case Op::WaitHeartbeat: return Counted(sim.seen.heartbeats, r.floor.heartbeats, &sim.taken.heartbeats);
    case Op::WaitClose: return Counted(sim.seen.closes, r.floor.closes, &sim.taken.closes);
    case Op::WaitUpgrade:
    case Op::WaitDevinfo: return Result(sim, r, why);
    case Op::WaitData: {
        uint64_t from = Max(r.floor.data, sim.uplinkBase);
        size_t at = sim.uplink.find(r.cmd.text, (size_t)(from - sim.uplinkBase));
        if (at == std::string::npos)
            return Outcome::Pending;
        sim.taken.data = sim.uplinkBase + at + r.cmd.text.size();
        return Outcome::Held;
    }
    default: return sim.client >= 0 ? Outcome::Held : Outcome::Pending;  // waiting for its adapter
    }
}

std::string WaitLabel(const Cmd &c)
{
    switch (c.op) {
    case Op::WaitOnline:
        return std::string("online") + (c.hasSerial ? " serial=" + c.serial : "") + (c.hasPair ? " pair=" + c.pair : "");
    case Op::WaitData: return "data";
    case Op::WaitHeartbeat: return "heartbeat";
    case Op::WaitClose: return "close";
    case Op::WaitUpgrade: return c.on ? "upgrade ok" : "upgrade failed";
    case Op::WaitDevinfo: return c.on ? "devinfo ok" : "devinfo failed";
    default: return "adapter";
    }
}

void NoteLogin(Sim &sim, const std::string &serial, const std::string &pair)
{
    sim.online = true;
    sim.loginNo = ++sim.seen.logins;
    sim.loginSerial = serial;
    sim.loginPair = pair;
}

void NoteResult(Sim &sim, Op kind, uint8_t code)
{
    Results &r = kind == Op::WaitUpgrade ? sim.upgradeResults : sim.devinfoResults;
    (kind == Op::WaitUpgrade ? sim.seen.upgrades : sim.seen.devinfos)++;
    r.codes.push_back(code);
    if (r.codes.size() > kResultsKept) {
        r.codes.pop_front();
        r.base++;
    }
}

}  // namespace sim
