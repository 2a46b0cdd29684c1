// The one place where POSIX error numbers become the platform error numbers of the seam.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace orn::platform::posix {

// An error of an operation on an open device or of any other call.
uint32_t MapErrno(int error);
// An error of opening a device: a missing node is "not found", one held or forbidden "busy".
uint32_t MapOpenErrno(int error);

// The status of a failed call: the mapped error, errno itself, and the call ("open") with what
// it worked on.
Status Failure(const char* operation, int error, std::string subject = {});
Status OpenFailure(const char* operation, int error, std::string subject);

}  // namespace orn::platform::posix
