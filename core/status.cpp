// State file. Owns the status record (under s_mutex, updated by the hooks
// from any thread), the wake descriptor and the file itself, which only the
// main thread writes: a temporary file beside it, renamed over it, without
// fsync (the RAM disk has no flash behind it). Counters are 64-bit and
// change only under the mutex, so no 64-bit atomics are needed; they are
// printed with COMM_FormatU64. Every string goes out as valid JSON whatever
// its bytes: quotes, backslashes and control bytes escaped, bytes that are
// not well-formed UTF-8 replaced by U+FFFD.
#include "core/status.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/common.h"
#include "core/endpoints.h"
#include "core/globals.h"
#include "link/message.h"
#include "link/tcpThread.h"
#include "link/tls.h"

namespace {

// Moving counters are written at most this often.
constexpr uint32_t STATUS_COUNTER_GAP_S = 10;
// And anything at all, state changes and SIGUSR1 too, at most this often:
// a server or a signal storm that flaps the state costs one write a second.
constexpr int64_t STATUS_WRITE_GAP_MS = 1000;
constexpr size_t STATUS_ERROR_SIZE = 160;
constexpr size_t STATUS_WORD_SIZE = 16;
constexpr size_t STATUS_TARGET_SIZE = 64;
constexpr size_t STATUS_PATH_SIZE = 256;
constexpr size_t STATUS_OUT_SIZE = 512;
constexpr size_t STATUS_DIR_SIZE = 512;
constexpr size_t STATUS_SERVER_SIZE = EP_HOST_MAX_LEN + 9;  // "[host]:65535"
constexpr size_t STATUS_ADDRESS_SIZE = 56;

enum StatusState : int32_t { STATUS_DOWN = 0, STATUS_CONNECTED, STATUS_ONLINE, STATUS_STOPPED };
const char *const s_stateNames[] = {"disconnected", "connected", "online", "stopped"};
const char *const s_serialNames[] = {"closed", "open", "missing", "error"};

struct StatusRecord {
    int32_t state;
    uint32_t since;  // wall-clock second of the last change
    uint64_t connects, logins, bytesUp, bytesDown, msgsUp, msgsDown;
    uint32_t held;
    int32_t baud, dataBits, stopBits;
    char parity;
    int32_t serialState;  // a STATUS_SERIAL_* value
    uint32_t serialSince; // wall-clock second it was entered
    char error[STATUS_ERROR_SIZE];    // "" when nothing has failed
    char reqType[STATUS_WORD_SIZE];   // "" when no request came
    char reqTarget[STATUS_TARGET_SIZE];
    char reqPath[STATUS_PATH_SIZE];   // "" when the request names none
    char reqResult[STATUS_WORD_SIZE];
    uint32_t reqTime;
    char server[STATUS_SERVER_SIZE];    // "": the first server, as set
    char address[STATUS_ADDRESS_SIZE];  // "" while no connection is up
    // The live TLS session ("" while none is up; only with --tls).
    char tlsVersion[STATUS_WORD_SIZE], tlsSuite[STATUS_TARGET_SIZE];
    char tlsSubject[STATUS_PATH_SIZE], tlsNotAfter[STATUS_WORD_SIZE + 4];
};

pthread_mutex_t s_mutex = PTHREAD_MUTEX_INITIALIZER;
// Zero-filled, so it takes no room in the daemon's file; STATUS_Init puts
// the port's default settings in until the serial thread opens it.
StatusRecord s_rec;
bool s_dirty = false;  // under s_mutex: the file is behind the record

// Made before main() runs: hooks may fire before STATUS_Init.
const int s_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
std::atomic<bool> s_dumpAsked{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// Main thread only.
uint32_t s_startS = 0;
uint32_t s_lastWriteS = 0;
int64_t s_lastWriteMs = 0;
bool s_written = false;     // s_lastWriteMs is set
bool s_urgent = false;      // a write due at once was put off by the gap
bool s_dumpPending = false; // ... and it owes the summary line
bool s_writeFailed = false;
int32_t s_pid = 0;

uint32_t statusMonoS()
{
    struct timespec ts = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)ts.tv_sec;
}

void statusPoke()
{
    uint64_t one = 1;
    if (s_wakeFd >= 0 && write(s_wakeFd, &one, sizeof one) < 0) {
        // Already readable.
    }
}

// Copies src into dst[size], cut to fit.
void statusCopy(char *dst, size_t size, const char *src)
{
    snprintf(dst, size, "%s", src != nullptr ? src : "");
}

// ---------------------------------------------------------------------------
// JSON output through a small buffer

struct StatusOut {
    int fd;
    size_t len;
    bool failed;
    char buf[STATUS_OUT_SIZE];
};

void outFlush(StatusOut &o)
{
    size_t off = 0;
    while (!o.failed && off < o.len) {
        ssize_t n = write(o.fd, o.buf + off, o.len - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            o.failed = true;
        else
            off += (size_t)n;
    }
    o.len = 0;
}

void outRaw(StatusOut &o, const char *s, size_t n)
{
    while (n > 0) {
        if (o.len == sizeof o.buf)
            outFlush(o);
        size_t room = sizeof o.buf - o.len;
        size_t k = n < room ? n : room;
        memcpy(o.buf + o.len, s, k);
        o.len += k;
        s += k;
        n -= k;
    }
}

void outText(StatusOut &o, const char *s) { outRaw(o, s, strlen(s)); }

void outU64(StatusOut &o, uint64_t v)
{
    char digits[COMM_U64_CHARS];
    outRaw(o, digits, (size_t)COMM_FormatU64(v, digits));
}

// Length of the well-formed UTF-8 sequence of two to four bytes at s (n
// bytes there), or 0.
size_t statusUtf8Len(const uint8_t *s, size_t n)
{
    static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    size_t len = s[0] >= 0xF0 && s[0] <= 0xF4 ? 4 : s[0] >= 0xE0 ? 3 : s[0] >= 0xC2 && s[0] < 0xE0 ? 2 : 0;
    if (len == 0 || s[0] > 0xF4 || n < len)
        return 0;
    uint32_t cp = s[0] & (0x7Fu >> len);
    for (size_t i = 1; i < len; i++) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (s[i] & 0x3Fu);
    }
    if (cp < kLeast[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

// s's bytes as the inside of a JSON string.
void outEscaped(StatusOut &o, const char *str)
{
    const uint8_t *s = (const uint8_t *)str;
    size_t n = strlen(str);
    for (size_t i = 0; i < n;) {
        uint8_t c = s[i];
        char esc[8];
        if (c == '"' || c == '\\') {
            esc[0] = '\\';
            esc[1] = (char)c;
            outRaw(o, esc, 2);
        } else if (c < 0x20 || c == 0x7F) {
            snprintf(esc, sizeof esc, "\\u%04x", c);
            outRaw(o, esc, 6);
        } else if (c >= 0x80) {
            size_t k = statusUtf8Len(s + i, n - i);
            if (k == 0)
                outText(o, "\\ufffd");
            else
                outRaw(o, str + i, k);
            i += k > 0 ? k : 1;
            continue;
        } else {
            outRaw(o, str + i, 1);
        }
        i++;
    }
}

// A JSON string, or null for an empty one.
void outString(StatusOut &o, const char *s)
{
    if (s[0] == '\0') {
        outText(o, "null");
        return;
    }
    outText(o, "\"");
    outEscaped(o, s);
    outText(o, "\"");
}

void outKeyU64(StatusOut &o, const char *key, uint64_t v)
{
    outText(o, key);
    outU64(o, v);
    outText(o, ",\n");
}

const char *statusParityName(char p)
{
    return p == 'N' ? "none" : p == 'O' ? "odd" : p == 'E' ? "even" : p == 'S' ? "space" : "?";
}

void statusJsonRequest(StatusOut &o, const StatusRecord &r)
{
    if (r.reqType[0] == '\0') {
        outText(o, "null");
        return;
    }
    outText(o, "{\"type\": ");
    outString(o, r.reqType);
    outText(o, ", \"target\": ");
    outString(o, r.reqTarget);
    outText(o, ", \"path\": ");
    outString(o, r.reqPath);
    outText(o, ", \"result\": ");
    outString(o, r.reqResult);
    outText(o, ", \"time\": ");
    outU64(o, r.reqTime);
    outText(o, "}");
}

// "tls": whether it is on and, when it is, the live session's keys.
void statusJsonTls(StatusOut &o, const StatusRecord &r)
{
    if (!TLS_On()) {
        outText(o, "  \"tls\": false,\n");
        return;
    }
    const char *const keys[] = {"  \"tls\": true,\n  \"tls_version\": ", ",\n  \"tls_cipher\": ",
                                ",\n  \"tls_subject\": ", ",\n  \"tls_not_after\": "};
    const char *const values[] = {r.tlsVersion, r.tlsSuite, r.tlsSubject, r.tlsNotAfter};
    for (size_t i = 0; i < 4; i++) {
        outText(o, keys[i]);
        outString(o, values[i]);
    }
    outText(o, ",\n");
}

void statusJson(StatusOut &o, const StatusRecord &r, uint32_t uptimeS)
{
    outText(o, "{\n  \"state\": \"");
    outText(o, s_stateNames[r.state]);
    outText(o, "\",\n");
    outKeyU64(o, "  \"since\": ", r.since);
    outKeyU64(o, "  \"uptime\": ", uptimeS);
    outText(o, "  \"server\": \"");
    if (r.server[0] != '\0') {
        outEscaped(o, r.server);
    } else {
        outEscaped(o, EP_ServerHost());
        outText(o, ":");
        outU64(o, EP_ServerPort());
    }
    outText(o, "\",\n  \"address\": \"");
    outEscaped(o, r.address);
    outText(o, "\",\n");
    statusJsonTls(o, r);
    outKeyU64(o, "  \"connects\": ", r.connects);
    outKeyU64(o, "  \"logins\": ", r.logins);
    outKeyU64(o, "  \"bytes_up\": ", r.bytesUp);
    outKeyU64(o, "  \"bytes_down\": ", r.bytesDown);
    outKeyU64(o, "  \"msgs_up\": ", r.msgsUp);
    outKeyU64(o, "  \"msgs_down\": ", r.msgsDown);
    outKeyU64(o, "  \"framing_faults\": ", TCP_FramingFaults());
    outKeyU64(o, "  \"given_up_msgs\": ", TCP_GivenUp());
    outKeyU64(o, "  \"held_bytes\": ", r.held);
    char serial[128];
    snprintf(serial, sizeof serial,
             "  \"serial\": {\"baud\": %d, \"databits\": %d, \"parity\": \"%s\", \"stopbits\": %d, \"state\": \"%s\", "
             "\"since\": ",
             (int)r.baud, (int)r.dataBits, statusParityName(r.parity), (int)r.stopBits, s_serialNames[r.serialState]);
    outText(o, serial);
    outU64(o, r.serialSince);
    outText(o, "},\n  \"last_error\": ");
    outString(o, r.error);
    outText(o, ",\n  \"last_request\": ");
    statusJsonRequest(o, r);
    outText(o, ",\n  \"version\": \"");
    outText(o, GB_VER_NAME);
    outText(o, "\",\n");
    outText(o, "  \"pid\": ");
    outU64(o, (uint64_t)s_pid);
    outText(o, "\n}\n");
}

// ---------------------------------------------------------------------------
// The file (main thread)

// Makes every missing folder above the file. 0 when the last one exists.
int32_t statusMakeFolder()
{
    char dir[STATUS_DIR_SIZE];
    statusCopy(dir, sizeof dir, EP_Path(EP_PATH_STATUS));
    char *last = strrchr(dir, '/');
    if (last == nullptr || last == dir)
        return 0;
    *last = '\0';
    for (char *p = dir + 1;; p++) {
        if (*p != '/' && *p != '\0')
            continue;
        char keep = *p;
        *p = '\0';
        int rc = mkdir(dir, 0755);
        *p = keep;
        if (rc != 0 && errno != EEXIST)
            return -1;
        if (keep == '\0')
            return 0;
    }
}

// Writes r to the temporary file and renames it over the file. 0, or the
// errno of the step that failed (the temporary file then removed).
int statusWriteFile(const StatusRecord &r, uint32_t uptimeS)
{
    const char *tmp = EP_Path(EP_PATH_STATUS_TMP);
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT && statusMakeFolder() == 0)
        fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    StatusOut o;
    o.fd = fd;
    o.len = 0;
    o.failed = false;
    statusJson(o, r, uptimeS);
    outFlush(o);
    int err = o.failed ? (errno != 0 ? errno : EIO) : 0;
    if (close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && rename(tmp, EP_Path(EP_PATH_STATUS)) != 0)
        err = errno;
    if (err != 0)
        unlink(tmp);
    return err;
}

// Writes the file; a failure is logged once until a write succeeds again,
// and leaves the record due.
void statusWrite(const StatusRecord &r, uint32_t nowS)
{
    s_lastWriteS = nowS;
    s_lastWriteMs = COMM_MonotonicMs();
    s_written = true;
    int err = statusWriteFile(r, nowS - s_startS);
    if (err == 0) {
        s_writeFailed = false;
        return;
    }
    if (!s_writeFailed)
        printf("[STATUS]:cannot write %s: %s\r\n", EP_Path(EP_PATH_STATUS), strerror(err));
    s_writeFailed = true;
    pthread_mutex_lock(&s_mutex);
    s_dirty = true;
    pthread_mutex_unlock(&s_mutex);
}

void statusLogSummary(const StatusRecord &r, uint32_t uptimeS)
{
    char c[6][COMM_U64_CHARS];
    const uint64_t v[6] = {r.connects, r.logins, r.bytesUp, r.bytesDown, r.msgsUp, r.msgsDown};
    for (int i = 0; i < 6; i++)
        COMM_FormatU64(v[i], c[i]);
    char server[STATUS_SERVER_SIZE];
    if (r.server[0] != '\0')
        statusCopy(server, sizeof server, r.server);
    else
        snprintf(server, sizeof server, "%s:%u", EP_ServerHost(), (unsigned)EP_ServerPort());
    printf("[STATUS]:%s since %u, uptime %u s, server %s, connects %s, logins %s, bytes up %s down %s, "
           "msgs up %s down %s, held %u\r\n",
           s_stateNames[r.state], (unsigned)r.since, (unsigned)uptimeS, server, c[0], c[1], c[2], c[3], c[4], c[5],
           (unsigned)r.held);
}

// Sets the record's state; true when it changed. Mutex held.
bool statusSetState(int32_t state)
{
    if (s_rec.state == state)
        return false;
    if (state == STATUS_CONNECTED && s_rec.state == STATUS_DOWN)
        s_rec.connects++;
    if (state == STATUS_ONLINE)
        s_rec.logins++;
    s_rec.state = state;
    s_rec.since = COMM_GetSystemS();
    s_dirty = true;
    return true;
}

}  // namespace

void STATUS_Init()
{
    s_pid = (int32_t)getpid();
    s_startS = statusMonoS();
    pthread_mutex_lock(&s_mutex);
    s_rec.since = COMM_GetSystemS();
    if (s_rec.serialSince == 0)
        s_rec.serialSince = s_rec.since;
    if (s_rec.baud == 0) {
        s_rec.baud = 115200;
        s_rec.dataBits = 8;
        s_rec.parity = 'N';
        s_rec.stopBits = 1;
    }
    StatusRecord snap = s_rec;
    s_dirty = false;
    pthread_mutex_unlock(&s_mutex);
    statusMakeFolder();
    statusWrite(snap, s_startS);
}

int STATUS_WakeFd() { return s_wakeFd; }

int32_t STATUS_Service(bool woken)
{
    if (woken && s_wakeFd >= 0) {
        uint64_t n;
        if (read(s_wakeFd, &n, sizeof n) < 0) {
            // Nothing to clear.
        }
    }
    bool dump = s_dumpAsked.exchange(false, std::memory_order_acq_rel) || s_dumpPending;
    uint32_t now = statusMonoS();
    int64_t gapLeft = s_written ? s_lastWriteMs + STATUS_WRITE_GAP_MS - COMM_MonotonicMs() : 0;
    pthread_mutex_lock(&s_mutex);
    bool urgent = dump || (s_dirty && (woken || s_urgent));
    if (urgent && gapLeft > 0) {
        s_urgent = true;
        s_dumpPending = dump;
        pthread_mutex_unlock(&s_mutex);
        return (int32_t)gapLeft;
    }
    bool due = urgent || (s_dirty && now - s_lastWriteS >= STATUS_COUNTER_GAP_S);
    StatusRecord snap;
    if (due) {
        snap = s_rec;
        s_dirty = false;
    }
    pthread_mutex_unlock(&s_mutex);
    s_urgent = false;
    s_dumpPending = false;
    if (!due)
        return -1;
    statusWrite(snap, now);
    if (dump)
        statusLogSummary(snap, now - s_startS);
    return -1;
}

void STATUS_AskDump()
{
    s_dumpAsked.store(true, std::memory_order_release);
    statusPoke();
}

void STATUS_Stopped()
{
    pthread_mutex_lock(&s_mutex);
    statusSetState(STATUS_STOPPED);
    StatusRecord snap = s_rec;
    s_dirty = false;
    pthread_mutex_unlock(&s_mutex);
    statusWrite(snap, statusMonoS());
}

void STATUS_Link(int32_t tcpState)
{
    int32_t state = tcpState == TCP_STATE_DISCONNECTED ? STATUS_DOWN
                    : tcpState == TCP_STATE_ONLINE     ? STATUS_ONLINE
                                                       : STATUS_CONNECTED;
    pthread_mutex_lock(&s_mutex);
    bool changed = s_rec.state != STATUS_STOPPED && statusSetState(state);
    pthread_mutex_unlock(&s_mutex);
    if (changed)
        statusPoke();
}

void STATUS_Tls(const char *version, const char *suite, const char *subject, const char *notAfter)
{
    pthread_mutex_lock(&s_mutex);
    statusCopy(s_rec.tlsVersion, sizeof s_rec.tlsVersion, version);
    statusCopy(s_rec.tlsSuite, sizeof s_rec.tlsSuite, suite);
    statusCopy(s_rec.tlsSubject, sizeof s_rec.tlsSubject, subject);
    statusCopy(s_rec.tlsNotAfter, sizeof s_rec.tlsNotAfter, notAfter);
    s_dirty = true;
    pthread_mutex_unlock(&s_mutex);
}

void STATUS_Server(const char *server, const char *address)
{
    pthread_mutex_lock(&s_mutex);
    bool changed = strcmp(s_rec.server, server) != 0 || strcmp(s_rec.address, address) != 0;
    statusCopy(s_rec.server, sizeof s_rec.server, server);
    statusCopy(s_rec.address, sizeof s_rec.address, address);
    s_dirty = s_dirty || changed;
    pthread_mutex_unlock(&s_mutex);
}

void STATUS_Error(int err, const char *fmt, ...)
{
    char text[STATUS_ERROR_SIZE];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    pthread_mutex_lock(&s_mutex);
    // strerror under the mutex: it may share a buffer between callers.
    if (err != 0 && (size_t)n < sizeof text)
        snprintf(text + n, sizeof text - (size_t)n, ": %s", strerror(err));
    if (strcmp(text, s_rec.error) != 0) {
        memcpy(s_rec.error, text, sizeof text);
        s_dirty = true;
    }
    pthread_mutex_unlock(&s_mutex);
}

void STATUS_Sent(const uint8_t *msg, int32_t len, int32_t sent)
{
    if (msg == nullptr || len < MSG_DATA_HEAD_LEN || sent != len || msg[MSG_OFF_CMD] != MSG_CMD_UART_DATA)
        return;
    pthread_mutex_lock(&s_mutex);
    s_rec.bytesUp += (uint32_t)(len - MSG_DATA_HEAD_LEN);
    s_rec.msgsUp++;
    s_dirty = true;
    pthread_mutex_unlock(&s_mutex);
}

void STATUS_Received(int32_t dataLen)
{
    pthread_mutex_lock(&s_mutex);
    s_rec.bytesDown += (uint32_t)(dataLen > 0 ? dataLen : 0);
    s_rec.msgsDown++;
    s_dirty = true;
    pthread_mutex_unlock(&s_mutex);
}

void STATUS_Held(uint32_t bytes)
{
    pthread_mutex_lock(&s_mutex);
    if (s_rec.held != bytes) {
        s_rec.held = bytes;
        s_dirty = true;
    }
    pthread_mutex_unlock(&s_mutex);
}

void STATUS_Serial(int32_t baud, int32_t dataBits, char parity, int32_t stopBits)
{
    pthread_mutex_lock(&s_mutex);
    if (s_rec.baud != baud || s_rec.dataBits != dataBits || s_rec.parity != parity || s_rec.stopBits != stopBits) {
        s_rec.baud = baud;
        s_rec.dataBits = dataBits;
        s_rec.parity = parity;
        s_rec.stopBits = stopBits;
        s_dirty = true;
    }
    pthread_mutex_unlock(&s_mutex);
}

void STATUS_SerialState(int32_t state)
{
    if (state < STATUS_SERIAL_CLOSED || state > STATUS_SERIAL_ERROR)
        return;
    pthread_mutex_lock(&s_mutex);
    bool changed = s_rec.serialState != state;
    if (changed) {
        s_rec.serialState = state;
        s_rec.serialSince = COMM_GetSystemS();
        s_dirty = true;
    }
    pthread_mutex_unlock(&s_mutex);
    if (changed)
        statusPoke();
}

void STATUS_Request(const char *type, const char *target, const char *path, const char *result)
{
    pthread_mutex_lock(&s_mutex);
    statusCopy(s_rec.reqType, sizeof s_rec.reqType, type);
    statusCopy(s_rec.reqTarget, sizeof s_rec.reqTarget, target);
    statusCopy(s_rec.reqPath, sizeof s_rec.reqPath, path);
    statusCopy(s_rec.reqResult, sizeof s_rec.reqResult, result);
    s_rec.reqTime = COMM_GetSystemS();
    s_dirty = true;
    pthread_mutex_unlock(&s_mutex);
    statusPoke();
}

void STATUS_RequestResult(const char *result)
{
    pthread_mutex_lock(&s_mutex);
    statusCopy(s_rec.reqResult, sizeof s_rec.reqResult, result);
    s_rec.reqTime = COMM_GetSystemS();
    s_dirty = true;
    pthread_mutex_unlock(&s_mutex);
    statusPoke();
}
