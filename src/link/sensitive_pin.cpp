// Secrets of the PIN entry, keypad entry, key management and MAC messages, for the masks of the
// link dumps.
// Positions count in the payload, the bytes after the 3-character identifier.
#include <algorithm>

#include "link/debit_reply.h"
#include "link/sensitive.h"

namespace orn {

namespace {

constexpr size_t kAccountLength = 16;
constexpr size_t kCheckValueLength = 8;

bool IsDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

bool IsHexDigit(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Everything after the status character of an answer (PIN blocks, key serial numbers, check
// values, encryption results).
void HideAfterStatus(LinkDirection direction, const uint8_t*, size_t length,
                     std::vector<bool>& mask) {
    if (direction == LinkDirection::FromTerminal) HideRange(mask, 1, length);
}

// A 16-character account number at `from`: its first 6 and last 4 digits stay.
void HideAccount(const uint8_t* payload, size_t length, size_t from, std::vector<bool>& mask) {
    HideAccountNumber(mask, payload, std::min(length, from + kAccountLength), from);
}

// The key a key mode character announces ('S' 16 characters, 'D' 32 and a check value) and the
// check value after it. With `optionalCheckValue` (a message that may carry a check value
// whatever the mode), 8 hexadecimal characters after the key are taken for one: at worst a few
// characters too many are hidden. Returns the position after what was hidden.
size_t HideModeKey(const uint8_t* payload, size_t length, size_t modePos, bool optionalCheckValue,
                   std::vector<bool>& mask) {
    if (modePos >= length) return length;
    const uint8_t mode = payload[modePos];
    size_t pos = modePos + 1;
    const size_t keyLength = mode == 'S' ? 16 : mode == 'D' ? 32 : 0;
    HideRange(mask, pos, keyLength);
    pos += keyLength;
    bool checkValue = mode == 'D';
    if (!checkValue && optionalCheckValue && pos + kCheckValueLength <= length) {
        checkValue = true;
        for (size_t i = pos; i < pos + kCheckValueLength; ++i)
            checkValue = checkValue && IsHexDigit(payload[i]);
    }
    if (checkValue) {
        HideRange(mask, pos, kCheckValueLength);
        pos += kCheckValueLength;
    }
    return std::min(pos, length);
}

// "31." DUKPT PIN entry: selector, option, account, prompt; answer: PIN block and key serial
// number.
void MarkDukpt(LinkDirection direction, const uint8_t* payload, size_t length,
               std::vector<bool>& mask) {
    if (direction == LinkDirection::ToTerminal)
        HideAccount(payload, length, 2, mask);
    else
        HideRange(mask, 1, length);
}

// "41." master/session PIN entry: selector, option, key index, account, session key and check
// value, 4-character prompt; answer: PIN block.
void MarkMasterSession(LinkDirection direction, const uint8_t* payload, size_t length,
                       std::vector<bool>& mask) {
    if (direction == LinkDirection::FromTerminal) return HideRange(mask, 1, length);
    HideAccount(payload, length, 3, mask);
    const size_t keyStart = 3 + kAccountLength;
    if (length > keyStart + 4) HideRange(mask, keyStart, length - 4 - keyStart);
}

// "69." / "6H." PIN entry with display: the account and key mode follow selector, option, (the
// two PIN length digits of "6H.") and the key index; answer: PIN block.
template <size_t kAccountPos>
void MarkDisplayPin(LinkDirection direction, const uint8_t* payload, size_t length,
                    std::vector<bool>& mask) {
    if (direction == LinkDirection::FromTerminal) return HideRange(mask, 1, length);
    HideAccount(payload, length, kAccountPos, mask);
    HideModeKey(payload, length, kAccountPos + kAccountLength, true, mask);
}

// "6B." debit start: ... entry mode at 3, key mode at 24, key, check value (mode 'D'), account
// (entry mode 0); answer: values, account type, PIN block, and two texts sized like track 2 and
// track 1, which are the card the terminal read.
void MarkDebitStart(LinkDirection direction, const uint8_t* payload, size_t length,
                    std::vector<bool>& mask) {
    if (direction == LinkDirection::FromTerminal) {
        // The status character comes first in the answer; the layout reader wants it.
        const DebitReply reply = ParseDebitReply(reinterpret_cast<const char*>(payload), length);
        if (reply.pinBlockPos == 0) return;
        // Everything from the PIN block on, whether or not the texts' lengths add up; only
        // length fields of two digits stay.
        HideRange(mask, reply.pinBlockPos, length);
        for (size_t pos : {reply.firstLengthPos, reply.secondLengthPos}) {
            if (pos == 0 || pos + 2 > mask.size() || !IsDigit(payload[pos]) ||
                !IsDigit(payload[pos + 1]))
                continue;
            mask[pos] = mask[pos + 1] = false;
        }
        return;
    }
    constexpr size_t kEntryModePos = 3;
    constexpr size_t kKeyModePos = 24;
    if (length <= kKeyModePos) return;
    const size_t after = HideModeKey(payload, length, kKeyModePos, false, mask);
    if (payload[kEntryModePos] == '0') HideAccount(payload, length, after, mask);
}

// "58." / "68." keypad entry answer: status, then the typed text, after a length field when the
// request gave a maximum. The answer alone does not say which form it is, so the length field
// is hidden with the text (the dump's byte count shows the length anyway): a card number,
// expiry date or security code typed at a prompt is as secret as the track it stands for.
void MarkKeyedEntry(LinkDirection direction, const uint8_t* payload, size_t length,
                    std::vector<bool>& mask) {
    HideAfterStatus(direction, payload, length, mask);
}

// "40." key load: index, type, then key, check value and the 16-character field, and a final
// flag of "00" after a 16-character key or "0" after a 32-character key.
void MarkKeyLoad(LinkDirection direction, const uint8_t*, size_t length, std::vector<bool>& mask) {
    if (direction == LinkDirection::FromTerminal || length <= 2) return;
    const size_t material = length - 2;
    const size_t flag = (material == 34 || material == 42) ? 2 : material == 57 ? 1 : 0;
    HideRange(mask, 2, material - flag);
}

// "42." encryption ("002" or "2c2" and the key index) hides key, check value and data block;
// decrypt and display (mode, digit, time, key index) the same but not its 8-character text.
// The answer of an encryption carries the result block.
void MarkEncryption(LinkDirection direction, const uint8_t* payload, size_t length,
                    std::vector<bool>& mask) {
    if (direction == LinkDirection::FromTerminal) return HideRange(mask, 1, length);
    if (length <= 4) return;
    const bool display = payload[0] == '1' || payload[0] == '3';
    const size_t end = display ? (length > 12 ? length - 8 : 4) : length;
    HideRange(mask, 4, end - 4);
}

// "47." decrypt and display in ASCII: "1", digit, time, key index, key, check value, data,
// 8-character text.
void MarkAsciiDisplay(LinkDirection direction, const uint8_t*, size_t length,
                      std::vector<bool>& mask) {
    if (direction == LinkDirection::ToTerminal && length > 12) HideRange(mask, 4, length - 12);
}

// MAC requests hide their working key, check value and data from `from` on; the answers (the
// MAC or the match) stay.
template <size_t kFrom>
void MarkMacRequest(LinkDirection direction, const uint8_t*, size_t length,
                    std::vector<bool>& mask) {
    if (direction == LinkDirection::ToTerminal) HideRange(mask, kFrom, length);
}

// "6E." / "6G." chunked MAC: chunk index and last index (4 characters), then, in the first
// chunk, key index and key mode before the key.
void MarkChunkedMac(LinkDirection direction, const uint8_t* payload, size_t length,
                    std::vector<bool>& mask) {
    if (direction != LinkDirection::ToTerminal || length < 4) return;
    const bool first = payload[0] == '0' && payload[1] == '0';
    HideRange(mask, first ? 6 : 4, length);
}

// "F1." binary MAC chunk (operation 'C' or 'E' at 2): length, operation, chunk numbers, then
// the key header and data.
void MarkBinaryMac(LinkDirection direction, const uint8_t* payload, size_t length,
                   std::vector<bool>& mask) {
    if (direction != LinkDirection::ToTerminal || length < 7) return;
    if (payload[2] == 'C' || payload[2] == 'E') HideRange(mask, 7, length);
}

}  // namespace

extern const SensitiveMessage kPinSensitiveMessages[] = {
    {"31.", MarkDukpt},         {"41.", MarkMasterSession}, {"69.", MarkDisplayPin<3>},
    {"6H.", MarkDisplayPin<5>}, {"6B.", MarkDebitStart},    {"40.", MarkKeyLoad},
    {"53.", HideAfterStatus},   {"42.", MarkEncryption},    {"47.", MarkAsciiDisplay},
    {"43.", MarkMacRequest<1>}, {"44.", MarkMacRequest<1>}, {"45.", MarkMacRequest<1>},
    {"46.", MarkMacRequest<1>}, {"64.", MarkMacRequest<2>}, {"66.", MarkMacRequest<2>},
    {"6E.", MarkChunkedMac},    {"6G.", MarkChunkedMac},    {"F1.", MarkBinaryMac},
    {"58.", MarkKeyedEntry},    {"68.", MarkKeyedEntry},    {nullptr, nullptr},
};

}  // namespace orn
