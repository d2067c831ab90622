// Serial bridge thread in-process: the test plays the link thread (calls
// UART_WriteData) and the server side of the data callback, and a pty
// stands in for the user serial port. Each TEST runs in its own process,
// so the module's statics and g_gbVar start fresh.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/common.h"
#include "core/endpoints.h"
#include "core/globals.h"
#include "link/tcpThread.h"
#include "serial/uartThread.h"
#include "tests/support/harness.h"

namespace {

using th::Bytes;

// Uplink messages are the integration tests' business; here they are only
// swallowed, or held up on request to keep the serial thread busy.
std::atomic<bool> s_holdUplink{false};
std::atomic<bool> s_inUplink{false};
int32_t Uplink(const uint8_t *, int32_t)
{
    s_inUplink = true;
    while (s_holdUplink.load())
        usleep(1000);
    s_inUplink = false;
    return 0;
}

const DataCallback s_uplink = Uplink;

// Offers a message as the link thread does: again once there is room.
void Offer(const Bytes &m)
{
    while (UART_WriteData(m.data(), (int32_t)m.size()) != 0) {
        struct pollfd p = {GB_RoomFd(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        uint64_t n;
        ASSERT_EQ(read(GB_RoomFd(), &n, sizeof n), (ssize_t)sizeof n);
    }
}

// Runs the bridge thread on a pty linked as the serial port; its log goes
// to a file so tests can count lines.
class SerialThread : public ::testing::Test {
protected:
    th::Sandbox sb;
    th::Pty pty;
    pthread_t thd{};
    bool running = false;
    int savedOut = -1;
    std::string logPath;

    void SetUp() override
    {
        logPath = sb.path("/log.txt");
        fflush(stdout);
        savedOut = dup(1);
        int lf = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(lf, 1);
        close(lf);
        setvbuf(stdout, nullptr, _IOLBF, 0);
        ASSERT_EQ(EP_SetRoot(sb.root().c_str()), 0);
    }
    void TearDown() override
    {
        stop();
        fflush(stdout);
        dup2(savedOut, 1);
        close(savedOut);
    }
    void start(bool linkPort = true)
    {
        if (linkPort)
            pty.linkAs(sb, "/dev/ttyS0");
        ASSERT_EQ(pthread_create(&thd, nullptr, UART_Thread, const_cast<DataCallback *>(&s_uplink)), 0);
        running = true;
        ASSERT_TRUE(waitLog("[UART]:enter uart thread...\r\n", 2000));
    }
    void stop()
    {
        if (!running)
            return;
        GB_SetEvent(GB_EVENT_EXIT);
        pthread_join(thd, nullptr);
        running = false;
    }
    std::string log()
    {
        fflush(stdout);
        return sb.readFile("/log.txt");
    }
    size_t count(const std::string &needle)
    {
        std::string l = log();
        size_t n = 0;
        for (size_t p = l.find(needle); p != std::string::npos; p = l.find(needle, p + 1))
            n++;
        return n;
    }
    bool waitLog(const std::string &needle, int ms, size_t times = 1)
    {
        int64_t end = th::NowMs() + ms;
        while (th::NowMs() < end) {
            if (count(needle) >= times)
                return true;
            usleep(10000);
        }
        return false;
    }
    // Settings of the port as the daemon's open left them.
    struct termios portAttr()
    {
        struct termios t = {};
        int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
        EXPECT_EQ(tcgetattr(fd, &t), 0);
        close(fd);
        return t;
    }
};

}  // namespace

// Data that comes while a reopen is pending is held and written after it,
// in order, each message with its own settings; indices beyond the tables
// open the port with the default entries.
TEST_F(SerialThread, PendingDataHeldInOrderAndIndicesBeyondTables)
{
    start();
    // The serial thread is held up handing a burst over, so the reopen is
    // still pending when the next messages come.
    s_holdUplink = true;
    // Sent again until it is read: opening the port discards what came
    // before, and under emulation the open can come late.
    int64_t deadline = th::NowMs() + 10000;
    for (int64_t next = 0; !s_inUplink.load() && th::NowMs() < deadline; usleep(1000)) {
        if (th::NowMs() >= next) {
            pty.write(th::B("u"));
            next = th::NowMs() + 500;
        }
    }
    ASSERT_TRUE(s_inUplink.load());
    Bytes m = th::DataMsg(5, 1, 0, 2, th::B("held"));
    EXPECT_EQ(UART_WriteData(m.data(), (int32_t)m.size()), 0);
    Bytes again = th::DataMsg(5, 1, 0, 2, th::B("then"));
    EXPECT_EQ(UART_WriteData(again.data(), (int32_t)again.size()), 0);
    Bytes back = th::DataMsg(7, 1, 0, 0, th::B("back"));
    EXPECT_EQ(UART_WriteData(back.data(), (int32_t)back.size()), 0);
    EXPECT_TRUE(GB_TestEvent(GB_EVENT_UART_CONFIG));
    s_holdUplink = false;
    EXPECT_EQ(th::Hex(pty.readQuiet(300, 2000)), th::Hex(th::B("heldthenback")));
    ASSERT_TRUE(waitLog("[UART]:uart write:4, [", 1000, 2));
    EXPECT_EQ(count("[UART]:write to uart 4 \r\n"), 1u);
    EXPECT_EQ(count("[UART]:uartOpen1 fd: "), 2u);
    EXPECT_FALSE(GB_TestEvent(GB_EVENT_UART_CONFIG));

    Bytes odd = th::DataMsg(9, 3, 7, 4, th::B("x"));
    UART_WriteData(odd.data(), (int32_t)odd.size());
    EXPECT_EQ(th::Hex(pty.read(1, 1000)), "78");
    struct termios t = portAttr();
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B115200);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_iflag & INPCK);
    // The same odd indices again: no reopen, written at once.
    UART_WriteData(odd.data(), (int32_t)odd.size());
    EXPECT_EQ(th::Hex(pty.read(1, 1000)), "78");
    EXPECT_EQ(count("[UART]:write to uart 1 \r\n"), 1u);
}

TEST_F(SerialThread, DownlinkLengthsBoundedByTheMessage)
{
    start();
    usleep(200000);
    // dataLen beyond what arrived: only the received bytes are written.
    Bytes m = th::DataMsg(7, 1, 0, 0, th::B("abc"));
    COMM_PutLe32(&m[6], 1000000);
    UART_WriteData(m.data(), (int32_t)m.size());
    EXPECT_EQ(th::Hex(pty.readQuiet(200, 1000)), th::Hex(th::B("abc")));
    // A message cut inside its header writes nothing.
    Bytes cut = th::DataMsg(7, 1, 0, 0, th::B("zz"));
    UART_WriteData(cut.data(), 7);
    UART_WriteData(cut.data(), -5);
    // More than 1014 data bytes: cut to 1014.
    Bytes huge = th::DataMsg(7, 1, 0, 0, Bytes(1100, 0x61));
    UART_WriteData(huge.data(), (int32_t)huge.size());
    EXPECT_EQ(pty.readQuiet(200, 2000).size(), 1014u);
}

// Settings changes racing with the serial thread's reopen: the port ends
// with the latest settings, and every message is written once, in order.
// A full hold turns a message away until it signals room.
TEST_F(SerialThread, ConcurrentChangesEndWithLatestSettings)
{
    start();
    usleep(200000);
    std::atomic<bool> done{false};
    Bytes got;
    std::thread reader([&] {
        while (!done.load()) {
            Bytes b = pty.read(4096, 50);
            got.insert(got.end(), b.begin(), b.end());
        }
        Bytes b = pty.readQuiet(300, 2000);
        got.insert(got.end(), b.begin(), b.end());
    });
    const uint8_t bauds[] = {3, 4, 5, 6, 7};
    for (int i = 0; i < 200; i++) {
        uint8_t tag[3] = {'<', (uint8_t)('A' + i % 26), (uint8_t)('a' + i / 26)};
        Bytes data(tag, tag + 3);
        data.push_back('>');
        Bytes m = th::DataMsg(bauds[i % 5], 1, i % 2, 0, data);
        Offer(m);
        usleep((i % 7) * 300);
    }
    // The last request: 57600, 2 stop bits.
    Bytes last = th::DataMsg(6, 1, 1, 0, th::B("<end>"));
    Offer(last);
    ASSERT_TRUE(waitLog("[UART]:uart write:5, [", 3000));
    done = true;
    reader.join();
    struct termios t = portAttr();
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B57600);
    EXPECT_TRUE(t.c_cflag & CSTOPB);

    std::string want;
    for (int i = 0; i < 200; i++)
        want += std::string("<") + (char)('A' + i % 26) + (char)('a' + i / 26) + ">";
    EXPECT_EQ(std::string(got.begin(), got.end()), want + "<end>");
}

// A device that takes nothing: without a link, a message that has had its
// line time and more is given up, and the log says how much of it went out.
TEST_F(SerialThread, StalledPortWithoutLinkGivesUpWhatWaitsTooLong)
{
    // The bound follows the character: start, data, parity and stop bits.
    const uint8_t s7n1[4] = {0, 0, 0, 0}, s8e2[4] = {0, 1, 1, 2};
    EXPECT_EQ(UART_BoundMs(1200, s7n1), 9000 * 125 / 100 + 1000);
    EXPECT_EQ(UART_BoundMs(1200, s8e2), 12000 * 125 / 100 + 1000);
    start();
    usleep(200000);
    // A pty makes room in the background for a while: fill it until it
    // stays full.
    int dev = open(pty.slavePath().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(dev, 0);
    size_t before = 0;
    for (int idle = 0; idle < 20;) {
        ssize_t n = write(dev, Bytes(4096, 'j').data(), 4096);
        before += n > 0 ? (size_t)n : 0;
        idle = n > 0 ? 0 : idle + 1;
        usleep(n > 0 ? 0 : 10000);
    }
    close(dev);
    Bytes fill = th::DataMsg(7, 1, 0, 0, Bytes(1000, 'f'));
    size_t taken = 0;
    while (UART_WriteData(fill.data(), (int32_t)fill.size()) == 0)
        taken++;
    ASSERT_TRUE(waitLog("[UART]:write to uart ", 15000, taken));
    size_t out = pty.readQuiet(300, 5000).size() - before;
    EXPECT_LT(out, taken * 1000);
    std::string l = log();
    size_t reported = 0;
    for (size_t p = l.find("write to uart "); p != std::string::npos; p = l.find("write to uart ", p + 1))
        reported += (size_t)atoi(l.c_str() + p + 14);
    EXPECT_EQ(reported, out) << "the log counts what went out";
    EXPECT_NE(l.find("[UART]:gave up "), std::string::npos);
    EXPECT_GE(TCP_GivenUp(), 1u);
}

// The serial thread closes the port at exit while the link thread keeps
// writing: nothing reaches the closed descriptor or one reusing its number.
TEST_F(SerialThread, ExitWhileLinkWrites)
{
    start();
    usleep(200000);
    std::atomic<bool> stopWriting{false};
    std::thread link([&] {
        Bytes m = th::DataMsg(7, 1, 0, 0, Bytes(64, 0x5A));
        while (!stopWriting.load())
            UART_WriteData(m.data(), (int32_t)m.size());
    });
    std::thread drain([&] {
        while (!stopWriting.load())
            pty.read(4096, 20);
    });
    usleep(100000);
    stop();
    // Descriptors opened now take the lowest free numbers: the port's.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    int extra = open("/dev/null", O_RDONLY);
    usleep(200000);
    stopWriting = true;
    link.join();
    drain.join();
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    char c;
    EXPECT_EQ(read(p[0], &c, 1), -1) << "data reached a reused descriptor";
    close(p[0]);
    close(p[1]);
    close(extra);
    EXPECT_EQ(count("[UART]:uartExit-----------\r\n"), 1u);
}

// A missing port is retried once a second, and exit is still seen at once.
TEST_F(SerialThread, OpenFailureRetriesEachSecond)
{
    start(false);
    usleep(2500000);
    size_t fails = count("\xA1\xBE" "UART\xA1\xBF:uart open ");
    EXPECT_GE(fails, 2u);
    EXPECT_LE(fails, 4u);
    // A settings change while the port is missing is taken as soon as it
    // appears.
    pty.linkAs(sb, "/dev/ttyS0");
    Bytes m = th::DataMsg(4, 1, 0, 0, th::B("late"));
    UART_WriteData(m.data(), (int32_t)m.size());
    EXPECT_EQ(th::Hex(pty.read(4, 2000)), th::Hex(th::B("late")));
    int64_t t0 = th::NowMs();
    stop();
    EXPECT_LT(th::NowMs() - t0, 1500);
}
