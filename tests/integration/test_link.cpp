// The server link of the real daemon against a scripted loopback server:
// login, heartbeats, refusals, silence, refused connections, bad versions,
// a wall-clock step, the LEDs, and the operator's simulator. Intervals are
// protocol seconds on the wall clock, so the checks allow about a second
// either way.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/support/harness.h"

namespace {

using th::B;
using th::Bytes;

const Bytes kOnlineABC12 = [] {
    Bytes b = {0x01, 0x00, 0x01, 0x31, 0x2E, 0x31, 0, 0, 0, 0, 0, 0x41, 0x42, 0x43};
    b.resize(23, 0);
    b.push_back(0x31);
    b.push_back(0x32);
    b.resize(31, 0);
    return b;
}();

const std::string kStatus = "/var/run/adapterd/status.json";

// Marks every descriptor of the test close-on-exec, so the daemon does not
// inherit the scripted server's listening socket (it would keep the port
// accepting after the test stops listening).
void CloseOnExecAll()
{
    for (int fd = 3; fd < 1024; fd++) {
        int fl = fcntl(fd, F_GETFD);
        if (fl >= 0)
            fcntl(fd, F_SETFD, fl | FD_CLOEXEC);
    }
}

bool WaitLed(const th::Sandbox &sb, bool online, const std::string &want, int timeoutMs)
{
    int64_t deadline = th::NowMs() + timeoutMs;
    while (sb.led(online) != want) {
        if (th::NowMs() >= deadline)
            return false;
        usleep(20 * 1000);
    }
    return true;
}

// Sleeps until just after the next wall-clock second begins, so that an
// interval counted in whole seconds from now ends well inside a second.
void SleepToSecondStart()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    usleep((useconds_t)(1000000 - tv.tv_usec + 20000));
}

class Link : public testing::Test {
protected:
    void SetUp() override { sb.writeIdentity("ABC", "12"); }
    // The faketime library and the environment that steps the wall clock
    // (and the monotonic one too unless wallOnly) through the sandbox's
    // /faketime file, which starts at "+0"; empty when it is not installed.
    std::map<std::string, std::string> faketimeEnv(bool wallOnly)
    {
        const char *lib = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
        if (access(lib, R_OK) != 0)
            return {};
        sb.writeFile("/faketime", "+0\n");
        // libfaketime re-reads its file unlocked from every thread that asks
        // the time; that race is its own, not the daemon's.
        sb.writeFile("/tsan.supp", "race:read_config_file\nrace:libfaketime\n");
        const char *tsan = getenv("TSAN_OPTIONS");
        std::map<std::string, std::string> env = {
            {"LD_PRELOAD", lib},
            {"FAKETIME_TIMESTAMP_FILE", sb.path("/faketime")},
            {"FAKETIME_NO_CACHE", "1"},
            {"TSAN_OPTIONS", std::string(tsan ? tsan : "") + " suppressions=" + sb.path("/tsan.supp")}};
        if (wallOnly)
            env["FAKETIME_DONT_FAKE_MONOTONIC"] = "1";
        return env;
    }
    // Starts the daemon (with args, when given), accepts it, and checks the
    // online request.
    void startAndAccept(const std::map<std::string, std::string> &env = {}, const std::vector<std::string> &args = {})
    {
        CloseOnExecAll();
        std::vector<std::string> program;
        if (!args.empty())
            program.push_back(th::SandboxBin());
        program.insert(program.end(), args.begin(), args.end());
        d.start(sb, srv.port(), env, program);
        ASSERT_TRUE(srv.accept(5000));
        tConnect = th::NowMs();
        ASSERT_TRUE(d.waitFor("[TCP]:connect success \r\n", 2000));
    }
    // Waits for the online request, answers it with code, returns its time.
    // aligned: the answer goes out at the start of a wall-clock second.
    int64_t login(uint8_t code, bool aligned = false)
    {
        Bytes req = srv.recvCmd(0x00, 7000);
        EXPECT_EQ(req, kOnlineABC12);
        if (aligned)
            SleepToSecondStart();
        int64_t t = th::NowMs();
        srv.send(th::OnlineResult(code));
        return t;
    }
    th::Sandbox sb;
    th::Server srv;
    th::Daemon d;
    int64_t tConnect = 0;
};

TEST_F(Link, NormalStartLogsInAndBeatsThreeSecondsAfterLastData)
{
    startAndAccept();
    // After the first receive wait of a second, not the 5 s interval.
    int64_t tReq = login(0);
    EXPECT_LT(tReq - tConnect, 4000);
    // Connected: data LED on (after the request's flash), online LED off.
    EXPECT_TRUE(WaitLed(sb, false, "0", 5000));
    EXPECT_TRUE(WaitLed(sb, true, "1", 5000));
    ASSERT_TRUE(d.waitFor("[TCP]:online success \r\n", 2000));
    EXPECT_TRUE(d.waitFor("[TCP]:tcp recv data, update lastCommunicate: ", 100));

    Bytes hb = srv.recvCmd(0x01, 6000);
    int64_t dt = th::NowMs() - tReq;
    EXPECT_EQ(th::Hex(hb), "01 01");
    EXPECT_GE(dt, 1900);
    EXPECT_LE(dt, 4300);
    EXPECT_TRUE(d.waitFor("[TCP]:adapter send heartbeat [", 1000));
    // A link that answers stays up and keeps the LEDs.
    srv.send(th::HeartbeatResult(0));
    EXPECT_EQ(sb.led(false), "0");
    EXPECT_EQ(d.count("connect success"), 1u);
}

TEST_F(Link, RefusedLoginIsRepeatedEveryFiveSecondsWithoutDrop)
{
    startAndAccept();
    int64_t t1 = login(1);
    int64_t t2 = login(1);
    int64_t t3 = login(1);
    EXPECT_NEAR(t2 - t1, 5000, 1200);
    EXPECT_NEAR(t3 - t2, 5000, 1200);
    // Never online, so never a heartbeat, and the refusals kept it alive.
    EXPECT_EQ(d.count("online success"), 0u);
    EXPECT_EQ(d.count("heartbeat ["), 0u);
    EXPECT_EQ(d.count("lost server"), 0u);
    EXPECT_TRUE(srv.connected());
}

TEST_F(Link, SilentServerGetsThreeHeartbeatsThenLinkDropsAndReconnects)
{
    startAndAccept();
    int64_t tOk = login(0, true);
    ASSERT_TRUE(d.waitFor("[TCP]:online success \r\n", 2000));
    int64_t want = 3000;
    for (int i = 0; i < 3; i++, want += 3000) {
        Bytes hb = srv.recvCmd(0x01, 5000);
        ASSERT_EQ(th::Hex(hb), "01 01") << "heartbeat " << i;
        EXPECT_NEAR(th::NowMs() - tOk, want, 1100) << "heartbeat " << i;
    }
    // Nothing to reconnect to once it drops, so the LEDs can be seen.
    srv.stopListening();
    ASSERT_TRUE(srv.peerClosed(3000));
    EXPECT_NEAR(th::NowMs() - tOk, 10000, 1200);
    EXPECT_TRUE(d.waitFor("[TCP]:lost server, lastCommunicate:", 1000));
    // The limit to the second: the last data came early in a second, so the
    // drop 10 s later falls in the second 10 further on, and 11 s would not.
    int last = 0, now = 0;
    std::string log = d.log();
    size_t at0 = log.find("[TCP]:lost server, lastCommunicate:");
    ASSERT_EQ(sscanf(log.c_str() + at0, "[TCP]:lost server, lastCommunicate:%d [%d]", &last, &now), 2);
    EXPECT_EQ(now - last, 10);
    // Lost: data LED off, online LED on.
    EXPECT_TRUE(WaitLed(sb, false, "1", 1000));
    EXPECT_TRUE(WaitLed(sb, true, "0", 1000));
    // The previous attempt was over 10 s ago: the next comes at once.
    size_t at = d.log().find("lost server");
    EXPECT_TRUE(d.waitFor("[TCP]:connect fail \r\n", 1500, at));
}

TEST_F(Link, RefusedHeartbeatSendsAdapterBackToLogin)
{
    startAndAccept();
    int64_t tReq = login(0);
    ASSERT_TRUE(d.waitFor("[TCP]:online success \r\n", 2000));
    ASSERT_EQ(th::Hex(srv.recvCmd(0x01, 6000)), "01 01");
    srv.send(B({0x01, 0x01, 0x02}));
    ASSERT_TRUE(d.waitFor("[TCP]:adapter heartbeat fail, errorCode:2\r\n", 2000));
    // The next message is an online request, 5 s after the previous one.
    Bytes next = srv.recv(4000);
    ASSERT_EQ(next, kOnlineABC12);
    EXPECT_NEAR(th::NowMs() - tReq, 5000, 1200);
    srv.send(th::OnlineResult(0));
    EXPECT_TRUE(d.waitFor("[TCP]:online success \r\n", 2000, d.log().find("heartbeat fail")));
    EXPECT_EQ(d.count("lost server"), 0u);
}

TEST_F(Link, RefusedConnectionFailsPromptlyAndRetriesTenSecondsLater)
{
    srv.stopListening();  // nothing listens on the port any more
    int64_t t0 = th::NowMs();
    d.start(sb, srv.port());
    ASSERT_TRUE(d.waitFor("[TCP]:connect fail \r\n", 3000));
    int64_t tFail = th::NowMs();
    EXPECT_LT(tFail - t0, 2000);  // refused at once, not after the wait
    EXPECT_TRUE(d.waitFor("fail in TCP_Connect, line:172\r\n", 100));
    size_t after = d.logSize();
    ASSERT_TRUE(d.waitFor("[TCP]:connect fail \r\n", 13000, after));
    EXPECT_NEAR(th::NowMs() - tFail, 10000, 1200);
    EXPECT_EQ(d.count("connect fail"), 2u);
    // Never connected: resting pattern.
    EXPECT_EQ(sb.led(false), "1");
    EXPECT_EQ(sb.led(true), "0");
}

// The first server refuses: the next attempt, 10 s on, goes to the backup.
// Once the backup time (shortened here) has passed, the backup's next drop
// sends the attempt after it to the first again.
TEST_F(Link, RefusingFirstServerHandsOverToTheBackupAndBackAtItsDrop)
{
    uint16_t first = srv.port();
    srv.stopListening();
    th::Server backup;
    const std::string a = "127.0.0.1:" + std::to_string(first), b = "127.0.0.1:" + std::to_string(backup.port());
    CloseOnExecAll();
    d.start(sb, 0, {{"ADAPTER_BACKUP_S", "1"}}, {th::SandboxBin(), "--server", a, "--server", b});
    ASSERT_TRUE(d.waitFor("[TCP]:connect fail \r\n", 3000));
    EXPECT_TRUE(d.waitFor("[TCP]:server " + b + " in use from the next connection, could not reach " + a + "\r\n", 1000));
    ASSERT_TRUE(backup.accept(12000));
    EXPECT_EQ(backup.recvCmd(0x00, 7000), kOnlineABC12);
    backup.send(th::OnlineResult(0));
    EXPECT_TRUE(sb.waitFileHas(kStatus, "\"server\": \"" + b + "\",\n  \"address\": \"" + b + "\"", 3000))
        << sb.readFile(kStatus);
    th::Server again("127.0.0.1", first);
    ASSERT_EQ(again.port(), first);
    backup.closeClient();
    EXPECT_TRUE(d.waitFor("[TCP]:server " + a + " in use from the next connection, back from the backup " + b + "\r\n",
                          3000));
    ASSERT_TRUE(again.accept(12000));
    EXPECT_TRUE(sb.waitFileHas(kStatus, "\"server\": \"" + a + "\",\n  \"address\": \"" + a + "\"", 3000));
    EXPECT_EQ(d.count("could not reach"), 1u);
}

// A server on ::1 alone, by its address; then, through a private
// /etc/hosts (a mount namespace: the machine's file is never touched), a
// name with ::1 only and a name whose first address (127.0.0.1) refuses
// while its second answers, within the same attempt.
TEST_F(Link, ReachesTheServerOverIpv6AndAtAnyAddressOfAName)
{
    srv.stopListening();
    th::Server v6("::1");
    ASSERT_NE(v6.port(), 0);
    const std::string p6 = std::to_string(v6.port());
    CloseOnExecAll();
    d.start(sb, 0, {}, {th::SandboxBin(), "--server", "[::1]:" + p6});
    ASSERT_TRUE(v6.accept(5000));
    EXPECT_TRUE(sb.waitFileHas(kStatus, "\"server\": \"[::1]:" + p6 + "\",\n  \"address\": \"[::1]:" + p6 + "\"", 3000))
        << sb.readFile(kStatus);
    d.signal(SIGTERM);
    ASSERT_EQ(d.waitExit(8000), 0);
    v6.closeClient();
#ifdef ADAPTER_EMULATOR
    GTEST_SKIP() << "names through a private /etc/hosts: native builds only";
#endif
    if (geteuid() != 0 || system("unshare -m true 2>/dev/null") != 0)
        GTEST_SKIP() << "names: no mount namespace for a private /etc/hosts (needs root and unshare -m)";
    sb.writeFile("/hosts", "::1 v6only.test\n127.0.0.1 two.test\n127.0.0.2 two.test\n");
    th::Server second("127.0.0.2");
    const std::string p2 = std::to_string(second.port());
    const struct {
        std::string entry;
        th::Server *srv;
        std::string address;
    } names[] = {{"v6only.test:" + p6, &v6, "[::1]:" + p6}, {"two.test:" + p2, &second, "127.0.0.2:" + p2}};
    for (const auto &n : names) {
        th::Daemon dn;
        dn.start(sb, 0, {},
                 {"/usr/bin/unshare", "-m", "/bin/sh", "-c", "mount --bind \"$0\" /etc/hosts && exec \"$@\"",
                  sb.path("/hosts"), th::SandboxBin(), "--server", n.entry});
        ASSERT_TRUE(n.srv->accept(5000)) << dn.log();
        EXPECT_TRUE(sb.waitFileHas(kStatus, "\"server\": \"" + n.entry + "\",\n  \"address\": \"" + n.address + "\"",
                                   3000))
            << sb.readFile(kStatus);
        EXPECT_EQ(dn.count("connect fail"), 0u) << dn.log();
        dn.signal(SIGTERM);
        EXPECT_EQ(dn.waitExit(8000), 0);
        n.srv->closeClient();
    }
    // A name server that never answers holds the attempt, not the exit.
    int dns = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in ns = {};
    ns.sin_family = AF_INET;
    ns.sin_port = htons(53);
    inet_pton(AF_INET, "127.0.0.9", &ns.sin_addr);
    if (bind(dns, (struct sockaddr *)&ns, sizeof ns) != 0) {
        close(dns);
        GTEST_SKIP() << "slow resolver: port 53 on 127.0.0.9 is taken";
    }
    sb.writeFile("/resolv.conf", "nameserver 127.0.0.9\noptions timeout:30 attempts:1\n");
    th::Daemon dn;
    dn.start(sb, 0, {},
             {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
              "mount --bind \"$0\" /etc/hosts && mount --bind \"$1\" /etc/resolv.conf && shift && exec \"$@\"",
              sb.path("/hosts"), sb.path("/resolv.conf"), th::SandboxBin(), "--server", "slow.test"});
    struct pollfd q = {dns, POLLIN, 0};
    EXPECT_EQ(poll(&q, 1, 5000), 1) << dn.log();  // the question is out
    dn.signal(SIGTERM);
    EXPECT_EQ(dn.waitExit(6000), 0) << dn.log();
    close(dns);
}

// A first byte that is not the version begins no message: nothing after it
// can be cut, so the link is dropped and made again, later each time the
// server does it again; the wait the line names counts from the fault,
// however long the connection had been up.
TEST_F(Link, WrongVersionIsAFramingFaultThatDropsTheLinkAndBacksOff)
{
    startAndAccept();
    login(0);
    ASSERT_TRUE(d.waitFor("[TCP]:online success \r\n", 2000));
    ASSERT_EQ(th::Hex(srv.recvCmd(0x01, 5000)), "01 01");
    srv.send(th::HeartbeatResult(0));
    ASSERT_EQ(th::Hex(srv.recvCmd(0x01, 5000)), "01 01");
    srv.send(B({0x02, 0x01, 0x00, 0x01, 0x42}));
    int64_t tFault = th::NowMs();
    EXPECT_TRUE(srv.peerClosed(3000));
    // Each line on its own: another thread's line may come between them.
    EXPECT_TRUE(d.waitFor("fail in tcpProcessRecved, line:201\r\n", 1000));
    EXPECT_TRUE(d.waitFor("[TCP]:framing fault (not version 1): 02 01 00 01 42; link dropped, next connection in 10 s\r\n",
                          1000));
    ASSERT_TRUE(srv.accept(12000));
    EXPECT_GE(th::NowMs() - tFault, 9000);
    srv.send(B({0x01, 0x55, 0x00}));
    EXPECT_TRUE(srv.peerClosed(3000));
    EXPECT_TRUE(d.waitFor("[TCP]:framing fault (unknown command): 01 55 00; link dropped, next connection in 20 s\r\n",
                          1000));
}

TEST_F(Link, WallClockStepBackDropsAndReconnectsAtOnce)
{
    std::map<std::string, std::string> env = faketimeEnv(true);
    if (env.empty())
        GTEST_SKIP() << "libfaketime not installed";
    startAndAccept(env);
    login(0);
    ASSERT_TRUE(d.waitFor("[TCP]:online success \r\n", 2000));
    sb.writeFile("/faketime", "-3600\n");
    int64_t tStep = th::NowMs();
    // The link thread's next wake (the heartbeat due 3 s after the login,
    // not the 10 s silence limit) sees an hour gone and drops the link as
    // lost; the attempt timer sees an hour too, so a new attempt follows.
    ASSERT_TRUE(srv.peerClosed(7000));
    EXPECT_TRUE(d.waitFor("[TCP]:lost server, lastCommunicate:", 1000));
    ASSERT_TRUE(srv.accept(6000));
    EXPECT_LT(th::NowMs() - tStep, 8000);
    EXPECT_TRUE(d.waitFor("[TCP]:connect success \r\n", 2000, d.log().find("lost server")));
}

// A run of framing faults is forgiven only after 5 minutes online, timed
// from when the link came online: not at the first heartbeat of a new
// login, and not never. The clock steps under faketime (the monotonic one
// too, which times the 5 minutes).
TEST_F(Link, FramingFaultRunIsForgivenOnlyAfterFiveMinutesOnline)
{
    std::map<std::string, std::string> env = faketimeEnv(false);
    if (env.empty())
        GTEST_SKIP() << "libfaketime not installed";
    startAndAccept(env);
    const Bytes junk = {0x01, 0x55, 0x00};
    auto fault = [&](const char *wait) {
        size_t mark = d.logSize();
        srv.send(junk);
        EXPECT_TRUE(srv.peerClosed(3000));
        EXPECT_TRUE(d.waitFor(std::string("link dropped, next connection in ") + wait + " s\r\n", 2000, mark))
            << d.log().substr(mark);
    };
    login(0);
    fault("10");
    ASSERT_TRUE(srv.accept(12000));
    login(0);
    ASSERT_EQ(th::Hex(srv.recvCmd(0x01, 5000)), "01 01");  // a heartbeat forgives nothing yet
    fault("20");
    ASSERT_TRUE(srv.accept(22000));
    login(0);
    // Just after a heartbeat, so that the junk comes before the link's next
    // look at the step, which would find the server silent.
    ASSERT_EQ(th::Hex(srv.recvCmd(0x01, 5000)), "01 01");
    sb.writeFile("/faketime", "+301\n");
    fault("10");
}

// Options over the environment, then the state file through a login,
// traffic, a long heartbeat, a drop and a reconnect, a request with hostile
// text, and an orderly end on SIGHUP.
TEST_F(Link, StateFileFollowsTheLinkWithOptionsAndLongHeartbeat)
{
    th::Pty port;
    port.linkAs(sb, "/dev/ttyS0");
    uint16_t p = srv.port();
    startAndAccept({{"ADAPTER_SERVER_PORT", std::to_string(th::FreePort())}, {"ADAPTER_SERVER_HOST", "x.invalid"}},
                   {"--server", "127.0.0.1", "--port", std::to_string(p), "--heartbeat", "30"});
    login(0);
    ASSERT_TRUE(sb.waitFileHas(kStatus, "\"state\": \"online\"", 3000));
    std::string st = sb.readFile(kStatus);
    for (const std::string &want : std::vector<std::string>{"\"connects\": 1,", "\"logins\": 1,", "\"server\": \"127.0.0.1:" + std::to_string(p),
                                    "\"pid\": " + std::to_string(d.pid()) + "\n", "\"last_request\": null"})
        EXPECT_NE(st.find(want), std::string::npos) << want << "\n" << st;

    // Payload both ways, written within 10 s with no signal; the data's
    // settings (9600 baud, odd parity) are the port's now.
    port.write(B("abc"));
    EXPECT_EQ(srv.recvCmd(0x40, 3000), B({0x01, 0x40, 0, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 'c'}));
    srv.send(th::DataMsg(3, 1, 0, 1, B("hello")));
    int64_t tData = th::NowMs();
    EXPECT_EQ(port.read(5, 3000), B("hello"));
    // The hold empties after the reopen: the last of these changes.
    ASSERT_TRUE(sb.waitFileHas(
        kStatus, "\"held_bytes\": 0,\n  \"serial\": {\"baud\": 9600, \"databits\": 8, \"parity\": \"odd\", \"stopbits\": 1, \"state\": \"open\", \"since\": ", 13000))
        << sb.readFile(kStatus);
    st = sb.readFile(kStatus);
    for (const char *want : {"\"bytes_up\": 3,", "\"bytes_down\": 5,", "\"msgs_up\": 1,", "\"msgs_down\": 1,"})
        EXPECT_NE(st.find(want), std::string::npos) << want << "\n" << st;

    // Heartbeat 30 s after the server's last data, none before; the link
    // stays up past the default 10 s silence limit (64 s with this
    // heartbeat).
    Bytes early = srv.recv((int)(25000 - (th::NowMs() - tData)));
    EXPECT_TRUE(early.empty()) << th::Hex(early);
    ASSERT_EQ(th::Hex(srv.recvCmd(0x01, (int)(35000 - (th::NowMs() - tData)))), "01 01");
    // Refused: back to login, which is no new connection.
    srv.send(th::HeartbeatResult(1));
    login(0);
    ASSERT_TRUE(sb.waitFileHas(kStatus, "\"logins\": 2,", 3000));
    size_t mark = d.logSize();
    d.signal(SIGUSR1);
    EXPECT_TRUE(d.waitFor("[STATUS]:online since ", 3000, mark));
    EXPECT_TRUE(d.waitFor(", connects 1, logins 2, bytes up 3 down 5, msgs up 1 down 1, held 0\r\n", 1000, mark));
    EXPECT_EQ(d.count("lost server"), 0u);

    // The next attempt is due at once, so "disconnected" may pass unseen;
    // the reason stays.
    srv.closeClient();
    ASSERT_TRUE(sb.waitFileHas(kStatus, "\"last_error\": \"the server closed the connection\"", 3000));
    ASSERT_TRUE(srv.accept(12000));
    login(0);
    ASSERT_TRUE(sb.waitFileHas(kStatus, "\"logins\": 3,", 3000));
    EXPECT_NE(sb.readFile(kStatus).find("\"connects\": 2,"), std::string::npos);

    // An identity request with a quote, a backslash, a control byte, a
    // stray UTF-8 byte and an overlong sequence (E0 82 80, a disguised
    // U+0080): refused, and the state file stays valid JSON without the
    // pairing code.
    Bytes req = {0x01, 0x42, 'a', '"', '\\', 0x01, 0xff, 0xe0, 0x82, 0x80, 'b', 0, 0, 0, '7', '6', '5', '4', '3', '2', '1', 0};
    srv.send(req);
    ASSERT_TRUE(sb.waitFileHas(kStatus, "\"target\": \"a\\\"\\\\\\u0001\\ufffd\\ufffd\\ufffd\\ufffdb\", \"path\": null, \"result\": \"failed\"", 3000))
        << sb.readFile(kStatus);
    EXPECT_EQ(sb.readFile(kStatus).find("7654321"), std::string::npos);
    EXPECT_TRUE(th::JsonValid(sb.path(kStatus)));

    d.signal(SIGHUP);
    EXPECT_EQ(d.waitExit(7000), 0);
    EXPECT_NE(sb.readFile(kStatus).find("\"state\": \"stopped\""), std::string::npos);
}

// Occurrences of needle in the daemon's log after mark.
size_t CountAfter(const th::Daemon &d, const std::string &needle, size_t mark)
{
    std::string log = d.log().substr(mark);
    size_t n = 0;
    for (size_t p = log.find(needle); p != std::string::npos; p = log.find(needle, p + 1))
        n++;
    return n;
}

// Renames onto the state file seen by an inotify watch since the last call.
class StateWrites {
public:
    explicit StateWrites(const std::string &dir)
    {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        inotify_add_watch(fd_, dir.c_str(), IN_MOVED_TO);
    }
    ~StateWrites() { close(fd_); }
    size_t take()
    {
        size_t n = 0;
        alignas(struct inotify_event) char buf[4096];
        for (ssize_t got; (got = read(fd_, buf, sizeof buf)) > 0;) {
            for (char *p = buf; p < buf + got;) {
                struct inotify_event *e = (struct inotify_event *)p;
                if (e->len > 0 && strcmp(e->name, "status.json") == 0)
                    n++;
                p += sizeof *e + e->len;
            }
        }
        return n;
    }

private:
    int fd_ = -1;
};

// At "changes" (the package's level): a server that floods results nobody
// asked for, reconnects, heartbeats refused again and again, and a storm of
// SIGUSR1 neither flood the log nor rewrite the state file more than once
// a second.
TEST_F(Link, FloodsReconnectsRefusalsAndSignalsNeitherFloodTheLogNorTheStateFile)
{
    startAndAccept({{"ADAPTER_LOG", "changes"}});
    login(0);
    ASSERT_TRUE(sb.waitFileHas(kStatus, "\"state\": \"online\"", 3000));
    StateWrites writes(sb.path("/var/run/adapterd"));
    size_t mark = d.logSize();
    Bytes flood;
    for (int i = 0; i < 400; i++)
        flood.insert(flood.end(), {1, 0x81, 1});
    for (int i = 0; i < 400; i++)
        flood.insert(flood.end(), {1, 0x80, 0});
    for (int64_t end = th::NowMs() + 4000; th::NowMs() < end;) {
        ASSERT_TRUE(srv.send(flood));
        usleep(10 * 1000);
    }
    usleep(500 * 1000);
    std::string log = d.log().substr(mark);
    EXPECT_LE(std::count(log.begin(), log.end(), '\n'), 3) << log;
    EXPECT_LE(writes.take(), 1u);
    EXPECT_NE(sb.readFile(kStatus).find("\"logins\": 1,"), std::string::npos);

    // Reconnects: the first one's lines, then none.
    for (int i = 0; i < 2; i++) {
        srv.closeClient();
        ASSERT_TRUE(srv.accept(12000));
        login(0);
        ASSERT_EQ(th::Hex(srv.recvCmd(0x01, 5000)), "01 01");
        srv.send(th::HeartbeatResult(0));
    }
    EXPECT_EQ(CountAfter(d, "[TCP]:tcp recv data, update lastCommunicate: ", mark), 1u) << d.log().substr(mark);

    // Every heartbeat refused: its line once, then counted.
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(th::Hex(srv.recvCmd(0x01, 5000)), "01 01");
        srv.send(th::HeartbeatResult(1));
        login(0);
    }
    EXPECT_EQ(CountAfter(d, "[TCP]:adapter heartbeat fail, errorCode:1\r\n", mark), 1u) << d.log().substr(mark);

    // A signal storm: a summary line and a write a second at most.
    usleep(1100 * 1000);
    writes.take();
    mark = d.logSize();
    int64_t t0 = th::NowMs();
    for (int i = 0; i < 200; i++) {
        d.signal(SIGUSR1);
        usleep(5 * 1000);
    }
    usleep(1500 * 1000);
    int64_t seconds = (th::NowMs() - t0 + 999) / 1000;
    EXPECT_GE(CountAfter(d, "[STATUS]:online since ", mark), 1u);
    EXPECT_LE(CountAfter(d, "[STATUS]:online since ", mark), (size_t)seconds + 1) << d.log().substr(mark);
    EXPECT_LE(writes.take(), (size_t)seconds + 1);
    EXPECT_EQ(d.count("lost server"), 0u);
}

// The operator's simulator, driven through its standard input.
class SimProc {
public:
    explicit SimProc(uint16_t port)
    {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return;
        std::string portStr = std::to_string(port);
        const char *path = th::ToolPath("adapter-sim");
        std::string bin = path;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            close(in[1]);
            close(out[0]);
            execl(bin.c_str(), "adapter-sim", "--port", portStr.c_str(), "--exit-on-eof", (char *)nullptr);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        toSim_ = in[1];
        fromSim_ = out[0];
    }
    ~SimProc()
    {
        if (toSim_ >= 0)
            close(toSim_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fromSim_ >= 0)
            close(fromSim_);
    }
    void cmd(const std::string &line)
    {
        std::string l = line + "\n";
        ssize_t n = write(toSim_, l.data(), l.size());
        (void)n;
    }
    // Reads the simulator's output until it contains needle.
    bool waitFor(const std::string &needle, int timeoutMs)
    {
        int64_t deadline = th::NowMs() + timeoutMs;
        while (out_.find(needle) == std::string::npos) {
            int left = (int)(deadline - th::NowMs());
            struct pollfd p = {fromSim_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0)
                return false;
            char buf[1024];
            ssize_t n = read(fromSim_, buf, sizeof buf);
            if (n <= 0)
                return false;
            out_.append(buf, (size_t)n);
        }
        return true;
    }
    const std::string &out() const { return out_; }
    // Closes its stdin; with --exit-on-eof it ends. Exit status or -1.
    int closeInputAndWait(int timeoutMs)
    {
        close(toSim_);
        toSim_ = -1;
        int64_t deadline = th::NowMs() + timeoutMs;
        while (th::NowMs() < deadline) {
            int st;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : -2;
            }
            usleep(20 * 1000);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int toSim_ = -1;
    int fromSim_ = -1;
    std::string out_;
};

TEST(LinkSim, SimulatorLogsInRelaysRequestsAndDecodesResponses)
{
    th::Sandbox sb;
    sb.writeIdentity("ABC", "12");
    uint16_t port = th::FreePort();
    SimProc sim(port);
    ASSERT_TRUE(sim.waitFor("listening on 127.0.0.1:" + std::to_string(port), 3000)) << sim.out();
    th::Daemon d;
    d.start(sb, port);
    ASSERT_TRUE(sim.waitFor("online request: verCode 1 verName \"1.1\" serialNum \"ABC\" pairCode \"12\"", 5000))
        << sim.out();
    ASSERT_TRUE(d.waitFor("[TCP]:online success \r\n", 2000));
    // Nothing listens on the adapter's FTP port: accepted, then failed.
    sim.cmd("upgrade 127.0.0.1 user pass /pkg.tar");
    ASSERT_TRUE(sim.waitFor("upgrade response: 07 failed", 5000)) << sim.out();
    EXPECT_NE(sim.out().find("upgrade response: 06 accepted"), std::string::npos);
    // What the request named and its end, never its password.
    EXPECT_TRUE(sb.waitFileHas(
        kStatus, "{\"type\": \"upgrade\", \"target\": \"127.0.0.1\", \"path\": \"/pkg.tar\", \"result\": \"failed\"", 3000));
    EXPECT_EQ(sb.readFile(kStatus).find("pass"), std::string::npos);
    sim.cmd("devinfo NEWSN 77");
    ASSERT_TRUE(sim.waitFor("devinfo response: 00 ok", 3000)) << sim.out();
    EXPECT_EQ(d.waitExit(8000), 0);
    EXPECT_NE(sb.readFile("/etc/config/device_info").find("option serialNum NEWSN"), std::string::npos);
    EXPECT_NE(sb.readFile(kStatus).find("{\"type\": \"identity\", \"target\": \"NEWSN\", \"path\": null, \"result\": \"ok\""),
              std::string::npos);
    EXPECT_EQ(sim.closeInputAndWait(3000), 0);
}

}  // namespace
