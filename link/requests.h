// The server's management requests: the upgrade (an FTP download of the
// package, then the adapter ends) and the identity change (the identity
// file rewritten, then the adapter ends). They run on the link thread,
// which hands each whole request over and answers through TCP_SendData.
#pragma once
#include <cstdint>

// Handlers of the upgrade and identity-change requests. len is the
// message's length; fields are read only within it. A text field that
// fills its width without a terminator holds a value longer than the field:
// the request is refused (upgrade answered 7, identity 1), never cut.
void tcpUpgradeAdapter(const uint8_t *msg, int32_t len);
void tcpModifyDeviceInfo(const uint8_t *msg, int32_t len);
// 1 when the package was stored in place, 0 otherwise (earlier package kept,
// staging files removed). A refusal for its signature sets *reason (may be
// null) to what the state file says ("unsigned", "bad signature" ...);
// otherwise *reason is unchanged.
int32_t upgradeDownlodFile(const uint8_t *msg, int32_t len, const char **reason = nullptr);
// Runs cmd with system(); 1 when filePath exists afterwards, else 0.
// Nothing in the adapter calls it (it would fork).
int32_t tcpHttpGetFile(const char *cmd, const char *filePath);
