// Frame bytes, LRC, the P1.6 codec and the hex dump layouts of the link layer.
#include <gtest/gtest.h>

#include <random>

#include "link/frame.h"
#include "log/logger.h"
#include "test_support.h"

namespace orn {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Of(const uint8_t* data, size_t length) {
    return Bytes(data, data + length);
}

TEST(FrameTest, CommandFramesCarryTheirLrc) {
    // "5B." with payload "7": LRC = '5' ^ 'B' ^ '.' ^ '7' ^ ETX = 0x6D.
    EXPECT_EQ(BuildFrame(kSTX, "5B.", "7", kETX),
              (Bytes{0x02, 0x35, 0x42, 0x2E, 0x37, 0x03, 0x6D}));
    // The cancel frame built from its parts equals the fixed one.
    Bytes cancel = BuildFrame(kSTX, "50.", "", kETX);
    EXPECT_EQ(cancel, (Bytes{0x02, 0x35, 0x30, 0x2E, 0x03, 0x28}));
    EXPECT_EQ(cancel, Of(kCancelFrame, sizeof kCancelFrame));
    EXPECT_EQ(Of(kAckFrame, 1), Bytes{0x06});
    EXPECT_EQ(Of(kNakFrame, 1), Bytes{0x15});
    EXPECT_EQ(Of(kLinkTestFrame, 1), Bytes{0x05});
}

TEST(FrameTest, LrcIncludesTheStartByteOnlyWhenItIsNotStx) {
    const uint8_t stxBlock[] = {kSTX, 'A', 'B', kETB};
    const uint8_t sohBlock[] = {kSOH, 'A', 'B', kETX};
    EXPECT_EQ(Lrc(stxBlock, sizeof stxBlock), 0x41 ^ 0x42 ^ 0x17);
    EXPECT_EQ(Lrc(sohBlock, sizeof sohBlock), 0x01 ^ 0x41 ^ 0x42 ^ 0x03);
    EXPECT_EQ(BuildFrame(kSOH, "", "AB", kETB), (Bytes{0x01, 0x41, 0x42, 0x17, 0x15}));
}

TEST(FrameTest, BuilderRefusesABufferTooSmall) {
    uint8_t out[9] = {};
    const uint8_t payload[] = {'1', '2', '3'};
    EXPECT_EQ(
        BuildFrame(out, 8, kSTX, reinterpret_cast<const uint8_t*>("5B."), 3, payload, 3, kETX), 0u);
    EXPECT_EQ(out[0], 0);  // nothing written
    EXPECT_EQ(
        BuildFrame(out, 9, kSTX, reinterpret_cast<const uint8_t*>("5B."), 3, payload, 3, kETX), 9u);
}

TEST(FrameTest, EmvAcknowledgementOnBothLinkWidths) {
    EXPECT_EQ(BuildEmvAckFrame(7, true),
              (Bytes{0x02, 0x46, 0x31, 0x2E, 0x00, 0x02, 0x05, 0x07, 0x03, 0x5A}));
    EXPECT_EQ(BuildEmvAckFrame(7, false),
              (Bytes{0x02, 0x46, 0x31, 0x2E, 0x40, 0x40, 0x48, 0x45, 0x41, 0x70, 0x03, 0x66}));
    EXPECT_EQ(BuildPlainEmvAckFrame(7), BuildEmvAckFrame(7, true));
}

TEST(FrameTest, RawDataIdentifiersIgnoreCase) {
    auto id = [](const char* text) { return reinterpret_cast<const uint8_t*>(text); };
    EXPECT_TRUE(IsRawDataId(id("F0."), 3));
    EXPECT_TRUE(IsRawDataId(id("f1.xyz"), 6));
    EXPECT_FALSE(IsRawDataId(id("F2."), 3));
    EXPECT_FALSE(IsRawDataId(id("F0"), 2));
    EXPECT_FALSE(IsRawDataId(id("5B."), 3));
}

TEST(P16Test, KnownVectorBothWays) {
    Bytes bytes{0x00, 0x02, 0x05, 0x07};
    Bytes chars{0x40, 0x40, 0x48, 0x45, 0x41, 0x70};
    EXPECT_EQ(P16Encode(bytes), chars);
    EXPECT_EQ(P16Decode(chars), bytes);
    // Bits 6 and 7 of a character carry nothing.
    EXPECT_EQ(P16Decode(Bytes{0x00, 0x00, 0x08, 0xC5, 0x81, 0x30}), bytes);
}

TEST(P16Test, LengthRules) {
    EXPECT_EQ(P16Encode(Bytes{0xFF}), (Bytes{0x7F, 0x70}));
    EXPECT_EQ(P16Encode(Bytes{0xFF, 0xFF}).size(), 3u);
    EXPECT_EQ(P16Encode(Bytes{0xFF, 0xFF, 0xFF}), (Bytes{0x7F, 0x7F, 0x7F, 0x7F}));
    EXPECT_EQ(P16Encode(Bytes{}).size(), 0u);
    EXPECT_EQ(P16Decode(Bytes(4, 0x7F)), (Bytes{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(P16Decode(Bytes(6, 0x40)).size(), 4u);
    EXPECT_EQ(P16Decode(Bytes(1, 0x7F)).size(), 0u);  // six bits make no byte
}

TEST(P16Test, RoundTripOverRandomData) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 500; ++round) {
        Bytes data(rng() % 300);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        Bytes chars = P16Encode(data);
        ASSERT_EQ(chars.size(), P16EncodedLength(data.size()));
        for (uint8_t c : chars) ASSERT_TRUE(c >= 0x40 && c <= 0x7F);
        // The zero padding never fills a byte, so decoding gives back exactly the data.
        ASSERT_EQ(P16Decode(chars), data);
    }
}

TEST(HexDumpTest, ShortFrame) {
    const uint8_t frame[] = {0x02, 0x35, 0x42, 0x2E, 0x37, 0x03, 0x6D};
    EXPECT_EQ(
        HexDump("TX Data", frame, sizeof frame),
        "TX Data (7):\n02 35 42 2E 37 03 6D " + std::string(27, ' ') + "  .5B.7.m         \n");
}

TEST(HexDumpTest, SeventeenBytesFillALineAndStartAnother) {
    Bytes bytes;
    for (char c : std::string("0123456789ABCDEF")) bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0x7F);  // DEL is not printable
    std::string expected =
        "RX (17):\n"
        "30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46   0123456789ABCDEF\n"
        "7F " +
        std::string(45, ' ') + "  .               \n";
    EXPECT_EQ(HexDump("RX", bytes.data(), bytes.size()), expected);
    // Every line has the same width: 16 * 3 + 2 + 16 + newline.
    std::string body = HexDumpBody(bytes.data(), bytes.size());
    EXPECT_EQ(body.size(), 2u * 67);
    EXPECT_EQ(HexDumpBody(nullptr, 0), "");
}

TEST(HexDumpTest, ReceivedFrameIsShownWithItsFraming) {
    const uint8_t stored[] = {'5', 'B', '.', '0'};
    EXPECT_EQ(
        ReceivedFrameDump("RX Data", stored, sizeof stored, 0x20),
        "RX Data (7):\n02 35 42 2E 30 03 20 " + std::string(27, ' ') + "  .5B.0.          \n");
}

// Runs `body` against a logger writing at level Fine to a temporary file and returns the file.
std::string CaptureLog(const std::function<void(CLogger&)>& body) {
    test::TempDir dir;
    CLogger logger;
    EXPECT_EQ(logger.OpenLogFile(dir.File("dump.log").c_str(), kLogFine), 1);
    std::string file = logger.CurrentFile();
    body(logger);
    logger.Shutdown();
    return orn::test::ReadTextFile(file);
}

TEST(HexDumpTest, TxDumpOfAnEncodedFrameShowsBothForms) {
    Bytes plain = BuildPlainEmvAckFrame(7);
    Bytes encoded = BuildEmvAckFrame(7, false);
    std::string log = CaptureLog([&](CLogger& logger) {
        DumpTxFrame(logger, kLogFine, plain.data(), plain.size(), encoded.data(),
                    static_cast<int>(encoded.size()));
        DumpTxFrame(logger, kLogFine, plain.data(), plain.size(), nullptr, -1);
        DumpTxFrame(logger, kLogDetail, plain.data(), plain.size(), nullptr, -1);  // filtered
    });
    size_t unencoded = log.find("(Fine)  TX Data (unencoded) (7):\n46 31 2E 00 02 05 07 ");
    size_t p16 =
        log.find("(Fine)  TX Data (P1.6 encoded) (12):\n02 46 31 2E 40 40 48 45 41 70 03 66");
    size_t whole = log.find("(Fine)  TX Data (10):\n02 46 31 2E 00 02 05 07 03 5A ");
    ASSERT_NE(unencoded, std::string::npos) << log;
    ASSERT_NE(p16, std::string::npos) << log;
    ASSERT_NE(whole, std::string::npos) << log;
    EXPECT_LT(unencoded, p16);
    EXPECT_LT(p16, whole);
    EXPECT_EQ(log.find("TX Data (10)", whole + 20), std::string::npos);
    EXPECT_EQ(log.find("(Detail)"), std::string::npos);
}

}  // namespace
}  // namespace orn
