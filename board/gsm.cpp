// Modem AT commands: each function writes one fixed command to the modem's
// port and waits for any reply, which ends after 0.1 s of silence. The reply
// is not interpreted; only whether one came. No state.
#include "board/gsm.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/common.h"
#include "core/log.h"
#include "serial/uart.h"

namespace {

constexpr int32_t GSM_REPLY_SIZE = 100;

// Sends cmd and waits for a reply. badFdMsg (may be null) is printed for
// handle -1. 0 when at least one byte came back, else -1.
int32_t gsmCommand(int32_t fd, const char *cmd, const char *badFdMsg)
{
    uint8_t reply[GSM_REPLY_SIZE];
    memset(reply, 0, sizeof reply);
    // Tried again every 20 s while the modem port is missing.
    if (fd == -1) {
        if (badFdMsg != nullptr && LOG_Failure("modem command", EBADF))
            puts(badFdMsg);
        return -1;
    }
    LOG_Ok("modem command");
    UART_Write(fd, reinterpret_cast<const uint8_t *>(cmd), (int32_t)strlen(cmd));
    return UART_Read(fd, reply, GSM_REPLY_SIZE) > 0 ? 0 : -1;
}

}  // namespace

int32_t gsmEnableState(int32_t fd)
{
    return gsmCommand(fd, "AT^LEDCTRL=1\r", COMM_TAG("GSM") ":gsmEnableState: bad fd\r");
}

int32_t gsmDisableState(int32_t fd)
{
    return gsmCommand(fd, "AT^LEDCTRL=0\r", COMM_TAG("GSM") ":gsmDisableState: bad fd\r");
}

int32_t gsmReset(int32_t fd)
{
    return gsmCommand(fd, "AT^RESET\r", COMM_TAG("GSM") ":gsmReset: bad fd\r");
}

int32_t gsmRegNetwork(int32_t fd)
{
    return gsmCommand(fd, "AT+CREG=1\r", nullptr);
}
