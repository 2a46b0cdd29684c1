#include "log/log_cipher.h"

#include <cstring>

#include "platform/platform.h"

namespace orn {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

// The cipher itself is the platform's.
struct LogCipher::Contexts {
    std::unique_ptr<platform::DesCipher> des;
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
    ctx_->des = platform::DesCipher::Create(key1, key2);
    active_ = ctx_->des != nullptr;
    return active_;
}

bool LogCipher::SetHexKey(const std::string& hex) {
    uint8_t k1[8], k2[8];
    bool triple = false;
    if (!ParseHexKey(hex, k1, k2, &triple)) return false;
    return SetKey(k1, triple ? k2 : nullptr);
}

void LogCipher::Clear() {
    ctx_->des.reset();
    active_ = false;
}

bool LogCipher::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t length) {
    return active_ && ctx_->des->Encrypt(in, out, length);
}

bool LogCipher::DecryptBlocks(const uint8_t* in, uint8_t* out, size_t length) {
    return active_ && ctx_->des->Decrypt(in, out, length);
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
