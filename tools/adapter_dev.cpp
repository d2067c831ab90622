// adapter-dev: the device end of an adapter's serial port. Pushes an
// upgrade package in CRC-protected chunks (resending at whatever offset the
// adapter answers with) and reads or sets the adapter's identity. Works on
// a real serial device or a pseudo-terminal.
//
// The adapter reads its port in bursts that end after 0.1 s of silence or
// when one read of 1014 bytes is full, and only recognises a frame that
// starts a burst. So every frame is written as one burst, the next one only
// after the adapter has answered (or a time-out), and chunks are as large as
// a read: a full frame is taken at once, a shorter one waits out the
// silence. Plain POSIX I/O throughout, so no input can make the tool abort;
// the package is read chunk by chunk with pread, never held whole.
//
// This file holds the options and the commands; tools/dev/dev.h names the
// parts that do the rest.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/common.h"
#include "core/globals.h"
#include "serial/upgrade.h"
#include "tools/cli.h"
#include "tools/dev/dev.h"

using namespace dev;

const char dev::kProg[] = "adapter-dev";

namespace {

constexpr int kMaxChunk = UPGRADE_MAX_DATA;  // 16-byte header + 998 = one 1014-byte read
constexpr size_t kUpgradeHead = UPGRADE_HEAD_LEN;
constexpr size_t kDevInfoLen = DEVINFO_FRAME_LEN;

struct Options {
    PortSettings port;
    int chunk = kMaxChunk;
    int timeoutMs = 3000;
    int retries = 3;
    bool quiet = false;
};

const char kSynopsis[] = "usage: adapter-dev -p DEVICE [OPTION]... push FILE | info | set-info SN PC\n";

const char kHelp[] =
    "\n"
    "The device end of an adapter's serial port: push an upgrade package, read\n"
    "or set the adapter's identity.\n"
    "\n"
    "commands:\n"
    "  push FILE        send FILE (a non-empty regular file) as an upgrade package;\n"
    "                   the adapter ends itself to install it once it is complete\n"
    "  info             print the adapter's serial number and pairing code\n"
    "  set-info SN PC   set them: 1-11 and 0-7 bytes, no blank, control character,\n"
    "                   = ' \" \\ # or ;, and no \"pairCode\" in SN (what the adapter's\n"
    "                   identity file can keep); the adapter keeps running\n"
    "\n"
    "options (the port settings must match the adapter's port):\n"
    "  -p, --port=DEVICE      serial port or pseudo-terminal (required)\n"
    "  -b, --baud=N           bits per second [115200]\n"
    "  -d, --databits=7|8     data bits [8]\n"
    "  -y, --parity=n|o|e     parity [n]\n"
    "  -s, --stopbits=1|2     stop bits [1]\n"
    "  -c, --chunk=N          package bytes per frame, 1-998 [998]. Keep the default:\n"
    "                         the adapter takes a frame at once only when it fills a\n"
    "                         whole read (16 + 998 bytes); a shorter frame waits out\n"
    "                         the adapter's 0.1 s of silence, so 512-byte chunks\n"
    "                         make a push of 400 KB take 80 s instead of 0.3 s\n"
    "  -t, --timeout=MS       wait for each answer, 200-600000 [3000]\n"
    "  -r, --retries=N        resends of an unanswered frame, 0-1000 [3]\n"
    "  -q, --quiet            no progress bar\n"
    "  -h, --help             this text\n"
    "  -V, --version          version\n"
    "\n"
    "The progress bar (rate, time left, resends) goes to standard error when it\n"
    "is a terminal; results go to standard output, errors to standard error.\n"
    "\n"
    "The port is this tool's alone while it runs: a second adapter-dev on the same\n"
    "port is refused at once (status 1), naming the port.\n"
    "\n"
    "exit status:\n"
    "  0  done\n"
    "  1  failure: no answer or a wrong one, a port error or a port in use, a file\n"
    "     that cannot be sent\n"
    "  2  usage error\n";


bool parseInt(const char *s, int lo, int hi, int *out)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi)
        return false;
    *out = (int)v;
    return true;
}

// What an option with a value accepts, for its usage error.
const char *valid(int c)
{
    switch (c) {
    case 'b': return "1200 2400 4800 9600 19200 38400 57600 115200 230400 460800 or 921600";
    case 'd': return "7 or 8";
    case 'y': return "n, o or e";
    case 's': return "1 or 2";
    case 'c': return "1-998";
    case 't': return "200-600000 ms";
    default: return "0-1000";
    }
}

// Fills o from the options; the operands are left at argv[optind..].
// Returns -1 to go on, or the exit status (help, version, usage error).
int parseOptions(int argc, char **argv, Options *o)
{
    static const struct option longOpts[] = {
        {"port", required_argument, nullptr, 'p'},     {"baud", required_argument, nullptr, 'b'},
        {"databits", required_argument, nullptr, 'd'}, {"bits", required_argument, nullptr, 'd'},
        {"parity", required_argument, nullptr, 'y'},   {"stopbits", required_argument, nullptr, 's'},
        {"stop", required_argument, nullptr, 's'},     {"chunk", required_argument, nullptr, 'c'},
        {"timeout", required_argument, nullptr, 't'},  {"retries", required_argument, nullptr, 'r'},
        {"quiet", no_argument, nullptr, 'q'},          {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},        {nullptr, 0, nullptr, 0}};
    opterr = 0;  // our own messages, with the synopsis
    static const char kShort[] = ":p:b:d:y:s:c:t:r:qhV";
    int c, index = -1, before = optind;
    while ((c = getopt_long(argc, argv, kShort, longOpts, &index)) != -1) {
        bool ok = true;
        switch (c) {
        case 'p': o->port.path = optarg; break;
        case 'b': ok = parseInt(optarg, 50, 4000000, &o->port.baud) && BaudSupported(o->port.baud); break;
        case 'd': ok = parseInt(optarg, 7, 8, &o->port.bits); break;
        case 's': ok = parseInt(optarg, 1, 2, &o->port.stop); break;
        case 'c': ok = parseInt(optarg, 1, kMaxChunk, &o->chunk); break;
        case 't': ok = parseInt(optarg, 200, 600000, &o->timeoutMs); break;
        case 'r': ok = parseInt(optarg, 0, 1000, &o->retries); break;
        case 'q': o->quiet = true; break;
        case 'y':
            o->port.parity = (char)toupper((unsigned char)optarg[0]);
            ok = optarg[0] != '\0' && optarg[1] == '\0' && strchr("NOE", o->port.parity) != nullptr;
            break;
        case 'h':
            fputs(kSynopsis, stdout);
            fputs(kHelp, stdout);
            return EXIT_OK;
        case 'V':
            printf("adapter-dev %s\n", GB_VER_NAME);
            return EXIT_OK;
        default: return CLI_OptionError(kProg, kSynopsis, argv, before, c, kShort);
        }
        if (!ok) {
            // Named as typed: the long name if that was used, else the letter.
            return index >= 0 ? CLI_UsageError(kProg, kSynopsis, "bad value '%s' for --%s (%s)", optarg,
                                               longOpts[index].name, valid(c))
                              : CLI_UsageError(kProg, kSynopsis, "bad value '%s' for -%c (%s)", optarg, c, valid(c));
        }
        index = -1;
        before = optind;
    }
    if (o->port.path == nullptr)
        return CLI_UsageError(kProg, kSynopsis, "no port given (-p DEVICE)");
    return -1;
}

// Package file: checked before the port is touched, read chunk by chunk.
struct Package {
    int fd = -1;
    int32_t size = 0;
};

// Opens path as a package: a non-empty regular file below 2 GiB. False
// after a message naming the file and the reason; nothing is opened then.
// O_NONBLOCK keeps a FIFO without a writer from holding the open.
bool openPackage(const char *path, Package *pkg)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "adapter-dev: cannot open %s: %s\n", path, strerror(errno));
        return false;
    }
    struct stat st;
    const char *why = nullptr;
    if (fstat(fd, &st) != 0)
        why = strerror(errno);
    else if (S_ISDIR(st.st_mode))
        why = "is a directory, not a package file";
    else if (!S_ISREG(st.st_mode))
        why = "is not a regular file";
    else if (st.st_size == 0)
        why = "is empty; an empty package would replace the adapter's own and end it";
    else if (st.st_size > INT32_MAX)
        why = "is too large (2 GiB or more)";
    if (why != nullptr) {
        fprintf(stderr, "adapter-dev: %s: %s\n", path, why);
        close(fd);
        return false;
    }
    pkg->fd = fd;
    pkg->size = (int32_t)st.st_size;
    return true;
}

// Builds the upgrade frame for the chunk at offset into f (room for 1014
// bytes); returns its length, or 0 after a message when the file cannot be
// read there (it changed under the tool).
size_t buildChunk(const Package &pkg, int32_t offset, int32_t n, const char *path, uint8_t *f)
{
    memset(f, 0, kUpgradeHead);
    f[0] = 0xAA;
    f[1] = 0xBB;
    COMM_PutLe32(f + 4, (uint32_t)pkg.size);
    COMM_PutLe32(f + 8, (uint32_t)offset);
    COMM_PutLe32(f + 12, (uint32_t)n);
    int32_t done = 0;
    while (done < n) {
        ssize_t r = pread(pkg.fd, f + kUpgradeHead + done, (size_t)(n - done), (off_t)offset + done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            fprintf(stderr, "adapter-dev: cannot read %s at byte %d: %s\n", path, offset + done,
                    r < 0 ? strerror(errno) : "the file got shorter");
            return 0;
        }
        done += (int32_t)r;
    }
    COMM_PutLe16(f + 2, COMM_Crc16(f + 4, (uint16_t)(12 + n)));
    return kUpgradeHead + (size_t)n;
}


// An adapter that does not answer at all is most often one that is
// restarting: it ends itself after a complete package and takes some
// seconds to be back. Or the port or its settings do not match.
void reportSilence(int64_t ms, int tries, const char *what)
{
    fprintf(stderr,
            "adapter-dev: no answer from the adapter for %.1f s (%d %s%s): it is not answering, and may be "
            "restarting (as it does for some seconds after a complete package); if not, check the port and "
            "its settings\n",
            (double)ms / 1000.0, tries, tries == 1 ? "try" : "tries", what);
}

int cmdPush(int fd, const Options &o, const char *path, const Package &pkg)
{
    const int32_t total = pkg.size;
    Progress prog;
    prog.on = !o.quiet && isatty(STDERR_FILENO) != 0;
    prog.start = NowMs();
    uint8_t frame[kUpgradeHead + kMaxChunk];
    uint8_t a[kUpgradeHead];
    int32_t offset = 0;
    int unanswered = 0, stalled = 0, resent = 0;
    int64_t waitingSince = 0;
    ProgressDraw(&prog, 0, total, 0, true);
    for (;;) {
        int32_t n = o.chunk < total - offset ? o.chunk : total - offset;
        size_t len = buildChunk(pkg, offset, n, path, frame);
        if (len == 0 || !SendFrame(fd, frame, len)) {
            ProgressEnd(&prog);
            return EXIT_FAIL;
        }
        if (unanswered == 0)
            waitingSince = NowMs();
        int r = WaitAnswer(fd, 0xAA, 0xBB, kUpgradeHead, o.timeoutMs, a);
        if (r < 0) {
            ProgressEnd(&prog);
            return EXIT_FAIL;
        }
        if (r == 0) {
            if (++unanswered > o.retries) {
                ProgressEnd(&prog);
                char what[48];
                snprintf(what, sizeof what, " of the chunk at byte %d", offset);
                reportSilence(NowMs() - waitingSince, unanswered, what);
                return EXIT_FAIL;
            }
            resent++;
            ProgressDraw(&prog, offset, total, resent, true);
            continue;  // resend the same chunk
        }
        unanswered = 0;
        int32_t aTotal = (int32_t)COMM_GetLe32(a + 4);
        int32_t aOffset = (int32_t)COMM_GetLe32(a + 8);
        if (aTotal != total || aOffset < 0 || aOffset > total) {
            ProgressEnd(&prog);
            fprintf(stderr, "adapter-dev: wrong answer: the adapter reports %d of %d bytes, sending %d bytes\n",
                    aOffset, aTotal, total);
            return EXIT_FAIL;
        }
        stalled = aOffset > offset || aOffset == total ? 0 : stalled + 1;
        if (stalled > o.retries) {
            ProgressEnd(&prog);
            fprintf(stderr, "adapter-dev: the adapter keeps asking for byte %d; it cannot store the package\n",
                    aOffset);
            return EXIT_FAIL;
        }
        if (stalled > 0)
            resent++;
        offset = aOffset;
        ProgressDraw(&prog, offset, total, resent, offset == total);
        if (offset == total)
            break;
    }
    ProgressEnd(&prog);
    double secs = (double)(NowMs() - prog.start) / 1000.0;
    printf("delivered %d bytes in %.1f s", total, secs);
    if (resent > 0)
        printf(" (%d resent)", resent);
    printf("; the adapter ends itself to install the package\n");
    return EXIT_OK;
}

// Sends an identity frame (empty sn: a query) and prints the answer.
int cmdInfo(int fd, const Options &o, const char *sn, const char *pc)
{
    uint8_t f[kDevInfoLen] = {};
    f[0] = 0xCC;
    f[1] = 0xDD;
    memcpy(f + 4, sn, strlen(sn));
    memcpy(f + 16, pc, strlen(pc));
    COMM_PutLe16(f + 2, COMM_Crc16(f + 4, 20));
    uint8_t a[kDevInfoLen];
    const int64_t start = NowMs();
    for (int attempt = 0;; attempt++) {
        if (!SendFrame(fd, f, sizeof f))
            return EXIT_FAIL;
        int r = WaitAnswer(fd, 0xCC, 0xDD, kDevInfoLen, o.timeoutMs, a);
        if (r < 0)
            return EXIT_FAIL;
        if (r == 1)
            break;
        if (attempt >= o.retries) {
            reportSilence(NowMs() - start, attempt + 1, "");
            return EXIT_FAIL;
        }
    }
    char gotSn[13] = {}, gotPc[9] = {};
    memcpy(gotSn, a + 4, 12);
    memcpy(gotPc, a + 16, 8);
    printf("serialNum: %s\npairCode: %s\n", gotSn, gotPc);
    if (sn[0] != '\0' && (strcmp(gotSn, sn) != 0 || strcmp(gotPc, pc) != 0)) {
        fprintf(stderr, "adapter-dev: the adapter kept its identity; it could not store the new one\n");
        return EXIT_FAIL;
    }
    return EXIT_OK;
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    int rc = parseOptions(argc, argv, &o);
    if (rc >= 0)
        return rc;
    char **args = argv + optind;
    int nargs = argc - optind;
    if (nargs == 0)
        return CLI_UsageError(kProg, kSynopsis, "no command given");
    const char *cmd = args[0];
    int want = strcmp(cmd, "push") == 0 ? 2 : strcmp(cmd, "info") == 0 ? 1 : strcmp(cmd, "set-info") == 0 ? 3 : 0;
    if (want == 0)
        return CLI_UsageError(kProg, kSynopsis, "unknown command '%.60s'", cmd);
    if (nargs != want)
        return CLI_UsageError(kProg, kSynopsis, "%s takes %s", cmd,
                              want == 2 ? "one FILE" : want == 1 ? "no operands" : "SN and PC");
    // The adapter would answer a value its identity file cannot keep with
    // its old identity: say why before anything is sent.
    for (int i = 1; want == 3 && i <= 2; i++) {
        std::string why = CLI_IdentityError(args[i], i == 1);
        if (!why.empty())
            return CLI_UsageError(kProg, kSynopsis, "set-info: %s", why.c_str());
    }
    // A package that cannot be sent is refused before the port is touched,
    // so the adapter never sees a frame of it.
    Package pkg;
    if (want == 2 && !openPackage(args[1], &pkg))
        return EXIT_FAIL;
    int fd = OpenPort(o.port);
    if (fd < 0)
        return EXIT_FAIL;
    if (want == 2)
        rc = cmdPush(fd, o, args[1], pkg);
    else if (want == 1)
        rc = cmdInfo(fd, o, "", "");
    else
        rc = cmdInfo(fd, o, args[1], args[2]);
    ClosePort(fd);
    if (pkg.fd >= 0)
        close(pkg.fd);
    return rc;
}
