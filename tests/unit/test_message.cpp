// Golden byte strings of the server protocol, built the way the adapter
// builds them.
#include <gtest/gtest.h>

#include <pthread.h>
#include <cstring>
#include <vector>

#include "core/common.h"
#include "core/endpoints.h"
#include "core/globals.h"
#include "core/identity.h"
#include "link/message.h"
#include "link/tcpThread.h"
#include "tests/support/harness.h"

namespace {

std::vector<uint8_t> V(const uint8_t *p, size_t n) { return std::vector<uint8_t>(p, p + n); }

TEST(Message, OnlineRequestCarriesVersionAndIdentity)
{
    th::Sandbox sb;
    ASSERT_EQ(EP_SetRoot(sb.root().c_str()), 0);
    ASSERT_EQ(GB_ModifyDeviceInfo("ABC", "12"), 0);

    uint8_t buf[MSG_ONLINE_LEN + 4];
    memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(tcpBuildOnlineRequest(buf), MSG_ONLINE_LEN);
    std::vector<uint8_t> want = {0x01, 0x00, 0x01, 0x31, 0x2E, 0x31, 0, 0, 0, 0, 0};
    for (uint8_t c : {0x41, 0x42, 0x43})
        want.push_back(c);
    want.resize(want.size() + 9, 0);
    want.push_back(0x31);
    want.push_back(0x32);
    want.resize(want.size() + 6, 0);
    ASSERT_EQ(want.size(), 31u);
    EXPECT_EQ(V(buf, MSG_ONLINE_LEN), want);
    // Nothing written past the message.
    EXPECT_EQ(buf[MSG_ONLINE_LEN], 0xEE);
}

TEST(Message, OnlineRequestWithLongestIdentityKeepsTerminators)
{
    th::Sandbox sb;
    ASSERT_EQ(EP_SetRoot(sb.root().c_str()), 0);
    ASSERT_EQ(GB_ModifyDeviceInfo("ABCDEFGHIJK", "1234567"), 0);
    uint8_t buf[MSG_ONLINE_LEN];
    tcpBuildOnlineRequest(buf);
    EXPECT_EQ(memcmp(buf + MSG_OFF_SERIALNUM, "ABCDEFGHIJK\0", 12), 0);
    EXPECT_EQ(memcmp(buf + MSG_OFF_PAIRCODE, "1234567\0", 8), 0);
}

TEST(Message, HeartbeatAndUplinkData)
{
    uint8_t hb[MSG_HEARTBEAT_LEN] = {0, 0};
    EXPECT_EQ(MSG_SetHead(hb, MSG_CMD_HEARTBEAT), 0);
    EXPECT_EQ(V(hb, 2), (std::vector<uint8_t>{0x01, 0x01}));

    // As the serial thread fills it: zeroed buffer, header, length, data.
    uint8_t msg[MSG_MAX_LEN] = {};
    MSG_SetHead(msg, MSG_CMD_UART_DATA);
    COMM_PutLe32(msg + MSG_OFF_DATALEN, 3);
    memcpy(msg + MSG_DATA_HEAD_LEN, "ABC", 3);
    EXPECT_EQ(V(msg, MSG_DATA_HEAD_LEN + 3),
              (std::vector<uint8_t>{0x01, 0x40, 0, 0, 0, 0, 0x03, 0, 0, 0, 0x41, 0x42, 0x43}));
}

TEST(Message, HeadClearsAndRespSetsTheResponseFlag)
{
    uint8_t b[3] = {0xFF, 0xFF, 0x5A};
    MSG_SetHead(b, MSG_CMD_UPGRADE | MSG_RESP_FLAG);
    EXPECT_EQ(V(b, 3), (std::vector<uint8_t>{0x01, 0x41, 0x5A}));

    struct {
        uint8_t cmd, code;
        std::vector<uint8_t> want;
    } cases[] = {
        {MSG_CMD_UPGRADE, MSG_RESULT_ACCEPTED, {0x01, 0xC1, 0x06}},
        {MSG_CMD_UPGRADE, MSG_RESULT_OK, {0x01, 0xC1, 0x00}},
        {MSG_CMD_UPGRADE, MSG_RESULT_UPGRADE_FAIL, {0x01, 0xC1, 0x07}},
        {MSG_CMD_DEVINFO, MSG_RESULT_OK, {0x01, 0xC2, 0x00}},
        {MSG_CMD_DEVINFO, MSG_RESULT_DEVINFO_FAIL, {0x01, 0xC2, 0x01}},
    };
    for (const auto &c : cases) {
        uint8_t r[4] = {0, 0, 0, 0xEE};
        EXPECT_EQ(MSG_SetResp(r, c.cmd, c.code), 0);
        EXPECT_EQ(V(r, 3), c.want);
        EXPECT_EQ(r[3], 0xEE);
    }
}

// Where a message in a received stream ends, by its own layout, exactly
// when its last byte is there; and what no length can be found for.
TEST(Message, FrameLengthsCutAReceivedStream)
{
    auto msg = [](std::vector<uint8_t> head, size_t total, uint8_t fill) {
        head.resize(total, fill);
        return head;
    };
    std::vector<uint8_t> data = {1, 0x40, 7, 1, 0, 0, 3, 0, 0, 0, 'a', 'b', 'c', 1, 1};
    std::vector<uint8_t> huge = msg({1, 0x40, 7, 1, 0, 0, 0x88, 0x13, 0, 0}, 1100, 'x');  // dataLen 5000
    std::vector<uint8_t> upg = msg({1, 0xC1}, 58, 'u');
    upg.insert(upg.end(), {'/', 'p', 0, 1, 1});
    struct {
        std::vector<uint8_t> b;
        size_t avail;
        int32_t want;
    } cases[] = {
        {{}, 0, 0}, {{2, 0x40}, 2, -1}, {{1}, 1, 0}, {{1, 0x80, 5, 1}, 4, 3}, {{1, 0x01}, 2, 0},
        {data, 12, 0}, {data, 13, 13}, {data, 15, 13}, {huge, 9, 0}, {huge, 10, MSG_FAULT_LENGTH},
        {msg({1, 0x42}, 30, 'd'), 21, 0}, {msg({1, 0x42}, 30, 'd'), 22, 22}, {msg({1, 0x42}, 30, 'd'), 30, 22},
        {upg, 60, 0}, {upg, 61, 61}, {upg, 63, 61}, {msg({1, 0x41}, 1100, 'u'), 1023, 0},
        {msg({1, 0x41}, 1100, 'u'), 1024, MSG_FAULT_TERMINATOR}, {msg({1, 0x33}, 5, 0), 2, MSG_FAULT_COMMAND},
    };
    for (const auto &c : cases)
        EXPECT_EQ(MSG_FrameLen(c.b.data(), (int32_t)c.avail), c.want) << th::Hex(c.b) << " / " << c.avail;
}

}  // namespace
