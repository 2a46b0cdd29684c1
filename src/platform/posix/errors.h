// The one place where POSIX error numbers become the platform error numbers of the seam.
#pragma once

#include <cstdint>

namespace orn::platform::posix {

// An error of an operation on an open device or of any other call.
uint32_t MapErrno(int error);
// An error of opening a device: a missing node is "not found", one held or forbidden "busy".
uint32_t MapOpenErrno(int error);

}  // namespace orn::platform::posix
