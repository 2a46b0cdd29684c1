// Payload and display-text routines shared by the terminal commands.
#pragma once

#include <string>

namespace orn {

// Writes `count` uppercase hex digits of `value`, most significant first, no terminator.
void ToHexDigits(int value, char* out, int count);
// `count` hex digits of `value` as a string.
std::string HexDigits(int value, int count);
// 1 when every character is a hex digit (also for ""), else 0. Null counts as not hex.
int IsHexString(const char* text);

// The terminal's display form: 0x20..0x7F as they are; 26 accented Windows-1252 characters as
// the escape byte 0x1B and a selector.
constexpr char kDisplayEscape = 0x1B;
// Copies `text` into `out` (at most size - 1 bytes and a terminator), replacing each accented
// character by its escape pair. An escape pair is never cut in half. Null text gives "".
void EncodeDisplayText(char* out, const char* text, unsigned size);
std::string EncodeDisplayText(const char* text);
// 1 when every byte is 0x20..0x7F or an escape pair with selector 0x30..0x4A; null is valid.
int IsValidDisplayText(const char* text);
// Copies up to `width` display columns (an escape pair is one column) and fills with spaces to
// `width` columns. `out` must hold 2 * width + 1 bytes.
void PadDisplayText(char* out, const char* text, unsigned width);
std::string PadDisplayText(const char* text, unsigned width);
// As PadDisplayText without the filling.
void ClipDisplayText(char* out, const char* text, int width);
std::string ClipDisplayText(const char* text, int width);
// 1 when `text` holds a byte that delimits link traffic (SOH, STX, ETX, ENQ, ACK, NAK, ETB): such
// text would end or corrupt the message that carries it. Null holds none.
int HasLinkControlByte(const char* text);
// Copies `count` bytes and a terminator.
void CopyResponseText(char* out, const char* source, unsigned count);

}  // namespace orn
