// Serial devices on POSIX (termios).
//
// Port names are the Windows ones. "COMn" is looked up in the directory named by ORN_PORT_DIR
// when that is set (test rigs and installations link their ports there), else COM1-COM32 are
// /dev/ttyS0-31, COM33-COM64 /dev/ttyUSB0-31 and COM65-COM96 /dev/ttyACM0-31, /dev being
// $ORN_DEV_ROOT when that is set. A name that starts with '/' is a device path as it stands.
// The mapping (posix::SerialDevicePath) is the listing's too.
//
// Threads: one listener thread calls WaitEvent; other threads may Read, Write and change the
// line meanwhile. CancelWait may be called from any thread at any time. Close must not run
// while another thread is inside a call on the device (other than IsOpen and CancelWait): the
// owner first calls CancelWait, waits for the listener to leave WaitEvent and then closes.
#include <fcntl.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/posix/sysfs.h"

namespace orn::platform {

namespace {

// How long WaitEvent lets a listener rest between reports of a hangup that does not clear
// (a pty whose other end has gone stays hung up for good).
constexpr int kHangupPauseMs = 50;

// The failure of the call just made: errno with its mapped error.
Status LastError(const char* operation) {
    return posix::Failure(operation, errno);
}

struct BaudEntry {
    uint32_t baud;
    speed_t speed;
};

constexpr BaudEntry kBauds[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool SpeedForBaud(uint32_t baud, speed_t* speed) {
    for (const BaudEntry& entry : kBauds) {
        if (entry.baud == baud) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

uint32_t BaudForSpeed(speed_t speed) {
    for (const BaudEntry& entry : kBauds) {
        if (entry.speed == speed) return entry.baud;
    }
    return 0;
}

// The flags a line-settings request controls; compared after applying because tcsetattr
// succeeds when any part of the request was taken.
constexpr tcflag_t kLineFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
constexpr tcflag_t kInputFlowFlags = IXON | IXOFF | IXANY;

class PosixSerialDevice final : public SerialDevice {
  public:
    PosixSerialDevice(int fd, int wakeFd) : fd_(fd), wakeFd_(wakeFd) {
        struct stat info {};
        isSocket_ = ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
    }
    ~PosixSerialDevice() override { Close(); }

    Status SetupQueues(uint32_t, uint32_t) override {
        // The kernel sizes its own buffers; nothing to request.
        return fd() < 0 ? kErrInvalidHandle : kErrNone;
    }

    Status Setup(const LineSettings& settings) override {
        int f = fd();
        if (f < 0) return kErrInvalidHandle;
        termios raw{};
        if (::tcgetattr(f, &raw) != 0) return LastError("tcgetattr");
        // Raw mode and the speed go in on their own first, so a device that refuses the
        // character format below (a pty keeps eight bits and no parity) still runs at the
        // asked speed and passes every byte unchanged.
        speed_t speed;
        if (!SpeedForBaud(settings.baud, &speed)) return kErrInvalidParameter;
        ::cfmakeraw(&raw);
        raw.c_cflag |= CLOCAL | CREAD;
        raw.c_cflag &= ~CRTSCTS;
        raw.c_iflag &= ~kInputFlowFlags;
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        ::cfsetispeed(&raw, speed);
        ::cfsetospeed(&raw, speed);
        if (::tcsetattr(f, TCSANOW, &raw) != 0) return LastError("tcsetattr");

        termios line = raw;
        line.c_cflag &= ~kLineFlags;
        switch (settings.dataBits) {
            case 5:
                line.c_cflag |= CS5;
                break;
            case 6:
                line.c_cflag |= CS6;
                break;
            case 7:
                line.c_cflag |= CS7;
                break;
            case 8:
                line.c_cflag |= CS8;
                break;
            default:
                return kErrInvalidParameter;
        }
        switch (settings.parity) {
            case Parity::None:
                break;
            case Parity::Odd:
                line.c_cflag |= PARENB | PARODD;
                break;
            case Parity::Even:
                line.c_cflag |= PARENB;
                break;
            case Parity::Mark:
                line.c_cflag |= PARENB | CMSPAR | PARODD;
                break;
            case Parity::Space:
                line.c_cflag |= PARENB | CMSPAR;
                break;
        }
        // There is no one-and-a-half here; two stop bits is the nearest (and what UARTs use
        // for 1.5 with five data bits).
        if (settings.stopBits != StopBits::One) line.c_cflag |= CSTOPB;

        Status err = kErrNone;
        termios applied{};
        if (::tcsetattr(f, TCSANOW, &line) != 0) {
            err = LastError("tcsetattr");
        } else if (::tcgetattr(f, &applied) != 0) {
            err = LastError("tcgetattr");
        } else if ((applied.c_cflag & kLineFlags) != (line.c_cflag & kLineFlags) ||
                   ::cfgetospeed(&applied) != speed) {
            err = kErrInvalidParameter;  // a pty takes the call but keeps 8 bits, no parity
        }
        if (err != kErrNone) ::tcsetattr(f, TCSANOW, &raw);  // undo any part that was taken
        return err;
    }

    Status GetSettings(LineSettings* settings) override {
        int f = fd();
        if (f < 0) return kErrInvalidHandle;
        termios t{};
        if (::tcgetattr(f, &t) != 0) return LastError("tcgetattr");
        settings->baud = BaudForSpeed(::cfgetospeed(&t));
        switch (t.c_cflag & CSIZE) {
            case CS5:
                settings->dataBits = 5;
                break;
            case CS6:
                settings->dataBits = 6;
                break;
            case CS7:
                settings->dataBits = 7;
                break;
            default:
                settings->dataBits = 8;
                break;
        }
        if (!(t.c_cflag & PARENB)) {
            settings->parity = Parity::None;
        } else if (t.c_cflag & CMSPAR) {
            settings->parity = (t.c_cflag & PARODD) ? Parity::Mark : Parity::Space;
        } else {
            settings->parity = (t.c_cflag & PARODD) ? Parity::Odd : Parity::Even;
        }
        settings->stopBits = (t.c_cflag & CSTOPB) ? StopBits::Two : StopBits::One;
        return kErrNone;
    }

    Status SetupHandshaking(Handshake kind) override {
        int f = fd();
        if (f < 0) return kErrInvalidHandle;
        termios t{};
        if (::tcgetattr(f, &t) != 0) return LastError("tcgetattr");
        t.c_cflag &= ~CRTSCTS;
        t.c_iflag &= ~kInputFlowFlags;
        if (kind == Handshake::Hardware) t.c_cflag |= CRTSCTS;
        if (kind == Handshake::Software) t.c_iflag |= IXON | IXOFF;
        termios applied{};
        if (::tcsetattr(f, TCSANOW, &t) != 0) return LastError("tcsetattr");
        if (::tcgetattr(f, &applied) != 0) return LastError("tcgetattr");
        if ((applied.c_cflag & CRTSCTS) != (t.c_cflag & CRTSCTS) ||
            (applied.c_iflag & kInputFlowFlags) != (t.c_iflag & kInputFlowFlags)) {
            return kErrInvalidParameter;
        }
        return kErrNone;
    }

    Status Read(void* buffer, size_t length, size_t* got) override {
        if (got != nullptr) *got = 0;
        int f = fd();
        if (f < 0) return kErrInvalidHandle;
        for (;;) {
            ssize_t n = ::read(f, buffer, length);
            if (n >= 0) {
                if (got != nullptr) *got = static_cast<size_t>(n);
                return kErrNone;
            }
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return kErrNone;
            return LastError("read");
        }
    }

    Status Write(const void* data, size_t length, size_t* written) override {
        if (written != nullptr) *written = 0;
        int f = fd();
        if (f < 0) return kErrInvalidHandle;
        const char* bytes = static_cast<const char*>(data);
        const uint32_t limit = writeTimeoutMs_.load(std::memory_order_relaxed);
        const uint32_t start = TickCount();
        size_t done = 0;
        while (done < length) {
            // A socket whose peer has gone must report EPIPE, not raise SIGPIPE in the host.
            ssize_t n = isSocket_ ? ::send(f, bytes + done, length - done, MSG_NOSIGNAL)
                                  : ::write(f, bytes + done, length - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                if (written != nullptr) *written = done;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return LastError("write");
            // The output queue is full: wait until it takes more, within the write limit. A
            // hangup wakes the poll and the next write reports it.
            int waitMs = -1;
            if (limit != kInfinite) {
                const uint32_t spent = TickCount() - start;
                if (spent >= limit) return kErrTimeout;
                waitMs = static_cast<int>(limit - spent);
            }
            pollfd p{f, POLLOUT, 0};
            if (::poll(&p, 1, waitMs) < 0 && errno != EINTR) return LastError("poll");
        }
        return kErrNone;
    }

    Status SetWriteTimeout(uint32_t ms) override {
        writeTimeoutMs_.store(ms, std::memory_order_relaxed);
        return fd() < 0 ? kErrInvalidHandle : kErrNone;
    }

    Status WaitEvent(uint32_t mask, uint32_t* events) override {
        *events = 0;
        int f = fd();
        int wake = wakeFd_.load(std::memory_order_acquire);
        if (f < 0 || wake < 0) return kErrInvalidHandle;
        for (;;) {
            if (hangupReported_) {
                // Rest (cancellable) before looking again, so a listener that keeps asking
                // about a dead line does not spin.
                pollfd w{wake, POLLIN, 0};
                int n = ::poll(&w, 1, kHangupPauseMs);
                if (n < 0 && errno != EINTR) return LastError("poll");
                if (n > 0) {
                    DrainWake(wake);
                    return kErrNone;
                }
            }
            pollfd fds[2] = {
                {f, static_cast<short>((mask & kEvRxChar) ? (POLLIN | POLLPRI) : 0), 0},
                {wake, POLLIN, 0},
            };
            int n = ::poll(fds, 2, hangupReported_ ? 0 : -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                return LastError("poll");
            }
            if (fds[1].revents & POLLIN) {
                DrainWake(wake);
                return kErrNone;
            }
            short got = fds[0].revents;
            if (got & POLLNVAL) return kErrInvalidHandle;
            if (got & (POLLHUP | POLLERR)) {
                // Input that arrived before the other end went is still delivered; a hung-up
                // tty flags POLLIN with nothing to read, hence the byte count.
                if ((mask & kEvRxChar) && PendingInput(f) > 0) {
                    hangupReported_ = false;
                    *events = kEvRxChar;
                    return kErrNone;
                }
                hangupReported_ = true;
                if (mask & kEvErr) {
                    *events = kEvErr;
                    return kErrNone;
                }
                continue;
            }
            hangupReported_ = false;
            if (got & (POLLIN | POLLPRI)) {
                *events = kEvRxChar;
                return kErrNone;
            }
        }
    }

    void CancelWait() override {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        int wake = wakeFd_.load(std::memory_order_acquire);
        if (wake < 0) return;
        uint64_t one = 1;
        // Only fails when the counter is about to overflow, and then a wake is pending anyway.
        ssize_t ignored = ::write(wake, &one, sizeof one);
        (void)ignored;
    }

    Status ClearError(uint32_t* errors, uint32_t* inQueue) override {
        // The line-error counters are not kept per port here; nothing to report or clear.
        *errors = 0;
        if (inQueue != nullptr) *inQueue = 0;
        int f = fd();
        if (f < 0) return kErrInvalidHandle;
        if (inQueue != nullptr) *inQueue = static_cast<uint32_t>(PendingInput(f));
        return kErrNone;
    }

    Status Purge() override {
        int f = fd();
        if (f < 0) return kErrInvalidHandle;
        return ::tcflush(f, TCIOFLUSH) == 0 ? kErrNone : LastError("tcflush");
    }

    Status SendBreak(uint32_t ms) override {
        int f = fd();
        if (f < 0) return kErrInvalidHandle;
        if (::ioctl(f, TIOCSBRK) != 0) return LastError("ioctl TIOCSBRK");
        SleepMs(ms);
        return ::ioctl(f, TIOCCBRK) == 0 ? kErrNone : LastError("ioctl TIOCCBRK");
    }

    Status SetDtr(bool on) override {
        int f = fd();
        if (f < 0) return kErrInvalidHandle;
        int bits = TIOCM_DTR;
        return ::ioctl(f, on ? TIOCMBIS : TIOCMBIC, &bits) == 0 ? kErrNone : LastError("ioctl DTR");
    }

    Status GetModemStatus(uint32_t* status) override {
        *status = 0;
        int f = fd();
        if (f < 0) return kErrInvalidHandle;
        int bits = 0;
        if (::ioctl(f, TIOCMGET, &bits) != 0) return LastError("ioctl TIOCMGET");
        if (bits & TIOCM_CTS) *status |= kModemCts;
        if (bits & TIOCM_DSR) *status |= kModemDsr;
        if (bits & TIOCM_RNG) *status |= kModemRing;
        if (bits & TIOCM_CD) *status |= kModemRlsd;
        return kErrNone;
    }

    bool IsOpen() const override { return fd() >= 0; }

    void Close() override {
        int f = fd_.exchange(-1, std::memory_order_acq_rel);
        if (f >= 0) {
            // The exclusive flag belongs to the tty, not to this descriptor: it would outlive
            // the close while the other end stays open and refuse the next open.
            ::ioctl(f, TIOCNXCL);
            ::flock(f, LOCK_UN);
            ::close(f);
        }
        std::lock_guard<std::mutex> lock(wakeMutex_);
        int wake = wakeFd_.exchange(-1, std::memory_order_acq_rel);
        if (wake >= 0) ::close(wake);
    }

  private:
    int fd() const { return fd_.load(std::memory_order_acquire); }

    static void DrainWake(int wake) {
        uint64_t count = 0;
        ssize_t ignored = ::read(wake, &count, sizeof count);
        (void)ignored;
    }

    static int PendingInput(int f) {
        int n = 0;
        return ::ioctl(f, FIONREAD, &n) == 0 ? n : 0;
    }

    std::atomic<int> fd_;
    std::atomic<int> wakeFd_;
    std::atomic<uint32_t> writeTimeoutMs_{kInfinite};
    std::mutex wakeMutex_;  // keeps CancelWait off a wake descriptor that Close is closing
    bool isSocket_ = false;
    bool hangupReported_ = false;  // the listener's own state
};

// USB serial adapters hold received bytes back for up to 16 ms unless asked not to, which
// costs more than a whole exchange at 115200 baud. A device that does not offer the setting (a
// pty) refuses the request, and that is fine.
void RequestLowLatency(int fd) {
#if defined(ASYNC_LOW_LATENCY)
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) return;
    serial.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &serial);
#else
    (void)fd;
#endif
}

int NewWakeFd() {
    return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

}  // namespace

std::shared_ptr<SerialDevice> SerialDevice::Open(const std::string& name, Status* error) {
    Status ignored;
    if (error == nullptr) error = &ignored;
    *error = kErrNone;
    std::string path;
    if (!posix::SerialDevicePath(name, &path)) {
        *error = Status(kErrNotFound, 0, "open", name);
        return nullptr;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = posix::OpenFailure("open", errno, path);
        return nullptr;
    }
    // Only a terminal device is a serial port. A FIFO, a regular file or /dev/null opens as
    // well, but takes the frames written to it and gives back nothing or the frames themselves,
    // which the link would take for a terminal's answer; nothing is written to such a node.
    termios line{};
    if (::tcgetattr(fd, &line) != 0) {
        *error = errno == ENOTTY ? Status(kErrNotFound, ENOTTY, "tcgetattr", path)
                                 : posix::OpenFailure("tcgetattr", errno, path);
        ::close(fd);
        return nullptr;
    }
    // Exclusive use: the advisory lock keeps out other users of this library (root included)
    // and TIOCEXCL keeps out any other non-root program.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        *error = Status(kErrAccessDenied, EWOULDBLOCK, "flock", path);
        return nullptr;
    }
    if (::ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) {
        *error = posix::Failure("ioctl TIOCEXCL", errno, path);
        ::flock(fd, LOCK_UN);
        ::close(fd);
        return nullptr;
    }
    RequestLowLatency(fd);  // only once the port is ours: another user's settings stay
    int wake = NewWakeFd();
    if (wake < 0) {
        *error = LastError("eventfd");
        ::ioctl(fd, TIOCNXCL);
        ::flock(fd, LOCK_UN);
        ::close(fd);
        return nullptr;
    }
    return std::make_shared<PosixSerialDevice>(fd, wake);
}

std::shared_ptr<SerialDevice> SerialDevice::FromNative(intptr_t native) {
    int fd = static_cast<int>(native);
    if (fd < 0) return nullptr;
    // Reads must never block, whatever the descriptor was opened with.
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    int wake = NewWakeFd();
    if (wake < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_shared<PosixSerialDevice>(fd, wake);
}

bool SerialPortPresent(const std::string& name) {
    std::string path;
    if (!posix::SerialDevicePath(name, &path)) return false;
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace orn::platform
