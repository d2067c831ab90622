// Integration harness: sandbox directories, the daemon as a child process
// with its standard output captured, a scripted server, pseudo-terminals and
// the keep-alive queue. Only 127.0.0.1 is ever bound or connected.
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace th {

namespace {

std::atomic<int> s_seq{0};

void mkdirs(const std::string &path)
{
    std::string cur;
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty()) {
            cur = cur.empty() ? "/" : cur;
            continue;
        }
        cur += (cur.empty() || cur.back() == '/') ? part : "/" + part;
        mkdir(cur.c_str(), 0755);
    }
}

// Waits for fd to become readable; false on timeout.
bool waitReadable(int fd, int timeoutMs)
{
    int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        int left = (int)(deadline - NowMs());
        if (left < 0)
            left = 0;
        struct pollfd p = {fd, POLLIN, 0};
        int rc = poll(&p, 1, left);
        if (rc > 0)
            return true;
        if (rc == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

}  // namespace

Bytes B(std::initializer_list<int> v)
{
    Bytes b;
    for (int x : v)
        b.push_back((uint8_t)x);
    return b;
}

Bytes B(const std::string &s) { return Bytes(s.begin(), s.end()); }

std::string Hex(const Bytes &b)
{
    std::string out;
    char tmp[4];
    for (size_t i = 0; i < b.size(); i++) {
        snprintf(tmp, sizeof tmp, i ? " %02x" : "%02x", b[i]);
        out += tmp;
    }
    return out;
}

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

const char *SandboxBin() { return ADAPTERD_SANDBOX_BIN; }
const char *DaemonBin() { return ADAPTERD_BIN; }

const char *ToolPath(const char *name)
{
    static thread_local std::string p;
    p = std::string(ADAPTER_TOOLS_DIR) + "/" + name;
    return p.c_str();
}

uint16_t FreePort()
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (struct sockaddr *)&a, sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, (struct sockaddr *)&a, &len);
    close(s);
    return ntohs(a.sin_port);
}

// ---- Sandbox

Sandbox::Sandbox()
{
    char tmpl[] = "/tmp/adapterd-test-XXXXXX";
    root_ = mkdtemp(tmpl);
    for (const char *d : {"/dev", "/etc/config", "/usr/bin/zov", "/sys/devices/gpio-leds.4/leds/mpr-a2:led_data",
                          "/sys/devices/gpio-leds.4/leds/mpr-a2:led_online"})
        mkdirs(root_ + d);
    // Tests run in parallel and pids wrap, so a key derived from the pid
    // alone can collide: reserve one by creating its queue exclusively.
    uint32_t probe = ((uint32_t)getpid() * 64u + (uint32_t)s_seq++) & 0xffffu;
    for (;;) {
        msgKey_ = 0x41440000 + (int)probe;
        msgId_ = msgget((key_t)msgKey_, IPC_CREAT | IPC_EXCL | 0666);
        if (msgId_ >= 0 || errno != EEXIST)
            break;
        probe = (probe + 1) & 0xffffu;
    }
}

Sandbox::~Sandbox()
{
    // By id, not key: the key may already belong to another test's queue.
    if (msgId_ >= 0)
        msgctl(msgId_, IPC_RMID, nullptr);
    if (getenv("ADAPTER_KEEP_SANDBOX") != nullptr)
        return;
    std::string cmd = "rm -rf '" + root_ + "'";
    int rc = system(cmd.c_str());
    (void)rc;
}

void Sandbox::writeIdentity(const std::string &sn, const std::string &pc)
{
    writeFile("/etc/config/device_info",
              "config deviceInfo\r\n\toption serialNum " + sn + "\r\n\toption pairCode " + pc + "\r\n");
}

void Sandbox::writeFile(const std::string &abs, const std::string &content)
{
    std::ofstream f(path(abs), std::ios::binary | std::ios::trunc);
    f << content;
}

std::string Sandbox::readFile(const std::string &abs) const
{
    std::ifstream f(path(abs), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool Sandbox::exists(const std::string &abs) const
{
    struct stat st;
    return stat(path(abs).c_str(), &st) == 0;
}

bool Sandbox::waitFileHas(const std::string &abs, const std::string &needle, int timeoutMs) const
{
    int64_t deadline = NowMs() + timeoutMs;
    while (readFile(abs).find(needle) == std::string::npos) {
        if (NowMs() >= deadline)
            return false;
        usleep(20 * 1000);
    }
    return true;
}

bool JsonValid(const std::string &path)
{
    std::string cmd = "python3 -c 'import json,sys; json.load(open(sys.argv[1], encoding=\"utf-8\"))' '" + path + "'";
    return system(cmd.c_str()) == 0;
}

std::string Sandbox::led(bool online) const
{
    std::string s = readFile(online ? "/sys/devices/gpio-leds.4/leds/mpr-a2:led_online/brightness"
                                    : "/sys/devices/gpio-leds.4/leds/mpr-a2:led_data/brightness");
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

// ---- Pty

Pty::Pty()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(master_);
    unlockpt(master_);
    char name[128];
    ptsname_r(master_, name, sizeof name);
    slave_ = name;
    // Holding the slave open keeps the master readable and writable while
    // the daemon closes and reopens the port.
    slaveKeep_ = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios t;
    tcgetattr(slaveKeep_, &t);
    cfmakeraw(&t);
    tcsetattr(slaveKeep_, TCSANOW, &t);
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
}

Pty::~Pty() { unplug(); }

void Pty::unplug()
{
    if (slaveKeep_ >= 0)
        close(slaveKeep_);
    if (master_ >= 0)
        close(master_);
    slaveKeep_ = master_ = -1;
}

void Pty::linkAs(const Sandbox &sb, const std::string &abs)
{
    std::string p = sb.path(abs);
    unlink(p.c_str());
    int rc = symlink(slave_.c_str(), p.c_str());
    (void)rc;
}

void Pty::write(const Bytes &b)
{
    size_t off = 0;
    while (off < b.size()) {
        ssize_t n = ::write(master_, b.data() + off, b.size() - off);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            usleep(1000);
            continue;
        }
        if (n <= 0)
            return;
        off += (size_t)n;
    }
}

Bytes Pty::read(size_t n, int timeoutMs)
{
    Bytes out;
    int64_t deadline = NowMs() + timeoutMs;
    while (out.size() < n) {
        int left = (int)(deadline - NowMs());
        if (left <= 0 || !waitReadable(master_, left))
            break;
        uint8_t buf[4096];
        ssize_t got = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0)
            break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

Bytes Pty::readQuiet(int quietMs, int maxMs)
{
    Bytes out;
    int64_t deadline = NowMs() + maxMs;
    for (;;) {
        int left = (int)(deadline - NowMs());
        if (left <= 0 || !waitReadable(master_, std::min(left, quietMs)))
            break;
        uint8_t buf[4096];
        ssize_t got = ::read(master_, buf, sizeof buf);
        if (got <= 0)
            break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

// ---- Daemon

Daemon::~Daemon()
{
    if (pid_ > 0 && status_ == -1) {
        kill(pid_, SIGKILL);
        waitExit(5000);
    }
    if (reader_.joinable())
        reader_.join();
    if (outFd_ >= 0)
        close(outFd_);
    // A sanitized daemon reports on its own output; any report fails the test.
    for (const char *marker : {"ERROR: AddressSanitizer", "WARNING: ThreadSanitizer", "runtime error:",
                               "ERROR: LeakSanitizer"}) {
        if (log_.find(marker) != std::string::npos)
            ADD_FAILURE() << "sanitizer report in the daemon's output:\n" << log_;
    }
}

void Daemon::start(const Sandbox &sb, uint16_t serverPort, const std::map<std::string, std::string> &extraEnv,
                   const std::vector<std::string> &program)
{
    std::map<std::string, std::string> env;
    for (char **e = environ; *e; e++) {
        std::string kv = *e;
        size_t eq = kv.find('=');
        if (eq != std::string::npos)
            env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    env["ADAPTER_ROOT"] = sb.root();
    env["ADAPTER_SERVER_HOST"] = "127.0.0.1";
    env["ADAPTER_SERVER_PORT"] = std::to_string(serverPort ? serverPort : FreePort());
    env["ADAPTER_MSG_KEY"] = std::to_string(sb.msgKey());
    env["ADAPTER_FTP_PORT"] = std::to_string(FreePort());
    // Tests see how the adapter itself copes with a missing port or file,
    // so the sandbox must not refuse such a tree first.
    env["ADAPTER_CHECK_TREE"] = "0";
    // libfaketime is preloaded in some tests; ASan must not refuse that.
    if (env.find("ASAN_OPTIONS") == env.end())
        env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
    for (const auto &kv : extraEnv)
        env[kv.first] = kv.second;
    std::vector<std::string> envStrs;
    for (const auto &kv : env)
        envStrs.push_back(kv.first + "=" + kv.second);
    std::vector<char *> envp;
    for (auto &s : envStrs)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);

    // Cross-built tests run under an emulator without binfmt_misc: the
    // daemon is started through the same emulator. Built before fork: the
    // child of a threaded process must not allocate.
    std::vector<std::string> argStrs;
#ifdef ADAPTER_EMULATOR
    {
        std::stringstream emu(ADAPTER_EMULATOR);
        std::string word;
        while (emu >> word)
            argStrs.push_back(word);
        // The emulator keeps a preloaded host library (faketime) for itself;
        // the target's loader could not use it.
        if (env.count("LD_PRELOAD") != 0) {
            argStrs.push_back("-U");
            argStrs.push_back("LD_PRELOAD");
        }
    }
#endif
    if (program.empty())
        argStrs.push_back(SandboxBin());
    argStrs.insert(argStrs.end(), program.begin(), program.end());
    std::vector<char *> argv;
    for (auto &s : argStrs)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);

    int fds[2];
    // Close-on-exec everywhere: the daemon must not inherit test sockets.
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        // Own process group, so a stray signal to the test does not hit it.
        setpgid(0, 0);
        // A test killed by its time-out must not leave its adapter behind:
        // one that reopens its port path every second takes over the pty
        // that a later test gets under the same number, and reads its bytes.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    outFd_ = fds[0];
    reader_ = std::thread([this] {
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(outFd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            std::lock_guard<std::mutex> g(mu_);
            log_.append(buf, (size_t)n);
        }
    });
}

std::string Daemon::log() const
{
    std::lock_guard<std::mutex> g(mu_);
    return log_;
}

size_t Daemon::logSize() const
{
    std::lock_guard<std::mutex> g(mu_);
    return log_.size();
}

bool Daemon::waitFor(const std::string &needle, int timeoutMs, size_t from) const
{
    int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> g(mu_);
            if (log_.size() >= from && log_.find(needle, from) != std::string::npos)
                return true;
        }
        if (NowMs() >= deadline)
            return false;
        usleep(10000);
    }
}

size_t Daemon::count(const std::string &needle) const
{
    std::lock_guard<std::mutex> g(mu_);
    size_t n = 0;
    for (size_t pos = log_.find(needle); pos != std::string::npos; pos = log_.find(needle, pos + needle.size()))
        n++;
    return n;
}

void Daemon::signal(int sig)
{
    if (pid_ > 0 && status_ == -1)
        kill(pid_, sig);
}

int Daemon::waitExit(int timeoutMs)
{
    if (status_ != -1)
        return status_;
    if (pid_ <= 0)
        return -1;
    int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -2;
            if (reader_.joinable())
                reader_.join();
            return status_;
        }
        if (NowMs() >= deadline)
            return -1;
        usleep(10000);
    }
}

bool Daemon::running() { return waitExit(0) == -1 && pid_ > 0; }

// ---- Server

Server::Server(const std::string &addr, uint16_t port)
{
    struct sockaddr_in6 a6 = {};
    struct sockaddr_in a4 = {};
    bool v6 = inet_pton(AF_INET6, addr.c_str(), &a6.sin6_addr) == 1;
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(port);
    a4.sin_family = AF_INET;
    a4.sin_port = htons(port);
    if (!v6 && inet_pton(AF_INET, addr.c_str(), &a4.sin_addr) != 1)
        return;  // only loopback literals are ever given
    struct sockaddr *sa = v6 ? (struct sockaddr *)&a6 : (struct sockaddr *)&a4;
    socklen_t len = v6 ? sizeof a6 : sizeof a4;
    listen_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    bind(listen_, sa, len);
    listen(listen_, 4);
    getsockname(listen_, sa, &len);
    port_ = ntohs(v6 ? a6.sin6_port : a4.sin_port);
}

Server::~Server()
{
    closeClient();
    stopListening();
}

bool Server::accept(int timeoutMs)
{
    if (listen_ < 0 || !waitReadable(listen_, timeoutMs))
        return false;
    closeClient();
    client_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client_ >= 0) {
        int one = 1;
        setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return client_ >= 0;
}

Bytes Server::recv(int timeoutMs)
{
    Bytes out;
    if (client_ < 0 || !waitReadable(client_, timeoutMs))
        return out;
    uint8_t buf[2048];
    ssize_t n = ::recv(client_, buf, sizeof buf, 0);
    if (n > 0)
        out.assign(buf, buf + n);
    else
        closeClient();   // the adapter went away; later calls return at once
    return out;
}

Bytes Server::recvCmd(uint8_t cmd, int timeoutMs)
{
    int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        int left = (int)(deadline - NowMs());
        if (left <= 0)
            return {};
        Bytes m = recv(left);
        if (m.size() >= 2 && m[1] == cmd)
            return m;
        if (client_ < 0)
            return {};
    }
}

bool Server::peerClosed(int timeoutMs)
{
    int64_t deadline = NowMs() + timeoutMs;
    while (client_ >= 0) {
        int left = (int)(deadline - NowMs());
        if (left <= 0 || !waitReadable(client_, left))
            return false;
        uint8_t buf[2048];
        if (::recv(client_, buf, sizeof buf, 0) <= 0)
            closeClient();
    }
    return true;
}

bool Server::send(const Bytes &b)
{
    size_t off = 0;
    while (client_ >= 0 && off < b.size()) {
        ssize_t n = ::send(client_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += (size_t)n;
    }
    return off == b.size();
}

void Server::reset()
{
    if (client_ < 0)
        return;
    struct linger lg = {1, 0};
    setsockopt(client_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    closeClient();
}

void Server::closeClient()
{
    if (client_ >= 0)
        close(client_);
    client_ = -1;
}

void Server::stopListening()
{
    if (listen_ >= 0)
        close(listen_);
    listen_ = -1;
}

Bytes OnlineResult(uint8_t code) { return B({0x01, 0x80, code}); }
Bytes HeartbeatResult(uint8_t code) { return B({0x01, 0x81, code}); }

Bytes DataMsg(uint8_t baud, uint8_t bits, uint8_t stop, uint8_t parity, const Bytes &data)
{
    Bytes m = {0x01, 0x40, baud, bits, stop, parity};
    uint32_t n = (uint32_t)data.size();
    for (int i = 0; i < 4; i++)
        m.push_back((uint8_t)(n >> (8 * i)));
    m.insert(m.end(), data.begin(), data.end());
    return m;
}

// ---- MsgQueue

MsgQueue::MsgQueue(int key) { id_ = msgget((key_t)key, IPC_CREAT | 0666); }

MsgQueue::~MsgQueue()
{
    if (id_ >= 0)
        msgctl(id_, IPC_RMID, nullptr);
}

int MsgQueue::fill()
{
    struct {
        long mtype;
        char mtext[64];
    } m = {1, "filler"};
    int n = 0;
    while (id_ >= 0 && msgsnd(id_, &m, sizeof m.mtext, IPC_NOWAIT) == 0)
        n++;
    return n;
}

bool MsgQueue::recv(long *type, std::string *body, int timeoutMs)
{
    struct {
        long mtype;
        char mtext[64];
    } m;
    int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        ssize_t n = msgrcv(id_, &m, sizeof m.mtext, 0, IPC_NOWAIT);
        if (n >= 0) {
            *type = m.mtype;
            body->assign(m.mtext, (size_t)n);
            return true;
        }
        if (NowMs() >= deadline)
            return false;
        usleep(20000);
    }
}

}  // namespace th
