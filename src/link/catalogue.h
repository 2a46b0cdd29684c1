// The terminal's messages, described once: for every identifier the library sends, its name,
// family, which way it travels and the fields of its request and of its answer, with the fields
// that carry secrets marked. The masks of the link dumps, the log reader's decoding and the
// simulator's reading of requests all go through this table, so a field marked secret here is
// hidden in every dump, and a new message is one entry.
//
// Self-contained on purpose (it needs only the debit answer reader): the simulator compiles it
// in without linking the library.
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

// True when `message` (its first bytes) carries `id`: "72" matches a message starting with
// "72" that is not "72."; any other identifier compares its three characters, case ignored.
bool IdMatches(const char* id, const uint8_t* message, size_t length);

// The entry naming `message` (identifier and decoded payload), or nullptr when there is none.
const Message* Find(const uint8_t* message, size_t length);
// True when some entry carries the identifier (whatever its payload).
bool Known(const std::string& id);

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

}  // namespace catalogue
}  // namespace orn
