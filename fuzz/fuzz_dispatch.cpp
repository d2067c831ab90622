// Fuzz target: one server message as the link thread receives it, through
// the dispatch and every handler behind it (results, data, upgrade request,
// identity change). The message lies in a buffer of exactly its length, so
// any read past the received bytes is an ASan finding. Data messages also go
// to UART_WriteData, the data callback of the real daemon (no serial port is
// open, so it only parses and hands over). Upgrade requests end in the FTP
// stub, which never opens a socket.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/globals.h"
#include "core/identity.h"
#include "fuzz/ftp_stub.h"
#include "fuzz/fuzz_support.h"
#include "link/message.h"
#include "link/tcpThread.h"
#include "serial/uartThread.h"

namespace {

const char kSn[] = "SN-FUZZ";
const char kPc[] = "PC-FUZZ";

// A text field as a handler must read it: only received bytes count, the
// field ends at its NUL or its width, and at most cap characters are read.
std::string field(const uint8_t *msg, size_t len, size_t off, size_t width, size_t cap)
{
    std::string s;
    for (size_t i = off; i < off + width && i < len && msg[i] != 0 && s.size() < cap; i++)
        s.push_back((char)msg[i]);
    return s;
}

void checkUpgrade(const uint8_t *msg, size_t len)
{
    const FtpStubCall &c = FTPSTUB_Last();
    std::string url = field(msg, len, MSG_OFF_UPG_URL, MSG_UPG_URL_SIZE, MSG_UPG_URL_SIZE);
    std::string user = field(msg, len, MSG_OFF_UPG_USER, MSG_UPG_USER_SIZE, MSG_UPG_USER_SIZE);
    std::string pass = field(msg, len, MSG_OFF_UPG_PASS, MSG_UPG_PASS_SIZE, MSG_UPG_PASS_SIZE);
    // A field without room for its terminator holds more than it may: the
    // request is refused, never carried out with a cut value.
    bool fits = url.size() < (size_t)MSG_UPG_URL_SIZE && user.size() < (size_t)MSG_UPG_USER_SIZE &&
                pass.size() < (size_t)MSG_UPG_PASS_SIZE;
    FUZZ_CHECK(c.calls == (fits ? 1 : 0));
    if (fits)
        FUZZ_CHECK(c.host == url && c.user == user && c.pass == pass);
    // A failed download never ends the adapter.
    FUZZ_CHECK(!GB_TestEvent(GB_EVENT_EXIT));
}

void checkIdentity(const uint8_t *msg, size_t len)
{
    char sn[GB_SERIALNUM_SIZE];
    char pc[GB_PAIRCODE_SIZE];
    GB_GetDeviceInfo(sn, pc);
    FUZZ_CHECK(memchr(sn, 0, sizeof sn) != nullptr && memchr(pc, 0, sizeof pc) != nullptr);
    // Whole fields: a value filling its field has no terminator and is too
    // long to store.
    std::string wantSn = field(msg, len, MSG_OFF_DEV_SERIALNUM, GB_SERIALNUM_SIZE, GB_SERIALNUM_SIZE);
    std::string wantPc = field(msg, len, MSG_OFF_DEV_PAIRCODE, GB_PAIRCODE_SIZE, GB_PAIRCODE_SIZE);
    if (wantSn.empty() || GB_DeviceInfoError(wantSn.c_str(), true) != nullptr ||
        GB_DeviceInfoError(wantPc.c_str(), false) != nullptr) {
        // Nothing to store, or nothing the file could give back: the old
        // identity stays and the adapter runs on.
        FUZZ_CHECK(strcmp(sn, kSn) == 0 && strcmp(pc, kPc) == 0);
        FUZZ_CHECK(!GB_TestEvent(GB_EVENT_EXIT));
    } else {
        FUZZ_CHECK(wantSn == sn && wantPc == pc);
        FUZZ_CHECK(GB_TestEvent(GB_EVENT_EXIT));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FUZZ_Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (size_t)MSG_MAX_LEN)
        return -1;  // one receive never brings more
    std::vector<uint8_t> msg(data, data + size);
    const uint8_t *m = size ? msg.data() : nullptr;
    uint8_t cmd = size >= 2 ? (msg[1] & MSG_CMD_MASK) : 0;
    bool versionOk = size >= 1 && msg[0] == MSG_PROTOCOL_VERSION;

    GB_ClearEvent(GB_EVENT_EXIT);
    FTPSTUB_Reset();
    if (versionOk && cmd == MSG_CMD_DEVINFO)
        FUZZ_CHECK(GB_ModifyDeviceInfo(kSn, kPc) == 0);

    // Cut as the link cuts its stream: never beyond what is there.
    int32_t frame = MSG_FrameLen(m, (int32_t)size);
    FUZZ_CHECK(frame >= MSG_FAULT_TERMINATOR && frame <= (int32_t)size && frame <= MSG_MAX_LEN);
    FUZZ_CHECK((frame == MSG_FAULT_VERSION) == (size > 0 && msg[0] != MSG_PROTOCOL_VERSION));

    int32_t rc = tcpProcessRecved(m, (int32_t)size);
    FUZZ_CHECK(rc == (versionOk ? 0 : -1));
    if (!versionOk) {
        FUZZ_CHECK(FTPSTUB_Last().calls == 0);
        return 0;
    }
    if (cmd == MSG_CMD_UPGRADE)
        checkUpgrade(m, size);
    else
        FUZZ_CHECK(FTPSTUB_Last().calls == 0);
    if (cmd == MSG_CMD_DEVINFO)
        checkIdentity(m, size);
    if (cmd == MSG_CMD_UART_DATA)
        UART_WriteData(m, (int32_t)size);
    return 0;
}
