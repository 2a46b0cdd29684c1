// MAC calculation and verification against the simulated PIN pad in the four transfer forms:
// the multi-block framing on the wire, the records of the chunked forms, the argument tests and
// their order, and round trips (a MAC calculated, then verified over the same and over tampered
// data).
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "answers.h"
#include "sim_session.h"
#include "test_support.h"
#include "velquoraorn.h"

namespace {

using orn::sim::BuildRawFrame;
using orn::sim::Request;
using orn::test::SimSession;

constexpr int32_t kQuiet = ORN_LOGGER_FINE | ORN_LINK_MONITOR_OFF;
constexpr int kBad = ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
constexpr const char* kKey16 = "0123456789ABCDEF";
constexpr const char* kKey32 = "0123456789ABCDEFFEDCBA9876543210";

std::string Text(size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += static_cast<char>('A' + i % 26);
    return text;
}

std::vector<unsigned char> Bytes(size_t length) {
    std::vector<unsigned char> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    return bytes;
}

class MacCommands : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(session.Open(kQuiet), 0); }
    std::vector<orn::sim::Frame> Frames() { return session.sim().Snapshot().frames; }

    SimSession session;
    char mac[17] = "x";
    int32_t match = 7;
};

TEST_F(MacCommands, BlockFormFramesEveryBlockOnTheWire) {
    const std::string data = Text(24);
    ASSERT_EQ(ornMacCalculationAsciiMode(5, kKey16, nullptr, data.c_str(), mac), 0);
    EXPECT_EQ(std::strlen(mac), 8u);
    // First block in the command's frame, STX..ETB; the others alone, SOH..ETB, the last SOH..ETX.
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].raw, BuildRawFrame("44.5" + std::string(kKey16) + data.substr(0, 8),
                                           orn::sim::kStx, orn::sim::kEtb));
    EXPECT_EQ(frames[1].raw, BuildRawFrame(data.substr(8, 8), orn::sim::kSoh, orn::sim::kEtb));
    EXPECT_EQ(frames[2].raw, BuildRawFrame(data.substr(16, 8), orn::sim::kSoh, orn::sim::kEtx));

    // One block is a single STX..ETX frame; the hexadecimal form takes 16 digits a block.
    session.sim().ClearRecord();
    const std::string check = orn::sim::KeyCheckValue(kKey32);
    ASSERT_EQ(ornMacVerificationHexMode(63, kKey32, check.c_str(), mac,
                                        "00112233445566778899AABBCCDDEEFF", &match),
              0);
    frames = Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].raw,
              BuildRawFrame("45.o" + std::string(kKey32) + check + mac + "0011223344556677",
                            orn::sim::kStx, orn::sim::kEtb));
    EXPECT_EQ(frames[1].raw, BuildRawFrame("8899AABBCCDDEEFF", orn::sim::kSoh, orn::sim::kEtx));
    session.sim().ClearRecord();
    ASSERT_EQ(ornMacCalculationAsciiMode(0, kKey16, "", "ABCDEFGH", mac), 0);
    frames = Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].raw, BuildRawFrame("44.0" + std::string(kKey16) + "ABCDEFGH"));

    session.sim().ClearRecord();
    EXPECT_EQ(ornMacCalculationAsciiMode(0, kKey16, nullptr, Text(12).c_str(), mac), kBad);
    EXPECT_EQ(ornMacCalculationAsciiMode(0, kKey16, nullptr, "", mac), kBad);
    EXPECT_EQ(ornMacCalculationHexMode(0, kKey16, nullptr, "00112233", mac), kBad);
    EXPECT_EQ(ornMacCalculationHexMode(0, kKey16, nullptr, "0011223344556677001122334455667X", mac),
              kBad);
    EXPECT_EQ(ornMacCalculationAsciiMode(0, kKey32, "", Text(8).c_str(), mac), kBad);
    EXPECT_EQ(ornMacCalculationAsciiMode(0, kKey16, "1234567", Text(8).c_str(), mac), kBad);
    EXPECT_EQ(ornMacCalculationAsciiMode(64, kKey16, nullptr, Text(8).c_str(), mac), kBad);
    EXPECT_EQ(ornMacCalculationAsciiMode(0, "0123456789ABCDEX", nullptr, Text(8).c_str(), mac),
              kBad);
    EXPECT_EQ(ornMacCalculationAsciiMode(0, kKey16, nullptr, "ABC\003EFGH", mac), kBad);
    EXPECT_TRUE(session.NothingSent());
}

TEST_F(MacCommands, EveryFormRoundTripsAndAgreesOnTheMac) {
    const std::string data = Text(48);
    const std::vector<unsigned char> bytes(data.begin(), data.end());
    const std::string check = orn::sim::KeyCheckValue(kKey32);
    std::string tampered = data;
    tampered[20] ^= 1;
    const std::vector<unsigned char> tamperedBytes(tampered.begin(), tampered.end());

    // The same key and data give the same MAC in the four forms.
    ASSERT_EQ(ornMacCalculationAsciiMode(1, kKey32, check.c_str(), data.c_str(), mac), 0);
    const std::string expected = mac;
    ASSERT_EQ(expected.size(), 8u);
    ASSERT_EQ(ornMacCalculationAsciiVarMode(1, 2, kKey32, check.c_str(), data.c_str(), mac), 0);
    EXPECT_EQ(mac, expected);
    ASSERT_EQ(ornXmacCalculationAsciiVarMode(1, 2, kKey32, check.c_str(), data.c_str(), mac), 0);
    EXPECT_EQ(mac, expected);
    ASSERT_EQ(ornBinaryMacCalculation(1, 2, kKey32, check.c_str(), bytes.data(),
                                      static_cast<int>(bytes.size()), mac),
              0);
    EXPECT_EQ(mac, expected);

    const char* key = kKey32;
    const char* cv = check.c_str();
    auto verify = [&](const std::string& text, int form) {
        match = 7;
        int result = -100;
        switch (form) {
            case 0:
                result =
                    ornMacVerificationAsciiMode(1, key, cv, expected.c_str(), text.c_str(), &match);
                break;
            case 1:
                result = ornMacVerificationAsciiVarMode(1, 2, key, cv, expected.c_str(),
                                                        text.c_str(), &match);
                break;
            case 2:
                result = ornXmacVerificationAsciiVarMode(1, 2, key, cv, expected.c_str(),
                                                         text.c_str(), &match);
                break;
            default:
                result =
                    ornBinaryMacVerification(1, 2, key, cv, expected.c_str(),
                                             reinterpret_cast<const unsigned char*>(text.data()),
                                             static_cast<int>(text.size()), &match);
        }
        return result == 0 ? match : -1000 + result;
    };
    for (int form = 0; form < 4; ++form) {
        EXPECT_EQ(verify(data, form), 1) << "form " << form;
        EXPECT_EQ(verify(tampered, form), 0) << "form " << form;  // status 0, no match
    }

    // The hexadecimal block form MACs the bytes its digits spell.
    const std::string hex = "00112233445566778899AABBCCDDEEFF";
    ASSERT_EQ(ornMacCalculationHexMode(2, kKey16, nullptr, hex.c_str(), mac), 0);
    const std::string hexMac = mac;
    EXPECT_EQ(ornMacVerificationHexMode(2, kKey16, nullptr, hexMac.c_str(), hex.c_str(), &match),
              0);
    EXPECT_EQ(match, 1);
    EXPECT_EQ(ornMacVerificationHexMode(2, kKey16, nullptr, hexMac.c_str(),
                                        "00112233445566778899AABBCCDDEEF0", &match),
              0);
    EXPECT_EQ(match, 0);
    const unsigned char raw[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    ASSERT_EQ(ornBinaryMacCalculation(2, 1, kKey16, nullptr, raw, sizeof raw, mac), 0);
    EXPECT_EQ(mac, hexMac);
}

TEST_F(MacCommands, TerminalStatusEmptiesTheOutputs) {
    session.Answer("44.", "5");
    EXPECT_EQ(ornMacCalculationAsciiMode(0, kKey16, nullptr, Text(16).c_str(), mac), 5);
    EXPECT_STREQ(mac, "");
    session.Answer("66.", "3");
    EXPECT_EQ(ornMacVerificationAsciiVarMode(0, 1, kKey16, nullptr, "12345678", "x", &match), 3);
    EXPECT_EQ(match, 0);
    session.Answer("64.", "");
    EXPECT_EQ(ornMacCalculationAsciiVarMode(0, 1, kKey16, nullptr, "x", mac),
              ORN_ERR_WRONG_RESPONSE_ERROR);
    EXPECT_STREQ(mac, "");
    // A MAC text longer than the documented 16 characters is cut, never overruns.
    session.sim().SetHandler("64.", [](const Request&) { return "0" + std::string(40, 'M'); });
    EXPECT_EQ(ornMacCalculationAsciiVarMode(0, 1, kKey16, nullptr, "x", mac), 0);
    EXPECT_EQ(std::string(mac), std::string(16, 'M'));
}

TEST_F(MacCommands, VariableAndChunkedTextRecords) {
    EXPECT_EQ(ornMacCalculationAsciiVarMode(9, 1, kKey16, nullptr, Text(200).c_str(), mac), 0);
    EXPECT_EQ(ornMacVerificationAsciiVarMode(9, 1, kKey16, "", "1234ABCD", "hello", &match), 0);
    EXPECT_EQ(session.Payloads("64."),
              std::vector<std::string>{"91" + std::string(kKey16) + Text(200)});
    EXPECT_EQ(session.Payloads("66."),
              std::vector<std::string>{"91" + std::string(kKey16) + "1234ABCD" + "hello"});

    session.sim().ClearRecord();
    EXPECT_EQ(ornMacCalculationAsciiVarMode(0, 1, kKey16, nullptr, Text(201).c_str(), mac), kBad);
    EXPECT_EQ(ornMacCalculationAsciiVarMode(0, 1, kKey16, nullptr, "", mac), kBad);
    EXPECT_EQ(ornMacCalculationAsciiVarMode(0, 2, kKey16, nullptr, "x", mac), kBad);
    EXPECT_EQ(ornMacCalculationAsciiVarMode(0, 3, kKey16, nullptr, "x", mac), kBad);
    EXPECT_EQ(ornMacCalculationAsciiVarMode(0, 2, kKey32, nullptr, "x", mac), kBad);
    EXPECT_EQ(ornXmacCalculationAsciiVarMode(0, 0, kKey16, nullptr, "x", mac), kBad);
    EXPECT_EQ(
        ornXmacCalculationAsciiVarMode(0, 1, kKey16, nullptr, Text(256 * 200 + 1).c_str(), mac),
        kBad);
    EXPECT_EQ(ornXmacCalculationAsciiVarMode(0, 1, kKey16, nullptr, "", mac), 0);  // nothing to do
    EXPECT_TRUE(session.NothingSent());

    // 401 characters: three records of 200, 200 and 1; the first carries the key and the total
    // length 0x191; only the last is answered.
    const std::string data = Text(401);
    ASSERT_EQ(ornXmacCalculationAsciiVarMode(4, 1, kKey16, nullptr, data.c_str(), mac), 0);
    EXPECT_EQ(std::strlen(mac), 8u);
    EXPECT_EQ(
        session.Payloads("6E."),
        (std::vector<std::string>{"0002"
                                  "41" +
                                      std::string(kKey16) + "0191" + data.substr(0, 200),
                                  "0102" + data.substr(200, 200), "0202" + data.substr(400)}));
    ASSERT_EQ(ornXmacVerificationAsciiVarMode(4, 1, kKey16, nullptr, mac, data.c_str(), &match), 0);
    EXPECT_EQ(match, 1);
    EXPECT_EQ(session.Payloads("6G.").front().substr(0, 34),
              "0002"
              "41" +
                  std::string(kKey16) + mac + "0191");
    // A failed record ends the sequence and empties the output.
    session.sim().ClearRecord();
    session.sim().SetHandler("6E.", [](const Request& r) -> std::optional<std::string> {
        return r.payload.substr(0, 2) == "02" ? std::optional<std::string>("2") : std::nullopt;
    });
    EXPECT_EQ(ornXmacCalculationAsciiVarMode(4, 1, kKey16, nullptr, data.c_str(), mac), 2);
    EXPECT_STREQ(mac, "");
}

TEST_F(MacCommands, BinaryChunksHeaderAndStatuses) {
    const auto data = Bytes(1000);
    ASSERT_EQ(ornBinaryMacCalculation(2, 1, kKey16, nullptr, data.data(), 1000, mac), 0);
    EXPECT_EQ(std::strlen(mac), 8u);
    auto payloads = session.Payloads("F1.");
    ASSERT_EQ(payloads.size(), 2u);
    // Chunk 0: length 960 + 5 + 13, 'C', chunk 0 of last 1, key mode 1, the key's 8 bytes, the
    // total length 1000, then 960 data bytes.
    const std::string header(
        "\x03\xD2"
        "C"
        "\x00\x00"
        "\x00\x01"
        "\x01"
        "\x01\x23\x45\x67\x89\xAB\xCD\xEF"
        "\x00\x00\x03\xE8",
        20);
    EXPECT_EQ(payloads[0], header + std::string(data.begin(), data.begin() + 960));
    EXPECT_EQ(payloads[1], std::string("\x00\x2D"
                                       "C"
                                       "\x00\x01"
                                       "\x00\x01",
                                       7) +
                               std::string(data.begin() + 960, data.end()));

    // Verification, key mode 4 (index 0xB0 + 10, key, check value, expected MAC): a MAC that
    // does not match is status 0x99, which gives 0 with no match.
    session.sim().ClearRecord();
    const std::string check = orn::sim::KeyCheckValue(kKey32);
    ASSERT_EQ(ornBinaryMacVerification(10, 4, kKey32, check.c_str(), "0000ABCD", data.data(), 100,
                                       &match),
              0);
    EXPECT_EQ(match, 0);
    payloads = session.Payloads("F1.");
    ASSERT_EQ(payloads.size(), 1u);
    EXPECT_EQ(payloads[0].substr(0, 7), std::string("\x00\x86"
                                                    "E"
                                                    "\x00\x00\x00\x00",
                                                    7));
    EXPECT_EQ(static_cast<uint8_t>(payloads[0][7]), 0xBA);
    EXPECT_EQ(payloads[0].substr(8 + 16 + 4, 8),
              std::string("\x00\x00\xAB\xCD\x00\x00\x00\x64", 8));

    // Any other status ends the sequence: the next chunk is not sent.
    session.sim().ClearRecord();
    session.sim().SetHandler("F1.", [](const Request&) {
        return std::optional<std::string>(
            std::string("\x00\x02"
                        "C"
                        "\x05",
                        4));
    });
    EXPECT_EQ(ornBinaryMacCalculation(0, 3, kKey16, nullptr, data.data(), 1000, mac), 5);
    EXPECT_STREQ(mac, "");
    EXPECT_EQ(session.Payloads("F1.").size(), 1u);

    session.sim().ClearRecord();
    EXPECT_EQ(ornBinaryMacCalculation(3, 1, kKey16, nullptr, data.data(), 10, mac), kBad);
    EXPECT_EQ(ornBinaryMacCalculation(64, 3, kKey16, nullptr, data.data(), 10, mac), kBad);
    EXPECT_EQ(ornBinaryMacCalculation(0, 5, kKey16, nullptr, data.data(), 10, mac), kBad);
    EXPECT_EQ(ornBinaryMacCalculation(0, 2, kKey16, nullptr, data.data(), 10, mac), kBad);
    EXPECT_EQ(ornBinaryMacCalculation(0, 1, kKey16, nullptr, data.data(), -1, mac), kBad);
    EXPECT_EQ(ornBinaryMacCalculation(0, 1, kKey16, nullptr, nullptr, 10, mac), kBad);
    EXPECT_EQ(ornBinaryMacVerification(0, 1, kKey16, nullptr, "0000ABCG", data.data(), 10, &match),
              kBad);
    EXPECT_EQ(ornBinaryMacCalculation(0, 1, kKey16, nullptr, data.data(), 0, mac), 0);
    EXPECT_TRUE(session.NothingSent());
}

TEST(MacCommandsClosed, OutputsAreResetAndTestedBeforeTheLink) {
    char mac[17] = "x";
    int32_t match = 7;
    EXPECT_EQ(ornMacCalculationAsciiMode(0, kKey16, nullptr, "ABCDEFGH", nullptr), kBad);
    EXPECT_EQ(ornMacCalculationAsciiMode(0, kKey16, nullptr, "ABCDEFGH", mac),
              ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_STREQ(mac, "");
    EXPECT_EQ(ornMacVerificationAsciiMode(0, kKey16, nullptr, "12345678", "ABCDEFGH", nullptr),
              kBad);
    EXPECT_EQ(ornMacVerificationAsciiMode(0, kKey16, nullptr, "1234567", "ABCDEFGH", &match), kBad);
    EXPECT_EQ(match, 0);
    match = 7;
    EXPECT_EQ(ornXmacVerificationAsciiVarMode(0, 1, kKey16, nullptr, nullptr, "x", &match), kBad);
    EXPECT_EQ(match, 0);
    // The hexadecimal block verification tests its expected MAC after the link.
    EXPECT_EQ(ornMacVerificationHexMode(0, kKey16, nullptr, "1234567", "0011223344556677", &match),
              ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_EQ(ornBinaryMacCalculation(99, 9, nullptr, nullptr, nullptr, -5, mac),
              ORN_ERR_COMM_PORT_NOT_OPEN);
}

}  // namespace
