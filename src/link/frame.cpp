#include "link/frame.h"

#include <cctype>
#include <cstring>

#include "link/sensitive.h"
#include "log/logger.h"

namespace orn {

const uint8_t kAckFrame[1] = {kACK};
const uint8_t kNakFrame[1] = {kNAK};
const uint8_t kLinkTestFrame[1] = {kENQ};
const uint8_t kCancelFrame[6] = {kSTX, '5', '0', '.', kETX, 0x28};

uint8_t XorBytes(const uint8_t* bytes, size_t length) {
    uint8_t lrc = 0;
    for (size_t i = 0; i < length; ++i) lrc ^= bytes[i];
    return lrc;
}

uint8_t Lrc(const uint8_t* frame, size_t length) {
    if (length == 0) return 0;
    uint8_t lrc = XorBytes(frame + 1, length - 1);
    if (frame[0] != kSTX) lrc ^= frame[0];
    return lrc;
}

bool IdEquals(const uint8_t* id, size_t length, const char* id3) {
    if (length < 3) return false;
    for (int i = 0; i < 3; ++i) {
        if (std::toupper(id[i]) != std::toupper(static_cast<unsigned char>(id3[i]))) return false;
    }
    return true;
}

bool IsRawDataId(const uint8_t* id, size_t length) {
    return IdEquals(id, length, "F0.") || IdEquals(id, length, "F1.");
}

size_t P16Encode(const uint8_t* bytes, size_t length, uint8_t* out) {
    size_t count = 0;
    uint32_t bits = 0;  // pending bits, right-aligned
    int pending = 0;
    for (size_t i = 0; i < length; ++i) {
        bits = (bits << 8) | bytes[i];
        pending += 8;
        while (pending >= 6) {
            pending -= 6;
            out[count++] = static_cast<uint8_t>(0x40 | ((bits >> pending) & 0x3F));
        }
        bits &= (1u << pending) - 1;
    }
    if (pending > 0) out[count++] = static_cast<uint8_t>(0x40 | ((bits << (6 - pending)) & 0x3F));
    return count;
}

size_t P16Decode(const uint8_t* chars, size_t length, uint8_t* out) {
    size_t count = 0;
    uint32_t bits = 0;
    int pending = 0;
    for (size_t i = 0; i < length; ++i) {
        bits = (bits << 6) | (chars[i] & 0x3F);
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            out[count++] = static_cast<uint8_t>(bits >> pending);
            bits &= (1u << pending) - 1;
        }
    }
    return count;
}

std::vector<uint8_t> P16Encode(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out(P16EncodedLength(bytes.size()));
    out.resize(P16Encode(bytes.data(), bytes.size(), out.data()));
    return out;
}

std::vector<uint8_t> P16Decode(const std::vector<uint8_t>& chars) {
    std::vector<uint8_t> out(P16DecodedLength(chars.size()));
    out.resize(P16Decode(chars.data(), chars.size(), out.data()));
    return out;
}

size_t BuildFrame(uint8_t* out, size_t capacity, uint8_t start, const uint8_t* id, size_t idLength,
                  const uint8_t* payload, size_t payloadLength, uint8_t end) {
    size_t length = PlainFrameLength(idLength, payloadLength);
    if (length > capacity) return 0;
    out[0] = start;
    if (idLength) std::memcpy(out + 1, id, idLength);
    if (payloadLength) std::memcpy(out + 1 + idLength, payload, payloadLength);
    out[length - 2] = end;
    out[length - 1] = Lrc(out, length - 1);
    return length;
}

size_t BuildEncodedFrame(uint8_t* out, size_t capacity, uint8_t start, const uint8_t* id,
                         size_t idLength, const uint8_t* payload, size_t payloadLength,
                         uint8_t end) {
    size_t length = EncodedFrameLength(idLength, payloadLength);
    if (length > capacity) return 0;
    out[0] = start;
    if (idLength) std::memcpy(out + 1, id, idLength);
    P16Encode(payload, payloadLength, out + 1 + idLength);
    out[length - 2] = end;
    // The start byte never enters this LRC (only "F0."/"F1." frames are encoded, always STX).
    out[length - 1] = XorBytes(out + 1, length - 2);
    return length;
}

std::vector<uint8_t> BuildFrame(uint8_t start, const std::string& id, const uint8_t* payload,
                                size_t payloadLength, uint8_t end) {
    std::vector<uint8_t> frame(PlainFrameLength(id.size(), payloadLength));
    BuildFrame(frame.data(), frame.size(), start, reinterpret_cast<const uint8_t*>(id.data()),
               id.size(), payload, payloadLength, end);
    return frame;
}

std::vector<uint8_t> BuildFrame(uint8_t start, const std::string& id, const std::string& payload,
                                uint8_t end) {
    return BuildFrame(start, id, reinterpret_cast<const uint8_t*>(payload.data()), payload.size(),
                      end);
}

std::vector<uint8_t> BuildEncodedFrame(uint8_t start, const std::string& id, const uint8_t* payload,
                                       size_t payloadLength, uint8_t end) {
    std::vector<uint8_t> frame(EncodedFrameLength(id.size(), payloadLength));
    BuildEncodedFrame(frame.data(), frame.size(), start,
                      reinterpret_cast<const uint8_t*>(id.data()), id.size(), payload,
                      payloadLength, end);
    return frame;
}

std::vector<uint8_t> BuildPlainEmvAckFrame(uint8_t sequence) {
    const uint8_t payload[4] = {0x00, 0x02, 0x05, sequence};
    return BuildFrame(kSTX, "F1.", payload, sizeof payload, kETX);
}

std::vector<uint8_t> BuildEmvAckFrame(uint8_t sequence, bool eightBitLink) {
    if (eightBitLink) return BuildPlainEmvAckFrame(sequence);
    const uint8_t payload[4] = {0x00, 0x02, 0x05, sequence};
    return BuildEncodedFrame(kSTX, "F1.", payload, sizeof payload, kETX);
}

namespace {

constexpr size_t kBytesPerLine = 16;
constexpr size_t kLineLength = kBytesPerLine * 3 + 2 + kBytesPerLine + 1;

}  // namespace

std::string HexDumpBody(const uint8_t* bytes, size_t count, const std::vector<bool>* mask) {
    static const char kHex[] = "0123456789ABCDEF";
    size_t lines = (count + kBytesPerLine - 1) / kBytesPerLine;
    std::string text(lines * kLineLength, ' ');
    for (size_t line = 0; line < lines; ++line) {
        char* out = &text[line * kLineLength];
        const size_t first = line * kBytesPerLine;
        for (size_t i = 0; i < kBytesPerLine && first + i < count; ++i) {
            const size_t index = first + i;
            char* hex = &out[i * 3];
            char* character = &out[kBytesPerLine * 3 + 2 + i];
            if (mask && index < mask->size() && (*mask)[index]) {
                hex[0] = hex[1] = '*';
                *character = '*';
                continue;
            }
            uint8_t b = bytes[index];
            hex[0] = kHex[b >> 4];
            hex[1] = kHex[b & 0x0F];
            *character = (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
        }
        out[kLineLength - 1] = '\n';
    }
    return text;
}

std::string HexDump(const char* title, const uint8_t* bytes, size_t count,
                    const std::vector<bool>* mask) {
    return std::string(title) + " (" + std::to_string(count) + "):\n" +
           HexDumpBody(bytes, count, mask);
}

namespace {

std::vector<uint8_t> FramedAsReceived(const uint8_t* stored, size_t storedLength, uint8_t lrc) {
    std::vector<uint8_t> frame;
    frame.reserve(storedLength + 3);
    frame.push_back(kSTX);
    frame.insert(frame.end(), stored, stored + storedLength);
    frame.push_back(kETX);
    frame.push_back(lrc);
    return frame;
}

// A message mask (identifier and payload) placed in a frame of `frameLength` bytes whose
// message starts at `offset`.
std::vector<bool> InFrame(const std::vector<bool>& messageMask, size_t offset, size_t frameLength) {
    if (messageMask.empty()) return {};
    std::vector<bool> mask(frameLength, false);
    for (size_t i = 0; i < messageMask.size() && offset + i < frameLength; ++i)
        mask[offset + i] = messageMask[i];
    return mask;
}

// The mask of a message whose payload went through P1.6: the characters that carry hidden
// bytes of `plainMask` (over identifier and decoded payload) are hidden.
std::vector<bool> EncodedMessageMask(const std::vector<bool>& plainMask, size_t encodedChars) {
    if (plainMask.size() <= 3) return {};
    std::vector<bool> mask(3, false);
    std::vector<bool> chars =
        EncodedMask(std::vector<bool>(plainMask.begin() + 3, plainMask.end()), encodedChars);
    mask.insert(mask.end(), chars.begin(), chars.end());
    return mask;
}

// The mask of the stored bytes of a received frame (identifier and payload).
std::vector<bool> ReceivedMask(const uint8_t* stored, size_t storedLength, bool p16Encoded) {
    if (!p16Encoded || storedLength <= 3)
        return SensitiveMask(LinkDirection::FromTerminal, stored, storedLength);
    std::vector<uint8_t> message(stored, stored + 3);
    std::vector<uint8_t> payload =
        P16Decode(std::vector<uint8_t>(stored + 3, stored + storedLength));
    message.insert(message.end(), payload.begin(), payload.end());
    return EncodedMessageMask(
        SensitiveMask(LinkDirection::FromTerminal, message.data(), message.size()),
        storedLength - 3);
}

// The mask of the message (identifier and payload) of a frame the library writes.
std::vector<bool> TxMessageMask(const uint8_t* frame, size_t length) {
    if (!frame || length < 3) return {};
    const uint8_t* message = frame + 1;
    const size_t messageLength = length - 3;
    if (frame[0] == kSOH) {
        if (LogSensitiveData() || messageLength == 0) return {};
        return std::vector<bool>(messageLength, true);
    }
    return SensitiveMask(LinkDirection::ToTerminal, message, messageLength);
}

}  // namespace

std::vector<bool> TxFrameMask(const uint8_t* frame, size_t length) {
    return InFrame(TxMessageMask(frame, length), 1, length);
}

std::string ReceivedFrameDump(const char* title, const uint8_t* stored, size_t storedLength,
                              uint8_t lrc, bool p16Encoded) {
    std::vector<uint8_t> frame = FramedAsReceived(stored, storedLength, lrc);
    const std::vector<bool> mask =
        InFrame(ReceivedMask(stored, storedLength, p16Encoded), 1, frame.size());
    return HexDump(title, frame.data(), frame.size(), &mask);
}

void LogHexDump(CLogger& logger, int32_t level, const char* title, const uint8_t* bytes,
                size_t count, const std::vector<bool>* mask) {
    if (!logger.Enabled(level)) return;
    logger.Log(level, "%s (%d):\n%s", title, static_cast<int>(count),
               HexDumpBody(bytes, count, mask).c_str());
}

void LogReceivedFrameDump(CLogger& logger, int32_t level, const char* title, const uint8_t* stored,
                          size_t storedLength, uint8_t lrc, bool p16Encoded) {
    if (!logger.Enabled(level)) return;
    std::vector<uint8_t> frame = FramedAsReceived(stored, storedLength, lrc);
    const std::vector<bool> mask =
        InFrame(ReceivedMask(stored, storedLength, p16Encoded), 1, frame.size());
    LogHexDump(logger, level, title, frame.data(), frame.size(), &mask);
}

void DumpTxFrame(CLogger& logger, int32_t level, const uint8_t* plain, size_t plainLength,
                 const uint8_t* encoded, int encodedLength) {
    if (!logger.Enabled(level)) return;
    const std::vector<bool> messageMask = TxMessageMask(plain, plainLength);
    if (encoded && encodedLength >= 0) {
        size_t inner = plainLength >= 3 ? plainLength - 3 : 0;
        LogHexDump(logger, level, kTxUnencodedTitle, plainLength ? plain + 1 : plain, inner,
                   &messageMask);
        const size_t encodedSize = static_cast<size_t>(encodedLength);
        const size_t encodedChars =
            encodedSize >= 6 ? encodedSize - 6 : 0;  // less STX, id, ETX, LRC
        const std::vector<bool> encodedMask =
            InFrame(EncodedMessageMask(messageMask, encodedChars), 1, encodedSize);
        LogHexDump(logger, level, kTxEncodedTitle, encoded, encodedSize, &encodedMask);
    } else {
        const std::vector<bool> frameMask = InFrame(messageMask, 1, plainLength);
        LogHexDump(logger, level, kTxDataTitle, plain, plainLength, &frameMask);
    }
}

}  // namespace orn
