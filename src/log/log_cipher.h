// Block cipher of the encrypted log file: single DES or two-key triple DES (E k1, D k2, E k1),
// each 8-byte block on its own (electronic codebook). Key bytes are used as given: parity bits
// are not checked or adjusted and weak keys are accepted, so any 16 or 32 hex digits work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orn {

class LogCipher {
  public:
    static constexpr size_t kBlock = 8;

    LogCipher();
    ~LogCipher();
    LogCipher(const LogCipher&) = delete;
    LogCipher& operator=(const LogCipher&) = delete;

    // Parses 16 hex digits (single DES) or 32 (key 1 then key 2, two-key triple DES). The first
    // digit is the high nibble of the first byte. Returns false for any other length or a
    // character that is not a hex digit; the outputs are then untouched.
    static bool ParseHexKey(const std::string& hex, uint8_t key1[8], uint8_t key2[8], bool* triple);

    // Sets the key: single DES under `key1` when `key2` is null, else two-key triple DES.
    // Returns false when the cipher could not be set up (the cipher is then inactive).
    bool SetKey(const uint8_t key1[8], const uint8_t* key2);
    // SetKey from 16 or 32 hex digits; false for a malformed key.
    bool SetHexKey(const std::string& hex);
    void Clear();
    bool Active() const { return active_; }

    // Encrypts / decrypts `length` bytes (a multiple of 8) from `in` to `out` (may be equal).
    // Returns false when inactive, on a bad length, or on a cipher failure.
    bool EncryptBlocks(const uint8_t* in, uint8_t* out, size_t length);
    bool DecryptBlocks(const uint8_t* in, uint8_t* out, size_t length);

  private:
    struct Contexts;
    std::unique_ptr<Contexts> ctx_;
    bool active_ = false;
};

// Turns the text written to an encrypted log into cipher blocks: a CR goes before every LF, the
// result is appended to the carry, whole blocks are encrypted, and the 0 to 7 bytes left over
// wait for the next text. Finish pads the carry with spaces to one block (an empty carry gives
// a block of eight spaces), so every finished file is a whole number of blocks.
class LogStreamEncryptor {
  public:
    explicit LogStreamEncryptor(LogCipher& cipher) : cipher_(cipher) {}

    // Returns the encrypted bytes ready to write (possibly empty).
    std::string Feed(const char* text, size_t length);
    std::string Finish();
    size_t CarrySize() const { return carry_.size(); }
    void Reset() { carry_.clear(); }

  private:
    LogCipher& cipher_;
    std::string carry_;
};

}  // namespace orn
