// Sandbox entry point for tests, demos and integrators: the same adapter,
// with its endpoints taken once from the environment before anything starts.
// It refuses to run without ADAPTER_ROOT, so that it can never reach the
// host's own identity file, serial ports or LEDs; it checks the tree below
// the root first and names every piece that is missing, since the adapter
// would run on without them and fail later in ways that name no path; and
// it removes the keep-alive queue it created once the adapter ends, while a
// queue that already existed (a test harness's, a watchdog's) is left alone.
// It takes adapterd's options (core/options); an option wins over the
// environment variable for the same setting.
//   ADAPTER_ROOT         prefix for every absolute file path (required)
//   ADAPTER_SERVER_HOST  server host[:port] (default 127.0.0.1)
//   ADAPTER_SERVER_PORT  server port (default 60928)
//   ADAPTER_FTP_PORT     FTP control port for upgrades (default 21)
//   ADAPTER_MSG_KEY      keep-alive queue key (default 1234)
//   ADAPTER_BACKUP_S     seconds on a backup server before the first is tried
//                        again (default 600; for tests)
//   ADAPTER_CHECK_TREE   0: start without checking the tree (default 1)
//   ADAPTER_LOG          all (default) or changes: the log level
//   ADAPTER_LOG_WINDOW_MS  window of repeating failures (default 60000;
//                        for tests, which cannot wait minutes)
//   ADAPTER_USIGN        the signature verifier program (default the build's)
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/endpoints.h"
#include "core/globals.h"
#include "core/log.h"
#include "core/main.h"
#include "core/options.h"

#include "config.h"

namespace {

const char kUsage[] =
    "usage: adapterd-sandbox [-h|--help] [-V|--version]\n"
    "       adapterd-sandbox [--server HOST[:N]]... [--port N] [--ftp-port N]\n"
    "                        [--heartbeat S] [--silence S] [--log all|changes]\n"
    "                        [--upgrade-key FILE]... [--local-upgrade on|off] [--check]\n"
    "\n"
    "Runs the adapter with every file it uses below ADAPTER_ROOT and its\n"
    "server, FTP port and keep-alive queue from the environment. Log lines,\n"
    "protocol and behaviour are those of adapterd.\n"
    "\n"
    "options (each wins over its environment variable):\n"
    OPT_HELP_LINES
    "--check also checks the environment and the tree below ADAPTER_ROOT.\n"
    "\n"
    "environment:\n"
    "  ADAPTER_ROOT         sandbox directory, required (never the host's /)\n"
    "  ADAPTER_SERVER_HOST  server host, or host:port, as --server takes it [127.0.0.1]\n"
    "  ADAPTER_SERVER_PORT  server port [60928]\n"
    "  ADAPTER_FTP_PORT     FTP control port for upgrades [21]\n"
    "  ADAPTER_MSG_KEY      keep-alive queue key [1234]; pick one of your own\n"
    "  ADAPTER_BACKUP_S     seconds on a backup server before the first is tried\n"
    "                       again at the next drop, for tests [600]\n"
    "  ADAPTER_CHECK_TREE   0 to start with pieces of the tree missing, to see how\n"
    "                       the adapter itself copes (tests do) [1]\n"
    "  ADAPTER_LOG          all: every line; changes: no lines of routine traffic,\n"
    "                       repeating failures summed up once a window [all]\n"
    "  ADAPTER_LOG_WINDOW_MS  that window in milliseconds, for tests [60000]\n"
    "  ADAPTER_USIGN        the program that verifies signed upgrades, run as\n"
    "                       PROG -V -q -m PKG -x SIG -p KEY [" ADAPTER_CFG_USIGN_PATH "]\n"
    "\n"
    "files below ADAPTER_ROOT:\n"
    "  /dev/ttyS0                  serial port (a pseudo-terminal)\n"
    "  /dev/ttyUSB2                modem port (optional)\n"
    "  /etc/config/device_info     identity file (required)\n"
    "  /usr/bin/zov/zovClient.tar  upgrade package (written)\n"
    "  /sys/devices/gpio-leds.4/leds/mpr-a2:led_data/brightness    data LED\n"
    "  /sys/devices/gpio-leds.4/leds/mpr-a2:led_online/brightness  online LED\n"
    "  /var/run/adapterd/status.json  state file (written; its folders are made)\n"
    "\n"
    "A keep-alive queue that the sandbox creates is removed when it ends; an\n"
    "existing one is used and left alone.\n"
    "\n"
    "Everything but the modem port must be in place before the sandbox starts\n"
    "(the port a terminal, such as a link to a pseudo-terminal); it names each\n"
    "missing piece with its full path.\n"
    "\n"
    "exit status: 0 when the adapter ends (it always does so with 0) or --check\n"
    "finds everything sound; 2 for a bad option or value (one line on standard\n"
    "error naming it), an environment error, or a missing piece of the tree;\n"
    "nothing has started then.\n";

int s_ownQueue = -1;

void removeOwnQueue()
{
    if (s_ownQueue >= 0)
        msgctl(s_ownQueue, IPC_RMID, nullptr);
}

// Until the adapter has installed its own handlers, an ending signal would
// end the process without running atexit: remove the queue, then die of
// the signal as before. msgctl is a plain system call, safe here.
void earlySignal(int sig)
{
    removeOwnQueue();
    signal(sig, SIG_DFL);
    raise(sig);
}

// Parses env var name as an integer in [lo, hi]; def when unset.
bool envNumber(const char *name, long lo, long hi, long def, long *out)
{
    const char *s = getenv(name);
    if (s == nullptr || *s == '\0') {
        *out = def;
        return true;
    }
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 0);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) {
        fprintf(stderr, "adapterd-sandbox: %s=%s is not a number in %ld..%ld\n", name, s, lo, hi);
        return false;
    }
    *out = v;
    return true;
}

// The root must name a directory other than the host's own root; false
// after a message saying why.
bool rootUsable(const char *root)
{
    if (root == nullptr || *root == '\0') {
        fprintf(stderr, "adapterd-sandbox: ADAPTER_ROOT is not set; refusing to start, since the adapter "
                        "would then use this host's own /etc/config/device_info, serial ports and LEDs.\n"
                        "Set it to a sandbox directory (see adapterd-sandbox --help).\n");
        return false;
    }
    struct stat st;
    const char *why = stat(root, &st) != 0 ? strerror(errno) : !S_ISDIR(st.st_mode) ? "not a directory" : nullptr;
    if (why != nullptr) {
        fprintf(stderr, "adapterd-sandbox: ADAPTER_ROOT=%s: %s\n", root, why);
        return false;
    }
    char real[PATH_MAX];
    if (realpath(root, real) != nullptr && strcmp(real, "/") == 0) {
        fprintf(stderr, "adapterd-sandbox: ADAPTER_ROOT=%s is the host's root; refusing to start\n", root);
        return false;
    }
    return true;
}

// Why path is not what the adapter needs there, or nullptr when it is:
// a regular file it can read (it is rewritten through a file beside it),
// a terminal, or a directory it can write in.
enum Need { NEED_FILE, NEED_TERMINAL, NEED_DIR };
const char *unfit(const char *path, Need need)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return strerror(errno);
    if (need == NEED_DIR)
        return !S_ISDIR(st.st_mode) ? "not a directory" : access(path, W_OK | X_OK) != 0 ? strerror(errno) : nullptr;
    if (need == NEED_FILE)
        return !S_ISREG(st.st_mode) ? "not a regular file" : access(path, R_OK) != 0 ? strerror(errno) : nullptr;
    // Opened and closed at once, as the adapter does at every settings
    // change; non-blocking, so a line without carrier cannot hold it.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return strerror(errno);
    bool tty = isatty(fd) != 0;
    close(fd);
    return tty ? nullptr : "not a terminal (link it to a pseudo-terminal: see adapterd-sandbox --help)";
}

// The directory part of path, in buf.
const char *dirOf(const char *path, char *buf, size_t size)
{
    snprintf(buf, size, "%s", path);
    char *slash = strrchr(buf, '/');
    if (slash != nullptr)
        *(slash == buf ? slash + 1 : slash) = '\0';
    return buf;
}

// Every piece of the tree below the root that the adapter needs, checked
// before it starts; false after a line for each one that is missing.
bool treeUsable()
{
    char pkgDir[PATH_MAX], dataDir[PATH_MAX], onlineDir[PATH_MAX];
    const struct {
        const char *path;
        Need need;
        const char *what;
    } pieces[] = {
        {EP_Path(EP_PATH_DEVINFO), NEED_FILE, "the identity file"},
        {EP_Path(EP_PATH_SERIAL), NEED_TERMINAL, "the serial port"},
        {dirOf(EP_Path(EP_PATH_PACKAGE), pkgDir, sizeof pkgDir), NEED_DIR, "the package's directory"},
        {dirOf(EP_Path(EP_PATH_LED_DATA), dataDir, sizeof dataDir), NEED_DIR, "the data LED's directory"},
        {dirOf(EP_Path(EP_PATH_LED_ONLINE), onlineDir, sizeof onlineDir), NEED_DIR, "the online LED's directory"},
    };
    bool ok = true;
    for (const auto &p : pieces) {
        const char *why = unfit(p.path, p.need);
        if (why != nullptr) {
            fprintf(stderr, "adapterd-sandbox: %s %s: %s\n", p.what, p.path, why);
            ok = false;
        }
    }
    if (!ok)
        fprintf(stderr, "adapterd-sandbox: refusing to start; see adapterd-sandbox --help for the tree\n");
    return ok;
}

// Log level and window from the environment; false after a line naming
// what is wrong.
bool logSettings()
{
    const char *level = getenv("ADAPTER_LOG");
    if (level != nullptr && *level != '\0' && strcmp(level, "all") != 0 && strcmp(level, "changes") != 0) {
        fprintf(stderr, "adapterd-sandbox: ADAPTER_LOG=%s is neither all nor changes\n", level);
        return false;
    }
    long windowMs;
    if (!envNumber("ADAPTER_LOG_WINDOW_MS", 1, 3600000, 60000, &windowMs))
        return false;
    LOG_SetLevel(level != nullptr && strcmp(level, "changes") == 0 ? LOG_LEVEL_CHANGES : LOG_LEVEL_ALL);
    LOG_SetWindowMs((int32_t)windowMs);
    return true;
}

// OPT_RUN or OPT_CHECK to go on into *opts; otherwise the exit status
// (after --help, --version or a refused option).
int parseArgs(int argc, char **argv, Options *opts, bool *check)
{
    switch (OPT_Parse(argc, argv, "adapterd-sandbox", opts)) {
    case OPT_HELP:
        fputs(kUsage, stdout);
        exit(0);
    case OPT_VERSION:
        printf("adapterd-sandbox %s\n", GB_VER_NAME);
        exit(0);
    case OPT_ERROR:
        return 2;
    case OPT_CHECK:
        *check = true;
        return 0;
    case OPT_RUN:
        break;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    Options opts;
    bool check = false;
    if (int rc = parseArgs(argc, argv, &opts, &check))
        return rc;
    const char *root = getenv("ADAPTER_ROOT");
    long serverPort = opts.port, ftpPort = opts.ftpPort, msgKey;
    if (!rootUsable(root) || (opts.port == 0 && !envNumber("ADAPTER_SERVER_PORT", 1, 65535, 60928, &serverPort)) ||
        (opts.ftpPort == 0 && !envNumber("ADAPTER_FTP_PORT", 1, 65535, 21, &ftpPort)) ||
        !envNumber("ADAPTER_MSG_KEY", 1, 0x7fffffff, 1234, &msgKey) || !logSettings())
        return 2;
    // The environment's server is checked like --server's, and stands
    // until the options name their own.
    const char *entry = getenv("ADAPTER_SERVER_HOST");
    char host[EP_HOST_MAX_LEN + 1];
    uint16_t entryPort = 0;
    const char *why = OPT_ServerEntry(entry && *entry ? entry : "127.0.0.1", host, sizeof host, &entryPort);
    if (why != nullptr) {
        fprintf(stderr, "adapterd-sandbox: ADAPTER_SERVER_HOST=%s: %s\n", entry, why);
        return 2;
    }
    long backupS;
    if (!envNumber("ADAPTER_BACKUP_S", 1, 86400, 600, &backupS))
        return 2;
    if (EP_SetServer(host, entryPort != 0 ? entryPort : (uint16_t)serverPort) != 0 || EP_SetRoot(root) != 0) {
        fprintf(stderr, "adapterd-sandbox: ADAPTER_ROOT too long\n");
        return 2;
    }
    EP_SetBackupS((uint32_t)backupS);
    const char *usign = getenv("ADAPTER_USIGN");
    if (usign != nullptr && *usign != '\0' && EP_SetUsignPath(usign) != 0) {
        fprintf(stderr, "adapterd-sandbox: ADAPTER_USIGN too long\n");
        return 2;
    }
    long checkTree;
    if (!envNumber("ADAPTER_CHECK_TREE", 0, 1, 1, &checkTree) || (checkTree != 0 && !treeUsable()))
        return 2;
    if (check)
        return 0;
    EP_SetFtpPort((uint16_t)ftpPort);
    EP_SetMsgKey((int32_t)msgKey);
    OPT_Apply(&opts);
    // Created exclusively so that it is known to be ours; the adapter then
    // opens it like any existing queue. It ends through exit(), so atexit
    // covers every way out but a fatal signal.
    int id = msgget((key_t)msgKey, IPC_CREAT | IPC_EXCL | 0666);
    if (id >= 0) {
        s_ownQueue = id;
        atexit(removeOwnQueue);
        static const int kEnding[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
        for (int sig : kEnding)
            signal(sig, earlySignal);
    }
    MAIN_Run();
}
