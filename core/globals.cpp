// Shared record and start-up. Owns g_gbVar, the keep-alive queue set-up and
// the exit and room descriptors; the identity file is the identity
// module's. The identity pair is guarded by a private mutex held only while
// 20 bytes are copied, so readers never see half an update.
#include "core/globals.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include "core/common.h"
#include "core/endpoints.h"
#include "core/identity.h"

GbVar g_gbVar;

namespace {

constexpr const char *GB_ALIVE_TEXT = "app-alive";

// Made before main(): the signal handler may write it at any moment and
// must never see it half made.
const int s_exitFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
const int s_roomFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

pthread_mutex_t s_infoMutex = PTHREAD_MUTEX_INITIALIZER;   // identity fields

// Copies src into a field of size n, cut to n-1 characters, zero-filled.
void gbCopyField(char *dst, size_t n, const char *src)
{
    size_t len = strnlen(src, n - 1);
    memset(dst, 0, n);
    memcpy(dst, src, len);
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
    GB_SetDeviceInfo("", "");
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

void GB_SetDeviceInfo(const char *serialNum, const char *pairCode)
{
    pthread_mutex_lock(&s_infoMutex);
    gbCopyField(g_gbVar.serialNum, sizeof g_gbVar.serialNum, serialNum);
    gbCopyField(g_gbVar.pairCode, sizeof g_gbVar.pairCode, pairCode);
    pthread_mutex_unlock(&s_infoMutex);
}

void GB_GetDeviceInfo(char serialNum[GB_SERIALNUM_SIZE], char pairCode[GB_PAIRCODE_SIZE])
{
    pthread_mutex_lock(&s_infoMutex);
    memcpy(serialNum, g_gbVar.serialNum, GB_SERIALNUM_SIZE);
    memcpy(pairCode, g_gbVar.pairCode, GB_PAIRCODE_SIZE);
    pthread_mutex_unlock(&s_infoMutex);
}
