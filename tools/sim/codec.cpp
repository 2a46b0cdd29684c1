// The simulator's own codec: P1.6, LRC, framing and a readable form of wire bytes. Kept apart
// from the library's codec on purpose, so that a fault in either shows up as a disagreement.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "sim.h"

namespace orn::sim {

// ---- Codec -------------------------------------------------------------------------------

std::string EncodeP16(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() * 8 + 5) / 6);
    unsigned acc = 0;
    int bits = 0;
    for (unsigned char b : bytes) {
        acc = (acc << 8) | b;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out.push_back(static_cast<char>(0x40 | ((acc >> bits) & 0x3F)));
        }
        acc &= (1u << bits) - 1;
    }
    if (bits > 0) out.push_back(static_cast<char>(0x40 | ((acc << (6 - bits)) & 0x3F)));
    return out;
}

std::string DecodeP16(const std::string& chars) {
    std::string out;
    out.reserve(chars.size() * 6 / 8);
    unsigned acc = 0;
    int bits = 0;
    for (unsigned char c : chars) {
        acc = (acc << 6) | (c & 0x3F);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
        acc &= (1u << bits) - 1;
    }
    return out;
}

bool IsBinaryId(const std::string& id) {
    return id.size() == 3 && std::toupper(static_cast<unsigned char>(id[0])) == 'F' &&
           (id[1] == '0' || id[1] == '1') && id[2] == '.';
}

// Splits the stored bytes of a STX frame into identifier and payload. The quick cancel "72"
// is the one identifier without a dot.
void SplitMessage(const std::string& body, std::string& id, std::string& payload, bool eightBit) {
    size_t idLen = 3;
    if (body.size() >= 2 && body[0] == '7' && body[1] == '2' &&
        (body.size() == 2 || body[2] != '.'))
        idLen = 2;
    idLen = std::min(idLen, body.size());
    id = body.substr(0, idLen);
    payload = body.substr(idLen);
    if (IsBinaryId(id) && !eightBit) payload = DecodeP16(payload);
}

uint8_t Lrc(const std::vector<uint8_t>& frame) {
    if (frame.empty()) return 0;
    uint8_t lrc = frame[0] == kStx ? 0 : frame[0];
    for (size_t i = 1; i < frame.size(); ++i) lrc ^= frame[i];
    return lrc;
}

std::vector<uint8_t> BuildRawFrame(const std::string& body, uint8_t start, uint8_t end) {
    std::vector<uint8_t> frame;
    frame.reserve(body.size() + 3);
    frame.push_back(start);
    frame.insert(frame.end(), body.begin(), body.end());
    frame.push_back(end);
    frame.push_back(Lrc(frame));
    return frame;
}

std::vector<uint8_t> BuildFrame(const std::string& id, const std::string& payload) {
    return BuildRawFrame(id + (IsBinaryId(id) ? EncodeP16(payload) : payload));
}

std::string Describe(const std::vector<uint8_t>& bytes) {
    static const std::map<uint8_t, const char*> names = {
        {kSoh, "<SOH>"}, {kStx, "<STX>"}, {kEtx, "<ETX>"}, {kEnq, "<ENQ>"},
        {kAck, "<ACK>"}, {kNak, "<NAK>"}, {kEtb, "<ETB>"}};
    std::string out;
    bool lrcNext = false;
    for (uint8_t b : bytes) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "<%02X>", b);
        auto named = names.find(b);
        if (lrcNext) {
            out += hex;  // the LRC byte is shown as a number whatever its value
        } else if (named != names.end()) {
            out += named->second;
        } else if (b >= 0x20 && b < 0x7F) {
            out.push_back(static_cast<char>(b));
        } else {
            out += hex;
        }
        lrcNext = !lrcNext && (b == kEtx || b == kEtb);
    }
    return out;
}

std::string FrameStepKey(const std::string& id, unsigned channel, unsigned function) {
    char key[32];
    std::snprintf(key, sizeof key, " %u %02X", channel, function & 0xFF);
    std::string upper = id;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper + key;
}

int OpenRawTty(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool IsHex(const std::string& text) {
    for (char c : text)
        if (HexValue(c) < 0) return false;
    return true;
}

std::optional<std::string> FromHex(const std::string& hex) {
    if (hex.size() % 2 != 0 || !IsHex(hex)) return std::nullopt;
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out += static_cast<char>(HexValue(hex[i]) << 4 | HexValue(hex[i + 1]));
    return out;
}

}  // namespace orn::sim
