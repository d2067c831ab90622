// Serial driver on a pseudo-terminal. A pty keeps speed, PARODD, CSTOPB,
// INPCK, raw mode and VMIN/VTIME but forces CS8 and clears PARENB, so the
// flags the driver asks for are checked on uartFrameAttr, what reaches the
// port on the pty itself.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "serial/uart.h"

namespace {

// A fresh pty pair in the kernel's default (cooked) mode.
struct TestPty {
    int master = -1;
    std::string slave;
    TestPty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        slave = ptsname(master);  // termios ioctls on either side act on the slave
    }
    ~TestPty() { close(master); }
    void send(size_t n, uint8_t fill = 0x55)
    {
        std::vector<uint8_t> b(n, fill);
        size_t off = 0;
        while (off < n) {
            ssize_t w = write(master, b.data() + off, n - off);
            ASSERT_GT(w, 0);
            off += (size_t)w;
        }
    }
};

// Captures what the code under test prints to standard output.
struct Stdout {
    int saved;
    FILE *tmp;
    Stdout()
    {
        fflush(stdout);
        saved = dup(1);
        tmp = tmpfile();
        dup2(fileno(tmp), 1);
    }
    std::string done()
    {
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
        std::string s;
        rewind(tmp);
        char b[512];
        size_t n;
        while ((n = fread(b, 1, sizeof b, tmp)) > 0)
            s.append(b, n);
        fclose(tmp);
        return s;
    }
};

struct termios attrOf(int fd)
{
    struct termios t;
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
}

struct termios base()
{
    struct termios t = {};
    t.c_cflag = CS8 | PARODD | CSTOPB | HUPCL;
    t.c_iflag = ICRNL | IXON;
    t.c_lflag = ICANON | ECHO | ISIG;
    t.c_oflag = OPOST | ONLCR;
    return t;
}

}  // namespace

TEST(UartAttr, ParityLettersDataAndStopBits)
{
    struct Case {
        char parity;
        int bits, stop;
        bool parenb, parodd, inpck, cstopb;
    };
    // base() starts with PARODD and CSTOPB set, so "unchanged" shows.
    const Case cases[] = {
        {'N', 8, 1, false, true, false, false}, {'n', 7, 2, false, true, false, true},
        {'O', 8, 1, true, true, true, false},   {'o', 8, 2, true, true, true, true},
        {'E', 7, 1, true, false, true, false},  {'e', 8, 2, true, false, true, true},
        {'S', 8, 1, false, true, true, false},  {'s', 8, 2, false, true, true, true},
        {'S', 8, 3, false, true, true, false},  {'N', 8, 3, false, true, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(1, c.parity) + " " + std::to_string(c.bits) + " " + std::to_string(c.stop));
        struct termios t = base();
        ASSERT_EQ(uartFrameAttr(&t, c.bits, c.parity, c.stop), 0);
        EXPECT_EQ(t.c_cflag & CSIZE, c.bits == 7 ? (tcflag_t)CS7 : (tcflag_t)CS8);
        EXPECT_EQ((t.c_cflag & PARENB) != 0, c.parenb);
        EXPECT_EQ((t.c_cflag & PARODD) != 0, c.parodd);
        EXPECT_EQ((t.c_iflag & INPCK) != 0, c.inpck);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.cstopb);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), (tcflag_t)(CLOCAL | CREAD));
        EXPECT_FALSE(t.c_cflag & HUPCL);  // DTR and RTS stay up across a reopen
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & (OPOST | ONLCR | OCRNL), 0u);
        EXPECT_EQ(t.c_iflag & (INLCR | ICRNL | IXON | IXOFF | IXANY), 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 1);
    }
}

TEST(UartAttr, BadValuesReportedAndKept)
{
    struct termios t = base();
    t.c_cflag |= PARENB;
    Stdout out;
    EXPECT_EQ(uartFrameAttr(&t, 8, 'X', 3), 0);
    struct termios six = base();
    EXPECT_EQ(uartFrameAttr(&six, 6, 'N', 1), 1);
    std::string log = out.done();
    EXPECT_NE(log.find("\xA1\xBE" "UART\xA1\xBF:error parity = X\r\n"), std::string::npos);
    EXPECT_NE(log.find("\xA1\xBE" "UART\xA1\xBF:error stop = 3\r\n"), std::string::npos);
    EXPECT_NE(log.find("\xA1\xBE" "UART\xA1\xBF:error databits = 6\r\n"), std::string::npos);
    // Parity X keeps parity bits, stop 3 keeps CSTOPB; raw mode still made.
    EXPECT_TRUE(t.c_cflag & PARENB);
    EXPECT_TRUE(t.c_cflag & PARODD);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_lflag & ICANON, 0u);
    // Data bits 6 change nothing at all.
    struct termios b = base();
    EXPECT_EQ(memcmp(&six, &b, sizeof b), 0);
}

TEST(UartPty, OpenAppliesWhatThePtyKeeps)
{
    TestPty pty;
    Stdout out;
    int32_t fd = UART_Open(pty.slave.c_str(), 38400, 8, 'O', 2);
    std::string log = out.done();
    ASSERT_GE(fd, 0);
    struct termios t = attrOf(fd);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B38400);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B38400);
    EXPECT_TRUE(t.c_cflag & PARODD);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_iflag & INPCK);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 1);
    EXPECT_EQ(log.find("fail in uartSetBaudRate"), std::string::npos) << log;

    // 'N', 8, 1 is what a pty takes without complaint.
    Stdout out2;
    UART_Close(&fd);
    fd = UART_Open(pty.slave.c_str(), 9600, 8, 'n', 1);
    log = out2.done();
    EXPECT_EQ(log.find("fail in"), std::string::npos) << log;
    t = attrOf(fd);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B9600);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_iflag & INPCK);
    EXPECT_EQ(UART_ChangeBaudrate(fd, 57600), 0);
    EXPECT_EQ(cfgetospeed(&(t = attrOf(fd))), (speed_t)B57600);
    UART_Close(&fd);
}

// The slow rates of the message format are set like the others, and the
// port no longer hangs up when it is closed for a settings change.
TEST(UartPty, SlowRatesAreSetAndHangUpIsOff)
{
    TestPty pty;
    const struct {
        int32_t rate;
        speed_t code;
    } slow[] = {{1200, B1200}, {2400, B2400}, {4800, B4800}};
    for (const auto &r : slow) {
        Stdout out;
        int32_t fd = UART_Open(pty.slave.c_str(), r.rate, 8, 'N', 1);
        std::string log = out.done();
        ASSERT_GE(fd, 0);
        EXPECT_EQ(log.find("fail in"), std::string::npos) << log;
        struct termios t = attrOf(fd);
        EXPECT_EQ(cfgetispeed(&t), r.code);
        EXPECT_EQ(cfgetospeed(&t), r.code);
        EXPECT_FALSE(t.c_cflag & HUPCL);
        EXPECT_EQ(UART_ChangeBaudrate(fd, 115200), 0);
        EXPECT_EQ(UART_ChangeBaudrate(fd, r.rate), 0);
        EXPECT_EQ(cfgetospeed(&(t = attrOf(fd))), r.code);
        UART_Close(&fd);
    }
}

TEST(UartPty, RefusedRateKeepsSpeedButAppliesTheRest)
{
    TestPty pty;
    int32_t fd = UART_Open(pty.slave.c_str(), 19200, 8, 'N', 1);
    ASSERT_GE(fd, 0);
    UART_Close(&fd);
    for (int32_t rate : {300, 14400, 0}) {
        Stdout out;
        fd = UART_Open(pty.slave.c_str(), rate, 8, 'N', 2);
        std::string log = out.done();
        ASSERT_GE(fd, 0);
        EXPECT_NE(log.find("fail in uartSetBaudRate, line:173\r\n"), std::string::npos);
        struct termios t = attrOf(fd);
        EXPECT_EQ(cfgetospeed(&t), (speed_t)B19200);
        EXPECT_TRUE(t.c_cflag & CSTOPB);
        EXPECT_EQ(UART_ChangeBaudrate(fd, rate), -1);
        UART_Close(&fd);
    }
}

TEST(UartPty, SixDataBitsApplyNothing)
{
    TestPty pty;
    Stdout out;
    int32_t fd = UART_Open(pty.slave.c_str(), 9600, 6, 'N', 1);
    std::string log = out.done();
    ASSERT_GE(fd, 0);
    EXPECT_NE(log.find(":error databits = 6\r\n"), std::string::npos);
    struct termios t = attrOf(fd);
    EXPECT_TRUE(t.c_lflag & ICANON);  // still the kernel's cooked mode
    EXPECT_NE(t.c_cc[VTIME], 1);
    UART_Close(&fd);
}

TEST(UartPty, GatheringRead)
{
    TestPty pty;
    int32_t fd = UART_Open(pty.slave.c_str(), 115200, 8, 'N', 1);
    ASSERT_GE(fd, 0);
    uint8_t buf[2000];

    // Silence ends a read: nothing at all gives 0.
    EXPECT_EQ(UART_Read(fd, buf, 1014), 0);
    // 10 bytes, then a pause: 10.
    pty.send(10);
    EXPECT_EQ(UART_Read(fd, buf, 1014), 10);
    // Capacity ends a read: 2000 bytes give 1014, then the rest.
    pty.send(2000);
    EXPECT_EQ(UART_Read(fd, buf, 1014), 1014);
    EXPECT_EQ(UART_Read(fd, buf, 1014), 986);
    // Bytes arriving in pieces closer than 0.1 s gather into one read.
    std::thread feeder([&] {
        for (int i = 0; i < 5; i++) {
            pty.send(100, (uint8_t)i);
            usleep(30000);
        }
    });
    EXPECT_EQ(UART_Read(fd, buf, 1014), 500);
    feeder.join();
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[499], 4);
    UART_Close(&fd);
}

TEST(UartPty, ClosedHandleAndErrors)
{
    uint8_t buf[8] = {1, 2, 3};
    EXPECT_EQ(UART_Read(-1, buf, sizeof buf), 0);
    EXPECT_EQ(UART_Write(-1, buf, 3), 0);
    EXPECT_EQ(UART_WriteAll(-1, buf, 3, 100), 0);
    EXPECT_EQ(UART_ChangeBaudrate(-1, 9600), -1);
    Stdout out;
    int32_t fd = -1;
    UART_Close(&fd);
    UART_Close(nullptr);
    EXPECT_EQ(UART_Open("/nonexistent/tty", 9600, 8, 'N', 1), -1);
    std::string log = out.done();
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(log, "\xA1\xBE" "UART\xA1\xBF:uart close \r\n"
                   "\xA1\xBE" "UART\xA1\xBF:uart close \r\n"
                   "\xA1\xBE" "UART\xA1\xBF:uart open /nonexistent/tty error \r\n");
}

// A port nobody drains must not hold a writer forever, and a port whose
// other side is gone must not turn the reader into a spin.
TEST(UartPty, BlockedOrDeadPortIsBounded)
{
    TestPty pty;
    int32_t fd = UART_Open(pty.slave.c_str(), 115200, 8, 'N', 1);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> msg(1014, 0xA5);
    int32_t n = 0;
    int calls = 0;
    while ((n = UART_WriteAll(fd, msg.data(), (int32_t)msg.size(), 200)) == (int32_t)msg.size())
        ASSERT_LT(++calls, 10000);
    EXPECT_LT(n, (int32_t)msg.size());
    EXPECT_EQ(UART_Write(fd, msg.data(), 3), 3);  // one write, as asked
    EXPECT_EQ(UART_IsGone(fd), 0);
    EXPECT_EQ(UART_IsGone(-1), 0);

    close(pty.master);
    pty.master = open("/dev/null", O_RDONLY);  // keeps the destructor harmless
    uint8_t buf[16];
    int reads = 0;
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    for (; reads < 3; reads++)
        EXPECT_EQ(UART_Read(fd, buf, sizeof buf), 0);
    clock_gettime(CLOCK_MONOTONIC, &b);
    double ms = (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
    EXPECT_GE(ms, 3 * 90.0);  // lower bound only: each failed read is paced
    EXPECT_EQ(UART_IsGone(fd), 1);
    UART_Close(&fd);
}
