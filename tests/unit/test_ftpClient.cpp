// FTP client against a scripted FTP server on 127.0.0.1: each test starts a
// server thread that plays one control connection (and its passive data
// connections) and records every command line it received.
#include "ftp/ftpClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A listener on 127.0.0.1, or on ::1 alone.
int listenLoopback(uint16_t *port, bool v6 = false)
{
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr *sa = v6 ? (sockaddr *)&a6 : (sockaddr *)&a;
    socklen_t len = v6 ? sizeof a6 : sizeof a;
    if (bind(fd, sa, len) != 0 || listen(fd, 4) != 0)
        return -1;
    getsockname(fd, sa, &len);
    *port = ntohs(v6 ? a6.sin6_port : a.sin_port);
    return fd;
}

int acceptWithin(int ls, int timeoutMs)
{
    pollfd p{ls, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1)
        return -1;
    return accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
}

void sendAll(int fd, const std::string &s)
{
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        off += (size_t)n;
    }
}

// Reads until the peer closes (or timeoutMs of silence).
std::string readToEof(int fd, int timeoutMs = 20000)
{
    std::string out;
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1)
            break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        out.append(buf, (size_t)n);
    }
    return out;
}

// One control connection as the script sees it.
struct Ctl {
    int fd = -1;
    std::string pending;
    std::vector<std::string> *log;
    bool v6 = false;  // the control connection is on ::1

    // Next command line without CRLF; "" on EOF or time-out.
    std::string cmd(int timeoutMs = 20000)
    {
        for (;;) {
            size_t eol = pending.find("\r\n");
            if (eol != std::string::npos) {
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 2);
                log->push_back(line);
                return line;
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) != 1)
                return "";
            char buf[2048];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return "";
            pending.append(buf, (size_t)n);
        }
    }
    void reply(const std::string &line) { sendAll(fd, line + "\r\n"); }
    // Answers the next command (expected PASV) and accepts the data
    // connection. Data socket, or -1.
    // The listener is on 127.0.0.1 whatever the reply names; over ::1 the
    // command must be EPSV, and the listener is on ::1.
    int pasv(const std::string &named = "127,0,0,1")
    {
        std::string c = cmd();
        if (c == "QUIT")  // the client gave up before the transfer
            reply("221 bye");
        if (c != (v6 ? "EPSV" : "PASV"))
            return -1;
        uint16_t port = 0;
        int ls = listenLoopback(&port, v6);
        if (v6)
            reply("229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
        else
            reply("227 Entering Passive Mode (" + named + "," + std::to_string(port >> 8) + "," +
                  std::to_string(port & 0xFF) + ").");
        int d = acceptWithin(ls, 10000);
        close(ls);
        return d;
    }
    // Sends the data, ends it, and waits until the client has closed its end:
    // the client reads the final reply only after that, so a following reply
    // never shares a receive with the preliminary one.
    static void serve(int d, const std::string &data)
    {
        sendAll(d, data);
        shutdown(d, SHUT_WR);
        readToEof(d);
        close(d);
    }
    void login() // greeting and USER answered 230
    {
        reply("220 scripted");
        cmd();
        reply("230 ok");
    }
};

class Script {
public:
    explicit Script(std::function<void(Ctl &)> fn, bool v6 = false)
    {
        ls_ = listenLoopback(&port_, v6);
        thread_ = std::thread([this, fn, v6] {
            Ctl c;
            c.log = &commands_;
            c.v6 = v6;
            c.fd = acceptWithin(ls_, 20000);
            if (c.fd < 0)
                return;
            fn(c);
            // Whatever follows (QUIT, stray commands) is recorded too.
            while (!c.cmd().empty()) {
                if (c.log->back() == "QUIT")
                    c.reply("221 bye");
            }
            close(c.fd);
        });
    }
    ~Script() { join(); close(ls_); }
    uint16_t port() const { return port_; }
    // Commands received; call once the client is done.
    const std::vector<std::string> &commands()
    {
        join();
        return commands_;
    }
    int connect(const char *user = "u", const char *pass = "p")
    {
        return FTP_Connect("127.0.0.1", port_, user, pass);
    }

private:
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }
    int ls_ = -1;
    uint16_t port_ = 0;
    std::vector<std::string> commands_;
    std::thread thread_;
};

// A script that greets with 220 and answers each command with the next line.
std::function<void(Ctl &)> answers(std::vector<std::string> replies)
{
    return [replies](Ctl &c) {
        c.reply("220 scripted");
        for (const auto &r : replies) {
            if (c.cmd().empty())
                return;
            c.reply(r);
        }
    };
}

// A file name in this process's scratch directory, removed at exit.
std::string tempPath(const char *name)
{
    static char dir[] = "/tmp/ftpunitXXXXXX";
    static bool made = [] {
        if (mkdtemp(dir) == nullptr)
            return false;
        std::atexit([] {
            std::string cmd = std::string("rm -rf '") + dir + "'";
            int rc = system(cmd.c_str());
            (void)rc;
        });
        return true;
    }();
    (void)made;
    return std::string(dir) + "/" + name;
}

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string randomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &ch : s)
        ch = (char)(rng() & 0xFF);
    return s;
}

using Cmds = std::vector<std::string>;

// RETR exchange after login: SIZE answered by `sizeReply` ("" gives the
// data's true length), PASV, then RETR answered by `retrReply` ("" sends
// nothing), the data, then `finalReply` ("" closes the connection instead
// of answering).
std::function<void(Ctl &)> retrScript(std::string retrReply, std::string data, std::string finalReply,
                                      std::string sizeReply = "")
{
    return [=](Ctl &c) {
        c.login();
        if (c.cmd() != "TYPE I")
            return;
        c.reply("200 binary");
        if (c.cmd().rfind("SIZE ", 0) != 0)
            return;
        c.reply(sizeReply.empty() ? "213 " + std::to_string(data.size()) : sizeReply);
        int d = c.pasv();
        if (d < 0)
            return;
        c.cmd();  // RETR
        if (!retrReply.empty())
            c.reply(retrReply);
        if (retrReply.rfind("5", 0) == 0 || retrReply == "hello") {
            close(d);
            return;
        }
        Ctl::serve(d, data);
        if (finalReply.empty()) {
            shutdown(c.fd, SHUT_RDWR);
            return;
        }
        c.reply(finalReply);
    };
}

}  // namespace

// ---------------------------------------------------------------------------

TEST(FtpParse, ReplyCodes)
{
    EXPECT_EQ(ftpReplyCode("220 ready\r\n"), 220);
    EXPECT_EQ(ftpReplyCode("230-first line\r\n230 last\r\n"), 230);
    EXPECT_EQ(ftpReplyCode("  331 need password"), 331);
    EXPECT_EQ(ftpReplyCode("hello"), 0);
    EXPECT_EQ(ftpReplyCode(""), 0);
    EXPECT_EQ(ftpReplyCode("-1 looks like a failure"), 0);
    // Would overflow an int; still a refusal, never a small code.
    EXPECT_EQ(ftpReplyCode("99999999999999999999999 x"), 999);
}

TEST(FtpParse, PasvGroup)
{
    char host[16] = "unchanged";
    int port = -7;
    ASSERT_EQ(ftpParsePasv("227 Entering Passive Mode (10,0,0,5,19,137).\r\n", host, sizeof host, &port), 0);
    EXPECT_STREQ(host, "10.0.0.5");
    EXPECT_EQ(port, 5001);
    ASSERT_EQ(ftpParsePasv("227 =( 192, 168,1,20,255,255", host, sizeof host, &port), 0);
    EXPECT_STREQ(host, "192.168.1.20");
    EXPECT_EQ(port, 65535);

    const char *bad[] = {
        "(10,0,0,5,19,137)",            // group must follow other text
        "227 Entering Passive Mode",    // no group
        "227 =10,0,0,5,19,137",         // no parenthesis
        "227 (10,0,0,5,19)",            // five numbers
        "227 (10,0,0,5,19,",            // reply ends inside the group
        "227 (256,0,0,5,19,137)",       // address byte out of range
        "227 (10,0,0,5,300,1)",         // port byte out of range
        "227 (10,0,0,-5,19,137)",       // negative
        "227 (10,0,0,99999999999999999999,1,1)",
        "227 (10;0;0;5;19;137)",
        "",
    };
    for (const char *r : bad) {
        strcpy(host, "unchanged");
        port = -7;
        EXPECT_EQ(ftpParsePasv(r, host, sizeof host, &port), -1) << r;
        EXPECT_STREQ(host, "unchanged") << r;
        EXPECT_EQ(port, -7) << r;
    }
    // A host buffer too small for the address is a failure, not a cut.
    char tiny[8] = "x";
    EXPECT_EQ(ftpParsePasv("227 (192,168,100,200,1,1)", tiny, sizeof tiny, &port), -1);
    EXPECT_STREQ(tiny, "x");

    // EPSV: the port alone, between a delimiter the server chooses.
    ASSERT_EQ(ftpParseEpsv("229 Entering Extended Passive Mode (|||6446|)\r\n", &port), 0);
    EXPECT_EQ(port, 6446);
    ASSERT_EQ(ftpParseEpsv("229 ok (!!!65535!)", &port), 0);
    EXPECT_EQ(port, 65535);
    ASSERT_EQ(ftpParseEpsv("229 ok (###1#)", &port), 0);
    EXPECT_EQ(port, 1);
    const char *badEpsv[] = {
        "227 Entering Passive Mode (|||6446|)",  // not a 229
        "229 Entering Extended Passive Mode",    // no group
        "229 (||6446|)",                         // two delimiters before the port
        "229 (|||6446)",                         // no closing delimiter
        "229 (|||6446|",                         // no parenthesis after it
        "229 (|!|6446|)",                        // mixed delimiters
        "229 (111644611)",                       // a digit cannot delimit
        "229 (|||0|)",                           // port out of range
        "229 (|||65536|)",
        "229 (|||123456|)",
        "229 (||||)",
        "229 (|1|::1|6446|)",                    // an address is not taken
        "",
    };
    for (const char *r : badEpsv) {
        port = -7;
        EXPECT_EQ(ftpParseEpsv(r, &port), -1) << r;
        EXPECT_EQ(port, -7) << r;
    }
    EXPECT_EQ(ftpParseEpsv(nullptr, &port), -1);
}

TEST(FtpConnect, GreetingOtherThan220OrClosedFails)
{
    for (const char *greet : {"421 too many users", "hello", ""}) {
        Script s([greet](Ctl &c) {
            if (*greet)
                c.reply(greet);
            else
                shutdown(c.fd, SHUT_RDWR);
        });
        EXPECT_EQ(s.connect(), -1) << greet;
        EXPECT_TRUE(s.commands().empty()) << greet;  // socket closed, no USER
    }
}

TEST(FtpConnect, SilentGreetingTimesOut)
{
    Script s([](Ctl &c) { c.cmd(30000); });
    int64_t t0 = nowMs();
    EXPECT_EQ(s.connect(), -1);
    int64_t took = nowMs() - t0;
    EXPECT_GE(took, 14000);
    EXPECT_LT(took, 25000);
    EXPECT_TRUE(s.commands().empty());
}

TEST(FtpConnect, UnreachableOrUnresolvableFails)
{
    uint16_t port = 0;
    int ls = listenLoopback(&port);
    close(ls);  // nothing listens there now
    EXPECT_EQ(FTP_Connect("127.0.0.1", port, "u", "p"), -1);
    EXPECT_EQ(FTP_Connect("", port, "u", "p"), -1);
    EXPECT_EQ(FTP_Connect(nullptr, port, "u", "p"), -1);
    EXPECT_EQ(FTP_Connect("127.0.0.1", 70000, "u", "p"), -1);
}

TEST(FtpConnect, LoginReplies)
{
    struct Case {
        Cmds replies;
        bool ok;
        Cmds sent;
    } cases[] = {
        {{"230 no password needed", "221 bye"}, true, {"USER u", "QUIT"}},
        {{"331 password", "230 in", "221 bye"}, true, {"USER u", "PASS p", "QUIT"}},
        {{"331 password", "530 wrong"}, false, {"USER u", "PASS p"}},
        {{"332 need account"}, false, {"USER u"}},
        {{"530 not allowed"}, false, {"USER u"}},
        {{"no code"}, false, {"USER u"}},
    };
    for (const auto &tc : cases) {
        Script s(answers(tc.replies));
        int sock = s.connect();
        EXPECT_EQ(sock >= 0, tc.ok) << tc.replies[0];
        if (sock >= 0) {
            EXPECT_EQ(FTP_Quit(sock), 221);
            EXPECT_EQ(fcntl(sock, F_GETFD), -1);  // closed
        }
        EXPECT_EQ(s.commands(), tc.sent) << tc.replies[0];
    }
}

TEST(FtpCommands, DirectoryOperationsAndResults)
{
    Script s(answers({"230 in", "550 no such dir", "250 ok", "257 made", "550 exists", "250 up",
                      "500 what", "250 gone", "450 busy", "250 removed", "550 not empty",
                      "no code at all", "250 ok"}));
    int sock = s.connect();
    ASSERT_GE(sock, 0);
    EXPECT_EQ(FTP_Cwd(sock, "missing"), -1);  // Cwd folds every failure into -1
    EXPECT_EQ(FTP_Cwd(sock, "pub"), 0);
    EXPECT_EQ(FTP_Mkd(sock, "new"), 0);
    EXPECT_EQ(FTP_Mkd(sock, "new"), 550);  // the others pass on the code
    EXPECT_EQ(FTP_Cdup(sock), 0);
    EXPECT_EQ(FTP_Cdup(sock), 500);
    EXPECT_EQ(FTP_Deletefile(sock, "a.bin"), 0);
    EXPECT_EQ(FTP_Deletefile(sock, "a.bin"), 450);
    EXPECT_EQ(FTP_Deletefolder(sock, "d"), 0);
    EXPECT_EQ(FTP_Deletefolder(sock, "d"), 550);
    EXPECT_EQ(FTP_Mkd(sock, "x"), -1);  // a reply without a code is no success
    EXPECT_EQ(FTP_Cwd(sock, "/"), 0);
    FTP_Quit(sock);
    EXPECT_EQ(s.commands(), (Cmds{"USER u", "CWD missing", "CWD pub", "MKD new", "MKD new", "CDUP", "CDUP",
                                  "DELE a.bin", "DELE a.bin", "RMD d", "RMD d", "MKD x", "CWD /", "QUIT"}));
}

TEST(FtpCommands, RenameSendsRntoOnlyAfter350)
{
    Script s(answers({"230 in", "550 no file", "350 ready", "250 renamed", "350 ready", "553 bad name"}));
    int sock = s.connect();
    ASSERT_GE(sock, 0);
    EXPECT_EQ(FTP_Renamefile(sock, "a", "b"), 550);
    EXPECT_EQ(FTP_Renamefile(sock, "c", "d"), 0);
    EXPECT_EQ(FTP_Renamefile(sock, "e", "f"), 553);
    FTP_Quit(sock);
    EXPECT_EQ(s.commands(), (Cmds{"USER u", "RNFR a", "RNFR c", "RNTO d", "RNFR e", "RNTO f", "QUIT"}));
}

TEST(FtpCommands, LinesThatDoNotFitOrBreakAreNeverSent)
{
    std::string longUser(130, 'u');
    Script refusedLogin(answers({}));
    EXPECT_EQ(refusedLogin.connect(longUser.c_str(), "p"), -1);
    EXPECT_TRUE(refusedLogin.commands().empty());

    Script s(answers({"230 in"}));
    int sock = s.connect();
    ASSERT_GE(sock, 0);
    std::string path965(965, 'p');  // the longest path an upgrade request carries
    std::string local = tempPath("never");
    int32_t count = 0;
    EXPECT_EQ(FTP_Retrfile(sock, path965.c_str(), local.c_str(), &count), -1);
    EXPECT_EQ(access(local.c_str(), F_OK), -1);  // not even created
    EXPECT_EQ(FTP_Storfile(sock, "/etc/hostname", path965.c_str(), nullptr, nullptr), -1);
    char *buf = nullptr;
    int64_t len = -1;
    EXPECT_EQ(FTP_List(sock, path965.c_str(), &buf, &len), -1);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(FTP_Cwd(sock, std::string(124, 'c').c_str()), -1);  // "CWD " + 124 + CRLF > 128
    EXPECT_EQ(FTP_Mkd(sock, path965.c_str()), -1);
    EXPECT_EQ(FTP_Renamefile(sock, "short", path965.c_str()), -1);  // not even RNFR
    // A line break inside an argument would smuggle in a second command.
    EXPECT_EQ(FTP_Deletefile(sock, "x\r\nRMD /"), -1);
    EXPECT_EQ(FTP_Retrfile(sock, "pkg\nDELE pkg", local.c_str(), nullptr), -1);
    EXPECT_EQ(FTP_Mkd(sock, "dir\r"), -1);  // so would one at its very end
    EXPECT_EQ(FTP_Cwd(sock, "dir\n"), -1);
    FTP_Quit(sock);
    EXPECT_EQ(s.commands(), (Cmds{"USER u", "QUIT"}));
}

TEST(FtpCommands, ClosedPeerDoesNotKillTheProcess)
{
    Script s([](Ctl &c) {
        c.login();
        shutdown(c.fd, SHUT_RDWR);
    });
    int sock = s.connect();
    ASSERT_GE(sock, 0);
    s.commands();  // server side gone
    // Several sends into a reset connection: without MSG_NOSIGNAL the
    // second would raise SIGPIPE.
    EXPECT_EQ(FTP_Cdup(sock), -1);
    EXPECT_EQ(FTP_Mkd(sock, "a"), -1);
    EXPECT_EQ(FTP_Retrfile(sock, "x", tempPath("closed").c_str(), nullptr), -1);
    EXPECT_EQ(FTP_Quit(sock), -1);
}

TEST(FtpRetr, DownloadIsByteExactAndCounted)
{
    std::string data = randomBytes(100000 + 37, 1);
    Script s(retrScript("150 opening", data, "226 done"));
    int sock = s.connect();
    ASSERT_GE(sock, 0);
    std::string local = tempPath("dl");
    int32_t count = 5;
    EXPECT_EQ(FTP_Retrfile(sock, "pkg.tar", local.c_str(), &count), 0);
    EXPECT_EQ(count, 5 + (int32_t)data.size());
    EXPECT_TRUE(slurp(local) == data);
    struct stat st;
    ASSERT_EQ(stat(local.c_str(), &st), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);  // as a package pushed over the serial port
    FTP_Quit(sock);
    EXPECT_EQ(s.commands(), (Cmds{"USER u", "TYPE I", "SIZE pkg.tar", "PASV", "RETR pkg.tar", "QUIT"}));
}

TEST(FtpRetr, ZeroLengthFile)
{
    Script s(retrScript("150 opening", "", "226 done"));
    int sock = s.connect();
    ASSERT_GE(sock, 0);
    std::string local = tempPath("empty");
    {
        std::ofstream(local) << "old content";
    }
    int32_t count = 0;
    EXPECT_EQ(FTP_Retrfile(sock, "empty.bin", local.c_str(), &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(slurp(local), "");
    FTP_Quit(sock);
}

TEST(FtpRetr, RefusedOrCodelessRetrFailsAndLeavesTheFile)
{
    for (const char *retrReply : {"550 no such file", "hello"}) {
        Script s(retrScript(retrReply, "", ""));
        int sock = s.connect();
        ASSERT_GE(sock, 0);
        std::string local = tempPath("refused");
        {
            std::ofstream(local) << "old content";
        }
        EXPECT_EQ(FTP_Retrfile(sock, "nope", local.c_str(), nullptr), -1) << retrReply;
        EXPECT_EQ(slurp(local), "old content") << retrReply;
        FTP_Quit(sock);
        EXPECT_EQ(s.commands(), (Cmds{"USER u", "TYPE I", "SIZE nope", "PASV", "RETR nope", "QUIT"}));
    }
}

TEST(FtpRetr, FinalReplyRules)
{
    std::string data = randomBytes(3000, 2);
    struct Case {
        const char *finalReply;  // "" = control connection closed instead
        int expect;
    } cases[] = {
        {"226 done", 0},
        {"", -1},          // missing: a 150 alone does not say the file ended
        {"garbage", -1},   // no code: not a confirmation either
        {"250 done", 0},
        {"200 ok", -1},    // neither 226 nor 250
        {"451 aborted", -1},
        {"99999999999 x", -1},
    };
    for (const auto &tc : cases) {
        Script s(retrScript("150 opening", data, tc.finalReply));
        int sock = s.connect();
        ASSERT_GE(sock, 0);
        std::string local = tempPath("final");
        EXPECT_EQ(FTP_Retrfile(sock, "f", local.c_str(), nullptr), tc.expect) << tc.finalReply;
        EXPECT_TRUE(slurp(local) == data);
        FTP_Quit(sock);
    }
    // A RETR answered at once with 226 is final: the client does not wait
    // for another reply (one that never comes would hold it 15 s), so a
    // later stray line is not taken for the transfer's.
    Script s(retrScript("226 done", data, "451 stray"));
    int sock = s.connect();
    ASSERT_GE(sock, 0);
    std::string local = tempPath("final");
    EXPECT_EQ(FTP_Retrfile(sock, "f", local.c_str(), nullptr), 0);
    EXPECT_TRUE(slurp(local) == data);
    FTP_Quit(sock);
}

// A server's SIZE decides what counts as the whole file; one that does not
// know SIZE is fetched as before; limit bounds what is taken at all.
TEST(FtpRetr, SizeDecidesWhatIsWhole)
{
    std::string data = randomBytes(3000, 12);
    struct Case {
        const char *sizeReply;  // "" = the true length
        int64_t limit;
        int expect;
        bool retrSent;
    } cases[] = {
        {"", -1, 0, true},
        {"213 6000", -1, -1, true},  // half of the file, then 226
        {"213 2999", -1, -1, true},  // a byte more than announced
        {"213 0", -1, -1, true},
        {"502 not implemented", -1, 0, true},
        {"500 what", -1, 0, true},
        {"550 not a plain file", -1, 0, true},
        {"450 busy", -1, -1, false},  // no telling: nothing fetched
        {"213 x3000", -1, -1, false},
        {"213 99999999999999999999", -1, -1, false},
        {"", 2999, -1, false},               // longer than the limit by SIZE
        {"", 3000, 0, true},                 // exactly the limit
        {"502 not implemented", 2999, -1, true},  // ... or as it arrives
    };
    for (const auto &tc : cases) {
        Script s(retrScript("150 opening", data, "226 done", tc.sizeReply));
        int sock = s.connect();
        ASSERT_GE(sock, 0);
        std::string local = tempPath("sized");
        unlink(local.c_str());
        int32_t count = 0;
        EXPECT_EQ(FTP_Retrfile(sock, "f", local.c_str(), &count, -1, tc.limit), tc.expect)
            << tc.sizeReply << " " << tc.limit;
        if (tc.expect == 0) {
            EXPECT_TRUE(slurp(local) == data) << tc.sizeReply;
        }
        FTP_Quit(sock);
        const Cmds &cmds = s.commands();
        EXPECT_EQ(std::find(cmds.begin(), cmds.end(), "RETR f") != cmds.end(), tc.retrSent)
            << tc.sizeReply << " " << tc.limit;
    }
}

// The data connection goes to the control connection's peer whatever the
// 227 reply names: the listener is on 127.0.0.1 only, so a connection to
// the named 127.0.0.2 would be refused.
TEST(FtpRetr, PasvAddressIsNotFollowed)
{
    std::string data = randomBytes(5000, 13);
    for (const char *named : {"127,0,0,1", "127,0,0,2"}) {
        Script s([&](Ctl &c) {
            c.login();
            c.cmd();
            c.reply("200 binary");
            c.cmd();
            c.reply("213 5000");
            int d = c.pasv(named);
            if (d < 0)
                return;
            c.cmd();
            c.reply("150 opening");
            Ctl::serve(d, data);
            c.reply("226 done");
        });
        int sock = s.connect();
        ASSERT_GE(sock, 0);
        std::string local = tempPath("peer");
        EXPECT_EQ(FTP_Retrfile(sock, "f", local.c_str(), nullptr), 0) << named;
        EXPECT_TRUE(slurp(local) == data) << named;
        FTP_Quit(sock);
    }
}

// Over IPv6 the client connects to ::1 given bare or in brackets, asks for
// the data connection with EPSV (PASV cannot name one) and downloads
// exactly; the scripted server answers nothing but EPSV there.
TEST(FtpRetr, OverIpv6TheDataConnectionComesFromEpsv)
{
    std::string data = randomBytes(70000 + 3, 17);
    for (const char *host : {"::1", "[::1]"}) {
        Script s(retrScript("150 opening", data, "226 done"), true);
        int sock = FTP_Connect(host, s.port(), "u", "p");
        ASSERT_GE(sock, 0) << host;
        std::string local = tempPath("v6");
        EXPECT_EQ(FTP_Retrfile(sock, "pkg.tar", local.c_str(), nullptr), 0) << host;
        EXPECT_TRUE(slurp(local) == data) << host;
        FTP_Quit(sock);
        EXPECT_EQ(s.commands(), (Cmds{"USER u", "TYPE I", "SIZE pkg.tar", "EPSV", "RETR pkg.tar", "QUIT"}));
    }
}

TEST(FtpRetr, NoRetrReplyStillReceivesTheData)
{
    std::string data = randomBytes(2000, 3);
    Script s(retrScript("", data, "226 done"));
    int sock = s.connect();
    ASSERT_GE(sock, 0);
    std::string local = tempPath("noreply");
    int32_t count = 0;
    EXPECT_EQ(FTP_Retrfile(sock, "f", local.c_str(), &count), 0);  // after the 15 s time-out
    EXPECT_EQ(count, 2000);
    EXPECT_TRUE(slurp(local) == data);
    FTP_Quit(sock);
}

TEST(FtpRetr, NoCodeAtAllIsNotSuccess)
{
    // Neither a RETR reply nor a final one: the transfer is not known to be
    // complete, so a possibly cut package must not count as stored.
    Script s(retrScript("", "partial", ""));
    int sock = s.connect();
    ASSERT_GE(sock, 0);
    EXPECT_EQ(FTP_Retrfile(sock, "f", tempPath("nocode").c_str(), nullptr), -1);
    FTP_Quit(sock);
}

TEST(FtpRetr, BrokenDataConnectionOrFullDiskFails)
{
    {
        // Data connection reset half-way, then a 226 anyway.
        Script s([](Ctl &c) {
            c.login();
            c.cmd();
            c.reply("200 binary");
            c.cmd();
            c.reply("502 no SIZE here");
            int d = c.pasv();
            c.cmd();
            c.reply("150 opening");
            sendAll(d, randomBytes(4000, 4));
            linger lg{1, 0};
            setsockopt(d, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            usleep(100000);
            close(d);  // RST
            usleep(100000);
            c.reply("226 done");
        });
        int sock = s.connect();
        ASSERT_GE(sock, 0);
        EXPECT_EQ(FTP_Retrfile(sock, "f", tempPath("reset").c_str(), nullptr), -1);
        FTP_Quit(sock);
    }
    {
        Script s(retrScript("150 opening", randomBytes(5000, 5), "226 done"));
        int sock = s.connect();
        ASSERT_GE(sock, 0);
        EXPECT_EQ(FTP_Retrfile(sock, "f", "/dev/full", nullptr), -1);  // short write
        FTP_Quit(sock);
    }
    {
        // The file is opened once RETR is answered: a file that cannot be
        // made fails there.
        Script s(retrScript("150 opening", randomBytes(5000, 5), "226 done"));
        int sock = s.connect();
        ASSERT_GE(sock, 0);
        EXPECT_EQ(FTP_Retrfile(sock, "f", "/nonexistent-dir/pkg", nullptr), -1);
        FTP_Quit(sock);
        EXPECT_EQ(s.commands(), (Cmds{"USER u", "TYPE I", "SIZE f", "PASV", "RETR f", "QUIT"}));
    }
}

TEST(FtpRetr, UnparsablePasvConnectsNowhere)
{
    Script s([](Ctl &c) {
        c.login();
        c.cmd();
        c.reply("200 binary");
        c.cmd();
        c.reply("213 4");
        c.cmd();
        c.reply("(127,0,0,1,4,1)");
    });
    int sock = s.connect();
    ASSERT_GE(sock, 0);
    EXPECT_EQ(FTP_Retrfile(sock, "f", tempPath("pasv").c_str(), nullptr), -1);
    FTP_Quit(sock);
    EXPECT_EQ(s.commands(), (Cmds{"USER u", "TYPE I", "SIZE f", "PASV", "QUIT"}));
}

namespace {
void onUsr1(int) {}
}

TEST(FtpRetr, SignalsDoNotBreakAWait)
{
    struct sigaction sa {};
    sa.sa_handler = onUsr1;  // no SA_RESTART: waits return EINTR
    sigaction(SIGUSR1, &sa, nullptr);
    std::string data = randomBytes(20000, 6);
    Script s([&data](Ctl &c) {
        usleep(200000);
        c.login();
        c.cmd();
        usleep(200000);
        c.reply("200 binary");
        c.cmd();
        usleep(200000);
        c.reply("213 " + std::to_string(data.size()));
        int d = c.pasv();
        c.cmd();
        usleep(200000);
        c.reply("150 opening");
        for (size_t off = 0; off < data.size(); off += 5000) {
            usleep(50000);
            sendAll(d, data.substr(off, 5000));
        }
        shutdown(d, SHUT_WR);
        readToEof(d);
        close(d);
        usleep(200000);
        c.reply("226 done");
    });
    std::atomic<bool> stop{false};
    pthread_t me = pthread_self();
    std::thread pester([&] {
        while (!stop.load()) {
            pthread_kill(me, SIGUSR1);
            usleep(3000);
        }
    });
    int sock = s.connect();
    int rc = sock >= 0 ? FTP_Retrfile(sock, "f", tempPath("eintr").c_str(), nullptr) : -2;
    stop = true;
    pester.join();
    EXPECT_GE(sock, 0);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(slurp(tempPath("eintr")) == data);
    FTP_Quit(sock);
}

// ---------------------------------------------------------------------------

TEST(FtpList, GrowsPastEachDoublingAndIsExact)
{
    for (size_t size : {size_t(0), size_t(511), size_t(512), size_t(1000), size_t(2100), size_t(9000)}) {
        std::string listing;
        for (size_t i = 0; listing.size() < size; i++)
            listing += "-rw-r--r-- 1 ftp ftp 42 Jan 01 00:00 file" + std::to_string(i) + "\r\n";
        listing.resize(size);
        Script s([listing](Ctl &c) {
            c.login();
            int d = c.pasv();
            c.cmd();
            c.reply("150 listing");
            Ctl::serve(d, listing);
            c.reply("226 done");
        });
        int sock = s.connect();
        ASSERT_GE(sock, 0);
        char *buf = nullptr;
        int64_t len = -1;
        ASSERT_EQ(FTP_List(sock, "/pub", &buf, &len), 0) << size;
        ASSERT_NE(buf, nullptr);
        EXPECT_EQ(len, (int64_t)size);
        EXPECT_EQ(std::string(buf, (size_t)len), listing);
        free(buf);
        FTP_Quit(sock);
        EXPECT_EQ(s.commands(), (Cmds{"USER u", "PASV", "LIST /pub", "QUIT"}));
    }
}

TEST(FtpList, FinalReplyInTheSameReceiveAsThePreliminary)
{
    // A short transfer can end before the client reads the 150: both
    // replies then arrive in one receive and no later reply will come.
    std::string listing = "-rw-r--r-- 1 ftp ftp 3 Jan 01 00:00 a\r\n";
    std::string data = randomBytes(700, 9);
    Script s([&](Ctl &c) {
        c.login();
        int d = c.pasv();
        c.cmd();
        sendAll(d, listing);
        close(d);
        c.reply("150-Here it comes\r\n 226 is not a code here\r\n150 listing\r\n226 done");
        c.cmd();
        c.reply("200 binary");
        c.cmd();
        c.reply("213 700");
        d = c.pasv();
        c.cmd();
        sendAll(d, data);
        close(d);
        c.reply("150 opening\r\n226-Transfer\r\n226 complete");
        c.cmd();
        c.reply("257 made");  // the next command's reply stays in step
    });
    int sock = s.connect();
    ASSERT_GE(sock, 0);
    char *buf = nullptr;
    int64_t len = -1;
    ASSERT_EQ(FTP_List(sock, "", &buf, &len), 0);
    EXPECT_EQ(std::string(buf, (size_t)len), listing);
    free(buf);
    std::string local = tempPath("coalesced");
    EXPECT_EQ(FTP_Retrfile(sock, "f", local.c_str(), nullptr), 0);
    EXPECT_TRUE(slurp(local) == data);
    EXPECT_EQ(FTP_Mkd(sock, "m"), 0);
    FTP_Quit(sock);
    EXPECT_EQ(s.commands(), (Cmds{"USER u", "PASV", "LIST ", "TYPE I", "SIZE f", "PASV", "RETR f", "MKD m", "QUIT"}));
}

TEST(FtpList, FailuresReturnTheCodeAndKeepNothing)
{
    {
        Script s([](Ctl &c) {
            c.login();
            int d = c.pasv();
            c.cmd();
            c.reply("150 listing");
            Ctl::serve(d, std::string(3000, 'x'));
            c.reply("451 local error");
        });
        int sock = s.connect();
        ASSERT_GE(sock, 0);
        char *buf = nullptr;
        int64_t len = -1;
        EXPECT_EQ(FTP_List(sock, ".", &buf, &len), 451);  // the buffer is freed (ASan checks)
        EXPECT_EQ(buf, nullptr);
        EXPECT_EQ(len, -1);
        FTP_Quit(sock);
    }
    {
        Script s([](Ctl &c) {
            c.login();
            int d = c.pasv();
            c.cmd();
            c.reply("550 no such directory");
            close(d);
        });
        int sock = s.connect();
        ASSERT_GE(sock, 0);
        char *buf = nullptr;
        int64_t len = -1;
        EXPECT_EQ(FTP_List(sock, "nope", &buf, &len), 550);
        EXPECT_EQ(buf, nullptr);
        FTP_Quit(sock);
    }
}

// ---------------------------------------------------------------------------

namespace {
// STOR exchange: collects what the client uploads into *got.
std::function<void(Ctl &)> storScript(std::string storReply, std::string finalReply, std::string *got)
{
    return [=](Ctl &c) {
        c.login();
        c.cmd();
        c.reply("200 binary");
        int d = c.pasv();
        c.cmd();
        c.reply(storReply);
        *got = readToEof(d);
        close(d);
        if (storReply[0] == '1')
            c.reply(finalReply);
    };
}
}  // namespace

TEST(FtpStor, UploadIsByteExactAndCounted)
{
    std::string data = randomBytes(2000, 7), got;
    std::string local = tempPath("up");
    {
        std::ofstream(local, std::ios::binary) << data;
    }
    Script s(storScript("150 send it", "226 stored", &got));
    int sock = s.connect();
    ASSERT_GE(sock, 0);
    int64_t count = 10;
    EXPECT_EQ(FTP_Storfile(sock, local.c_str(), "incoming/up.bin", &count, nullptr), 0);
    EXPECT_EQ(count, 2010);
    FTP_Quit(sock);
    EXPECT_EQ(s.commands(), (Cmds{"USER u", "TYPE I", "PASV", "STOR incoming/up.bin", "QUIT"}));
    EXPECT_TRUE(got == data);
}

TEST(FtpStor, AbortFlagStopsAfterTheFirstChunk)
{
    std::string data = randomBytes(5000, 8), got;
    std::string local = tempPath("abort");
    {
        std::ofstream(local, std::ios::binary) << data;
    }
    Script s(storScript("150 send it", "226 stored", &got));
    int sock = s.connect();
    ASSERT_GE(sock, 0);
    std::atomic<int> abortFlag{1};
    int64_t count = 0;
    EXPECT_EQ(FTP_Storfile(sock, local.c_str(), "a.bin", &count, &abortFlag), -1);
    EXPECT_EQ(count, 0);
    FTP_Quit(sock);
    s.commands();
    EXPECT_EQ(got.size(), 512u);
    EXPECT_TRUE(got == data.substr(0, 512));
}

TEST(FtpStor, RefusalsReturnTheCode)
{
    std::string local = tempPath("small");
    {
        std::ofstream(local) << "abc";
    }
    std::string got;
    {
        Script s(storScript("553 not allowed", "", &got));
        int sock = s.connect();
        ASSERT_GE(sock, 0);
        EXPECT_EQ(FTP_Storfile(sock, local.c_str(), "x", nullptr, nullptr), 553);
        FTP_Quit(sock);
    }
    {
        Script s(storScript("150 send it", "452 disk full", &got));
        int sock = s.connect();
        ASSERT_GE(sock, 0);
        EXPECT_EQ(FTP_Storfile(sock, local.c_str(), "x", nullptr, nullptr), 452);
        FTP_Quit(sock);
    }
    {
        Script s(storScript("150 send it", "no code", &got));
        int sock = s.connect();
        ASSERT_GE(sock, 0);
        EXPECT_EQ(FTP_Storfile(sock, local.c_str(), "x", nullptr, nullptr), -1);  // not known stored
        EXPECT_EQ(FTP_Storfile(sock, "/nonexistent/file", "x", nullptr, nullptr), -1);
        FTP_Quit(sock);
    }
}

// ---------------------------------------------------------------------------

TEST(FtpActive, PortAnnouncesTheListeningSocket)
{
    Script s(answers({"230 in", "200 port ok", "500 no active mode"}));
    int sock = s.connect();
    ASSERT_GE(sock, 0);
    int ls = ftpCreateDatasock(sock);
    ASSERT_GE(ls, 0);
    EXPECT_EQ(ftpCreateDatasock(sock), -1);
    FTP_Quit(sock);
    const Cmds &cmds = s.commands();
    ASSERT_EQ(cmds.size(), 4u);
    int h[4], p1, p2;
    ASSERT_EQ(sscanf(cmds[1].c_str(), "PORT %d,%d,%d,%d,%d,%d", &h[0], &h[1], &h[2], &h[3], &p1, &p2), 6);
    EXPECT_EQ(std::vector<int>(h, h + 4), (std::vector<int>{127, 0, 0, 1}));
    sockaddr_in mine{};
    socklen_t len = sizeof mine;
    getsockname(ls, (sockaddr *)&mine, &len);
    EXPECT_EQ(p1 * 256 + p2, ntohs(mine.sin_port));
    // The announced socket really listens (connect on loopback only).
    int c = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons((uint16_t)(p1 * 256 + p2));
    EXPECT_EQ(connect(c, (sockaddr *)&to, sizeof to), 0);
    int a = acceptWithin(ls, 5000);
    EXPECT_GE(a, 0);
    close(a);
    close(c);
    close(ls);
}
