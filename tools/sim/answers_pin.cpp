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
// The cardholder always enters the PIN 1234. PIN blocks are ISO format 0 blocks enciphered
// under the session key sent (master/session, or the key loaded at the index when the request
// sends none), or for DUKPT under a key that changes with the transaction counter of the key
// serial number (the counter is real, the key derivation is not).
//
// Handlers run one at a time on the simulator's I/O thread, so the state needs no lock.
#include <openssl/evp.h>

#include <algorithm>
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
#include "link/catalogue.h"
#include "sim.h"

namespace orn::sim {

namespace {

using Answer = std::optional<std::string>;
using Bytes = std::string;  // raw bytes

constexpr const char* kEnteredPin = "1234";
// PINs queued with SetNextPin, taken one per PIN block; the only state here set from outside
// the I/O thread.
std::mutex g_pinMutex;
std::deque<std::string> g_nextPins;

std::string EnteredPin() {
    std::lock_guard<std::mutex> lock(g_pinMutex);
    if (g_nextPins.empty()) return kEnteredPin;
    std::string pin = g_nextPins.front();
    g_nextPins.pop_front();
    return pin;
}
// The account of the card the debit sequence reads when the host sends none.
constexpr const char* kDebitCardAccount = "4000001234567899";
// The key that stands in when a request names none: the PIN pad's own master key.
constexpr const char* kPadMasterKey = "0123456789ABCDEFFEDCBA9876543210";
constexpr const char* kDukptBaseKey = "6AC292FAA1315B4D858AB3A3D7D5933A";
constexpr const char* kKsnPrefix = "FFFF9876543210E";  // 15 of the 20 digits; 5 count

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

std::optional<Bytes> FromHex(const std::string& hex) {
    if (hex.size() % 2 != 0 || !IsHex(hex)) return std::nullopt;
    Bytes out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out += static_cast<char>(HexValue(hex[i]) << 4 | HexValue(hex[i + 1]));
    return out;
}

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
Bytes PinBlock(const std::string& account) {
    const std::string pin = EnteredPin();
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

    Bytes KeyAt(int index) const {
        auto it = keys.find(index);
        return *KeyBytes(it != keys.end() ? it->second : kPadMasterKey);
    }
};

// ---- PIN entry ---------------------------------------------------------------------------

// A field of the request as the message catalogue lays it out.
std::string RequestField(const Request& r, const char* name) {
    return catalogue::FieldText(LinkDirection::ToTerminal, r.id, r.payload, name);
}

Answer DukptPin(PinPad& pad, const Request& r) {
    if (r.payload.size() < 18) return "1";
    const std::string account = RequestField(r, "account");
    pad.transactionCounter = (pad.transactionCounter + 1) & 0xFFFFF;
    char counter[8];
    std::snprintf(counter, sizeof counter, "%05X", static_cast<unsigned>(pad.transactionCounter));
    Bytes key = *KeyBytes(kDukptBaseKey);
    key[15] = static_cast<char>(key[15] ^ (pad.transactionCounter & 0xFF));
    key[14] = static_cast<char>(key[14] ^ (pad.transactionCounter >> 8 & 0xFF));
    return "0" + ToHex(Des(key, PinBlock(account), true)) + kKsnPrefix + counter;
}

// "41.": selector, option, key index, account, session key (16 or 32) and check value, prompt.
Answer MasterSessionPin(PinPad& pad, const Request& r) {
    if (r.payload.size() < 3 + 16 + 16 + 4) return "1";
    auto key = KeyBytes(RequestField(r, "key"));
    if (!key) return "3";
    (void)pad;
    return "0" + ToHex(Des(*key, PinBlock(RequestField(r, "account")), true));
}

// "69." / "6H.": the key mode character follows the account; mode '0' uses the key loaded at the
// index.
Answer DisplayPin(PinPad& pad, const Request& r) {
    const std::string mode = RequestField(r, "key mode");
    if (mode.empty()) return "1";
    std::optional<Bytes> key = mode == "S" || mode == "D"
                                   ? KeyBytes(RequestField(r, "key"))
                                   : pad.KeyAt(RequestField(r, "key index")[0] - '0');
    if (!key) return "3";
    return "0" + ToHex(Des(*key, PinBlock(RequestField(r, "account")), true));
}

// "6B.": the amount at 12 (9 digits), entry mode at 3, key mode at 24 and the key after it; the
// account closes the request in entry mode 0, otherwise the card is read here.
Answer DebitStart(PinPad& pad, const Request& r) {
    const std::string& p = r.payload;
    if (p.size() < 25) return "1";
    const unsigned long amount = std::strtoul(p.substr(12, 9).c_str(), nullptr, 10);
    const char mode = p[24];
    std::optional<Bytes> key =
        mode == 'S' || mode == 'D' ? KeyBytes(RequestField(r, "key")) : pad.KeyAt(p[23] - '0');
    if (!key) return "3";
    const std::string account =
        p[3] == '0' && p.size() >= 16 ? p.substr(p.size() - 16) : kDebitCardAccount;
    char value[16];
    std::snprintf(value, sizeof value, "%010lu", amount);
    // Chequing account ("C01"), no cash back or fee, the PIN block, then the texts.
    return std::string("0") + value + "C01" + ToHex(Des(*key, PinBlock(account), true)) +
           "08APPROVED" + "00";
}

// ---- key table and encryption ------------------------------------------------------------

// "40.": key index, key type, key (16 or 32), check value, 16-digit field, final flag.
Answer LoadKey(PinPad& pad, const Request& r) {
    const std::string& p = r.payload;
    if (p.size() < 2 + 16 + 16) return "1";
    const std::string key = p.substr(2, p.size() - 2 >= 56 ? 32 : 16);
    if (!KeyBytes(key)) return "1";
    pad.keys[p[0] - '0'] = key;
    return "0";
}

std::string CheckValueOf(const Bytes& key) {
    return ToHex(Des(key, Bytes(8, '\0'), true).substr(0, 4));
}

// "53.": a single request letter or key type, or "%02X" of index + 48 and 'M' / 'S'. A key
// index with no key loaded answers "2".
Answer DiagnosticKey(PinPad& pad, const Request& r) {
    const std::string& p = r.payload;
    if (p.size() == 1) return "0" + CheckValueOf(pad.KeyAt(-1));
    if (p.size() != 3 || (p[2] != 'M' && p[2] != 'S')) return "1";
    auto index = FromHex(p.substr(0, 2));
    if (!index) return "1";
    auto it = pad.keys.find(static_cast<unsigned char>((*index)[0]) - 48);
    if (it == pad.keys.end()) return "2";
    return "0" + CheckValueOf(*KeyBytes(it->second));
}

// "42.": encryption "002" or "2c2" (c: 0 encipher, 1 decipher), the key index, key, check value
// and block; decrypt and display (mode 1 or 3) only shows the block.
Answer Encryption(PinPad&, const Request& r) {
    const std::string& p = r.payload;
    if (p.empty()) return "1";
    if (p[0] == '1' || p[0] == '3') return "0";
    if (p.size() < 4 + 16 + 16) return "1";
    const size_t rest = p.size() - 4;
    auto key = KeyBytes(p.substr(4, rest >= 56 ? 32 : 16));
    auto block = FromHex(p.substr(p.size() - 16));
    if (!key || !block) return "3";
    const bool decipher = p[0] == '2' && p[1] == '1';
    return "0" + ToHex(Des(*key, *block, !decipher));
}

// ---- MAC ----------------------------------------------------------------------------------

// The key and check value of a text-form request from `pos`: a check value follows only when
// it is the key's own, so each layout is tried, the longest key first. `rest` tells whether
// what follows the key (and check value) fits the form.
template <typename Rest>
std::optional<size_t> SplitKey(const std::string& p, size_t pos, std::initializer_list<size_t> keys,
                               Bytes* key, Rest rest) {
    for (size_t keyLength : keys) {
        if (p.size() < pos + keyLength) continue;
        auto bytes = KeyBytes(p.substr(pos, keyLength));
        if (!bytes) continue;
        const std::string after = p.substr(pos + keyLength, 8);
        for (size_t checkLength : {size_t{8}, size_t{0}}) {
            if (checkLength == 8 && !SameHex(after, CheckValueOf(*bytes))) continue;
            if (checkLength == 0 && keyLength == 32) continue;
            const size_t next = pos + keyLength + checkLength;
            if (!rest(next)) continue;
            *key = *bytes;
            return next;
        }
    }
    return std::nullopt;
}

// "43." to "46.": key index, key, check value, expected MAC (verification), data in blocks.
Answer BlockMac(const Request& r, bool hex, bool verify) {
    const std::string& p = r.payload;
    const size_t block = hex ? 16 : 8;
    const size_t macLength = verify ? 8 : 0;
    MacRequest request;
    auto next = SplitKey(p, 1, {32, 16}, &request.key, [&](size_t at) {
        const size_t size = p.size() >= at + macLength ? p.size() - at - macLength : 0;
        return size >= block && size % block == 0 && (!hex || IsHex(p.substr(at + macLength)));
    });
    if (!next) return "2";
    request.expectedMac = p.substr(*next, macLength);
    const std::string data = p.substr(*next + macLength);
    request.data = hex ? *FromHex(data) : data;
    return TextMacAnswer(request, verify);
}

// "64." / "66.": key index, key mode ('1' 16 digits, '2' 32), key, check value, expected MAC
// (verification), data.
Answer VariableMac(const Request& r, bool verify) {
    const std::string& p = r.payload;
    if (p.size() < 2 || (p[1] != '1' && p[1] != '2')) return "2";
    const size_t macLength = verify ? 8 : 0;
    MacRequest request;
    auto next = SplitKey(p, 2, {p[1] == '2' ? size_t{32} : size_t{16}}, &request.key,
                         [&](size_t at) { return p.size() > at + macLength; });
    if (!next) return "2";
    request.expectedMac = p.substr(*next, macLength);
    request.data = p.substr(*next + macLength);
    return TextMacAnswer(request, verify);
}

// "6E." / "6G.": chunk index and last index in hex; the first chunk carries key index, key mode,
// key, check value, expected MAC and the total length in 4 hex digits. Only the last chunk is
// answered.
Answer ChunkedMac(PinPad& pad, const Request& r, bool verify) {
    const std::string& p = r.payload;
    auto numbers = FromHex(p.substr(0, 4));
    if (p.size() < 4 || !numbers) return "2";
    const unsigned index = static_cast<unsigned char>((*numbers)[0]);
    const unsigned last = static_cast<unsigned char>((*numbers)[1]);
    MacRequest& request = pad.textChunks[r.id];
    if (index == 0) {
        request = MacRequest();
        if (p.size() < 6 || (p[5] != '1' && p[5] != '2')) return "2";
        const size_t macLength = verify ? 8 : 0;
        // The total length after the key settles whether a check value came: the first chunk's
        // data must be as long as the total says.
        auto next =
            SplitKey(p, 6, {p[5] == '2' ? size_t{32} : size_t{16}}, &request.key, [&](size_t at) {
                const std::string length = p.substr(at + macLength, 4);
                if (length.size() != 4 || !IsHex(length)) return false;
                const size_t total = std::strtoul(length.c_str(), nullptr, 16);
                return p.size() - (at + macLength + 4) == std::min<size_t>(total, 200);
            });
        if (!next) return "2";
        request.expectedMac = p.substr(*next, macLength);
        request.data = p.substr(*next + macLength + 4);
    } else {
        request.data += p.substr(4);
    }
    if (index != last) return std::nullopt;
    const std::string answer = TextMacAnswer(request, verify);
    pad.textChunks.erase(r.id);
    return answer;
}

std::string BinaryAnswer(uint8_t op, uint8_t status, const Bytes& data = Bytes()) {
    const size_t follow = 2 + data.size();
    return std::string{static_cast<char>(follow >> 8), static_cast<char>(follow & 0xFF),
                       static_cast<char>(op), static_cast<char>(status)} +
           data;
}

// "F1." with operation 'C' or 'E': length (2), operation, chunk index (2), last index (2); the
// first chunk then carries the key mode byte, key, check value (double length), expected MAC
// (verification) and the total length (4). Every chunk is answered: 0xFF while more are due.
Answer BinaryMac(PinPad& pad, const Request& r) {
    const Bytes& p = r.payload;
    const uint8_t op = static_cast<uint8_t>(p[2]);
    auto byte = [&](size_t i) { return i < p.size() ? static_cast<uint8_t>(p[i]) : 0; };
    if (p.size() < 7) return BinaryAnswer(op, 0x01);
    const unsigned index = byte(3) << 8 | byte(4);
    const unsigned last = byte(5) << 8 | byte(6);
    const bool verify = op == 'E';
    MacRequest& request = pad.binaryChunks[op];
    if (index == 0) {
        request = MacRequest();
        if (p.size() < 8) return BinaryAnswer(op, 0x01);
        const uint8_t mode = byte(7);
        const bool doubleLength = mode == 0x02 || mode >= 0xB0;
        const size_t keyLength = doubleLength ? 16 : 8;
        size_t pos = 8;
        request.key = p.substr(pos, keyLength);
        pos += keyLength + (doubleLength ? 4 : 0);
        if (verify) request.expectedMac = ToHex(p.substr(pos, 4));
        pos += verify ? 4 : 0;
        if (p.size() < pos + 4 || request.key.size() != keyLength) return BinaryAnswer(op, 0x01);
        pad.binaryLength =
            byte(pos) << 24 | byte(pos + 1) << 16 | byte(pos + 2) << 8 | byte(pos + 3);
        request.data = p.substr(pos + 4);
    } else {
        request.data += p.substr(7);
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

void SetNextPin(const std::string& digits) {
    std::lock_guard<std::mutex> lock(g_pinMutex);
    g_nextPins.push_back(digits);
}

std::string KeyCheckValue(const std::string& hexKey) {
    auto key = KeyBytes(hexKey);
    return key ? CheckValueOf(*key) : std::string();
}

void InstallPinAnswers(TerminalSimulator& sim) {
    auto pad = std::make_shared<PinPad>();
    auto on = [&](const char* id, Answer (*answer)(PinPad&, const Request&)) {
        sim.SetHandler(id, [pad, answer](const Request& r) { return answer(*pad, r); });
    };
    on("31.", DukptPin);
    on("41.", MasterSessionPin);
    on("69.", DisplayPin);
    on("6H.", DisplayPin);
    // The PIN-entry cancel is acknowledged only (whatever else it ends stays ended).
    TerminalSimulator::Handler previousCancel = sim.GetHandler("72");
    sim.SetHandler("72", [previousCancel](const Request& r) {
        if (previousCancel) previousCancel(r);
        return Answer();
    });
    sim.SetHandler("6A.", [pad](const Request& r) {
        pad->debitScreens = r.payload;
        return Answer("0");
    });
    on("6B.", DebitStart);

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
    // "F1." is shared with the EMV channel: other operations go to whoever had it before.
    TerminalSimulator::Handler previous = sim.GetHandler("F1.");
    sim.SetHandler("F1.", [pad, previous](const Request& r) -> Answer {
        if (r.payload.size() >= 3 && (r.payload[2] == 'C' || r.payload[2] == 'E'))
            return BinaryMac(*pad, r);
        return previous ? previous(r) : Answer();
    });
}

}  // namespace orn::sim
