// Serial port driver. Opens a device blocking, in raw mode, with VMIN 0 and
// VTIME 1 so that every read returns after a tenth of a second of silence:
// that time-out is what ends a gathering read and paces the bridge thread.
// Keeps no state; handles belong to the callers.
#include "serial/uart.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "core/common.h"
#include "core/log.h"

namespace {

struct UartSpeed {
    int32_t baudRate;
    speed_t code;
};

// The rates the driver sets; anything else is refused. The slow three are
// where meters and other slow devices live, and the server's data message
// can ask for them.
constexpr UartSpeed UART_SPEEDS[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

// Shortest time a read that gathers nothing may take.
constexpr int32_t UART_ERROR_PAUSE_MS = 100;

void uartFail(const char *func, int line)
{
    printf("fail in %s, line:%d\r\n", func, line);
}

// 0 with *code set, or -1 when the rate is not supported.
int32_t uartLookupSpeed(int32_t baudRate, speed_t *code)
{
    for (const UartSpeed &s : UART_SPEEDS) {
        if (s.baudRate == baudRate) {
            *code = s.code;
            return 0;
        }
    }
    return -1;
}

int32_t uartSetBaudRate(int32_t fd, int32_t baudRate)
{
    if (fd == -1) {
        uartFail("uartSetBaudRate", 163);
        return -1;
    }
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        uartFail("uartSetBaudRate", 164);
        return -1;
    }
    speed_t code;
    if (uartLookupSpeed(baudRate, &code) != 0) {
        uartFail("uartSetBaudRate", 173);
        return -1;
    }
    // Input only: output is the device's data. The bridge lets it drain
    // before it changes settings, and on a pseudo-terminal "pending output"
    // is what the other end has not read yet.
    tcflush(fd, TCIFLUSH);
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        uartFail("uartSetBaudRate", 178);
        return -1;
    }
    tcflush(fd, TCIFLUSH);
    return 0;
}

// Parity bits by character; 'S' sends no parity bit yet checks input.
void uartApplyParity(struct termios *t, char parity)
{
    switch (parity) {
    case 'N': case 'n':
        t->c_cflag &= ~(tcflag_t)PARENB;
        t->c_iflag &= ~(tcflag_t)INPCK;
        break;
    case 'O': case 'o':
        t->c_cflag |= PARENB | PARODD;
        t->c_iflag |= INPCK;
        break;
    case 'E': case 'e':
        t->c_cflag |= PARENB;
        t->c_cflag &= ~(tcflag_t)PARODD;
        t->c_iflag |= INPCK;
        break;
    case 'S': case 's':
        t->c_cflag &= ~(tcflag_t)(PARENB | CSTOPB);
        t->c_iflag |= INPCK;
        break;
    default:
        printf(COMM_TAG("UART") ":error parity = %c\r\n", parity);
        break;
    }
}

int32_t uartSetDataAndParity(int32_t fd, int32_t dataBits, char parity, int32_t stopBits)
{
    if (fd == -1) {
        uartFail("uartSetDataAndParity", 188);
        return -1;
    }
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        uartFail("uartSetDataAndParity", 189);
        return -1;
    }
    if (uartFrameAttr(&t, dataBits, parity, stopBits) != 0)
        return 1;
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        uartFail("uartSetDataAndParity", 277);
        return -1;
    }
    return 0;
}

}  // namespace

int32_t uartFrameAttr(struct termios *t, int32_t dataBits, char parity, int32_t stopBits)
{
    struct termios n = *t;
    n.c_cflag |= CLOCAL | CREAD;
    // No hang-up on close: a settings change closes and reopens the port,
    // and dropping DTR and RTS in between resets many devices.
    n.c_cflag &= ~(tcflag_t)(CSIZE | HUPCL);
    if (dataBits == 7) {
        n.c_cflag |= CS7;
    } else if (dataBits == 8) {
        n.c_cflag |= CS8;
    } else {
        printf(COMM_TAG("UART") ":error databits = %d\r\n", dataBits);
        return 1;
    }
    uartApplyParity(&n, parity);
    if (stopBits == 1)
        n.c_cflag &= ~(tcflag_t)CSTOPB;
    else if (stopBits == 2)
        n.c_cflag |= CSTOPB;
    else
        printf(COMM_TAG("UART") ":error stop = %d\r\n", stopBits);
    n.c_cflag |= CLOCAL | CREAD;
    n.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ECHOE | ISIG);
    n.c_oflag &= ~(tcflag_t)(OPOST | ONLCR | OCRNL);
    n.c_iflag &= ~(tcflag_t)(INLCR | ICRNL | IXON | IXOFF | IXANY);
    n.c_cc[VTIME] = 1;
    n.c_cc[VMIN] = 0;
    *t = n;
    return 0;
}

int32_t UART_Open(const char *path, int32_t baudRate, int32_t dataBits, char parity, int32_t stopBits)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        // Retried every second while the device is away: the path is the place.
        if (LOG_Failure(path, err)) {
            printf(COMM_TAG("UART") ":uart open %s error \r\n", path);
            LOG_Detail("[UART]: cannot open %s: %s", path, LOG_Reason(err));
        }
        errno = err;
        return -1;
    }
    LOG_Ok(path);
    uartSetBaudRate(fd, baudRate);
    uartSetDataAndParity(fd, dataBits, parity, stopBits);
    return fd;
}

void UART_Close(int32_t *fd)
{
    if (fd != nullptr && *fd != -1) {
        close(*fd);
        *fd = -1;
    }
    puts(COMM_TAG("UART") ":uart close \r");
}

int32_t UART_Read(int32_t fd, uint8_t *buf, int32_t cap)
{
    if (fd == -1)
        return 0;
    const int64_t start = COMM_MonotonicMs();
    int32_t got = 0;
    while (got < cap) {
        ssize_t n = read(fd, buf + got, (size_t)(cap - got));
        if (n > 0) {
            got += (int32_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    // A port that fails or reports end of file at once (hung up, unplugged)
    // must not turn the bridge loop into a spin: pace it like silence.
    int64_t spent = COMM_MonotonicMs() - start;
    if (got == 0 && spent < UART_ERROR_PAUSE_MS)
        poll(nullptr, 0, (int)(UART_ERROR_PAUSE_MS - spent));
    return got;
}

int32_t UART_Write(int32_t fd, const uint8_t *data, int32_t len)
{
    if (fd == -1)
        return 0;
    return (int32_t)write(fd, data, (size_t)len);
}

int32_t UART_WriteAll(int32_t fd, const uint8_t *data, int32_t len, int32_t timeoutMs)
{
    if (fd == -1 || len <= 0)
        return 0;
    const int64_t deadline = COMM_MonotonicMs() + timeoutMs;
    int32_t done = 0;
    while (done < len) {
        // Wait for room first: a port that stays blocked (flow control, no
        // reader on a pty) must not hold the caller beyond the deadline.
        int64_t left = deadline - COMM_MonotonicMs();
        struct pollfd p = {fd, POLLOUT, 0};
        int r = poll(&p, 1, left > 0 ? (int)left : 0);
        if (r < 0 && errno == EINTR && left > 0)
            continue;
        if (r <= 0 || (p.revents & (POLLERR | POLLNVAL)) != 0)
            break;
        ssize_t n = write(fd, data + done, (size_t)(len - done));
        if (n > 0)
            done += (int32_t)n;
        else if (n == 0 || (errno != EINTR && errno != EAGAIN))
            break;
    }
    return done;
}

int32_t UART_IsGone(int32_t fd)
{
    if (fd == -1)
        return 0;
    struct pollfd p = {fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ? 1 : 0;
}

int32_t UART_LineMs(int32_t bytes, int32_t baudRate, int32_t dataBits, char parity, int32_t stopBits)
{
    if (baudRate <= 0 || bytes <= 0)
        return 0;
    // 32-bit arithmetic throughout: a 64-bit division is a library call on
    // 32-bit MIPS. A queue never holds more than this many characters.
    if (bytes > 65536)
        bytes = 65536;
    bool parityBit = parity == 'O' || parity == 'o' || parity == 'E' || parity == 'e';
    int32_t bits = 1 + dataBits + (parityBit ? 1 : 0) + stopBits;
    return (bytes * bits * 1000 + baudRate - 1) / baudRate;
}

int32_t UART_OutQueue(int32_t fd)
{
    int n = 0;
    if (fd == -1 || ioctl(fd, TIOCOUTQ, &n) != 0 || n < 0)
        return 0;
    return n;
}

int32_t UART_ChangeBaudrate(int32_t fd, int32_t baudRate)
{
    if (fd == -1)
        return -1;
    return uartSetBaudRate(fd, baudRate);
}
