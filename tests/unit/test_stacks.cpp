// Peak stack use of the three worker threads. The adapter's threads run in
// this process on stacks painted with a pattern, through their deepest
// paths: login and a heartbeat, data both ways with a settings change,
// local identity and upgrade frames, and a remote upgrade over FTP, with
// the server and the FTP host looked up by name. Afterwards the lowest
// byte that lost its paint gives each thread's peak, which must stay
// within half of the stack the main loop gives that thread.
//
// The names resolve through /etc/hosts. scripts/stack-usage.sh runs this
// test in private network and mount namespaces with ADAPTER_STACK_DNS=1,
// where /etc/resolv.conf names 127.0.0.1 and the test answers the queries
// itself, so that the resolver's DNS path is measured as well.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "board/leds.h"
#include "core/endpoints.h"
#include "core/globals.h"
#include "core/main.h"
#include "link/tcpThread.h"
#include "serial/uartThread.h"
#include "tests/support/faults.h"
#include "tests/support/ftpd.h"
#include "tests/support/harness.h"

// TSan keeps its per-thread state in static TLS, which glibc places at the
// top of a stack the program provides: the figures then say nothing.
#if defined(__SANITIZE_THREAD__)
#define STACKS_TLS_DOMINATES 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define STACKS_TLS_DOMINATES 1
#endif
#endif

namespace {

using th::B;
using th::Bytes;

constexpr uint8_t kPaint = 0xA5;
constexpr size_t kRoom = 1024 * 1024;  // measuring stacks: far more than needed

// A thread on a stack of our own, painted before it starts.
struct PaintedThread {
    const char *name;
    size_t limit;  // what the main loop gives this thread
    uint8_t *base = nullptr;
    pthread_t thd{};

    bool start(void *(*entry)(void *), const void *arg)
    {
        void *m = mmap(nullptr, kRoom, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED)
            return false;
        base = (uint8_t *)m;
        memset(base, kPaint, kRoom);
        pthread_attr_t a;
        pthread_attr_init(&a);
        pthread_attr_setstack(&a, base, kRoom);
        int rc = pthread_create(&thd, &a, entry, const_cast<void *>(arg));
        pthread_attr_destroy(&a);
        return rc == 0;
    }
    // Stacks grow down on every target: the peak runs from the top to the
    // lowest byte that was written (the C library's thread record and TLS
    // at the top included, as on a stack it allocates itself).
    size_t peak() const
    {
        size_t i = 0;
        while (i < kRoom && base[i] == kPaint)
            i++;
        return kRoom - i;
    }
};

// Answers every A query with 127.0.0.1 and anything else with no record,
// on 127.0.0.1:53 (only inside the namespaces of scripts/stack-usage.sh).
class Dns {
public:
    bool start()
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || bind(fd_, (struct sockaddr *)&a, sizeof a) != 0)
            return false;
        thr_ = std::thread([this] { serve(); });
        return true;
    }
    ~Dns()
    {
        stop_ = true;
        if (thr_.joinable())
            thr_.join();
        if (fd_ >= 0)
            close(fd_);
    }
    int answered() const { return answered_.load(); }

private:
    void serve()
    {
        while (!stop_) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            uint8_t q[512], r[600];
            struct sockaddr_in from;
            socklen_t fl = sizeof from;
            ssize_t n = recvfrom(fd_, q, sizeof q, 0, (struct sockaddr *)&from, &fl);
            size_t end = 12;  // header, then the question's name
            while (n > 12 && end < (size_t)n && q[end] != 0)
                end += (size_t)q[end] + 1;
            if (n < 12 || end + 5 > (size_t)n)
                continue;
            end += 5;  // the root label, type and class
            bool a = q[end - 4] == 0 && q[end - 3] == 1;
            memcpy(r, q, end);
            r[2] = 0x81;  // response, recursion desired and available
            r[3] = 0x80;
            r[6] = 0;
            r[7] = a ? 1 : 0;
            memset(r + 8, 0, 4);  // no authority, no additional records
            size_t len = end;
            if (a) {
                const uint8_t rr[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 127, 0, 0, 1};
                memcpy(r + len, rr, sizeof rr);
                len += sizeof rr;
            }
            if (sendto(fd_, r, len, 0, (struct sockaddr *)&from, fl) > 0)
                answered_++;
        }
    }
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> answered_{0};
    std::thread thr_;
};

const DataCallback s_tcpCallback = UART_WriteData;
const DataCallback s_uartCallback = TCP_SendData;

TEST(Stacks, WorkerPeaksStayWithinHalfTheirStacks)
{
    const bool viaDns = getenv("ADAPTER_STACK_DNS") != nullptr;
    // A name the resolver must look up (never an address it can parse).
    const char *host = viaDns ? "adapter-server.stack.test" : "localhost";
    Dns dns;
    if (viaDns) {
        ASSERT_TRUE(dns.start()) << "no DNS port: run through scripts/stack-usage.sh";
    }

    th::Sandbox sb;
    sb.writeIdentity("SN0000001", "123456");
    th::Pty pty;
    pty.linkAs(sb, "/dev/ttyS0");
    th::Server srv;
    th::Ftpd ftp("zov", "pw1234");
    ASSERT_NE(ftp.port(), 0);
    ftp.put("fw/zovClient.tar", std::string(100000, 'z'));
    ASSERT_EQ(EP_SetRoot(sb.root().c_str()), 0);
    ASSERT_EQ(EP_SetServer(host, srv.port()), 0);
    EP_SetFtpPort((uint16_t)ftp.port());
    EP_SetMsgKey(sb.msgKey());
    ASSERT_EQ(GB_Init(), 0);

    // As the main loop starts them: same order, entries and arguments.
    PaintedThread led{"LED", MAIN_STACK_LED}, tcp{"link", MAIN_STACK_TCP}, uart{"serial", MAIN_STACK_UART};
    ASSERT_TRUE(led.start(LED_Thread, nullptr));
    ASSERT_TRUE(tcp.start(TCP_Thread, &s_tcpCallback));
    ASSERT_TRUE(uart.start(UART_Thread, &s_uartCallback));

    ASSERT_TRUE(srv.accept(15000));
    ASSERT_EQ(srv.recvCmd(0x00, 8000).size(), 31u);
    srv.send(th::OnlineResult(0));
    ASSERT_FALSE(srv.recvCmd(0x01, 8000).empty());  // a heartbeat
    srv.send(th::HeartbeatResult(0));
    usleep(300000);  // one message per receive on the adapter's side

    // Server data with new settings (1200 baud), then serial data up.
    srv.send(th::DataMsg(0, 1, 0, 0, B("down")));
    EXPECT_EQ(th::Hex(pty.read(4, 5000)), th::Hex(B("down")));
    pty.write(Bytes(900, 0x31));
    EXPECT_FALSE(srv.recvCmd(0x40, 5000).empty());

    // Local frames: an identity change and a first upgrade chunk.
    pty.write(ft::DevInfoFrame("SN0000002", "654321"));
    EXPECT_FALSE(pty.readQuiet(300, 3000).empty());
    Bytes chunk = ft::Package(900, 3);
    pty.write(ft::UpgradeFrame(4000, 0, chunk.data(), (int32_t)chunk.size()));
    EXPECT_FALSE(pty.readQuiet(300, 3000).empty());

    // A remote upgrade: resolve, download, answer, and the threads end.
    srv.send(ft::UpgradeRequest(host, "zov", "pw1234", "/fw/zovClient.tar"));
    EXPECT_EQ(th::Hex(srv.recvCmd(0xC1, 5000)), "01 c1 06");
    EXPECT_EQ(th::Hex(srv.recvCmd(0xC1, 30000)), "01 c1 00");
    GB_SetEvent(GB_EVENT_EXIT);
    for (PaintedThread *t : {&led, &tcp, &uart})
        pthread_join(t->thd, nullptr);
    if (viaDns) {
        EXPECT_GE(dns.answered(), 2) << "the names were not looked up through DNS";
    }

    for (const PaintedThread *t : {&led, &tcp, &uart}) {
        printf("stack peak %-6s %6zu bytes (given %zu)\n", t->name, t->peak(), t->limit);
        RecordProperty(std::string("peak_") + t->name, (int)t->peak());
#ifndef STACKS_TLS_DOMINATES
        EXPECT_LE(t->peak() * 2, t->limit) << t->name << " thread comes near the end of its stack";
#endif
    }
}

}  // namespace
