// Text at the seam is UTF-8; the system's wide functions take UTF-16. Names a host application
// hands over in its ANSI code page (what the A functions took) are still understood.
#pragma once

#include <string>

namespace orn::platform::win32 {

// UTF-8 to UTF-16. A text that is not valid UTF-8 is read in the ANSI code page instead.
std::wstring Widen(const std::string& text);
// UTF-16 to UTF-8.
std::string Narrow(const std::wstring& text);

}  // namespace orn::platform::win32
