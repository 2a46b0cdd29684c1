// The key the log's DES hands to the CryptoAPI provider, shown to the tests.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include <cstdint>

namespace orn::platform::win32 {

struct DesKeyBlob {
    ALG_ID algorithm;  // CALG_DES or CALG_3DES_112
    DWORD length;      // 8 or 16
    uint8_t key[16];   // the bytes to import; zero after `length`
};

// The key as it is imported: every byte with odd parity, and two equal halves (after that) as
// single DES. Encrypts exactly as the bytes given would.
DesKeyBlob ImportableDesKey(const uint8_t key1[8], const uint8_t* key2);

}  // namespace orn::platform::win32
