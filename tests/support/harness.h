// Test harness for integration tests: a private sandbox directory per test,
// the real adapterd-sandbox as a child process with its log captured, a
// scripted server on loopback, pseudo-terminals as serial ports, and the
// keep-alive queue. Everything binds to 127.0.0.1 only.
#pragma once
#include <sys/types.h>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace th {

using Bytes = std::vector<uint8_t>;
Bytes B(std::initializer_list<int> v);           // byte list helper
Bytes B(const std::string &s);
std::string Hex(const Bytes &b);                 // "01 c1 06"
int64_t NowMs();                                  // monotonic milliseconds

// Paths of the binaries under test (set by the build).
const char *SandboxBin();   // adapterd-sandbox
const char *DaemonBin();    // adapterd (its static link in a musl build)
const char *ToolPath(const char *name);  // tools built with the project

// A free TCP port on 127.0.0.1 (bound then released).
uint16_t FreePort();

// Private directory tree standing in for the router's file system.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    const std::string &root() const { return root_; }
    std::string path(const std::string &abs) const { return root_ + abs; }
    // Identity file in the router's format.
    void writeIdentity(const std::string &sn, const std::string &pc);
    void writeFile(const std::string &abs, const std::string &content);
    std::string readFile(const std::string &abs) const;
    bool exists(const std::string &abs) const;
    // Waits until the file holds needle (its whole content when it is
    // replaced by a rename); false on timeout.
    bool waitFileHas(const std::string &abs, const std::string &needle, int timeoutMs) const;
    // Brightness file content of an LED ("0" on, "1" off, "" never written).
    std::string led(bool online) const;
    int msgKey() const { return msgKey_; }
private:
    std::string root_;
    int msgKey_;
    int msgId_;
};

// Pseudo-terminal; the slave is linked into the sandbox as a device path.
class Pty {
public:
    Pty();
    ~Pty();
    int master() const { return master_; }
    const std::string &slavePath() const { return slave_; }
    void linkAs(const Sandbox &sb, const std::string &abs);  // e.g. "/dev/ttyS0"
    void write(const Bytes &b);
    // Reads until n bytes arrived or timeoutMs passed.
    Bytes read(size_t n, int timeoutMs);
    // Reads whatever arrives until quietMs of silence (or maxMs in total).
    Bytes readQuiet(int quietMs, int maxMs);
    // Closes both ends the test holds, as a device that is unplugged.
    void unplug();
private:
    int master_ = -1;
    int slaveKeep_ = -1;   // keeps the pty alive between opens by the daemon
    std::string slave_;
};

// The daemon under test.
class Daemon {
public:
    Daemon() = default;
    ~Daemon();  // SIGKILL if still running
    // Starts adapterd-sandbox with ADAPTER_ROOT etc. from sb; serverPort 0
    // means an unused port; extra env entries override (e.g. FAKETIME);
    // program, when given, is another program of the build and its
    // arguments.
    void start(const Sandbox &sb, uint16_t serverPort,
               const std::map<std::string, std::string> &extraEnv = {},
               const std::vector<std::string> &program = {});
    pid_t pid() const { return pid_; }
    std::string log() const;
    // Waits until the log (from byte offset `from`) contains needle.
    bool waitFor(const std::string &needle, int timeoutMs, size_t from = 0) const;
    size_t count(const std::string &needle) const;
    size_t logSize() const;
    void signal(int sig);
    // Exit status (0..255), -2 for a signal death, -1 if still running.
    int waitExit(int timeoutMs);
    bool running();
private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    std::thread reader_;
    mutable std::mutex mu_;
    std::string log_;
    int status_ = -1;
};

// A scripted server on 127.0.0.1, or on another loopback address (IPv4 or
// IPv6) and a given port: one client at a time.
class Server {
public:
    Server() : Server("127.0.0.1") {}
    explicit Server(const std::string &addr, uint16_t port = 0);
    ~Server();
    uint16_t port() const { return port_; }
    bool accept(int timeoutMs);          // waits for the adapter to connect
    bool connected() const { return client_ >= 0; }
    // One receive: one message (the adapter sends each with one send).
    // Empty when nothing arrived in time, or the peer closed (then
    // connected() turns false).
    Bytes recv(int timeoutMs);
    // Receives until a message with the given command byte arrives.
    Bytes recvCmd(uint8_t cmd, int timeoutMs);
    bool peerClosed(int timeoutMs);      // true once the adapter closed
    // Sends all of b (blocking); false if the connection failed.
    bool send(const Bytes &b);
    void closeClient();
    // Closes with SO_LINGER 0: the adapter sees a reset, not an orderly end.
    void reset();
    void stopListening();
private:
    int listen_ = -1;
    int client_ = -1;
    uint16_t port_ = 0;
};

// Whether the file parses as one JSON document (python3's parser).
bool JsonValid(const std::string &path);

// Online result / heartbeat result bytes.
Bytes OnlineResult(uint8_t code);
Bytes HeartbeatResult(uint8_t code);
// Server data message with settings and payload.
Bytes DataMsg(uint8_t baud, uint8_t bits, uint8_t stop, uint8_t parity, const Bytes &data);

// The keep-alive queue of one sandbox; removed at destruction.
class MsgQueue {
public:
    explicit MsgQueue(int key);
    ~MsgQueue();
    // Receives one message: type and body; false on timeout.
    bool recv(long *type, std::string *body, int timeoutMs);
    // Posts messages until the queue is full, as when nobody reads it;
    // returns how many.
    int fill();
private:
    int id_ = -1;
};

}  // namespace th
