// Endpoints: every address and file path the adapter uses. The production
// daemon keeps the compiled-in values; the sandbox entry point overrides them
// once, before the adapter starts, so no module reads the environment and no
// thread ever sees them change.
#pragma once
#include <cstddef>
#include <cstdint>

enum EpPath : int {
    EP_PATH_SERIAL = 0,  // user serial port
    EP_PATH_MODEM,       // modem AT port
    EP_PATH_DEVINFO,     // identity file
    EP_PATH_PACKAGE,     // upgrade package file
    EP_PATH_LED_DATA,    // data LED brightness file
    EP_PATH_LED_ONLINE,  // online LED brightness file
    EP_PATH_STATUS,      // state file (RAM disk; its folder is made)
    // Staging files, each written beside its target and renamed over it
    // once whole. Nothing in them outlives the process that wrote them, so
    // they are the files start-up and the final clean-up remove; they come
    // last so the two can walk them from EP_PATH_STAGING_FIRST.
    EP_PATH_DOWNLOAD,    // package fetched over FTP ("<package>.download")
    EP_PATH_PART,        // package pushed over the serial port ("<package>.part")
    EP_PATH_DEVINFO_TMP, // identity being rewritten ("<identity>.tmp")
    EP_PATH_STATUS_TMP,  // state file being rewritten ("<state file>.tmp")
    EP_PATH_DOWNLOAD_SIG,  // the package's signature ("<package>.download.sig")
    EP_PATH_COUNT,
    EP_PATH_STAGING_FIRST = EP_PATH_DOWNLOAD
};

// Prefixes root to every path. Returns 0, or -1 when a prefixed path would
// not fit (the paths then stay as they were).
int32_t EP_SetRoot(const char *root);
// Longest server host name the adapter holds, in characters.
constexpr size_t EP_HOST_MAX_LEN = 255;
// Servers the adapter may use, the first one first.
constexpr int32_t EP_SERVER_MAX = 4;
// Makes host (copied, at most EP_HOST_MAX_LEN characters; null keeps the
// first host) and port the one server. Returns 0, or -1 for a host that
// does not fit (nothing changed).
int32_t EP_SetServer(const char *host, uint16_t port);
// Adds a backup server after those set. 0, or -1 when the host does not
// fit or EP_SERVER_MAX are set (nothing changed).
int32_t EP_AddServer(const char *host, uint16_t port);
// How long the link stays on a backup before the first server is tried
// again at the next drop, in seconds (600 unless a test shortens it).
void EP_SetBackupS(uint32_t seconds);
uint32_t EP_BackupS();
void EP_SetFtpPort(uint16_t port);
void EP_SetMsgKey(int32_t key);
// Heartbeat interval (a heartbeat goes out when the link has been quiet
// that long) and silence limit (the link is dropped after that long without
// a byte from the server), in seconds; 3 and 10 unless set. Called before
// any thread starts; values are checked by the caller.
void EP_SetIntervals(uint32_t heartbeatS, uint32_t silenceS);
uint32_t EP_HeartbeatS();
uint32_t EP_SilenceS();

// Upgrade signing. Public key files the maker trusts (paths copied, at most
// EP_KEY_PATH_MAX_LEN characters; checked by the caller): 0, or -1 when
// EP_KEYS_MAX are held already or the path does not fit (nothing changed).
constexpr int32_t EP_KEYS_MAX = 4;
constexpr size_t EP_KEY_PATH_MAX_LEN = 255;
int32_t EP_AddUpgradeKey(const char *path);
int32_t EP_UpgradeKeyCount();
const char *EP_UpgradeKey(int32_t i);  // "" outside 0..count-1
// The verifier program (the build's ADAPTER_USIGN_PATH unless set). 0, or -1
// for a path that does not fit (nothing changed).
int32_t EP_SetUsignPath(const char *path);
const char *EP_UsignPath();
// Whether upgrade frames from the serial side are taken (true unless set).
void EP_SetLocalUpgrade(bool on);
bool EP_LocalUpgrade();

const char *EP_Path(EpPath which);
// The first server's host and port.
const char *EP_ServerHost();
uint16_t EP_ServerPort();
// Servers set (1 to EP_SERVER_MAX), and server i's host and port (i taken
// modulo that count).
int32_t EP_ServerCount();
const char *EP_ServerHostAt(int32_t i);
uint16_t EP_ServerPortAt(int32_t i);
uint16_t EP_FtpPort();
int32_t EP_MsgKey();
