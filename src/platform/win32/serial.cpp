// Serial devices on Win32: overlapped I/O on the COM port, one completion event per kind of
// operation, so that the listener's event wait and read and a writer on another thread each
// wait for their own completion.
//
// Event waits are written for drivers that do not report events faithfully. Under Wine on a
// pseudo-terminal the pending WaitCommEvent ends with ERROR_OPERATION_ABORTED and an empty mask
// when data arrives, exactly as when it is cancelled; some USB serial drivers do much the same.
// So an ended wait that is not our own cancel is reported as a character event and the
// listener reads: a read that finds nothing costs little, a missed read loses a frame.
//
// Closing: the wait is cancelled (SetCommMask(0), CancelIoEx) before the handle is closed, so a
// listener never sits on a wait that a close left behind.
#include <windows.h>

#include <atomic>
#include <cctype>
#include <mutex>

#include "platform/platform.h"

namespace orn::platform {

namespace {

// Rest between abnormal wait endings that find nothing to read, so a line that keeps failing
// its waits does not make the listener spin.
constexpr DWORD kIdleWaitPauseMs = 20;

using CancelIoExFn = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);

// CancelIoEx exists from Vista on; without it the waiting thread cancels its own I/O.
CancelIoExFn CancelIoExFunction() {
    static const CancelIoExFn fn = reinterpret_cast<CancelIoExFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "CancelIoEx")));
    return fn;
}

bool IsComName(const std::string& name, unsigned long* number) {
    if (name.size() < 4 || name.size() > 9) return false;
    for (size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return false;
    }
    for (size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    }
    *number = std::stoul(name.substr(3));
    return true;
}

// COM1 to COM9 have DOS names of their own; higher numbers exist only in the device namespace.
std::string DeviceName(const std::string& name) {
    unsigned long number = 0;
    if (IsComName(name, &number) && number > 9) return "\\\\.\\" + name;
    return name;
}

uint32_t OpenError(DWORD error) {
    // A missing DOS device name is reported as a missing path by some systems.
    return error == ERROR_PATH_NOT_FOUND ? static_cast<uint32_t>(kErrNotFound) : error;
}

class Win32SerialDevice final : public SerialDevice {
  public:
    explicit Win32SerialDevice(HANDLE handle)
        : handle_(handle),
          readEvent_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          writeEvent_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          waitEvent_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          cancelEvent_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

    ~Win32SerialDevice() override {
        Close();
        for (HANDLE h : {readEvent_, writeEvent_, waitEvent_, cancelEvent_}) {
            if (h != nullptr) ::CloseHandle(h);
        }
    }

    bool Ready() const {
        return readEvent_ != nullptr && writeEvent_ != nullptr && waitEvent_ != nullptr &&
               cancelEvent_ != nullptr;
    }

    uint32_t SetupQueues(uint32_t rxSize, uint32_t txSize) override {
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        return ::SetupComm(h, rxSize, txSize) ? kErrNone : static_cast<uint32_t>(::GetLastError());
    }

    uint32_t Setup(const LineSettings& settings) override {
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(h, &dcb)) return ::GetLastError();
        dcb.fBinary = TRUE;
        dcb.BaudRate = settings.baud;
        dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
        dcb.Parity = static_cast<BYTE>(settings.parity);
        dcb.StopBits = static_cast<BYTE>(settings.stopBits);
        dcb.fParity = settings.parity != Parity::None;
        dcb.fAbortOnError = FALSE;
        dcb.fNull = FALSE;
        dcb.fErrorChar = FALSE;
        return ::SetCommState(h, &dcb) ? kErrNone : static_cast<uint32_t>(::GetLastError());
    }

    uint32_t GetSettings(LineSettings* settings) override {
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(h, &dcb)) return ::GetLastError();
        settings->baud = dcb.BaudRate;
        settings->dataBits = dcb.ByteSize;
        settings->parity = static_cast<Parity>(dcb.Parity);
        settings->stopBits = static_cast<StopBits>(dcb.StopBits);
        return kErrNone;
    }

    uint32_t SetupHandshaking(Handshake kind) override {
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(h, &dcb)) return ::GetLastError();
        const bool hardware = kind == Handshake::Hardware;
        const bool software = kind == Handshake::Software;
        dcb.fOutxCtsFlow = hardware;
        dcb.fOutxDsrFlow = hardware;
        dcb.fDtrControl = hardware ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_DISABLE;
        dcb.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
        dcb.fDsrSensitivity = hardware;
        dcb.fOutX = software;
        dcb.fInX = software;
        return ::SetCommState(h, &dcb) ? kErrNone : static_cast<uint32_t>(::GetLastError());
    }

    uint32_t Read(void* buffer, size_t length, size_t* got) override {
        if (got != nullptr) *got = 0;
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        std::lock_guard<std::mutex> lock(readMutex_);
        DWORD n = 0;
        uint32_t err = Complete(
            h, readEvent_,
            [&](OVERLAPPED* ov) {
                return ::ReadFile(h, buffer, static_cast<DWORD>(length), nullptr, ov);
            },
            &n);
        if (got != nullptr) *got = n;
        return err;
    }

    uint32_t Write(const void* data, size_t length, size_t* written) override {
        if (written != nullptr) *written = 0;
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        std::lock_guard<std::mutex> lock(writeMutex_);
        DWORD n = 0;
        uint32_t err = Complete(
            h, writeEvent_,
            [&](OVERLAPPED* ov) {
                return ::WriteFile(h, data, static_cast<DWORD>(length), nullptr, ov);
            },
            &n, writeTimeoutMs_.load());
        if (written != nullptr) *written = n;
        return err;
    }

    uint32_t SetWriteTimeout(uint32_t ms) override {
        if (handle() == nullptr) return kErrInvalidHandle;
        writeTimeoutMs_ = ms;
        return kErrNone;
    }

    uint32_t WaitEvent(uint32_t mask, uint32_t* events) override {
        *events = 0;
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        if (TakeCancel()) return kErrNone;
        if (mask != mask_) {
            if (!::SetCommMask(h, mask)) return ::GetLastError();
            mask_ = mask;
        }
        OVERLAPPED ov{};
        ::ResetEvent(waitEvent_);
        ov.hEvent = waitEvent_;
        DWORD reported = 0;
        bool normal = false;
        if (::WaitCommEvent(h, &reported, &ov)) {
            normal = reported != 0;
        } else {
            DWORD error = ::GetLastError();
            if (error != ERROR_IO_PENDING && error != ERROR_OPERATION_ABORTED) return error;
            if (error == ERROR_IO_PENDING) {
                HANDLE both[2] = {waitEvent_, cancelEvent_};
                DWORD which = ::WaitForMultipleObjects(2, both, FALSE, INFINITE);
                DWORD waitError = which == WAIT_FAILED ? ::GetLastError() : 0;
                if (which != WAIT_OBJECT_0) {
                    // Our own cancel (or a failed wait): end the port's wait before `ov`
                    // leaves scope.
                    ::SetCommMask(h, mask_);
                    ::CancelIo(h);
                }
                DWORD ignored = 0;
                normal = ::GetOverlappedResult(h, &ov, &ignored, TRUE) && reported != 0;
                if (which == WAIT_FAILED) return waitError;
            }
        }
        if (TakeCancel()) return kErrNone;
        if (normal) {
            *events = reported & mask;
            return kErrNone;
        }
        // An abnormal ending: read whatever is pending. When nothing is, rest a moment (a cancel
        // still ends the rest at once).
        COMSTAT status{};
        DWORD errors = 0;
        if (::ClearCommError(h, &errors, &status)) {
            pendingErrors_ |= errors;
            if (status.cbInQue == 0 &&
                ::WaitForSingleObject(cancelEvent_, kIdleWaitPauseMs) == WAIT_OBJECT_0) {
                TakeCancel();
                return kErrNone;
            }
        }
        *events = mask & kEvRxChar;
        return kErrNone;
    }

    void CancelWait() override {
        std::lock_guard<std::mutex> lock(closeMutex_);
        if (cancelEvent_ != nullptr) ::SetEvent(cancelEvent_);
    }

    uint32_t ClearError(uint32_t* errors) override {
        *errors = 0;
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        DWORD bits = 0;
        if (!::ClearCommError(h, &bits, nullptr)) return ::GetLastError();
        *errors = bits | pendingErrors_;
        pendingErrors_ = 0;
        return kErrNone;
    }

    uint32_t Purge() override {
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        return ::PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR)
                   ? kErrNone
                   : static_cast<uint32_t>(::GetLastError());
    }

    uint32_t SendBreak(uint32_t ms) override {
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        if (!::SetCommBreak(h)) return ::GetLastError();
        ::Sleep(ms);
        return ::ClearCommBreak(h) ? kErrNone : static_cast<uint32_t>(::GetLastError());
    }

    uint32_t SetDtr(bool on) override {
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        return ::EscapeCommFunction(h, on ? SETDTR : CLRDTR)
                   ? kErrNone
                   : static_cast<uint32_t>(::GetLastError());
    }

    uint32_t GetModemStatus(uint32_t* status) override {
        *status = 0;
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        DWORD bits = 0;
        if (!::GetCommModemStatus(h, &bits)) return ::GetLastError();
        *status = bits & (kModemCts | kModemDsr | kModemRing | kModemRlsd);
        return kErrNone;
    }

    bool IsOpen() const override { return handle() != nullptr; }

    void Close() override {
        std::lock_guard<std::mutex> lock(closeMutex_);
        HANDLE h = handle_.exchange(nullptr, std::memory_order_acq_rel);
        if (h == nullptr) return;
        if (cancelEvent_ != nullptr) ::SetEvent(cancelEvent_);
        // Whatever still waits on the port is woken before the handle goes.
        ::SetCommMask(h, 0);
        if (CancelIoExFn cancelIoEx = CancelIoExFunction()) cancelIoEx(h, nullptr);
        ::CloseHandle(h);
    }

  private:
    HANDLE handle() const { return handle_.load(std::memory_order_acquire); }

    bool TakeCancel() {
        if (::WaitForSingleObject(cancelEvent_, 0) != WAIT_OBJECT_0) return false;
        ::ResetEvent(cancelEvent_);
        return true;
    }

    // Starts an overlapped read or write and waits for its completion; a write that the device
    // has not taken within `ms` is cancelled and reported as a timeout.
    template <typename Start>
    static uint32_t Complete(HANDLE h, HANDLE event, Start start, DWORD* transferred,
                             uint32_t ms = kInfinite) {
        OVERLAPPED ov{};
        ::ResetEvent(event);
        ov.hEvent = event;
        if (!start(&ov)) {
            DWORD error = ::GetLastError();
            if (error != ERROR_IO_PENDING) return error;
        }
        bool timedOut = false;
        if (ms != kInfinite && ::WaitForSingleObject(event, ms) == WAIT_TIMEOUT) {
            timedOut = true;
            ::CancelIo(h);
        }
        BOOL done = ::GetOverlappedResult(h, &ov, transferred, TRUE);
        if (timedOut) return kErrTimeout;
        return done ? kErrNone : static_cast<uint32_t>(::GetLastError());
    }

    std::atomic<HANDLE> handle_;
    HANDLE readEvent_;
    HANDLE writeEvent_;
    HANDLE waitEvent_;
    HANDLE cancelEvent_;
    std::mutex readMutex_;
    std::mutex writeMutex_;
    std::mutex closeMutex_;
    std::atomic<uint32_t> writeTimeoutMs_{
        kInfinite};                // keeps CancelWait off an event that Close is setting
    uint32_t mask_ = 0xFFFFFFFFu;  // the listener's own state: the mask last given to the port
    uint32_t pendingErrors_ = 0;   // line errors read while deciding about a wait, not yet taken
};

uint32_t ConfigureNew(HANDLE h, const std::string& name) {
    // Non-blocking reads (return at once with what is there) and no write time limit.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!::SetCommTimeouts(h, &timeouts)) return ::GetLastError();
    // The device's default configuration, as the driver gives it; not every driver has one.
    std::string bare = name.compare(0, 4, "\\\\.\\") == 0 ? name.substr(4) : name;
    union {
        COMMCONFIG config;
        BYTE bytes[52];
    } buffer{};
    DWORD size = sizeof buffer;
    buffer.config.dwSize = size;
    if (::GetDefaultCommConfigA(bare.c_str(), &buffer.config, &size)) {
        ::SetCommConfig(h, &buffer.config, size);
    }
    return kErrNone;
}

}  // namespace

std::shared_ptr<SerialDevice> SerialDevice::Open(const std::string& name, uint32_t* error) {
    uint32_t ignored;
    if (error == nullptr) error = &ignored;
    *error = kErrNone;
    std::string device = DeviceName(name);
    HANDLE h = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = OpenError(::GetLastError());
        return nullptr;
    }
    // Only a communications device is a serial port: a file or another device that opens under
    // the name has no line state, and nothing is written to it.
    DCB state{};
    state.DCBlength = sizeof state;
    if (!::GetCommState(h, &state)) {
        const DWORD failure = ::GetLastError();
        ::CloseHandle(h);
        *error = failure != 0 ? static_cast<uint32_t>(failure) : uint32_t{kErrInvalidFunction};
        return nullptr;
    }
    uint32_t err = ConfigureNew(h, device);
    if (err != kErrNone) {
        ::CloseHandle(h);
        *error = err;
        return nullptr;
    }
    auto port = std::make_shared<Win32SerialDevice>(h);
    if (!port->Ready()) {
        *error = ::GetLastError();
        return nullptr;
    }
    return port;
}

std::shared_ptr<SerialDevice> SerialDevice::FromNative(intptr_t native) {
    HANDLE h = reinterpret_cast<HANDLE>(native);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    auto port = std::make_shared<Win32SerialDevice>(h);
    return port->Ready() ? port : nullptr;
}

bool SerialPortPresent(const std::string& name) {
    std::string device = DeviceName(name);
    HANDLE h = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        ::CloseHandle(h);
        return true;
    }
    // Held (by this library, normally) still means present.
    DWORD error = ::GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

}  // namespace orn::platform
