#include <cctype>
#include <cstdio>

#include "platform/platform.h"

namespace orn::platform {

namespace {

// The OS's sentence as part of a log line: no line end or full stop, and a capital that only
// starts the sentence made small ("Access is denied." -> "access is denied"; "I/O" stays).
std::string AsClause(std::string text) {
    while (!text.empty() &&
           (std::isspace(static_cast<unsigned char>(text.back())) || text.back() == '.'))
        text.pop_back();
    if (text.size() > 1 && std::islower(static_cast<unsigned char>(text[1])))
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text.empty() ? "unknown error" : text;
}

}  // namespace

std::string Status::Text() const {
    if (error_ == kErrNone) return "success";
    std::string text;
    if (operation_) {
        text = operation_;
        if (!subject_.empty()) text += " " + subject_;
        text += ": ";
    }
    char number[24];
    if (osCode_ == 0) {
        std::snprintf(number, sizeof number, "error %u", error_);
        return text + number;
    }
    // An HRESULT reads best in hex, as the OS documents it.
    std::snprintf(number, sizeof number, osCode_ >= 0x80000000u ? " (0x%08X)" : " (%u)", osCode_);
    return text + AsClause(OsErrorText(osCode_)) + number;
}

}  // namespace orn::platform
