#include "platform/posix/errors.h"

#include <cerrno>
#include <cstring>

namespace orn::platform {

namespace {
// strerror_r comes in two shapes; whichever this C library has, take its text.
[[maybe_unused]] const char* ErrorWords(int /*xsiResult*/, const char* buffer) {
    return buffer;
}
[[maybe_unused]] const char* ErrorWords(const char* gnuResult, const char* /*buffer*/) {
    return gnuResult;
}
}  // namespace

std::string OsErrorText(uint32_t osCode) {
    char buffer[128] = "";
    return ErrorWords(::strerror_r(static_cast<int>(osCode), buffer, sizeof buffer), buffer);
}

}  // namespace orn::platform

namespace orn::platform::posix {

uint32_t MapErrno(int error) {
    switch (error) {
        case 0:
            return kErrNone;
        case ENOENT:
            return kErrNotFound;
        case EACCES:
        case EPERM:
        case EBUSY:
            return kErrAccessDenied;
        case EBADF:
            return kErrInvalidHandle;
        case EINVAL:
        case ENOTTY:
        case EOPNOTSUPP:
            return kErrInvalidParameter;
        case EPIPE:
        case ECONNRESET:
        case ECONNREFUSED:
        case ENOTCONN:
            return kErrBrokenPipe;
        case EIO:
            return kErrIoDevice;
        case ENODEV:
        case ENXIO:
        case ESHUTDOWN:
            return kErrDeviceNotConnected;
        case ETIMEDOUT:
        case EAGAIN:
            return kErrTimeout;
        default:
            return kErrGenFailure;
    }
}

uint32_t MapOpenErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case ENOTDIR:
        case ECONNREFUSED:  // a socket node nobody listens on any more
            return kErrNotFound;
        case EBUSY:
        case EACCES:
        case EPERM:
            return kErrAccessDenied;
        default:
            return MapErrno(error);
    }
}

Status Failure(const char* operation, int error, std::string subject) {
    return Status(MapErrno(error), static_cast<uint32_t>(error), operation, std::move(subject));
}

Status OpenFailure(const char* operation, int error, std::string subject) {
    return Status(MapOpenErrno(error), static_cast<uint32_t>(error), operation, std::move(subject));
}

}  // namespace orn::platform::posix
