// The log's DES through the CryptoAPI of advapi32, which every Windows version has and which
// Wine implements (its bcrypt has no DES). The key is imported as a plain-text key blob with
// its parity bits set (the cipher ignores them, so the result is that of the bytes as given);
// ECB mode and Final = FALSE keep every block on its own and unpadded.
#include <windows.h>
// after windows.h, which it needs
#include <wincrypt.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/win32/des.h"

namespace orn::platform {

namespace {

class CryptoApiDes final : public DesCipher {
  public:
    CryptoApiDes(HCRYPTPROV provider, HCRYPTKEY key) : provider_(provider), key_(key) {}
    ~CryptoApiDes() override {
        ::CryptDestroyKey(key_);
        ::CryptReleaseContext(provider_, 0);
    }

    bool Encrypt(const uint8_t* in, uint8_t* out, size_t length) override {
        return Run(true, in, out, length);
    }
    bool Decrypt(const uint8_t* in, uint8_t* out, size_t length) override {
        return Run(false, in, out, length);
    }

  private:
    bool Run(bool encrypt, const uint8_t* in, uint8_t* out, size_t length) {
        if (length % 8 != 0) return false;
        if (out != in) std::memmove(out, in, length);
        // The API takes 32-bit lengths; slices keep any size working.
        constexpr size_t kSlice = 1u << 20;
        while (length > 0) {
            DWORD n = static_cast<DWORD>(length < kSlice ? length : kSlice);
            DWORD done = n;
            BOOL ok = encrypt ? ::CryptEncrypt(key_, 0, FALSE, 0, out, &done, n)
                              : ::CryptDecrypt(key_, 0, FALSE, 0, out, &done);
            if (!ok || done != n) return false;
            out += n;
            length -= n;
        }
        return true;
    }

    HCRYPTPROV provider_;
    HCRYPTKEY key_;
};

}  // namespace

namespace win32 {

DesKeyBlob ImportableDesKey(const uint8_t key1[8], const uint8_t* key2) {
    DesKeyBlob blob{};
    std::memcpy(blob.key, key1, 8);
    if (key2) std::memcpy(blob.key + 8, key2, 8);
    // The low bit of each byte is DES's parity bit, which the cipher never uses; a provider may
    // refuse a key whose bytes do not have odd parity, so every byte is given it.
    for (uint8_t& byte : blob.key) {
        uint8_t ones = 0;
        for (uint8_t bits = byte >> 1; bits != 0; bits >>= 1) ones ^= bits & 1;
        byte = static_cast<uint8_t>((byte & 0xFE) | (ones ^ 1));
    }
    // Two equal halves are single DES (the decryption undoes the first encryption): imported as
    // such, since a provider may refuse a two-key triple DES key made of one key twice.
    const bool triple = key2 != nullptr && std::memcmp(blob.key, blob.key + 8, 8) != 0;
    blob.algorithm = triple ? CALG_3DES_112 : CALG_DES;
    blob.length = triple ? 16 : 8;
    if (!triple) std::memset(blob.key + 8, 0, 8);
    return blob;
}

}  // namespace win32

std::unique_ptr<DesCipher> DesCipher::Create(const uint8_t key1[8], const uint8_t* key2) {
    HCRYPTPROV provider = 0;
    if (!::CryptAcquireContextA(&provider, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                CRYPT_VERIFYCONTEXT)) {
        return nullptr;
    }
    win32::DesKeyBlob key = win32::ImportableDesKey(key1, key2);
    struct {
        BLOBHEADER header;
        DWORD size;
        BYTE key[16];
    } blob{};
    blob.header.bType = PLAINTEXTKEYBLOB;
    blob.header.bVersion = CUR_BLOB_VERSION;
    blob.header.aiKeyAlg = key.algorithm;
    blob.size = key.length;
    std::memcpy(blob.key, key.key, key.length);
    SecureZeroMemory(&key, sizeof key);
    HCRYPTKEY handle = 0;
    DWORD blobSize = static_cast<DWORD>(sizeof blob.header + sizeof blob.size + blob.size);
    BOOL imported =
        ::CryptImportKey(provider, reinterpret_cast<BYTE*>(&blob), blobSize, 0, 0, &handle);
    SecureZeroMemory(&blob, sizeof blob);
    DWORD mode = CRYPT_MODE_ECB;
    if (!imported || !::CryptSetKeyParam(handle, KP_MODE, reinterpret_cast<BYTE*>(&mode), 0)) {
        if (imported) ::CryptDestroyKey(handle);
        ::CryptReleaseContext(provider, 0);
        return nullptr;
    }
    return std::make_unique<CryptoApiDes>(provider, handle);
}

}  // namespace orn::platform
