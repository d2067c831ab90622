// The receive stream against a model: seeded random streams of every
// message the server sends, with request padding and now and then a
// framing fault, cut at random points and fed with random pauses. Exactly
// the whole messages before the first fault come out, each once, in order;
// a pause of the limit inside a message is a fault, one between messages
// is not.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "link/message.h"
#include "link/stream.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int32_t kLimitMs = 10000;

struct Piece {
    Bytes b;
    bool message;  // false: padding, or the bytes of a fault
};

Bytes RandomMessage(std::mt19937 &rng)
{
    auto byte = [&rng] { return (uint8_t)rng(); };
    auto text = [&](Bytes &m, size_t off, size_t maxLen) {
        size_t n = rng() % (maxLen + 1);
        for (size_t i = 0; i < n; i++)
            m[off + i] = (uint8_t)('a' + rng() % 26);
    };
    switch (rng() % 5) {
    case 0:
        return {1, (uint8_t)(rng() % 2 ? 0x80 : 0x81), byte()};
    case 1: {
        uint32_t len = rng() % 4 == 0 ? MSG_DATA_MAX : rng() % (MSG_DATA_MAX + 1);
        Bytes m = {1, 0x40, byte(), byte(), byte(), byte(), (uint8_t)len, (uint8_t)(len >> 8), 0, 0};
        for (uint32_t i = 0; i < len; i++)
            m.push_back(byte());  // payload that may well look like requests
        return m;
    }
    case 2: {
        Bytes m(MSG_DEVINFO_LEN, 0);
        m[0] = 1;
        m[1] = 0x42;
        text(m, MSG_OFF_DEV_SERIALNUM, 12);
        text(m, MSG_OFF_DEV_PAIRCODE, 8);
        return m;
    }
    default: {
        Bytes m(MSG_OFF_UPG_PATH, 0);
        m[0] = 1;
        m[1] = 0xC1;
        text(m, MSG_OFF_UPG_URL, 31);
        size_t path = rng() % (MSG_MAX_LEN - MSG_OFF_UPG_PATH);
        for (size_t i = 0; i < path; i++)
            m.push_back((uint8_t)('/' + rng() % 60));
        m.push_back(0);
        return m;
    }
    }
}

Bytes RandomFault(std::mt19937 &rng)
{
    switch (rng() % 4) {
    case 0:
        return {(uint8_t)(2 + rng() % 254), 0x40, 7, 1};  // not the version
    case 1:
        return {1, 0x55, 0};                               // unknown command
    case 2:
        return {1, 0x40, 7, 1, 0, 0, 0x70, 0x04, 0, 0};    // 1136 bytes of data
    default: {
        Bytes m(MSG_MAX_LEN, 'p');                          // path never ends
        m[0] = 1;
        m[1] = 0x41;
        return m;
    }
    }
}

TEST(Stream, RandomStreamsCutAtRandomPointsGiveExactlyTheWholeMessagesBeforeTheFirstFault)
{
    for (uint32_t seed = 1; seed <= 3000; seed++) {
        std::mt19937 rng(seed);
        std::vector<Piece> pieces;
        for (int n = 1 + rng() % 10; n > 0; n--) {
            pieces.push_back({RandomMessage(rng), true});
            uint8_t cmd = pieces.back().b[1] & MSG_CMD_MASK;
            if ((cmd == MSG_CMD_UPGRADE || cmd == MSG_CMD_DEVINFO) && rng() % 2)
                pieces.push_back({Bytes(1 + rng() % 30, 0), false});
        }
        if (rng() % 3 == 0)
            pieces.push_back({RandomFault(rng), false});
        Bytes all;
        std::vector<size_t> start, end;  // of each piece
        for (const auto &p : pieces) {
            start.push_back(all.size());
            all.insert(all.end(), p.b.begin(), p.b.end());
            end.push_back(all.size());
        }

        // The cuts and pauses, and when each byte arrives.
        std::vector<std::pair<size_t, int64_t>> chunks;  // length, arrival time
        std::vector<int64_t> at(all.size());
        int64_t now = 1000;
        for (size_t off = 0; off < all.size();) {
            size_t n = std::min(all.size() - off, (size_t)(1 + rng() % (rng() % 2 ? 40 : MSG_MAX_LEN)));
            now += rng() % 20 == 0 ? kLimitMs + rng() % 5000 : rng() % (kLimitMs / 8);
            chunks.push_back({n, now});
            std::fill(at.begin() + off, at.begin() + off + n, now);
            off += n;
        }
        // The model: a message must be whole within the limit of its first
        // byte; the first fault or late message ends what comes out.
        std::vector<Bytes> want;
        bool wantFault = false;
        for (size_t i = 0; i < pieces.size() && !wantFault; i++) {
            if (!pieces[i].message && pieces[i].b[0] == 0)
                continue;  // padding
            wantFault = !pieces[i].message || at[end[i] - 1] - at[start[i]] >= kLimitMs;
            if (!wantFault)
                want.push_back(pieces[i].b);
        }

        STREAM_Reset();
        std::vector<Bytes> got;
        bool fault = false;
        auto drain = [&](int64_t t) {
            for (;;) {
                const uint8_t *msg;
                int32_t len;
                const char *why = nullptr;
                int32_t r = STREAM_Front(t, kLimitMs, &msg, &len, &why);
                if (r == STREAM_WAIT)
                    return;
                if (r == STREAM_FAULT) {
                    ASSERT_NE(why, nullptr);
                    fault = true;
                    return;
                }
                got.emplace_back(msg, msg + len);
                STREAM_Consume();
            }
        };
        size_t off = 0;
        for (size_t c = 0; c < chunks.size() && !fault; c++) {
            drain(chunks[c].second);  // the link looks when its wait ends, before the bytes come
            if (fault)
                break;
            int32_t room;
            uint8_t *tail = STREAM_Tail(&room);
            ASSERT_GE(room, MSG_MAX_LEN) << "seed " << seed;  // a whole receive always fits
            size_t n = chunks[c].first;
            std::copy(all.begin() + off, all.begin() + off + n, tail);
            STREAM_Received((int32_t)n);
            off += n;
            drain(chunks[c].second);
        }
        ASSERT_EQ(got, want) << "seed " << seed;
        ASSERT_EQ(fault, wantFault) << "seed " << seed;
    }
}

// A broken connection keeps the whole messages it delivered and forgets the
// one it cut off; the kept ones are given up together.
TEST(Stream, DroppedConnectionKeepsWholeMessagesOnly)
{
    STREAM_Reset();
    Bytes in = {1, 0x40, 7, 1, 0, 0, 2, 0, 0, 0, 'a', 'b', 1, 0x81, 0, 1, 0x40, 7, 1, 0, 0, 5, 0, 0, 0, 'x'};
    int32_t room;
    std::copy(in.begin(), in.end(), STREAM_Tail(&room));
    STREAM_Received((int32_t)in.size());
    EXPECT_EQ(STREAM_Dropped(5000), 15);
    EXPECT_EQ(STREAM_KeptLen(), 15);
    EXPECT_EQ(STREAM_KeptSince(), 5000);
    const uint8_t *msg;
    int32_t len;
    const char *why;
    ASSERT_EQ(STREAM_Front(5000, kLimitMs, &msg, &len, &why), STREAM_MSG);
    EXPECT_EQ(len, 12);
    STREAM_Consume();
    EXPECT_EQ(STREAM_KeptLen(), 3);
    int32_t bytes = 0;
    EXPECT_EQ(STREAM_GiveUpKept(&bytes), 1);
    EXPECT_EQ(bytes, 3);
    EXPECT_EQ(STREAM_Front(5000, kLimitMs, &msg, &len, &why), STREAM_WAIT);

    // Only a request is padded: a zero after a data message begins no
    // message and is a fault, not padding to skip.
    STREAM_Reset();
    Bytes data = {1, 0x40, 7, 1, 0, 0, 1, 0, 0, 0, 'a', 0, 1, 0x81, 0};
    std::copy(data.begin(), data.end(), STREAM_Tail(&room));
    STREAM_Received((int32_t)data.size());
    ASSERT_EQ(STREAM_Front(5000, kLimitMs, &msg, &len, &why), STREAM_MSG);
    STREAM_Consume();
    EXPECT_EQ(STREAM_Front(5000, kLimitMs, &msg, &len, &why), STREAM_FAULT);
}

}  // namespace
