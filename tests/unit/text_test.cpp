// Payload and display-text routines.
#include "api/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace orn;

TEST(HexDigits, WidthsAndArithmeticShift) {
    EXPECT_EQ(HexDigits(15, 1), "F");
    EXPECT_EQ(HexDigits(63, 2), "3F");
    EXPECT_EQ(HexDigits(0x1234, 4), "1234");
    EXPECT_EQ(HexDigits(0x1234, 2), "34");  // only the low digits fit
    EXPECT_EQ(HexDigits(-1, 4), "FFFF");
    char out[3] = {'x', 'y', 'z'};
    ToHexDigits(0xAB, out, 2);
    EXPECT_EQ(out[2], 'z');  // no terminator written
}

TEST(IsHexString, AcceptsBothCasesAndEmpty) {
    EXPECT_EQ(IsHexString(""), 1);
    EXPECT_EQ(IsHexString("0123456789abcdefABCDEF"), 1);
    EXPECT_EQ(IsHexString("12G4"), 0);
    EXPECT_EQ(IsHexString(" 1"), 0);
    EXPECT_EQ(IsHexString(nullptr), 0);
}

TEST(DisplayText, AccentsBecomeEscapePairs) {
    // Every accented character of the table, in selector order.
    const char accents[] =
        "\xC7\xFC\xE9\xE2\xE0\xE7\xEA\xEB\xE8\xEF\xEE\xC9\xF4\xFB\xF9\xDC\xC0\xC2\xC8\xCA\xCB\xCE"
        "\xCF\xD4\xD9\xDB";
    std::string encoded = EncodeDisplayText(accents);
    ASSERT_EQ(encoded.size(), 52u);
    for (int i = 0; i < 26; ++i) {
        EXPECT_EQ(encoded[2 * i], '\x1B');
        EXPECT_EQ(encoded[2 * i + 1], static_cast<char>('0' + i)) << i;
    }
    EXPECT_EQ(EncodeDisplayText("R\xE9sum\xE9"), "R\0332sum\0332");
    EXPECT_EQ(EncodeDisplayText(nullptr), "");
}

TEST(DisplayText, EncodingNeverSplitsAPairAtTheBufferEnd) {
    char out[4];
    EncodeDisplayText(out, "ab\xE9", sizeof out);  // "ab" fits, the pair does not
    EXPECT_STREQ(out, "ab");
}

TEST(DisplayText, Validity) {
    EXPECT_EQ(IsValidDisplayText(nullptr), 1);
    EXPECT_EQ(IsValidDisplayText(" ~\x7F"), 1);
    EXPECT_EQ(IsValidDisplayText("a\x1B"
                                 "Jb"),
              1);  // selector J is accepted
    EXPECT_EQ(IsValidDisplayText("a\x1B"
                                 "K"),
              0);
    EXPECT_EQ(IsValidDisplayText("caf\xE9"), 0);  // unencoded accent
    EXPECT_EQ(IsValidDisplayText("tab\there"), 0);
}

TEST(DisplayText, PadAndClipCountAnEscapePairAsOneColumn) {
    std::string cafe = EncodeDisplayText("Caf\xE9");
    std::string padded = PadDisplayText(cafe.c_str(), 32);
    EXPECT_EQ(padded, "Caf\0332" + std::string(28, ' '));
    EXPECT_EQ(PadDisplayText("12345678901234567890", 16), "1234567890123456");
    EXPECT_EQ(ClipDisplayText("12345678901234567890", 16), "1234567890123456");
    EXPECT_EQ(ClipDisplayText("ab", 16), "ab");
    EXPECT_EQ(PadDisplayText("", 3), "   ");
    // A pair at the last column is kept whole.
    std::string e = EncodeDisplayText("abc\xE9xyz");
    EXPECT_EQ(ClipDisplayText(e.c_str(), 4), "abc\0332");
    EXPECT_EQ(PadDisplayText(nullptr, 2), "  ");
}

}  // namespace
