#include "platform/posix/errors.h"

#include <cerrno>

#include "platform/platform.h"

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

}  // namespace orn::platform::posix
