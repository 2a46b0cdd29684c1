// The access rights of the log files on Win32, shown to the tests.
#pragma once

#include <string>

namespace orn::platform::win32 {

// The security descriptor, in the system's descriptor language, that a new log file gets: only
// SYSTEM and the user `userSid` ("S-1-5-21-...") may open it, as mode 0600 allows on POSIX.
std::wstring PrivateFileSddl(const std::wstring& userSid);
// The user the process runs as, as a SID text; empty when it cannot be read.
std::wstring CurrentUserSid();

}  // namespace orn::platform::win32
