#include "platform/win32/errors.h"

#include "platform/win32/text.h"

namespace orn::platform {

std::string OsErrorText(uint32_t osCode) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, osCode, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string words = length != 0 && text != nullptr ? win32::Narrow(std::wstring(text, length))
                                                       : "unknown error";
    if (text != nullptr) ::LocalFree(text);
    return words;
}

}  // namespace orn::platform

namespace orn::platform::win32 {

Status Failure(const char* operation, DWORD error, std::string subject) {
    return Status(error, error, operation, std::move(subject));
}

Status LastError(const char* operation, std::string subject) {
    return Failure(operation, ::GetLastError(), std::move(subject));
}

}  // namespace orn::platform::win32
