// The server's receive stream. One buffer of two messages' size: the link
// reads only when the front has been taken, so what waits there is less
// than a message and a whole receive fits behind it. The front is cut by
// MSG_FrameLen alone; a message still arriving has the caller's limit (the
// link's silence limit) from the moment it is seen at the front, which is
// only ever while the link is reading: a front that waits for the device
// is a whole message, never a partial one.
#include "link/stream.h"

#include <cstring>

#include "link/message.h"

namespace {

constexpr int32_t STREAM_SIZE = 2 * MSG_MAX_LEN;

struct StreamInfo {
    int32_t len;          // bytes in the buffer
    int32_t frontLen;     // length of the whole message at the front; 0 none
    int32_t keptLen;      // front bytes from a broken connection
    int64_t keptSince;    // when that connection broke
    int64_t partialSince; // when an incomplete front was first seen; -1 none
    bool padding;         // zero bytes at the front are a request's padding
};

StreamInfo s_stream = {0, 0, 0, 0, -1, false};
// Zero-filled, so it takes no room in the daemon's file.
uint8_t s_buf[STREAM_SIZE];

void streamDrop(int32_t n)
{
    memmove(s_buf, s_buf + n, (size_t)(s_stream.len - n));
    s_stream.len -= n;
    s_stream.keptLen = s_stream.keptLen > n ? s_stream.keptLen - n : 0;
}

// Skips a request's zero padding at the front; true when bytes remain.
bool streamSkipPadding()
{
    if (!s_stream.padding)
        return s_stream.len > 0;
    int32_t n = 0;
    while (n < s_stream.len && s_buf[n] == 0)
        n++;
    streamDrop(n);
    if (s_stream.len > 0)
        s_stream.padding = false;
    return s_stream.len > 0;
}

}  // namespace

void STREAM_Reset()
{
    s_stream = StreamInfo{0, 0, 0, 0, -1, false};
}

uint8_t *STREAM_Tail(int32_t *room)
{
    *room = STREAM_SIZE - s_stream.len;
    return s_buf + s_stream.len;
}

void STREAM_Received(int32_t n)
{
    int32_t room = STREAM_SIZE - s_stream.len;
    if (n > 0)
        s_stream.len += n < room ? n : room;
}

int32_t STREAM_Front(int64_t nowMs, int32_t limitMs, const uint8_t **msg, int32_t *len, const char **why)
{
    *msg = s_buf;
    *len = 0;
    s_stream.frontLen = 0;
    if (!streamSkipPadding()) {
        s_stream.partialSince = -1;
        return STREAM_WAIT;
    }
    int32_t n = MSG_FrameLen(s_buf, s_stream.len);
    *len = n > 0 ? n : s_stream.len;
    if (n < 0) {
        *why = MSG_FaultText(n);
        return STREAM_FAULT;
    }
    if (n > 0) {
        s_stream.partialSince = -1;
        s_stream.frontLen = n;
        return STREAM_MSG;
    }
    if (s_stream.partialSince < 0)
        s_stream.partialSince = nowMs;
    if (nowMs - s_stream.partialSince < limitMs)
        return STREAM_WAIT;
    *why = MSG_FaultText(0);
    return STREAM_FAULT;
}

void STREAM_Consume()
{
    int32_t n = s_stream.frontLen;
    if (n <= 0)
        return;
    uint8_t cmd = (uint8_t)(s_buf[MSG_OFF_CMD] & MSG_CMD_MASK);
    // Servers pad their requests; zeros can never begin a message, so
    // skipping them cannot swallow one.
    s_stream.padding = cmd == MSG_CMD_UPGRADE || cmd == MSG_CMD_DEVINFO;
    s_stream.frontLen = 0;
    streamDrop(n);
}

int64_t STREAM_Deadline(int32_t limitMs)
{
    return s_stream.partialSince < 0 ? -1 : s_stream.partialSince + limitMs;
}

int32_t STREAM_Dropped(int64_t nowMs)
{
    streamSkipPadding();
    int32_t whole = 0;
    for (int32_t n; whole < s_stream.len && (n = MSG_FrameLen(s_buf + whole, s_stream.len - whole)) > 0;)
        whole += n;
    s_stream.len = whole;
    // Messages kept from an earlier break are as old as that break.
    if (s_stream.keptLen == 0)
        s_stream.keptSince = nowMs;
    s_stream.keptLen = whole;
    s_stream.frontLen = 0;
    s_stream.partialSince = -1;
    s_stream.padding = false;
    return whole;
}

void STREAM_Clear()
{
    STREAM_Reset();
}

int32_t STREAM_KeptLen()
{
    return s_stream.keptLen;
}

int64_t STREAM_KeptSince()
{
    return s_stream.keptSince;
}

int32_t STREAM_GiveUpKept(int32_t *bytes)
{
    int32_t count = 0;
    int32_t off = 0;
    for (int32_t n; off < s_stream.keptLen && (n = MSG_FrameLen(s_buf + off, s_stream.keptLen - off)) > 0;) {
        off += n;
        count++;
    }
    *bytes = s_stream.keptLen;
    s_stream.frontLen = 0;
    streamDrop(s_stream.keptLen);
    return count;
}
