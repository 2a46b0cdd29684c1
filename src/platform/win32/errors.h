// The one place where Win32 error codes become the seam's statuses. The platform error is the
// Win32 code itself unless the caller maps it (a missing DOS device name, for one).
#pragma once

#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace orn::platform::win32 {

// A failed call whose code is `error`; the platform error is that code.
Status Failure(const char* operation, DWORD error, std::string subject = {});
// The failure of the call just made (GetLastError).
Status LastError(const char* operation, std::string subject = {});

}  // namespace orn::platform::win32
