#include "api/text.h"

#include <cstring>
#include <vector>

#include "link/frame.h"

namespace orn {

namespace {

// The accented characters the display knows, in selector order: selector = '0' + position.
const unsigned char kAccented[] = {0xC7, 0xFC, 0xE9, 0xE2, 0xE0, 0xE7, 0xEA, 0xEB, 0xE8,
                                   0xEF, 0xEE, 0xC9, 0xF4, 0xFB, 0xF9, 0xDC, 0xC0, 0xC2,
                                   0xC8, 0xCA, 0xCB, 0xCE, 0xCF, 0xD4, 0xD9, 0xDB};

int AccentSelector(unsigned char c) {
    for (size_t i = 0; i < sizeof kAccented; ++i)
        if (kAccented[i] == c) return '0' + static_cast<int>(i);
    return -1;
}

bool IsSelector(unsigned char c) {
    return c >= 0x30 && c <= 0x4A;
}

// Copies display columns up to `width`; an escape byte and its selector count as one column.
size_t CopyColumns(char* out, const char* text, unsigned width, unsigned* columns) {
    size_t o = 0;
    unsigned used = 0;
    for (const char* p = text ? text : ""; *p && used < width;) {
        if (*p == kDisplayEscape && p[1] != '\0') {
            out[o++] = *p++;
            out[o++] = *p++;
        } else {
            out[o++] = *p++;
        }
        ++used;
    }
    *columns = used;
    return o;
}

}  // namespace

void ToHexDigits(int value, char* out, int count) {
    static const char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) out[i] = kHex[(value >> (4 * (count - 1 - i))) & 0xF];
}

std::string HexDigits(int value, int count) {
    std::string text(static_cast<size_t>(count > 0 ? count : 0), '0');
    ToHexDigits(value, text.data(), count);
    return text;
}

int IsHexString(const char* text) {
    if (!text) return 0;
    for (const char* p = text; *p; ++p) {
        char c = *p;
        bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        if (!hex) return 0;
    }
    return 1;
}

void EncodeDisplayText(char* out, const char* text, unsigned size) {
    if (size == 0) return;
    size_t o = 0;
    for (const char* p = text ? text : ""; *p; ++p) {
        int selector = AccentSelector(static_cast<unsigned char>(*p));
        size_t need = selector >= 0 ? 2 : 1;
        if (o + need > size - 1) break;
        if (selector >= 0) {
            out[o++] = kDisplayEscape;
            out[o++] = static_cast<char>(selector);
        } else {
            out[o++] = *p;
        }
    }
    out[o] = '\0';
}

std::string EncodeDisplayText(const char* text) {
    size_t length = text ? std::strlen(text) : 0;
    std::vector<char> out(2 * length + 1);
    EncodeDisplayText(out.data(), text, static_cast<unsigned>(out.size()));
    return out.data();
}

int IsValidDisplayText(const char* text) {
    if (!text) return 1;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == kDisplayEscape && IsSelector(p[1])) {
            ++p;
            continue;
        }
        if (*p < 0x20 || *p > 0x7F) return 0;
    }
    return 1;
}

void PadDisplayText(char* out, const char* text, unsigned width) {
    unsigned columns = 0;
    size_t o = CopyColumns(out, text, width, &columns);
    for (; columns < width; ++columns) out[o++] = ' ';
    out[o] = '\0';
}

std::string PadDisplayText(const char* text, unsigned width) {
    std::vector<char> out(2 * width + 1);
    PadDisplayText(out.data(), text, width);
    return out.data();
}

void ClipDisplayText(char* out, const char* text, int width) {
    unsigned columns = 0;
    out[CopyColumns(out, text, width > 0 ? static_cast<unsigned>(width) : 0, &columns)] = '\0';
}

std::string ClipDisplayText(const char* text, int width) {
    std::vector<char> out(2 * static_cast<size_t>(width > 0 ? width : 0) + 1);
    ClipDisplayText(out.data(), text, width);
    return out.data();
}

int HasLinkControlByte(const char* text) {
    if (!text) return 0;
    // The serial link carries 7 data bits: 0x82 arrives as STX, so the top bit is ignored.
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        switch (*p & 0x7F) {
            case kSOH:
            case kSTX:
            case kETX:
            case kENQ:
            case kACK:
            case kNAK:
            case kETB:
                return 1;
        }
    }
    return 0;
}

void CopyResponseText(char* out, const char* source, unsigned count) {
    std::memcpy(out, source, count);
    out[count] = '\0';
}

}  // namespace orn
