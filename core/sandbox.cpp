// Sandbox entry point for tests, demos and integrators: the same adapter,
// with its endpoints taken once from the environment before anything starts.
// It refuses to run without ADAPTER_ROOT, so that it can never reach the
// host's own identity file, serial ports or LEDs; and it removes the
// keep-alive queue it created once the adapter ends, while a queue that
// already existed (a test harness's, a watchdog's) is left alone.
//   ADAPTER_ROOT         prefix for every absolute file path (required)
//   ADAPTER_SERVER_HOST  server host (default 127.0.0.1)
//   ADAPTER_SERVER_PORT  server port (default 60928)
//   ADAPTER_FTP_PORT     FTP control port for upgrades (default 21)
//   ADAPTER_MSG_KEY      keep-alive queue key (default 1234)
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/endpoints.h"
#include "core/globals.h"
#include "core/main.h"

namespace {

const char kUsage[] =
    "usage: adapterd-sandbox [-h|--help] [-V|--version]\n"
    "\n"
    "Runs the adapter with every file it uses below ADAPTER_ROOT and its\n"
    "server, FTP port and keep-alive queue from the environment. Log lines,\n"
    "protocol and behaviour are those of adapterd.\n"
    "\n"
    "environment:\n"
    "  ADAPTER_ROOT         sandbox directory, required (never the host's /)\n"
    "  ADAPTER_SERVER_HOST  server host [127.0.0.1]\n"
    "  ADAPTER_SERVER_PORT  server port [60928]\n"
    "  ADAPTER_FTP_PORT     FTP control port for upgrades [21]\n"
    "  ADAPTER_MSG_KEY      keep-alive queue key [1234]; pick one of your own\n"
    "\n"
    "files below ADAPTER_ROOT:\n"
    "  /dev/ttyS0                  serial port (a pseudo-terminal)\n"
    "  /dev/ttyUSB2                modem port (optional)\n"
    "  /etc/config/device_info     identity file (required)\n"
    "  /usr/bin/zov/zovClient.tar  upgrade package (written)\n"
    "  /sys/devices/gpio-leds.4/leds/mpr-a2:led_data/brightness    data LED\n"
    "  /sys/devices/gpio-leds.4/leds/mpr-a2:led_online/brightness  online LED\n"
    "\n"
    "A keep-alive queue that the sandbox creates is removed when it ends; an\n"
    "existing one is used and left alone.\n"
    "\n"
    "exit status: 0 when the adapter ends (it always does so with 0),\n"
    "2 for a usage or environment error; nothing has started then.\n";

int s_ownQueue = -1;

void removeOwnQueue()
{
    if (s_ownQueue >= 0)
        msgctl(s_ownQueue, IPC_RMID, nullptr);
}

// Until the adapter has installed its own handlers, SIGINT or SIGTERM would
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

// 0 to go on, otherwise the exit status (after --help, --version or a
// usage error).
int parseArgs(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            fputs(kUsage, stdout);
            exit(0);
        }
        if (strcmp(argv[i], "-V") == 0 || strcmp(argv[i], "--version") == 0) {
            printf("adapterd-sandbox %s\n", GB_VER_NAME);
            exit(0);
        }
        fprintf(stderr, "adapterd-sandbox: unexpected argument '%s'; the sandbox is configured through "
                        "its environment\nTry 'adapterd-sandbox --help'.\n", argv[i]);
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (int rc = parseArgs(argc, argv))
        return rc;
    const char *root = getenv("ADAPTER_ROOT");
    long serverPort, ftpPort, msgKey;
    if (!rootUsable(root) || !envNumber("ADAPTER_SERVER_PORT", 1, 65535, 60928, &serverPort) ||
        !envNumber("ADAPTER_FTP_PORT", 1, 65535, 21, &ftpPort) ||
        !envNumber("ADAPTER_MSG_KEY", 1, 0x7fffffff, 1234, &msgKey))
        return 2;
    const char *host = getenv("ADAPTER_SERVER_HOST");
    if (EP_SetServer(host && *host ? host : "127.0.0.1", (uint16_t)serverPort) != 0 || EP_SetRoot(root) != 0) {
        fprintf(stderr, "adapterd-sandbox: ADAPTER_SERVER_HOST or ADAPTER_ROOT too long\n");
        return 2;
    }
    EP_SetFtpPort((uint16_t)ftpPort);
    EP_SetMsgKey((int32_t)msgKey);
    // Created exclusively so that it is known to be ours; the adapter then
    // opens it like any existing queue. It ends through exit(), so atexit
    // covers every way out but a fatal signal.
    int id = msgget((key_t)msgKey, IPC_CREAT | IPC_EXCL | 0666);
    if (id >= 0) {
        s_ownQueue = id;
        atexit(removeOwnQueue);
        signal(SIGINT, earlySignal);
        signal(SIGTERM, earlySignal);
    }
    MAIN_Run();
}
