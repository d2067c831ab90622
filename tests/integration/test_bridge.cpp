// The serial bridge of the real daemon: a pseudo-terminal as its serial
// port, the scripted server on loopback, and the device-side tool.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "core/common.h"
#include "tests/support/faults.h"
#include "tests/support/harness.h"

namespace {

using th::B;
using th::Bytes;
using th::Hex;

const std::string kOpenError = "\xA1\xBE" "UART\xA1\xBF:uart open ";

// A daemon with its serial port on a pty, logged in to the scripted server.
struct Rig {
    th::Sandbox sb;
    th::Pty pty;
    th::Server srv;
    th::Daemon d;

    void start()
    {
        sb.writeIdentity("SN0001", "PC01");
        pty.linkAs(sb, "/dev/ttyS0");
        d.start(sb, srv.port());
        ASSERT_TRUE(srv.accept(5000));
        ASSERT_FALSE(srv.recvCmd(0x00, 3000).empty());
        srv.send(th::OnlineResult(0));
        ASSERT_TRUE(d.waitFor("[TCP]:online success \r\n", 3000));
        ASSERT_TRUE(d.waitFor("[UART]:enter uart thread...\r\n", 3000));
        usleep(300000);  // the port is open after the thread's first pass
        ASSERT_EQ(d.count(kOpenError), 0u) << d.log();
    }
    struct termios portAttr() const
    {
        struct termios t = {};
        int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
        EXPECT_EQ(tcgetattr(fd, &t), 0);
        close(fd);
        return t;
    }
};

using ft::DevInfoFrame;
using ft::UpgradeFrame;

Bytes Package(size_t n)
{
    Bytes p(n);
    for (size_t i = 0; i < n; i++)
        p[i] = (uint8_t)(i ^ (i >> 8) ^ 0x5C);
    return p;
}

// n full data messages at the baud-rate index, 8N1, each numbered in its
// first byte: appended to *all as the server sends them and their payload
// to *want as the device must get it.
void FullMessages(int n, uint8_t baud, Bytes *all, Bytes *want)
{
    for (int i = 0; i < n; i++) {
        Bytes data = Package(1014);
        data[0] = (uint8_t)(want->size() / 1014);
        Bytes m = th::DataMsg(baud, 1, 0, 0, data);
        all->insert(all->end(), m.begin(), m.end());
        want->insert(want->end(), data.begin(), data.end());
    }
}

// Copies bytes both ways between the masters of two ptys, so the tool can
// open a device path of its own while the daemon holds the other pty.
class Relay {
public:
    Relay(int a, int b) : a_(a), b_(b), t_([this] { run(); }) {}
    ~Relay()
    {
        stop_ = true;
        t_.join();
    }
private:
    void run()
    {
        while (!stop_) {
            struct pollfd p[2] = {{a_, POLLIN, 0}, {b_, POLLIN, 0}};
            if (poll(p, 2, 50) <= 0)
                continue;
            for (int i = 0; i < 2; i++) {
                if (!(p[i].revents & POLLIN))
                    continue;
                uint8_t buf[4096];
                ssize_t n = read(p[i].fd, buf, sizeof buf);
                int to = i == 0 ? b_ : a_;
                for (ssize_t off = 0; n > 0 && off < n;) {
                    ssize_t w = write(to, buf + off, (size_t)(n - off));
                    if (w <= 0)
                        break;
                    off += w;
                }
            }
        }
    }
    int a_, b_;
    std::atomic<bool> stop_{false};
    std::thread t_;
};

// Runs adapter-dev; returns its exit status and its output.
int RunTool(const std::string &args, std::string *out)
{
    char tmpl[] = "/tmp/adapter-dev-out-XXXXXX";
    int fd = mkstemp(tmpl);
    close(fd);
    std::string cmd = std::string(th::ToolPath("adapter-dev")) + " " + args + " >" + tmpl + " 2>&1 </dev/null";
    int st = system(cmd.c_str());
    FILE *f = fopen(tmpl, "rb");
    out->clear();
    char buf[1024];
    size_t n;
    while (f != nullptr && (n = fread(buf, 1, sizeof buf, f)) > 0)
        out->append(buf, n);
    if (f != nullptr)
        fclose(f);
    unlink(tmpl);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

TEST(Bridge, UplinkBurstSplitAtOneRead)
{
    Rig r;
    r.start();
    r.pty.write(B({0x41, 0x42, 0x43}));
    EXPECT_EQ(Hex(r.srv.recvCmd(0x40, 3000)), "01 40 00 00 00 00 03 00 00 00 41 42 43");

    Bytes big = Package(1500);
    r.pty.write(big);
    Bytes m1 = r.srv.recvCmd(0x40, 3000);
    Bytes m2 = r.srv.recvCmd(0x40, 3000);
    ASSERT_EQ(m1.size(), 1024u);
    ASSERT_EQ(m2.size(), 496u);
    EXPECT_EQ(Hex(Bytes(m1.begin(), m1.begin() + 10)), "01 40 00 00 00 00 f6 03 00 00");
    EXPECT_EQ(Hex(Bytes(m2.begin(), m2.begin() + 10)), "01 40 00 00 00 00 e6 01 00 00");
    Bytes joined(m1.begin() + 10, m1.end());
    joined.insert(joined.end(), m2.begin() + 10, m2.end());
    EXPECT_EQ(joined, big);
    // The message can reach the server before its log line is read.
    for (const char *line : {"[UART]:read data 3\r\n", "[UART]:read data 1014\r\n", "[UART]:read data 486\r\n"}) {
        EXPECT_TRUE(r.d.waitFor(line, 2000)) << line;
        EXPECT_EQ(r.d.count(line), 1u) << line;
    }
}

TEST(Bridge, DownlinkReopensWithNewSettings)
{
    Rig r;
    r.start();
    r.srv.send(th::DataMsg(7, 1, 0, 0, B("now")));
    EXPECT_EQ(Hex(r.pty.read(3, 2000)), Hex(B("now")));
    ASSERT_TRUE(r.d.waitFor("[UART]:write to uart 3 \r\n", 1000));

    // 38400 bits per second, 8 data bits, 1 stop bit, even parity.
    size_t mark = r.d.logSize();
    r.srv.send(th::DataMsg(5, 1, 0, 2, B("held")));
    EXPECT_EQ(Hex(r.pty.read(4, 3000)), Hex(B("held")));
    ASSERT_TRUE(r.d.waitFor("[UART]:uart write:4, [", 2000, mark));
    std::string log = r.d.log().substr(mark);
    size_t need = log.find("[UART]:need change uart config [");
    size_t ev = log.find("[UART]:uart event :0x02, [");
    size_t open1 = log.find("[UART]:uartOpen1 fd: ");
    size_t wr = log.find("[UART]:uart write:4, [");
    ASSERT_NE(need, std::string::npos);
    EXPECT_LT(need, ev);
    EXPECT_LT(ev, open1);
    EXPECT_LT(open1, wr);
    struct termios t = r.portAttr();
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B38400);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B38400);
    EXPECT_TRUE(t.c_iflag & INPCK);   // parity checking, even: PARODD clear
    EXPECT_FALSE(t.c_cflag & PARODD);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_lflag & ICANON, 0u);

    // dataLen 0: reopened, nothing written.
    mark = r.d.logSize();
    r.srv.send(th::DataMsg(3, 1, 0, 0, {}));
    ASSERT_TRUE(r.d.waitFor("[UART]:uartOpen1 fd: ", 2000, mark));
    usleep(100000);
    EXPECT_EQ(r.d.log().substr(mark).find("[UART]:uart write:"), std::string::npos);
    EXPECT_EQ(cfgetospeed(&(t = r.portAttr())), (speed_t)B9600);

    // TCP joins and splits the server's writes as it likes: twenty messages
    // with settings alternating in one write, a result joined to a data
    // message, then one message in three writes. Every byte comes out, in
    // order, each message after the reopen its settings ask for.
    mark = r.d.logSize();
    Bytes joined, want;
    for (int i = 0; i < 20; i++) {
        Bytes data(50, (uint8_t)('a' + i));
        Bytes m = i % 2 == 0 ? th::DataMsg(5, 1, 0, 2, data) : th::DataMsg(7, 1, 0, 0, data);
        joined.insert(joined.end(), m.begin(), m.end());
        want.insert(want.end(), data.begin(), data.end());
    }
    for (const Bytes &m : {th::HeartbeatResult(0), th::DataMsg(7, 1, 0, 0, B("tail"))})
        joined.insert(joined.end(), m.begin(), m.end());
    r.srv.send(joined);
    Bytes split = th::DataMsg(7, 1, 0, 0, Bytes(768, 'z'));
    for (size_t off = 0; off < split.size(); off += 300) {
        r.srv.send(Bytes(split.begin() + off, split.begin() + std::min(off + 300, split.size())));
        usleep(5000);
    }
    for (const Bytes &b : {B("tail"), Bytes(768, 'z')})
        want.insert(want.end(), b.begin(), b.end());
    EXPECT_TRUE(r.pty.read(want.size(), 5000) == want);
    ASSERT_TRUE(r.d.waitFor("[UART]:write to uart 768 \r\n", 2000, mark));
    log = r.d.log().substr(mark);
    EXPECT_EQ(r.d.count("[UART]:uart write:50, ["), 20u);
    EXPECT_EQ(log.find("fail in tcpProcessRecved"), std::string::npos);
    EXPECT_EQ(cfgetospeed(&(t = r.portAttr())), (speed_t)B115200);
}

// A device that takes nothing for 12 s (flow control, a busy device) under
// 90 full messages at 1200 baud: the adapter holds what it can, TCP holds
// the server back, the link stays up, and every byte comes out in order.
TEST(Bridge, StalledSlowDeviceLosesNothing)
{
    Rig r;
    r.start();
    Bytes all, want;
    FullMessages(90, 0, &all, &want);
    // The server answers heartbeats once its data is out, as servers do.
    std::atomic<bool> done{false};
    std::thread server([&] {
        r.srv.send(all);
        while (!done.load())
            if (!r.srv.recvCmd(0x01, 200).empty())
                r.srv.send(th::HeartbeatResult(0));
    });
    usleep(12000000);
    Bytes got = r.pty.read(want.size(), 30000);
    done = true;
    server.join();
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
    EXPECT_EQ(r.d.count("[TCP]:connect success \r\n"), 1u);
    EXPECT_EQ(r.d.count("[TCP]:lost server"), 0u);
    EXPECT_EQ(r.d.count("[UART]:write to uart 1014 \r\n") + r.d.count("[UART]:uart write:1014, ["), 90u);
}

// A cellular link pauses inside messages: each is waited for whole. A data
// message whose length no message can have is a framing fault, so the
// identity request inside its payload never runs.
TEST(Bridge, PausesInsideMessagesLoseNothingAndPayloadNeverActs)
{
    Rig r;
    r.start();
    Bytes first = th::DataMsg(7, 1, 0, 0, Package(600));
    Bytes second = th::DataMsg(7, 1, 0, 0, B("second"));
    r.srv.send(Bytes(first.begin(), first.begin() + 300));
    usleep(1500000);
    Bytes rest(first.begin() + 300, first.end());
    rest.insert(rest.end(), second.begin(), second.end());
    r.srv.send(rest);
    Bytes want = Package(600);
    want.insert(want.end(), {'s', 'e', 'c', 'o', 'n', 'd'});
    EXPECT_EQ(Hex(r.pty.read(want.size(), 3000)), Hex(want));

    Bytes evil = ft::IdentityRequest("EVIL", "66");
    Bytes smuggled = {1, 0x40, 7, 1, 0, 0, 0x70, 0x04, 0, 0};  // 1136 bytes of data
    smuggled.insert(smuggled.end(), 1004, 'x');
    smuggled.insert(smuggled.end(), evil.begin(), evil.end());
    r.srv.send(smuggled);
    EXPECT_TRUE(r.srv.peerClosed(3000));
    EXPECT_TRUE(r.d.waitFor("[TCP]:framing fault (data length above 1014): 01 40 07 01 00 00 70 04;", 1000));
    EXPECT_EQ(r.d.count("EVIL"), 0u);
    EXPECT_NE(r.sb.readFile("/etc/config/device_info").find("SN0001"), std::string::npos);
}

// The device stalls (its output held with TCOOFF, so the port takes no
// byte). The server sends six messages and closes: four fill the hold, one
// waits at the front of the link's stream, one behind it; no connection is
// made while they wait, and they reach the device once it reads again,
// before a seventh of the next connection. Then it sends thirty and closes
// with most of them unread in the socket: the close is seen all the same
// (the state file says so, no heartbeat goes into the closed socket), and
// every one reaches the device. Last, four messages in the hold of a
// connection that broke, the device stalled past the silence limit: given
// up, though the next connection is up; the next message then comes alone.
TEST(Bridge, BrokenLinkDeliversWhatItReceivedBeforeTheNextConnection)
{
    Rig r;
    r.start();
    int port = open(r.pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(port, 0);
    auto online = [&r] {
        ASSERT_TRUE(r.srv.accept(12000));
        ASSERT_FALSE(r.srv.recvCmd(0x00, 3000).empty());
        r.srv.send(th::OnlineResult(0));
    };
    for (int n : {6, 30}) {
        Bytes all, want, next;
        FullMessages(n, 7, &all, &want);
        FullMessages(1, 7, &next, &want);
        ASSERT_EQ(tcflow(port, TCOOFF), 0);
        size_t mark = r.d.logSize();
        r.srv.send(all);
        r.srv.closeClient();
        if (n == 30) {
            ASSERT_TRUE(r.d.waitFor("[TCP]:server closed the link, what it sent still goes to the device\r\n", 5000, mark));
            EXPECT_TRUE(r.sb.waitFileHas("/var/run/adapterd/status.json", "\"state\": \"disconnected\"", 3000));
        } else {
            ASSERT_TRUE(r.d.waitFor("[TCP]:recv socket error \r\n", 5000, mark));
        }
        EXPECT_FALSE(r.srv.accept(2000)) << "connected while the old data waits";
        ASSERT_EQ(tcflow(port, TCOON), 0);
        Bytes got = r.pty.read(want.size() - 1014, 8000);
        online();
        r.srv.send(next);
        Bytes last = r.pty.read(1014, 3000);
        got.insert(got.end(), last.begin(), last.end());
        ASSERT_EQ(got.size(), want.size()) << n;
        EXPECT_TRUE(got == want) << n;
        EXPECT_EQ(r.d.count("gave up"), 0u);
        EXPECT_EQ(r.d.log().find("heartbeat [", mark), std::string::npos) << n;
    }
    Bytes old, gone;
    FullMessages(4, 7, &old, &gone);
    ASSERT_EQ(tcflow(port, TCOOFF), 0);
    r.srv.send(old);
    usleep(500000);
    r.srv.closeClient();
    online();
    for (int64_t end = th::NowMs() + 20000; r.d.count("[UART]:gave up ") < 4 && th::NowMs() < end;)
        usleep(100000);
    EXPECT_EQ(r.d.count("[UART]:gave up "), 4u);
    ASSERT_EQ(tcflow(port, TCOON), 0);
    close(port);
    r.srv.send(th::DataMsg(7, 1, 0, 0, B("fresh")));
    EXPECT_EQ(Hex(r.pty.readQuiet(300, 3000)), Hex(B("fresh")));
}

// The device stalls, the server sends 150 one-byte messages and falls
// silent: the link drops at the silence limit with most of them in its
// buffer. Once they have waited the limit since the break, the hold's are
// given up and then the rest together, in one line, and the next
// connection follows about one limit after the break.
TEST(Bridge, StalledDeviceAndSilentServerGiveUpTogetherAndReconnectAboutALimitAfterTheBreak)
{
    Rig r;
    r.start();
    int port = open(r.pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(port, 0);
    ASSERT_EQ(tcflow(port, TCOOFF), 0);
    Bytes all;
    for (int i = 0; i < 150; i++) {
        Bytes m = th::DataMsg(7, 1, 0, 0, Bytes(1, (uint8_t)i));
        all.insert(all.end(), m.begin(), m.end());
    }
    r.srv.send(all);
    ASSERT_TRUE(r.d.waitFor("[TCP]:lost server", 15000));
    int64_t broke = th::NowMs();
    ASSERT_TRUE(r.srv.accept(25000)) << r.d.log();
    EXPECT_GE(th::NowMs() - broke, 9000);
    EXPECT_LE(th::NowMs() - broke, 13000);
    // Said as the new connection is made, so it may follow the accept.
    EXPECT_TRUE(r.d.waitFor("[TCP]:gave up ", 3000)) << r.d.log();
    EXPECT_EQ(r.d.count("[TCP]:gave up "), 1u) << r.d.log();
    ASSERT_EQ(tcflow(port, TCOON), 0);
    close(port);
}

// A device that sends a byte every 8.3 ms (a busy 1200-baud line) never
// lets a burst end by silence; settings changes and exit are still seen at
// once.
TEST(Bridge, TricklingDeviceDelaysNeitherSettingsNorExit)
{
    Rig r;
    r.start();
    std::atomic<bool> stop{false};
    std::thread device([&] {
        while (!stop.load()) {
            r.pty.write(B("t"));
            usleep(8300);
        }
    });
    size_t mark = r.d.logSize();
    r.srv.send(th::DataMsg(5, 1, 0, 2, B("x")));
    EXPECT_TRUE(r.d.waitFor("[UART]:uart write:1, [", 1000, mark));
    mark = r.d.logSize();
    r.d.signal(SIGTERM);
    EXPECT_TRUE(r.d.waitFor("[UART]:uartExit-----------\r\n", 1500, mark));
    stop = true;
    device.join();
    EXPECT_EQ(r.d.waitExit(6000), 0);
}

TEST(Bridge, LocalUpgradeEndsWithPackageInPlace)
{
    Rig r;
    r.start();
    Bytes pkg = Package(10000);
    for (int32_t off = 0; off < 10000;) {
        int32_t n = std::min(512, 10000 - off);
        r.pty.write(UpgradeFrame(10000, off, pkg.data() + off, n));
        Bytes a = r.pty.read(16, 3000);
        ASSERT_EQ(a.size(), 16u) << "no answer at offset " << off;
        ASSERT_EQ(COMM_GetLe32(&a[8]), (uint32_t)(off + n));
        off += n;
        EXPECT_EQ(r.sb.exists("/usr/bin/zov/zovClient.tar"), off == 10000);
    }
    ASSERT_EQ(r.d.waitExit(8000), 0);
    EXPECT_EQ(r.sb.readFile("/usr/bin/zov/zovClient.tar"), std::string(pkg.begin(), pkg.end()));
    EXPECT_FALSE(r.sb.exists("/usr/bin/zov/zovClient.tar.part"));
    EXPECT_EQ(r.d.count("[UPGRADE]:write data to file, g_cacheDataLen 4096\r\n"), 2u);
    EXPECT_EQ(r.d.count("[UPGRADE]:write data to file, g_cacheDataLen 1808\r\n"), 1u);
    std::string log = r.d.log();
    size_t first = log.find("[UPGRADE]:save data, curOffset 0\r\n"
                            "[UPGRADE]:save data, g_cacheDataLen 512, g_completeSize 512\r\n"
                            "[UPGRADE]:build resp, curOffset 512\r\n");
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(r.d.count("[UART]:uart GB_EVENT_EXIT\r\n"), 1u);
    // The bursts never reached the server as data.
    r.srv.send(th::HeartbeatResult(0));
    for (Bytes m = r.srv.recv(300); !m.empty(); m = r.srv.recv(300))
        EXPECT_NE(m[1], 0x40);
}

TEST(Bridge, LocalIdentityChangeKeepsRunningAndLinked)
{
    Rig r;
    r.start();
    size_t mark = r.d.logSize();
    r.pty.write(DevInfoFrame("NEWSN12", "NP9"));
    Bytes a = r.pty.read(24, 3000);
    EXPECT_EQ(a, DevInfoFrame("NEWSN12", "NP9"));
    EXPECT_EQ(r.sb.readFile("/etc/config/device_info"),
              "config deviceInfo\r\n\toption serialNum NEWSN12\r\n\toption pairCode NP9\r\n");
    // The log reaches the test through a pipe: wait for it, do not race it.
    EXPECT_TRUE(r.d.waitFor("[DEVINFO]:set new info, sn: NEWSN12, pairCode: ***\r\n", 3000, mark));
    EXPECT_TRUE(r.d.waitFor("[DEVINFO]: build resp, sn: NEWSN12, pairCode: ***\r\n", 3000, mark));

    // Still running, same connection, still bridging.
    usleep(500000);
    EXPECT_TRUE(r.d.running());
    EXPECT_FALSE(r.srv.peerClosed(100));
    EXPECT_EQ(r.d.count("[TCP]:connect success \r\n"), 1u);
    r.pty.write(B("ok"));
    EXPECT_EQ(Hex(r.srv.recvCmd(0x40, 3000)), "01 40 00 00 00 00 02 00 00 00 6f 6b");
}

TEST(Bridge, DeviceToolPushesAndSetsIdentity)
{
    Rig r;
    r.start();
    th::Pty dev;
    Relay relay(r.pty.master(), dev.master());
    std::string out;
    std::string port = "--port " + dev.slavePath() + " --baud 115200 ";

    ASSERT_EQ(RunTool(port + "info", &out), 0) << out;
    EXPECT_EQ(out, "serialNum: SN0001\npairCode: PC01\n");
    ASSERT_EQ(RunTool(port + "set-info DEV42 PW7", &out), 0) << out;
    EXPECT_EQ(out, "serialNum: DEV42\npairCode: PW7\n");
    EXPECT_TRUE(r.d.running());

    Bytes pkg = Package(5000);
    r.sb.writeFile("/pkg.bin", std::string(pkg.begin(), pkg.end()));
    ASSERT_EQ(RunTool(port + "push " + r.sb.path("/pkg.bin") + " --chunk 998", &out), 0) << out;
    EXPECT_NE(out.find("delivered 5000 bytes"), std::string::npos) << out;
    EXPECT_EQ(out.find('\r'), std::string::npos);  // no progress bar off a terminal
    ASSERT_EQ(r.d.waitExit(8000), 0);
    EXPECT_EQ(r.sb.readFile("/usr/bin/zov/zovClient.tar"), std::string(pkg.begin(), pkg.end()));
}

TEST(Bridge, DeviceToolReportsSilenceAndBadUse)
{
    th::Pty nobody;
    std::string out;
    EXPECT_EQ(RunTool("--port " + nobody.slavePath() + " --timeout 300 --retries 1 info", &out), 1);
    EXPECT_NE(out.find("no answer from the adapter"), std::string::npos) << out;
    EXPECT_EQ(RunTool("--port " + nobody.slavePath() + " set-info TOOLONGSERIAL1 X", &out), 2);
    EXPECT_EQ(RunTool("info", &out), 2);
    EXPECT_NE(out.find("usage: adapter-dev"), std::string::npos);
    EXPECT_EQ(RunTool("--port /nonexistent/tty info", &out), 1);
    EXPECT_NE(out.find("cannot open /nonexistent/tty"), std::string::npos);
}
