// The integrator's tools as people use them, against a sandboxed adapter: a
// scenario run by adapter-sim --script, adapter-dev through a linked pair of
// pseudo-terminals made by socat, and the sandbox's own guards.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/faults.h"
#include "tests/support/harness.h"

namespace {

using th::Bytes;

// A program started with its output (both streams) collected, and input
// (a few KB at most) as its standard input, a pipe.
class Proc {
public:
    explicit Proc(const std::vector<std::string> &argv, const std::string &input = "")
    {
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        int out[2], in[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            dup2(in[0], STDIN_FILENO);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        close(in[0]);
        ssize_t n = write(in[1], input.data(), input.size());
        (void)n;
        close(in[1]);
        out_ = out[0];
    }
    ~Proc()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    // Collects output until it contains needle (or the time is up).
    bool waitFor(const std::string &needle, int timeoutMs)
    {
        int64_t deadline = th::NowMs() + timeoutMs;
        while (text_.find(needle) == std::string::npos) {
            int left = (int)(deadline - th::NowMs());
            if (left <= 0 || !drain(left))
                return false;
        }
        return true;
    }
    // Exit status once the program has ended and its output is in; -1 on time-out.
    int waitExit(int timeoutMs)
    {
        int64_t deadline = th::NowMs() + timeoutMs;
        while (drain((int)std::max<int64_t>(deadline - th::NowMs(), 0))) {
        }
        int st;
        while (waitpid(pid_, &st, WNOHANG) != pid_) {
            if (th::NowMs() >= deadline)
                return -1;
            usleep(10000);
        }
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -2;
    }
    const std::string &text() const { return text_; }

private:
    // One read of output; false at its end or when nothing came in time.
    bool drain(int timeoutMs)
    {
        struct pollfd p = {out_, POLLIN, 0};
        if (out_ < 0 || poll(&p, 1, timeoutMs) <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0)
            return false;
        text_.append(buf, (size_t)n);
        return true;
    }
    pid_t pid_ = -1;
    int out_ = -1;
    std::string text_;
};

std::string Tool(const char *name) { return th::ToolPath(name); }

// Two pseudo-terminals linked by socat, as the README makes them: the
// adapter's /dev/ttyS0 and the device end at /serial-device in the sandbox.
struct LinkedPtys {
    explicit LinkedPtys(const th::Sandbox &sb)
        : socat({"/usr/bin/socat", "pty,raw,echo=0,link=" + sb.path("/dev/ttyS0"),
                 "pty,raw,echo=0,link=" + sb.path("/serial-device")})
    {
        for (int i = 0; i < 100 && !(sb.exists("/dev/ttyS0") && sb.exists("/serial-device")); i++)
            usleep(50000);
    }
    Proc socat;
};

std::string WriteScenario(th::Sandbox &sb, const std::string &text)
{
    sb.writeFile("/scenario.sim", text);
    return sb.path("/scenario.sim");
}

// Connects to a simulator on 127.0.0.1 as an adapter would; -1 on failure.
int ConnectAsAdapter(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

TEST(Tools, ScenarioDrivesTheAdapterAndEndsAtTheFirstMissedWait)
{
    th::Sandbox sb;
    sb.writeIdentity("SCN01", "77");
    th::Pty pty;
    pty.linkAs(sb, "/dev/ttyS0");
    uint16_t port = th::FreePort();
    // Nothing listens on the adapter's FTP port: its upgrades fail (07).
    std::string script = WriteScenario(sb,
                                       "# login, data both ways with a settings change, then a wait that fails\n"
                                       "wait online serial=SCN01 pair=77 20\n"
                                       "data 38400 8E1 ping\n"
                                       "wait data pong 20\n"
                                       "upgrade 127.0.0.1 user pass /pkg.tar\n"
                                       "wait upgrade failed 20\n"
                                       "upgrade 127.0.0.1 user pass /pkg.tar\n"
                                       "wait upgrade ok 600\n"
                                       "data 9600 8N1 not sent\n");
    // Text lines to the log, one JSON object per event on standard output;
    // writes spaced, as this scenario is about commands, not about how the
    // adapter cuts messages that arrive together.
    Proc sim({Tool("adapter-sim"), "--port=" + std::to_string(port), "-s", script, "--json", "-l",
              sb.path("/sim.log"), "--gap=100"});
    ASSERT_TRUE(sim.waitFor("\"listening\"", 5000)) << sim.text();
    th::Daemon d;
    d.start(sb, port);

    EXPECT_EQ(th::Hex(pty.read(4, 15000)), th::Hex(th::B("ping")));
    struct termios t = {};
    int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    close(fd);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B38400);
    EXPECT_TRUE((t.c_iflag & INPCK) && !(t.c_cflag & PARODD));  // even parity, as a pty keeps it
    usleep(200000);  // the reply is a burst of its own
    pty.write(th::B("pong"));

    // The other result ends the scenario at once, not after its 600 s.
    EXPECT_EQ(sim.waitExit(20000), 1) << sim.text();
    std::string log = sb.readFile("/sim.log");
    EXPECT_NE(log.find("online request: verCode 1 verName \"1.1\" serialNum \"SCN01\""), std::string::npos);
    for (const char *held : {"wait online serial=SCN01 pair=77: held", "wait data: held", "wait upgrade failed: held"})
        EXPECT_NE(log.find(held), std::string::npos) << held << "\n" << log;
    EXPECT_NE(log.find(script + ":8: wait upgrade ok: failed after"), std::string::npos) << log;
    EXPECT_NE(log.find("upgrade response 07 failed"), std::string::npos) << log;
    EXPECT_NE(sim.text().find("\"event\":\"data\",\"length\":4,\"text\":\"pong\""), std::string::npos);
    EXPECT_NE(sim.text().find("\"event\":\"wait\",\"for\":\"upgrade\",\"held\":false"), std::string::npos);
    EXPECT_NE(sim.text().find("\"baud\":38400,\"databits\":8,\"stopbits\":1,\"parity\":\"E\""),
              std::string::npos);
    for (size_t at = 0, nl; (nl = sim.text().find('\n', at)) != std::string::npos; at = nl + 1)
        EXPECT_TRUE(sim.text()[at] == '{' && sim.text()[nl - 1] == '}') << sim.text().substr(at, nl - at);
    // Nothing after the failed wait ran.
    EXPECT_TRUE(pty.readQuiet(300, 600).empty());
    EXPECT_EQ(log.find("not sent"), std::string::npos);

    // A line that is no command: nothing runs, status 2 with its number;
    // piped to the simulator, such a line ends it with 2 too.
    Proc bad({Tool("adapter-sim"), "--port", std::to_string(th::FreePort()), "--script",
              WriteScenario(sb, "wait online\nwait for godot\n")});
    EXPECT_EQ(bad.waitExit(5000), 2);
    EXPECT_NE(bad.text().find(":2: unknown wait 'for'"), std::string::npos) << bad.text();
    EXPECT_EQ(bad.text().find("listening"), std::string::npos);
    Proc piped({Tool("adapter-sim"), "-e", "--port", std::to_string(th::FreePort())}, "status\nfrobnicate\nstatus\n");
    EXPECT_EQ(piped.waitExit(5000), 2) << piped.text();
    EXPECT_NE(piped.text().find("standard input, line 2: unknown command 'frobnicate'"), std::string::npos);
    EXPECT_EQ(piped.text().find("status:"), std::string::npos) << piped.text();
    Proc idle({Tool("adapter-sim"), "--port", std::to_string(th::FreePort()), "-s", WriteScenario(sb, "wait heartbeat 0.2\n")});
    EXPECT_EQ(idle.waitExit(5000), 1);
    EXPECT_NE(idle.text().find(":1: wait heartbeat: timed out"), std::string::npos) << idle.text();
}

// The simulator against a stand-in adapter: a burst reaches it as the bytes
// of its messages, and a login with another identity fails the wait at once.
TEST(Tools, BurstArrivesWholeAndAnotherIdentityFailsTheWait)
{
    th::Sandbox sb;
    uint16_t port = th::FreePort();
    Proc sim({Tool("adapter-sim"), "--port", std::to_string(port), "-s",
              WriteScenario(sb, "burst 2 {\ndata 38400 8E1 ab\n# a heartbeat result between\nraw 01 81 00\n}\n"
                                "wait online serial=SCN01 600\n")});
    ASSERT_TRUE(sim.waitFor("listening", 5000)) << sim.text();
    int fd = ConnectAsAdapter(port);
    ASSERT_GE(fd, 0);
    Bytes one = th::DataMsg(5, 1, 0, 2, th::B("ab")), heartbeatOk = th::HeartbeatResult(0), want;
    for (int i = 0; i < 2; i++) {
        want.insert(want.end(), one.begin(), one.end());
        want.insert(want.end(), heartbeatOk.begin(), heartbeatOk.end());
    }
    Bytes got(want.size());
    EXPECT_EQ(recv(fd, got.data(), got.size(), MSG_WAITALL), (ssize_t)got.size());
    EXPECT_EQ(th::Hex(got), th::Hex(want));
    // An online request from serial number "OT", pairing code "9".
    Bytes login = th::B({0x01, 0x00, 0x01, '1', '.', '1'});
    login.resize(31);
    login[11] = 'O';
    login[12] = 'T';
    login[23] = '9';
    EXPECT_EQ(send(fd, login.data(), login.size(), MSG_NOSIGNAL), 31);
    EXPECT_EQ(sim.waitExit(20000), 1) << sim.text();
    EXPECT_NE(sim.text().find("wait online serial=SCN01: failed after"), std::string::npos) << sim.text();
    EXPECT_NE(sim.text().find("logged in as serial=OT pair=9"), std::string::npos) << sim.text();
    close(fd);
}

TEST(Tools, DevicePushRefusesBadFilesThenDeliversWithDefaults)
{
    th::Sandbox sb;
    sb.writeIdentity("DEV01", "1");
    sb.writeFile("/usr/bin/zov/zovClient.tar", "the package in place");
    LinkedPtys ptys(sb);
    th::Daemon d;
    d.start(sb, 0);
    ASSERT_TRUE(d.waitFor("[UART]:enter uart thread...", 5000));
    usleep(300000);  // the port is open after the thread's first pass
    const std::string dev = sb.path("/serial-device");

    sb.writeFile("/empty.bin", "");
    mkdir(sb.path("/dir.bin").c_str(), 0755);
    const struct {
        std::string path, why;
    } bad[] = {{sb.path("/empty.bin"), "is empty"},
               {sb.path("/dir.bin"), "is a directory"},
               {sb.path("/missing.bin"), "No such file or directory"}};
    for (const auto &b : bad) {
        Proc push({Tool("adapter-dev"), "-p", dev, "push", b.path});
        EXPECT_EQ(push.waitExit(10000), 1) << push.text();
        EXPECT_NE(push.text().find(b.path), std::string::npos) << push.text();
        EXPECT_NE(push.text().find(b.why), std::string::npos) << push.text();
    }
    EXPECT_EQ(sb.readFile("/usr/bin/zov/zovClient.tar"), "the package in place");
    EXPECT_EQ(d.count("[UPGRADE]"), 0u) << d.log();
    // An identity the file cannot keep is refused before it is sent.
    Proc blank({Tool("adapter-dev"), "-p", dev, "set-info", "SN 1", "1"});
    EXPECT_EQ(blank.waitExit(10000), 2);
    EXPECT_NE(blank.text().find("serial number 'SN 1' holds a blank"), std::string::npos) << blank.text();
    EXPECT_TRUE(d.running());

    // Two pushes at once: the one that has the port delivers its package
    // whole, the other is refused at once, naming the port. Full chunks
    // and a short one: the default chunk fills a read.
    const size_t size = 300 * 998 + 6;
    Bytes pkg[2] = {ft::Package(size, 9), ft::Package(size, 10)};
    std::unique_ptr<Proc> push[2];
    for (int i = 0; i < 2; i++)
        sb.writeFile("/pkg" + std::to_string(i), std::string(pkg[i].begin(), pkg[i].end()));
    for (int i = 0; i < 2; i++)
        push[i].reset(new Proc({Tool("adapter-dev"), "--port=" + dev, "push", sb.path("/pkg" + std::to_string(i))}));
    // The port is exclusive while a push holds it (root ignores that, so
    // ask the tty), and free again once the tool has ended. User-mode
    // emulation does not pass this ioctl on: there the answer is unknown.
    auto exclusive = [&dev] {
        int fd = open(dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int excl = -1;
        if (ioctl(fd, TIOCGEXCL, &excl) != 0)
            excl = -1;
        close(fd);
        return excl;
    };
#ifdef ADAPTER_EMULATOR
    const int whileHeld = -1, afterwards = -1;
#else
    const int whileHeld = 1, afterwards = 0;
#endif
    ASSERT_TRUE(d.waitFor("[UPGRADE]:save data, curOffset", 20000));
    EXPECT_EQ(exclusive(), whileHeld);
    int rc[2] = {push[0]->waitExit(60000), push[1]->waitExit(60000)};
    EXPECT_EQ(exclusive(), afterwards);
    int won = rc[0] == 0 ? 0 : 1;
    ASSERT_EQ(rc[won], 0) << push[won]->text();
    EXPECT_EQ(rc[1 - won], 1) << push[1 - won]->text();
    EXPECT_NE(push[1 - won]->text().find(dev + " is in use"), std::string::npos) << push[1 - won]->text();
    EXPECT_NE(push[won]->text().find("delivered " + std::to_string(size) + " bytes"), std::string::npos);
    EXPECT_EQ(push[won]->text().find('\r'), std::string::npos);  // no progress line off a terminal
    ASSERT_EQ(d.waitExit(8000), 0);
    EXPECT_TRUE(sb.readFile("/usr/bin/zov/zovClient.tar") == std::string(pkg[won].begin(), pkg[won].end()));
    EXPECT_EQ(d.count("[UPGRADE]:save data, curOffset"), 301u);
    EXPECT_EQ(d.count("[DEVINFO]"), 0u);
}

// A key no queue has now (created exclusively, then removed).
int UnusedKey()
{
    for (int i = 0;; i++) {
        int key = 0x53540000 + (int)(((unsigned)getpid() * 16u + (unsigned)i) & 0xffffu);
        int id = msgget((key_t)key, IPC_CREAT | IPC_EXCL | 0600);
        if (id >= 0) {
            msgctl(id, IPC_RMID, nullptr);
            return key;
        }
    }
}

bool QueueExists(int key) { return msgget((key_t)key, 0) >= 0; }

TEST(Tools, SandboxNeedsItsRootAndRemovesOnlyTheQueueItMade)
{
    th::Sandbox sb;
    sb.writeIdentity("SBX01", "2");
    int fresh = UnusedKey();

    th::Daemon unrooted;
    unrooted.start(sb, 0, {{"ADAPTER_ROOT", ""}, {"ADAPTER_MSG_KEY", std::to_string(fresh)}});
    EXPECT_EQ(unrooted.waitExit(5000), 2);
    EXPECT_NE(unrooted.log().find("ADAPTER_ROOT is not set"), std::string::npos) << unrooted.log();
    EXPECT_EQ(unrooted.log().find("[globals]"), std::string::npos);
    EXPECT_FALSE(QueueExists(fresh));
    // Its tree checked, a regular file as the serial port is named.
    sb.writeFile("/dev/ttyS0", "not a port");
    th::Daemon unchecked;
    unchecked.start(sb, 0, {{"ADAPTER_CHECK_TREE", "1"}, {"ADAPTER_MSG_KEY", std::to_string(fresh)}});
    EXPECT_EQ(unchecked.waitExit(5000), 2);
    EXPECT_NE(unchecked.log().find(sb.path("/dev/ttyS0") + ": not a terminal"), std::string::npos) << unchecked.log();
    EXPECT_EQ(unchecked.log().find("[globals]"), std::string::npos);
    EXPECT_FALSE(QueueExists(fresh));
    unlink(sb.path("/dev/ttyS0").c_str());

    // One sandbox makes its queue, the other finds the harness's.
    th::Daemon own, guest;
    own.start(sb, 0, {{"ADAPTER_MSG_KEY", std::to_string(fresh)}});
    guest.start(sb, 0);
    ASSERT_TRUE(own.waitFor("[UART]:enter uart thread...", 5000));
    ASSERT_TRUE(guest.waitFor("[UART]:enter uart thread...", 5000));
    EXPECT_TRUE(QueueExists(fresh));
    own.signal(SIGTERM);
    guest.signal(SIGTERM);
    EXPECT_EQ(own.waitExit(10000), 0);
    EXPECT_EQ(guest.waitExit(10000), 0);
    EXPECT_FALSE(QueueExists(fresh));
    EXPECT_TRUE(QueueExists(sb.msgKey()));
}

}  // namespace
