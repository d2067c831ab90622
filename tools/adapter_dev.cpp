// adapter-dev: the device end of an adapter's serial port. Pushes an
// upgrade package in CRC-protected chunks (resending at whatever offset the
// adapter answers with) and reads or sets the adapter's identity. Works on
// a real serial device or a pseudo-terminal.
//
// The adapter reads its port in bursts that end after 0.1 s of silence, and
// only recognises a frame that starts a burst. So every frame is written as
// one burst, and the next one is sent only after the adapter has answered
// (its answer comes after that silence) or after a time-out.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/common.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kMaxChunk = 998;
constexpr size_t kUpgradeHead = 16;
constexpr size_t kDevInfoLen = 24;
// The adapter waits 0.1 s of silence before it looks at a burst.
constexpr int kSilenceMs = 120;

struct Options {
    std::string port;
    int baud = 115200;
    int bits = 8;
    char parity = 'N';
    int stop = 1;
    int chunk = 512;
    int timeoutMs = 3000;
    int retries = 3;
    std::vector<std::string> args;  // command and its operands
};

void usage(FILE *to)
{
    fprintf(to,
            "usage: adapter-dev --port DEVICE [settings] COMMAND\n"
            "\n"
            "commands:\n"
            "  push FILE [--chunk N]  send an upgrade package, N data bytes per frame\n"
            "                         (1..%d, default 512); the adapter ends itself\n"
            "                         once the package is complete\n"
            "  info                   print the adapter's serial number and pairing code\n"
            "  set-info SN PC         set them (at most 11 and 7 characters; the\n"
            "                         adapter keeps running)\n"
            "\n"
            "settings (they must match the adapter's port; defaults in brackets):\n"
            "  --baud N        bits per second [115200]\n"
            "  --bits 7|8      data bits [8]\n"
            "  --parity N|O|E  parity [N]\n"
            "  --stop 1|2      stop bits [1]\n"
            "  --timeout MS    wait for each answer [3000]\n"
            "  --retries N     resends of an unanswered frame [3]\n",
            kMaxChunk);
}

int64_t nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

bool parseInt(const char *s, int lo, int hi, int *out)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi)
        return false;
    *out = (int)v;
    return true;
}

// false (after a message) for anything the tool cannot use.
bool parseArgs(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            usage(stdout);
            exit(0);
        }
        if (a.rfind("--", 0) != 0) {
            o->args.push_back(a);
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "adapter-dev: %s needs a value\n", a.c_str());
            return false;
        }
        const char *v = argv[++i];
        bool ok = true;
        if (a == "--port")
            o->port = v;
        else if (a == "--baud")
            ok = parseInt(v, 50, 4000000, &o->baud);
        else if (a == "--bits")
            ok = parseInt(v, 7, 8, &o->bits);
        else if (a == "--stop")
            ok = parseInt(v, 1, 2, &o->stop);
        else if (a == "--chunk")
            ok = parseInt(v, 1, kMaxChunk, &o->chunk);
        else if (a == "--timeout")
            ok = parseInt(v, 200, 600000, &o->timeoutMs);
        else if (a == "--retries")
            ok = parseInt(v, 0, 1000, &o->retries);
        else if (a == "--parity") {
            o->parity = (char)toupper((unsigned char)v[0]);
            ok = v[1] == '\0' && (o->parity == 'N' || o->parity == 'O' || o->parity == 'E');
        } else {
            fprintf(stderr, "adapter-dev: unknown option %s\n", a.c_str());
            return false;
        }
        if (!ok) {
            fprintf(stderr, "adapter-dev: bad value for %s: %s\n", a.c_str(), v);
            return false;
        }
    }
    if (o->port.empty()) {
        fprintf(stderr, "adapter-dev: --port is required\n");
        return false;
    }
    return true;
}

bool speedCode(int baud, speed_t *code)
{
    static const struct {
        int baud;
        speed_t code;
    } table[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
                 {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
                 {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto &e : table) {
        if (e.baud == baud) {
            *code = e.code;
            return true;
        }
    }
    return false;
}

// Opens the port raw with the given frame format; -1 after a message.
int openPort(const Options &o)
{
    speed_t code;
    if (!speedCode(o.baud, &code)) {
        fprintf(stderr, "adapter-dev: unsupported baud rate %d\n", o.baud);
        return -1;
    }
    int fd = open(o.port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "adapter-dev: cannot open %s: %s\n", o.port.c_str(), strerror(errno));
        return -1;
    }
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        fprintf(stderr, "adapter-dev: %s is not a serial port: %s\n", o.port.c_str(), strerror(errno));
        close(fd);
        return -1;
    }
    cfmakeraw(&t);
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    t.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= (o.bits == 7 ? CS7 : CS8) | CLOCAL | CREAD;
    if (o.parity != 'N') {
        t.c_cflag |= PARENB | (o.parity == 'O' ? PARODD : 0);
        t.c_iflag |= INPCK;
    }
    if (o.stop == 2)
        t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    // A pseudo-terminal cannot carry a parity bit or 7 data bits and may
    // refuse them; everything else still applies, so only warn.
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        fprintf(stderr, "adapter-dev: warning: %s refused some settings: %s\n", o.port.c_str(), strerror(errno));
    tcflush(fd, TCIOFLUSH);
    return fd;
}

// Writes the frame as one burst; false on a write error.
bool sendFrame(int fd, const Bytes &f)
{
    size_t off = 0;
    while (off < f.size()) {
        ssize_t n = write(fd, f.data() + off, f.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fprintf(stderr, "adapter-dev: write to the port failed: %s\n", strerror(errno));
            return false;
        }
        off += (size_t)n;
    }
    tcdrain(fd);
    return true;
}

bool crcOk(const uint8_t *f, size_t covered)
{
    return COMM_Crc16(f + 4, (uint16_t)covered) == COMM_GetLe16(f + 2);
}

// Reads until a frame of `len` bytes starting with m0 m1 and carrying a good
// CRC over bytes 4..len-1 has arrived (other bytes, such as server data on
// the same port, are skipped), or the time-out ends. 1 found, 0 timeout,
// -1 port error.
int waitAnswer(int fd, uint8_t m0, uint8_t m1, size_t len, int timeoutMs, Bytes *out)
{
    Bytes got;
    int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        for (size_t i = 0; i + len <= got.size(); i++) {
            if (got[i] == m0 && got[i + 1] == m1 && crcOk(&got[i], len - 4)) {
                out->assign(got.begin() + (long)i, got.begin() + (long)(i + len));
                return 1;
            }
        }
        int64_t left = deadline - nowMs();
        if (left <= 0)
            return 0;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, (int)left);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            continue;
        uint8_t buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            fprintf(stderr, "adapter-dev: the port closed: %s\n", n < 0 ? strerror(errno) : "end of file");
            return -1;
        }
        got.insert(got.end(), buf, buf + n);
        // Keep the tail only: a frame can only start in the last len-1 bytes
        // not yet scanned.
        if (got.size() > 4096)
            got.erase(got.begin(), got.end() - (long)len);
    }
}

Bytes upgradeFrame(int32_t total, int32_t offset, const uint8_t *data, int32_t n)
{
    Bytes f(kUpgradeHead + (size_t)n, 0);
    f[0] = 0xAA;
    f[1] = 0xBB;
    COMM_PutLe32(&f[4], (uint32_t)total);
    COMM_PutLe32(&f[8], (uint32_t)offset);
    COMM_PutLe32(&f[12], (uint32_t)n);
    if (n > 0)
        memcpy(&f[kUpgradeHead], data, (size_t)n);
    COMM_PutLe16(&f[2], COMM_Crc16(&f[4], (uint16_t)(12 + n)));
    return f;
}

void progress(bool tty, int64_t done, int64_t total)
{
    if (!tty)
        return;
    const int width = 40;
    int filled = total > 0 ? (int)(done * width / total) : width;
    int pct = total > 0 ? (int)(done * 100 / total) : 100;
    printf("\r[%.*s%.*s] %3d%%  %lld/%lld bytes", filled, "########################################",
           width - filled, "........................................", pct, (long long)done, (long long)total);
    fflush(stdout);
}

int cmdPush(int fd, const Options &o, const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "adapter-dev: cannot read %s\n", path.c_str());
        return 1;
    }
    Bytes pkg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (pkg.size() > 0x7fffffffu) {
        fprintf(stderr, "adapter-dev: %s is too large\n", path.c_str());
        return 1;
    }
    const int32_t total = (int32_t)pkg.size();
    const bool tty = isatty(STDOUT_FILENO) != 0;
    int32_t offset = 0;
    int unanswered = 0, stalled = 0;
    progress(tty, 0, total);
    for (;;) {
        int32_t n = std::min<int32_t>(o.chunk, total - offset);
        if (!sendFrame(fd, upgradeFrame(total, offset, pkg.data() + offset, n)))
            return 1;
        Bytes a;
        int r = waitAnswer(fd, 0xAA, 0xBB, kUpgradeHead, o.timeoutMs, &a);
        if (r < 0)
            return 1;
        if (r == 0) {
            if (++unanswered > o.retries) {
                if (tty)
                    printf("\n");
                fprintf(stderr, "adapter-dev: no answer from the adapter within %d ms (chunk at offset %d); "
                                "check the port and its settings\n", o.timeoutMs, offset);
                return 1;
            }
            continue;  // resend the same chunk
        }
        unanswered = 0;
        int32_t aTotal = (int32_t)COMM_GetLe32(&a[4]);
        int32_t aOffset = (int32_t)COMM_GetLe32(&a[8]);
        if (aTotal != total || aOffset < 0 || aOffset > total) {
            if (tty)
                printf("\n");
            fprintf(stderr, "adapter-dev: wrong answer: the adapter reports %d of %d bytes, sending %d bytes\n",
                    aOffset, aTotal, total);
            return 1;
        }
        stalled = aOffset > offset || aOffset == total ? 0 : stalled + 1;
        if (stalled > o.retries) {
            if (tty)
                printf("\n");
            fprintf(stderr, "adapter-dev: the adapter keeps asking for offset %d; it cannot store the package\n",
                    aOffset);
            return 1;
        }
        offset = aOffset;
        progress(tty, offset, total);
        if (offset == total)
            break;
    }
    if (tty)
        printf("\n");
    printf("delivered %d bytes; the adapter ends itself to install the package\n", total);
    return 0;
}

// Sends an identity frame (empty sn: a query) and prints the answer.
int cmdInfo(int fd, const Options &o, const std::string &sn, const std::string &pc)
{
    Bytes f(kDevInfoLen, 0);
    f[0] = 0xCC;
    f[1] = 0xDD;
    memcpy(&f[4], sn.data(), sn.size());
    memcpy(&f[16], pc.data(), pc.size());
    COMM_PutLe16(&f[2], COMM_Crc16(&f[4], 20));
    Bytes a;
    for (int attempt = 0;; attempt++) {
        if (!sendFrame(fd, f))
            return 1;
        int r = waitAnswer(fd, 0xCC, 0xDD, kDevInfoLen, o.timeoutMs, &a);
        if (r < 0)
            return 1;
        if (r == 1)
            break;
        if (attempt >= o.retries) {
            fprintf(stderr, "adapter-dev: no answer from the adapter within %d ms; check the port and its settings\n",
                    o.timeoutMs);
            return 1;
        }
    }
    std::string gotSn((const char *)&a[4], strnlen((const char *)&a[4], 12));
    std::string gotPc((const char *)&a[16], strnlen((const char *)&a[16], 8));
    printf("serialNum: %s\npairCode: %s\n", gotSn.c_str(), gotPc.c_str());
    if (!sn.empty() && (gotSn != sn || gotPc != pc)) {
        fprintf(stderr, "adapter-dev: the adapter kept its identity; it could not store the new one\n");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!parseArgs(argc, argv, &o) || o.args.empty()) {
        usage(stderr);
        return 2;
    }
    const std::string &cmd = o.args[0];
    size_t want = cmd == "push" ? 2 : cmd == "info" ? 1 : cmd == "set-info" ? 3 : 0;
    if (want == 0 || o.args.size() != want) {
        usage(stderr);
        return 2;
    }
    if (cmd == "set-info" && (o.args[1].empty() || o.args[1].size() > 11 || o.args[2].size() > 7)) {
        fprintf(stderr, "adapter-dev: the serial number takes 1 to 11 characters, the pairing code up to 7\n");
        return 2;
    }
    int fd = openPort(o);
    if (fd < 0)
        return 1;
    // Let anything the adapter is still gathering end its burst first.
    usleep(kSilenceMs * 1000);
    tcflush(fd, TCIFLUSH);
    int rc;
    if (cmd == "push")
        rc = cmdPush(fd, o, o.args[1]);
    else if (cmd == "info")
        rc = cmdInfo(fd, o, "", "");
    else
        rc = cmdInfo(fd, o, o.args[1], o.args[2]);
    close(fd);
    return rc;
}
