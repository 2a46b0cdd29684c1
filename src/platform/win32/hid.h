// What the HID device and the HID search share on Win32: which top-level collection carries the
// terminal's link.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace orn::platform::win32 {

// Input reports the class driver queues for the link's reader (its default is 32; 512 at most).
constexpr unsigned long kHidInputBuffers = 256;

// Reads the report lengths of the collection open on `device` (any access rights) and whether
// it carries the link: output report 2, and room for a length byte and data both ways.
// kErrNone, or kErrHidOpenFailed for another collection or one whose capabilities cannot be
// read; a missing HID.DLL function also sets *errorText, a line for the log at Severe.
uint32_t ReadLinkReports(HANDLE device, uint32_t* inputLength, uint32_t* outputLength,
                         std::string* errorText);

}  // namespace orn::platform::win32
