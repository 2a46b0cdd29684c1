// Fields shared by the PIN entry, key management and MAC commands: key index, working key,
// check value and the key mode character.
#pragma once

#include <cstring>
#include <string>

#include "api/text.h"

namespace orn {

// Length of a caller's text, 0 for null.
inline size_t TextLength(const char* text) {
    return text ? std::strlen(text) : 0;
}

inline const char* OrEmpty(const char* text) {
    return text ? text : "";
}

// True when `text` is given and has exactly `length` characters.
inline bool HasLength(const char* text, size_t length) {
    return text && std::strlen(text) == length;
}

// A text that can travel inside a message: no byte of it would end or corrupt the frame.
inline bool IsFrameSafe(const char* text) {
    return !HasLinkControlByte(text);
}

// Key table index 0..63, sent as one character '0' + index ('0'..'9', ':', ... 'o').
inline bool IsKeyIndex(int index) {
    return index >= 0 && index <= 63;
}
inline char KeyIndexChar(int index) {
    return static_cast<char>('0' + index);
}

// A working key: 16 (single length) or 32 (double length) characters.
inline bool IsKeyLength(const char* key) {
    size_t length = TextLength(key);
    return key && (length == 16 || length == 32);
}

// A check value (null counts as empty): empty or 8 characters, and 8 when the key has 32.
inline bool IsCheckValueFor(const char* key, const char* checkValue) {
    size_t length = TextLength(checkValue);
    return length == 8 || (length == 0 && TextLength(key) != 32);
}

// Hexadecimal text, upper or lower case; null is not.
inline bool IsHexText(const char* text) {
    return text && IsHexString(text);
}

// Key mode 0 (no key), 1 (16-character key) or 2 (32-character key and check value), sent as
// '0', 'S' or 'D'.
inline bool IsKeyMode(int mode) {
    return mode >= 0 && mode <= 2;
}
inline char KeyModeChar(int mode) {
    return IsKeyMode(mode) ? "0SD"[mode] : '?';
}
// The key a mode requires: none for mode 0, 16 characters for 1, 32 for 2.
inline bool IsKeyForMode(int mode, const char* key) {
    if (mode == 1) return HasLength(key, 16);
    if (mode == 2) return HasLength(key, 32);
    return mode == 0;
}

}  // namespace orn
