// Clock on POSIX: the tick count is the monotonic clock in milliseconds, cut to 32 bits so it
// wraps the way callers expect (they compare ticks only by unsigned subtraction).
#include <time.h>

#include <cerrno>

#include "platform/platform.h"

namespace orn::platform {

uint32_t TickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t ms) {
    timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    // A signal cuts the sleep short; sleep on for what is left.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

LocalTime GetLocalTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    time_t seconds = now.tv_sec;
    localtime_r(&seconds, &parts);
    LocalTime t{};
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    // A leap second shows as 60; the callers format 0..59.
    t.second = parts.tm_sec > 59 ? 59 : parts.tm_sec;
    t.millisecond = static_cast<int>(now.tv_nsec / 1000000L);
    t.dayOfWeek = parts.tm_wday;
    return t;
}

}  // namespace orn::platform
