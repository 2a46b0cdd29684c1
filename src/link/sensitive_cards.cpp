// Secrets of the card reader messages (track data, account numbers), for the masks of the link
// dumps. Positions count in the payload, the bytes after the 3-character identifier (decoded for
// "F0."/"F1."). What describes a message stays visible: lengths, channel codes, function bytes,
// statuses, message types, sequence numbers and names; only card and application data is hidden.
#include <algorithm>

#include "link/sensitive.h"

namespace orn {

namespace {

constexpr uint8_t kChannelMsr = 4;
constexpr uint8_t kChannelSmartCard = 7;
constexpr uint8_t kFunctionExchange = 0x0D;
// Reader request: length (2), channel, time limit (2), function, then for a card command its
// length byte and the command bytes.
constexpr size_t kReaderChannel = 2;
constexpr size_t kReaderFunction = 5;
constexpr size_t kCommandBytes = 7;
// Reader answer: length (2), channel, status, data.
constexpr size_t kAnswerData = 4;
// Leading bytes of a smart-card answer block that the reader reports apart from the card's
// bytes (a command answer's three leading bytes; an answer to reset's type byte and first two
// bytes).
constexpr size_t kCardBlockVisible = 3;
// EMV data messages: type at 2, data from 30 in both directions.
constexpr size_t kEmvType = 2;
constexpr uint8_t kEmvData = 4;
constexpr size_t kEmvDataStart = 30;

size_t BigEndian16(const uint8_t* bytes) {
    return (static_cast<size_t>(bytes[0]) << 8) | bytes[1];
}

// "F0.": the command bytes sent to a smart card; the track data of a swipe answer (blocks of
// status, length and data after the channel); the card's bytes in a smart-card answer block.
void MarkReaderChannel(LinkDirection direction, const uint8_t* payload, size_t length,
                       std::vector<bool>& mask) {
    if (length <= kReaderChannel) return;
    const uint8_t channel = payload[kReaderChannel];
    if (direction == LinkDirection::ToTerminal) {
        if (channel == kChannelSmartCard && length > kReaderFunction &&
            payload[kReaderFunction] == kFunctionExchange)
            HideRange(mask, kCommandBytes, length);
        return;
    }
    // What the length field covers, as far as it arrived (an 8-bit link adds the end byte).
    const size_t end = std::min(length, BigEndian16(payload) + 2);
    if (channel == kChannelMsr) {
        for (size_t pos = kReaderChannel + 1; pos + 1 < end;) {
            const size_t trackLength = payload[pos + 1];
            HideRange(mask, pos + 2, std::min(trackLength, end - (pos + 2)));
            pos += 2 + trackLength;
        }
    } else if (channel == kChannelSmartCard && end > kAnswerData) {
        size_t pos = kAnswerData;
        size_t blockLength = payload[pos++];
        if (blockLength == 0xFF) {
            if (pos + 2 > end) return;
            blockLength = BigEndian16(payload + pos);
            pos += 2;
        }
        const size_t from = pos + kCardBlockVisible;
        if (blockLength > kCardBlockVisible && from < end)
            HideRange(mask, from, std::min(blockLength - kCardBlockVisible, end - from));
    }
}

// "F1.": the data of an EMV data message, both directions.
void MarkEmvData(LinkDirection, const uint8_t* payload, size_t length, std::vector<bool>& mask) {
    if (length > kEmvType && payload[kEmvType] == kEmvData) HideRange(mask, kEmvDataStart, length);
}

// "67." answer: status digit, source character, then for a swiped card the second and the first
// track, each as two length digits and the text.
void MarkDisplaySwipe(LinkDirection direction, const uint8_t* payload, size_t length,
                      std::vector<bool>& mask) {
    if (direction != LinkDirection::FromTerminal || length < 2 || payload[1] != '0') return;
    size_t pos = 2;
    for (int track = 0; track < 2 && pos + 2 <= length; ++track) {
        const uint8_t tens = payload[pos], units = payload[pos + 1];
        if (tens < '0' || tens > '9' || units < '0' || units > '9') {
            HideRange(mask, pos, length);  // unreadable: hide the rest rather than guess
            return;
        }
        const size_t trackLength = static_cast<size_t>((tens - '0') * 10 + (units - '0'));
        HideRange(mask, pos + 2, trackLength);
        pos += 2 + trackLength;
    }
}

}  // namespace

extern const SensitiveMessage kCardSensitiveMessages[] = {
    {"F0.", MarkReaderChannel},
    {"F1.", MarkEmvData},
    {"67.", MarkDisplaySwipe},
    {nullptr, nullptr},
};

}  // namespace orn
