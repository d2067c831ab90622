// Start-up, keep-alives, shutdown and modem bring-up of the real daemon.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/msg.h>
#include <unistd.h>

#include "config.h"

#include "tests/support/harness.h"

namespace {

const std::string kHandler = "\xA1\xBE" "MAIN\xA1\xBF:Sigroutine **********\r\n";
const std::string kClose = "\xA1\xBE" "UART\xA1\xBF:uart close \r\n";
const std::string kExit = "\xA1\xBE" "MAIN\xA1\xBF:exit -------------- \r\n";

TEST(Core, NoIdentityFileEndsAtOnceWithoutKeepAlive)
{
    th::Sandbox sb;
    th::MsgQueue q(sb.msgKey());
    th::Daemon d;
    d.start(sb, 0);
    ASSERT_EQ(d.waitExit(3000), 0);
    EXPECT_EQ(d.log(),
              "[globals]: verCode:1, verName:1.1\r\n"
              "[globals]:gbReadAdapterInfo open error\r\n"
              "error(0x1) in GB_Init, line:66\r\n"
              "\xA1\xBE" "MAIN\xA1\xBF:GB_Init error \r\n");
    long type;
    std::string body;
    EXPECT_FALSE(q.recv(&type, &body, 300));
}

TEST(Core, KeepAlivesThenCleanShutdownOnSigterm)
{
    th::Sandbox sb;
    sb.writeIdentity("SN42", "PC7");
    // Transfers and a rewrite cut short by an earlier run: their staging
    // files go at start, the package and the identity stay.
    const std::string pkg = "/usr/bin/zov/zovClient.tar";
    const std::string staging[] = {pkg + ".download", pkg + ".part", "/etc/config/device_info.tmp"};
    const std::string identity = sb.readFile("/etc/config/device_info");
    sb.writeFile(pkg, "installed");
    for (const std::string &f : staging)
        sb.writeFile(f, "cut short");
    th::MsgQueue q(sb.msgKey());
    th::Daemon d;
    d.start(sb, 0);

    long type = 0;
    std::string body;
    ASSERT_TRUE(q.recv(&type, &body, 1500));
    int64_t first = th::NowMs();
    EXPECT_EQ(type, 1);
    EXPECT_EQ(body, "app-alive");   // 9 bytes, no NUL
    ASSERT_TRUE(q.recv(&type, &body, 3000));
    int64_t gap = th::NowMs() - first;
    EXPECT_GE(gap, 1700);
    EXPECT_LE(gap, 2600);

    std::string log = d.log();
    EXPECT_EQ(log.find("[globals]: verCode:1, verName:1.1\r\n"), 0u);
    EXPECT_NE(log.find("[globals]: tag: serialNum, value: SN42\r\n"), std::string::npos);
    EXPECT_NE(log.find("[globals]: tag: pairCode, value: ***\r\n"), std::string::npos);
    int64_t deadline = th::NowMs() + 3000;
    while ((sb.exists(pkg + ".download") || sb.exists(pkg + ".part")) && th::NowMs() < deadline)
        usleep(20 * 1000);
    for (const std::string &f : staging) {
        EXPECT_FALSE(sb.exists(f)) << f;
        sb.writeFile(f, "under way");  // and so they are at exit: they go with the process
    }
    EXPECT_EQ(sb.readFile(pkg), "installed");

    size_t mark = d.logSize();
    int64_t sent = th::NowMs();
    d.signal(SIGTERM);
    ASSERT_TRUE(d.waitFor(kHandler, 1000, mark));
    ASSERT_TRUE(d.waitFor(kExit, 3000, mark));
    // A second signal during the wait only repeats the handler's line.
    d.signal(SIGTERM);
    ASSERT_EQ(d.waitExit(7000), 0);
    // Sent just after a keep-alive, as a pass's wait began: the wait ends
    // at once, and only the 3 s wind-down is left.
    int64_t took = th::NowMs() - sent;
    EXPECT_GE(took, 2900);
    EXPECT_LE(took, 4500);
    for (const std::string &f : staging)
        EXPECT_FALSE(sb.exists(f)) << f;
    EXPECT_EQ(sb.readFile(pkg), "installed");
    EXPECT_EQ(sb.readFile("/etc/config/device_info"), identity);

    log = d.log().substr(mark);
    size_t h = log.find(kHandler), c = log.find(kClose), e = log.find(kExit);
    ASSERT_NE(c, std::string::npos);
    EXPECT_LT(h, c);
    EXPECT_LT(c, e);
    EXPECT_EQ(d.count(kHandler), 2u);
    EXPECT_EQ(d.count(kExit), 1u);
}

// INT, HUP and QUIT take TERM's orderly way and leave the state file saying
// so; USR2, PIPE and ALRM change nothing, and USR1 only logs the summary.
TEST(Core, EndingSignalsEndInOrderOthersAreIgnored)
{
    for (int sig : {SIGINT, SIGHUP, SIGQUIT}) {
        th::Sandbox sb;
        sb.writeIdentity("SN1", "P");
        th::Daemon d;
        d.start(sb, 0);
        // The workers start after the handlers are installed; the identity
        // lines come before, and a signal then would find no handler yet.
        ASSERT_TRUE(d.waitFor("[UART]:enter uart thread", 5000));
        if (sig == SIGINT) {
            for (int ignored : {SIGUSR2, SIGPIPE, SIGALRM})
                d.signal(ignored);
            d.signal(SIGUSR1);
            EXPECT_TRUE(d.waitFor("[STATUS]:disconnected since ", 3000));
            EXPECT_TRUE(d.running());
        }
        d.signal(sig);
        EXPECT_EQ(d.waitExit(7000), 0) << sig;
        EXPECT_EQ(d.count(kHandler), 1u);
        EXPECT_EQ(d.count(kExit), 1u);
        EXPECT_NE(sb.readFile("/var/run/adapterd/status.json").find("\"state\": \"stopped\""), std::string::npos);
    }
}

TEST(Core, ModemOpenedOnceAtEleventhPassWithServerUnreachable)
{
    th::Sandbox sb;
    sb.writeIdentity("SN1", "P");
    th::Pty modem;
    modem.linkAs(sb, "/dev/ttyUSB2");
    th::Daemon d;
    int64_t start = th::NowMs();
    d.start(sb, 0);   // nothing listens on the server port

    th::Bytes cmd = modem.read(13, 26000);
    int64_t at = th::NowMs() - start;
    ASSERT_EQ(cmd, th::B("AT^LEDCTRL=1\r")) << th::Hex(cmd);
    EXPECT_GE(at, 19000);   // ten passes of 2 s have gone by
    EXPECT_LE(at, 24000);
    modem.write(th::B("OK\r\n"));
    // The port stays open: the command is not sent again.
    EXPECT_TRUE(modem.read(1, 5000).empty());
    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(7000), 0);
}

// adapterd answers --help, --version and --check and refuses a bad option
// at once, without starting: no start-up line, no keep-alive queue (the
// router's own key, which must be free beforehand for that check).
TEST(Core, ProductionDaemonAnswersArgumentsWithoutStarting)
{
    th::Sandbox sb;
    bool queueBefore = msgget(ADAPTER_CFG_MSG_KEY, 0) >= 0;
    // Four labels of the longest a label may be, and their dots: 255.
    const std::string label(63, 'h');
    const std::string longest = label + "." + label + "." + label + "." + label;
    const std::string notHost = "' is neither a host name nor an IPv4 or IPv6 address ([IPv6] before a :port)\n";
    // A key pair of the verifier the tests use; the secret half, a file
    // that is no key and a missing one are refused, naming the option.
    const std::string pub = sb.path("/key.pub"), sec = sb.path("/key.sec"), junk = sb.path("/junk.pub");
    std::string gen = "/usr/bin/signify-openbsd -G -n -p '" + pub + "' -s '" + sec + "' >/dev/null 2>&1";
    ASSERT_EQ(system(gen.c_str()), 0);
    sb.writeFile("/junk.pub", "untrusted comment: not a key\nRWQ=\n");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string logStart;
    } cases[] = {
        {{"--help"}, 0, "usage: adapterd [-h|--help]"},
        {{"-V"}, 0, "adapterd 1.1\n"},
        {{"--helpx"}, 2, "adapterd: --helpx: unknown option\n"},
        {{"stray"}, 2, "adapterd: stray: unexpected argument\n"},
        {{"--port", "0"}, 2, "adapterd: --port: '0' is not a port number (1-65535)\n"},
        {{"--port=65536"}, 2, "adapterd: --port: '65536' is not a port number (1-65535)\n"},
        {{"--port", "4294967297"}, 2, "adapterd: --port: '4294967297' is not a port number (1-65535)\n"},
        {{"--ftp-port", "21x"}, 2, "adapterd: --ftp-port: '21x' is not a port number (1-65535)\n"},
        {{"--server", ""}, 2, "adapterd: --server: empty host name\n"},
        {{"--server", longest + "h"}, 2, "adapterd: --server: host name longer than 255 characters\n"},
        {{"--server=a b"}, 2, "adapterd: --server: host name holds a blank or a control character\n"},
        // Each refused beside its sound neighbour, accepted below.
        {{"--server", "tcp://127.0.0.1"}, 2, "adapterd: --server: 'tcp://127.0.0.1" + notHost},
        {{"--server", "999.1.1.1"}, 2, "adapterd: --server: '999.1.1.1" + notHost},
        {{"--server", "1.1.1"}, 2, "adapterd: --server: '1.1.1" + notHost},
        {{"--server", "::g"}, 2, "adapterd: --server: '::g" + notHost},
        {{"--server", "[::1"}, 2, "adapterd: --server: '[::1" + notHost},
        {{"--server", "[::1]60928"}, 2, "adapterd: --server: '[::1]60928" + notHost},
        {{"--server", "[127.0.0.1]"}, 2, "adapterd: --server: '[127.0.0.1]" + notHost},
        {{"--server", "h-.example"}, 2, "adapterd: --server: 'h-.example" + notHost},
        {{"--server", "a..example"}, 2, "adapterd: --server: 'a..example" + notHost},
        {{"--server", label + "h.example"}, 2, "adapterd: --server: '" + label + "h.example" + notHost},
        {{"--server", "127.0.0.1:60928x"}, 2, "adapterd: --server: '127.0.0.1:60928x" + notHost},
        {{"--server", "[::1]:0"}, 2, "adapterd: --server: '[::1]:0' has a port that is not a number in 1-65535\n"},
        {{"--server", "h:65536"}, 2, "adapterd: --server: 'h:65536' has a port that is not a number in 1-65535\n"},
        {{"--server=a", "--server=b", "--server=c", "--server=d", "--server=e"}, 2,
         "adapterd: --server: given more than 4 times\n"},
        {{"--heartbeat", "601"}, 2, "adapterd: --heartbeat: '601' is not a number of seconds in 1-600\n"},
        {{"--heartbeat", "0"}, 2, "adapterd: --heartbeat: '0' is not a number of seconds in 1-600\n"},
        {{"--silence", "1801"}, 2, "adapterd: --silence: '1801' is not a number of seconds in 1-1800\n"},
        {{"--silence", "34", "--heartbeat", "30"}, 2, "adapterd: --silence: 34 s is less than heartbeat + 5 (35 s)\n"},
        {{"--silence", "7"}, 2, "adapterd: --silence: 7 s is less than heartbeat + 5 (8 s)\n"},
        {{"--log", "some"}, 2, "adapterd: --log: 'some' is neither all nor changes\n"},
        {{"--check", "--port"}, 2, "adapterd: --port: needs a value\n"},
        {{"--upgrade-key", sec}, 2, "adapterd: --upgrade-key: '" + sec + "' is not an Ed25519 public key\n"},
        {{"--upgrade-key", junk}, 2, "adapterd: --upgrade-key: '" + junk + "' is not an Ed25519 public key\n"},
        {{"--upgrade-key=/nonexistent.pub"}, 2, "adapterd: --upgrade-key: '/nonexistent.pub' does not exist\n"},
        {{"--upgrade-key", pub, "--upgrade-key", pub, "--upgrade-key", pub, "--upgrade-key", pub, "--upgrade-key", pub},
         2, "adapterd: --upgrade-key: is given more than 4 times\n"},
        {{"--local-upgrade", "no"}, 2, "adapterd: --local-upgrade: 'no' is neither on nor off\n"},
        {{"--check", "--upgrade-key", pub, "--upgrade-key", pub, "--upgrade-key", pub, "--upgrade-key", pub,
          "--local-upgrade=off"}, 0, ""},
        {{"--check"}, 0, ""},
        {{"--check", "--server", "255.1.1.1", "--server", "[::1]:1", "--server=::1", "--server", "h-1.example.:65535"},
         0, ""},
        {{"--check", "--server", "2001:db8::1", "--server", "[::1]:60928", "--server", "127.0.0.1:60928", "--server",
          "a." + label + ".example"},
         0, ""},
        {{"--check", "--server", longest, "--port=1", "--ftp-port", "65535", "--heartbeat", "600", "--silence=1800",
          "--log", "changes"}, 0, ""},
    };
    for (const auto &c : cases) {
        th::Daemon d;
        std::vector<std::string> program = {th::DaemonBin()};
        program.insert(program.end(), c.args.begin(), c.args.end());
        d.start(sb, 0, {}, program);
        EXPECT_EQ(d.waitExit(10000), c.status) << c.args[0];
        // A refusal is its one line and nothing else; a sound check says nothing.
        if (c.status == 2 || c.logStart.empty())
            EXPECT_EQ(d.log(), c.logStart) << c.args[0];
        else
            EXPECT_EQ(d.log().find(c.logStart), 0u) << d.log();
    }
    int id = msgget(ADAPTER_CFG_MSG_KEY, 0);
    if (!queueBefore && id >= 0)
        msgctl(id, IPC_RMID, nullptr);
    EXPECT_TRUE(queueBefore || id < 0) << "adapterd created queue " << ADAPTER_CFG_MSG_KEY;
}

}  // namespace
