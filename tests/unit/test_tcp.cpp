// Socket layer against loopback peers: waits, buffer clearing, connect
// outcomes, signals during waits, descriptors above the select() limit,
// and sends to a closed peer.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "link/tcp.h"
#include "tests/support/harness.h"

namespace {

// A loopback listener in the test, and helpers to pair sockets through it.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    Listener()
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, (struct sockaddr *)&a, sizeof a);
        listen(fd, 4);
        socklen_t len = sizeof a;
        getsockname(fd, (struct sockaddr *)&a, &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
    int acceptOne() { return accept(fd, nullptr, nullptr); }
};

// Connected pair: *client through the layer, *server accepted here.
void Pair(Listener &l, int *client, int *server)
{
    *client = TCP_CreateSocket();
    ASSERT_GE(*client, 0);
    ASSERT_EQ(TCP_Connect(*client, "127.0.0.1", l.port, 1000), 0);
    *server = l.acceptOne();
    ASSERT_GE(*server, 0);
}

// A port on loopback where nothing listens: bound, never listening.
struct DeadPort {
    int fd;
    uint16_t port;
    DeadPort()
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, (struct sockaddr *)&a, sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, (struct sockaddr *)&a, &len);
        port = ntohs(a.sin_port);
    }
    ~DeadPort() { close(fd); }
};

// A listener whose accept queue is full: a connect to it is never
// answered, as with an address that drops everything.
struct BlackHole {
    int fd = -1;
    int filler = -1;
    uint16_t port = 0;
    BlackHole()
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, (struct sockaddr *)&a, sizeof a);
        listen(fd, 0);  // one connection fills it
        socklen_t len = sizeof a;
        getsockname(fd, (struct sockaddr *)&a, &len);
        port = ntohs(a.sin_port);
        filler = socket(AF_INET, SOCK_STREAM, 0);
        connect(filler, (struct sockaddr *)&a, sizeof a);
    }
    ~BlackHole()
    {
        close(filler);
        close(fd);
    }
};

// One attempt tries every address in order, each on a socket of its own
// family with its share of the wait: a refusing and then a silent address
// before a live IPv6 one still connect within the one wait.
TEST(Tcp, ConnectTriesEveryAddressInOrderEachWithItsShare)
{
    DeadPort dead;
    BlackHole hole;
    int l6 = socket(AF_INET6, SOCK_STREAM, 0);
    struct sockaddr_in6 a6 = {};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    ASSERT_EQ(bind(l6, (struct sockaddr *)&a6, sizeof a6), 0);
    listen(l6, 4);
    socklen_t alen = sizeof a6;
    getsockname(l6, (struct sockaddr *)&a6, &alen);
    TcpAddr addrs[3];
    ASSERT_EQ(TCP_Resolve("127.0.0.1", dead.port, &addrs[0], 1, TCP_PLACE_CONNECT), 1);
    ASSERT_EQ(TCP_Resolve("127.0.0.1", hole.port, &addrs[1], 1, TCP_PLACE_CONNECT), 1);
    ASSERT_EQ(TCP_Resolve("::1", ntohs(a6.sin6_port), &addrs[2], 3, TCP_PLACE_CONNECT), 1);
    char text[TCP_ADDR_TEXT_SIZE];
    TCP_FormatAddr(&addrs[2], text, sizeof text);
    EXPECT_EQ(std::string(text), "[::1]:" + std::to_string(ntohs(a6.sin6_port)));
    EXPECT_STREQ(TCP_Family(&addrs[2]), "IPv6");
    TCP_FormatAddr(&addrs[1], text, sizeof text);
    EXPECT_EQ(std::string(text), "127.0.0.1:" + std::to_string(hole.port));

    int32_t used = -1;
    int s = TCP_ConnectAny(addrs, 3, 1000, &used);
    ASSERT_GE(s, 0);
    EXPECT_EQ(used, 2);
    int family = 0;
    socklen_t flen = sizeof family;
    getsockopt(s, SOL_SOCKET, SO_DOMAIN, &family, &flen);
    EXPECT_EQ(family, AF_INET6);
    EXPECT_TRUE(fcntl(s, F_GETFL) & O_NONBLOCK);
    int peer = accept(l6, nullptr, nullptr);
    EXPECT_GE(peer, 0);
    close(peer);
    TCP_CloseSocket(s);
    // None answers: the last one tried, and why.
    EXPECT_EQ(TCP_ConnectAny(addrs, 2, 300, &used), -1);
    EXPECT_EQ(used, 1);
    EXPECT_EQ(errno, ETIMEDOUT);
    close(l6);
}

TEST(Tcp, MinusOneIsNoSocket)
{
    uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(TCP_Send(-1, b, 4), 0);
    TCP_CloseSocket(-1);  // must not touch descriptor -1 or crash
    EXPECT_EQ(TCP_Startup(), 0);
    EXPECT_EQ(TCP_Cleanup(), 0);
}

TEST(Tcp, CreatedSocketIsNonBlockingWithReuse)
{
    int s = TCP_CreateSocket();
    ASSERT_GE(s, 0);
    EXPECT_TRUE(fcntl(s, F_GETFL) & O_NONBLOCK);
    int on = 0;
    socklen_t len = sizeof on;
    getsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, &len);
    EXPECT_EQ(on, 1);
    TCP_CloseSocket(s);
}

TEST(Tcp, RecvTimeoutLeavesBufferAndDataZeroesTheTail)
{
    Listener l;
    int c, s;
    Pair(l, &c, &s);
    uint8_t buf[16];
    memset(buf, 0xAB, sizeof buf);
    int64_t t0 = th::NowMs();
    EXPECT_EQ(TCP_Recv(c, buf, sizeof buf, 300), 0);
    EXPECT_GE(th::NowMs() - t0, 250);
    for (uint8_t x : buf)
        ASSERT_EQ(x, 0xAB);

    ASSERT_EQ(write(s, "\x01\x02\x03", 3), 3);
    EXPECT_EQ(TCP_Recv(c, buf, sizeof buf, 1000), 3);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[2], 3);
    for (size_t i = 3; i < sizeof buf; i++)
        ASSERT_EQ(buf[i], 0) << i;
    close(s);
    TCP_CloseSocket(c);
}

// An orderly close is a failed receive, reported at once: it is not
// silence to be waited out.
TEST(Tcp, PeerClosedIsAFailureAtOnce)
{
    Listener l;
    int c, s;
    Pair(l, &c, &s);
    close(s);
    uint8_t buf[8];
    memset(buf, 0xAB, sizeof buf);
    int64_t t0 = th::NowMs();
    EXPECT_EQ(TCP_Recv(c, buf, sizeof buf, 5000), -1);
    EXPECT_LT(th::NowMs() - t0, 2500);
    for (uint8_t x : buf)
        ASSERT_EQ(x, 0);
    TCP_CloseSocket(c);
}

// A readable wake descriptor ends the wait at once, as a time-out.
TEST(Tcp, WakeDescriptorEndsTheWait)
{
    Listener l;
    int c, s, p[2];
    Pair(l, &c, &s);
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "x", 1), 1);
    uint8_t buf[8] = {0xAB};
    int64_t t0 = th::NowMs();
    EXPECT_EQ(TCP_RecvWake(c, buf, sizeof buf, 5000, p[0]), 0);
    EXPECT_LT(th::NowMs() - t0, 2500);
    EXPECT_EQ(buf[0], 0xAB);
    for (int fd : {p[0], p[1], s, c})
        close(fd);
}

void OnUsr1(int) {}

TEST(Tcp, SignalDuringWaitIsNotAFailure)
{
    struct sigaction sa = {};
    sa.sa_handler = OnUsr1;  // no SA_RESTART: poll returns EINTR
    sigaction(SIGUSR1, &sa, nullptr);
    Listener l;
    int c, s;
    Pair(l, &c, &s);
    pthread_t self = pthread_self();
    std::atomic<bool> done{false};
    std::thread kicker([&] {
        for (int i = 0; i < 5 && !done; i++) {
            usleep(100 * 1000);
            pthread_kill(self, SIGUSR1);
        }
    });
    uint8_t buf[8];
    int64_t t0 = th::NowMs();
    EXPECT_EQ(TCP_Recv(c, buf, sizeof buf, 800), 0);
    EXPECT_GE(th::NowMs() - t0, 750);
    done = true;
    kicker.join();
    close(s);
    TCP_CloseSocket(c);
}

TEST(Tcp, DescriptorAboveSelectLimitWorks)
{
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_max < 1600)
        GTEST_SKIP() << "descriptor limit too low";
    if (rl.rlim_cur < 1600) {
        rl.rlim_cur = 1600;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    Listener l;
    int c0, s;
    Pair(l, &c0, &s);
    int c = dup2(c0, 1500);
    ASSERT_EQ(c, 1500);
    close(c0);
    uint8_t buf[8];
    EXPECT_EQ(TCP_Recv(c, buf, sizeof buf, 100), 0);
    ASSERT_EQ(write(s, "xy", 2), 2);
    EXPECT_EQ(TCP_Recv(c, buf, sizeof buf, 1000), 2);
    EXPECT_EQ(TCP_Send(c, buf, 2), 2);
    close(s);
    TCP_CloseSocket(c);
}

TEST(Tcp, UnresolvableNameReturnsOneAndNamesPortInHex)
{
    int sock = TCP_CreateSocket();
    ASSERT_GE(sock, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(TCP_Connect(sock, "adapter-server.example.invalid", 60928, 1000), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[tcp:]gethostbyname fail, server(adapter-server.example.invalid), port(0xee00)\r\n");
    // Socket untouched: still open and unconnected.
    EXPECT_NE(fcntl(sock, F_GETFD), -1);
    struct sockaddr_in peer;
    socklen_t len = sizeof peer;
    EXPECT_EQ(getpeername(sock, (struct sockaddr *)&peer, &len), -1);
    TCP_CloseSocket(sock);
}

TEST(Tcp, RefusedConnectFailsAtOnce)
{
    DeadPort dead;
    int sock = TCP_CreateSocket();
    testing::internal::CaptureStdout();
    int64_t t0 = th::NowMs();
    EXPECT_EQ(TCP_Connect(sock, "127.0.0.1", dead.port, 1000), -1);
    EXPECT_LT(th::NowMs() - t0, 500);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "fail in TCP_Connect, line:172\r\n");
    TCP_CloseSocket(sock);
}

TEST(Tcp, SendToClosedPeerIsAnErrorNotASignal)
{
    signal(SIGPIPE, SIG_DFL);  // a raised SIGPIPE would end this test process
    Listener l;
    int c, s;
    Pair(l, &c, &s);
    close(s);
    uint8_t b[64] = {1};
    int32_t last = 0;
    for (int i = 0; i < 50 && last >= 0; i++) {
        last = TCP_Send(c, b, sizeof b);
        usleep(2000);
    }
    EXPECT_EQ(last, -1);
    TCP_CloseSocket(c);
}

TEST(Tcp, ListeningSide)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(TCP_BindListen(-1, 1234), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "fail in TCP_BindListen, line:122\r\n");

    // A port with a live listener cannot be bound again: 1, silently.
    Listener busy;
    int s = TCP_CreateSocket();
    testing::internal::CaptureStdout();
    EXPECT_EQ(TCP_BindListen(s, busy.port), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    TCP_CloseSocket(s);

    // A fresh port: listen, then accept a loopback client.
    uint16_t port = th::FreePort();
    int ls = TCP_CreateSocket();
    ASSERT_EQ(TCP_BindListen(ls, port), 0);
    int c = TCP_CreateSocket();
    ASSERT_EQ(TCP_Connect(c, "127.0.0.1", port, 1000), 0);
    int a = -1;
    for (int i = 0; i < 100 && a < 0; i++) {
        a = TCP_Accept(ls);
        if (a < 0)
            usleep(10 * 1000);
    }
    ASSERT_GE(a, 0);
    EXPECT_TRUE(fcntl(a, F_GETFL) & O_NONBLOCK);
    uint8_t msg[3] = {1, 0xC1, 6}, got[8];
    EXPECT_EQ(TCP_Send(a, msg, 3), 3);
    EXPECT_EQ(TCP_Recv(c, got, sizeof got, 1000), 3);
    EXPECT_EQ(memcmp(got, msg, 3), 0);
    TCP_CloseSocket(a);
    TCP_CloseSocket(c);
    TCP_CloseSocket(ls);
    EXPECT_EQ(TCP_Accept(-1), -1);
}

}  // namespace
