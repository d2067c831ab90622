// Server message format: the two writers of the common header. Message
// bodies are written by the module that owns each message, at the offsets
// declared in message.h.
#include "link/message.h"

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
