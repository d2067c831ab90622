// Local serial frames. Upgrade chunks arrive in package order; accepted
// bytes gather in a 4096-byte cache and reach a staging file beside the
// package ("<package>.part") in appends of about 4 KB. The completing chunk
// flushes the cache, syncs the staging file and renames it over the package,
// so the installed package is never a partial one. Identity frames read or
// set the device identity. Only the serial bridge thread calls this module,
// so the transfer state needs no lock.
#include "serial/upgrade.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "core/common.h"
#include "core/endpoints.h"
#include "core/log.h"
#include "core/globals.h"
#include "core/identity.h"

namespace {

constexpr uint8_t UPGRADE_MAGIC0 = 0xAA;
constexpr uint8_t UPGRADE_MAGIC1 = 0xBB;
constexpr uint8_t DEVINFO_MAGIC0 = 0xCC;
constexpr uint8_t DEVINFO_MAGIC1 = 0xDD;

// Field offsets shared by both upgrade frame directions.
constexpr int32_t UPG_OFF_CRC = 2;
constexpr int32_t UPG_OFF_TOTAL = 4;
constexpr int32_t UPG_OFF_OFFSET = 8;
constexpr int32_t UPG_OFF_DATALEN = 12;
constexpr int32_t UPG_CRC_FROM = 4;
constexpr int32_t DEV_OFF_SERIALNUM = 4;
constexpr int32_t DEV_OFF_PAIRCODE = 16;

// Mode of the staging file and so of the package: the same as a package
// fetched over FTP gets, whichever way it came (the umask still applies).
constexpr mode_t UPGRADE_FILE_MODE = 0644;

int32_t g_totalSize = 0;
int32_t g_completeSize = 0;
int32_t g_cacheDataLen = 0;
uint8_t g_cache[UPGRADE_CACHE_SIZE];

void upgradeFail(int line)
{
    printf("fail in %s, line:%d\r\n", "UPGRADE_SaveData", line);
}

// 1 when the CRC at bytes 2..3 matches the crcLen bytes from byte 4.
int32_t upgradeCrcOk(const uint8_t *frame, uint16_t crcLen)
{
    return COMM_Crc16(frame + UPG_CRC_FROM, crcLen) == COMM_GetLe16(frame + UPG_OFF_CRC) ? 1 : 0;
}

void upgradeInit(int32_t totalSize)
{
    g_totalSize = totalSize;
    g_completeSize = 0;
    g_cacheDataLen = 0;
}

// Empties (or creates) the staging file; 0, or -1 if it cannot be opened.
int32_t upgradeTruncate(const char *part)
{
    int fd = open(part, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, UPGRADE_FILE_MODE);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

// Appends the cache and then the chunk in one write, so a chunk that does
// not fit the space left in the cache is never copied past its end.
// 0 when everything reached the file (synced when `sync`); -1 when it could
// not be opened (*opened 0) or not written whole (*opened 1), in which case
// the file is cut back to its previous length.
int32_t upgradeAppend(const char *part, const uint8_t *chunk, int32_t chunkLen, bool sync, int *opened)
{
    int fd = open(part, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, UPGRADE_FILE_MODE);
    *opened = fd >= 0 ? 1 : 0;
    if (fd < 0)
        return -1;
    off_t before = lseek(fd, 0, SEEK_END);
    struct iovec iov[2] = {{g_cache, (size_t)g_cacheDataLen}, {const_cast<uint8_t *>(chunk), (size_t)chunkLen}};
    size_t want = (size_t)g_cacheDataLen + (size_t)chunkLen;
    ssize_t n;
    do {
        n = writev(fd, iov, 2);
    } while (n < 0 && errno == EINTR);
    bool ok = n == (ssize_t)want;
    if (ok && sync)
        ok = fsync(fd) == 0;
    if (!ok && before >= 0 && ftruncate(fd, before) != 0) {
        // Nothing more to undo: the counters stay put and the device
        // resends, and a restart at offset 0 empties the file anyway.
    }
    close(fd);
    return ok ? 0 : -1;
}

// Copies a text of at most size-1 characters out of a fixed frame field that
// may lack its NUL; longer texts are cut.
void devinfoField(char *out, size_t size, const uint8_t *field, size_t fieldWidth)
{
    size_t n = 0;
    while (n < fieldWidth && n + 1 < size && field[n] != 0) {
        out[n] = (char)field[n];
        n++;
    }
    out[n] = '\0';
}

}  // namespace

// A frame is only taken as one when its whole chunk lies inside the bytes
// the caller can read: a negative dataLen or one above 998 would reach past
// the receive buffer, so such bytes are no frame and go up as serial data.
int32_t UPGRADE_IsValid(const uint8_t *frame, int32_t avail)
{
    if (avail < UPGRADE_HEAD_LEN || frame[0] != UPGRADE_MAGIC0 || frame[1] != UPGRADE_MAGIC1)
        return 0;
    int32_t dataLen = (int32_t)COMM_GetLe32(frame + UPG_OFF_DATALEN);
    if (dataLen < 0 || dataLen > UPGRADE_MAX_DATA || dataLen > avail - UPGRADE_HEAD_LEN)
        return 0;
    return upgradeCrcOk(frame, (uint16_t)(dataLen + UPGRADE_HEAD_LEN - UPG_CRC_FROM));
}

int32_t UPGRADE_SaveData(const uint8_t *frame)
{
    int32_t totalSize = (int32_t)COMM_GetLe32(frame + UPG_OFF_TOTAL);
    int32_t curOffset = (int32_t)COMM_GetLe32(frame + UPG_OFF_OFFSET);
    int32_t dataLen = (int32_t)COMM_GetLe32(frame + UPG_OFF_DATALEN);
    const uint8_t *data = frame + UPGRADE_HEAD_LEN;
    if (dataLen < 0 || dataLen > UPGRADE_MAX_DATA)
        return 0;  // never a valid frame; kept out defensively

    // One line when a transfer starts and one when it is complete; the
    // chunks between are routine.
    if (LOG_Routine() || curOffset == 0)
        printf("[UPGRADE]:save data, curOffset %d\r\n", curOffset);
    const char *part = EP_Path(EP_PATH_PART);
    if (curOffset == 0) {
        upgradeInit(totalSize);
        if (upgradeTruncate(part) != 0) {
            upgradeFail(58);
            return -1;
        }
    } else if (curOffset != g_completeSize) {
        return 0;
    }

    // 64-bit sums: a hostile totalSize near the limit must not overflow.
    int64_t cached = (int64_t)g_cacheDataLen + dataLen;
    int64_t complete = (int64_t)g_completeSize + dataLen;
    if (complete > INT32_MAX)
        return 0;  // past any package the counters can describe: ignored
    if (cached < UPGRADE_CACHE_SIZE && complete < g_totalSize) {
        memcpy(g_cache + g_cacheDataLen, data, (size_t)dataLen);
        g_cacheDataLen += dataLen;
    } else {
        bool last = complete == g_totalSize;
        int opened = 0;
        if (upgradeAppend(part, data, dataLen, last, &opened) != 0) {
            // Counters untouched: the answer repeats the offset and the
            // device sends the same chunk again.
            upgradeFail(opened ? 76 : 73);
            return -1;
        }
        if (last && rename(part, EP_Path(EP_PATH_PACKAGE)) != 0) {
            int fd = open(part, O_WRONLY | O_CLOEXEC);
            if (fd >= 0) {
                if (ftruncate(fd, (off_t)g_completeSize - g_cacheDataLen) != 0) {
                    // The resent chunk is appended behind stale bytes only
                    // until the device restarts at offset 0.
                }
                close(fd);
            }
            upgradeFail(80);
            return -1;
        }
        if (last)
            COMM_SyncDir(EP_Path(EP_PATH_PACKAGE));
        LOG_Routinef("[UPGRADE]:write data to file, g_cacheDataLen %d\r\n", (int32_t)cached);
        g_cacheDataLen = 0;
    }
    g_completeSize += dataLen;
    if (LOG_Routine() || g_completeSize == g_totalSize)
        printf("[UPGRADE]:save data, g_cacheDataLen %d, g_completeSize %d\r\n", g_cacheDataLen, g_completeSize);
    return 0;
}

// The 16-byte progress answer for the given counters.
void upgradeAnswer(uint8_t *out, int32_t totalSize, int32_t completeSize)
{
    memset(out, 0, UPGRADE_RESP_LEN);
    out[0] = UPGRADE_MAGIC0;
    out[1] = UPGRADE_MAGIC1;
    COMM_PutLe32(out + UPG_OFF_TOTAL, (uint32_t)totalSize);
    COMM_PutLe32(out + UPG_OFF_OFFSET, (uint32_t)completeSize);
    COMM_PutLe32(out + UPG_OFF_DATALEN, 0);
    COMM_PutLe16(out + UPG_OFF_CRC, COMM_Crc16(out + UPG_CRC_FROM, UPGRADE_RESP_LEN - UPG_CRC_FROM));
}

int32_t UPGRADE_BuildResp(uint8_t *out, int32_t *len)
{
    LOG_Routinef("[UPGRADE]:build resp, curOffset %d\r\n", g_completeSize);
    upgradeAnswer(out, g_totalSize, g_completeSize);
    *len = UPGRADE_RESP_LEN;
    return 0;
}

int32_t UPGRADE_BuildRefusal(const uint8_t *frame, uint8_t *out, int32_t *len)
{
    // A device resends a refused first chunk: a line for each first
    // chunk, one for every frame only at "all". Read before out is
    // written: the two may overlap.
    if (LOG_Routine() || COMM_GetLe32(frame + UPG_OFF_OFFSET) == 0)
        puts("[UPGRADE]: refused, upgrades over the serial port are off\r");
    upgradeAnswer(out, -1, 0);
    *len = UPGRADE_RESP_LEN;
    return 0;
}

int32_t UPGRADE_IsComplete()
{
    return g_completeSize == g_totalSize ? 1 : 0;
}

void UPGRADE_Abandon()
{
    unlink(EP_Path(EP_PATH_PART));
    upgradeInit(0);
}

int32_t DEVINFO_IsValid(const uint8_t *frame, int32_t avail)
{
    if (avail < DEVINFO_FRAME_LEN || frame[0] != DEVINFO_MAGIC0 || frame[1] != DEVINFO_MAGIC1 ||
        upgradeCrcOk(frame, DEVINFO_FRAME_LEN - UPG_CRC_FROM) == 0)
        return 0;
    if (frame[DEV_OFF_SERIALNUM] != 0) {
        // A field without its NUL is one byte too long for the identity:
        // it is passed on whole, and refused, never cut and stored.
        char sn[GB_SERIALNUM_SIZE + 1];
        char pc[GB_PAIRCODE_SIZE + 1];
        devinfoField(sn, sizeof sn, frame + DEV_OFF_SERIALNUM, GB_SERIALNUM_SIZE);
        devinfoField(pc, sizeof pc, frame + DEV_OFF_PAIRCODE, GB_PAIRCODE_SIZE);
        printf("[DEVINFO]:set new info, sn: %s, pairCode: %s\r\n", sn, "***");
        GB_ModifyDeviceInfo(sn, pc);
    }
    return 1;
}

int32_t DEVINFO_BuildResp(uint8_t *out, int32_t *len)
{
    char sn[GB_SERIALNUM_SIZE];
    char pc[GB_PAIRCODE_SIZE];
    GB_GetDeviceInfo(sn, pc);
    sn[GB_SERIALNUM_SIZE - 1] = '\0';
    pc[GB_PAIRCODE_SIZE - 1] = '\0';
    printf("[DEVINFO]: build resp, sn: %s, pairCode: %s\r\n", sn, "***");
    memset(out, 0, DEVINFO_FRAME_LEN);
    out[0] = DEVINFO_MAGIC0;
    out[1] = DEVINFO_MAGIC1;
    memcpy(out + DEV_OFF_SERIALNUM, sn, strlen(sn) + 1);
    memcpy(out + DEV_OFF_PAIRCODE, pc, strlen(pc) + 1);
    COMM_PutLe16(out + UPG_OFF_CRC, COMM_Crc16(out + UPG_CRC_FROM, DEVINFO_FRAME_LEN - UPG_CRC_FROM));
    *len = DEVINFO_FRAME_LEN;
    return 0;
}
