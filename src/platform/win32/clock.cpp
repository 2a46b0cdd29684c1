// Clock on Win32: the tick count and the local time come straight from the OS.
#include <windows.h>

#include "platform/platform.h"

namespace orn::platform {

uint32_t TickCount() {
    return ::GetTickCount();
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
