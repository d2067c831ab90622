// Shared record and start-up. Owns g_gbVar, the keep-alive queue set-up and
// the identity file. The identity pair is guarded by a private mutex held
// only while 20 bytes are copied, so readers never see half an update; the
// file is replaced through a temporary file so a power loss mid-write
// leaves either the old or the new identity, never an empty file, and a
// new identity is only written when the file will give back its exact bytes.
// The file is read as uci reads it (the serialNum and pairCode options of
// the first deviceInfo section; comments and other sections ignored), and
// an identity change replaces only those two values, keeping every other
// byte, under the same exclusive flock on the file that `uci commit` takes.
// A file without that section is read as plain text, as it always was.
#include "core/globals.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/common.h"
#include "core/endpoints.h"

GbVar g_gbVar;

namespace {

constexpr size_t GB_FILE_MAX = 4096;       // larger files are read in part, never rewritten
// Room for what a change adds: a section of its own and both values.
constexpr size_t GB_FILE_OUT_SIZE = GB_FILE_MAX + 128;
constexpr int GB_LOCK_TRIES = 5;
constexpr const char *GB_ALIVE_TEXT = "app-alive";
constexpr const char *GB_SECTION = "deviceInfo";
constexpr const char *GB_MASK = "***";   // the pairing code in every line

// Made before main(): the signal handler may write it at any moment and
// must never see it half made.
const int s_exitFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
const int s_roomFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

pthread_mutex_t s_infoMutex = PTHREAD_MUTEX_INITIALIZER;   // identity fields
pthread_mutex_t s_fileMutex = PTHREAD_MUTEX_INITIALIZER;   // one rewrite at a time
// The file as read, and as it is to be written; under s_fileMutex.
char s_fileText[GB_FILE_MAX + 1];
char s_fileOut[GB_FILE_OUT_SIZE];

// Copies src into a field of size n, cut to n-1 characters, zero-filled.
void gbCopyField(char *dst, size_t n, const char *src)
{
    size_t len = strnlen(src, n - 1);
    memset(dst, 0, n);
    memcpy(dst, src, len);
}

void gbSetDeviceInfo(const char *sn, const char *pc)
{
    pthread_mutex_lock(&s_infoMutex);
    gbCopyField(g_gbVar.serialNum, sizeof g_gbVar.serialNum, sn);
    gbCopyField(g_gbVar.pairCode, sizeof g_gbVar.pairCode, pc);
    pthread_mutex_unlock(&s_infoMutex);
}

void gbClear()
{
    g_gbVar.msgId = 0;
    memset(&g_gbVar.aliveMsg, 0, sizeof g_gbVar.aliveMsg);
    g_gbVar.events.store(0, std::memory_order_relaxed);
    // A cleared exit event must not leave the waits woken.
    uint64_t drain;
    if (s_exitFd >= 0 && read(s_exitFd, &drain, sizeof drain) < 0) {
        // Nothing to drain.
    }
    g_gbVar.tcpThd = g_gbVar.uartThd = g_gbVar.ledThd = (pthread_t)0;
    memset(&g_gbVar.sendMutex, 0, sizeof g_gbVar.sendMutex);
    gbSetDeviceInfo("", "");
}

int32_t gbInitMsg()
{
    g_gbVar.msgId = msgget((key_t)EP_MsgKey(), IPC_CREAT | 0666);
    if (g_gbVar.msgId == -1) {
        printf("fail in %s, line:%d\r\n", "gbInitMsg", 20);
        return -1;
    }
    g_gbVar.aliveMsg.mtype = 1;
    memcpy(g_gbVar.aliveMsg.mtext, GB_ALIVE_TEXT, strlen(GB_ALIVE_TEXT) + 1);
    return 0;
}

// Writes all of buf to fd, retrying short writes and EINTR.
int32_t gbWriteAll(int fd, const char *buf, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        buf += n;
        len -= (size_t)n;
    }
    return 0;
}

// Replaces path with text through the staging file tmp, which gets mode
// before any byte is in it. 0 done; 1 tmp not creatable; -1 write, flush or
// rename failed (old file still in place).
int32_t gbReplaceFile(const char *path, const char *tmp, const char *text, size_t len, mode_t mode)
{
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return 1;
    int32_t rc = fchmod(fd, mode) == 0 ? 0 : -1;
    if (rc == 0)
        rc = gbWriteAll(fd, text, len);
    if (rc == 0 && fsync(fd) != 0)
        rc = -1;
    if (close(fd) != 0)
        rc = -1;
    if (rc == 0 && rename(tmp, path) != 0)
        rc = -1;
    if (rc != 0) {
        unlink(tmp);
        return -1;
    }
    COMM_SyncDir(path);
    return 0;
}

// uci's quoting: when the value (the len bytes at v, blanks, tabs and '='
// before it and blanks and tabs after it aside) is wholly inside one kind of
// quotes, *inner points after the opening quote and the length between the
// quotes is returned. Otherwise *inner is left null: the value is read as
// it always was, so files written without quotes read as before.
size_t gbQuotedValue(const char *v, size_t len, const char **inner)
{
    size_t b = 0;
    while (b < len && (v[b] == ' ' || v[b] == '\t' || v[b] == '='))
        b++;
    while (len > b && (v[len - 1] == ' ' || v[len - 1] == '\t'))
        len--;
    if (len - b < 2 || (v[b] != '\'' && v[b] != '"') || v[len - 1] != v[b])
        return 0;
    *inner = v + b + 1;
    return len - b - 2;
}


bool gbBlank(char c)
{
    return c == ' ' || c == '\t';
}

// A word of a line: its bytes, quotes taken off.
struct GbWord {
    size_t off;
    size_t len;
    bool closed;   // not a quoted word that runs to the end of the line
};

// The next word of t before end, from *pos (moved past it); length 0 at
// the end of the line or at a comment.
GbWord gbNextWord(const char *t, size_t end, size_t *pos)
{
    size_t p = *pos;
    while (p < end && gbBlank(t[p]))
        p++;
    if (p >= end || t[p] == '#') {
        *pos = end;
        return GbWord{p, 0, true};
    }
    if (t[p] == '\'' || t[p] == '"') {
        const void *q = memchr(t + p + 1, t[p], end - p - 1);
        size_t close = q != nullptr ? (size_t)((const char *)q - t) : end;
        *pos = q != nullptr ? close + 1 : end;
        return GbWord{p + 1, close - p - 1, q != nullptr};
    }
    size_t b = p;
    while (p < end && !gbBlank(t[p]))
        p++;
    *pos = p;
    return GbWord{b, p - b, true};
}

bool gbWordIs(const char *t, const GbWord &w, const char *s)
{
    return w.len == strlen(s) && memcmp(t + w.off, s, w.len) == 0;
}

// Where an option's value stands: the bytes a change replaces, and how
// they read (as they are, or by the plain-text rule: blanks and '=' left
// out). lead/trail: a value written there needs a blank before/after it.
struct GbValue {
    bool found;
    bool plain;
    size_t off;
    size_t len;
    bool lead;
    bool trail;
};

// The value of an option line, from pos (right after its name) to end. One
// word or one quoted string, with at most a comment after it, reads as uci
// reads it; anything else reads as the plain-text reader always read it.
GbValue gbLocateValue(const char *t, size_t pos, size_t end)
{
    size_t b = pos;
    while (b < end && (gbBlank(t[b]) || t[b] == '='))
        b++;
    while (end > b && gbBlank(t[end - 1]))
        end--;
    if (b >= end || t[b] == '#')
        return GbValue{true, false, b, 0, b == pos, b < end};
    size_t p = b;
    GbWord w = gbNextWord(t, end, &p);
    while (p < end && gbBlank(t[p]))
        p++;
    if (w.closed && (p >= end || t[p] == '#'))
        return GbValue{true, false, w.off, w.len, false, false};
    const char *inner = nullptr;
    size_t innerLen = gbQuotedValue(t + b, end - b, &inner);
    if (inner != nullptr)
        return GbValue{true, false, (size_t)(inner - t), innerLen, false, false};
    return GbValue{true, true, b, end - b, false, false};
}

// The deviceInfo section (the first one) of a file: its two values, where
// a missing option goes (after its last line) and its line end.
struct GbDoc {
    bool section;
    bool crlf;
    size_t insertAt;
    GbValue sn;
    GbValue pc;
};

// Reads the n bytes of t line by line as uci does: comments and other
// sections ignored, the last line of an option wins.
void gbParse(const char *t, size_t n, GbDoc *doc)
{
    *doc = GbDoc{};
    bool inSection = false;
    for (size_t pos = 0; pos < n;) {
        const void *nl = memchr(t + pos, '\n', n - pos);
        size_t lineEnd = nl != nullptr ? (size_t)((const char *)nl - t) : n;
        size_t next = nl != nullptr ? lineEnd + 1 : n;
        size_t end = lineEnd > pos && t[lineEnd - 1] == '\r' ? lineEnd - 1 : lineEnd;
        size_t p = pos;
        GbWord kw = gbNextWord(t, end, &p);
        if (gbWordIs(t, kw, "config")) {
            GbWord type = gbNextWord(t, end, &p);
            inSection = !doc->section && gbWordIs(t, type, GB_SECTION);
            if (inSection) {
                doc->section = true;
                doc->crlf = end < lineEnd;
            }
        } else if (inSection && gbWordIs(t, kw, "option")) {
            GbWord name = gbNextWord(t, end, &p);
            GbValue *v = gbWordIs(t, name, "serialNum") ? &doc->sn : gbWordIs(t, name, "pairCode") ? &doc->pc : nullptr;
            if (v != nullptr)
                *v = gbLocateValue(t, p, end);
        }
        if (inSection && kw.len > 0)
            doc->insertAt = next;
        pos = next;
    }
}

// "[globals]: tag: ..." line; the pairing code never shows.
void gbPrintTag(const char *tag, const char *value)
{
    printf("[globals]: tag: %s, value: %s\r\n", tag, strcmp(tag, "pairCode") == 0 ? GB_MASK : value);
}

// Copies a located value into out[size], cut to the field; prints its line.
void gbTakeValue(const char *t, const GbValue &v, const char *tag, char *out, size_t size)
{
    if (!v.found)
        return;
    size_t n = 0;
    for (size_t i = 0; i < v.len && n + 1 < size; i++) {
        if (!v.plain || (t[v.off + i] != ' ' && t[v.off + i] != '='))
            out[n++] = t[v.off + i];
    }
    out[n] = '\0';
    gbPrintTag(tag, out);
}

// Both values from a file's text (NUL-terminated). A file without a
// deviceInfo section is read as plain text, as files always were.
void gbReadIdentity(const char *text, char *sn, char *pc)
{
    GbDoc doc;
    gbParse(text, strlen(text), &doc);
    if (!doc.section) {
        GB_GetTagValueStr(text, "serialNum", sn, GB_SERIALNUM_SIZE);
        GB_GetTagValueStr(text, "pairCode", pc, GB_PAIRCODE_SIZE);
        return;
    }
    gbTakeValue(text, doc.sn, "serialNum", sn, GB_SERIALNUM_SIZE);
    gbTakeValue(text, doc.pc, "pairCode", pc, GB_PAIRCODE_SIZE);
}

// flock, resumed after a signal; a file system without it counts as locked.
int gbLock(int fd, int op)
{
    int rc;
    do {
        rc = flock(fd, op);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 || errno == ENOSYS ? 0 : -1;
}

// Reads up to max bytes from fd: the count, or -1.
ssize_t gbReadAll(int fd, char *buf, size_t max)
{
    size_t got = 0;
    while (got < max) {
        ssize_t n = read(fd, buf + got, max - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += (size_t)n;
    }
    return (ssize_t)got;
}

// Opens path (made empty, 0600, when missing) under the exclusive lock that
// `uci commit` takes on it; a file that another writer replaced while this
// one waited is opened again. The descriptor, with *st; -1 when it cannot
// be opened or made; -2 when it is no regular file or cannot be locked.
int gbOpenLocked(const char *path, struct stat *st)
{
    for (int i = 0; i < GB_LOCK_TRIES; i++) {
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT)
            fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            return -1;
        struct stat now;
        if (gbLock(fd, LOCK_EX) != 0 || fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
            close(fd);
            return -2;
        }
        if (stat(path, &now) == 0 && now.st_ino == st->st_ino && now.st_dev == st->st_dev)
            return fd;
        close(fd);
    }
    return -2;
}

// The new file, built in s_fileOut.
struct GbOut {
    size_t len;
    bool ok;   // false once something did not fit
};

void gbPut(GbOut *o, const char *p, size_t n)
{
    if (!o->ok || n > GB_FILE_OUT_SIZE - o->len) {
        o->ok = false;
        return;
    }
    memcpy(s_fileOut + o->len, p, n);
    o->len += n;
}

void gbPutStr(GbOut *o, const char *s)
{
    gbPut(o, s, strlen(s));
}

// Writes the bytes of t from *at up to v and value in v's place.
void gbPutValue(GbOut *o, const char *t, size_t *at, const GbValue &v, const char *value)
{
    gbPut(o, t + *at, v.off - *at);
    if (v.lead)
        gbPutStr(o, " ");
    gbPutStr(o, value);
    if (v.trail)
        gbPutStr(o, " ");
    *at = v.off + v.len;
}

// Line end of a file without the section: the one its first line uses
// (CR LF, as the adapter writes, when it has none).
const char *gbFileEol(const char *t, size_t n)
{
    const void *nl = memchr(t, '\n', n);
    return nl != nullptr && (nl == t || ((const char *)nl)[-1] != '\r') ? "\n" : "\r\n";
}

// Builds in s_fileOut the n bytes of s_fileText with the two values
// replaced where the reader finds them; a missing option is added at the
// end of the section, a missing section at the end of the file. Every
// other byte stays. False when the result does not fit.
bool gbBuildFile(size_t n, const char *sn, const char *pc, size_t *outLen)
{
    const char *t = s_fileText;
    GbDoc doc;
    gbParse(t, n, &doc);
    const char *eol = doc.section ? (doc.crlf ? "\r\n" : "\n") : gbFileEol(t, n);
    GbOut o = {0, true};
    size_t at = 0;
    bool pcFirst = doc.pc.found && (!doc.sn.found || doc.pc.off < doc.sn.off);
    const GbValue *vals[2] = {pcFirst ? &doc.pc : &doc.sn, pcFirst ? &doc.sn : &doc.pc};
    const char *texts[2] = {pcFirst ? pc : sn, pcFirst ? sn : pc};
    for (int i = 0; i < 2; i++) {
        if (vals[i]->found)
            gbPutValue(&o, t, &at, *vals[i], texts[i]);
    }
    size_t ins = doc.section ? doc.insertAt : n;
    gbPut(&o, t + at, ins - at);
    if (!doc.section || !doc.sn.found || !doc.pc.found) {
        if (ins > 0 && t[ins - 1] != '\n')
            gbPutStr(&o, eol);
        const char *adds[][3] = {{"config ", GB_SECTION, ""}, {"\toption serialNum ", sn, ""},
                                 {"\toption pairCode ", pc, ""}};
        bool need[] = {!doc.section, !doc.sn.found, !doc.pc.found};
        for (int i = 0; i < 3; i++) {
            if (!need[i])
                continue;
            gbPutStr(&o, adds[i][0]);
            gbPutStr(&o, adds[i][1]);
            gbPutStr(&o, eol);
        }
    }
    gbPut(&o, t + ins, n - ins);
    *outLen = o.len;
    return o.ok;
}

// Rewrites the identity file with the two values (s_fileMutex held): read
// and written under the file's lock, with its permissions. 0 done; 1 the
// file or its staging file cannot be made; 2 the file is over the bound;
// -1 it cannot be read, locked, written or replaced (old file kept).
int32_t gbRewrite(const char *sn, const char *pc)
{
    const char *path = EP_Path(EP_PATH_DEVINFO);
    struct stat st;
    int fd = gbOpenLocked(path, &st);
    if (fd < 0)
        return fd == -1 ? 1 : -1;
    ssize_t n = gbReadAll(fd, s_fileText, GB_FILE_MAX + 1);
    size_t outLen = 0;
    int32_t rc = -1;
    if (n > (ssize_t)GB_FILE_MAX)
        rc = 2;
    // A NUL ends what the reader sees: the file is not the adapter's to rewrite.
    else if (n >= 0 && memchr(s_fileText, '\0', (size_t)n) == nullptr && gbBuildFile((size_t)n, sn, pc, &outLen))
        rc = gbReplaceFile(path, EP_Path(EP_PATH_DEVINFO_TMP), s_fileOut, outLen, st.st_mode & 07777);
    // Kept until the new file is in place.
    close(fd);
    return rc;
}

}  // namespace

int GB_ExitFd() { return s_exitFd; }

int GB_RoomFd() { return s_roomFd; }

void gbWakeExit()
{
    uint64_t one = 1;
    int saved = errno;
    // Never blocks (non-blocking, and the counter cannot fill up in practice).
    if (s_exitFd >= 0 && write(s_exitFd, &one, sizeof one) < 0) {
        // Already readable; nothing else to do.
    }
    errno = saved;
}

int32_t GB_GetTagValueStr(const char *text, const char *tag, char *value, size_t valueSize)
{
    const char *p = strstr(text, tag);
    if (p == nullptr || valueSize == 0)
        return 0;
    p += strlen(tag);
    size_t end = strcspn(p, "\r\n");
    const char *inner = nullptr;
    size_t innerLen = gbQuotedValue(p, end, &inner);
    size_t n = 0;
    if (inner != nullptr) {
        n = innerLen < valueSize - 1 ? innerLen : valueSize - 1;   // a longer value is cut to the field
        memcpy(value, inner, n);
    } else {
        for (size_t i = 0; i < end; i++) {
            if (p[i] == ' ' || p[i] == '=')
                continue;
            if (n + 1 < valueSize)
                value[n++] = p[i];
        }
    }
    value[n] = '\0';
    gbPrintTag(tag, value);
    return n > 0 ? 1 : 0;
}

int32_t gbInitDeviceInfo()
{
    const char *path = EP_Path(EP_PATH_DEVINFO);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        puts("[globals]:gbReadAdapterInfo open error\r");
        return 1;
    }
    char sn[GB_SERIALNUM_SIZE] = {0};
    char pc[GB_PAIRCODE_SIZE] = {0};
    pthread_mutex_lock(&s_fileMutex);
    // Shared, as uci's readers take it: a commit under way is waited for.
    gbLock(fd, LOCK_SH);
    ssize_t got = gbReadAll(fd, s_fileText, GB_FILE_MAX);
    close(fd);
    s_fileText[got > 0 ? got : 0] = '\0';
    gbReadIdentity(s_fileText, sn, pc);
    pthread_mutex_unlock(&s_fileMutex);
    gbSetDeviceInfo(sn, pc);
    // A device may still provision it over the serial port.
    if (sn[0] == '\0')
        printf("[globals]: no serialNum in %s, starting without a serial number\r\n", path);
    return 0;
}

int32_t GB_Init()
{
    printf("[globals]: verCode:%d, verName:%s\r\n", GB_VER_CODE, GB_VER_NAME);
    gbClear();
    int32_t rc = gbInitMsg();
    if (rc != 0) {
        printf("error(0x%x) in %s, line:%d\r\n", (unsigned)rc, "GB_Init", 65);
        return rc;
    }
    // A rewrite that the end of an earlier run cut short left only its
    // staging file; the identity itself is whole, old or new.
    unlink(EP_Path(EP_PATH_DEVINFO_TMP));
    rc = gbInitDeviceInfo();
    if (rc != 0) {
        printf("error(0x%x) in %s, line:%d\r\n", (unsigned)rc, "GB_Init", 66);
        return rc;
    }
    g_gbVar.ledThd = GB_THREAD_NONE;
    g_gbVar.tcpThd = GB_THREAD_NONE;
    g_gbVar.uartThd = GB_THREAD_NONE;
    pthread_mutex_init(&g_gbVar.sendMutex, nullptr);
    return 0;
}

int32_t GB_ModifyDeviceInfo(const char *serialNum, const char *pairCode)
{
    // A value the file would read back differently (a blank, a line break,
    // a quote...) would be answered as stored and then come back as another
    // identity, or as an extra line, at the next start; one longer than its
    // field would be stored cut, another identity than the one answered OK.
    const char *why = GB_DeviceInfoError(serialNum, true);
    const char *field = "serialNum";
    if (why == nullptr) {
        why = GB_DeviceInfoError(pairCode, false);
        field = "pairCode";
    }
    char sn[GB_SERIALNUM_SIZE];
    char pc[GB_PAIRCODE_SIZE];
    gbCopyField(sn, sizeof sn, serialNum);
    gbCopyField(pc, sizeof pc, pairCode);
    if (why != nullptr) {
        printf("[globals]:GB_ModifyDeviceInfo value error, %s %s\r\n", field, why);
        return 1;
    }
    pthread_mutex_lock(&s_fileMutex);
    int32_t rc = gbRewrite(sn, pc);
    if (rc == 0)
        gbSetDeviceInfo(sn, pc);
    pthread_mutex_unlock(&s_fileMutex);

    if (rc == 1) {
        puts("[globals]:GB_ModifyDeviceInfo open error\r");
        return 1;
    }
    if (rc == 2) {
        // Cutting it to the bound would lose the maker's bytes behind it.
        printf("[globals]:GB_ModifyDeviceInfo refused, the file is larger than %u bytes\r\n", (unsigned)GB_FILE_MAX);
        return 1;
    }
    if (rc != 0) {
        // Reporting success here would make the caller end the adapter
        // believing an identity was stored that the next start never sees.
        puts("[globals]:GB_ModifyDeviceInfo write error\r");
        return 1;
    }
    GB_GetDeviceInfo(sn, pc);
    printf("[globals]:GB_ModifyDeviceInfo new sn: %s, pw: %s\r\n", sn, GB_MASK);
    return 0;
}

const char *GB_DeviceInfoError(const char *value, bool isSerialNum)
{
    size_t len = strlen(value);
    if (isSerialNum && len == 0)
        return "is empty";
    if (len > (isSerialNum ? GB_SERIALNUM_SIZE : GB_PAIRCODE_SIZE) - 1)
        return isSerialNum ? "is longer than 11 bytes" : "is longer than 7 bytes";
    for (const unsigned char *p = (const unsigned char *)value; *p != '\0'; p++) {
        if (*p == ' ')
            return "holds a blank";
        if (*p < 0x20 || *p == 0x7F)
            return "holds a control character";
        if (strchr("='\"\\#;", *p) != nullptr)
            return "holds one of = ' \" \\ # ;";
    }
    if (isSerialNum && strstr(value, "pairCode") != nullptr)
        return "holds \"pairCode\"";
    return nullptr;
}

void GB_GetDeviceInfo(char serialNum[GB_SERIALNUM_SIZE], char pairCode[GB_PAIRCODE_SIZE])
{
    pthread_mutex_lock(&s_infoMutex);
    memcpy(serialNum, g_gbVar.serialNum, GB_SERIALNUM_SIZE);
    memcpy(pairCode, g_gbVar.pairCode, GB_PAIRCODE_SIZE);
    pthread_mutex_unlock(&s_infoMutex);
}
