// The log's DES through OpenSSL's libcrypto.
#include <openssl/evp.h>

#include <climits>
#include <cstring>

#include "platform/platform.h"

namespace orn::platform {

namespace {

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
    if (!ctx || length % 8 != 0) return false;
    // ECB keeps no state between blocks, so the context is reused for every call and no final
    // step is needed. Large inputs go in slices that fit the int length of the API.
    constexpr size_t kSlice = (INT_MAX / 8) * 8;
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

class OpenSslDes final : public DesCipher {
  public:
    OpenSslDes(EVP_CIPHER_CTX* enc, EVP_CIPHER_CTX* dec) : enc_(enc), dec_(dec) {}
    ~OpenSslDes() override {
        EVP_CIPHER_CTX_free(enc_);
        EVP_CIPHER_CTX_free(dec_);
    }
    bool Encrypt(const uint8_t* in, uint8_t* out, size_t length) override {
        return Run(enc_, in, out, length);
    }
    bool Decrypt(const uint8_t* in, uint8_t* out, size_t length) override {
        return Run(dec_, in, out, length);
    }

  private:
    EVP_CIPHER_CTX* enc_;
    EVP_CIPHER_CTX* dec_;
};

}  // namespace

std::unique_ptr<DesCipher> DesCipher::Create(const uint8_t key1[8], const uint8_t* key2) {
    uint8_t material[24];
    std::memcpy(material, key1, 8);
    std::memcpy(material + 8, key2 ? key2 : key1, 8);
    std::memcpy(material + 16, key1, 8);
    EVP_CIPHER_CTX* enc = MakeContext(material, true);
    EVP_CIPHER_CTX* dec = MakeContext(material, false);
    std::memset(material, 0, sizeof material);
    if (!enc || !dec) {
        if (enc) EVP_CIPHER_CTX_free(enc);
        if (dec) EVP_CIPHER_CTX_free(dec);
        return nullptr;
    }
    return std::make_unique<OpenSslDes>(enc, dec);
}

}  // namespace orn::platform
