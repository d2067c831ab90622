// The link thread in-process against a scripted loopback server: dispatch,
// the management handlers with a small FTP server, bounds of request
// fields, and sends racing a dropped link.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/endpoints.h"
#include "core/globals.h"
#include "core/identity.h"
#include "link/message.h"
#include "link/tcpThread.h"
#include "serial/uartThread.h"
#include "tests/support/fsorder.h"
#include "tests/support/harness.h"

namespace {

using th::B;
using th::Bytes;

std::mutex s_cbMu;
std::vector<Bytes> s_cbMsgs;

std::atomic<bool> s_cbFull{false};  // the receiver has no room
std::atomic<bool> s_cbToHold{false}; // into the serial hold (no serial thread runs)

int32_t RecordData(const uint8_t *msg, int32_t len)
{
    if (s_cbFull.load())
        return -1;
    if (s_cbToHold.load())
        return UART_WriteData(msg, len);
    std::lock_guard<std::mutex> g(s_cbMu);
    s_cbMsgs.emplace_back(msg, msg + len);
    return 0;
}
const DataCallback s_cb = RecordData;

// Loopback listener helpers for the small FTP server.
int ListenLoopback(uint16_t *port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (struct sockaddr *)&a, sizeof a);
    listen(fd, 4);
    socklen_t len = sizeof a;
    getsockname(fd, (struct sockaddr *)&a, &len);
    *port = ntohs(a.sin_port);
    return fd;
}

bool WaitIn(int fd, int ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

// One-connection FTP server on loopback serving one file (or refusing RETR).
class MiniFtp {
public:
    MiniFtp(std::string content, bool refuse) : content_(std::move(content)), refuse_(refuse)
    {
        listen_ = ListenLoopback(&port_);
        thr_ = std::thread([this] { serve(); });
    }
    ~MiniFtp()
    {
        stop_ = true;
        thr_.join();
        close(listen_);
    }
    uint16_t port() const { return port_; }
    std::string retrPath()
    {
        std::lock_guard<std::mutex> g(mu_);
        return retr_;
    }

private:
    void reply(int c, const char *text) { ssize_t n = send(c, text, strlen(text), MSG_NOSIGNAL); (void)n; }
    bool readLine(int c, std::string *line)
    {
        line->clear();
        char ch;
        while (!stop_) {
            if (!WaitIn(c, 100))
                continue;
            if (recv(c, &ch, 1, 0) <= 0)
                return false;
            if (ch == '\n')
                return true;
            if (ch != '\r')
                *line += ch;
        }
        return false;
    }
    void serve()
    {
        while (!stop_ && !WaitIn(listen_, 100)) {
        }
        if (stop_)
            return;
        int c = accept(listen_, nullptr, nullptr);
        reply(c, "220 ready\r\n");
        int dataListen = -1;
        std::string line;
        while (readLine(c, &line)) {
            std::string verb = line.substr(0, 4);
            if (verb == "USER") {
                reply(c, "331 password\r\n");
            } else if (verb == "PASS") {
                reply(c, "230 in\r\n");
            } else if (verb == "TYPE") {
                reply(c, "200 ok\r\n");
            } else if (verb == "PASV") {
                uint16_t dp;
                dataListen = ListenLoopback(&dp);
                char r[128];
                snprintf(r, sizeof r, "227 Entering Passive Mode (127,0,0,1,%d,%d)\r\n", dp >> 8, dp & 0xff);
                reply(c, r);
            } else if (verb == "RETR") {
                {
                    std::lock_guard<std::mutex> g(mu_);
                    retr_ = line.size() > 5 ? line.substr(5) : "";
                }
                if (refuse_) {
                    reply(c, "550 no such file\r\n");
                    continue;
                }
                reply(c, "150 sending\r\n");
                if (dataListen >= 0 && WaitIn(dataListen, 3000)) {
                    int d = accept(dataListen, nullptr, nullptr);
                    ssize_t n = send(d, content_.data(), content_.size(), MSG_NOSIGNAL);
                    (void)n;
                    close(d);
                }
                usleep(100 * 1000);  // keep the final reply a separate receive
                reply(c, "226 done\r\n");
            } else if (verb == "QUIT") {
                reply(c, "221 bye\r\n");
                break;
            } else {
                reply(c, "502 no\r\n");
            }
        }
        if (dataListen >= 0)
            close(dataListen);
        close(c);
    }
    std::string content_;
    bool refuse_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thr_;
    std::mutex mu_;
    std::string retr_;
};

Bytes UpgradeReq(const std::string &url, const std::string &user, const std::string &pass,
                 const std::string &path)
{
    Bytes b(MSG_OFF_UPG_PATH, 0);
    b[0] = 1;
    b[1] = MSG_CMD_UPGRADE;
    memcpy(&b[MSG_OFF_UPG_URL], url.data(), std::min<size_t>(url.size(), MSG_UPG_URL_SIZE));
    memcpy(&b[MSG_OFF_UPG_USER], user.data(), std::min<size_t>(user.size(), MSG_UPG_USER_SIZE));
    memcpy(&b[MSG_OFF_UPG_PASS], pass.data(), std::min<size_t>(pass.size(), MSG_UPG_PASS_SIZE));
    b.insert(b.end(), path.begin(), path.end());
    b.push_back(0);  // the path's terminator ends the message
    return b;
}

Bytes DevinfoReq(const std::string &sn, const std::string &pc)
{
    Bytes b(22, 0);
    b[0] = 1;
    b[1] = MSG_CMD_DEVINFO;
    memcpy(&b[2], sn.data(), std::min<size_t>(sn.size(), 12));
    memcpy(&b[14], pc.data(), std::min<size_t>(pc.size(), 8));
    return b;
}

class LinkThread : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(EP_SetRoot(sb.root().c_str()), 0);
        pthread_mutex_init(&g_gbVar.sendMutex, nullptr);
        ASSERT_EQ(GB_ModifyDeviceInfo("ABC", "12"), 0);
        ASSERT_EQ(EP_SetServer("127.0.0.1", srv.port()), 0);
    }
    void TearDown() override { stop(); }
    void start()
    {
        ASSERT_EQ(pthread_create(&thr, nullptr, TCP_Thread, (void *)&s_cb), 0);
        running = true;
        ASSERT_TRUE(srv.accept(3000));
        int64_t deadline = th::NowMs() + 2000;
        while (TCP_IsConnectServer() == 0 && th::NowMs() < deadline)
            usleep(5 * 1000);
        EXPECT_EQ(TCP_IsConnectServer(), 1);
    }
    void stop()
    {
        if (!running)
            return;
        GB_SetEvent(GB_EVENT_EXIT);
        pthread_join(thr, nullptr);
        running = false;
    }
    // Gathers n bytes of the adapter's responses (0xC1/0xC2), skipping its
    // own requests; messages may share a receive, so split them by length.
    Bytes recvN(size_t n, int timeoutMs)
    {
        Bytes all;
        int64_t deadline = th::NowMs() + timeoutMs;
        while (all.size() < n) {
            int left = (int)(deadline - th::NowMs());
            if (left <= 0)
                break;
            Bytes m = srv.recv(left);
            if (m.empty() && !srv.connected())
                break;
            pending.insert(pending.end(), m.begin(), m.end());
            while (pending.size() >= 2) {
                size_t len = pending[1] == MSG_CMD_ONLINE ? MSG_ONLINE_LEN
                             : pending[1] == MSG_CMD_HEARTBEAT ? MSG_HEARTBEAT_LEN
                                                               : MSG_RESULT_LEN;
                if (pending.size() < len)
                    break;
                if (len == MSG_RESULT_LEN)
                    all.insert(all.end(), pending.begin(), pending.begin() + len);
                pending.erase(pending.begin(), pending.begin() + len);
            }
        }
        return all;
    }
    Bytes pending;
    th::Sandbox sb;
    th::Server srv;
    pthread_t thr{};
    bool running = false;
};

TEST(Dispatch, EmptyAndWrongVersionMessages)
{
    uint8_t buf[MSG_MAX_LEN] = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(tcpProcessRecved(buf, 0), -1);
    EXPECT_EQ(tcpProcessRecved(buf, -1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    buf[0] = 2;
    buf[1] = MSG_CMD_ONLINE;
    testing::internal::CaptureStdout();
    EXPECT_EQ(tcpProcessRecved(buf, 3), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[TCP]:tcp recv data, update lastCommunicate: "), std::string::npos);
    EXPECT_NE(out.find("fail in tcpProcessRecved, line:201\r\n"), std::string::npos);

    // Unknown command, and data without a callback: ignored quietly.
    uint8_t other[2] = {1, 0x33};
    EXPECT_EQ(tcpProcessRecved(other, 2), 0);
    uint8_t data[11] = {1, 0x40, 7, 1, 0, 0, 1, 0, 0, 0, 'x'};
    EXPECT_EQ(tcpProcessRecved(data, 11), 0);
    EXPECT_EQ(TCP_IsConnectServer(), 0);
}

TEST_F(LinkThread, OnlineRequestThenDataReachesCallbackWhole)
{
    start();
    Bytes req = srv.recvCmd(MSG_CMD_ONLINE, 3000);
    uint8_t want[MSG_ONLINE_LEN];
    tcpBuildOnlineRequest(want);
    ASSERT_EQ(req, Bytes(want, want + MSG_ONLINE_LEN));
    srv.send(th::OnlineResult(0));
    usleep(200 * 1000);  // one receive is one message: keep them apart
    Bytes d = th::DataMsg(7, 1, 0, 0, B("hello"));
    srv.send(d);
    int64_t deadline = th::NowMs() + 3000;
    for (;;) {
        {
            std::lock_guard<std::mutex> g(s_cbMu);
            if (!s_cbMsgs.empty())
                break;
        }
        ASSERT_LT(th::NowMs(), deadline);
        usleep(10 * 1000);
    }
    std::lock_guard<std::mutex> g(s_cbMu);
    ASSERT_EQ(s_cbMsgs.size(), 1u);
    EXPECT_EQ(s_cbMsgs[0], d);
}

// While the receiver has no room the link keeps the message and reads no
// more; data waiting unread is a sign of life, so there is no drop however
// long it waits, and the server still hears heartbeats at their interval.
// Once there is room, every message is handed on whole and in order.
TEST_F(LinkThread, FullReceiverHoldsTheServerBackAndKeepsTheLink)
{
    start();
    ASSERT_FALSE(srv.recvCmd(MSG_CMD_ONLINE, 3000).empty());
    srv.send(th::OnlineResult(0));
    s_cbFull = true;
    Bytes all;
    std::vector<Bytes> want;
    for (int i = 0; i < 40; i++) {
        want.push_back(th::DataMsg(7, 1, 0, 0, Bytes(1000, (uint8_t)i)));
        all.insert(all.end(), want.back().begin(), want.back().end());
    }
    srv.send(all);
    Bytes heard;
    for (int64_t end = th::NowMs() + 12000; th::NowMs() < end;) {
        Bytes got = srv.recv(500);
        heard.insert(heard.end(), got.begin(), got.end());
    }
    EXPECT_GE(heard.size(), 6u);  // three heartbeats or four
    EXPECT_LE(heard.size(), 8u);
    for (size_t i = 0; i + 1 < heard.size(); i += 2)
        EXPECT_EQ(th::Hex(Bytes(heard.begin() + i, heard.begin() + i + 2)), "01 01");
    EXPECT_TRUE(srv.connected());
    s_cbFull = false;
    uint64_t one = 1;
    ASSERT_EQ(write(GB_RoomFd(), &one, sizeof one), (ssize_t)sizeof one);
    int64_t deadline = th::NowMs() + 3000;
    while (th::NowMs() < deadline && [] { std::lock_guard<std::mutex> g(s_cbMu); return s_cbMsgs.size(); }() < 40)
        usleep(10 * 1000);
    std::lock_guard<std::mutex> g(s_cbMu);
    EXPECT_EQ(s_cbMsgs, want);
}

TEST_F(LinkThread, IdentityChangeAnswersThenEndsWithResponseDelivered)
{
    start();
    srv.send(DevinfoReq("XYZ123", "9876"));
    EXPECT_EQ(th::Hex(recvN(3, 3000)), "01 c2 00");
    // The thread ends on its own and closes the link after the response.
    EXPECT_TRUE(srv.peerClosed(3000));
    pthread_join(thr, nullptr);
    running = false;
    EXPECT_TRUE(GB_TestEvent(GB_EVENT_EXIT));
    char sn[GB_SERIALNUM_SIZE], pc[GB_PAIRCODE_SIZE];
    GB_GetDeviceInfo(sn, pc);
    EXPECT_STREQ(sn, "XYZ123");
    EXPECT_STREQ(pc, "9876");
    EXPECT_NE(sb.readFile("/etc/config/device_info").find("option serialNum XYZ123"), std::string::npos);
}

TEST_F(LinkThread, IdentityChangeWithoutSerialNumberIsRefused)
{
    start();
    srv.send(DevinfoReq("", ""));
    EXPECT_EQ(th::Hex(recvN(3, 3000)), "01 c2 01");
    srv.send(DevinfoReq("", "55"));
    EXPECT_EQ(th::Hex(recvN(3, 3000)), "01 c2 01");
    EXPECT_FALSE(GB_TestEvent(GB_EVENT_EXIT));
    char sn[GB_SERIALNUM_SIZE], pc[GB_PAIRCODE_SIZE];
    GB_GetDeviceInfo(sn, pc);
    EXPECT_STREQ(sn, "ABC");
    EXPECT_STREQ(pc, "12");
}

// A field full to its width has no room for its terminator: the value is
// longer than the identity holds and is refused, never stored cut.
TEST_F(LinkThread, IdentityFieldsLongerThanTheirWidthAreRefused)
{
    start();
    srv.send(DevinfoReq("SSSSSSSSSSSS", "12"));
    EXPECT_EQ(th::Hex(recvN(3, 3000)), "01 c2 01");
    srv.send(DevinfoReq("SN1", "PPPPPPPP"));
    EXPECT_EQ(th::Hex(recvN(3, 3000)), "01 c2 01");
    EXPECT_FALSE(GB_TestEvent(GB_EVENT_EXIT));
    char sn[GB_SERIALNUM_SIZE], pc[GB_PAIRCODE_SIZE];
    GB_GetDeviceInfo(sn, pc);
    EXPECT_STREQ(sn, "ABC");
    EXPECT_STREQ(pc, "12");
}

TEST_F(LinkThread, UpgradeStoresPackageByRenameAndEnds)
{
    sb.writeFile("/usr/bin/zov/zovClient.tar", "old package");
    std::string content(5000, 'z');
    content += "end";
    MiniFtp ftp(content, false);
    EP_SetFtpPort(ftp.port());
    start();
    testing::internal::CaptureStdout();
    srv.send(UpgradeReq("127.0.0.1", "user", "secret", "/dir/new.tar"));
    EXPECT_EQ(th::Hex(recvN(6, 10000)), "01 c1 06 01 c1 00");
    EXPECT_TRUE(srv.peerClosed(3000));
    pthread_join(thr, nullptr);
    running = false;
    std::string out = testing::internal::GetCapturedStdout();
    // The password never reaches the log.
    EXPECT_NE(out.find("[TCP]: upgrade url:127.0.0.1, user:user, pass:***, path:/dir/new.tar \r\n"),
              std::string::npos);
    EXPECT_EQ(out.find("secret"), std::string::npos);
    EXPECT_NE(out.find("[TCP]: upgrade success, file size:5003\r\n"), std::string::npos);
    EXPECT_NE(out.find("[TCP]: upgrade errorCode: 0\r\n"), std::string::npos);
    // In this order: the staging file is made only once RETR is accepted.
    size_t at = 0;
    for (const char *line : {"\xA1\xBE" "FTP\xA1\xBF:ftpPasvConnect d_sock=", "\xA1\xBE" "FTP\xA1\xBF:ftpSendcmd RETR result=150 \r\n",
                             "\xA1\xBE" "FTP\xA1\xBF:open ", "\xA1\xBE" "FTP\xA1\xBF:Quit ------------ \r\n"}) {
        at = out.find(line, at);
        EXPECT_NE(at, std::string::npos) << line;
    }
    EXPECT_TRUE(GB_TestEvent(GB_EVENT_EXIT));
    EXPECT_EQ(ftp.retrPath(), "/dir/new.tar");
    EXPECT_EQ(sb.readFile("/usr/bin/zov/zovClient.tar"), content);
    EXPECT_FALSE(sb.exists("/usr/bin/zov/zovClient.tar.download"));
    // Data on the disk before the name: a power cut never leaves a
    // complete-looking but short package.
    EXPECT_TRUE(th::SyncedBeforeRename("/usr/bin/zov/zovClient.tar.download", "/usr/bin/zov/zovClient.tar"));
}

TEST_F(LinkThread, RefusedRetrKeepsEarlierPackageAndLeavesNoPart)
{
    sb.writeFile("/usr/bin/zov/zovClient.tar", "old package");
    MiniFtp ftp("", true);
    EP_SetFtpPort(ftp.port());
    start();
    srv.send(UpgradeReq("127.0.0.1", "u", "p", "/missing.tar"));
    EXPECT_EQ(th::Hex(recvN(6, 10000)), "01 c1 06 01 c1 07");
    EXPECT_FALSE(GB_TestEvent(GB_EVENT_EXIT));
    EXPECT_EQ(sb.readFile("/usr/bin/zov/zovClient.tar"), "old package");
    EXPECT_FALSE(sb.exists("/usr/bin/zov/zovClient.tar.download"));
}

TEST_F(LinkThread, UpgradeFieldsAreBoundedAndShortRequestIsEmpty)
{
    sb.writeFile("/usr/bin/zov/zovClient.tar", "old package");
    EP_SetFtpPort(th::FreePort());  // nothing listens: every download fails
    start();
    testing::internal::CaptureStdout();
    // Every field empty.
    srv.send(UpgradeReq("", "", "", ""));
    EXPECT_EQ(th::Hex(recvN(6, 5000)), "01 c1 06 01 c1 07");
    // Every field full to its width without terminator, and a path filling
    // the largest message: refused without a connection, never cut.
    Bytes big(MSG_MAX_LEN, 'x');
    big.back() = 0;
    big[0] = 1;
    big[1] = MSG_CMD_UPGRADE;
    for (int i = MSG_OFF_UPG_URL; i < MSG_OFF_UPG_USER; i++)
        big[i] = 'u';
    for (int i = MSG_OFF_UPG_USER; i < MSG_OFF_UPG_PASS; i++)
        big[i] = 'n';
    for (int i = MSG_OFF_UPG_PASS; i < MSG_OFF_UPG_PATH; i++)
        big[i] = 'p';
    srv.send(big);
    EXPECT_EQ(th::Hex(recvN(6, 5000)), "01 c1 06 01 c1 07");
    stop();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(sb.readFile("/usr/bin/zov/zovClient.tar"), "old package");
    EXPECT_NE(out.find("[TCP]: upgrade url:, user:, pass:***, path: \r\n"), std::string::npos);
    std::string want = "[TCP]: upgrade url:" + std::string(31, 'u') + ", user:" + std::string(11, 'n') +
                       ", pass:***, path:" + std::string(MSG_MAX_LEN - MSG_OFF_UPG_PATH - 1, 'x') + " \r\n" +
                       "[TCP]: upgrade refused, a field is longer than it may be\r\n";
    EXPECT_NE(out.find(want), std::string::npos);
}

// Sends from another thread while the server closes the connection and
// the link thread drops the link: every message the server got is whole,
// sends after the drop go nowhere (the sanitizer builds check the hand-over
// of sock and state), and the close is noticed at once, without spinning.
TEST_F(LinkThread, SendsRacingADroppedLinkStayWholeAndClosedPeerDoesNotSpin)
{
    start();
    ASSERT_EQ(srv.recvCmd(MSG_CMD_ONLINE, 3000).size(), 31u);
    std::atomic<bool> stopSend{false};
    std::thread sender([&] {
        uint8_t m[3] = {1, 0x40, 0};
        while (!stopSend) {
            TCP_SendData(m, 3);
            usleep(1000);
        }
    });
    size_t got = 0;
    int64_t until = th::NowMs() + 300;
    while (th::NowMs() < until)
        got += srv.recv(50).size();
    EXPECT_GT(got, 0u);
    EXPECT_EQ(got % 3, 0u);

    clockid_t cpu;
    ASSERT_EQ(pthread_getcpuclockid(thr, &cpu), 0);
    struct timespec c0, c1;
    clock_gettime(cpu, &c0);
    srv.stopListening();  // no reconnection after the drop
    srv.closeClient();
    int64_t t0 = th::NowMs();
    int64_t deadline = t0 + 12000;
    while (TCP_IsConnectServer() == 1 && th::NowMs() < deadline)
        usleep(20 * 1000);
    EXPECT_EQ(TCP_IsConnectServer(), 0);
    // Not at the 10 s silence limit, which sends would keep reaching.
    EXPECT_LT(th::NowMs() - t0, 5000);
    clock_gettime(cpu, &c1);
    int64_t cpuMs = (c1.tv_sec - c0.tv_sec) * 1000 + (c1.tv_nsec - c0.tv_nsec) / 1000000;
    EXPECT_LT(cpuMs, 1000);
    usleep(100 * 1000);
    stopSend = true;
    sender.join();
}

// Results the adapter did not ask for (a server that sends 400 heartbeat
// refusals and 400 login acceptances a write) change no state: no re-login,
// no second login. A refusal of a heartbeat it sent still sends it back to
// login, and only the first of two acceptances of that login counts.
TEST_F(LinkThread, ResultsNobodyAskedForChangeNothing)
{
    testing::internal::CaptureStdout();
    start();
    ASSERT_FALSE(srv.recvCmd(MSG_CMD_ONLINE, 3000).empty());
    srv.send(th::OnlineResult(0));
    Bytes flood;
    for (int i = 0; i < 400; i++)
        flood.insert(flood.end(), {1, 0x81, 1});
    for (int i = 0; i < 400; i++)
        flood.insert(flood.end(), {1, 0x80, 0});
    Bytes d = th::DataMsg(7, 1, 0, 0, B("after"));
    flood.insert(flood.end(), d.begin(), d.end());
    srv.send(flood);
    int64_t deadline = th::NowMs() + 3000;
    while (th::NowMs() < deadline && [] { std::lock_guard<std::mutex> g(s_cbMu); return s_cbMsgs.empty(); }())
        usleep(10 * 1000);
    ASSERT_EQ(th::Hex(srv.recvCmd(MSG_CMD_HEARTBEAT, 5000)), "01 01");  // online all along
    srv.send(th::HeartbeatResult(2));
    ASSERT_FALSE(srv.recvCmd(MSG_CMD_ONLINE, 7000).empty());
    srv.send(th::OnlineResult(0));
    usleep(200 * 1000);
    srv.send(th::OnlineResult(0));
    usleep(300 * 1000);
    stop();
    std::string out = testing::internal::GetCapturedStdout();
    size_t fails = 0, logins = 0;
    for (size_t p = out.find("heartbeat fail"); p != std::string::npos; p = out.find("heartbeat fail", p + 1))
        fails++;
    for (size_t p = out.find("online success"); p != std::string::npos; p = out.find("online success", p + 1))
        logins++;
    EXPECT_EQ(fails, 1u);
    EXPECT_EQ(logins, 2u);
    EXPECT_NE(out.find("[TCP]:result nobody asked for, ignored: 01 81 01\r\n"), std::string::npos);
}

// A server that closes while the receiver is full: a request among the
// data it sent never runs (its connection's state is gone), the data still
// reaches the receiver once there is room; and what it left unread in the
// socket does not keep it alive: it is given up at the silence limit.
TEST_F(LinkThread, ClosedServersDataNeitherActsNorKeepsItAlive)
{
    EP_SetIntervals(1, 4);
    s_cbFull = true;
    start();
    ASSERT_FALSE(srv.recvCmd(MSG_CMD_ONLINE, 3000).empty());
    srv.send(th::OnlineResult(0));
    auto sendAndClose = [this](bool request) {
        Bytes all;
        for (int i = 0; i < 40; i++) {
            Bytes m = th::DataMsg(7, 1, 0, 0, Bytes(1000, (uint8_t)i));
            all.insert(all.end(), m.begin(), m.end());
            if (request && i == 0) {
                Bytes r = DevinfoReq("EVIL", "66");
                all.insert(all.end(), r.begin(), r.end());
            }
        }
        srv.send(all);
        srv.closeClient();
    };
    sendAndClose(true);
    usleep(500 * 1000);
    s_cbFull = false;
    uint64_t one = 1;
    ASSERT_EQ(write(GB_RoomFd(), &one, sizeof one), (ssize_t)sizeof one);
    int64_t deadline = th::NowMs() + 5000;
    while (th::NowMs() < deadline && [] { std::lock_guard<std::mutex> g(s_cbMu); return s_cbMsgs.size(); }() < 40)
        usleep(10 * 1000);
    EXPECT_EQ([] { std::lock_guard<std::mutex> g(s_cbMu); return s_cbMsgs.size(); }(), 40u);
    EXPECT_FALSE(GB_TestEvent(GB_EVENT_EXIT));
    char sn[GB_SERIALNUM_SIZE], pc[GB_PAIRCODE_SIZE];
    GB_GetDeviceInfo(sn, pc);
    EXPECT_STREQ(sn, "ABC");

    ASSERT_TRUE(srv.accept(12000));
    ASSERT_FALSE(srv.recvCmd(MSG_CMD_ONLINE, 3000).empty());
    srv.send(th::OnlineResult(0));
    s_cbFull = true;
    uint32_t before = TCP_GivenUp();
    sendAndClose(false);
    int64_t closed = th::NowMs();
    while (TCP_GivenUp() == before && th::NowMs() - closed < 8000)
        usleep(10 * 1000);
    EXPECT_GT(TCP_GivenUp(), before);
    EXPECT_LE(th::NowMs() - closed, 6500);
    stop();
    s_cbFull = false;
    EP_SetIntervals(3, 10);
}

// Messages a broken connection left behind (the receiver full, the server
// silent) are given up together once they have waited the silence limit
// since the break, not before and not never, and the next connection
// follows. While older messages still wait in the serial hold (no serial
// thread here to write or give them up), none of them is given up.
TEST_F(LinkThread, BrokenLinksMessagesAreGivenUpAtTheSilenceLimitAfterOlderHeldOnes)
{
    EP_SetIntervals(1, 4);
    s_cbFull = true;
    start();
    ASSERT_FALSE(srv.recvCmd(MSG_CMD_ONLINE, 3000).empty());
    srv.send(th::OnlineResult(0));
    auto sendData = [this](int n) {
        Bytes all;
        for (int i = 0; i < n; i++) {
            Bytes m = th::DataMsg(7, 1, 0, 0, Bytes(1, (uint8_t)('a' + i)));
            all.insert(all.end(), m.begin(), m.end());
        }
        srv.send(all);
    };
    auto waitDown = [] {
        for (int64_t end = th::NowMs() + 8000; TCP_IsConnectServer() == 1 && th::NowMs() < end;)
            usleep(10 * 1000);
        return TCP_IsConnectServer() == 0;
    };
    sendData(3);
    ASSERT_TRUE(waitDown());  // silent: dropped at the limit
    int64_t broke = th::NowMs();
    uint32_t before = TCP_GivenUp();
    usleep(1000 * 1000);  // room, not yet the age: the link looks at them again early
    uint64_t one = 1;
    ASSERT_EQ(write(GB_RoomFd(), &one, sizeof one), (ssize_t)sizeof one);
    while (TCP_GivenUp() == before && th::NowMs() - broke < 7000)
        usleep(10 * 1000);
    EXPECT_EQ(TCP_GivenUp() - before, 3u);
    EXPECT_GE(th::NowMs() - broke, 3500);
    EXPECT_LE(th::NowMs() - broke, 5500);
    ASSERT_TRUE(srv.accept(3000));

    s_cbFull = false;
    s_cbToHold = true;
    ASSERT_FALSE(srv.recvCmd(MSG_CMD_ONLINE, 3000).empty());
    srv.send(th::OnlineResult(0));
    sendData(10);  // eight fill the hold
    ASSERT_TRUE(waitDown());
    before = TCP_GivenUp();
    EXPECT_FALSE(srv.accept(9000));
    EXPECT_EQ(TCP_GivenUp(), before);
    EXPECT_EQ(UART_HeldMessages(), 8);
    stop();
    s_cbToHold = false;
    EP_SetIntervals(3, 10);
}

}  // namespace
