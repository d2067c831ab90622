// adapter-sim: the server side of the adapter's link protocol, for
// integrators, bench work and tests. Listens on one TCP port (loopback by
// default), serves one adapter at a time, answers online requests and
// heartbeats with results the operator chooses, reports every message it
// receives decoded (one time-stamped line, or one JSON object, per event)
// and sends data and management requests on command.
//
// Commands come from standard input or from a scenario file (--script).
// They run one at a time, in order: a wait, a sleep, or a command that
// needs an adapter before one has connected holds the ones behind it until
// its event comes or its time runs out. Single-threaded: one poll() over the
// listening socket, the adapter's connection and standard input, with the
// running command's deadline as its time-out.
//
// This file holds the options and the poll loop; tools/sim/sim.h names the
// parts that do the rest.
#include <arpa/inet.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/globals.h"
#include "tools/cli.h"
#include "tools/sim/sim.h"

using namespace sim;

const char sim::kProg[] = "adapter-sim";

const char sim::kCommands[] =
    "commands, one per line (a line whose first word starts with # is a comment):\n"
    "  data SETTINGS TEXT     send TEXT (the rest of the line, blanks kept) as serial\n"
    "                         data; SETTINGS as people write them (38400 8E1) or as\n"
    "                         the four indices B D S P of the table below\n"
    "  datahex SETTINGS HEX   the same with the bytes in hex (\"41 42 43\" or \"414243\")\n"
    "  raw HEX                send bytes exactly as given\n"
    "  burst [N] COMMAND      send N copies [1] of the message a data, datahex, raw,\n"
    "                         upgrade or devinfo command makes, in one write\n"
    "  burst [N] {            the messages of the lines up to a line '}', N times\n"
    "    COMMAND...           over [1], in one write (at most 1 MiB)\n"
    "  }\n"
    "  upgrade HOST USER PASS PATH\n"
    "                         ask for a remote upgrade from an FTP server\n"
    "  devinfo SN PC          ask for a new identity: serial number, pairing code;\n"
    "                         values the adapter's identity file cannot keep are\n"
    "                         refused here (see adapter-dev --help)\n"
    "  login ok|refuse N      answer online requests with 0, or refuse with code N\n"
    "  heartbeat ok|refuse N  answer heartbeats with 0, or with code N\n"
    "  silent on|off          stop or resume answering anything\n"
    "  close                  close the adapter's connection\n"
    "  wait online [serial=SN] [pair=PC] [S]\n"
    "                         until an adapter is logged in (with that identity)\n"
    "  wait data TEXT [S]     until uplink data contains TEXT: one word, or in double\n"
    "                         quotes with \\\" \\\\ \\r \\n \\t \\xHH escapes\n"
    "  wait heartbeat [S]     until a heartbeat arrives\n"
    "  wait close [S]         until the adapter's connection closes\n"
    "  wait upgrade ok|failed [S]\n"
    "                         until the upgrade's result (not the 06 that accepts it)\n"
    "  wait devinfo ok|failed [S]\n"
    "                         until the identity change's result\n"
    "  sleep S                hold the commands for S seconds (fractions allowed)\n"
    "  echo TEXT              print TEXT as an event, to annotate a scenario\n"
    "  status                 show the answers, the connection and the counts\n"
    "  help                   this list\n"
    "  quit                   end the simulator\n"
    "\n"
    "A wait gives up after S seconds [30]. It is met by an event that came after\n"
    "the previous command began and that no earlier wait has taken, so 'close'\n"
    "then 'wait close', or device data just before 'wait data', are not missed.\n"
    "It fails at once when the other outcome comes: a login with another identity\n"
    "(one from before the previous command is not counted), the other result, or\n"
    "the connection closing before a result.\n"
    "Commands that need an adapter (data, datahex, raw, burst, upgrade, devinfo,\n"
    "close) wait up to 30 s for one to connect. Messages go out as soon as their\n"
    "command runs, each in one write (--gap spaces them).\n"
    "\n"
    "serial settings, four indices in every data message:\n"
    "  index  baud    data bits  stop bits  parity\n"
    "  0      1200    7          1          N (none)\n"
    "  1      2400    8          2          O (odd)\n"
    "  2      4800    8          1          E (even)\n"
    "  3      9600                          E (even)\n"
    "  4      19200\n"
    "  5      38400\n"
    "  6      57600\n"
    "  7      115200\n"
    "  8      9600\n"
    "38400 8E1 is the indices 5 1 0 2. The adapter starts at 115200 8N1 (7 1 0 0)\n"
    "and reopens its port whenever the indices change; every rate of the table\n"
    "can be set. A pseudo-terminal as its port records the rate and the stop bits\n"
    "but drops parity and 7 data bits: it always carries 8 bits without parity.\n"
    "Uplink data carries zero indices.\n";

namespace {

const char kSynopsis[] = "usage: adapter-sim [-p PORT] [-b ADDR] [-s FILE] [-l FILE] [-g MS] [-j] [-e]\n";

const char kOptions[] =
    "\n"
    "Plays the server for one adapter at a time: listens on ADDR:PORT, answers\n"
    "online requests and heartbeats, prints each message it receives decoded (one\n"
    "time-stamped line each) and sends what the commands say. Commands come from\n"
    "standard input, or from a scenario file with --script. From a terminal,\n"
    "status, help and quit answer at once, even while a command waits, and a line\n"
    "that is no command is reported and dropped; from a pipe or a file, such a\n"
    "line ends the run (status 2).\n"
    "\n"
    "options:\n"
    "  -p, --port=N         TCP port to listen on, 1-65535 [60928]\n"
    "  -b, --bind=ADDR      IPv4 address to listen on [127.0.0.1]\n"
    "  -s, --script=FILE    run FILE's lines as commands, then end; standard input\n"
    "                       is not read, and the first wait that times out ends it\n"
    "  -l, --log=FILE       append the decoded lines to FILE as well\n"
    "  -g, --gap=MS         at least MS milliseconds between two writes, 0-10000 [0];\n"
    "                       100 keeps messages apart for an adapter that takes what\n"
    "                       one receive returns as one message\n"
    "  -j, --json           print one JSON object per event instead of text lines\n"
    "  -e, --exit-on-eof    end once standard input has ended and its commands have\n"
    "                       run; without it the simulator serves until 'quit'\n"
    "  -h, --help           this text\n"
    "  -V, --version        version\n"
    "\n";

const char kExitStatus[] =
    "\n"
    "exit status:\n"
    "  0  ended, and every wait held\n"
    "  1  a wait timed out or met the other outcome, a command found no adapter,\n"
    "     or the port was not free\n"
    "  2  usage error, or a line that is no command (with its number) in a\n"
    "     scenario or in standard input that is not a terminal\n";

struct Options {
    long port = 60928;
    long gap = 0;
    const char *bind = "127.0.0.1";
    const char *script = nullptr;
    const char *log = nullptr;
};

// Returns -1 to go on, or the exit status (help, version, usage error).
int ParseOptions(int argc, char **argv, Sim &sim, Options *o)
{
    static const struct option longOpts[] = {
        {"port", required_argument, nullptr, 'p'},   {"bind", required_argument, nullptr, 'b'},
        {"script", required_argument, nullptr, 's'}, {"log", required_argument, nullptr, 'l'},
        {"gap", required_argument, nullptr, 'g'},    {"json", no_argument, nullptr, 'j'},
        {"exit-on-eof", no_argument, nullptr, 'e'},
        {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0}};
    opterr = 0;
    static const char kShort[] = ":p:b:s:l:g:jehV";
    int c, before = optind;
    while ((c = getopt_long(argc, argv, kShort, longOpts, nullptr)) != -1) {
        struct in_addr a;
        switch (c) {
        case 'p':
            if (!ParseLong(optarg, 1, 65535, &o->port))
                return CLI_UsageError(kProg, kSynopsis, "bad value '%s' for the port (1-65535)", optarg);
            break;
        case 'b':
            if (inet_pton(AF_INET, optarg, &a) != 1)
                return CLI_UsageError(kProg, kSynopsis, "bad value '%s' for the address (IPv4, such as 127.0.0.1)",
                                      optarg);
            o->bind = optarg;
            break;
        case 's':
            o->script = optarg;
            sim.scripted = true;
            sim.scriptName = optarg;
            break;
        case 'l': o->log = optarg; break;
        case 'g':
            if (!ParseLong(optarg, 0, 10000, &o->gap))
                return CLI_UsageError(kProg, kSynopsis, "bad value '%s' for the gap (0-10000 ms)", optarg);
            sim.gapMs = o->gap;
            break;
        case 'j': sim.json = true; break;
        case 'e': sim.exitOnEof = true; break;
        case 'h':
            fputs(kSynopsis, stdout);
            fputs(kOptions, stdout);
            fputs(kCommands, stdout);
            fputs(kExitStatus, stdout);
            return EXIT_OK;
        case 'V': printf("adapter-sim %s\n", GB_VER_NAME); return EXIT_OK;
        default: return CLI_OptionError(kProg, kSynopsis, argv, before, c, kShort);
        }
        before = optind;
    }
    if (optind < argc)
        return CLI_UsageError(kProg, kSynopsis,
                              "unexpected argument '%.60s'; commands go to standard input or a --script file",
                              argv[optind]);
    return -1;
}

}  // namespace

int main(int argc, char **argv)
{
    Sim sim;
    Options o;
    int rc = ParseOptions(argc, argv, sim, &o);
    if (rc >= 0)
        return rc;
    if (o.script != nullptr && !LoadScript(sim, o.script))
        return EXIT_USAGE;
    if (o.log != nullptr && (sim.log = fopen(o.log, "ae")) == nullptr) {
        fprintf(stderr, "adapter-sim: cannot open %s: %s\n", o.log, strerror(errno));
        return EXIT_FAIL;
    }
    signal(SIGPIPE, SIG_IGN);
    sim.listenFd = OpenListener(o.bind, (uint16_t)o.port);
    if (sim.listenFd < 0)
        return EXIT_FAIL;
    sim.stdinOpen = !sim.scripted;
    sim.interactive = !sim.scripted && isatty(STDIN_FILENO) != 0;
    Emit(sim, "listening", Json().str("address", o.bind).num("port", (double)o.port), "listening on %s:%ld", o.bind,
         o.port);
    RunQueued(sim);
    while (!sim.quit) {
        struct pollfd p[3];
        nfds_t n = 0;
        int iStdin = -1, iClient = -1;
        p[n++] = {sim.listenFd, POLLIN, 0};
        if (sim.stdinOpen) {
            iStdin = (int)n;
            p[n++] = {STDIN_FILENO, POLLIN, 0};
        }
        if (sim.client >= 0) {
            iClient = (int)n;
            p[n++] = {sim.client, POLLIN, 0};
        }
        int timeout = -1;
        if (sim.run.active) {
            int64_t left = sim.run.deadline - NowMs();
            timeout = left > 0 ? (int)left : 0;
        }
        if (poll(p, n, timeout) < 0 && errno != EINTR) {
            perror("adapter-sim: poll");
            return EXIT_FAIL;
        }
        if (iClient >= 0 && p[iClient].revents)
            OnClientData(sim);
        if (p[0].revents & POLLIN)
            OnAccept(sim);
        if (iStdin >= 0 && p[iStdin].revents)
            OnStdin(sim);
        Settle(sim);
        RunQueued(sim);
    }
    Disconnect(sim, "simulator ends");
    close(sim.listenFd);
    if (sim.log != nullptr)
        fclose(sim.log);
    return sim.badCommand ? EXIT_USAGE : sim.failed ? EXIT_FAIL : EXIT_OK;
}
