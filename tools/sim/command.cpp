// adapter-sim's commands: one line (or one burst block) into one Cmd,
// checked whole before it runs, with the bytes it sends already built.
#include <cctype>
#include <cstring>

#include "core/common.h"
#include "core/globals.h"
#include "tools/cli.h"
#include "tools/sim/sim.h"

namespace sim {

namespace {

constexpr long kMaxBurstCount = 10000;      // copies of a burst's messages
constexpr size_t kMaxBurstBytes = 1 << 20;  // bytes of one burst

// Appends a text field of the given width (at most width-1 bytes).
bool PutField(Bytes *b, const std::string &v, size_t width, const char *name, std::string *err)
{
    if (v.size() > width - 1) {
        *err = std::string(name) + " is " + std::to_string(v.size()) + " bytes, at most " + std::to_string(width - 1);
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
            *err = "'" + Clip(w[1]) + "' is no rate of the table (see help); " + form;
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
                *err = "setting '" + Clip(w[(size_t)i + 1]) + "' is neither an index 0-255 nor a rate and frame; " + form;
                return false;
            }
            idx[i] = (uint8_t)v;
        }
        words = 5;
    }
    std::string rest = RestAfterWords(line, words);
    Bytes data;
    if (hex && !ParseHex(rest, &data)) {
        *err = "'" + Clip(rest) + "' is not an even number of hex digits";
        return false;
    }
    if (!hex)
        data.assign(rest.begin(), rest.end());
    if (data.size() > kMaxData) {
        *err = std::to_string(data.size()) + " data bytes; a message carries at most " + std::to_string(kMaxData);
        return false;
    }
    c->msg.assign(MSG_DATA_HEAD_LEN, 0);
    MSG_SetHead(c->msg.data(), MSG_CMD_UART_DATA);
    memcpy(&c->msg[MSG_OFF_SETTINGS], idx, sizeof idx);
    COMM_PutLe32(&c->msg[MSG_OFF_DATALEN], (uint32_t)data.size());
    c->msg.insert(c->msg.end(), data.begin(), data.end());
    c->op = Op::Data;
    c->what = "data message";
    return true;
}

// "wait online [serial=SN] [pair=PC] [S]" into c; the identity as words
// "serial=..." and "pair=..." (an identity value holds no '=').
bool ParseWaitOnline(const std::vector<std::string> &w, Cmd *c, std::string *err)
{
    size_t i = 2;
    for (; i < w.size() && w[i].find('=') != std::string::npos; i++) {
        std::string key = w[i].substr(0, w[i].find('=')), value = w[i].substr(w[i].find('=') + 1);
        bool serial = key == "serial", pair = key == "pair";
        if ((!serial && !pair) || (serial ? c->hasSerial : c->hasPair) || value.find('=') != std::string::npos) {
            *err = "'" + Clip(w[i]) + "' is not serial=SN or pair=PC (each once); usage: wait online "
                   "[serial=SN] [pair=PC] [SECONDS]";
            return false;
        }
        (serial ? c->hasSerial : c->hasPair) = true;
        (serial ? c->serial : c->pair) = value;
    }
    if (w.size() > i + 1 || (w.size() == i + 1 && !ParseSeconds(w[i], &c->seconds))) {
        *err = "'" + Clip(w.back()) + "' is not a number of seconds; usage: wait online [serial=SN] [pair=PC] [SECONDS]";
        return false;
    }
    c->op = Op::WaitOnline;
    return true;
}

// "wait data TEXT [S]": one word, or a quoted text with escapes.
bool ParseWaitData(const std::vector<std::string> &w, const std::string &line, Cmd *c, std::string *err)
{
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
            *err = "unterminated quote or bad escape in " + Clip(rest);
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
}

// "wait KIND ..." into c.
bool ParseWait(const std::vector<std::string> &w, const std::string &line, Cmd *c, std::string *err)
{
    const char *form = "usage: wait online [serial=SN] [pair=PC] [S] | wait heartbeat|close [S] | "
                       "wait data TEXT [S] | wait upgrade|devinfo ok|failed [S]";
    if (w.size() < 2) {
        *err = form;
        return false;
    }
    if (w[1] == "online")
        return ParseWaitOnline(w, c, err);
    if (w[1] == "data")
        return ParseWaitData(w, line, c, err);
    size_t secsAt = 2;
    if (w[1] == "heartbeat") {
        c->op = Op::WaitHeartbeat;
    } else if (w[1] == "close") {
        c->op = Op::WaitClose;
    } else if (w[1] == "upgrade" || w[1] == "devinfo") {
        c->op = w[1] == "upgrade" ? Op::WaitUpgrade : Op::WaitDevinfo;
        if (w.size() < 3 || (w[2] != "ok" && w[2] != "failed")) {
            *err = "wait " + w[1] + " needs the outcome to wait for, ok or failed; " + form;
            return false;
        }
        c->on = w[2] == "ok";
        secsAt = 3;
    } else {
        *err = "unknown wait '" + Clip(w[1]) + "'; " + form;
        return false;
    }
    if (w.size() > secsAt + 1 || (w.size() == secsAt + 1 && !ParseSeconds(w[secsAt], &c->seconds))) {
        *err = "'" + Clip(w.back()) + "' is not a number of seconds; " + form;
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
    c->msg.assign(MSG_OFF_UPG_URL, 0);
    MSG_SetHead(c->msg.data(), MSG_CMD_UPGRADE);
    if (!PutField(&c->msg, w[1], MSG_UPG_URL_SIZE, "HOST", err) ||
        !PutField(&c->msg, w[2], MSG_UPG_USER_SIZE, "USER", err) ||
        !PutField(&c->msg, w[3], MSG_UPG_PASS_SIZE, "PASS", err))
        return false;
    // The path and its terminator fill the rest of one message at most.
    const size_t maxPath = MSG_MAX_LEN - MSG_OFF_UPG_PATH - 1;
    if (w[4].size() > maxPath) {
        *err = "PATH is " + std::to_string(w[4].size()) + " bytes, at most " + std::to_string(maxPath);
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
    // Refused before sending, as the adapter would refuse it: a value its
    // identity file cannot keep (send one with raw to see it refused).
    for (int i = 1; i <= 2; i++) {
        std::string why = CLI_IdentityError(w[(size_t)i].c_str(), i == 1);
        if (!why.empty()) {
            *err = "devinfo: " + why;
            return false;
        }
    }
    c->msg.assign(MSG_OFF_DEV_SERIALNUM, 0);
    MSG_SetHead(c->msg.data(), MSG_CMD_DEVINFO);
    if (!PutField(&c->msg, w[1], GB_SERIALNUM_SIZE, "SN", err) || !PutField(&c->msg, w[2], GB_PAIRCODE_SIZE, "PC", err))
        return false;
    c->op = Op::Devinfo;
    c->what = "identity change";
    return true;
}

bool IsMessage(Op op)
{
    return op == Op::Data || op == Op::Raw || op == Op::Upgrade || op == Op::Devinfo;
}

// The message commands of a burst, one a part, into one run of bytes.
bool JoinMessages(const std::vector<std::string> &parts, Bytes *out, int *count, std::string *err)
{
    for (const std::string &part : parts) {
        Cmd m;
        if (!ParseCommand(part, &m, err)) {
            *err = "in burst: " + *err;
            return false;
        }
        if (m.op == Op::None)
            continue;
        if (!IsMessage(m.op)) {
            *err = "a burst holds only data, datahex, raw, upgrade and devinfo, not: " + Clip(part);
            return false;
        }
        out->insert(out->end(), m.msg.begin(), m.msg.end());
        (*count)++;
    }
    if (*count == 0)
        *err = "a burst needs at least one message";
    return *count > 0;
}

// "burst [N] COMMAND", or a block: "burst [N] {", its lines, "}".
bool ParseBurst(const std::string &text, Cmd *c, std::string *err)
{
    const char *form = "usage: burst [N] COMMAND | burst [N] { ... } (N 1-10000)";
    std::vector<std::string> lines;
    for (size_t at = 0;;) {
        size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end == std::string::npos ? end : end - at));
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    std::vector<std::string> w = Words(lines[0]);
    long copies = 1;
    size_t skip = 1;
    if (w.size() >= 2 && isdigit((unsigned char)w[1][0])) {
        if (!ParseLong(w[1], 1, kMaxBurstCount, &copies)) {
            *err = form;
            return false;
        }
        skip = 2;
    }
    std::vector<std::string> parts;
    if (OpensBlock(lines[0])) {
        if (lines.size() < 2 || !ClosesBlock(lines.back())) {
            *err = "the burst block has no closing '}' line (within 1 MiB)";
            return false;
        }
        parts.assign(lines.begin() + 1, lines.end() - 1);
    } else if (w.size() > skip && lines.size() == 1) {
        parts.push_back(RestAfterWords(lines[0], skip));
    } else {
        *err = form;
        return false;
    }
    Bytes one;
    int count = 0;
    if (!JoinMessages(parts, &one, &count, err))
        return false;
    if (one.size() * (size_t)copies > kMaxBurstBytes) {
        *err = "the burst is " + std::to_string(one.size() * (size_t)copies) + " bytes; at most " +
               std::to_string(kMaxBurstBytes) + " go in one";
        return false;
    }
    for (long i = 0; i < copies; i++)
        c->msg.insert(c->msg.end(), one.begin(), one.end());
    c->count = count * (int)copies;
    c->op = Op::Burst;
    c->what = "burst";
    return true;
}

}  // namespace

bool OpensBlock(const std::string &line)
{
    std::vector<std::string> w = Words(line);
    return (w.size() == 2 || w.size() == 3) && w[0] == "burst" && w.back() == "{";
}

bool ClosesBlock(const std::string &line)
{
    std::vector<std::string> w = Words(line);
    return w.size() == 1 && w[0] == "}";
}

std::string Clip(const std::string &s)
{
    const size_t kKeep = 60;
    size_t n = s.find('\n');
    if (n == std::string::npos && s.size() <= kKeep)
        return s;
    n = n < kKeep ? n : kKeep;
    while (n > 0 && n < s.size() && ((unsigned char)s[n] & 0xC0) == 0x80)
        n--;  // not inside a UTF-8 sequence
    return s.substr(0, n) + "... (" + std::to_string(s.size()) + " bytes)";
}

bool NeedsAdapter(Op op)
{
    return IsMessage(op) || op == Op::Burst || op == Op::Close;
}

bool IsWait(Op op)
{
    return op == Op::WaitOnline || op == Op::WaitData || op == Op::WaitHeartbeat || op == Op::WaitClose ||
           op == Op::WaitUpgrade || op == Op::WaitDevinfo;
}

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
    if (k == "burst")
        return ParseBurst(line, c, err);
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
    *err = "unknown command '" + Clip(k) + "' (try 'help')";
    return false;
}

}  // namespace sim
