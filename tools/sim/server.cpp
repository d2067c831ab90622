// adapter-sim's server side: the listening socket and the one adapter's
// connection. Decodes what the adapter sends, message by message from a
// buffer (a receive may hold several, or part of one), answers online
// requests and heartbeats as the operator has chosen, and sends what the
// commands built.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/common.h"
#include "core/globals.h"
#include "tools/sim/sim.h"

namespace sim {

namespace {

// Text field of fixed width: up to its terminator or its width.
std::string Field(const uint8_t *p, size_t width)
{
    size_t n = 0;
    while (n < width && p[n] != 0)
        n++;
    return std::string((const char *)p, n);
}

// Answers an online request or heartbeat, unless silent; a refusal is
// reported as one. True when a 0 went out.
bool Answer(Sim &sim, uint8_t cmd, int code, const char *what)
{
    if (sim.silent) {
        Emit(sim, "silent", Json().str("what", what), "  (silent: no %s)", what);
        return false;
    }
    Bytes result(MSG_RESULT_LEN, 0);
    MSG_SetResp(result.data(), cmd, (uint8_t)code);
    Send(sim, result, what);
    if (cmd == MSG_CMD_ONLINE && code != 0)
        Emit(sim, "login-refused", Json().num("code", code),
             "login refused with code %d; the adapter asks again in 5 s", code);
    return code == 0 && sim.client >= 0;
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
    case MSG_RESULT_OK: return "ok";
    case MSG_RESULT_ACCEPTED: return "accepted";
    case MSG_RESULT_UPGRADE_FAIL: return "failed";
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
    if (b.size() < (size_t)MSG_DATA_HEAD_LEN)
        return 0;
    uint32_t len = COMM_GetLe32(&b[MSG_OFF_DATALEN]);
    if (len > kMaxData) {
        Dropped(sim, "data message longer than 1014 bytes", b);
        return b.size();
    }
    if (b.size() < MSG_DATA_HEAD_LEN + len)
        return 0;
    const uint8_t *d = &b[MSG_DATA_HEAD_LEN];
    const uint8_t *idx = &b[MSG_OFF_SETTINGS];
    // The adapter leaves the settings zero; show them only if some are not.
    std::string set = idx[0] | idx[1] | idx[2] | idx[3] ? " settings " + SettingsText(idx) + "," : "";
    Json j;
    if (!set.empty())
        j.settings(idx);
    Emit(sim, "data", j.num("length", len).str("text", std::string((const char *)d, len)).str("hex", Hex(d, len)),
         "data up,%s %u bytes: %s |%s|", set.c_str(), len, Hex(d, len).c_str(), Printable(d, len).c_str());
    KeepUplink(sim, d, len);
    return MSG_DATA_HEAD_LEN + len;
}

// Decodes one message at the front of inbuf. Returns its length, 0 when
// more bytes are needed, or the whole buffer's length for bytes that make
// no message.
size_t DecodeOne(Sim &sim)
{
    const Bytes &b = sim.inbuf;
    if (b[MSG_OFF_VERSION] != MSG_PROTOCOL_VERSION) {
        Dropped(sim, "bad version", b);
        return b.size();
    }
    if (b.size() < 2)
        return 0;
    switch (b[MSG_OFF_CMD]) {
    case MSG_CMD_ONLINE: {
        if (b.size() < (size_t)MSG_ONLINE_LEN)
            return 0;
        std::string ver = Field(&b[MSG_OFF_VERNAME], MSG_VERNAME_SIZE);
        std::string sn = Field(&b[MSG_OFF_SERIALNUM], GB_SERIALNUM_SIZE);
        std::string pc = Field(&b[MSG_OFF_PAIRCODE], GB_PAIRCODE_SIZE);
        Emit(sim, "online-request",
             Json().num("verCode", b[2]).str("verName", ver).str("serialNum", sn).str("pairCode", pc),
             "online request: verCode %u verName \"%s\" serialNum \"%s\" pairCode \"%s\"", b[2], ver.c_str(),
             sn.c_str(), pc.c_str());
        if (Answer(sim, MSG_CMD_ONLINE, sim.loginCode, "online result"))
            NoteLogin(sim, sn, pc);
        return MSG_ONLINE_LEN;
    }
    case MSG_CMD_HEARTBEAT:
        sim.seen.heartbeats++;
        Emit(sim, "heartbeat", Json(), "heartbeat");
        Answer(sim, MSG_CMD_HEARTBEAT, sim.heartbeatCode, "heartbeat result");
        return MSG_HEARTBEAT_LEN;
    case MSG_CMD_UART_DATA:
        return DecodeData(sim, b);
    case MSG_CMD_UPGRADE | MSG_RESP_FLAG:
        if (b.size() < (size_t)MSG_RESULT_LEN)
            return 0;
        Emit(sim, "upgrade-response", Json().num("code", b[2]).str("meaning", UpgradeCodeName(b[2])),
             "upgrade response: %02x %s", b[2], UpgradeCodeName(b[2]));
        if (b[2] != MSG_RESULT_ACCEPTED)
            NoteResult(sim, Op::WaitUpgrade, b[2]);
        return MSG_RESULT_LEN;
    case MSG_CMD_DEVINFO | MSG_RESP_FLAG: {
        if (b.size() < (size_t)MSG_RESULT_LEN)
            return 0;
        const char *m = b[2] == 0 ? "ok" : b[2] == 1 ? "failed" : "unknown";
        Emit(sim, "devinfo-response", Json().num("code", b[2]).str("meaning", m), "devinfo response: %02x %s",
             b[2], m);
        NoteResult(sim, Op::WaitDevinfo, b[2]);
        return MSG_RESULT_LEN;
    }
    default:
        Dropped(sim, "unknown message", b);
        return b.size();
    }
}

}  // namespace

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

bool SendBytes(Sim &sim, const Bytes &b)
{
    if (sim.client < 0) {
        Error(sim, "no adapter connected");
        return false;
    }
    int64_t gap = sim.lastSend + sim.gapMs - NowMs();
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
    if (!SendBytes(sim, b))
        return;
    // Bytes that make exactly one data message are shown as one.
    if (b.size() >= (size_t)MSG_DATA_HEAD_LEN && b[MSG_OFF_CMD] == MSG_CMD_UART_DATA &&
        b.size() - MSG_DATA_HEAD_LEN == COMM_GetLe32(&b[MSG_OFF_DATALEN])) {
        std::string set = SettingsText(&b[MSG_OFF_SETTINGS]);
        size_t n = b.size() - MSG_DATA_HEAD_LEN;
        const uint8_t *d = &b[MSG_DATA_HEAD_LEN];
        Emit(sim, "sent",
             Json().str("what", what).settings(&b[MSG_OFF_SETTINGS]).num("length", (double)n)
                 .str("text", std::string((const char *)d, n)).str("hex", Hex(d, n)),
             "sent data %s (%u %u %u %u), %zu bytes: %s |%s|", set.c_str(), b[2], b[3], b[4], b[5], n,
             Hex(d, n).c_str(), Printable(d, n).c_str());
        return;
    }
    std::string hex = Hex(b.data(), b.size());
    Emit(sim, "sent", Json().str("what", what).str("hex", hex), "sent %s: %s", what.c_str(), hex.c_str());
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

}  // namespace sim
