#include "platform/win32/usb_ids.h"

#include <cctype>

namespace orn::platform::win32 {

namespace {

// Four hexadecimal digits at `at`, upper-cased; empty when there are not.
std::string HexAt(const std::string& text, size_t at) {
    if (at + 4 > text.size()) return {};
    std::string digits = text.substr(at, 4);
    for (char& c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return digits;
}

bool StartsWithNoCase(const std::string& text, size_t at, const char* prefix) {
    for (size_t i = 0; prefix[i] != '\0'; ++i) {
        if (at + i >= text.size() ||
            std::toupper(static_cast<unsigned char>(text[at + i])) != prefix[i])
            return false;
    }
    return true;
}

}  // namespace

UsbIdentity UsbIdentityOf(const std::vector<std::string>& identifiers) {
    // USB\VID_vvvv&PID_pppp: the vendor at 8, "&PID_" at 12, the product at 17.
    for (const std::string& id : identifiers) {
        if (!StartsWithNoCase(id, 0, "USB\\VID_") || !StartsWithNoCase(id, 12, "&PID_")) continue;
        UsbIdentity identity;
        identity.vendorId = HexAt(id, 8);
        identity.productId = HexAt(id, 17);
        if (identity.vendorId.empty() || identity.productId.empty()) continue;
        identity.usb = true;
        return identity;
    }
    return {};
}

}  // namespace orn::platform::win32
