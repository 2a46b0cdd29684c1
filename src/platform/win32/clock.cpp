// Clock on Win32. The tick count is the performance counter in milliseconds, cut to 32 bits: it
// counts and wraps like GetTickCount, but to the millisecond, where GetTickCount moves in steps
// of 10 to 16 ms (and more under Wine), which would blur the engine's short timeouts.
#include <windows.h>

#include "platform/platform.h"

namespace orn::platform {

uint32_t TickCount() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f{};
        return ::QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 0;
    }();
    LARGE_INTEGER now{};
    if (frequency == 0 || !::QueryPerformanceCounter(&now)) return ::GetTickCount();
    // Whole seconds and the remainder separately, so the product cannot overflow.
    ULONGLONG seconds = static_cast<ULONGLONG>(now.QuadPart / frequency);
    ULONGLONG rest = static_cast<ULONGLONG>(now.QuadPart % frequency);
    return static_cast<uint32_t>(seconds * 1000u + rest * 1000u / frequency);
}

void SleepMs(uint32_t ms) {
    ::Sleep(ms);
}

LocalTime GetLocalTime() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    LocalTime t{};
    t.year = now.wYear;
    t.month = now.wMonth;
    t.day = now.wDay;
    t.hour = now.wHour;
    t.minute = now.wMinute;
    t.second = now.wSecond;
    t.millisecond = now.wMilliseconds;
    t.dayOfWeek = now.wDayOfWeek;
    return t;
}

}  // namespace orn::platform
