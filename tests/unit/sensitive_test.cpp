// The masks of the link dumps: which bytes of the key management, encryption and MAC messages
// are hidden, how a mask follows the P1.6 encoding, and the switch that turns masking off.
#include "link/sensitive.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/frame.h"

namespace orn {
namespace {

// The mask of `message` as a string: '*' hidden, '.' shown ("" when nothing is hidden).
std::string Shown(LinkDirection direction, const std::string& message) {
    std::vector<bool> mask =
        SensitiveMask(direction, reinterpret_cast<const uint8_t*>(message.data()), message.size());
    std::string text;
    for (bool hidden : mask) text += hidden ? '*' : '.';
    return text;
}

std::string Times(size_t count, char c) {
    return std::string(count, c);
}

constexpr auto kTo = LinkDirection::ToTerminal;
constexpr auto kFrom = LinkDirection::FromTerminal;
const std::string kKey16 = "0123456789ABCDEF";
const std::string kKey32 = kKey16 + "FEDCBA9876543210";

class SensitiveTest : public ::testing::Test {
  protected:
    void SetUp() override { SetLogSensitiveData(false); }
    void TearDown() override { SetLogSensitiveData(false); }
};

TEST_F(SensitiveTest, KeyLoadHidesKeyMaterialButNotTheFinalFlag) {
    EXPECT_EQ(Shown(kTo, "40.52" + kKey16 + kKey16), "....." + Times(32, '*'));
    EXPECT_EQ(Shown(kTo, "40.52" + kKey16 + kKey16 + "00"), "....." + Times(32, '*') + "..");
    EXPECT_EQ(Shown(kTo, "40.52" + kKey32 + "ABCDEF12" + kKey16 + "0"),
              "....." + Times(56, '*') + ".");
    EXPECT_EQ(Shown(kFrom, "40.0"), "");
}

TEST_F(SensitiveTest, EncryptionHidesKeyBlockAndResultButNotTheDisplayText) {
    const std::string block = "4E6F772069732074";
    EXPECT_EQ(Shown(kTo, "42.0023" + kKey16 + block), "......." + Times(32, '*'));
    EXPECT_EQ(Shown(kTo, "42.2123" + kKey32 + "ABCDEF12" + block), "......." + Times(56, '*'));
    EXPECT_EQ(Shown(kTo, "42.15F:" + kKey16 + block + "TEXT    "),
              "......." + Times(32, '*') + Times(8, '.'));
    EXPECT_EQ(Shown(kTo, "47.191o" + kKey16 + block + "TEXT    "),
              "......." + Times(32, '*') + Times(8, '.'));
    EXPECT_EQ(Shown(kFrom, "42.0" + block), "...." + Times(16, '*'));
    EXPECT_EQ(Shown(kFrom, "53.0ABCDEF12"), "...." + Times(8, '*'));
    EXPECT_EQ(Shown(kFrom, "53.1"), "");
}

TEST_F(SensitiveTest, MacRequestsHideKeyAndDataButNotTheMac) {
    EXPECT_EQ(Shown(kTo, "44.0" + kKey16 + "ABCDEFGH"), "...." + Times(24, '*'));
    EXPECT_EQ(Shown(kTo, "64.01" + kKey16 + "x"), "....." + Times(17, '*'));
    EXPECT_EQ(Shown(kTo, "6E.000101" + kKey16 + "0002xy"), Times(9, '.') + Times(22, '*'));
    EXPECT_EQ(Shown(kTo, "6E.0101yz"), "......." + Times(2, '*'));
    EXPECT_EQ(Shown(kFrom, "44.01234ABCD"), "");
    // "F1." hides the MAC chunks only, not the EMV channel's messages.
    const std::string chunk(
        "F1.\x00\x0A"
        "C\x00\x00\x00\x00"
        "\x01\x02\x03",
        13);
    EXPECT_EQ(Shown(kTo, chunk), Times(10, '.') + "***");
    const std::string emv("F1.\x00\x0A\x04\x01\x00\x00\x00\x01\x02\x03", 13);
    EXPECT_EQ(Shown(kTo, emv), "");
    EXPECT_EQ(Shown(kTo, "5B.1"), "");
}

TEST_F(SensitiveTest, KeyedEntryAndDebitTextsAreHidden) {
    // Keypad entry answers, with and without the length field; the prompt request stays.
    EXPECT_EQ(Shown(kFrom, "58.0104111111111111111"), "...." + Times(18, '*'));
    EXPECT_EQ(Shown(kFrom, "68.01234"), "...." + Times(4, '*'));
    EXPECT_EQ(Shown(kFrom, "58.3"), "");
    EXPECT_EQ(Shown(kTo, "58.210" + Times(32, ' ') + "FF05"), "");
    // Debit answer: values and code stay; the PIN block and both texts go, their lengths stay.
    const std::string head = "0" + Times(10, '1') + "C01";
    const std::string pin = "FFEEDDCCBBAA9988";
    EXPECT_EQ(Shown(kFrom, "6B." + head + pin + "05HELLO03ABC"),
              Times(3 + 14, '.') + Times(16, '*') + ".." + Times(5, '*') + ".." + "***");
    EXPECT_EQ(Shown(kFrom, "6B." + head + pin + "00"), Times(17, '.') + Times(16, '*') + "..");
    // Lengths that do not add up: the rest is hidden rather than guessed.
    EXPECT_EQ(Shown(kFrom, "6B." + head + pin + "xyCARD"), Times(17, '.') + Times(22, '*'));
}

// Card reader and PIN messages: the track, card and PIN data go, what describes the message
// (lengths, channel, function, status, prompt) and the outer account digits stay.
TEST_F(SensitiveTest, ReaderCardAndPinMessagesKeepWhatDescribesThem) {
    const std::string account = "4000001234567899";
    auto bytes = [](std::initializer_list<int> values) {
        std::string out;
        for (int v : values) out += static_cast<char>(v);
        return out;
    };
    const struct {
        LinkDirection direction;
        std::string message, shown;
    } cases[] = {
        {kFrom, "F0." + bytes({0, 53, 4, 0, 18}) + Times(18, 'K') + bytes({0, 30}) + Times(30, 'Q'),
         Times(8, '.') + Times(18, '*') + ".." + Times(30, '*')},
        {kTo, "F0." + bytes({0, 29, 7, 0, 0, 0x0D, 24}) + Times(24, 'Q'),
         Times(10, '.') + Times(24, '*')},
        {kFrom, "F0." + bytes({0, 30, 7, 0, 27, 0, 0, 0}) + Times(24, 'K'),
         Times(11, '.') + Times(24, '*')},
        {kTo, "31.F4" + account + "  AB", Times(11, '.') + Times(6, '*') + Times(8, '.')},
        {kFrom, "31.0" + kKey16 + "FFFF9876543210E00007", "...." + Times(36, '*')},
        {kTo, "41.001" + account + kKey32 + "1A2B3C4D" + "PIN:",
         Times(12, '.') + Times(6, '*') + "...." + Times(40, '*') + "...."},
        {kTo, "6B.01011201PIN=000001234000S" + kKey16, Times(28, '.') + Times(16, '*')},
    };
    for (const auto& c : cases) EXPECT_EQ(Shown(c.direction, c.message), c.shown) << c.message;
}

TEST_F(SensitiveTest, AccountNumbersKeepSixAndFourDigits) {
    std::vector<bool> mask(20, false);
    const std::string payload = "xx4000001234567899yy";
    HideAccountNumber(mask, reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), 2);
    std::string shown;
    for (bool hidden : mask) shown += hidden ? '*' : '.';
    EXPECT_EQ(shown, ".." + Times(6, '.') + Times(6, '*') + Times(4, '.') + "..");
    std::vector<bool> shortMask(10, false);
    HideAccountNumber(shortMask, reinterpret_cast<const uint8_t*>("1234567890"), 10, 0);
    EXPECT_EQ(shortMask, std::vector<bool>(10, false));  // 10 digits: nothing between 6 and 4
}

TEST_F(SensitiveTest, EncodedMaskFollowsTheBitsOfEachCharacter) {
    // Byte 1 (bits 8..15) is carried by characters 1 (bits 6..11) and 2 (bits 12..17).
    EXPECT_EQ(EncodedMask({false, true, false}, 4), (std::vector<bool>{false, true, true, false}));
    EXPECT_EQ(EncodedMask({false, false, true}, 4), (std::vector<bool>{false, false, true, true}));
    EXPECT_EQ(EncodedMask({true}, 2), (std::vector<bool>{true, true}));
}

TEST_F(SensitiveTest, FrameMasksAndTheSwitch) {
    // A MAC answer is shown as it came.
    std::string answer("44.0ABCD", 8);
    const std::vector<uint8_t> stored(answer.begin(), answer.end());
    EXPECT_EQ(
        ReceivedFrameDump("RX Data", stored.data(), stored.size(), 0x00),
        HexDump(
            "RX Data",
            (std::vector<uint8_t>{0x02, '4', '4', '.', '0', 'A', 'B', 'C', 'D', 0x03, 0x00}).data(),
            11));
    const std::vector<uint8_t> frame = BuildFrame(kSTX, "42.", "0023" + kKey16 + kKey16, kETX);
    const std::vector<bool> mask = TxFrameMask(frame.data(), frame.size());
    ASSERT_EQ(mask.size(), frame.size());
    EXPECT_FALSE(mask[7]);  // the key index
    EXPECT_TRUE(mask[8]);   // the key
    EXPECT_TRUE(mask[frame.size() - 3]);
    EXPECT_FALSE(mask[frame.size() - 2]);  // end byte
    EXPECT_FALSE(mask[frame.size() - 1]);
    const std::vector<uint8_t> block = BuildFrame(kSOH, "", "DATA", kETB);
    EXPECT_EQ(TxFrameMask(block.data(), block.size()),
              (std::vector<bool>{false, true, true, true, true, false, false}));

    SetLogSensitiveData(true);
    EXPECT_TRUE(LogSensitiveData());
    EXPECT_EQ(Shown(kFrom, "42.0" + kKey16), "");
    EXPECT_TRUE(TxFrameMask(block.data(), block.size()).empty());
}

}  // namespace
}  // namespace orn
