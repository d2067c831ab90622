// Remote management requests end to end: the real daemon, a scripted server
// that sends the upgrade and identity-change requests, and a real FTP server
// (pyftpdlib) on loopback holding the package.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <map>
#include <random>
#include <vector>
#include <string>

#include "tests/support/faults.h"
#include "tests/support/ftpd.h"
#include "core/common.h"
#include "tests/support/harness.h"

namespace {

const char *kPackage = "/usr/bin/zov/zovClient.tar";
const char *kStatus = "/var/run/adapterd/status.json";
const std::string kFtpOpen = "\xA1\xBE" "FTP" "\xA1\xBF" ":open ";

std::string randomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &ch : s)
        ch = (char)(rng() & 0xFF);
    return s;
}

using ft::IdentityRequest;
using ft::UpgradeRequest;

// The adapter's side of the link as a stream of messages: two messages may
// share one receive, so they are split by their known lengths.
class Link {
public:
    explicit Link(th::Server &srv) : srv_(srv) {}

    // Accepts the adapter and puts it online; the online request's serial
    // number is returned through sn.
    bool bringOnline(const th::Daemon &d, std::string *sn = nullptr)
    {
        if (!srv_.accept(15000))
            return false;
        th::Bytes req = next(0x00, 8000);
        if (req.size() != 31)
            return false;
        if (sn != nullptr)
            *sn = std::string((const char *)&req[11]);
        srv_.send(th::OnlineResult(0));
        // The adapter takes one receive for one message: the next request
        // must not reach it together with this result.
        return d.waitFor("[TCP]:online success", 5000);
    }
    // Next message with the given command byte; heartbeats and others are
    // skipped. Empty on time-out or a closed connection.
    th::Bytes next(uint8_t cmd, int timeoutMs)
    {
        int64_t deadline = th::NowMs() + timeoutMs;
        for (;;) {
            while (pending_.size() >= 2) {
                size_t len = lengthOf(pending_[1]);
                if (pending_.size() < len)
                    break;
                th::Bytes m(pending_.begin(), pending_.begin() + (long)len);
                pending_.erase(pending_.begin(), pending_.begin() + (long)len);
                if (m[1] == cmd)
                    return m;
            }
            int left = (int)(deadline - th::NowMs());
            if (left <= 0 || !srv_.connected())
                return {};
            th::Bytes b = srv_.recv(left);
            pending_.insert(pending_.end(), b.begin(), b.end());
        }
    }
    std::string nextHex(uint8_t cmd, int timeoutMs) { return th::Hex(next(cmd, timeoutMs)); }

private:
    static size_t lengthOf(uint8_t cmd)
    {
        switch (cmd) {
        case 0x00: return 31;
        case 0x01: return 2;
        case 0xC1:
        case 0xC2: return 3;
        default: return 2;
        }
    }
    th::Server &srv_;
    th::Bytes pending_;
};

struct Rig {
    th::Sandbox sb;
    th::Pty serial;
    th::Server srv;
    th::Daemon d;
    Link link{srv};

    // args: adapterd options; env: more environment.
    void start(int ftpPort, bool identity = true, const std::vector<std::string> &args = {},
               std::map<std::string, std::string> env = {})
    {
        if (identity)
            sb.writeIdentity("SN0001", "PC01");
        serial.linkAs(sb, "/dev/ttyS0");
        env["ADAPTER_FTP_PORT"] = std::to_string(ftpPort);
        std::vector<std::string> program;
        if (!args.empty()) {
            program.push_back(th::SandboxBin());
            program.insert(program.end(), args.begin(), args.end());
        }
        d.start(sb, srv.port(), env, program);
    }
};

const char *kSignify = "/usr/bin/signify-openbsd";

int run(const std::string &cmd)
{
    return system(cmd.c_str());
}

// A key pair made by the verifier the tests use: dir/name.pub, dir/name.sec.
bool makeKeyPair(const std::string &dir, const std::string &name)
{
    return run(std::string(kSignify) + " -G -n -p '" + dir + "/" + name + ".pub' -s '" + dir + "/" + name +
               ".sec' >/dev/null 2>&1") == 0;
}

// Signs file with dir/name.sec into file.sig.
bool sign(const std::string &dir, const std::string &name, const std::string &file)
{
    return run(std::string(kSignify) + " -S -s '" + dir + "/" + name + ".sec' -m '" + file + "' -x '" + file +
               ".sig' >/dev/null 2>&1") == 0;
}

}  // namespace

// Over IPv4, and over IPv6 to a server on ::1 alone (the data connection
// then comes from EPSV).
TEST(Remote, UpgradeStoresThePackageAndEnds)
{
    for (const char *host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        bool v6 = strchr(host, ':') != nullptr;
        th::Ftpd ftp("zov", "pw1234", nullptr, v6 ? host : nullptr);
        ASSERT_GT(ftp.port(), 0);
        std::string package = randomBytes(v6 ? 200 * 1024 + 5 : 3 * 1024 * 1024 + 77, 21);
        ftp.put("fw/zovClient.tar", package);

        Rig r;
        r.sb.writeFile(kPackage, "previous package");
        r.start(ftp.port());
        ASSERT_TRUE(r.link.bringOnline(r.d));
        r.srv.send(UpgradeRequest(host, "zov", "pw1234", "/fw/zovClient.tar"));
        EXPECT_EQ(r.link.nextHex(0xC1, 3000), "01 c1 06");
        EXPECT_EQ(r.link.nextHex(0xC1, 20000), "01 c1 00") << r.d.log();
        int64_t answered = th::NowMs();
        EXPECT_EQ(r.d.waitExit(8000), 0);
        EXPECT_LE(th::NowMs() - answered, 6500);  // a 2 s pass and the 3 s wind-down
        EXPECT_TRUE(r.sb.readFile(kPackage) == package);
        EXPECT_FALSE(r.sb.exists(std::string(kPackage) + ".download"));
        struct stat st;
        ASSERT_EQ(stat(r.sb.path(kPackage).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);  // as a package pushed over the serial port
        EXPECT_NE(r.d.log().find("[TCP]: upgrade success, file size:" + std::to_string(package.size()) + "\r\n"),
                  std::string::npos);
    }
}

TEST(Remote, FailedUpgradesAnswer7AndKeepTheAdapterAndPackage)
{
    th::Ftpd ftp("zov", "pw1234");
    ASSERT_GT(ftp.port(), 0);
    ftp.put("fw/zovClient.tar", "new package");

    Rig r;
    r.sb.writeFile(kPackage, "previous package");
    r.start(ftp.port());
    ASSERT_TRUE(r.link.bringOnline(r.d));

    const th::Bytes requests[] = {
        UpgradeRequest("127.0.0.1", "zov", "pw1234", "/fw/missing.tar"),  // refused path
        UpgradeRequest("", "", "", ""),                                     // every field empty
        // A path of 965 characters does not fit a RETR line: never sent.
        UpgradeRequest("127.0.0.1", "zov", "pw1234", "/" + std::string(964, 'p')),
        UpgradeRequest("127.0.0.1", "zov", "pw1234", "/fw/zovClient.tar\r\nDELE /fw/zovClient.tar"),
    };
    for (const auto &req : requests) {
        r.srv.send(req);
        EXPECT_EQ(r.link.nextHex(0xC1, 3000), "01 c1 06") << th::Hex(req).substr(0, 40);
        EXPECT_EQ(r.link.nextHex(0xC1, 20000), "01 c1 07") << th::Hex(req).substr(0, 40);
        EXPECT_EQ(r.sb.readFile(kPackage), "previous package");
    }
    EXPECT_EQ(r.d.count("[TCP]: upgrade fail !!!!!!!!!!!!\r\n"), 3u);  // the empty request never connects
    EXPECT_EQ(r.d.count("\xA1\xBE" "FTP" "\xA1\xBF" ":gethostbyname fail \r\n"), 1u);  // its empty host
    // No staging file was made: the refused path got as far as a RETR, and
    // the staging file is made only once RETR is accepted; the two bad
    // paths were refused before any command was sent.
    EXPECT_EQ(r.d.count(kFtpOpen), 0u) << r.d.log();
    EXPECT_EQ(r.d.count("RETR result=550"), 1u) << r.d.log();
    EXPECT_TRUE(r.d.running());
    // Each request is handled afresh: a good one still succeeds.
    r.srv.send(UpgradeRequest("127.0.0.1", "zov", "pw1234", "/fw/zovClient.tar"));
    EXPECT_EQ(r.link.nextHex(0xC1, 3000), "01 c1 06");
    EXPECT_EQ(r.link.nextHex(0xC1, 20000), "01 c1 00");
    EXPECT_EQ(r.d.waitExit(8000), 0);
    EXPECT_EQ(r.sb.readFile(kPackage), "new package");
}

TEST(Remote, UnreachableFtpServerAnswers7)
{
    Rig r;
    r.sb.writeFile(kPackage, "previous package");
    r.start(th::FreePort());  // nothing listens there
    ASSERT_TRUE(r.link.bringOnline(r.d));
    r.srv.send(UpgradeRequest("127.0.0.1", "zov", "pw1234", "/fw/zovClient.tar"));
    EXPECT_EQ(r.link.nextHex(0xC1, 3000), "01 c1 06");
    EXPECT_EQ(r.link.nextHex(0xC1, 20000), "01 c1 07");
    EXPECT_NE(r.d.log().find("[TCP]: upgrade, FTP_Connect socket=-1:\r\n"), std::string::npos);
    usleep(500000);
    EXPECT_TRUE(r.d.running());
    EXPECT_EQ(r.sb.readFile(kPackage), "previous package");
}

// A maker's identity file (a long comment first, another option, a second
// section, CRLF, mode 0640) changed from the device and then from the
// server: only the two values change, and no pairing code reaches the log.
TEST(Remote, IdentityChangeIsStoredAndEnds)
{
    Rig r;
    const std::string head = "# " + std::string(300, '-') + "\r\nconfig deviceInfo\r\n\toption vendor 'acme'\r\n"
                             "\toption serialNum '";
    const std::string mid = "' # factory\r\n\toption pairCode ";
    const std::string tail = "\r\n\r\nconfig other 'x'\r\n\toption serialNum DECOY\r\n";
    const char *codes[] = {"Qz7Kx4w", "Lp5Vb8n", "Yw3Jm6t"};
    r.sb.writeFile("/etc/config/device_info", head + "SN0001" + mid + codes[0] + tail);
    std::string path = r.sb.path("/etc/config/device_info");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    r.start(th::FreePort(), false);
    std::string sn;
    ASSERT_TRUE(r.link.bringOnline(r.d, &sn));
    EXPECT_EQ(sn, "SN0001");

    r.serial.write(ft::DevInfoFrame("LOC1", codes[1]));
    EXPECT_EQ(r.serial.read(24, 3000), ft::DevInfoFrame("LOC1", codes[1]));
    EXPECT_EQ(r.sb.readFile("/etc/config/device_info"), head + "LOC1" + mid + codes[1] + tail);

    // A cellular link pauses inside the request: it is stored whole.
    th::Bytes req = IdentityRequest("NEWSERIAL01", codes[2]);
    r.srv.send(th::Bytes(req.begin(), req.begin() + 9));
    usleep(1500000);
    r.srv.send(th::Bytes(req.begin() + 9, req.end()));
    EXPECT_EQ(r.link.nextHex(0xC2, 5000), "01 c2 00");
    EXPECT_EQ(r.d.waitExit(8000), 0);
    EXPECT_EQ(r.d.count("[TCP]: modify errorCode: 0\r\n"), 1u);
    EXPECT_EQ(r.sb.readFile("/etc/config/device_info"), head + "NEWSERIAL01" + mid + codes[2] + tail);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    for (const char *c : codes)
        EXPECT_EQ(r.d.log().find(c), std::string::npos) << c << " in\n" << r.d.log();
}

TEST(Remote, UnwritableIdentityAnswers1AndKeepsTheOldOne)
{
    Rig r;
    // A script holds the identity file's lock from before the start and
    // throughout: start-up reads without it after its bound, a change is
    // refused after it, and the link keeps its heartbeats meanwhile.
    r.sb.writeIdentity("SN0001", "PC01");
    int held = open(r.sb.path("/etc/config/device_info").c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    r.start(th::FreePort(), false);
    EXPECT_TRUE(r.d.waitFor("stayed locked for 1500 ms, read without the lock\r\n", 5000));
    ASSERT_TRUE(r.link.bringOnline(r.d));
    r.srv.send(IdentityRequest("SN7777", "PC77"));
    EXPECT_EQ(r.link.nextHex(0xC2, 5000), "01 c2 01");
    EXPECT_TRUE(r.d.waitFor("[globals]:GB_ModifyDeviceInfo refused, the file stayed locked for 1500 ms\r\n", 1000));
    // A device's change is answered with the identity still in force.
    r.serial.write(ft::DevInfoFrame("LOC9", "LP9"));
    EXPECT_EQ(r.serial.read(24, 5000), ft::DevInfoFrame("SN0001", "PC01"));
    ASSERT_EQ(r.link.nextHex(0x01, 5000), "01 01");
    r.srv.send(th::HeartbeatResult(0));
    close(held);
    // Root ignores permissions, so take the directory away instead: a
    // regular file where /etc/config was cannot hold any file.
    std::string dir = r.sb.path("/etc/config");
    ASSERT_EQ(rename(dir.c_str(), (dir + ".away").c_str()), 0);
    r.sb.writeFile("/etc/config", "not a directory");
    // Padded, as some servers send it: the padding is no message of its own.
    th::Bytes padded = IdentityRequest("SN9999", "PC99");
    padded.resize(padded.size() + 10, 0);
    r.srv.send(padded);
    EXPECT_EQ(r.link.nextHex(0xC2, 5000), "01 c2 01");
    EXPECT_TRUE(r.d.waitFor("[TCP]: modify errorCode: 1\r\n", 1000));
    EXPECT_EQ(r.d.count("fail in tcpProcessRecved"), 0u);
    // The adapter carries on; a refused heartbeat makes it log in again,
    // with the old identity.
    ASSERT_EQ(r.link.nextHex(0x01, 8000), "01 01");
    r.srv.send(th::HeartbeatResult(1));
    th::Bytes again = r.link.next(0x00, 10000);
    ASSERT_EQ(again.size(), 31u);
    EXPECT_EQ(std::string((const char *)&again[11]), "SN0001");
    EXPECT_EQ(std::string((const char *)&again[23]), "PC01");
    EXPECT_TRUE(r.d.running());
    EXPECT_NE(r.sb.readFile("/etc/config.away/device_info").find("SN0001"), std::string::npos);
    r.d.signal(SIGTERM);
    EXPECT_EQ(r.d.waitExit(5000), 0);
}

// With a trusted key, only a package its signature verifies is put in
// place; every other case answers 7, keeps the earlier package, leaves no
// staging file and names the reason in the log and the state file.
TEST(Remote, SignedUpgradesAreVerified)
{
    th::Ftpd ftp("zov", "pw1234");
    ASSERT_GT(ftp.port(), 0);
    Rig r;
    std::string keys = r.sb.path("/etc/keys");
    ASSERT_EQ(mkdir(keys.c_str(), 0755), 0);
    ASSERT_TRUE(makeKeyPair(keys, "maker") && makeKeyPair(keys, "other") && makeKeyPair(keys, "spare"));
    std::string good = randomBytes(700 * 1024 + 3, 31);
    ftp.put("fw/good.tar", good);
    ASSERT_TRUE(sign(keys, "maker", ftp.path("fw/good.tar")));
    ftp.put("fw/other.tar", good);
    ASSERT_TRUE(sign(keys, "other", ftp.path("fw/other.tar")));
    ftp.put("fw/flipped.tar", good);
    ASSERT_TRUE(sign(keys, "maker", ftp.path("fw/flipped.tar")));
    std::string flipped = good;
    flipped[350000] ^= 0x01;
    ftp.put("fw/flipped.tar", flipped);
    ftp.put("fw/nosig.tar", good);
    ftp.put("fw/bigsig.tar", good);
    ftp.put("fw/bigsig.tar.sig", randomBytes(5 * 1024 * 1024, 32));
    ftp.put("fw/junksig.tar", good);
    ftp.put("fw/junksig.tar.sig", "untrusted comment: nothing\nnot base64 at all\n");

    r.sb.writeFile(kPackage, "previous package");
    r.start(ftp.port(), true,
            {"--upgrade-key", keys + "/spare.pub", "--upgrade-key=" + keys + "/maker.pub"},
            {{"ADAPTER_USIGN", kSignify}});
    ASSERT_TRUE(r.link.bringOnline(r.d));
    const struct {
        const char *path;
        const char *result;
    } refused[] = {
        {"/fw/other.tar", "unknown key"},
        {"/fw/flipped.tar", "bad signature"},
        {"/fw/nosig.tar", "unsigned"},
        {"/fw/bigsig.tar", "unsigned"},
        {"/fw/junksig.tar", "not a signature"},
    };
    for (const auto &c : refused) {
        std::string line = std::string("[TCP]: upgrade refused: ") + c.result;
        size_t before = r.d.count(line);
        r.srv.send(UpgradeRequest("127.0.0.1", "zov", "pw1234", c.path));
        EXPECT_EQ(r.link.nextHex(0xC1, 3000), "01 c1 06") << c.path;
        EXPECT_EQ(r.link.nextHex(0xC1, 20000), "01 c1 07") << c.path << r.d.log();
        EXPECT_EQ(r.sb.readFile(kPackage), "previous package") << c.path;
        EXPECT_FALSE(r.sb.exists(std::string(kPackage) + ".download")) << c.path;
        EXPECT_FALSE(r.sb.exists(std::string(kPackage) + ".download.sig")) << c.path;
        // The state file is rewritten at most once a second.
        EXPECT_TRUE(r.sb.waitFileHas(kStatus, std::string("\"result\": \"") + c.result + "\"", 3000))
            << c.path << r.sb.readFile(kStatus);
        EXPECT_EQ(r.d.count(line), before + 1) << c.path << r.d.log();
    }
    EXPECT_TRUE(r.d.running());
    r.srv.send(UpgradeRequest("127.0.0.1", "zov", "pw1234", "/fw/good.tar"));
    EXPECT_EQ(r.link.nextHex(0xC1, 3000), "01 c1 06");
    EXPECT_EQ(r.link.nextHex(0xC1, 20000), "01 c1 00") << r.d.log();
    EXPECT_EQ(r.d.waitExit(8000), 0);
    EXPECT_TRUE(r.sb.readFile(kPackage) == good);
    EXPECT_FALSE(r.sb.exists(std::string(kPackage) + ".download.sig"));
}

// A verifier that hangs neither keeps the adapter from ending on SIGTERM
// nor outlives it; the earlier package stays.
TEST(Remote, SigtermWhileTheVerifierRunsEndsInTime)
{
    th::Ftpd ftp("zov", "pw1234");
    ASSERT_GT(ftp.port(), 0);
    Rig r;
    std::string keys = r.sb.path("/etc/keys");
    ASSERT_EQ(mkdir(keys.c_str(), 0755), 0);
    ASSERT_TRUE(makeKeyPair(keys, "maker"));
    ftp.put("fw/pkg.tar", randomBytes(100000, 33));
    ASSERT_TRUE(sign(keys, "maker", ftp.path("fw/pkg.tar")));
    std::string started = r.sb.path("/verifier.pid");
    std::string fake = r.sb.path("/slow-verifier");
    r.sb.writeFile("/slow-verifier", "#!/bin/sh\necho $$ > '" + started + ".new'\nmv '" + started + ".new' '" +
                                         started + "'\nexec /bin/sleep 60\n");
    ASSERT_EQ(chmod(fake.c_str(), 0755), 0);
    r.sb.writeFile(kPackage, "previous package");
    r.start(ftp.port(), true, {"--upgrade-key", keys + "/maker.pub"}, {{"ADAPTER_USIGN", fake}});
    ASSERT_TRUE(r.link.bringOnline(r.d));
    r.srv.send(UpgradeRequest("127.0.0.1", "zov", "pw1234", "/fw/pkg.tar"));
    EXPECT_EQ(r.link.nextHex(0xC1, 3000), "01 c1 06");
    int64_t deadline = th::NowMs() + 20000;
    while (!r.sb.exists("/verifier.pid") && th::NowMs() < deadline)
        usleep(20000);
    ASSERT_TRUE(r.sb.exists("/verifier.pid")) << r.d.log();
    pid_t child = (pid_t)atoi(r.sb.readFile("/verifier.pid").c_str());
    ASSERT_GT(child, 0);
    int64_t t0 = th::NowMs();
    r.d.signal(SIGTERM);
    EXPECT_EQ(r.d.waitExit(8000), 0);
    EXPECT_LE(th::NowMs() - t0, 5500);
    EXPECT_NE(kill(child, 0), 0);  // killed and reaped with the adapter
    EXPECT_EQ(r.sb.readFile(kPackage), "previous package");
    EXPECT_FALSE(r.sb.exists(std::string(kPackage) + ".download"));
    EXPECT_FALSE(r.sb.exists(std::string(kPackage) + ".download.sig"));
}

// --local-upgrade off answers a pushed chunk with total -1 and offset 0 and
// stores nothing; on (the default) takes the same push and ends.
TEST(Remote, LocalUpgradeOffRefusesAPush)
{
    std::string pkg = randomBytes(900, 34);
    const uint8_t *p = (const uint8_t *)pkg.data();
    for (bool on : {false, true}) {
        Rig r;
        r.sb.writeFile(kPackage, "previous package");
        r.start(th::FreePort(), true, on ? std::vector<std::string>{} : std::vector<std::string>{"--local-upgrade", "off"});
        ASSERT_TRUE(r.link.bringOnline(r.d));
        r.serial.write(ft::UpgradeFrame((int32_t)pkg.size(), 0, p, (int32_t)pkg.size()));
        th::Bytes a = r.serial.read(16, 3000);
        ASSERT_EQ(a.size(), 16u) << on;
        EXPECT_EQ(COMM_GetLe32(&a[4]), on ? (uint32_t)pkg.size() : 0xFFFFFFFFu) << on;
        EXPECT_EQ(COMM_GetLe32(&a[8]), on ? (uint32_t)pkg.size() : 0u) << on;
        EXPECT_EQ(COMM_GetLe16(&a[2]), COMM_Crc16(&a[4], 12)) << on;
        if (on) {
            EXPECT_EQ(r.d.waitExit(8000), 0);
            EXPECT_TRUE(r.sb.readFile(kPackage) == pkg);
        } else {
            usleep(2500000);  // a main-loop pass: it would have ended by now
            EXPECT_TRUE(r.d.running());
            EXPECT_EQ(r.sb.readFile(kPackage), "previous package");
            EXPECT_FALSE(r.sb.exists(std::string(kPackage) + ".part"));
            EXPECT_EQ(r.d.count("[UPGRADE]: refused, upgrades over the serial port are off\r\n"), 1u);
        }
    }
}
