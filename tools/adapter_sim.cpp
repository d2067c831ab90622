// adapter-sim: the server side of the adapter's link protocol, for bench
// work and tests. Listens on one TCP port (loopback by default), serves one
// adapter at a time, answers online requests and heartbeats with results
// the operator chooses, prints every message it receives decoded (one line
// each, time-stamped) and sends data and management requests typed on
// standard input. Single-threaded: one poll() over stdin, the listening
// socket and the adapter's connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const char kUsage[] =
    "usage: adapter-sim [--port N] [--bind ADDR] [--exit-on-eof] [--help]\n"
    "\n"
    "Plays the server for one adapter at a time. Listens on ADDR:N (default\n"
    "127.0.0.1:60928), answers online requests and heartbeats, and prints each\n"
    "message it receives decoded, one time-stamped line each.\n"
    "\n"
    "  --port N        TCP port to listen on (1-65535, default 60928)\n"
    "  --bind ADDR     IPv4 address to listen on (default 127.0.0.1)\n"
    "  --exit-on-eof   end when standard input reaches end of file; without\n"
    "                  it the simulator keeps serving until it is killed or\n"
    "                  told 'quit'\n"
    "  --help          this text\n"
    "\n"
    "Commands on standard input, one per line:\n";

const char kCommands[] =
    "  data B D S P TEXT       send a data message: settings B D S P (baud, data\n"
    "                          bits, stop bits, parity indices) and the bytes of\n"
    "                          TEXT (rest of the line, blanks kept)\n"
    "  datahex B D S P HEX     the same with the bytes in hex (\"41 42 43\" or \"414243\")\n"
    "  raw HEX                 send bytes exactly as given\n"
    "  upgrade HOST USER PASS PATH\n"
    "                          send an upgrade request (FTP host, account, path)\n"
    "  devinfo SN PC           send an identity change (serial number, pairing code)\n"
    "  login ok|refuse N       answer online requests with 0, or with code N\n"
    "  heartbeat ok|refuse N   answer heartbeats with 0, or with code N\n"
    "  silent on|off           stop or resume answering anything\n"
    "  close                   close the adapter's connection\n"
    "  status                  show the answers and the connection\n"
    "  help                    this list\n"
    "  quit                    end the simulator\n";

struct Sim {
    int listenFd = -1;
    int client = -1;
    std::string peer;
    Bytes inbuf;          // bytes from the adapter not yet decoded
    std::string cmdLine;  // partial command line from stdin
    bool stdinOpen = true;
    bool exitOnEof = false;
    bool quit = false;
    int loginCode = 0;
    int heartbeatCode = 0;
    bool silent = false;
};

void Log(const char *fmt, ...)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    printf("%02d:%02d:%02d.%03d ", tm.tm_hour, tm.tm_min, tm.tm_sec, (int)(tv.tv_usec / 1000));
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    putchar('\n');
    fflush(stdout);
}

void Error(const char *fmt, ...)
{
    fputs("error: ", stdout);
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    putchar('\n');
    fflush(stdout);
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

// Text field of fixed width: up to its terminator or its width.
std::string Field(const uint8_t *p, size_t width)
{
    size_t n = 0;
    while (n < width && p[n] != 0)
        n++;
    return std::string((const char *)p, n);
}

bool ParseInt(const std::string &s, long lo, long hi, long *out)
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

void Disconnect(Sim &sim, const char *why)
{
    if (sim.client < 0)
        return;
    close(sim.client);
    sim.client = -1;
    sim.inbuf.clear();
    Log("connection from %s closed (%s)", sim.peer.c_str(), why);
}

bool Send(Sim &sim, const Bytes &b, const char *what)
{
    if (sim.client < 0) {
        Error("no adapter connected; %s not sent", what);
        return false;
    }
    size_t done = 0;
    while (done < b.size()) {
        ssize_t n = send(sim.client, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            Error("send failed: %s", strerror(errno));
            Disconnect(sim, "send failed");
            return false;
        }
        done += (size_t)n;
    }
    Log("sent %s: %s", what, Hex(b.data(), b.size()).c_str());
    return true;
}

void Answer(Sim &sim, uint8_t cmd, int code, const char *what)
{
    if (sim.silent) {
        Log("  (silent: no %s)", what);
        return;
    }
    Send(sim, Bytes{0x01, (uint8_t)(cmd | 0x80), (uint8_t)code}, what);
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

// Decodes one message at the front of inbuf. Returns its length, 0 when
// more bytes are needed, or the whole buffer's length for bytes that make
// no message.
size_t DecodeOne(Sim &sim)
{
    const Bytes &b = sim.inbuf;
    if (b[0] != 0x01) {
        Log("bad version %02x, dropped %zu bytes: %s", b[0], b.size(), Hex(b.data(), b.size()).c_str());
        return b.size();
    }
    if (b.size() < 2)
        return 0;
    uint8_t cmd = b[1];
    switch (cmd) {
    case 0x00:
        if (b.size() < 31)
            return 0;
        Log("online request: verCode %u verName \"%s\" serialNum \"%s\" pairCode \"%s\"", b[2],
            Field(&b[3], 8).c_str(), Field(&b[11], 12).c_str(), Field(&b[23], 8).c_str());
        Answer(sim, 0x00, sim.loginCode, "online result");
        return 31;
    case 0x01:
        Log("heartbeat");
        Answer(sim, 0x01, sim.heartbeatCode, "heartbeat result");
        return 2;
    case 0x40: {
        if (b.size() < 10)
            return 0;
        uint32_t len = (uint32_t)b[6] | (uint32_t)b[7] << 8 | (uint32_t)b[8] << 16 | (uint32_t)b[9] << 24;
        if (len > 1014) {
            Log("data message with length %u (over 1014), dropped %zu bytes", len, b.size());
            return b.size();
        }
        if (b.size() < 10 + len)
            return 0;
        Log("data: settings %u %u %u %u, %u bytes: %s |%s|", b[2], b[3], b[4], b[5], len,
            Hex(&b[10], len).c_str(), Printable(&b[10], len).c_str());
        return 10 + len;
    }
    case 0xC1:
        if (b.size() < 3)
            return 0;
        Log("upgrade response: %02x %s", b[2], UpgradeCodeName(b[2]));
        return 3;
    case 0xC2:
        if (b.size() < 3)
            return 0;
        Log("devinfo response: %02x %s", b[2], b[2] == 0 ? "ok" : b[2] == 1 ? "failed" : "unknown");
        return 3;
    default:
        Log("unknown message, dropped %zu bytes: %s", b.size(), Hex(b.data(), b.size()).c_str());
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
    int fd = accept(sim.listenFd, (struct sockaddr *)&a, &len);
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
    Log("adapter connected from %s", sim.peer.c_str());
}

// Appends a text field of the given width (at most width-1 characters).
bool PutField(Bytes *b, const std::string &v, size_t width, const char *name)
{
    if (v.size() > width - 1) {
        Error("%s is longer than %zu characters", name, width - 1);
        return false;
    }
    Bytes f(width, 0);
    memcpy(f.data(), v.data(), v.size());
    b->insert(b->end(), f.begin(), f.end());
    return true;
}

bool ParseSettings(const std::vector<std::string> &w, Bytes *msg)
{
    for (int i = 1; i <= 4; i++) {
        long v;
        if (!ParseInt(w[i], 0, 255, &v)) {
            Error("setting '%s' is not a number 0-255", w[i].c_str());
            return false;
        }
        msg->push_back((uint8_t)v);
    }
    return true;
}

// The text after the first n words of line, blanks inside it kept.
std::string RestAfterWords(const std::string &line, int n)
{
    size_t i = 0;
    for (int k = 0; k < n; k++) {
        while (i < line.size() && isspace((unsigned char)line[i]))
            i++;
        while (i < line.size() && !isspace((unsigned char)line[i]))
            i++;
    }
    if (i < line.size())
        i++;  // the one blank that separates the text
    return line.substr(i);
}

void CmdData(Sim &sim, const std::vector<std::string> &w, const std::string &line, bool hex)
{
    if (w.size() < 6) {
        Error("usage: %s B D S P %s", w[0].c_str(), hex ? "HEX" : "TEXT");
        return;
    }
    Bytes msg = {0x01, 0x40};
    if (!ParseSettings(w, &msg))
        return;
    std::string rest = RestAfterWords(line, 5);
    Bytes data;
    if (hex) {
        if (!ParseHex(rest, &data)) {
            Error("'%s' is not an even number of hex digits", rest.c_str());
            return;
        }
    } else {
        data.assign(rest.begin(), rest.end());
    }
    if (data.size() > 1014) {
        Error("%zu data bytes; a message carries at most 1014", data.size());
        return;
    }
    uint32_t n = (uint32_t)data.size();
    for (int i = 0; i < 4; i++)
        msg.push_back((uint8_t)(n >> (8 * i)));
    msg.insert(msg.end(), data.begin(), data.end());
    Send(sim, msg, "data message");
}

void CmdUpgrade(Sim &sim, const std::vector<std::string> &w)
{
    if (w.size() != 5) {
        Error("usage: upgrade HOST USER PASS PATH");
        return;
    }
    Bytes msg = {0x01, 0x41};
    if (!PutField(&msg, w[1], 32, "HOST") || !PutField(&msg, w[2], 12, "USER") ||
        !PutField(&msg, w[3], 12, "PASS"))
        return;
    if (w[4].size() > 965) {
        Error("PATH is longer than 965 characters");
        return;
    }
    msg.insert(msg.end(), w[4].begin(), w[4].end());
    msg.push_back(0);
    Send(sim, msg, "upgrade request");
}

void CmdDevinfo(Sim &sim, const std::vector<std::string> &w)
{
    if (w.size() != 3) {
        Error("usage: devinfo SN PC");
        return;
    }
    Bytes msg = {0x01, 0x42};
    if (!PutField(&msg, w[1], 12, "SN") || !PutField(&msg, w[2], 8, "PC"))
        return;
    Send(sim, msg, "identity change");
}

// "ok" or "refuse N" into *code.
bool ParseAnswer(const std::vector<std::string> &w, int *code)
{
    long v;
    if (w.size() == 2 && w[1] == "ok") {
        *code = 0;
        return true;
    }
    if (w.size() == 3 && w[1] == "refuse" && ParseInt(w[2], 1, 255, &v)) {
        *code = (int)v;
        return true;
    }
    Error("usage: %s ok | %s refuse N (N 1-255)", w[0].c_str(), w[0].c_str());
    return false;
}

void CmdStatus(Sim &sim)
{
    Log("status: login %d, heartbeat %d, silent %s, adapter %s", sim.loginCode, sim.heartbeatCode,
        sim.silent ? "on" : "off", sim.client >= 0 ? sim.peer.c_str() : "not connected");
}

void OnCommand(Sim &sim, const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string t; in >> t;)
        w.push_back(t);
    if (w.empty() || w[0][0] == '#')
        return;
    const std::string &c = w[0];
    if (c == "data" || c == "datahex") {
        CmdData(sim, w, line, c == "datahex");
    } else if (c == "raw") {
        Bytes b;
        if (!ParseHex(RestAfterWords(line, 1), &b))
            Error("usage: raw HEX (an even number of hex digits)");
        else
            Send(sim, b, "raw bytes");
    } else if (c == "upgrade") {
        CmdUpgrade(sim, w);
    } else if (c == "devinfo") {
        CmdDevinfo(sim, w);
    } else if (c == "login") {
        if (ParseAnswer(w, &sim.loginCode))
            Log("online requests now answered with %d", sim.loginCode);
    } else if (c == "heartbeat") {
        if (ParseAnswer(w, &sim.heartbeatCode))
            Log("heartbeats now answered with %d", sim.heartbeatCode);
    } else if (c == "silent") {
        if (w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
            sim.silent = w[1] == "on";
            Log("silent %s", w[1].c_str());
        } else {
            Error("usage: silent on|off");
        }
    } else if (c == "close") {
        if (sim.client < 0)
            Error("no adapter connected");
        Disconnect(sim, "closed by command");
    } else if (c == "status") {
        CmdStatus(sim);
    } else if (c == "help") {
        fputs(kCommands, stdout);
        fflush(stdout);
    } else if (c == "quit") {
        sim.quit = true;
    } else {
        Error("unknown command '%s' (try 'help')", c.c_str());
    }
}

void OnStdin(Sim &sim)
{
    char buf[4096];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
        return;
    if (n <= 0) {
        if (!sim.cmdLine.empty())
            OnCommand(sim, sim.cmdLine);
        sim.cmdLine.clear();
        sim.stdinOpen = false;
        if (sim.exitOnEof)
            sim.quit = true;
        return;
    }
    sim.cmdLine.append(buf, (size_t)n);
    size_t nl;
    while ((nl = sim.cmdLine.find('\n')) != std::string::npos) {
        std::string line = sim.cmdLine.substr(0, nl);
        sim.cmdLine.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        OnCommand(sim, line);
        if (sim.quit)
            return;
    }
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
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || listen(fd, 4) != 0) {
        fprintf(stderr, "adapter-sim: cannot listen on %s:%u: %s\n", addr, port, strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char **argv)
{
    Sim sim;
    long port = 60928;
    const char *bindAddr = "127.0.0.1";
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            fputs(kCommands, stdout);
            return 0;
        } else if (a == "--port" && i + 1 < argc) {
            if (!ParseInt(argv[++i], 1, 65535, &port)) {
                fprintf(stderr, "adapter-sim: --port needs a number 1-65535, not '%s'\n", argv[i]);
                return 2;
            }
        } else if (a == "--bind" && i + 1 < argc) {
            bindAddr = argv[++i];
        } else if (a == "--exit-on-eof") {
            sim.exitOnEof = true;
        } else {
            fprintf(stderr, "adapter-sim: unknown or incomplete option '%s' (see --help)\n", a.c_str());
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    sim.listenFd = OpenListener(bindAddr, (uint16_t)port);
    if (sim.listenFd < 0)
        return 1;
    Log("listening on %s:%ld", bindAddr, port);

    while (!sim.quit) {
        struct pollfd p[3];
        int n = 0;
        int iStdin = -1, iClient = -1;
        p[n++] = {sim.listenFd, POLLIN, 0};
        if (sim.stdinOpen) {
            iStdin = n;
            p[n++] = {STDIN_FILENO, POLLIN, 0};
        }
        if (sim.client >= 0) {
            iClient = n;
            p[n++] = {sim.client, POLLIN, 0};
        }
        if (poll(p, (nfds_t)n, -1) < 0) {
            if (errno == EINTR)
                continue;
            perror("adapter-sim: poll");
            return 1;
        }
        if (iClient >= 0 && p[iClient].revents)
            OnClientData(sim);
        if (p[0].revents & POLLIN)
            OnAccept(sim);
        if (iStdin >= 0 && p[iStdin].revents)
            OnStdin(sim);
    }
    Disconnect(sim, "simulator ends");
    close(sim.listenFd);
    return 0;
}
