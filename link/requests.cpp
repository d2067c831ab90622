// The server's management requests, on the link thread. The upgrade
// answers "accepted" at once, downloads the package over FTP beside its
// place and renames it there when whole (and, with trusted keys, verified
// against its signature fetched beside it), answers the outcome and, on
// success, ends the adapter. The identity change rewrites the identity
// file and, once stored, ends the adapter. Values are taken whole or the
// request is refused: a cut value would name another host, account, path
// or identity than the server sent.
#include "link/requests.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/common.h"
#include "core/endpoints.h"
#include "core/globals.h"
#include "core/identity.h"
#include "core/status.h"
#include "ftp/ftpClient.h"
#include "link/message.h"
#include "link/tcpThread.h"
#include "link/verify.h"

namespace {

constexpr int32_t UPGRADE_SIG_MAX = 1024;  // a signature file is ~150 bytes

// Copies the text field at off into out[width] (at most width-1
// characters, ending at its terminator or the message end). False when
// the field holds more than that: its value does not fit and is not cut.
bool tcpCopyField(const uint8_t *msg, int32_t len, int32_t off, int32_t width, char *out)
{
    int32_t n = 0;
    while (n < width - 1 && off + n < len && msg[off + n] != 0) {
        out[n] = (char)msg[off + n];
        n++;
    }
    out[n] = '\0';
    return n < width - 1 || off + n >= len || msg[off + n] == 0;
}

// Bytes of msg that handlers may read: never beyond the receive buffer.
int32_t tcpMsgLimit(int32_t len)
{
    if (len < 0)
        return 0;
    return len > MSG_MAX_LEN ? MSG_MAX_LEN : len;
}

// Moves a complete download into place: data and directory entry reach the
// disk before the adapter reports success and ends. 0 on success.
int32_t upgradeCommit(const char *partPath, const char *packagePath)
{
    int fd = open(partPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = fsync(fd);
    close(fd);
    if (rc != 0 || rename(partPath, packagePath) != 0)
        return -1;
    COMM_SyncDir(packagePath);
    return 0;
}

// With trusted keys, fetches "<path>.sig" in the same session (1 KB at
// most) and has the package verified. nullptr when it may be put in place
// (also when no key is given); otherwise what the state file says, after
// one line naming the reason.
const char *upgradeCheckSignature(int sock, const char *path, const char *part)
{
    if (EP_UpgradeKeyCount() == 0)
        return nullptr;
    char sigPath[MSG_MAX_LEN - MSG_OFF_UPG_PATH + 5];
    snprintf(sigPath, sizeof sigPath, "%s.sig", path);
    const char *sigPart = EP_Path(EP_PATH_DOWNLOAD_SIG);
    if (FTP_Retrfile(sock, sigPath, sigPart, nullptr, GB_ExitFd(), UPGRADE_SIG_MAX) != 0) {
        printf("[TCP]: upgrade refused: unsigned, no signature of 1 KB at most at %s\r\n", sigPath);
        return "unsigned";
    }
    VerifyResult v = VERIFY_Package(part, sigPart, GB_ExitFd());
    if (v == VERIFY_OK)
        return nullptr;
    printf("[TCP]: upgrade refused: %s (%s)\r\n", VERIFY_ResultText(v), sigPath);
    return VERIFY_ResultText(v);
}

void tcpSendResp(uint8_t cmd, uint8_t code)
{
    uint8_t resp[MSG_RESULT_LEN];
    MSG_SetResp(resp, cmd, code);
    TCP_SendData(resp, MSG_RESULT_LEN);
}

}  // namespace

int32_t upgradeDownlodFile(const uint8_t *msg, int32_t len, const char **reason)
{
    int32_t lim = tcpMsgLimit(len);
    char url[MSG_UPG_URL_SIZE];
    char user[MSG_UPG_USER_SIZE];
    char pass[MSG_UPG_PASS_SIZE];
    char path[MSG_MAX_LEN - MSG_OFF_UPG_PATH + 1];
    bool fits = tcpCopyField(msg, lim, MSG_OFF_UPG_URL, (int32_t)sizeof url, url);
    fits = tcpCopyField(msg, lim, MSG_OFF_UPG_USER, (int32_t)sizeof user, user) && fits;
    fits = tcpCopyField(msg, lim, MSG_OFF_UPG_PASS, (int32_t)sizeof pass, pass) && fits;
    fits = tcpCopyField(msg, lim, MSG_OFF_UPG_PATH, (int32_t)sizeof path, path) && fits;
    // The password stays out of the log: it reaches logread and often a
    // remote syslog.
    printf("[TCP]: upgrade url:%s, user:%s, pass:***, path:%s \r\n", url, user, path);
    STATUS_Request("upgrade", url, path, "running");
    if (!fits) {
        // A cut host, account or path names another one than was sent.
        puts("[TCP]: upgrade refused, a field is longer than it may be\r");
        return 0;
    }

    // Every reply wait also watches the exit descriptor, so the adapter's
    // end never waits out an FTP time-out (name resolution aside).
    int sock = FTP_Connect(url, EP_FtpPort(), user, pass, GB_ExitFd());
    printf("[TCP]: upgrade, FTP_Connect socket=%d:\r\n", sock);
    if (sock < 0)
        return 0;

    // Download beside the package and rename on success, so a failed
    // download never leaves a truncated package where an installer looks.
    // The staging file is not the one the serial side stages its chunks
    // in: a local upgrade may run at the same time, and neither may write
    // into the other's file. The adapter ending (GB_EVENT_EXIT) abandons
    // the download at once, in time to remove the staging file.
    const char *package = EP_Path(EP_PATH_PACKAGE);
    const char *part = EP_Path(EP_PATH_DOWNLOAD);
    int32_t size = 0;
    int32_t result = 0;
    const char *refusal = nullptr;
    if (FTP_Retrfile(sock, path, part, &size, GB_ExitFd()) == 0 &&
        (refusal = upgradeCheckSignature(sock, path, part)) == nullptr && upgradeCommit(part, package) == 0) {
        printf("[TCP]: upgrade success, file size:%d\r\n", size);
        result = 1;
    } else {
        puts("[TCP]: upgrade fail !!!!!!!!!!!!\r");
        unlink(part);
    }
    unlink(EP_Path(EP_PATH_DOWNLOAD_SIG));
    FTP_Quit(sock, GB_ExitFd());
    if (refusal != nullptr && reason != nullptr)
        *reason = refusal;
    return result;
}

void tcpUpgradeAdapter(const uint8_t *msg, int32_t len)
{
    tcpSendResp(MSG_CMD_UPGRADE, MSG_RESULT_ACCEPTED);
    uint8_t code = MSG_RESULT_UPGRADE_FAIL;
    const char *reason = "failed";
    if (upgradeDownlodFile(msg, len, &reason) == 1) {
        code = MSG_RESULT_OK;
        // Seen by this thread only after the handler returns, so the
        // response below still goes out.
        GB_SetEvent(GB_EVENT_EXIT);
    }
    printf("[TCP]: upgrade errorCode: %d\r\n", code);
    STATUS_RequestResult(code == MSG_RESULT_OK ? "ok" : reason);
    tcpSendResp(MSG_CMD_UPGRADE, code);
}

void tcpModifyDeviceInfo(const uint8_t *msg, int32_t len)
{
    int32_t lim = tcpMsgLimit(len);
    // One byte more than a field may hold: a value without its terminator
    // reaches GB_ModifyDeviceInfo whole, which refuses it as too long.
    char sn[GB_SERIALNUM_SIZE + 1];
    char pc[GB_PAIRCODE_SIZE + 1];
    tcpCopyField(msg, lim, MSG_OFF_DEV_SERIALNUM, (int32_t)sizeof sn, sn);
    tcpCopyField(msg, lim, MSG_OFF_DEV_PAIRCODE, (int32_t)sizeof pc, pc);
    uint8_t code = MSG_RESULT_DEVINFO_FAIL;
    // A request without a serial number (cut short, or empty) would wipe
    // the identity the adapter logs in with; refuse it.
    if (sn[0] != '\0' && GB_ModifyDeviceInfo(sn, pc) == 0) {
        code = MSG_RESULT_OK;
        GB_SetEvent(GB_EVENT_EXIT);
    }
    printf("[TCP]: modify errorCode: %d\r\n", code);
    STATUS_Request("identity", sn, nullptr, code == MSG_RESULT_OK ? "ok" : "failed");
    tcpSendResp(MSG_CMD_DEVINFO, code);
}

int32_t tcpHttpGetFile(const char *cmd, const char *filePath)
{
    if (cmd == nullptr || filePath == nullptr)
        return 0;
    printf("[TCP]: tcpHttpGetFile cmd: %s, filePath:%s\r\n", cmd, filePath);
    int rc = system(cmd);
    (void)rc;
    return access(filePath, F_OK) == 0 ? 1 : 0;
}
