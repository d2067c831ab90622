// adapter-dev's serial port: opened raw with the settings the options give,
// frames written as one burst each, answers looked for in whatever the port
// delivers (server data may share it). Plain POSIX I/O throughout, so no
// input can make the tool abort.
//
// The port is the tool's alone from open to close: two pushes through one
// port would interleave their chunks into one mixed package. An flock on
// the port keeps out every other adapter-dev (root's too), and TIOCEXCL
// every other open but root's; the exclusive use is given up on close and
// on the signals that end the tool, as a port left exclusive would refuse
// every later open while another program still holds it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "core/common.h"
#include "tools/dev/dev.h"

namespace dev {

namespace {

constexpr int kSilenceMs = 120;  // the adapter's 0.1 s and a margin

volatile sig_atomic_t s_exclusiveFd = -1;

// ioctl, signal and raise are async-signal-safe.
void releaseAndDie(int sig)
{
    if (s_exclusiveFd >= 0)
        ioctl(s_exclusiveFd, TIOCNXCL);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Takes the port for this tool alone; false after a message naming it.
bool lockPort(int fd, const char *path)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            fprintf(stderr, "adapter-dev: %s is in use by another adapter-dev (it holds the port's lock); "
                            "try again once that one has ended\n", path);
        else
            fprintf(stderr, "adapter-dev: cannot lock %s: %s\n", path, strerror(errno));
        return false;
    }
    if (ioctl(fd, TIOCEXCL) == 0) {
        s_exclusiveFd = fd;
        for (int sig : {SIGINT, SIGTERM, SIGHUP})
            signal(sig, releaseAndDie);
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

bool crcOk(const uint8_t *f, size_t covered)
{
    return COMM_Crc16(f + 4, (uint16_t)covered) == COMM_GetLe16(f + 2);
}

}  // namespace

int64_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

bool BaudSupported(int baud)
{
    speed_t code;
    return speedCode(baud, &code);
}

// Opened non-blocking so a line without carrier cannot hold the open, then
// switched back so that writes wait for room.
int OpenPort(const PortSettings &o)
{
    speed_t code;
    if (!speedCode(o.baud, &code)) {
        fprintf(stderr, "adapter-dev: unsupported baud rate %d\n", o.baud);
        return -1;
    }
    int fd = open(o.path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EBUSY) {
        fprintf(stderr, "adapter-dev: %s is in use: another program has it open for itself alone\n", o.path);
        return -1;
    }
    if (fd < 0) {
        fprintf(stderr, "adapter-dev: cannot open %s: %s\n", o.path, strerror(errno));
        return -1;
    }
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        fprintf(stderr, "adapter-dev: %s is not a serial port: %s\n", o.path, strerror(errno));
        close(fd);
        return -1;
    }
    if (!lockPort(fd, o.path)) {
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
        fprintf(stderr, "adapter-dev: warning: %s refused some settings: %s\n", o.path, strerror(errno));
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // Let anything the adapter is still gathering end its burst first.
    usleep(kSilenceMs * 1000);
    tcflush(fd, TCIFLUSH);
    return fd;
}

void ClosePort(int fd)
{
    if (s_exclusiveFd == fd) {
        ioctl(fd, TIOCNXCL);
        s_exclusiveFd = -1;
    }
    close(fd);
}

bool SendFrame(int fd, const uint8_t *f, size_t len)
{
    size_t off = 0;
    while (off < len) {
        ssize_t n = write(fd, f + off, len - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fprintf(stderr, "adapter-dev: write to the port failed: %s\n", n < 0 ? strerror(errno) : "no progress");
            return false;
        }
        off += (size_t)n;
    }
    tcdrain(fd);
    return true;
}

int WaitAnswer(int fd, uint8_t m0, uint8_t m1, size_t len, int timeoutMs, uint8_t *out)
{
    uint8_t got[1024];
    size_t have = 0, scanned = 0;
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        for (; scanned + len <= have; scanned++) {
            const uint8_t *f = got + scanned;
            if (f[0] == m0 && f[1] == m1 && crcOk(f, len - 4)) {
                memcpy(out, f, len);
                return 1;
            }
        }
        // Only the last len-1 bytes can still start a frame.
        if (have > sizeof got / 2) {
            memmove(got, got + scanned, have - scanned);
            have -= scanned;
            scanned = 0;
        }
        int64_t left = deadline - NowMs();
        if (left <= 0)
            return 0;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, (int)left);
        if (r < 0 && errno != EINTR) {
            fprintf(stderr, "adapter-dev: waiting on the port failed: %s\n", strerror(errno));
            return -1;
        }
        if (r <= 0)
            continue;
        ssize_t n = read(fd, got + have, sizeof got - have);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            fprintf(stderr, "adapter-dev: the port closed: %s\n", n < 0 ? strerror(errno) : "end of file");
            return -1;
        }
        have += (size_t)n;
    }
}

}  // namespace dev
