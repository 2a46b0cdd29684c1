// HID devices on POSIX: hidraw nodes, and Unix-domain SOCK_SEQPACKET sockets standing in for
// them (one message is one report, identifier first, both ways).
//
// The report lengths come from the device's report descriptor in sysfs
// (class/hidraw/<node>/device/report_descriptor): 1 + the byte size of report 2's input or
// output fields, which is what the HID class driver on Windows states for them.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/posix/sysfs.h"

namespace orn::platform {

namespace {

// The terminal's link travels in report 2.
constexpr uint32_t kLinkReportId = 2;

// No HID stack carries reports above 64 KB (Windows states report lengths in 16 bits).
// A descriptor that claims more is broken or hostile, and the report buffers are sized from it.
constexpr uint64_t kMaxReportLength = 65536;

// Sums the field bits of one report in a report descriptor. Only the global items that shape
// a report (size, count, identifier, push, pop) and the input and output main items matter.
// The sums are 64-bit and stop growing past any real report, so no descriptor can wrap them.
bool ReportBits(const std::string& descriptor, uint32_t reportId, uint64_t* inputBits,
                uint64_t* outputBits) {
    constexpr uint64_t kBitsCap = (kMaxReportLength + 1) * 8;
    struct Globals {
        uint32_t size = 0, count = 0, id = 0;
    };
    Globals globals;
    std::vector<Globals> stack;
    bool seen = false;
    *inputBits = *outputBits = 0;
    const auto* d = reinterpret_cast<const uint8_t*>(descriptor.data());
    const size_t length = descriptor.size();
    for (size_t i = 0; i < length;) {
        const uint8_t prefix = d[i];
        if (prefix == 0xFE) {  // long item: size, tag, data
            if (i + 1 >= length) break;
            i += 3 + d[i + 1];
            continue;
        }
        const size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (i + 1 + size > length) break;
        uint32_t value = 0;
        for (size_t b = 0; b < size; ++b) value |= static_cast<uint32_t>(d[i + 1 + b]) << (8 * b);
        const int type = (prefix >> 2) & 3;
        const int tag = prefix >> 4;
        if (type == 1) {
            switch (tag) {
                case 7:
                    globals.size = value;
                    break;
                case 8:
                    globals.id = value;
                    break;
                case 9:
                    globals.count = value;
                    break;
                case 10:
                    stack.push_back(globals);
                    break;
                case 11:
                    if (!stack.empty()) {
                        globals = stack.back();
                        stack.pop_back();
                    }
                    break;
                default:
                    break;
            }
        } else if (type == 0 && (tag == 8 || tag == 9) && globals.id == reportId) {
            uint64_t& bits = tag == 8 ? *inputBits : *outputBits;
            bits = std::min(bits + uint64_t{globals.size} * globals.count, kBitsCap);
            seen = true;
        }
        i += 1 + size;
    }
    return seen;
}

class PosixHidDevice final : public HidDevice {
  public:
    PosixHidDevice(int fd, int wakeFd, uint32_t inputLength, uint32_t outputLength)
        : fd_(fd), wakeFd_(wakeFd), inputLength_(inputLength), outputLength_(outputLength) {
        struct stat info {};
        isSocket_ = ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
    }
    ~PosixHidDevice() override { Close(); }

    uint32_t InputReportLength() const override { return inputLength_; }
    uint32_t OutputReportLength() const override { return outputLength_; }

    Status ReadReport(void* buffer, size_t length, size_t* got) override {
        *got = 0;
        const int f = fd();
        const int wake = wakeFd_.load(std::memory_order_acquire);
        if (f < 0 || wake < 0) return kErrInvalidHandle;
        for (;;) {
            pollfd fds[2] = {{f, POLLIN, 0}, {wake, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return posix::Failure("poll", errno);
            }
            if (fds[1].revents & POLLIN) {
                uint64_t count = 0;
                ssize_t ignored = ::read(wake, &count, sizeof count);
                (void)ignored;
                return kErrNone;
            }
            if (fds[0].revents & POLLNVAL) return kErrInvalidHandle;
            if (fds[0].revents & POLLIN) {
                ssize_t n =
                    isSocket_ ? ::recv(f, buffer, length, MSG_DONTWAIT) : ::read(f, buffer, length);
                if (n > 0) {
                    *got = static_cast<size_t>(n);
                    return kErrNone;
                }
                if (n == 0) return kErrDeviceNotConnected;  // the other end has gone
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
                return GoneOr("read", errno);
            }
            if (fds[0].revents & (POLLHUP | POLLERR)) return kErrDeviceNotConnected;
        }
    }

    void CancelRead() override {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        const int wake = wakeFd_.load(std::memory_order_acquire);
        if (wake < 0) return;
        uint64_t one = 1;
        ssize_t ignored = ::write(wake, &one, sizeof one);
        (void)ignored;
    }

    Status WriteReport(const void* report, size_t length, uint32_t ms) override {
        const int f = fd();
        if (f < 0) return kErrInvalidHandle;
        const uint32_t start = TickCount();
        for (;;) {
            // A socket whose peer has gone must report EPIPE, not raise SIGPIPE in the host.
            ssize_t n = isSocket_ ? ::send(f, report, length, MSG_NOSIGNAL | MSG_DONTWAIT)
                                  : ::write(f, report, length);
            if (n >= 0) return kErrNone;  // a report goes whole or not at all
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return GoneOr("write", errno);
            int waitMs = -1;
            if (ms != kInfinite) {
                const uint32_t spent = TickCount() - start;
                if (spent >= ms) return kErrTimeout;
                waitMs = static_cast<int>(ms - spent);
            }
            pollfd p{f, POLLOUT, 0};
            if (::poll(&p, 1, waitMs) < 0 && errno != EINTR) return posix::Failure("poll", errno);
        }
    }

    bool IsOpen() const override { return fd() >= 0; }

    void Close() override {
        const int f = fd_.exchange(-1, std::memory_order_acq_rel);
        if (f >= 0) ::close(f);
        std::lock_guard<std::mutex> lock(wakeMutex_);
        const int wake = wakeFd_.exchange(-1, std::memory_order_acq_rel);
        if (wake >= 0) ::close(wake);
    }

  private:
    int fd() const { return fd_.load(std::memory_order_acquire); }

    // Errors that mean the device or its stand-in is no longer there.
    static Status GoneOr(const char* operation, int error) {
        switch (error) {
            case EPIPE:
            case ECONNRESET:
            case ENOTCONN:
            case ENODEV:
            case ENXIO:
            case ESHUTDOWN:
                return Status(kErrDeviceNotConnected, static_cast<uint32_t>(error), operation);
            default:
                return posix::Failure(operation, error);
        }
    }

    std::atomic<int> fd_;
    std::atomic<int> wakeFd_;
    std::mutex wakeMutex_;  // keeps CancelRead off a wake descriptor that Close is closing
    const uint32_t inputLength_;
    const uint32_t outputLength_;
    bool isSocket_ = false;
};

// Opens a hidraw node, or connects to a socket node.
int OpenNode(const std::string& path, Status* error) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        *error = posix::OpenFailure("stat", errno, path);
        return -1;
    }
    if (!S_ISSOCK(info.st_mode)) {
        int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) *error = posix::OpenFailure("open", errno, path);
        return fd;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        *error = Status(kErrNotFound, ENAMETOOLONG, "connect", path);
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = posix::Failure("socket", errno, path);
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *error = posix::OpenFailure("connect", errno, path);
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

}  // namespace

std::shared_ptr<HidDevice> HidDevice::Open(const std::string& path, Status* error,
                                           std::string* errorText) {
    Status ignored;
    if (error == nullptr) error = &ignored;
    *error = kErrNone;
    const int fd = OpenNode(path, error);
    if (fd < 0) return nullptr;

    const size_t slash = path.rfind('/');
    const std::string node = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string descriptor;
    uint64_t inputBits = 0, outputBits = 0;
    const bool described = posix::ReadSmallFile(posix::SysfsRoot() + "/class/hidraw/" + node +
                                                    "/device/report_descriptor",
                                                &descriptor) &&
                           ReportBits(descriptor, kLinkReportId, &inputBits, &outputBits);
    // The link needs room for the identifier, the length byte and at least one data byte.
    const uint64_t inputLength = 1 + (inputBits + 7) / 8;
    const uint64_t outputLength = 1 + (outputBits + 7) / 8;
    const bool tooLong = inputLength > kMaxReportLength || outputLength > kMaxReportLength;
    if (!described || tooLong || inputLength < 3 || outputLength < 3) {
        ::close(fd);
        *error = kErrHidOpenFailed;
        if (tooLong && errorText != nullptr) {
            *errorText = "USB HID device " + path +
                         " not opened: its report descriptor declares reports longer than 64 KB";
        }
        return nullptr;
    }
    auto device =
        FromNative(fd, static_cast<uint32_t>(inputLength), static_cast<uint32_t>(outputLength));
    if (!device) *error = posix::Failure("eventfd", errno, path);
    return device;
}

std::shared_ptr<HidDevice> HidDevice::FromNative(intptr_t native, uint32_t inputReportLength,
                                                 uint32_t outputReportLength) {
    const int fd = static_cast<int>(native);
    if (fd < 0) return nullptr;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_shared<PosixHidDevice>(fd, wake, inputReportLength, outputReportLength);
}

}  // namespace orn::platform
