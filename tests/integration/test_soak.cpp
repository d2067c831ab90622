// Soak: the real daemon under random traffic both ways for SOAK_SECONDS
// (default 120; scripts/soak.sh runs it longer), with serial settings
// changes and link drops (resets and orderly closes) in between. At the end
// every byte must have arrived once and in order on both paths, and the
// daemon's descriptors, threads and resident memory must not have grown.
//
// Bytes the protocol itself drops are kept out of the comparison, and the
// test arranges its traffic so that nothing else can be dropped:
// - serial data read while the link is down is not sent, by design: the
//   test writes such bursts on purpose while the link is down and checks
//   that none of them ever reaches the server;
// - a reopen discards what the device sends in the instant of the switch,
//   so settings change only while the serial side is quiet, and serial
//   data resumes once the reopen is done.
// Downlink messages go out unpaced, several in one write at times: the
// adapter must cut them apart and hold what the port cannot take yet.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "tests/support/faults.h"
#include "tests/support/harness.h"

namespace {

using th::Bytes;

// Resident-memory noise allowed between start and end. Under TSan the
// shadow and history memory grows with every address the run touches, so
// its figure says little; leaks there are the plain build's to catch.
#if defined(__SANITIZE_THREAD__)
constexpr long kRssNoiseKb = 8192;
#else
constexpr long kRssNoiseKb = 1024;
#endif

int SoakSeconds()
{
    const char *s = getenv("SOAK_SECONDS");
    int n = s != nullptr ? atoi(s) : 0;
    return n > 0 ? n : 120;
}

// Bytes appended by one thread and read by another.
class Shared {
public:
    void append(const uint8_t *p, size_t n)
    {
        std::lock_guard<std::mutex> g(mu_);
        b_.insert(b_.end(), p, p + n);
    }
    size_t size() const
    {
        std::lock_guard<std::mutex> g(mu_);
        return b_.size();
    }
    Bytes copy() const
    {
        std::lock_guard<std::mutex> g(mu_);
        return b_;
    }

private:
    mutable std::mutex mu_;
    Bytes b_;
};

bool Readable(int fd, int ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

bool WaitUntil(const std::function<bool()> &cond, int timeoutMs)
{
    int64_t deadline = th::NowMs() + timeoutMs;
    while (!cond()) {
        if (th::NowMs() >= deadline)
            return false;
        usleep(5000);
    }
    return true;
}

// Index of the first difference, or -1.
long FirstDiff(const Bytes &a, const Bytes &b)
{
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++)
        if (a[i] != b[i])
            return (long)i;
    return a.size() == b.size() ? -1 : (long)n;
}

class SoakRig {
public:
    SoakRig() : rng_(12345) {}
    ~SoakRig()
    {
        stop_ = true;
        upOn_ = false;
        for (std::thread *t : {&upThread_, &ptyThread_})
            if (t->joinable())
                t->join();
        stopReader();
        if (client_ >= 0)
            close(client_);
        if (listen_ >= 0)
            close(listen_);
    }

    void start()
    {
        listen_ = ft::ListenLoopback(&port_);
        sb.writeIdentity("SOAK01", "PW01");
        pty.linkAs(sb, "/dev/ttyS0");
        ft::CloseOnExecAll();
        d.start(sb, port_);
        ptyThread_ = std::thread([this] { readPty(); });
        upThread_ = std::thread([this] { writeUp(); });
    }

    // Accepts the adapter and logs it in. False on failure.
    bool connect(int timeoutMs)
    {
        if (!Readable(listen_, timeoutMs))
            return false;
        client_ = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client_ < 0)
            return false;
        size_t mark = d.logSize();
        onlineReqs_ = 0;
        readerStop_ = false;
        reader_ = std::thread([this, fd = client_] { readServer(fd); });
        if (!WaitUntil([this] { return onlineReqs_.load() > 0; }, 8000))
            return false;
        sendAll(th::OnlineResult(0));
        return d.waitFor("[TCP]:online success", 5000, mark);
    }

    // Ends the link from the server's side and keeps the adapter out until
    // it has noticed and failed one new attempt; then writes serial bursts
    // that must be dropped, and lets it back in.
    bool drop(bool reset)
    {
        size_t mark = d.logSize();
        close(listen_);
        listen_ = -1;
        stopReader();
        if (reset) {
            struct linger lg = {1, 0};
            setsockopt(client_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        }
        close(client_);
        client_ = -1;
        // A reset and an orderly close alike are a failed receive.
        if (!d.waitFor("[TCP]:recv socket error", 13000, mark))
            return false;
        if (!d.waitFor("[TCP]:connect fail", 13000, mark))
            return false;
        for (int i = 0; i < 5; i++) {
            Bytes b = randomBurst(1 + rng_() % 600);
            pty.write(b);
            droppedUp_ += b.size();
            usleep(150000);
        }
        usleep(300000);
        uint16_t again = port_;   // the adapter only knows this one
        listen_ = ft::ListenLoopback(&again);
        return listen_ >= 0 && connect(13000);
    }

    // Downlink data messages with the current settings (or new ones), all
    // in one write; with wait, returns once their data has reached the port.
    bool down(int msgs, size_t maxLen, const uint8_t *settings = nullptr, bool wait = false)
    {
        if (settings != nullptr)
            memcpy(settings_, settings, 4);
        Bytes all;
        for (int i = 0; i < msgs; i++) {
            Bytes data(1 + rng_() % maxLen);
            for (auto &b : data)
                b = (uint8_t)rng_();
            downSent_.insert(downSent_.end(), data.begin(), data.end());
            Bytes m = th::DataMsg(settings_[0], settings_[1], settings_[2], settings_[3], data);
            all.insert(all.end(), m.begin(), m.end());
        }
        // Now and then the line pauses inside a message, as cellular links
        // do on a retransmission: nothing of it may be lost.
        size_t cut = rng_() % 8 == 0 ? 1 + rng_() % (all.size() - 1) : 0;
        sendAll(Bytes(all.begin(), all.begin() + cut));
        if (cut > 0)
            usleep((useconds_t)(rng_() % 5000) * 1000);
        sendAll(Bytes(all.begin() + cut, all.end()));
        return !wait || delivered(4000);
    }
    bool delivered(int ms)
    {
        size_t want = downSent_.size();
        return WaitUntil([this, want] { return downRecv_.size() >= want; }, ms);
    }

    // The device asks for the identity; the answer comes back on the port
    // between the downlink data, so it joins the expected downlink bytes.
    bool identityQuery(const Bytes &answer)
    {
        size_t want = downSent_.size() + answer.size();
        downSent_.insert(downSent_.end(), answer.begin(), answer.end());
        Bytes q(24, 0);
        q[0] = 0xCC;
        q[1] = 0xDD;
        COMM_PutLe16(&q[2], COMM_Crc16(&q[4], 20));
        pty.write(q);
        bool ok = WaitUntil([this, want] { return downRecv_.size() >= want; }, 3000);
        usleep(150000);  // a pause of the line, so the next burst is a read of its own
        return ok;
    }

    // Stops the serial writer and waits until everything written so far
    // has reached the server.
    bool quiesce()
    {
        upOn_ = false;
        while (upBusy_.load())
            usleep(1000);
        return WaitUntil([this] { return upRecv_.size() >= upSent_.size(); }, 5000);
    }
    void resumeUp() { upOn_ = true; }

    // No downlink data for ms: the adapter beats, and each heartbeat is
    // answered (alone on the wire, as nothing else is sent meanwhile).
    void quiet(int ms)
    {
        int64_t until = th::NowMs() + ms;
        size_t answered = heartbeats_.load();
        while (th::NowMs() < until) {
            if (heartbeats_.load() > answered) {
                answered = heartbeats_.load();
                sendAll(th::HeartbeatResult(0));
            }
            usleep(20000);
        }
    }

    Bytes randomBurst(size_t n)
    {
        Bytes b(n);
        for (auto &x : b) {
            x = (uint8_t)rng_();
            // Never the first byte of a local frame's magic.
            if (x == 0xAA || x == 0xCC)
                x = 0x55;
        }
        return b;
    }

    th::Sandbox sb;
    th::Pty pty;
    th::Daemon d;
    std::mt19937 rng_;
    Shared upSent_, upRecv_, downRecv_;
    Bytes downSent_;
    size_t droppedUp_ = 0;
    std::atomic<size_t> upMsgs_{0}, heartbeats_{0};

private:
    void sendAll(const Bytes &b)
    {
        size_t off = 0;
        while (client_ >= 0 && off < b.size()) {
            ssize_t n = send(client_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            off += (size_t)n;
        }
    }
    void stopReader()
    {
        readerStop_ = true;
        if (reader_.joinable())
            reader_.join();
    }
    // Cuts the adapter's stream into messages by their known lengths.
    void readServer(int fd)
    {
        Bytes pending;
        while (!readerStop_) {
            if (!Readable(fd, 50))
                continue;
            uint8_t buf[8192];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            pending.insert(pending.end(), buf, buf + n);
            for (;;) {
                if (pending.size() < 2)
                    break;
                size_t len = 0;
                uint8_t cmd = pending[1];
                if (cmd == 0x00)
                    len = 31;
                else if (cmd == 0x01)
                    len = 2;
                else if (cmd == 0x40 && pending.size() >= 10)
                    len = 10 + COMM_GetLe32(&pending[6]);
                else if (cmd == 0x40)
                    break;
                else
                    len = 3;
                if (pending.size() < len)
                    break;
                if (cmd == 0x00)
                    onlineReqs_++;
                else if (cmd == 0x01)
                    heartbeats_++;
                else if (cmd == 0x40) {
                    upRecv_.append(pending.data() + 10, len - 10);
                    upMsgs_++;
                }
                pending.erase(pending.begin(), pending.begin() + (long)len);
            }
        }
    }
    void readPty()
    {
        while (!stop_) {
            if (!Readable(pty.master(), 50))
                continue;
            uint8_t buf[4096];
            ssize_t n = read(pty.master(), buf, sizeof buf);
            if (n > 0)
                downRecv_.append(buf, (size_t)n);
        }
    }
    // Random bursts with random gaps while enabled.
    void writeUp()
    {
        std::mt19937 rng(777);
        while (!stop_) {
            if (!upOn_) {
                usleep(5000);
                continue;
            }
            upBusy_ = true;
            if (upOn_) {
                size_t n = 1 + rng() % 1500;
                Bytes b(n);
                for (auto &x : b) {
                    x = (uint8_t)rng();
                    if (x == 0xAA || x == 0xCC)
                        x = 0x55;
                }
                pty.write(b);
                upSent_.append(b.data(), b.size());
            }
            upBusy_ = false;
            usleep(20000 + rng() % 230000);
        }
    }

    int listen_ = -1;
    int client_ = -1;
    uint16_t port_ = 0;
    uint8_t settings_[4] = {7, 1, 0, 0};
    std::thread reader_, ptyThread_, upThread_;
    std::atomic<bool> stop_{false}, readerStop_{false}, upOn_{false}, upBusy_{false};
    std::atomic<int> onlineReqs_{0};
};

}  // namespace

TEST(Soak, RandomTrafficSettingsAndDropsLoseNothingAndLeakNothing)
{
    const int seconds = SoakSeconds();
    SoakRig r;
    r.start();
    ASSERT_TRUE(r.connect(5000));
    usleep(1500000);
    const pid_t pid = r.d.pid();
    const int fd0 = ft::FdCount(pid);
    const long thr0 = ft::Threads(pid);
    const long rss0 = ft::RssKb(pid);
    const long cpu0 = ft::CpuTicks(pid);

    // Settings the driver accepts, always 8 data bits: a pty passes every
    // byte unchanged whatever the rate, stop bits and parity.
    const uint8_t kSettings[][4] = {{7, 1, 0, 0}, {3, 1, 0, 0}, {5, 1, 0, 2}, {6, 2, 1, 1},
                                    {4, 1, 2, 3}, {8, 2, 0, 0}, {7, 1, 1, 2}};
    std::mt19937 rng(99);
    int settingsChanges = 0, resets = 0, closes = 0, downMsgs = 0, late = 0, quietRounds = 0, queries = 0;
    const int64_t start = th::NowMs();
    const int64_t end = start + seconds * 1000LL;
    while (th::NowMs() < end) {
        // Traffic both ways for a few seconds.
        r.resumeUp();
        int64_t roundEnd = th::NowMs() + 1000 + (int64_t)(rng() % 3000);
        while (th::NowMs() < roundEnd) {
            int msgs = rng() % 3 == 0 ? 2 + (int)(rng() % 6) : 1;
            r.down(msgs, 1014);
            downMsgs += msgs;
            usleep(rng() % 150000);
        }
        if (!r.delivered(10000))
            late++;
        ASSERT_TRUE(r.quiesce()) << "uplink bytes missing after a traffic round";
        unsigned pick = rng() % 10;
        // At least one drop of each kind in every run, however short.
        const int64_t elapsed = th::NowMs() - start;
        const bool forceReset = resets == 0 && elapsed > seconds * 250LL;
        const bool forceClose = closes == 0 && elapsed > seconds * 550LL;
        if (forceReset || forceClose) {
            ASSERT_TRUE(r.drop(forceReset)) << r.d.log().substr(r.d.log().size() > 3000 ? r.d.log().size() - 3000 : 0);
            (forceReset ? resets : closes)++;
            continue;
        }
        if (pick < 3) {
            // Settings change only while the serial side is quiet: a reopen
            // flushes what the port holds.
            const uint8_t *s = kSettings[rng() % (sizeof kSettings / sizeof kSettings[0])];
            if (!r.down(1, 1014, s, true))
                late++;
            downMsgs++;
            settingsChanges++;
            usleep(200000);  // the reopen is finished before more data
        } else if (pick == 5) {
            if (!r.identityQuery(ft::DevInfoFrame("SOAK01", "PW01")))
                late++;
            queries++;
        } else if (pick == 4) {
            // Serial data only, answered heartbeats keep the link.
            r.resumeUp();
            r.quiet(4000 + (int)(rng() % 4000));
            ASSERT_TRUE(r.quiesce()) << "uplink bytes missing after a quiet round";
            quietRounds++;
        } else if (pick == 3 && th::NowMs() + 25000 < end) {
            bool reset = rng() % 2 == 0;
            ASSERT_TRUE(r.drop(reset)) << r.d.log().substr(r.d.log().size() > 3000 ? r.d.log().size() - 3000 : 0);
            (reset ? resets : closes)++;
        }
    }
    ASSERT_TRUE(r.quiesce());
    usleep(500000);
    const int64_t ran = th::NowMs() - start;
    const int fd1 = ft::FdCount(pid);
    const long thr1 = ft::Threads(pid);
    const long rss1 = ft::RssKb(pid);
    const long cpu1 = ft::CpuTicks(pid);
    Bytes upSent = r.upSent_.copy(), upRecv = r.upRecv_.copy(), downRecv = r.downRecv_.copy();

    printf("soak: %.1f s; up %zu bytes in %zu messages (+%zu bytes dropped by design while the link was down); "
           "down %zu bytes in %d messages; %d settings changes; %d resets, %d orderly closes; %zu heartbeats in "
           "%d quiet rounds; %d identity queries\n",
           ran / 1000.0, upSent.size(), r.upMsgs_.load(), r.droppedUp_, r.downSent_.size(), downMsgs,
           settingsChanges, resets, closes, r.heartbeats_.load(), quietRounds, queries);
    printf("soak: fds %d -> %d, threads %ld -> %ld, RSS %ld -> %ld kB, CPU %.2f s\n", fd0, fd1, thr0, thr1, rss0,
           rss1, (double)(cpu1 - cpu0) / (double)sysconf(_SC_CLK_TCK));

    EXPECT_TRUE(r.d.running());
    EXPECT_EQ(late, 0) << "downlink rounds whose data did not reach the port in time";
    EXPECT_EQ(upRecv.size(), upSent.size());
    EXPECT_EQ(FirstDiff(upRecv, upSent), -1) << "uplink stream differs";
    EXPECT_EQ(downRecv.size(), r.downSent_.size());
    EXPECT_EQ(FirstDiff(downRecv, r.downSent_), -1) << "downlink stream differs";
    EXPECT_EQ(fd1, fd0);
    EXPECT_EQ(thr1, thr0);
    EXPECT_LT(rss1 - rss0, kRssNoiseKb) << "resident memory grew";
    // Every drop was the server's doing and seen at once, none by silence.
    EXPECT_EQ(r.d.count("[TCP]:lost server"), 0u);
    EXPECT_EQ(r.d.count("[TCP]:recv socket error"), (size_t)(resets + closes));
}
