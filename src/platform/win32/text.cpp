#include "platform/win32/text.h"

#include <windows.h>

namespace orn::platform::win32 {

namespace {

// 0 when `text` is not valid in `codePage` (with `flags` asking to say so).
int WideLength(UINT codePage, DWORD flags, const std::string& text) {
    return ::MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()),
                                 nullptr, 0);
}

}  // namespace

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    UINT codePage = CP_UTF8;
    DWORD flags = MB_ERR_INVALID_CHARS;
    int length = WideLength(codePage, flags, text);
    if (length == 0) {
        codePage = CP_ACP;
        flags = 0;
        length = WideLength(codePage, flags, text);
        if (length == 0) return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), &wide[0],
                          length);
    return wide;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                             nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string narrow(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0],
                          length, nullptr, nullptr);
    return narrow;
}

}  // namespace orn::platform::win32
