// Server message format: the two writers of the common header and the
// cutter of received messages. Message bodies are written by the module
// that owns each message, at the offsets declared in message.h.
#include "link/message.h"

#include <cstring>

#include "core/common.h"

int32_t MSG_SetHead(uint8_t *buf, uint8_t cmd)
{
    buf[MSG_OFF_VERSION] = MSG_PROTOCOL_VERSION;
    buf[MSG_OFF_CMD] = (uint8_t)(cmd & MSG_CMD_MASK);
    return 0;
}

int32_t MSG_SetResp(uint8_t *buf, uint8_t cmd, uint8_t value)
{
    buf[MSG_OFF_VERSION] = MSG_PROTOCOL_VERSION;
    buf[MSG_OFF_CMD] = (uint8_t)(cmd | MSG_RESP_FLAG);
    buf[MSG_OFF_ERRORCODE] = value;
    return 0;
}

namespace {

// Length of a message that is complete once `want` bytes are there.
int32_t msgFixed(int32_t want, int32_t avail)
{
    return avail >= want ? want : 0;
}

int32_t msgDataLen(const uint8_t *buf, int32_t avail)
{
    if (avail < MSG_DATA_HEAD_LEN)
        return 0;
    uint32_t dataLen = COMM_GetLe32(buf + MSG_OFF_DATALEN);
    // Guessing an end for a length no message can have is how payload
    // would come to be read as a request.
    if (dataLen > (uint32_t)MSG_DATA_MAX)
        return MSG_FAULT_LENGTH;
    return msgFixed(MSG_DATA_HEAD_LEN + (int32_t)dataLen, avail);
}

int32_t msgUpgradeLen(const uint8_t *buf, int32_t avail)
{
    int32_t lim = avail < MSG_MAX_LEN ? avail : MSG_MAX_LEN;
    if (lim > MSG_OFF_UPG_PATH) {
        const void *nul = memchr(buf + MSG_OFF_UPG_PATH, 0, (size_t)(lim - MSG_OFF_UPG_PATH));
        if (nul != nullptr)
            return (int32_t)((const uint8_t *)nul - buf) + 1;
    }
    return avail >= MSG_MAX_LEN ? MSG_FAULT_TERMINATOR : 0;
}

}  // namespace

int32_t MSG_FrameLen(const uint8_t *buf, int32_t avail)
{
    if (avail <= 0)
        return 0;
    if (buf[MSG_OFF_VERSION] != MSG_PROTOCOL_VERSION)
        return MSG_FAULT_VERSION;
    if (avail < 2)
        return 0;
    switch (buf[MSG_OFF_CMD] & MSG_CMD_MASK) {
    case MSG_CMD_ONLINE:
    case MSG_CMD_HEARTBEAT:
        return msgFixed(MSG_RESULT_LEN, avail);
    case MSG_CMD_UART_DATA:
        return msgDataLen(buf, avail);
    case MSG_CMD_UPGRADE:
        return msgUpgradeLen(buf, avail);
    case MSG_CMD_DEVINFO:
        return msgFixed(MSG_DEVINFO_LEN, avail);
    default:
        return MSG_FAULT_COMMAND;
    }
}

const char *MSG_FaultText(int32_t fault)
{
    switch (fault) {
    case MSG_FAULT_VERSION:
        return "not version 1";
    case MSG_FAULT_COMMAND:
        return "unknown command";
    case MSG_FAULT_LENGTH:
        return "data length above 1014";
    case MSG_FAULT_TERMINATOR:
        return "path without its terminator";
    default:
        return "message incomplete in time";
    }
}
