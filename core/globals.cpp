// Shared record and start-up. Owns g_gbVar, the keep-alive queue set-up and
// the identity file. The identity pair is guarded by a private mutex held
// only while 20 bytes are copied, so readers never see half an update; the
// file is replaced through a temporary file so a power loss mid-write
// leaves either the old or the new identity, never an empty file, and a
// new identity is only written when the file will give back its exact bytes.
#include "core/globals.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include "core/common.h"
#include "core/endpoints.h"

GbVar g_gbVar;

namespace {

constexpr size_t GB_FILE_READ_MAX = 199;   // only the head of the file counts
constexpr size_t GB_FILE_TEXT_SIZE = 400;
constexpr const char *GB_ALIVE_TEXT = "app-alive";
constexpr const char *GB_FILE_TEMPLATE = "config deviceInfo\r\n\toption serialNum %s\r\n\toption pairCode %s\r\n";

// Made before main(): the signal handler may write it at any moment and
// must never see it half made.
const int s_exitFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
const int s_roomFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

pthread_mutex_t s_infoMutex = PTHREAD_MUTEX_INITIALIZER;   // identity fields
pthread_mutex_t s_fileMutex = PTHREAD_MUTEX_INITIALIZER;   // one rewrite at a time

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

// Replaces path with text through the staging file tmp. 0 done; 1 tmp not
// creatable; -1 write, flush or rename failed (old file still in place).
int32_t gbReplaceFile(const char *path, const char *tmp, const char *text, size_t len)
{
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return 1;
    int32_t rc = gbWriteAll(fd, text, len);
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
    printf("[globals]: tag: %s, value: %s\r\n", tag, value);
    return n > 0 ? 1 : 0;
}

int32_t gbInitDeviceInfo()
{
    char text[GB_FILE_READ_MAX + 1] = {0};
    FILE *fp = fopen(EP_Path(EP_PATH_DEVINFO), "r");
    if (fp == nullptr) {
        puts("[globals]:gbReadAdapterInfo open error\r");
        return 1;
    }
    long len = -1;
    if (fseek(fp, 0, SEEK_END) == 0)
        len = ftell(fp);
    fseek(fp, 0, SEEK_SET);
    if (len < 0 || len > (long)GB_FILE_READ_MAX)
        len = (long)GB_FILE_READ_MAX;
    size_t got = fread(text, 1, (size_t)len, fp);
    fclose(fp);
    text[got] = '\0';

    char sn[GB_SERIALNUM_SIZE] = {0};
    char pc[GB_PAIRCODE_SIZE] = {0};
    GB_GetTagValueStr(text, "serialNum", sn, sizeof sn);
    GB_GetTagValueStr(text, "pairCode", pc, sizeof pc);
    gbSetDeviceInfo(sn, pc);
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
    char text[GB_FILE_TEXT_SIZE] = {0};
    int len = snprintf(text, sizeof text, GB_FILE_TEMPLATE, sn, pc);

    pthread_mutex_lock(&s_fileMutex);
    int32_t rc = gbReplaceFile(EP_Path(EP_PATH_DEVINFO), EP_Path(EP_PATH_DEVINFO_TMP), text, (size_t)len);
    if (rc == 0)
        gbSetDeviceInfo(sn, pc);
    pthread_mutex_unlock(&s_fileMutex);

    if (rc == 1) {
        puts("[globals]:GB_ModifyDeviceInfo open error\r");
        return 1;
    }
    if (rc != 0) {
        // Reporting success here would make the caller end the adapter
        // believing an identity was stored that the next start never sees.
        puts("[globals]:GB_ModifyDeviceInfo write error\r");
        return 1;
    }
    GB_GetDeviceInfo(sn, pc);
    printf("[globals]:GB_ModifyDeviceInfo new sn: %s, pw: %s\r\n", sn, pc);
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
