// The message table and the layouts of the payloads. Positions count in the payload, the bytes
// after the identifier ("F0."/"F1." payloads decoded). A layout reads whatever it is given: a
// short, long or garbled payload yields the fields it reaches, and a length or mode it cannot
// read makes it hide the rest rather than guess.
#include "link/catalogue.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "velquoraorn.h"

namespace orn::catalogue {

size_t Fields::Add(const char* name, size_t from, size_t count, Secrecy secrecy, Format format) {
    if (from < length_) {
        Field field{name, from, std::min(count, length_ - from), secrecy, format, {}};
        if (field.count > 0) list_.push_back(std::move(field));
    }
    return from + count;
}

void Fields::Rest(const char* name, size_t from, Secrecy secrecy, Format format) {
    if (from < length_) Add(name, from, length_ - from, secrecy, format);
}

void Fields::Note(const char* name, std::string note) {
    list_.push_back(Field{name, 0, 0, Secrecy::Shown, Format::Note, std::move(note)});
}

namespace {

constexpr auto kSecret = Secrecy::Secret;
constexpr auto kNumber = Format::Number;
constexpr size_t kAccountLength = 16;
constexpr size_t kCheckValueLength = 8;

bool IsDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

bool IsHexDigit(uint8_t c) {
    return std::isxdigit(c) != 0;
}

size_t BigEndian16(uint8_t high, uint8_t low) {
    return (static_cast<size_t>(high) << 8) | low;
}

size_t BigEndian16(const uint8_t* bytes) {
    return BigEndian16(bytes[0], bytes[1]);
}

// ---- Shapes shared by many messages ----------------------------------------------------------

void Status(Fields& f) {
    f.Add("status", 0, 1);
}

void StatusThenText(Fields& f) {
    Status(f);
    f.Rest("text", 1);
}

// Everything after the status character is secret (PIN blocks, key serial numbers, check
// values, encryption results, typed entries).
void StatusThenSecret(Fields& f) {
    Status(f);
    f.Rest("value", 1, kSecret);
}

// The key a key mode character announces ('S' 16 characters, 'D' 32 and a check value) and the
// check value after it. With `optionalCheckValue` (a message that may carry a check value
// whatever the mode), 8 hexadecimal characters after the key are taken for one: at worst a few
// characters too many are hidden. Returns the position after what was read.
size_t ModeKey(Fields& f, size_t modePos, bool optionalCheckValue) {
    const size_t length = f.Length();
    if (modePos >= length) return length;
    const uint8_t mode = f.At(modePos);
    size_t pos = f.Add("key mode", modePos, 1);
    const size_t keyLength = mode == 'S' ? 16 : mode == 'D' ? 32 : 0;
    pos = f.Add("key", pos, keyLength, kSecret);
    bool checkValue = mode == 'D';
    if (!checkValue && optionalCheckValue && pos + kCheckValueLength <= length) {
        checkValue = true;
        for (size_t i = pos; i < pos + kCheckValueLength; ++i)
            checkValue = checkValue && IsHexDigit(f.At(i));
    }
    if (checkValue) pos = f.Add("check value", pos, kCheckValueLength, kSecret);
    return std::min(pos, length);
}

size_t Account(Fields& f, size_t from) {
    return f.Add("account", from, kAccountLength, Secrecy::Account);
}

// ---- Basic, device and storage ---------------------------------------------------------------

void BeepRequest(Fields& f) {
    f.Add("tone", 0, 1);
}
void IdleRequest(Fields& f) {
    f.Add("code", 0, 2);
}
void PromptRegisterRequest(Fields& f) {
    size_t pos = f.Add("index", 0, 2);
    f.Add("prompt", pos, f.Length() > pos + 8 ? f.Length() - pos - 8 : 0);
    f.Add("tail", f.Length() >= pos + 8 ? f.Length() - 8 : pos, 8);
}
void ActionThenRest(Fields& f) {
    f.Add("action", 0, 1);
    f.Rest("data", 1);
}
void ClockAnswer(Fields& f) {
    Status(f);
    f.Rest("date and time", 1);
}
void FormRequest(Fields& f) {
    f.Rest("form", 0);
}
void SerialAnswer(Fields& f) {
    Status(f);
    f.Rest("serial", 2);
}
void ModeRequest(Fields& f) {
    f.Rest("mode", 0);
}
void PortRequest(Fields& f) {
    f.Rest("interface", 0);
}

// "F0." application update: length, command byte 0x06, then the update's bytes (request) or the
// status byte (answer).
bool IsApplicationUpdate(const uint8_t* payload, size_t length) {
    return length > 2 && payload[2] == 0x06;
}
void UpdateMessage(Fields& f) {
    f.Add("length", 0, 2, Secrecy::Shown, kNumber);
    f.Add("command", 2, 1, Secrecy::Shown, kNumber);
    f.Rest("status", 3, Secrecy::Shown, Format::Hex);
}

// ---- Card readers ------------------------------------------------------------------------------

constexpr uint8_t kChannelMsr = 4;
constexpr uint8_t kChannelSmartCard = 7;
constexpr uint8_t kFunctionExchange = 0x0D;
// Leading bytes of a smart-card answer block that the reader reports apart from the card's
// bytes (a command answer's three leading bytes; an answer to reset's type byte and first two
// bytes).
constexpr size_t kCardBlockVisible = 3;

// "F0." reader request: length (2), channel, time limit (2), function, then for a card command
// its length byte and the command bytes, which are secret.
void ReaderRequest(Fields& f) {
    f.Add("length", 0, 2, Secrecy::Shown, kNumber);
    f.Add("channel", 2, 1, Secrecy::Shown, kNumber);
    f.Add("time limit", 3, 2, Secrecy::Shown, kNumber);
    f.Add("function", 5, 1, Secrecy::Shown, Format::Hex);
    const bool exchange =
        f.At(2) == kChannelSmartCard && f.Length() > 5 && f.At(5) == kFunctionExchange;
    f.Add("command length", 6, 1, Secrecy::Shown, kNumber);
    f.Rest("command", 7, exchange ? kSecret : Secrecy::Shown, Format::Hex);
}

// "F0." reader answer: length (2), channel, status, then the swipe's tracks (status, length and
// track data each) or a smart card's data block (length byte, 0xFF announcing two more).
void ReaderAnswer(Fields& f) {
    const size_t length = f.Length();
    f.Add("length", 0, 2, Secrecy::Shown, kNumber);
    f.Add("channel", 2, 1, Secrecy::Shown, kNumber);
    if (length <= 2) return;
    const uint8_t channel = f.At(2);
    // What the length field covers, as far as it arrived (an 8-bit link adds the end byte).
    const size_t end = std::min(length, BigEndian16(f.Payload()) + 2);
    if (channel == kChannelMsr) {
        for (size_t pos = 3; pos + 1 < end;) {
            const size_t trackLength = f.At(pos + 1);
            f.Add("track status", pos, 1, Secrecy::Shown, kNumber);
            f.Add("track length", pos + 1, 1, Secrecy::Shown, kNumber);
            f.Add("track", pos + 2, std::min(trackLength, end - (pos + 2)), kSecret);
            pos += 2 + trackLength;
        }
        return;
    }
    f.Add("status", 3, 1, Secrecy::Shown, Format::Hex);
    if (channel != kChannelSmartCard || end <= 4) return;
    size_t pos = 4;
    size_t blockLength = f.At(pos);
    f.Add("block length", pos++, 1, Secrecy::Shown, kNumber);
    if (blockLength == 0xFF) {
        if (pos + 2 > end) return;
        blockLength = BigEndian16(f.Payload() + pos);
        pos = f.Add("block length", pos, 2, Secrecy::Shown, kNumber);
    }
    f.Add("reader bytes", pos, std::min(blockLength, kCardBlockVisible), Secrecy::Shown,
          Format::Hex);
    const size_t from = pos + kCardBlockVisible;
    if (blockLength > kCardBlockVisible && from < end)
        f.Add("card bytes", from, std::min(blockLength - kCardBlockVisible, end - from), kSecret,
              Format::Hex);
}

// "67." request: track selection, time limit (2), three options, display lines.
void DisplaySwipeRequest(Fields& f) {
    f.Add("tracks", 0, 1);
    f.Add("time limit", 1, 2);
    f.Add("options", 3, 3);
    f.Rest("display", 6);
}

// "67." answer: status digit, source character, then for a swiped card the second and the first
// track, each as two length digits and the text.
void DisplaySwipeAnswer(Fields& f) {
    Status(f);
    f.Add("source", 1, 1);
    if (f.Length() < 2 || f.At(1) != '0') return;
    size_t pos = 2;
    for (const char* track : {"track 2", "track 1"}) {
        if (pos + 2 > f.Length()) return;
        const uint8_t tens = f.At(pos), units = f.At(pos + 1);
        if (!IsDigit(tens) || !IsDigit(units)) {
            f.Rest("unreadable", pos, kSecret);  // hide the rest rather than guess
            return;
        }
        const size_t trackLength = static_cast<size_t>((tens - '0') * 10 + (units - '0'));
        f.Add("length", pos, 2);
        f.Add(track, pos + 2, trackLength, kSecret);
        pos += 2 + trackLength;
    }
}

// ---- EMV channel ("F1."): length (2), type, sequence, body ------------------------------------

constexpr uint8_t kEmvDataType = 4;
constexpr size_t kEmvDataStart = 30;
constexpr size_t kEmvNameLength = 12;
// Where the application's name is: the terminal names the application it speaks for first, the
// host names itself first and the application after.
constexpr size_t kEmvDataSourceName = 6;
constexpr size_t kEmvDataTargetName = kEmvDataSourceName + kEmvNameLength;
constexpr size_t kEmvSessionAppName = 5 + kEmvNameLength;

std::string EmvName(const Fields& f, size_t from) {
    std::string name;
    for (size_t i = from; i < from + kEmvNameLength && i < f.Length() && f.At(i) != 0; ++i)
        name += static_cast<char>(f.At(i));
    return name;
}

template <uint8_t kType>
bool IsEmvType(const uint8_t* payload, size_t length) {
    return length > 2 && payload[2] == kType;
}

// Length, type and sequence number, then for a data message its sub-type, the application's
// name (at `appName`) and the data. Returns false for any other type, the body being read by the
// caller.
bool EmvHeadOrData(Fields& f, size_t appName) {
    f.Add("length", 0, 2, Secrecy::Shown, kNumber);
    f.Add("type", 2, 1, Secrecy::Shown, kNumber);
    f.Add("seq", 3, 1, Secrecy::Shown, kNumber);
    if (f.Length() <= 4) return true;
    if (f.At(2) != kEmvDataType) return false;
    f.Add("sub-type", 4, 1, Secrecy::Shown, kNumber);
    if (f.Length() > appName) f.Note("app", EmvName(f, appName));
    f.Rest("data", kEmvDataStart, kSecret, Format::Hex);
    return true;
}

// The host's messages: data, session requests (0x01, source name, application name) and
// acknowledgements.
void EmvRequest(Fields& f) {
    if (EmvHeadOrData(f, kEmvDataTargetName)) return;
    const uint8_t type = f.At(2);
    if (type <= 3 || type == 16) {
        if (f.Length() > kEmvSessionAppName) f.Note("app", EmvName(f, kEmvSessionAppName));
    } else {
        f.Add("status", 4, 1, Secrecy::Shown, kNumber);
    }
}

// The terminal's messages: data, and answers and acknowledgements led by a status byte.
void EmvAnswer(Fields& f) {
    if (EmvHeadOrData(f, kEmvDataSourceName)) return;
    f.Add("status", 4, 1, Secrecy::Shown, kNumber);
}

// ---- Display and keypad ----------------------------------------------------------------------

constexpr uint8_t kDisplayEscape = 0x1B;
constexpr size_t kPromptColumns = 32;

// The bytes that make up `columns` display columns from `from` on: an escape and the byte after
// it are one column.
size_t DisplayBytes(const Fields& f, size_t from, size_t columns) {
    size_t at = from;
    for (size_t used = 0; used < columns && at < f.Length(); ++used)
        at += f.At(at) == kDisplayEscape && at + 1 < f.Length() ? 2 : 1;
    return at - from;
}

// "58." text-entry forms and "68.": mode, type, option, then the prompt ("58." only, 32
// columns), the stored prompt's index (2 hexadecimal digits) and the maximum length, when one
// is given.
template <bool kPrompt>
void EntryRequest(Fields& f) {
    f.Add("entry mode", 0, 1);
    f.Add("type", 1, 1);
    f.Add("option", 2, 1);
    size_t pos = 3;
    if (kPrompt) pos = f.Add("prompt", pos, DisplayBytes(f, pos, kPromptColumns));
    pos = f.Add("stored prompt", pos, 2);
    f.Rest("maximum length", pos);
}

// "58.": the display forms ("00", "10": line count, first line, text) and the text-entry forms
// (mode, type, option, prompt, stored prompt, maximum length).
void DisplayRequest(Fields& f) {
    if (f.At(0) == '0' || f.At(0) == '1') {
        f.Add("mode", 0, 2);
        f.Add("lines", 2, 1);
        f.Add("first line", 3, 1);
        f.Rest("text", 4);
        return;
    }
    EntryRequest<true>(f);
}

// "58." / "68." keypad entry answer: status, then the typed text, after a length field when the
// request gave a maximum. The answer alone does not say which form it is, so the length field
// is hidden with the text (the dump's byte count shows the length anyway): a card number,
// expiry date or security code typed at a prompt is as secret as the track it stands for.
void EntryAnswerFields(Fields& f) {
    Status(f);
    f.Rest("entry", 1, kSecret);
}

void StatusThenKey(Fields& f) {
    Status(f);
    f.Add("key", 1, 1);
}

void ClearRequest(Fields& f) {
    f.Add("line", 0, 1);
}

// "57.": "0", mode, "0", amount (15 digits), text.
void AmountRequest(Fields& f) {
    f.Add("mode", 1, 1);
    f.Add("amount", 3, 15);
    f.Rest("text", 18);
}

// "6C.": "0", six parameter fields (7 characters), four title lines and the items, each ended
// by 0x1E.
void ScrollListRequest(Fields& f) {
    constexpr uint8_t kSeparator = 0x1E;
    constexpr size_t kTitles = 4;
    size_t separators = 0;
    for (size_t i = 8; i < f.Length(); ++i) separators += f.At(i) == kSeparator;
    const size_t items = separators > kTitles ? separators - kTitles : 0;
    f.Note("items", std::to_string(items));
    f.Add("parameters", 1, 7);
    f.Rest("titles and items", 8);
}

void ScrollListAnswer(Fields& f) {
    Status(f);
    f.Add("selection", 1, 2);
    f.Add("data", 3, 4);
}

// ---- Keys and encryption ---------------------------------------------------------------------

constexpr size_t kKeyFieldLength = 16;  // a data block, and the 16-character field of "40."

// A key, its check value and a 16-character field in [from, end), all secret. The key has 32
// characters when there is room for 56 (a 32-character key always comes with its check value),
// else 16; what does not add up goes to the last field.
void KeyMaterial(Fields& f, const char* last, size_t from, size_t end) {
    const size_t room = end - from;
    size_t pos = f.Add("key", from, std::min<size_t>(room >= 56 ? 32 : 16, room), kSecret);
    if (end > pos + kKeyFieldLength)
        pos = f.Add("check value", pos, end - pos - kKeyFieldLength, kSecret);
    f.Add(last, pos, end - pos, kSecret);
}

// "40." key load: index, type, then key, check value and the 16-character field, and a final
// flag of "00" after a 16-character key or "0" after a 32-character key.
void KeyLoadRequest(Fields& f) {
    f.Add("index", 0, 1);
    f.Add("type", 1, 1);
    if (f.Length() <= 2) return;
    const size_t material = f.Length() - 2;
    const size_t flag = (material == 34 || material == 42) ? 2 : material == 57 ? 1 : 0;
    KeyMaterial(f, "extra", 2, f.Length() - flag);
    f.Rest("flag", f.Length() - flag);
}

// "53.": a request letter or key type alone, or a key's index (2 hexadecimal digits) and the
// letter.
void KeyRequest(Fields& f) {
    if (f.Length() != 3) return f.Rest("request", 0);
    f.Add("key index", 0, 2);
    f.Add("request", 2, 1);
}

// "42." encryption ("002" or "2c2" and the key index) hides key, check value and data block;
// decrypt and display (mode, digit, time, key index) the same but not its 8-character text.
void EncryptionRequest(Fields& f) {
    f.Add("form", 0, 3);
    f.Add("key index", 3, 1);
    const size_t length = f.Length();
    if (length <= 4) return;
    const bool display = f.At(0) == '1' || f.At(0) == '3';
    const size_t end = display ? (length > 12 ? length - 8 : 4) : length;
    if (end > 4) KeyMaterial(f, "data", 4, end);
    f.Rest("text", end);
}

// "47." decrypt and display in ASCII: "1", digit, time, key index, key, check value, data,
// 8-character text.
void AsciiDisplayRequest(Fields& f) {
    f.Add("form", 0, 3);
    f.Add("key index", 3, 1);
    if (f.Length() <= 12) return f.Rest("text", 4);
    KeyMaterial(f, "data", 4, f.Length() - 8);
    f.Rest("text", f.Length() - 8);
}

// ---- MAC -------------------------------------------------------------------------------------

// Key index, key mode, then the working key, check value, expected MAC and data, which only the
// terminal can tell apart (a check value is there when it is the key's own).
size_t MacKeyHead(Fields& f, size_t from, bool keyMode) {
    size_t pos = f.Add("key index", from, 1);
    return keyMode ? f.Add("key mode", pos, 1) : pos;
}

// Block form (no key mode) and variable form.
template <bool kKeyMode>
void MacRequest(Fields& f) {
    f.Rest("key and data", MacKeyHead(f, 0, kKeyMode), kSecret);
}

// "6E." / "6G." chunked MAC: chunk index and last index (2 hexadecimal digits each), then, in
// the first chunk, key index and key mode before the key.
void ChunkedMacRequest(Fields& f) {
    if (f.Length() < 4) return f.Rest("chunk", 0);
    f.Add("chunk", 0, 2);
    f.Add("last chunk", 2, 2);
    if (f.At(0) != '0' || f.At(1) != '0') return f.Rest("data", 4, kSecret);
    f.Rest("key and data", MacKeyHead(f, 4, true), kSecret);
}

// "F1." binary MAC chunk: length, operation ('C' or 'E'), chunk index and last index (2 each),
// then the first chunk's header and the data.
bool IsBinaryMac(const uint8_t* payload, size_t length) {
    return length > 2 && (payload[2] == 'C' || payload[2] == 'E');
}
void BinaryMacRequest(Fields& f) {
    constexpr auto kHex = Format::Hex;
    f.Add("length", 0, 2, Secrecy::Shown, kNumber);
    f.Add("operation", 2, 1);
    if (f.Length() < 7) return;
    f.Add("chunk", 3, 2, Secrecy::Shown, kNumber);
    f.Add("last chunk", 5, 2, Secrecy::Shown, kNumber);
    if (f.At(3) != 0 || f.At(4) != 0) return f.Rest("data", 7, kSecret, kHex);
    // The first chunk's header stays hidden whole, key mode and total length with the key: key
    // mode byte (0x02 and from 0xB0 for a double-length key), key, check value (double length),
    // the expected MAC of a verification and the total length (4).
    const uint8_t mode = f.At(7);
    const bool doubleLength = mode == 0x02 || mode >= 0xB0;
    size_t pos = f.Add("key mode", 7, 1, kSecret, kHex);
    pos = f.Add("key", pos, doubleLength ? 16 : 8, kSecret, kHex);
    if (doubleLength) pos = f.Add("check value", pos, 4, kSecret, kHex);
    if (f.At(2) == 'E') pos = f.Add("expected MAC", pos, 4, kSecret, kHex);
    pos = f.Add("total length", pos, 4, kSecret, kNumber);
    f.Rest("data", pos, kSecret, kHex);
}
void BinaryMacAnswer(Fields& f) {
    f.Add("length", 0, 2, Secrecy::Shown, kNumber);
    f.Add("operation", 2, 1);
    f.Add("status", 3, 1, Secrecy::Shown, Format::Hex);
    f.Rest("mac", 4, Secrecy::Shown, Format::Hex);
}

// ---- PIN entry and the debit sequence --------------------------------------------------------

// "31." DUKPT PIN entry: selector, option, account, prompt; answer: PIN block and key serial
// number.
void DukptRequest(Fields& f) {
    f.Add("selector", 0, 1);
    f.Add("option", 1, 1);
    f.Rest("prompt", Account(f, 2));
}

// "41." master/session PIN entry: selector, option, key index, account, session key and check
// value, 4-character prompt.
void MasterSessionRequest(Fields& f) {
    f.Add("selector", 0, 1);
    f.Add("option", 1, 1);
    f.Add("key index", 2, 1);
    const size_t keyStart = Account(f, 3);
    const size_t length = f.Length();
    if (length <= keyStart + 4) return f.Rest("prompt", keyStart);
    const size_t keyPart = length - 4 - keyStart;
    const size_t keyLength = std::min<size_t>(keyPart >= 40 ? 32 : 16, keyPart);
    f.Add("key", keyStart, keyLength, kSecret);
    f.Add("check value", keyStart + keyLength, keyPart - keyLength, kSecret);
    f.Rest("prompt", length - 4);
}

// "69." / "6H." PIN entry with display: the account and key mode follow selector, option, (the
// two PIN length digits of "6H.") and the key index.
template <size_t kAccountPos>
void DisplayPinRequest(Fields& f) {
    f.Add("selector", 0, 1);
    f.Add("option", 1, 1);
    if (kAccountPos > 3) f.Add("PIN lengths", 2, kAccountPos - 3);
    f.Add("key index", kAccountPos - 1, 1);
    Account(f, kAccountPos);
    f.Rest("display", ModeKey(f, kAccountPos + kAccountLength, true));
}

void DebitInitRequest(Fields& f) {
    f.Rest("stages", 0);
}

// "6B." debit start: flags and times, entry mode at 3, prompt, amount at 12, stage flags, key
// index at 23, key mode at 24, key, check value (mode 'D'), account (entry mode 0).
void DebitStartRequest(Fields& f) {
    constexpr size_t kEntryModePos = 3;
    constexpr size_t kKeyModePos = 24;
    f.Add("timing", 0, 3);
    f.Add("entry mode", kEntryModePos, 1);
    f.Add("stage timing", 4, 4);
    f.Add("prompt", 8, 4);
    f.Add("amount", 12, 9);
    f.Add("stage flags", 21, 2);
    f.Add("key index", 23, 1);
    if (f.Length() <= kKeyModePos) return;
    const size_t after = ModeKey(f, kKeyModePos, false);
    if (f.At(kEntryModePos) == '0')
        Account(f, after);
    else
        f.Rest("rest", after);
}

// "6B." answer: values, account type, PIN block, and two texts sized like track 2 and track 1,
// which are the card the terminal read. Everything from the PIN block on is secret, whether or
// not the texts' lengths add up; only length fields of two digits stay.
void DebitStartAnswer(Fields& f) {
    const size_t length = f.Length();
    const DebitAnswer reply =
        ReadDebit(std::string(reinterpret_cast<const char*>(f.Payload()), length));
    Status(f);
    if (reply.pinBlockPos == 0) return f.Rest("values", 1);
    f.Add("values", 1, reply.pinBlockPos - 1);
    const char* names[] = {"PIN block", "track 2", "track 1"};
    size_t from = reply.pinBlockPos;
    int piece = 0;
    for (size_t pos : {reply.firstLengthPos, reply.secondLengthPos}) {
        if (pos == 0 || pos < from || pos + 2 > length || !IsDigit(f.At(pos)) ||
            !IsDigit(f.At(pos + 1)))
            continue;
        f.Add(names[piece++], from, pos - from, kSecret);
        f.Add("length", pos, 2);
        from = pos + 2;
    }
    f.Rest(names[piece], from, kSecret);
}

}  // namespace

// ---- The table ---------------------------------------------------------------------------

// id, name, family, travel, selector, request, answer
// clang-format off
const Message kBeep = {"5B.", "beep", "basic", Travel::Exchange, nullptr, BeepRequest, Status};
const Message kCancel = {"50.", "cancel", "basic", Travel::Exchange, nullptr, nullptr, Status};
const Message kQuickCancel = {"72", "quick cancel", "basic", Travel::OneWay,
                              nullptr, nullptr, nullptr};
const Message kReboot = {"ER.", "reboot", "basic", Travel::Exchange, nullptr, nullptr, Status};
const Message kReturnToIdle = {"6Z.", "return to idle", "basic", Travel::Exchange,
                               nullptr, IdleRequest, Status};
const Message kPromptRegister = {"56.", "prompt register", "basic", Travel::Exchange,
                                 nullptr, PromptRegisterRequest, Status};
const Message kClock = {"6T.", "clock", "device", Travel::Exchange,
                        nullptr, ActionThenRest, ClockAnswer};
const Message kDeviceInformation = {"5D.", "device information", "device", Travel::Exchange,
                                    nullptr, FormRequest, StatusThenText};
const Message kSerialNumber = {"51.", "serial number", "device", Travel::Exchange,
                               nullptr, FormRequest, SerialAnswer};
const Message kApplicationUpdate = {"F0.", "application update", "device", Travel::Exchange,
                                    IsApplicationUpdate, UpdateMessage, UpdateMessage};
const Message kReaderChannel = {"F0.", "reader channel", "cards", Travel::Exchange,
                                nullptr, ReaderRequest, ReaderAnswer};
const Message kDataBlock = {"5C.", "data block", "storage", Travel::Exchange,
                            nullptr, ActionThenRest, StatusThenText};
const Message kDataTable = {"60.", "data table", "storage", Travel::Exchange,
                            nullptr, ActionThenRest, StatusThenText};
const Message kDataTableReset = {"61.", "data table reset", "storage", Travel::Exchange,
                                 nullptr, ModeRequest, Status};
const Message kDataTableInquiry = {"62.", "data table inquiry", "storage", Travel::Exchange,
                                   nullptr, FormRequest, StatusThenText};
const Message kDisplay = {"58.", "display", "display", Travel::Exchange,
                          nullptr, DisplayRequest, EntryAnswerFields};
const Message kClearDisplay = {"59.", "clear display", "display", Travel::Exchange,
                               nullptr, ClearRequest, Status};
const Message kAmountConfirmation = {"57.", "amount confirmation", "display", Travel::Exchange,
                                     nullptr, AmountRequest, StatusThenKey};
const Message kKeyboardCheck = {"5F.", "keyboard check", "display", Travel::Exchange,
                                nullptr, nullptr, StatusThenText};
const Message kStoredPromptEntry = {"68.", "text entry with stored prompt", "display",
                                    Travel::Exchange, nullptr, EntryRequest<false>, EntryAnswerFields};
const Message kScrollList = {"6C.", "scroll list", "display", Travel::Exchange,
                             nullptr, ScrollListRequest, ScrollListAnswer};
const Message kKeyLoad = {"40.", "key load", "keys", Travel::Exchange,
                          nullptr, KeyLoadRequest, Status};
const Message kDiagnosticKeyRequest = {"53.", "diagnostic key request", "keys", Travel::Exchange,
                                       nullptr, KeyRequest, StatusThenSecret};
const Message kEncryption = {"42.", "encryption", "keys", Travel::Exchange,
                             nullptr, EncryptionRequest, StatusThenSecret};
const Message kAsciiDisplay = {"47.", "decrypt and display in ASCII", "keys", Travel::Exchange,
                               nullptr, AsciiDisplayRequest, Status};
const Message kMacHex = {"43.", "MAC calculation, hex", "mac",
                         Travel::Exchange, nullptr, MacRequest<false>, StatusThenText};
const Message kMac = {"44.", "MAC calculation", "mac", Travel::Exchange,
                      nullptr, MacRequest<false>, StatusThenText};
const Message kMacVerificationHex = {"45.", "MAC verification, hex", "mac",
                                     Travel::Exchange, nullptr, MacRequest<false>, StatusThenText};
const Message kMacVerification = {"46.", "MAC verification", "mac", Travel::Exchange,
                                  nullptr, MacRequest<false>, StatusThenText};
const Message kMacVariable = {"64.", "MAC calculation, variable", "mac",
                              Travel::Exchange, nullptr, MacRequest<true>, StatusThenText};
const Message kMacVerificationVariable = {"66.", "MAC verification, variable", "mac",
                                          Travel::Exchange, nullptr, MacRequest<true>, StatusThenText};
const Message kMacChunked = {"6E.", "MAC calculation, chunked", "mac",
                             Travel::Exchange, nullptr, ChunkedMacRequest, StatusThenText};
const Message kMacVerificationChunked = {"6G.", "MAC verification, chunked", "mac",
                                         Travel::Exchange, nullptr, ChunkedMacRequest, StatusThenText};
const Message kBinaryMac = {"F1.", "binary MAC", "mac", Travel::Exchange,
                            IsBinaryMac, BinaryMacRequest, BinaryMacAnswer};
const Message kEmvGetVersion = {"F1.", "EMV get version", "emv", Travel::Exchange,
                                IsEmvType<1>, EmvRequest, EmvAnswer};
const Message kEmvOpenSession = {"F1.", "EMV open session", "emv", Travel::Exchange,
                                 IsEmvType<2>, EmvRequest, EmvAnswer};
const Message kEmvCloseSession = {"F1.", "EMV close session", "emv", Travel::Exchange,
                                  IsEmvType<3>, EmvRequest, EmvAnswer};
const Message kEmvRegister = {"F1.", "EMV register", "emv", Travel::Exchange,
                              IsEmvType<16>, EmvRequest, EmvAnswer};
const Message kEmvData = {"F1.", "EMV data", "emv", Travel::Both,
                          IsEmvType<kEmvDataType>, EmvRequest, EmvAnswer};
const Message kEmvAcknowledgement = {"F1.", "EMV acknowledgement", "emv", Travel::Both,
                                     IsEmvType<5>, EmvRequest, EmvAnswer};
const Message kEmvProblemAcknowledgement = {"F1.", "EMV problem report acknowledgement", "emv",
                                            Travel::Both, IsEmvType<6>, EmvRequest, EmvAnswer};
const Message kEmv = {"F1.", "EMV", "emv", Travel::Both, nullptr, EmvRequest, EmvAnswer};
const Message kDukptPin = {"31.", "DUKPT PIN entry", "pin", Travel::Exchange,
                           nullptr, DukptRequest, StatusThenSecret};
const Message kPin = {"41.", "PIN entry", "pin", Travel::Exchange,
                      nullptr, MasterSessionRequest, StatusThenSecret};
const Message kDisplayPin = {"69.", "PIN entry with display", "pin", Travel::Exchange,
                             nullptr, DisplayPinRequest<3>, StatusThenSecret};
const Message kDisplayPinLengths = {"6H.", "PIN entry with display, lengths", "pin",
                                    Travel::Exchange, nullptr, DisplayPinRequest<5>, StatusThenSecret};
const Message kDebitInit = {"6A.", "debit sequence init", "pin", Travel::Exchange,
                            nullptr, DebitInitRequest, Status};
const Message kDebitStart = {"6B.", "debit sequence start", "pin", Travel::Exchange,
                             nullptr, DebitStartRequest, DebitStartAnswer};
const Message kDisplaySwipe = {"67.", "display-driven swipe", "cards", Travel::Exchange,
                               nullptr, DisplaySwipeRequest, DisplaySwipeAnswer};
const Message kCommunicationPort = {"6P.", "terminal communication port", "link", Travel::Exchange,
                                    nullptr, PortRequest, Status};
// clang-format on

namespace {

// The first entry that matches a message names it: the shared identifiers' specific entries
// come before their catch-all.
const std::vector<Message> kMessages = {kBeep,
                                        kCancel,
                                        kQuickCancel,
                                        kReboot,
                                        kReturnToIdle,
                                        kPromptRegister,
                                        kClock,
                                        kDeviceInformation,
                                        kSerialNumber,
                                        kApplicationUpdate,
                                        kReaderChannel,
                                        kDataBlock,
                                        kDataTable,
                                        kDataTableReset,
                                        kDataTableInquiry,
                                        kDisplay,
                                        kClearDisplay,
                                        kAmountConfirmation,
                                        kKeyboardCheck,
                                        kStoredPromptEntry,
                                        kScrollList,
                                        kKeyLoad,
                                        kDiagnosticKeyRequest,
                                        kEncryption,
                                        kAsciiDisplay,
                                        kMacHex,
                                        kMac,
                                        kMacVerificationHex,
                                        kMacVerification,
                                        kMacVariable,
                                        kMacVerificationVariable,
                                        kMacChunked,
                                        kMacVerificationChunked,
                                        kBinaryMac,
                                        kEmvGetVersion,
                                        kEmvOpenSession,
                                        kEmvCloseSession,
                                        kEmvRegister,
                                        kEmvData,
                                        kEmvAcknowledgement,
                                        kEmvProblemAcknowledgement,
                                        kEmv,
                                        kDukptPin,
                                        kPin,
                                        kDisplayPin,
                                        kDisplayPinLengths,
                                        kDebitInit,
                                        kDebitStart,
                                        kDisplaySwipe,
                                        kCommunicationPort};

// What an answer's status values mean where the terminal gives them a meaning the library acts
// on (the public header names them); any other value is the terminal's own. A described status
// carries its meaning.
struct StatusMeaning {
    const Message* message;
    int value;
    const char* meaning;
};
const StatusMeaning kStatusMeanings[] = {
    {&kBinaryMac, ORN_MAC_STATUS_MORE_CHUNKS, "more chunks expected"},
    {&kBinaryMac, ORN_MAC_STATUS_NO_MATCH, "the MAC does not match"},
};

const char* StatusMeaningOf(const Message* message, const uint8_t* payload, const Field& field) {
    if (std::string(field.name) != "status" || field.count != 1) return nullptr;
    const uint8_t byte = payload[field.from];
    const int value = field.format == Format::Text ? (byte - '0') & 0xFF : byte;
    for (const StatusMeaning& status : kStatusMeanings)
        if (std::string(status.message->name) == message->name && status.value == value)
            return status.meaning;
    return nullptr;
}

// The bytes of a field; `hidden` flags bytes a dump masked (nullptr: none).
std::string Printable(const uint8_t* bytes, size_t count, const std::vector<bool>* hidden = nullptr,
                      size_t offset = 0) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t c = bytes[i];
        if (hidden && offset + i < hidden->size() && (*hidden)[offset + i]) {
            text += '*';
        } else if (c >= 0x20 && c <= 0x7E) {
            text += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", c);
            text += hex;
        }
    }
    return text;
}

// A field's value; `hidden` flags the masked bytes of the payload.
std::string FieldValue(const uint8_t* payload, const Field& field,
                       const std::vector<bool>& hidden) {
    const uint8_t* bytes = payload + field.from;
    auto masked = [&](size_t i) {
        return field.from + i < hidden.size() && hidden[field.from + i];
    };
    switch (field.format) {
        case Format::Note:
            return field.note;
        case Format::Number: {
            if (field.count > 4) break;
            uint32_t value = 0;
            for (size_t i = 0; i < field.count; ++i) {
                if (masked(i)) return std::string(field.count, '*');
                value = value << 8 | bytes[i];
            }
            return std::to_string(value);
        }
        case Format::Hex: {
            std::string text;
            char two[4];
            for (size_t i = 0; i < field.count; ++i) {
                std::snprintf(two, sizeof two, "%02X", bytes[i]);
                text += masked(i) ? "**" : two;
            }
            return text;
        }
        case Format::Text:
            break;
    }
    return Printable(bytes, field.count, &hidden, field.from);
}

}  // namespace

const std::vector<Message>& Messages() {
    return kMessages;
}

bool IdMatches(const char* id, const uint8_t* message, size_t length) {
    if (!id || !message) return false;
    const size_t idLength = id[2] ? 3 : 2;
    if (length < idLength) return false;
    for (size_t i = 0; i < idLength; ++i) {
        if (std::toupper(message[i]) != std::toupper(static_cast<unsigned char>(id[i])))
            return false;
    }
    return idLength == 3 || length == 2 || message[2] != '.';
}

const Message* Find(const uint8_t* message, size_t length) {
    for (const Message& entry : kMessages) {
        if (!IdMatches(entry.id, message, length)) continue;
        const size_t idLength = entry.id[2] ? 3 : 2;
        if (!entry.selects || entry.selects(message + idLength, length - idLength)) return &entry;
    }
    return nullptr;
}

std::vector<Field> FieldsOf(LinkDirection direction, const uint8_t* message, size_t length) {
    const Message* named = Find(message, length);
    if (!named) return {};
    const size_t idLength = named->id[2] ? 3 : 2;
    const uint8_t* payload = message + idLength;
    const size_t payloadLength = length - idLength;
    std::vector<Field> all;
    auto collect = [&](const Message& entry) {
        const Layout layout = direction == LinkDirection::ToTerminal ? entry.request : entry.answer;
        if (!layout) return;
        Fields fields(payload, payloadLength);
        layout(fields);
        all.insert(all.end(), fields.List().begin(), fields.List().end());
    };
    collect(*named);
    for (const Message& entry : kMessages) {
        if (&entry == named || !IdMatches(entry.id, message, length)) continue;
        if (!entry.selects || entry.selects(payload, payloadLength)) collect(entry);
    }
    return all;
}

std::string FieldText(const std::vector<Field>& fields, const std::string& payload,
                      const char* name) {
    for (const Field& field : fields) {
        if (std::string(field.name) != name) continue;
        return field.format == Format::Note ? field.note : payload.substr(field.from, field.count);
    }
    return {};
}

std::string FieldText(LinkDirection direction, const std::string& id, const std::string& payload,
                      const char* name) {
    const std::string message = id + payload;
    const auto* bytes = reinterpret_cast<const uint8_t*>(message.data());
    return FieldText(FieldsOf(direction, bytes, message.size()), payload, name);
}

std::string Describe(LinkDirection direction, const uint8_t* message, size_t length,
                     const std::vector<bool>& hidden) {
    const Message* named = Find(message, length);
    const size_t idLength = named ? (named->id[2] ? 3 : 2) : std::min<size_t>(3, length);
    std::string text = Printable(message, idLength) + " ";
    if (!named) return text + "(unknown): " + std::to_string(length - idLength) + " bytes";
    text += named->name;
    // Only the naming entry's fields: the others of a shared identifier read another message.
    const Layout layout = direction == LinkDirection::ToTerminal ? named->request : named->answer;
    if (!layout) return text;
    Fields fields(message + idLength, length - idLength);
    layout(fields);
    const std::vector<bool> payloadHidden(
        hidden.size() > idLength ? hidden.begin() + static_cast<long>(idLength) : hidden.end(),
        hidden.end());
    const char* separator = ": ";
    for (const Field& field : fields.List()) {
        text += separator;
        text += field.name;
        text += ' ';
        text += FieldValue(message + idLength, field, payloadHidden);
        if (const char* meaning = StatusMeaningOf(named, message + idLength, field))
            text += std::string(" (") + meaning + ")";
        separator = ", ";
    }
    return text;
}

// ---- Answer readers ----------------------------------------------------------------------------

namespace {

// Bytes from `pos` on (at most `count`); empty past the end.
std::string From(const std::string& text, size_t pos, size_t count = std::string::npos) {
    return pos < text.size() ? text.substr(pos, count) : std::string();
}

// The last `count` characters after the status character.
std::string LastAfterStatus(const std::string& answer, size_t count) {
    return From(answer, answer.size() > count + 1 ? answer.size() - count : 1);
}

uint8_t ByteAt(const std::string& text, size_t pos) {
    return pos < text.size() ? static_cast<uint8_t>(text[pos]) : 0;
}

int HexDigitValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

uint32_t Decimal(const std::string& digits) {
    return static_cast<uint32_t>(std::strtoull(digits.c_str(), nullptr, 10));
}

// A bounded reader over the debit answer.
class Cursor {
  public:
    explicit Cursor(const std::string& text) : m_Text(text) {}
    size_t Pos() const { return m_nPos; }
    bool AtEnd() const { return m_nPos >= m_Text.size(); }
    // The next `count` characters (fewer at the end) without consuming them.
    std::string Peek(size_t count) const { return From(m_Text, m_nPos, count); }
    std::string Take(size_t count) {
        std::string part = Peek(count);
        m_nPos += part.size();
        return part;
    }
    void Skip(size_t count) { m_nPos = std::min(m_Text.size(), m_nPos + count); }

  private:
    const std::string& m_Text;
    size_t m_nPos = 0;
};

// A value of 9 digits, absent (0, nothing consumed) when the account type code follows.
uint32_t OptionalValue(Cursor& cursor) {
    const std::string next = cursor.Peek(3);
    if (next == "C01" || next == "S01") return 0;
    return Decimal(cursor.Take(9));
}

std::string LengthPrefixedText(Cursor& cursor) {
    const uint32_t declared = Decimal(cursor.Take(2));
    return declared > 0 ? cursor.Take(declared) : std::string();
}

}  // namespace

int ReadStatus(const std::string& answer) {
    if (answer.empty()) return kNoStatus;
    return (static_cast<unsigned char>(answer[0]) - 0x30) & 0xFF;
}

char ReadKey(const std::string& answer) {
    return answer.size() > 1 ? answer[1] : '0';
}

EntryAnswer ReadEntry(const std::string& answer, bool lengthField) {
    EntryAnswer entry;
    if (!lengthField) {
        entry.text = From(answer, 1);
    } else if (answer.size() > 2) {
        entry.length = (HexDigitValue(ByteAt(answer, 1)) << 8) | HexDigitValue(ByteAt(answer, 2));
        entry.text = From(answer, 3);
    }
    return entry;
}

DukptPinAnswer ReadDukptPin(const std::string& answer) {
    return {From(answer, 1, 16), LastAfterStatus(answer, 20)};
}

std::string ReadPinBlock(const std::string& answer) {
    return LastAfterStatus(answer, 16);
}

DebitAnswer ReadDebit(const std::string& answer) {
    DebitAnswer reply;
    if (answer.empty() || answer[0] != '0') return reply;
    Cursor cursor(answer);
    cursor.Skip(1);
    reply.firstValue = Decimal(cursor.Take(10));
    reply.secondValue = OptionalValue(cursor);
    reply.thirdValue = OptionalValue(cursor);
    if (!cursor.AtEnd()) reply.code = cursor.Take(1)[0];
    cursor.Skip(2);
    if (!cursor.AtEnd()) reply.pinBlockPos = cursor.Pos();
    reply.pinBlock = cursor.Take(16);
    if (!cursor.AtEnd()) {
        reply.firstLengthPos = cursor.Pos();
        reply.firstText = LengthPrefixedText(cursor);
        if (!cursor.AtEnd()) reply.secondLengthPos = cursor.Pos();
        reply.secondText = LengthPrefixedText(cursor);
    }
    return reply;
}

ScrollAnswer ReadScroll(const std::string& answer) {
    const std::string s = From(answer, 1);
    ScrollAnswer scroll;
    scroll.selection = static_cast<int>(std::strtol(s.substr(0, 2).c_str(), nullptr, 10));
    if (s.size() == 2) return scroll;
    const std::string data = s.size() > 4 ? s.substr(s.size() - 4) : s;
    scroll.data = static_cast<int>(std::strtol(data.c_str(), nullptr, 16)) & 0xFFFF;
    scroll.expectedLength = s.size() == 6;
    return scroll;
}

SwipeAnswer ReadSwipe(const std::string& answer) {
    SwipeAnswer swipe;
    swipe.source = static_cast<char>(ByteAt(answer, 1));
    if (swipe.source != '0') return swipe;
    size_t pos = 2;
    for (auto [text, name] : {std::pair{&swipe.track2, "Track 2"}, {&swipe.track1, "Track 1"}}) {
        const uint8_t tens = ByteAt(answer, pos), units = ByteAt(answer, pos + 1);
        if (!IsDigit(tens) || !IsDigit(units)) {
            swipe.unreadable = name;
            break;
        }
        const size_t length = static_cast<size_t>((tens - '0') * 10 + (units - '0'));
        *text = From(answer, pos + 2, length);
        pos += 2 + length;
    }
    return swipe;
}

int ReadReaderStatus(const std::string& answer) {
    return answer.size() > 3 ? ByteAt(answer, 3) : kNoStatus;
}

ReaderSwipe ReadReaderSwipe(const std::string& answer, bool secondTrack) {
    ReaderSwipe swipe;
    if (answer.size() <= 3) return swipe;
    const size_t end =
        std::min(answer.size(), BigEndian16(ByteAt(answer, 0), ByteAt(answer, 1)) + 2);
    size_t pos = 3;
    for (ReaderTrack* track : {&swipe.first, &swipe.second}) {
        if (swipe.blocks == 1 && (!secondTrack || pos >= end)) break;
        track->status = ByteAt(answer, pos++);
        ++swipe.blocks;
        if (pos >= end) break;
        track->declared = ByteAt(answer, pos++);
        track->data = answer.substr(pos, std::min(track->declared, end - pos));
        pos += track->data.size();
    }
    return swipe;
}

bool ReadReaderBlock(const std::string& answer, ReaderBlock* block) {
    size_t pos = 4;
    if (answer.size() <= pos) return false;
    size_t length = ByteAt(answer, pos++);
    if (length == 0xFF) {
        if (answer.size() < pos + 2) return false;
        length = BigEndian16(ByteAt(answer, pos), ByteAt(answer, pos + 1));
        pos += 2;
    }
    block->declared = length;
    block->bytes = From(answer, pos, length);
    return true;
}

}  // namespace orn::catalogue
