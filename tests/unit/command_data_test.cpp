// The command record: frames as they go on the wire, timeouts, limits and its events.
#include "engine/command_data.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using orn::CCommandData;

std::vector<uint8_t> FrameOf(const CCommandData& record) {
    const unsigned char* frame = nullptr;
    int32_t length = record.GetFrame(&frame);
    return std::vector<uint8_t>(frame, frame + length);
}

std::vector<uint8_t> EncodedFrameOf(const CCommandData& record) {
    const unsigned char* frame = nullptr;
    int32_t length = record.GetEncodedFrame(&frame);
    if (length < 0) return {};
    return std::vector<uint8_t>(frame, frame + length);
}

// Frame worked out by hand: start, id, payload, end, then the XOR over everything after the
// start byte (the start byte too when it is not STX).
std::vector<uint8_t> Expected(uint8_t start, const std::string& body, uint8_t end) {
    std::vector<uint8_t> frame;
    frame.reserve(body.size() + 3);
    frame.push_back(start);
    for (char c : body) frame.push_back(static_cast<uint8_t>(c));
    frame.push_back(end);
    uint8_t lrc = start == 0x02 ? 0 : start;
    for (size_t i = 1; i < frame.size(); ++i) lrc ^= frame[i];
    frame.push_back(lrc);
    return frame;
}

// The frame bytes themselves are the link layer's; the record brings its id, its payload in
// pieces and its frame characters to them, and a text frame has no encoded form.
TEST(CommandDataFrame, TextCommandsCarryIdPayloadAndFrameCharacters) {
    // Continuation blocks start with SOH, which then counts in the LRC.
    CCommandData block;
    block.SetRequestId("MB.");
    block.AppendData("0123");
    block.SetFrameChars(0x01, 0x17);
    block.BuildFrame(false);
    EXPECT_EQ(FrameOf(block), Expected(0x01, "MB.0123", 0x17));

    // Payload appended in pieces, text and bytes.
    CCommandData pieces;
    pieces.SetRequestId("6T.");
    pieces.AppendData("12");
    const unsigned char raw[] = {'3', '4'};
    pieces.AppendData(raw, 2);
    EXPECT_FALSE(pieces.BuildFrame(false));
    EXPECT_EQ(pieces.GetEncodedFrame(nullptr), -1);
    EXPECT_EQ(FrameOf(pieces), Expected(0x02, "6T.1234", 0x03));
}

TEST(CommandDataFrame, RawDataIsP16EncodedOnlyOnTheSerialLink) {
    const unsigned char payload[] = {0x00, 0x02, 0x05, 0x07};
    for (const char* id : {"F0.", "F1."}) {
        CCommandData record;
        record.SetRequestId(id);
        record.AppendData(payload, 4);
        ASSERT_TRUE(record.BuildFrame(false)) << id;
        const std::vector<uint8_t> plain =
            Expected(0x02, std::string(id) + std::string(payload, payload + 4), 0x03);
        EXPECT_EQ(FrameOf(record), plain);
        // 00 02 05 07 encodes to 40 40 48 45 41 70.
        EXPECT_EQ(EncodedFrameOf(record),
                  Expected(0x02, std::string(id) + "\x40\x40\x48\x45\x41\x70", 0x03));

        // The 8-bit link sends the plain frame only; an earlier encoded frame is dropped.
        EXPECT_FALSE(record.BuildFrame(true));
        EXPECT_EQ(FrameOf(record), plain);
        EXPECT_EQ(record.GetEncodedFrame(nullptr), -1);
    }
    CCommandData text;
    text.SetRequestId("F2.");
    text.AppendData("AB");
    EXPECT_FALSE(text.BuildFrame(false));
}

TEST(CommandDataLimits, NamesIdsAndPayloadAreBounded) {
    CCommandData record;
    record.SetName(std::string(300, 'n').c_str());
    EXPECT_EQ(std::string(record.GetName()), std::string(255, 'n'));

    record.SetRequestId("5B.X");
    EXPECT_EQ(record.GetRequestId(), "5B.");

    record.SetResponseId(std::string(70, 'r'));
    EXPECT_EQ(record.GetResponseId(nullptr), 64);
    record.SetResponseId("");
    EXPECT_EQ(record.GetResponseId(nullptr), 0);

    // 4 header bytes + 1194 payload bytes + end byte + LRC fill the 1200-byte buffer.
    const std::string big(CCommandData::kMaxPayload, 'p');
    EXPECT_TRUE(record.AppendData(big));
    EXPECT_FALSE(record.AppendData("x"));
    EXPECT_EQ(record.GetPayloadLength(), 1194);
    record.SetRequestId("ZZ.");
    record.BuildFrame(false);
    EXPECT_EQ(FrameOf(record), Expected(0x02, "ZZ." + big, 0x03));
}

TEST(CommandDataTimeouts, TimerExpiresOncePerStart) {
    CCommandData record;
    record.SetResponseTimeout(1);    // stored 1001 ms
    record.StartTimer(0xFFFFFF00u);  // across the wrap of the tick counter
    EXPECT_TRUE(record.TimerRunning());
    EXPECT_FALSE(record.TimerExpired(0xFFFFFF00u + 1001));
    EXPECT_EQ(record.TimerRemaining(0xFFFFFF00u + 1000), 2u);
    EXPECT_TRUE(record.TimerExpired(0xFFFFFF00u + 1002));
    EXPECT_FALSE(record.TimerExpired(0xFFFFFF00u + 5000));
    EXPECT_FALSE(record.TimerRunning());
}

// Out-of-range values must not index past the name tables.
TEST(CommandDataNames, ValuesOutsideTheTablesReadAsPlaceholders) {
    for (int32_t v : {-1, 8}) EXPECT_STREQ(orn::GetStateName(v), "???") << v;
    for (int32_t v : {15, 17}) EXPECT_STREQ(orn::GetGroupName(v), "???") << v;
    EXPECT_STREQ(orn::GetCancelTypeName(4), "???");
    for (int32_t v : {0, 15}) EXPECT_STREQ(orn::GetCallbackKindName(v), "") << v;
}

}  // namespace
