// Fuzz target: bursts on the user serial port as the serial bridge sees
// them, through the local upgrade and identity frames. An input is a series
// of records, each [ctl][len lo][len hi][len bytes]:
//   ctl bit 0: fill in a correct CRC (else random frames would never pass)
//   ctl bit 1: the burst buffer ends right after the burst (else it is the
//              bridge's 1014-byte buffer, zero after the burst)
// Each input starts a fresh transfer and identity. A shadow of the accepted
// chunks, driven only by the progress answers, must match the package file
// whenever the adapter calls the transfer complete, and the staging file
// must always hold a prefix of it.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/common.h"
#include "core/endpoints.h"
#include "core/globals.h"
#include "core/identity.h"
#include "fuzz/fuzz_support.h"
#include "link/message.h"
#include "serial/upgrade.h"

namespace {

const char kSn[] = "SN-FRAME";
const char kPc[] = "PC-FR";

struct Progress {
    int32_t total;
    int32_t complete;
};

int32_t le32(const uint8_t *p) { return (int32_t)COMM_GetLe32(p); }

// Progress answer, checked for its fixed layout and CRC.
Progress progress()
{
    uint8_t out[UPGRADE_RESP_LEN + 8];
    memset(out, 0x5A, sizeof out);
    int32_t len = 0;
    FUZZ_CHECK(UPGRADE_BuildResp(out, &len) == 0 && len == UPGRADE_RESP_LEN);
    FUZZ_CHECK(out[0] == 0xAA && out[1] == 0xBB && le32(out + 12) == 0);
    FUZZ_CHECK(COMM_GetLe16(out + 2) == COMM_Crc16(out + 4, 12));
    for (size_t i = UPGRADE_RESP_LEN; i < sizeof out; i++)
        FUZZ_CHECK(out[i] == 0x5A);
    return {le32(out + 4), le32(out + 8)};
}

void checkIdentityResp()
{
    uint8_t out[DEVINFO_FRAME_LEN + 8];
    memset(out, 0x5A, sizeof out);
    int32_t len = 0;
    FUZZ_CHECK(DEVINFO_BuildResp(out, &len) == 0 && len == DEVINFO_FRAME_LEN);
    FUZZ_CHECK(out[0] == 0xCC && out[1] == 0xDD);
    FUZZ_CHECK(COMM_GetLe16(out + 2) == COMM_Crc16(out + 4, 20));
    for (size_t i = DEVINFO_FRAME_LEN; i < sizeof out; i++)
        FUZZ_CHECK(out[i] == 0x5A);
    char sn[GB_SERIALNUM_SIZE], pc[GB_PAIRCODE_SIZE];
    GB_GetDeviceInfo(sn, pc);
    FUZZ_CHECK(memcmp(out + 4, sn, strlen(sn) + 1) == 0 && memcmp(out + 16, pc, strlen(pc) + 1) == 0);
}

// Identity field of a frame as it must be stored: up to its NUL or width,
// cut to what the identity holds.
std::string frameField(const uint8_t *f, size_t width, size_t cap)
{
    std::string s;
    for (size_t i = 0; i < width && f[i] != 0 && s.size() < cap; i++)
        s.push_back((char)f[i]);
    return s;
}

void fixCrc(uint8_t *b, size_t avail)
{
    if (avail >= (size_t)UPGRADE_HEAD_LEN && b[0] == 0xAA && b[1] == 0xBB) {
        uint16_t crcLen = (uint16_t)(COMM_GetLe32(b + 12) + 12);  // modulo 65536, as sent
        if ((size_t)crcLen + 4 <= avail)
            COMM_PutLe16(b + 2, COMM_Crc16(b + 4, crcLen));
    } else if (avail >= (size_t)DEVINFO_FRAME_LEN && b[0] == 0xCC && b[1] == 0xDD) {
        COMM_PutLe16(b + 2, COMM_Crc16(b + 4, 20));
    }
}

struct Shadow {
    std::string accepted;  // chunks the answers say were taken, in order
};

std::string partPath() { return std::string(EP_Path(EP_PATH_PACKAGE)) + ".part"; }

void upgradeFrame(const uint8_t *b, Shadow *sh)
{
    Progress before = progress();
    int32_t total = le32(b + 4), offset = le32(b + 8), dataLen = le32(b + 12);
    FUZZ_CHECK(dataLen >= 0 && dataLen <= UPGRADE_MAX_DATA);
    int32_t rc = UPGRADE_SaveData(b);
    Progress after = progress();
    std::string chunk((const char *)b + UPGRADE_HEAD_LEN, (size_t)dataLen);
    if (offset == 0) {
        FUZZ_CHECK(after.total == total);
        sh->accepted.clear();
        if (rc == 0) {
            FUZZ_CHECK(after.complete == dataLen);
            sh->accepted = chunk;
        } else {
            FUZZ_CHECK(after.complete == 0);
        }
    } else if (offset == before.complete) {
        FUZZ_CHECK(after.total == before.total);
        FUZZ_CHECK(after.complete == (rc == 0 ? before.complete + dataLen : before.complete));
        if (rc == 0)
            sh->accepted += chunk;
    } else {
        FUZZ_CHECK(rc == 0 && after.total == before.total && after.complete == before.complete);
    }
    FUZZ_CHECK((size_t)after.complete == sh->accepted.size());

    std::string file;
    if (rc == 0 && UPGRADE_IsComplete() && (offset == 0 || offset == before.complete)) {
        // The completing chunk puts the whole package in place.
        FUZZ_CHECK(FUZZ_ReadFile(EP_Path(EP_PATH_PACKAGE), &file));
        FUZZ_CHECK(file == sh->accepted);
    } else if (FUZZ_ReadFile(partPath().c_str(), &file) && !sh->accepted.empty()) {
        FUZZ_CHECK(file.size() <= sh->accepted.size());
        FUZZ_CHECK(sh->accepted.size() - file.size() < (size_t)UPGRADE_CACHE_SIZE + UPGRADE_MAX_DATA);
        FUZZ_CHECK(sh->accepted.compare(0, file.size(), file) == 0);
    }
}

// After DEVINFO_IsValid accepted b; old* is the identity before it.
void identityFrame(const uint8_t *b, const char *oldSn, const char *oldPc)
{
    // Whole fields: one filled without its NUL is longer than the identity
    // holds, and refused.
    std::string sn = frameField(b + 4, 12, GB_SERIALNUM_SIZE);
    std::string pc = frameField(b + 16, 8, GB_PAIRCODE_SIZE);
    char nowSn[GB_SERIALNUM_SIZE], nowPc[GB_PAIRCODE_SIZE];
    GB_GetDeviceInfo(nowSn, nowPc);
    // A query, or a value the identity file could not give back: unchanged.
    if (b[4] == 0 || GB_DeviceInfoError(sn.c_str(), true) != nullptr || GB_DeviceInfoError(pc.c_str(), false) != nullptr)
        FUZZ_CHECK(strcmp(nowSn, oldSn) == 0 && strcmp(nowPc, oldPc) == 0);
    else
        FUZZ_CHECK(sn == nowSn && pc == nowPc);
    checkIdentityResp();
}

// Empties the transfer through the public interface: a valid frame for an
// empty package at offset 0 resets the counters and completes at once.
void resetTransfer()
{
    uint8_t f[UPGRADE_HEAD_LEN] = {0xAA, 0xBB};
    COMM_PutLe16(f + 2, COMM_Crc16(f + 4, 12));
    FUZZ_CHECK(UPGRADE_IsValid(f, sizeof f) == 1);
    FUZZ_CHECK(UPGRADE_SaveData(f) == 0);
    FUZZ_CHECK(UPGRADE_IsComplete() == 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FUZZ_Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    resetTransfer();
    FUZZ_CHECK(GB_ModifyDeviceInfo(kSn, kPc) == 0);
    Shadow sh;
    size_t pos = 0;
    while (size - pos >= 3) {
        uint8_t ctl = data[pos];
        size_t len = (size_t)(data[pos + 1] | data[pos + 2] << 8) % (MSG_DATA_MAX + 1);
        pos += 3;
        if (len > size - pos)
            len = size - pos;
        size_t avail = (ctl & 2) ? len : (size_t)MSG_DATA_MAX;
        std::vector<uint8_t> buf(avail, 0);
        if (len > 0)
            memcpy(buf.data(), data + pos, len);
        pos += len;
        if (ctl & 1)
            fixCrc(buf.data(), avail);
        if (avail == 0)
            continue;  // the bridge never has an empty burst
        // The bridge's order: an upgrade frame first, then an identity frame.
        char oldSn[GB_SERIALNUM_SIZE], oldPc[GB_PAIRCODE_SIZE];
        GB_GetDeviceInfo(oldSn, oldPc);
        if (UPGRADE_IsValid(buf.data(), (int32_t)avail)) {
            upgradeFrame(buf.data(), &sh);
            if (UPGRADE_IsComplete())
                break;  // the bridge ends the adapter here
        } else if (DEVINFO_IsValid(buf.data(), (int32_t)avail)) {
            identityFrame(buf.data(), oldSn, oldPc);
        } else {
            char sn[GB_SERIALNUM_SIZE], pc[GB_PAIRCODE_SIZE];
            GB_GetDeviceInfo(sn, pc);
            FUZZ_CHECK(strcmp(sn, oldSn) == 0 && strcmp(pc, oldPc) == 0);
        }
    }
    return 0;
}
