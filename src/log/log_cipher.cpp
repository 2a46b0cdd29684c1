#include "log/log_cipher.h"

#include <openssl/evp.h>

#include <climits>
#include <cstring>

namespace orn {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void FreeContext(EVP_CIPHER_CTX*& ctx) {
    if (ctx) EVP_CIPHER_CTX_free(ctx);
    ctx = nullptr;
}

// Three-key EDE ECB with the keys laid out k1, k2, k3. Single DES is k1 = k2 = k3 (the first
// encryption and the decryption cancel out), two-key triple DES is k1, k2, k1. This form is in
// the default provider, unlike plain single DES, and it neither checks parity nor refuses weak
// keys.
EVP_CIPHER_CTX* MakeContext(const uint8_t key[24], bool encrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) return nullptr;
    if (EVP_CipherInit_ex(ctx, EVP_des_ede3_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

bool Run(EVP_CIPHER_CTX* ctx, const uint8_t* in, uint8_t* out, size_t length) {
    if (!ctx || length % LogCipher::kBlock != 0) return false;
    // ECB keeps no state between blocks, so the context is reused for every call and no final
    // step is needed. Large inputs go in slices that fit the int length of the API.
    constexpr size_t kSlice = (INT_MAX / LogCipher::kBlock) * LogCipher::kBlock;
    while (length > 0) {
        size_t n = length < kSlice ? length : kSlice;
        int outLen = 0;
        if (EVP_CipherUpdate(ctx, out, &outLen, in, static_cast<int>(n)) != 1 ||
            static_cast<size_t>(outLen) != n) {
            return false;
        }
        in += n;
        out += n;
        length -= n;
    }
    return true;
}

}  // namespace

struct LogCipher::Contexts {
    EVP_CIPHER_CTX* enc = nullptr;
    EVP_CIPHER_CTX* dec = nullptr;
    ~Contexts() {
        FreeContext(enc);
        FreeContext(dec);
    }
};

LogCipher::LogCipher() : ctx_(new Contexts) {}
LogCipher::~LogCipher() = default;

bool LogCipher::ParseHexKey(const std::string& hex, uint8_t key1[8], uint8_t key2[8],
                            bool* triple) {
    if (hex.size() != 16 && hex.size() != 32) return false;
    uint8_t bytes[16] = {};
    for (size_t i = 0; i < hex.size(); ++i) {
        int v = HexValue(hex[i]);
        if (v < 0) return false;
        bytes[i / 2] = static_cast<uint8_t>(bytes[i / 2] | (i % 2 == 0 ? v << 4 : v));
    }
    std::memcpy(key1, bytes, 8);
    if (hex.size() == 32) {
        std::memcpy(key2, bytes + 8, 8);
    } else {
        std::memset(key2, 0, 8);
    }
    *triple = hex.size() == 32;
    return true;
}

bool LogCipher::SetKey(const uint8_t key1[8], const uint8_t* key2) {
    Clear();
    uint8_t material[24];
    std::memcpy(material, key1, 8);
    std::memcpy(material + 8, key2 ? key2 : key1, 8);
    std::memcpy(material + 16, key1, 8);
    ctx_->enc = MakeContext(material, true);
    ctx_->dec = MakeContext(material, false);
    std::memset(material, 0, sizeof material);
    active_ = ctx_->enc && ctx_->dec;
    if (!active_) Clear();
    return active_;
}

bool LogCipher::SetHexKey(const std::string& hex) {
    uint8_t k1[8], k2[8];
    bool triple = false;
    if (!ParseHexKey(hex, k1, k2, &triple)) return false;
    return SetKey(k1, triple ? k2 : nullptr);
}

void LogCipher::Clear() {
    FreeContext(ctx_->enc);
    FreeContext(ctx_->dec);
    active_ = false;
}

bool LogCipher::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t length) {
    return active_ && Run(ctx_->enc, in, out, length);
}

bool LogCipher::DecryptBlocks(const uint8_t* in, uint8_t* out, size_t length) {
    return active_ && Run(ctx_->dec, in, out, length);
}

std::string LogStreamEncryptor::Feed(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\n') carry_.push_back('\r');
        carry_.push_back(text[i]);
    }
    size_t whole = carry_.size() - carry_.size() % LogCipher::kBlock;
    std::string out(whole, '\0');
    if (whole > 0) {
        auto* src = reinterpret_cast<const uint8_t*>(carry_.data());
        auto* dst = reinterpret_cast<uint8_t*>(&out[0]);
        if (!cipher_.EncryptBlocks(src, dst, whole)) out.clear();
        carry_.erase(0, whole);
    }
    return out;
}

std::string LogStreamEncryptor::Finish() {
    carry_.resize(LogCipher::kBlock, ' ');
    std::string out(LogCipher::kBlock, '\0');
    auto* src = reinterpret_cast<const uint8_t*>(carry_.data());
    auto* dst = reinterpret_cast<uint8_t*>(&out[0]);
    if (!cipher_.EncryptBlocks(src, dst, LogCipher::kBlock)) out.clear();
    carry_.clear();
    return out;
}

}  // namespace orn
