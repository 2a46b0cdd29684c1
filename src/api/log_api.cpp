// Log controls of the exported interface: level, encryption key and size limit of the process's
// one logger.
#include <cstring>

#include "api/guard.h"
#include "engine/generic_handler.h"
#include "link/sensitive.h"
#include "velquoraorn.h"

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

}  // namespace

extern "C" {

ORN_API int ornChangeLoggingState(int32_t level) {
    return orn::GuardedCode("ornChangeLoggingState", [&]() -> int {
        orn::CLogger& log = orn::Engine().Logger();
        log.Log(orn::kLogInfo, "++++++ Logger Changing State to %s ++++++",
                level == orn::kLogDetail ? "ORN_LOGGER_ON" : "ORN_LOGGER_OFF");
        log.SetLevel(level);
        orn::Engine().LogLevelChanged();
        return 0;
    });
}

ORN_API int ornSetLogKey(const char* key) {
    return orn::GuardedCode("ornSetLogKey", [&]() -> int {
        if (key) {
            size_t length = std::strlen(key);
            if (length != 0 && length != 16 && length != 32)
                return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
            for (size_t i = 0; i < length; ++i) {
                if (!IsHexDigit(key[i])) return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
            }
        }
        return orn::Engine().Logger().SetKey(key);
    });
}

ORN_API int ornSetLogFileSizeLimit(int32_t limit) {
    return orn::GuardedCode("ornSetLogFileSizeLimit",
                            [&]() -> int { return orn::Engine().Logger().SetSizeLimit(limit); });
}

ORN_API int ornSetLogSensitiveData(int on) {
    return orn::GuardedCode("ornSetLogSensitiveData", [&]() -> int {
        orn::SetLogSensitiveData(on != 0);
        // A log that shows secrets says so, and from where on.
        orn::Engine().Logger().Log(orn::kLogInfo, "Sensitive data in link dumps: %s",
                                   on != 0 ? "shown" : "hidden");
        return 0;
    });
}

}  // extern "C"
