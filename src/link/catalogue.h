// The terminal's messages, described once: for every identifier the library sends, its name,
// family, which way it travels and the fields of its request and of its answer, with the fields
// that carry secrets marked. The masks of the link dumps, the log reader's decoding and the
// simulator's reading of requests all go through this table, so a field marked secret here is
// hidden in every dump, and a new message is one entry.
//
// Each answer the library decodes also has its reader here, next to its layout: the blocking
// form of a command and the callback of its asynchronous form read the answer through the same
// function, so the two cannot drift apart.
//
// Self-contained on purpose: the simulator compiles it in without linking the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orn {

enum class LinkDirection { ToTerminal, FromTerminal };

namespace catalogue {

enum class Secrecy : uint8_t {
    Shown,
    Secret,
    Account,  // an account number: its first 6 and last 4 digits stay visible
};

enum class Format : uint8_t {
    Text,    // the bytes as characters
    Number,  // a big-endian unsigned number of 1 to 4 bytes
    Hex,     // the bytes in hexadecimal
    Note,    // no bytes of its own: `note` says something about the message (a count)
};

// One field of a message's payload (the bytes after the identifier; decoded for "F0."/"F1.").
// `from` + `count` never passes the payload's end.
struct Field {
    const char* name;
    size_t from = 0;
    size_t count = 0;
    Secrecy secrecy = Secrecy::Shown;
    Format format = Format::Text;
    std::string note;
};

// Builds the field list of one payload: positions past the end are clipped, empty fields are
// dropped (notes excepted).
class Fields {
  public:
    Fields(const uint8_t* payload, size_t length) : payload_(payload), length_(length) {}
    const uint8_t* Payload() const { return payload_; }
    size_t Length() const { return length_; }
    uint8_t At(size_t pos) const { return pos < length_ ? payload_[pos] : 0; }

    // Adds [from, from + count) clipped to the payload; returns from + count.
    size_t Add(const char* name, size_t from, size_t count, Secrecy secrecy = Secrecy::Shown,
               Format format = Format::Text);
    // Adds [from, end of payload).
    void Rest(const char* name, size_t from, Secrecy secrecy = Secrecy::Shown,
              Format format = Format::Text);
    void Note(const char* name, std::string note);

    const std::vector<Field>& List() const { return list_; }

  private:
    const uint8_t* payload_;
    size_t length_;
    std::vector<Field> list_;
};

using Layout = void (*)(Fields& fields);
using Selector = bool (*)(const uint8_t* payload, size_t length);

enum class Travel : uint8_t {
    Exchange,  // the host's request is answered by a message of the same identifier
    OneWay,    // sent by the host, no answer of its own
    Both,      // requests and unsolicited messages in either direction (the EMV channel)
};

struct Message {
    const char* id;      // "5B."; "72" has no dot
    const char* name;    // "beep"
    const char* family;  // "basic", "device", "storage", "display", "keys", "mac", "pin", ...
    Travel travel;
    // Which of the messages sharing an identifier this is (nullptr: any payload). The first
    // entry that matches names a message; every entry that matches contributes its secrets.
    Selector selects;
    Layout request;  // the host's message (nullptr: no fields)
    Layout answer;   // the terminal's message (nullptr: no fields)
};

// Every message, in one table.
const std::vector<Message>& Messages();

// The entries by name: a command is given its entry, never an identifier of its own.
extern const Message kBeep;
extern const Message kCancel;
extern const Message kQuickCancel;
extern const Message kReboot;
extern const Message kReturnToIdle;
extern const Message kPromptRegister;
extern const Message kClock;
extern const Message kDeviceInformation;
extern const Message kSerialNumber;
extern const Message kApplicationUpdate;
extern const Message kReaderChannel;
extern const Message kDataBlock;
extern const Message kDataTable;
extern const Message kDataTableReset;
extern const Message kDataTableInquiry;
extern const Message kDisplay;
extern const Message kClearDisplay;
extern const Message kAmountConfirmation;
extern const Message kKeyboardCheck;
extern const Message kStoredPromptEntry;
extern const Message kScrollList;
extern const Message kKeyLoad;
extern const Message kDiagnosticKeyRequest;
extern const Message kEncryption;
extern const Message kAsciiDisplay;
extern const Message kMacHex;
extern const Message kMac;
extern const Message kMacVerificationHex;
extern const Message kMacVerification;
extern const Message kMacVariable;
extern const Message kMacVerificationVariable;
extern const Message kMacChunked;
extern const Message kMacVerificationChunked;
extern const Message kBinaryMac;
extern const Message kEmvGetVersion;
extern const Message kEmvOpenSession;
extern const Message kEmvCloseSession;
extern const Message kEmvRegister;
extern const Message kEmvData;
extern const Message kEmvAcknowledgement;
extern const Message kEmvProblemAcknowledgement;
extern const Message kEmv;
extern const Message kDukptPin;
extern const Message kPin;
extern const Message kDisplayPin;
extern const Message kDisplayPinLengths;
extern const Message kDebitInit;
extern const Message kDebitStart;
extern const Message kDisplaySwipe;
extern const Message kCommunicationPort;

// True when `message` (its first bytes) carries `id`: "72" matches a message starting with
// "72" that is not "72."; any other identifier compares its three characters, case ignored.
bool IdMatches(const char* id, const uint8_t* message, size_t length);

// The entry naming `message` (identifier and decoded payload), or nullptr when there is none.
const Message* Find(const uint8_t* message, size_t length);

// The fields of `message` as it travels in `direction`, from every matching entry (those of the
// naming entry first). Empty for an unknown message.
std::vector<Field> FieldsOf(LinkDirection direction, const uint8_t* message, size_t length);

// The text of the field named `name` among `fields` of `payload` (a note's text for a note),
// empty when there is no such field.
std::string FieldText(const std::vector<Field>& fields, const std::string& payload,
                      const char* name);
// The same for a message given as identifier and payload. For the simulator's reading of
// requests.
std::string FieldText(LinkDirection direction, const std::string& id, const std::string& payload,
                      const char* name);

// "5B. beep: tone 7": the identifier, the message's name and its fields. Bytes flagged in
// `hidden` (one flag per message byte, as a masked dump shows them) print as '*' ("**" in
// hexadecimal fields); bytes outside the printable range as <XX>. An unknown message is
// "XX. (unknown): N bytes".
std::string Describe(LinkDirection direction, const uint8_t* message, size_t length,
                     const std::vector<bool>& hidden = {});

// ---- Answer readers ----------------------------------------------------------------------------
// Each reads an answer's text as it follows the identifier, never outside it; what a short
// answer does not reach stays at the default shown. Readers only read: cutting a value to a
// caller's buffer and logging it is the caller's business.

// Result of an answer without a status character (ORN_ERR_WRONG_RESPONSE_ERROR).
constexpr int kNoStatus = -10;

// The status digit: the first character minus '0', modulo 256; kNoStatus when empty.
int ReadStatus(const std::string& answer);

// "58." function key and "57." amount confirmation: the key after the status ('0' when none).
char ReadKey(const std::string& answer);

// "58." / "68." text entry. A request that gave a maximum length is answered with a length
// field of two hexadecimal digits, the first of which counts 256 (not 16); without it the
// answer is the text alone and `length` stays -1.
struct EntryAnswer {
    int length = -1;
    std::string text;
};
EntryAnswer ReadEntry(const std::string& answer, bool lengthField);

// "31." DUKPT PIN entry: 16 characters of PIN block after the status, the key serial number in
// the last 20 characters.
struct DukptPinAnswer {
    std::string pinBlock;
    std::string ksn;
};
DukptPinAnswer ReadDukptPin(const std::string& answer);

// "41.", "69.", "6H." PIN entry: the PIN block in the last 16 characters, never the status.
std::string ReadPinBlock(const std::string& answer);

// "6B." debit sequence start, read only when the status is '0': 10 digits of the first value;
// a second and a third value of 9 digits each, each present only when the next three characters
// are not "C01" or "S01"; the account type code and two more characters; the 16-character PIN
// block; then, when anything is left, two texts each led by its 2-digit length.
struct DebitAnswer {
    uint32_t firstValue = 0;
    uint32_t secondValue = 0;
    uint32_t thirdValue = 0;
    char code = '0';
    size_t pinBlockPos = 0;  // where the PIN block starts in the text (0: not reached)
    std::string pinBlock;
    std::string firstText;  // as long as the terminal declared it, within the text
    std::string secondText;
    // Where the length fields of the two texts start (0: not reached).
    size_t firstLengthPos = 0;
    size_t secondLengthPos = 0;
};
DebitAnswer ReadDebit(const std::string& answer);

// "6C." scroll list: after the status "ss" (the position) or "ssdddd" (the position and the
// picked item's data, four hexadecimal digits). Any other length still yields the position
// and, from the last four characters (or all of a shorter tail), the data, with `expectedLength`
// false.
struct ScrollAnswer {
    int selection = 0;
    int data = -1;
    bool expectedLength = true;
};
inline constexpr char kScrollLengthWarning[] =
    "Warning, expected response of 6C.0ss or 6C.0ssdddd: wrong response length";
ScrollAnswer ReadScroll(const std::string& answer);

// "67." display-driven swipe: the source character after the status ('0' a swiped card), then
// for a swiped card track 2 and track 1, each as two decimal length digits and the text. Reading
// stops at a track whose length is not two digits (`unreadable` names it).
struct SwipeAnswer {
    char source = 0;
    std::string track2;
    std::string track1;
    const char* unreadable = nullptr;  // "Track 2" or "Track 1"
};
SwipeAnswer ReadSwipe(const std::string& answer);

// "F0." reader channel: length of what follows (2 bytes, big-endian), channel, status byte.
// The status byte, kNoStatus when the answer is too short to hold one.
int ReadReaderStatus(const std::string& answer);

// Function bytes of the smart-card requests on the reader channel (channel code 7). The
// combined swipe-or-insert command uses the insertion wait too.
enum ReaderCardFunction : uint8_t {
    kCardWaitInsertion = 0x04,
    kCardPowerUp = 0x05,
    kCardWaitAndPowerUp = 0x07,
    kCardCompareAtr = 0x08,
    kCardPowerOff = 0x0A,
    kCardWaitRemoval = 0x0B,
    kCardPowerOffAndWaitRemoval = 0x0C,
    kCardExchange = 0x0D,
    kCardStatus = 0x18,
};

// Separates the display lines in the text of the prompting commands.
inline constexpr char kFieldSeparator = 0x1C;

// A swipe on the reader channel: from the status byte on, track blocks of a status byte, a
// length byte and the data, within what the answer's length counts. `declared` is the length
// byte, `data` what of it arrived.
struct ReaderTrack {
    int status = 0;
    size_t declared = 0;
    std::string data;
};
struct ReaderSwipe {
    int blocks = 0;  // 0: not even the first status byte arrived
    ReaderTrack first;
    ReaderTrack second;  // read only when asked for and the answer counts more bytes
};
ReaderSwipe ReadReaderSwipe(const std::string& answer, bool secondTrack);

// A smart card's data block after the status byte: a length byte (0xFF announcing two more,
// big-endian), then the bytes; `bytes` holds what of them arrived. False when there is none.
struct ReaderBlock {
    size_t declared = 0;
    std::string bytes;
};
bool ReadReaderBlock(const std::string& answer, ReaderBlock* block);

}  // namespace catalogue
}  // namespace orn
