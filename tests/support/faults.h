// Helpers for the fault-injection and soak tests: the daemon's resource
// figures from /proc, a reader of the adapter's message stream, builders of
// the requests and frames the tests send, mounts that make the sandbox's
// file system misbehave, and a scripted FTP server that stalls on purpose.
// Everything listens on 127.0.0.1 only.
#pragma once
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/common.h"
#include "tests/support/harness.h"

namespace ft {

using th::Bytes;

// ---- Figures of a running process

inline int FdCount(pid_t pid)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

// A field of /proc/<pid>/status ("Threads", "VmRSS" in kB); -1 if absent.
inline long StatusField(pid_t pid, const std::string &name)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return atol(line.c_str() + name.size() + 1);
    }
    return -1;
}

inline long Threads(pid_t pid) { return StatusField(pid, "Threads"); }
inline long RssKb(pid_t pid) { return StatusField(pid, "VmRSS"); }

// User plus system CPU time of the process, in clock ticks.
inline long CpuTicks(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t close = s.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream in(s.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; in >> field; i++) {
        if (i == 14)
            utime = atol(field.c_str());
        if (i == 15) {
            stime = atol(field.c_str());
            break;
        }
    }
    return utime + stime;
}

// The daemon must not inherit the test's sockets and pty masters: a master
// kept open in the child would survive the test closing it.
inline void CloseOnExecAll()
{
    for (int fd = 3; fd < 1024; fd++) {
        int fl = fcntl(fd, F_GETFD);
        if (fl >= 0)
            fcntl(fd, F_SETFD, fl | FD_CLOEXEC);
    }
}

// Listens on 127.0.0.1:*port, or on a free port when *port is 0; the
// listening socket (port in *port), or -1.
inline int ListenLoopback(uint16_t *port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(*port);
    if (bind(s, (struct sockaddr *)&a, sizeof a) != 0 || listen(s, 4) != 0) {
        close(s);
        return -1;
    }
    socklen_t len = sizeof a;
    getsockname(s, (struct sockaddr *)&a, &len);
    *port = ntohs(a.sin_port);
    return s;
}

// The scripted server on 127.0.0.1.
using Srv = th::Server;

// ---- The adapter's side of the link as a stream of whole messages

// Two messages may share one receive and one may span two, so the stream is
// cut by the known lengths: online request 31, heartbeat 2, responses 3,
// data 10 + its dataLen.
class Stream {
public:
    explicit Stream(Srv &srv) : srv_(srv) {}

    // Next message of any kind; empty on time-out or a closed connection.
    Bytes any(int timeoutMs)
    {
        int64_t deadline = th::NowMs() + timeoutMs;
        for (;;) {
            size_t len = lengthOf();
            if (len > 0 && pending_.size() >= len) {
                Bytes m(pending_.begin(), pending_.begin() + (long)len);
                pending_.erase(pending_.begin(), pending_.begin() + (long)len);
                return m;
            }
            int left = (int)(deadline - th::NowMs());
            if (left <= 0 || !srv_.connected())
                return {};
            Bytes b = srv_.recv(left);
            pending_.insert(pending_.end(), b.begin(), b.end());
        }
    }
    // Next message with the given command byte; others are skipped.
    Bytes next(uint8_t cmd, int timeoutMs)
    {
        int64_t deadline = th::NowMs() + timeoutMs;
        for (;;) {
            int left = (int)(deadline - th::NowMs());
            if (left <= 0)
                return {};
            Bytes m = any(left);
            if (m.empty() || m[1] == cmd)
                return m;
        }
    }
    std::string nextHex(uint8_t cmd, int timeoutMs) { return th::Hex(next(cmd, timeoutMs)); }
    void reset() { pending_.clear(); }
    size_t pendingBytes() const { return pending_.size(); }

private:
    // Length of the message at the head of pending_, 0 while unknown.
    size_t lengthOf() const
    {
        if (pending_.size() < 2)
            return 0;
        switch (pending_[1]) {
        case 0x00: return 31;
        case 0x01: return 2;
        case 0x40:
            return pending_.size() < 10 ? 0 : 10 + (size_t)COMM_GetLe32(&pending_[6]);
        default: return 3;
        }
    }
    Srv &srv_;
    Bytes pending_;
};

// Accepts the adapter, answers its online request and waits until it is
// online. The online request is returned through req.
inline bool BringOnline(Srv &srv, Stream &st, const th::Daemon &d, int acceptMs = 15000,
                        Bytes *req = nullptr, int64_t *acceptedAt = nullptr)
{
    size_t mark = d.logSize();
    if (!srv.accept(acceptMs))
        return false;
    if (acceptedAt != nullptr)
        *acceptedAt = th::NowMs();
    st.reset();
    Bytes r = st.next(0x00, 8000);
    if (r.size() != 31)
        return false;
    if (req != nullptr)
        *req = r;
    srv.send(th::OnlineResult(0));
    // One receive is one message: nothing else may reach the adapter
    // together with this result.
    return d.waitFor("[TCP]:online success", 5000, mark);
}

// ---- Requests and frames

inline Bytes UpgradeRequest(const std::string &url, const std::string &user, const std::string &pass,
                            const std::string &path)
{
    Bytes m(58, 0);
    m[0] = 0x01;
    m[1] = 0x41;
    memcpy(&m[2], url.data(), std::min<size_t>(url.size(), 31));
    memcpy(&m[34], user.data(), std::min<size_t>(user.size(), 11));
    memcpy(&m[46], pass.data(), std::min<size_t>(pass.size(), 11));
    m.insert(m.end(), path.begin(), path.end());
    m.push_back(0);
    return m;
}

inline Bytes IdentityRequest(const std::string &sn, const std::string &pc)
{
    Bytes m(22, 0);
    m[0] = 0x01;
    m[1] = 0x42;
    memcpy(&m[2], sn.data(), std::min<size_t>(sn.size(), 11));
    memcpy(&m[14], pc.data(), std::min<size_t>(pc.size(), 7));
    return m;
}

inline Bytes UpgradeFrame(int32_t total, int32_t offset, const uint8_t *data, int32_t n)
{
    Bytes f(16 + (size_t)n, 0);
    f[0] = 0xAA;
    f[1] = 0xBB;
    COMM_PutLe32(&f[4], (uint32_t)total);
    COMM_PutLe32(&f[8], (uint32_t)offset);
    COMM_PutLe32(&f[12], (uint32_t)n);
    if (n > 0)
        memcpy(&f[16], data, (size_t)n);
    COMM_PutLe16(&f[2], COMM_Crc16(&f[4], (uint16_t)(12 + n)));
    return f;
}

inline Bytes DevInfoFrame(const std::string &sn, const std::string &pc)
{
    Bytes f(24, 0);
    f[0] = 0xCC;
    f[1] = 0xDD;
    memcpy(&f[4], sn.data(), std::min<size_t>(sn.size(), 11));
    memcpy(&f[16], pc.data(), std::min<size_t>(pc.size(), 7));
    COMM_PutLe16(&f[2], COMM_Crc16(&f[4], 20));
    return f;
}

inline Bytes Package(size_t n, unsigned salt)
{
    Bytes p(n);
    for (size_t i = 0; i < n; i++)
        p[i] = (uint8_t)((i * 131u) ^ (i >> 7) ^ salt);
    return p;
}

// ---- Mounts over sandbox directories (root only; ok() false elsewhere)

class Mount {
public:
    // A tmpfs of sizeKb over dir.
    static Mount Tmpfs(const std::string &dir, int sizeKb)
    {
        Mount m;
        std::string opt = "size=" + std::to_string(sizeKb) + "k";
        if (mount("tmpfs", dir.c_str(), "tmpfs", 0, opt.c_str()) == 0)
            m.dir_ = dir;
        return m;
    }
    // dir bound over itself, read-only.
    static Mount ReadOnly(const std::string &dir)
    {
        Mount m;
        if (mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return m;
        m.dir_ = dir;
        if (mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            m.release();
        return m;
    }
    Mount() = default;
    Mount(Mount &&o) noexcept : dir_(o.dir_) { o.dir_.clear(); }
    Mount &operator=(Mount &&o) noexcept
    {
        release();
        dir_ = o.dir_;
        o.dir_.clear();
        return *this;
    }
    ~Mount() { release(); }
    bool ok() const { return !dir_.empty(); }
    void release()
    {
        if (!dir_.empty())
            umount2(dir_.c_str(), MNT_DETACH);
        dir_.clear();
    }

private:
    std::string dir_;
};

// ---- A scripted FTP server that misbehaves on purpose

class ScriptedFtp {
public:
    enum Mode {
        kStallGreeting,  // accepts, never greets
        kStallUser,      // greets, never answers USER
        kStallPasv,      // logs in, never answers PASV
        kStallRetr,      // opens the data connection, never answers RETR
        kStallFinal,     // sends the whole file, never gives the final reply
        kStallMidData,   // sends half the file, then holds the data connection
                         // (the control connection still answers)
        kSlowData,       // 512 bytes every 200 ms, for as long as it runs
        kWholeFile,      // a well-behaved server
        kSlowWholeFile,  // the whole file, 512 bytes every 20 ms
        kCrashMidData,   // half the file, then both connections end at once
                         // with no final reply, as when the server dies
    };
    ScriptedFtp(Mode mode, Bytes file) : mode_(mode), file_(std::move(file))
    {
        listen_ = ListenLoopback(&port_);
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedFtp()
    {
        stop_ = true;
        thread_.join();
        for (int fd : {listen_, ctrl_, pasv_, data_})
            if (fd >= 0)
                close(fd);
    }
    uint16_t port() const { return port_; }
    // Monotonic ms at which the stall began, 0 before.
    int64_t stalledAt() const { return stalledAt_.load(); }
    size_t dataSent() const { return dataSent_.load(); }

private:
    bool readable(int fd, int ms)
    {
        struct pollfd p = {fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }
    // Accepts on fd, watching stop_; -1 when stopped.
    int acceptOn(int fd)
    {
        while (!stop_) {
            if (readable(fd, 50))
                return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        }
        return -1;
    }
    void reply(const std::string &s) { (void)!::send(ctrl_, s.data(), s.size(), MSG_NOSIGNAL); }
    void hold()
    {
        stalledAt_ = th::NowMs();
        while (!stop_)
            usleep(50000);
    }
    // Next command line from the control connection; empty when it ended.
    std::string command()
    {
        for (;;) {
            size_t eol = in_.find("\r\n");
            if (eol != std::string::npos) {
                std::string line = in_.substr(0, eol);
                in_.erase(0, eol + 2);
                return line;
            }
            if (stop_)
                return "";
            if (!readable(ctrl_, 50))
                continue;
            char buf[512];
            ssize_t n = recv(ctrl_, buf, sizeof buf, 0);
            if (n <= 0)
                return "";
            in_.append(buf, (size_t)n);
        }
    }
    void sendData(const uint8_t *p, size_t n)
    {
        ssize_t w = ::send(data_, p, n, MSG_NOSIGNAL);
        if (w > 0)
            dataSent_ += (size_t)w;
    }
    void retr()
    {
        data_ = acceptOn(pasv_);
        if (data_ < 0)
            return;
        if (mode_ == kStallRetr) {
            hold();
            return;
        }
        reply("150 Opening BINARY mode data connection.\r\n");
        if (mode_ == kCrashMidData) {
            sendData(file_.data(), file_.size() / 2);
            usleep(100000);
            close(data_);
            data_ = -1;
            close(ctrl_);
            ctrl_ = -1;
            return;
        }
        if (mode_ == kStallMidData) {
            // The data connection stays open and silent; the control
            // connection keeps answering (QUIT gets its 221).
            sendData(file_.data(), file_.size() / 2);
            stalledAt_ = th::NowMs();
            return;
        }
        if (mode_ == kSlowData) {
            for (size_t off = 0; !stop_; off = (off + 512) % (file_.size() - 511)) {
                sendData(file_.data() + off, 512);
                usleep(200000);
            }
            return;
        }
        if (mode_ == kSlowWholeFile) {
            for (size_t off = 0; off < file_.size() && !stop_; off += 512) {
                sendData(file_.data() + off, std::min<size_t>(512, file_.size() - off));
                usleep(20000);
            }
        } else {
            sendData(file_.data(), file_.size());
        }
        close(data_);
        data_ = -1;
        if (mode_ == kStallFinal) {
            hold();
            return;
        }
        reply("226 Transfer complete.\r\n");
    }
    void run()
    {
        ctrl_ = acceptOn(listen_);
        if (ctrl_ < 0)
            return;
        if (mode_ == kStallGreeting) {
            hold();
            return;
        }
        reply("220 scripted server ready.\r\n");
        for (std::string c = command(); !c.empty() && !stop_; c = command()) {
            std::string verb = c.substr(0, c.find(' '));
            if (verb == "USER") {
                if (mode_ == kStallUser) {
                    hold();
                    return;
                }
                reply("331 Password required.\r\n");
            } else if (verb == "PASS") {
                reply("230 Logged in.\r\n");
            } else if (verb == "TYPE") {
                reply("200 Type set.\r\n");
            } else if (verb == "PASV") {
                if (mode_ == kStallPasv) {
                    hold();
                    return;
                }
                uint16_t p = 0;
                pasv_ = ListenLoopback(&p);
                reply("227 Entering Passive Mode (127,0,0,1," + std::to_string(p >> 8) + "," +
                      std::to_string(p & 0xFF) + ").\r\n");
            } else if (verb == "RETR") {
                retr();
                if (ctrl_ < 0)
                    return;
            } else if (verb == "QUIT") {
                reply("221 Goodbye.\r\n");
                return;
            } else {
                reply("502 Not implemented.\r\n");
            }
        }
    }

    Mode mode_;
    Bytes file_;
    int listen_ = -1, ctrl_ = -1, pasv_ = -1, data_ = -1;
    uint16_t port_ = 0;
    std::string in_;
    std::atomic<bool> stop_{false};
    std::atomic<int64_t> stalledAt_{0};
    std::atomic<size_t> dataSent_{0};
    std::thread thread_;
};

}  // namespace ft
