// Package signature check. A key or signature file is read whole (at most
// 1 KB) and its base64 line decoded: "Ed", an 8-byte key number, then the
// 32-byte key or the 64-byte signature. Only keys whose number the
// signature names are handed to the verifier, one child process each,
// spawned without a shell ("-V -q -m PKG -x SIG -p KEY") with the
// adapter's standard streams and a bare environment. The child is
// watched in short polls of the cancel descriptor, so the adapter's end
// kills it at once, and a verifier that hangs is killed after 10 s.
// Nothing is kept between calls.
#include "link/verify.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/common.h"
#include "core/endpoints.h"
#include "core/log.h"

namespace {

constexpr size_t VERIFY_FILE_MAX = 1024;  // a key or signature file is ~150 bytes
constexpr size_t VERIFY_KEYNUM_LEN = 8;
constexpr size_t VERIFY_PUBKEY_LEN = 2 + VERIFY_KEYNUM_LEN + 32;
constexpr size_t VERIFY_SIG_LEN = 2 + VERIFY_KEYNUM_LEN + 64;
constexpr int64_t VERIFY_WAIT_MS = 10000;
constexpr int VERIFY_POLL_MS = 20;
const char VERIFY_COMMENT[] = "untrusted comment: ";

int verifyB64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// Decodes the base64 text [p, end) into out[size]. Its length, or -1 for
// anything but base64 (padding only at the end) or a result too long.
int32_t verifyB64Decode(const char *p, const char *end, uint8_t *out, size_t size)
{
    size_t n = 0;
    uint32_t acc = 0;
    int bits = 0;
    for (; p < end && *p != '='; p++) {
        int v = verifyB64Value(*p);
        if (v < 0)
            return -1;
        acc = (acc << 6) | (uint32_t)v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (n >= size)
                return -1;
            out[n++] = (uint8_t)(acc >> bits);
        }
    }
    while (p < end && *p == '=')
        p++;
    return p == end ? (int32_t)n : -1;
}

// Reads a key or signature file and decodes it into out[want]. nullptr, or
// why it is not such a file.
const char *verifyReadFile(const char *path, uint8_t *out, size_t want)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? "does not exist" : "cannot be opened";
    char text[VERIFY_FILE_MAX + 1];
    size_t len = 0;
    ssize_t n;
    while (len < sizeof text && (n = read(fd, text + len, sizeof text - len)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return "cannot be read";
        }
        len += (size_t)n;
    }
    close(fd);
    if (len > VERIFY_FILE_MAX)
        return "is longer than 1 KB";
    const char *end = text + len;
    const char *nl = (const char *)memchr(text, '\n', len);
    if (len < sizeof VERIFY_COMMENT - 1 || memcmp(text, VERIFY_COMMENT, sizeof VERIFY_COMMENT - 1) != 0 ||
        nl == nullptr)
        return "has no 'untrusted comment:' line";
    const char *b64 = nl + 1;
    while (end > b64 && (end[-1] == '\n' || end[-1] == '\r'))
        end--;
    if (verifyB64Decode(b64, end, out, want) != (int32_t)want || out[0] != 'E' || out[1] != 'd')
        return want == VERIFY_PUBKEY_LEN ? "is not an Ed25519 public key" : "is not an Ed25519 signature";
    return nullptr;
}

// Runs the verifier once for one key; its exit status decides.
VerifyResult verifyRun(const char *pkgPath, const char *sigPath, const char *keyPath, int cancelFd)
{
    const char *prog = EP_UsignPath();
    char *const argv[] = {const_cast<char *>(prog), const_cast<char *>("-V"), const_cast<char *>("-q"),
                          const_cast<char *>("-m"), const_cast<char *>(pkgPath), const_cast<char *>("-x"),
                          const_cast<char *>(sigPath), const_cast<char *>("-p"), const_cast<char *>(keyPath),
                          nullptr};
    char *const envp[] = {const_cast<char *>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"), nullptr};
    // The child shares the adapter's standard streams: quiet when it
    // accepts, its own reason on standard error (the details channel) when
    // it refuses.
    pid_t pid = -1;
    int rc = posix_spawn(&pid, prog, nullptr, nullptr, argv, envp);
    if (rc != 0) {
        LOG_Detail("[TCP]: cannot run %s: %s", prog, LOG_Reason(rc));
        return VERIFY_FAILED;
    }
    int64_t deadline = COMM_MonotonicMs() + VERIFY_WAIT_MS;
    for (;;) {
        int status = 0;
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? VERIFY_OK
                   : WIFEXITED(status) && WEXITSTATUS(status) != 127 ? VERIFY_BAD
                                                                        : VERIFY_FAILED;
        if (w < 0 && errno != EINTR)
            return VERIFY_FAILED;
        struct pollfd pfd = {cancelFd, POLLIN, 0};
        bool cancelled = cancelFd >= 0 && poll(&pfd, 1, VERIFY_POLL_MS) > 0;
        if (cancelFd < 0)
            usleep(VERIFY_POLL_MS * 1000);
        if (cancelled || COMM_MonotonicMs() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            if (!cancelled)
                LOG_Detail("[TCP]: %s took more than 10 s", prog);
            return cancelled ? VERIFY_CANCELLED : VERIFY_FAILED;
        }
    }
}

}  // namespace

const char *VERIFY_KeyFileError(const char *path)
{
    uint8_t key[VERIFY_PUBKEY_LEN];
    return verifyReadFile(path, key, sizeof key);
}

VerifyResult VERIFY_Package(const char *pkgPath, const char *sigPath, int cancelFd)
{
    uint8_t sig[VERIFY_SIG_LEN];
    if (verifyReadFile(sigPath, sig, sizeof sig) != nullptr)
        return VERIFY_MALFORMED;
    VerifyResult result = VERIFY_UNKNOWN_KEY;
    for (int32_t i = 0; i < EP_UpgradeKeyCount(); i++) {
        uint8_t key[VERIFY_PUBKEY_LEN];
        const char *keyPath = EP_UpgradeKey(i);
        // A key file that went missing since the start trusts nothing.
        if (verifyReadFile(keyPath, key, sizeof key) != nullptr || memcmp(key + 2, sig + 2, VERIFY_KEYNUM_LEN) != 0)
            continue;
        result = verifyRun(pkgPath, sigPath, keyPath, cancelFd);
        if (result == VERIFY_OK || result == VERIFY_CANCELLED)
            break;
    }
    return result;
}

const char *VERIFY_ResultText(VerifyResult r)
{
    switch (r) {
    case VERIFY_OK: return "ok";
    case VERIFY_MALFORMED: return "not a signature";
    case VERIFY_UNKNOWN_KEY: return "unknown key";
    case VERIFY_BAD: return "bad signature";
    case VERIFY_FAILED: return "verifier failed";
    case VERIFY_CANCELLED: return "cancelled";
    }
    return "failed";
}
