// The PIN pad: PIN entry under DUKPT and master/session keys, the debit sequence, the key table,
// data encryption and decrypt-and-display, and MAC calculation and verification in all four
// transfer forms.
//
// The cryptography is real (OpenSSL): DES under a 16-digit key, two-key triple DES under a
// 32-digit key. MACs are ANSI X9.9 (single length: DES CBC-MAC) and X9.19 (double length: the
// retail MAC), the data padded with zero bytes, the first 4 bytes reported as 8 hexadecimal
// digits; the ASCII forms MAC the characters, the hexadecimal forms the bytes they spell, the
// binary form the bytes sent. Working keys are used as sent (this terminal does not decipher
// them under a master key). A check value is the first 4 bytes of a block of zeros encrypted
// under the key.
//
// The cardholder enters the PIN 1234 unless told otherwise. PIN blocks are ISO format 0 blocks
// enciphered under the session key sent (master/session, or the key loaded at the index when the
// request sends none), or under DUKPT as ANSI X9.24-1 (2009) defines it for triple DES: the
// initial key from the base derivation key and the key serial number, the transaction key by the
// non-reversible key generation over the counter's set bits, its PIN-encryption variant. The key
// serial numbers are those of the standard's test series, and so is the default base key, so a
// host holding that key can decipher every PIN block.
//
// Handlers run one at a time (an answer run again for a PIN typed by hand is kept apart from the
// I/O thread's by the hand input's lock), so the state needs no lock.
#include <openssl/evp.h>

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "answers.h"
#include "sim.h"
#include "terminal.h"

namespace orn::sim {

namespace {

using Answer = std::optional<std::string>;
using Bytes = std::string;  // raw bytes

constexpr const char* kEnteredPin = "1234";
// The account of the card the debit sequence reads when the host sends none.
constexpr const char* kDebitCardAccount = "4000001234567899";
// The key that stands in when a request names none: the PIN pad's own master key.
constexpr const char* kPadMasterKey = "0123456789ABCDEFFEDCBA9876543210";
constexpr const char* kKsnPrefix = "FFFF9876543210E";  // 15 of the 20 digits; 5 count

std::string ToHex(const Bytes& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 0x0F];
    }
    return out;
}

bool SameHex(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (HexValue(a[i]) != HexValue(b[i]) || HexValue(a[i]) < 0) return false;
    return true;
}

// One 8-byte block under an 8-byte (DES) or 16-byte (two-key triple DES) key. Three-key EDE
// with k1 k2 k1 (or k k k) covers both, and it is in OpenSSL's default provider.
Bytes Des(const Bytes& key, const Bytes& block, bool encrypt) {
    Bytes ede = key.size() == 16 ? key + key.substr(0, 8) : key + key + key;
    unsigned char out[16] = {};
    int length = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    bool ok = ctx &&
              EVP_CipherInit_ex(ctx, EVP_des_ede3_ecb(), nullptr,
                                reinterpret_cast<const unsigned char*>(ede.data()), nullptr,
                                encrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_CipherUpdate(ctx, out, &length,
                               reinterpret_cast<const unsigned char*>(block.data()), 8) == 1;
    if (ctx) EVP_CIPHER_CTX_free(ctx);
    return ok && length == 8 ? Bytes(reinterpret_cast<char*>(out), 8) : Bytes(8, '\0');
}

// Key text of 16 or 32 hexadecimal digits as key bytes.
std::optional<Bytes> KeyBytes(const std::string& hex) {
    if (hex.size() != 16 && hex.size() != 32) return std::nullopt;
    return FromHex(hex);
}

Bytes Xor(const Bytes& a, const Bytes& b) {
    Bytes out(a);
    for (size_t i = 0; i < out.size() && i < b.size(); ++i) out[i] = static_cast<char>(a[i] ^ b[i]);
    return out;
}

// X9.9 / X9.19: DES CBC-MAC under the key's left half over the zero-padded data; a double-length
// key then deciphers the last block under its right half and enciphers it under the left.
Bytes Mac(const Bytes& key, const Bytes& data) {
    const Bytes left = key.substr(0, 8);
    Bytes padded = data;
    if (padded.empty() || padded.size() % 8 != 0) padded.resize((padded.size() / 8 + 1) * 8, '\0');
    Bytes chain(8, '\0');
    for (size_t i = 0; i < padded.size(); i += 8)
        chain = Des(left, Xor(chain, padded.substr(i, 8)), true);
    if (key.size() == 16) chain = Des(left, Des(key.substr(8, 8), chain, false), true);
    return chain.substr(0, 4);
}

// ISO 9564 format 0: PIN length and digits padded with F, XOR the 12 account digits before the
// last one.
Bytes PinBlock(const std::string& pin, const std::string& account) {
    char length[4];
    std::snprintf(length, sizeof length, "%X", static_cast<unsigned>(pin.size()));
    std::string pinField = "0" + std::string(length) + pin;
    pinField.resize(16, 'F');
    std::string digits;
    for (char c : account) digits += (c >= '0' && c <= '9') ? c : '0';
    std::string pan =
        digits.size() >= 13
            ? digits.substr(digits.size() - 13, 12)
            : std::string(12 - std::min<size_t>(12, digits.size()), '0') + digits.substr(0, 12);
    return Xor(*FromHex(pinField), *FromHex("0000" + pan));
}

struct MacRequest {
    Bytes key;
    std::string expectedMac;  // verification
    Bytes data;
};

// Answer of the text forms: calculation "0" and the MAC; verification "0" then '0' for a match
// and '1' for none.
std::string TextMacAnswer(const MacRequest& request, bool verify) {
    const std::string mac = ToHex(Mac(request.key, request.data));
    if (!verify) return "0" + mac;
    return SameHex(mac, request.expectedMac) ? "00" : "01";
}

struct PinPad {
    std::map<int, std::string> keys;  // key table: index -> key text loaded with "40."
    uint32_t transactionCounter = 0;
    std::string debitScreens;                      // the last "6A." payload
    std::map<std::string, MacRequest> textChunks;  // "6E." / "6G." in progress
    std::map<uint8_t, MacRequest> binaryChunks;    // "F1." by operation code
    uint32_t binaryLength = 0;
    // The terminal whose cardholder types the PINs, and the PIN entry being answered.
    TerminalModel* model = nullptr;
    std::string entryId;

    Bytes KeyAt(int index) const {
        auto it = keys.find(index);
        return *KeyBytes(it != keys.end() ? it->second : kPadMasterKey);
    }
};

// ---- DUKPT (ANSI X9.24-1, triple DES) -------------------------------------------------------

const Bytes kKeyVariant = *FromHex("C0C0C0C000000000C0C0C0C000000000");
const Bytes kPinVariant = *FromHex("00000000000000FF00000000000000FF");
constexpr uint32_t kCounterBits = 0x1FFFFF;  // the right 21 bits of the key serial number

// The non-reversible key generation: a new 16-byte key from `key` and the 8-byte register.
Bytes NonReversibleKey(const Bytes& key, const Bytes& reg) {
    auto half = [&reg](const Bytes& k) {
        const Bytes right = k.substr(8, 8);
        return Xor(Des(k.substr(0, 8), Xor(reg, right), true), right);
    };
    const Bytes rightHalf = half(key);
    return half(Xor(key, kKeyVariant)) + rightHalf;
}

// The transaction key of a 10-byte key serial number.
Bytes DukptKey(const Bytes& baseKey, const Bytes& ksn) {
    Bytes base = ksn;  // the serial number with the counter cleared
    base[7] = static_cast<char>(base[7] & 0xE0);
    base[8] = base[9] = '\0';
    const Bytes left = base.substr(0, 8);
    Bytes key = Des(baseKey, left, true) + Des(Xor(baseKey, kKeyVariant), left, true);
    const uint32_t counter =
        (static_cast<uint32_t>(static_cast<unsigned char>(ksn[7])) << 16 |
         static_cast<unsigned char>(ksn[8]) << 8 | static_cast<unsigned char>(ksn[9])) &
        kCounterBits;
    Bytes reg = base.substr(2, 8);
    for (uint32_t bit = 1u << 20; bit != 0; bit >>= 1) {
        if (!(counter & bit)) continue;
        reg[5] = static_cast<char>(reg[5] | (bit >> 16 & 0xFF));
        reg[6] = static_cast<char>(reg[6] | (bit >> 8 & 0xFF));
        reg[7] = static_cast<char>(reg[7] | (bit & 0xFF));
        key = NonReversibleKey(key, reg);
    }
    return key;
}

// A terminal never uses a counter with more than 10 bits set: it skips to the next.
uint32_t NextCounter(uint32_t counter) {
    do {
        counter = (counter + 1) & 0xFFFFF;  // 5 digits after the prefix's E
    } while (counter == 0 || std::bitset<21>(counter).count() > 10);
    return counter;
}

// ---- PIN entry ---------------------------------------------------------------------------

// The PIN the cardholder types (queued, or 1234); the terminal shows the PIN entry with the
// request's prompt until the answer goes. nullopt while the cardholder still types it by hand.
std::optional<std::string> EnteredPin(PinPad& pad, const RequestFields& r) {
    std::vector<std::string> prompts;
    for (const char* field : {"prompt", "display"})
        if (!r.Text(field).empty()) prompts.push_back(r.Text(field));
    if (!pad.model->BeginInput(InputKind::Pin, pad.entryId, prompts, r.Text("amount")))
        return std::nullopt;
    const std::string pin = pad.model->TakePin().value_or(kEnteredPin);
    pad.model->SetPinDigits(pin.size());
    return pin;
}

Answer DukptPin(PinPad& pad, const RequestFields& r) {
    const std::string account = r.Text("account");
    if (account.size() < 16) return "1";
    const std::optional<std::string> pin = EnteredPin(pad, r);
    if (!pin) return std::nullopt;
    pad.transactionCounter = NextCounter(pad.transactionCounter);
    char counter[8];
    std::snprintf(counter, sizeof counter, "%05X", static_cast<unsigned>(pad.transactionCounter));
    const std::string ksn = std::string(kKsnPrefix) + counter;
    return "0" + DukptPinBlock(pad.model->DukptBaseKey(), ksn, *pin, account) + ksn;
}

// "41.": the session key sent (16 or 32 characters and a check value).
Answer MasterSessionPin(PinPad& pad, const RequestFields& r) {
    const std::string key = r.Text("key");
    if (key.size() < 16) return "1";
    auto keyBytes = KeyBytes(key);
    if (!keyBytes) return "3";
    const std::optional<std::string> pin = EnteredPin(pad, r);
    if (!pin) return std::nullopt;
    return "0" + ToHex(Des(*keyBytes, PinBlock(*pin, r.Text("account")), true));
}

// The key a key mode names: 'S' and 'D' the key sent, any other the key loaded at the index.
std::optional<Bytes> ModeKey(const PinPad& pad, const RequestFields& r) {
    const char mode = r.Char("key mode");
    if (mode == 'S' || mode == 'D') return KeyBytes(r.Text("key"));
    return pad.KeyAt(r.Char("key index") - '0');
}

// "69." / "6H.".
Answer DisplayPin(PinPad& pad, const RequestFields& r) {
    if (r.Text("key mode").empty()) return "1";
    std::optional<Bytes> key = ModeKey(pad, r);
    if (!key) return "3";
    const std::optional<std::string> pin = EnteredPin(pad, r);
    if (!pin) return std::nullopt;
    return "0" + ToHex(Des(*key, PinBlock(*pin, r.Text("account")), true));
}

// "6B.": the account closes the request in entry mode 0, otherwise the card is read here.
Answer DebitStart(PinPad& pad, const RequestFields& r) {
    if (r.Text("key mode").empty()) return "1";
    const unsigned long amount = std::strtoul(r.Text("amount").c_str(), nullptr, 10);
    std::optional<Bytes> key = ModeKey(pad, r);
    if (!key) return "3";
    std::string account = r.Text("account");
    if (r.Char("entry mode") != '0' || account.empty()) account = kDebitCardAccount;
    char value[16];
    std::snprintf(value, sizeof value, "%010lu", amount);
    const std::optional<std::string> pin = EnteredPin(pad, r);
    if (!pin) return std::nullopt;
    // Chequing account ("C01"), no cash back or fee, the PIN block, then the texts.
    return std::string("0") + value + "C01" + ToHex(Des(*key, PinBlock(*pin, account), true)) +
           "08APPROVED" + "00";
}

// ---- key table and encryption ------------------------------------------------------------

// "40.": key index, key type, key (16 or 32), check value, 16-digit field, final flag.
Answer LoadKey(PinPad& pad, const RequestFields& r) {
    if (r.Text("extra").size() < 16) return "1";  // short of a key and the field
    const std::string key = r.Text("key");
    if (!KeyBytes(key)) return "1";
    pad.keys[r.Char("index") - '0'] = key;
    return "0";
}

std::string CheckValueOf(const Bytes& key) {
    return ToHex(Des(key, Bytes(8, '\0'), true).substr(0, 4));
}

// "53.": a single request letter or key type, or "%02X" of index + 48 and 'M' / 'S'. A key
// index with no key loaded answers "2".
Answer DiagnosticKey(PinPad& pad, const RequestFields& r) {
    const std::string request = r.Text("request");
    const std::string keyIndex = r.Text("key index");
    if (keyIndex.empty()) return request.size() == 1 ? "0" + CheckValueOf(pad.KeyAt(-1)) : "1";
    if (request != "M" && request != "S") return "1";
    auto index = FromHex(keyIndex);
    if (!index) return "1";
    auto it = pad.keys.find(static_cast<unsigned char>((*index)[0]) - 48);
    if (it == pad.keys.end()) return "2";
    return "0" + CheckValueOf(*KeyBytes(it->second));
}

// "42.": encryption "002" or "2c2" (c: 0 encipher, 1 decipher), the key index, key, check value
// and block; decrypt and display (mode 1 or 3) only shows the block.
Answer Encryption(PinPad&, const RequestFields& r) {
    const std::string form = r.Text("form");
    if (form.empty()) return "1";
    if (form[0] == '1' || form[0] == '3') return "0";
    const std::string data = r.Text("data");
    if (data.size() < 16) return "1";
    auto key = KeyBytes(r.Text("key"));
    auto block = FromHex(data);
    if (!key || !block) return "3";
    const bool decipher = form[0] == '2' && form[1] == '1';
    return "0" + ToHex(Des(*key, *block, !decipher));
}

// ---- MAC ----------------------------------------------------------------------------------

// The key and check value at the start of a text-form request's key and data: a check value
// follows only when it is the key's own, so each layout is tried, the longest key first. `rest`
// tells whether what follows the key (and check value) fits the form. Returns where that starts.
template <typename Rest>
std::optional<size_t> SplitKey(const std::string& text, std::initializer_list<size_t> keys,
                               Bytes* key, Rest rest) {
    for (size_t keyLength : keys) {
        if (text.size() < keyLength) continue;
        auto bytes = KeyBytes(text.substr(0, keyLength));
        if (!bytes) continue;
        const std::string after = text.substr(keyLength, 8);
        for (size_t checkLength : {size_t{8}, size_t{0}}) {
            if (checkLength == 8 && !SameHex(after, CheckValueOf(*bytes))) continue;
            if (checkLength == 0 && keyLength == 32) continue;
            const size_t next = keyLength + checkLength;
            if (!rest(next)) continue;
            *key = *bytes;
            return next;
        }
    }
    return std::nullopt;
}

// The key length a text form's key mode announces ('1' 16 digits, '2' 32), 0 for none.
size_t KeyModeLength(const RequestFields& r) {
    const char mode = r.Char("key mode");
    return mode == '1' ? 16 : mode == '2' ? 32 : 0;
}

// Two hexadecimal digits' value.
std::optional<unsigned> HexByte(const std::string& digits) {
    auto byte = FromHex(digits);
    if (!byte || byte->size() != 1) return std::nullopt;
    return static_cast<unsigned char>((*byte)[0]);
}

// "43." to "46.": key, check value, expected MAC (verification), data in blocks.
Answer BlockMac(const Request& message, bool hex, bool verify) {
    const std::string p = RequestFields(message).Text("key and data");
    const size_t block = hex ? 16 : 8;
    const size_t macLength = verify ? 8 : 0;
    MacRequest request;
    auto next = SplitKey(p, {32, 16}, &request.key, [&](size_t at) {
        const size_t size = p.size() >= at + macLength ? p.size() - at - macLength : 0;
        return size >= block && size % block == 0 && (!hex || IsHex(p.substr(at + macLength)));
    });
    if (!next) return "2";
    request.expectedMac = p.substr(*next, macLength);
    const std::string data = p.substr(*next + macLength);
    request.data = hex ? *FromHex(data) : data;
    return TextMacAnswer(request, verify);
}

// "64." / "66.": key, check value, expected MAC (verification), data.
Answer VariableMac(const Request& message, bool verify) {
    const RequestFields r(message);
    const size_t keyLength = KeyModeLength(r);
    if (keyLength == 0) return "2";
    const std::string p = r.Text("key and data");
    const size_t macLength = verify ? 8 : 0;
    MacRequest request;
    auto next = SplitKey(p, {keyLength}, &request.key,
                         [&](size_t at) { return p.size() > at + macLength; });
    if (!next) return "2";
    request.expectedMac = p.substr(*next, macLength);
    request.data = p.substr(*next + macLength);
    return TextMacAnswer(request, verify);
}

// "6E." / "6G.": the first chunk carries key, check value, expected MAC and the total length in
// 4 hex digits before its data. Only the last chunk is answered.
Answer ChunkedMac(PinPad& pad, const Request& message, bool verify) {
    const RequestFields r(message);
    const auto index = HexByte(r.Text("chunk"));
    const auto last = HexByte(r.Text("last chunk"));
    if (!index || !last) return "2";
    MacRequest& request = pad.textChunks[message.id];
    if (*index == 0) {
        request = MacRequest();
        const size_t keyLength = KeyModeLength(r);
        if (keyLength == 0) return "2";
        const std::string p = r.Text("key and data");
        const size_t macLength = verify ? 8 : 0;
        // The total length after the key settles whether a check value came: the first chunk's
        // data must be as long as the total says.
        auto next = SplitKey(p, {keyLength}, &request.key, [&](size_t at) {
            const std::string length = p.substr(at + macLength, 4);
            if (length.size() != 4 || !IsHex(length)) return false;
            const size_t total = std::strtoul(length.c_str(), nullptr, 16);
            return p.size() - (at + macLength + 4) == std::min<size_t>(total, 200);
        });
        if (!next) return "2";
        request.expectedMac = p.substr(*next, macLength);
        request.data = p.substr(*next + macLength + 4);
    } else {
        request.data += r.Text("data");
    }
    if (*index != *last) return std::nullopt;
    const std::string answer = TextMacAnswer(request, verify);
    pad.textChunks.erase(message.id);
    return answer;
}

std::string BinaryAnswer(uint8_t op, uint8_t status, const Bytes& data = Bytes()) {
    const size_t follow = 2 + data.size();
    return std::string{static_cast<char>(follow >> 8), static_cast<char>(follow & 0xFF),
                       static_cast<char>(op), static_cast<char>(status)} +
           data;
}

// "F1." binary MAC, operation 'C' or 'E': the first chunk carries the key and the total length
// before its data. Every chunk is answered: 0xFF while more are due.
Answer BinaryMac(PinPad& pad, const RequestFields& r) {
    const auto op = static_cast<uint8_t>(r.Char("operation"));
    if (r.Text("chunk").empty()) return BinaryAnswer(op, 0x01);
    const uint32_t index = r.Number("chunk");
    const uint32_t last = r.Number("last chunk");
    const bool verify = op == 'E';
    MacRequest& request = pad.binaryChunks[op];
    if (index == 0) {
        request = MacRequest();
        if (r.Text("total length").size() != 4) return BinaryAnswer(op, 0x01);
        request.key = r.Text("key");
        if (verify) request.expectedMac = ToHex(r.Text("expected MAC"));
        pad.binaryLength = r.Number("total length");
        request.data = r.Text("data");
    } else {
        request.data += r.Text("data");
    }
    if (index != last) return BinaryAnswer(op, 0xFF);
    const MacRequest done = std::move(request);
    pad.binaryChunks.erase(op);
    if (done.data.size() != pad.binaryLength) return BinaryAnswer(op, 0x02);
    const Bytes mac = Mac(done.key, done.data);
    if (!verify) return BinaryAnswer(op, 0x00, mac);
    return BinaryAnswer(op, SameHex(ToHex(mac), done.expectedMac) ? 0x00 : 0x99);
}

}  // namespace

std::string DukptPinBlock(const std::string& baseKeyHex, const std::string& ksnHex,
                          const std::string& pin, const std::string& account) {
    const auto baseKey = FromHex(baseKeyHex);
    const auto ksn = FromHex(ksnHex);
    if (!baseKey || baseKey->size() != 16 || !ksn || ksn->size() != 10) return {};
    const Bytes key = Xor(DukptKey(*baseKey, *ksn), kPinVariant);
    return ToHex(Des(key, PinBlock(pin, account), true));
}

bool SetDukptBaseKey(TerminalModel& terminal, const std::string& hex) {
    if (hex.size() != 32 || !IsHex(hex)) return false;
    terminal.SetDukptBaseKey(hex);
    return true;
}

bool SetDukptBaseKey(const std::string& hex) {
    return SetDukptBaseKey(*CurrentTerminal(), hex);
}

void SetNextPin(TerminalModel& terminal, const std::string& digits) {
    terminal.QueuePin(digits);
}

void SetNextPin(const std::string& digits) {
    SetNextPin(*CurrentTerminal(), digits);
}

std::string MacOf(const std::string& hexKey, const std::string& data) {
    auto key = KeyBytes(hexKey);
    return key ? ToHex(Mac(*key, data)) : std::string();
}

std::string KeyCheckValue(const std::string& hexKey) {
    auto key = KeyBytes(hexKey);
    return key ? CheckValueOf(*key) : std::string();
}

void InstallPinAnswers(TerminalSimulator& sim) {
    auto pad = std::make_shared<PinPad>();
    pad->model = &sim.Terminal();
    auto on = [&](const char* id, Answer (*answer)(PinPad&, const RequestFields&)) {
        sim.SetHandler(id,
                       [pad, answer](const Request& r) { return answer(*pad, RequestFields(r)); });
    };
    // PIN entries: the cardholder types for the keypad delay.
    auto entry = [&](const char* id, Answer (*answer)(PinPad&, const RequestFields&)) {
        sim.SetHandler(id, [&sim, pad, answer](const Request& r) {
            pad->entryId = r.id;
            return AnswerAfterKeypadDelay(sim, r, answer(*pad, RequestFields(r)));
        });
    };
    entry("31.", DukptPin);
    entry("41.", MasterSessionPin);
    entry("69.", DisplayPin);
    entry("6H.", DisplayPin);
    // The PIN-entry cancel is acknowledged only (whatever else it ends stays ended).
    TerminalSimulator::Handler previousCancel = sim.GetHandler("72");
    sim.SetHandler("72", [previousCancel](const Request& r) {
        if (previousCancel) previousCancel(r);
        return Answer();
    });
    sim.SetHandler("6A.", [pad](const Request& r) {
        pad->debitScreens = RequestFields(r).Text("stages");
        return Answer("0");
    });
    entry("6B.", DebitStart);

    on("40.", LoadKey);
    on("53.", DiagnosticKey);
    on("42.", Encryption);
    sim.SetHandler("47.", [](const Request&) { return Answer("0"); });

    sim.SetHandler("43.", [](const Request& r) { return BlockMac(r, true, false); });
    sim.SetHandler("44.", [](const Request& r) { return BlockMac(r, false, false); });
    sim.SetHandler("45.", [](const Request& r) { return BlockMac(r, true, true); });
    sim.SetHandler("46.", [](const Request& r) { return BlockMac(r, false, true); });
    sim.SetHandler("64.", [](const Request& r) { return VariableMac(r, false); });
    sim.SetHandler("66.", [](const Request& r) { return VariableMac(r, true); });
    sim.SetHandler("6E.", [pad](const Request& r) { return ChunkedMac(*pad, r, false); });
    sim.SetHandler("6G.", [pad](const Request& r) { return ChunkedMac(*pad, r, true); });
    // "F1." is shared with the EMV channel: other messages go to whoever had it before.
    TerminalSimulator::Handler previous = sim.GetHandler("F1.");
    sim.SetHandler("F1.", [pad, previous](const Request& request) -> Answer {
        const RequestFields r(request);
        if (r.Message() == "binary MAC") return BinaryMac(*pad, r);
        return previous ? previous(request) : Answer();
    });
}

}  // namespace orn::sim
