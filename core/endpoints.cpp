// Endpoints: compiled-in addresses and paths, optionally redirected once by
// the sandbox entry point before any thread starts. After start-up they are
// only read, so no synchronisation is needed.
#include "core/endpoints.h"

#include <cstdio>
#include <cstring>

#include "config.h"

namespace {

constexpr size_t EP_PATH_MAX = 512;
constexpr size_t EP_HOST_MAX = EP_HOST_MAX_LEN + 1;

// Every staging name is its target's name and a suffix, made here once.
const char *const s_defaults[EP_PATH_COUNT] = {
    ADAPTER_CFG_SERIAL_PATH,   ADAPTER_CFG_MODEM_PATH,    ADAPTER_CFG_DEVINFO_PATH,
    ADAPTER_CFG_PACKAGE_PATH,  ADAPTER_CFG_LED_DATA_PATH, ADAPTER_CFG_LED_ONLINE_PATH,
    ADAPTER_CFG_STATUS_PATH,
    ADAPTER_CFG_PACKAGE_PATH ".download", ADAPTER_CFG_PACKAGE_PATH ".part", ADAPTER_CFG_DEVINFO_PATH ".tmp",
    ADAPTER_CFG_STATUS_PATH ".tmp", ADAPTER_CFG_PACKAGE_PATH ".download.sig",
};

char s_paths[EP_PATH_COUNT][EP_PATH_MAX];
bool s_rooted = false;
// Each host is the compiled-in text or a copy in its zero-filled buffer,
// which so takes no room in the daemon's file.
char s_hostBufs[EP_SERVER_MAX][EP_HOST_MAX];
const char *s_hosts[EP_SERVER_MAX] = {ADAPTER_CFG_SERVER_HOST};
uint16_t s_ports[EP_SERVER_MAX] = {ADAPTER_CFG_SERVER_PORT};
int32_t s_serverCount = 1;
uint32_t s_backupS = 600;
uint16_t s_ftpPort = ADAPTER_CFG_FTP_PORT;
int32_t s_msgKey = ADAPTER_CFG_MSG_KEY;
uint32_t s_heartbeatS = 3;
uint32_t s_silenceS = 10;
char s_keys[EP_KEYS_MAX][EP_KEY_PATH_MAX_LEN + 1];
int32_t s_keyCount = 0;
// The build's path, or a copy of the one set (kept out of the image's data).
const char *s_usign = ADAPTER_CFG_USIGN_PATH;
char s_usignSet[EP_PATH_MAX];
bool s_localUpgrade = true;

}  // namespace

int32_t EP_SetRoot(const char *root)
{
    if (root == nullptr || root[0] == '\0') {
        s_rooted = false;
        return 0;
    }
    char tmp[EP_PATH_COUNT][EP_PATH_MAX];
    for (int i = 0; i < EP_PATH_COUNT; i++) {
        int n = snprintf(tmp[i], sizeof tmp[i], "%s%s", root, s_defaults[i]);
        if (n < 0 || (size_t)n >= sizeof tmp[i])
            return -1;
    }
    memcpy(s_paths, tmp, sizeof s_paths);
    s_rooted = true;
    return 0;
}

// Sets server i (host null: keep its host). 0, or -1 when host does not fit.
static int32_t epPutServer(int32_t i, const char *host, uint16_t port)
{
    size_t n = host != nullptr ? strlen(host) : 0;
    if (n >= EP_HOST_MAX)
        return -1;
    if (host != nullptr) {
        memcpy(s_hostBufs[i], host, n + 1);
        s_hosts[i] = s_hostBufs[i];
    }
    s_ports[i] = port;
    return 0;
}

int32_t EP_SetServer(const char *host, uint16_t port)
{
    if (epPutServer(0, host, port) != 0)
        return -1;
    s_serverCount = 1;
    return 0;
}

int32_t EP_AddServer(const char *host, uint16_t port)
{
    if (s_serverCount >= EP_SERVER_MAX || host == nullptr || epPutServer(s_serverCount, host, port) != 0)
        return -1;
    s_serverCount++;
    return 0;
}

void EP_SetBackupS(uint32_t seconds) { s_backupS = seconds; }
uint32_t EP_BackupS() { return s_backupS; }

void EP_SetFtpPort(uint16_t port) { s_ftpPort = port; }
void EP_SetMsgKey(int32_t key) { s_msgKey = key; }

void EP_SetIntervals(uint32_t heartbeatS, uint32_t silenceS)
{
    s_heartbeatS = heartbeatS;
    s_silenceS = silenceS;
}

const char *EP_Path(EpPath which)
{
    if (which < 0 || which >= EP_PATH_COUNT)
        return "";
    return s_rooted ? s_paths[which] : s_defaults[which];
}

const char *EP_ServerHost() { return s_hosts[0]; }
uint16_t EP_ServerPort() { return s_ports[0]; }
int32_t EP_ServerCount() { return s_serverCount; }
const char *EP_ServerHostAt(int32_t i) { return s_hosts[(uint32_t)i % (uint32_t)s_serverCount]; }
uint16_t EP_ServerPortAt(int32_t i) { return s_ports[(uint32_t)i % (uint32_t)s_serverCount]; }
uint16_t EP_FtpPort() { return s_ftpPort; }
int32_t EP_MsgKey() { return s_msgKey; }
uint32_t EP_HeartbeatS() { return s_heartbeatS; }
uint32_t EP_SilenceS() { return s_silenceS; }

int32_t EP_AddUpgradeKey(const char *path)
{
    size_t n = path != nullptr ? strlen(path) : 0;
    if (s_keyCount >= EP_KEYS_MAX || n == 0 || n > EP_KEY_PATH_MAX_LEN)
        return -1;
    memcpy(s_keys[s_keyCount++], path, n + 1);
    return 0;
}

int32_t EP_UpgradeKeyCount() { return s_keyCount; }
const char *EP_UpgradeKey(int32_t i) { return i >= 0 && i < s_keyCount ? s_keys[i] : ""; }

int32_t EP_SetUsignPath(const char *path)
{
    size_t n = path != nullptr ? strlen(path) : 0;
    if (n == 0 || n >= sizeof s_usignSet)
        return -1;
    memcpy(s_usignSet, path, n + 1);
    s_usign = s_usignSet;
    return 0;
}

const char *EP_UsignPath() { return s_usign; }
void EP_SetLocalUpgrade(bool on) { s_localUpgrade = on; }
bool EP_LocalUpgrade() { return s_localUpgrade; }
