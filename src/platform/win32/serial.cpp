// Serial devices on Win32: overlapped I/O on the COM port, one completion event per kind of
// operation, so that the listener's event wait and read and a writer on another thread each
// wait for their own completion.
//
// Event waits report what the driver reports. A wait the driver ends without an event (Wine on
// a pseudo-terminal, and some USB serial drivers, end it with ERROR_OPERATION_ABORTED when data
// arrives) is returned as kErrOperationAborted for the listener to look at the device; only our
// own cancel is turned into a wait that ended with no event.
//
// Reads never ask for more than the input queue holds: with the read timeouts set to return at
// once this makes no difference to Windows, but Wine leaves a read on an empty queue pending
// until data comes, and a listener sitting in it could not be stopped.
//
// Closing: the wait is cancelled (SetCommMask(0), CancelIoEx) before the handle is closed, so a
// listener never sits on a wait that a close left behind.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>

#include "platform/platform.h"
#include "platform/win32/errors.h"
#include "platform/win32/serial_dcb.h"

namespace orn::platform {

namespace {

// The events the terminal link listens for, set as soon as the port is open so that nothing
// that arrives afterwards goes unreported.
constexpr DWORD kOpenEventMask = EV_BREAK | EV_ERR | EV_RXCHAR;
constexpr uint32_t kUnknownMask = 0xFFFFFFFFu;

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
    // `mask`: the event mask the handle already has (kUnknownMask: not known, set before the
    // first wait).
    Win32SerialDevice(HANDLE handle, uint32_t mask)
        : handle_(handle),
          readEvent_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          writeEvent_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          waitEvent_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          cancelEvent_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          mask_(mask) {}

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

    Status SetupQueues(uint32_t rxSize, uint32_t txSize) override {
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        return ::SetupComm(h, rxSize, txSize) ? kErrNone : win32::LastError("SetupComm");
    }

    Status Setup(const LineSettings& settings) override {
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(h, &dcb)) return win32::LastError("GetCommState");
        dcb.fBinary = TRUE;
        dcb.BaudRate = settings.baud;
        dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
        dcb.Parity = static_cast<BYTE>(settings.parity);
        dcb.StopBits = static_cast<BYTE>(settings.stopBits);
        dcb.fParity = settings.parity != Parity::None;
        dcb.fAbortOnError = FALSE;
        dcb.fNull = FALSE;
        dcb.fErrorChar = FALSE;
        return ::SetCommState(h, &dcb) ? kErrNone : win32::LastError("SetCommState");
    }

    Status GetSettings(LineSettings* settings) override {
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(h, &dcb)) return win32::LastError("GetCommState");
        settings->baud = dcb.BaudRate;
        settings->dataBits = dcb.ByteSize;
        settings->parity = static_cast<Parity>(dcb.Parity);
        settings->stopBits = static_cast<StopBits>(dcb.StopBits);
        return kErrNone;
    }

    Status SetupHandshaking(Handshake kind) override {
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(h, &dcb)) return win32::LastError("GetCommState");
        ApplyHandshake(kind, &dcb);
        return ::SetCommState(h, &dcb) ? kErrNone : win32::LastError("SetCommState");
    }

    Status Read(void* buffer, size_t length, size_t* got) override {
        if (got != nullptr) *got = 0;
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        std::lock_guard<std::mutex> lock(readMutex_);
        COMSTAT status{};
        if (!::ClearCommError(h, nullptr, &status)) return win32::LastError("ClearCommError");
        const DWORD wanted = static_cast<DWORD>(std::min<size_t>(length, status.cbInQue));
        if (wanted == 0) return kErrNone;
        DWORD n = 0;
        Status err = Complete(
            "ReadFile", h, readEvent_,
            [&](OVERLAPPED* ov) { return ::ReadFile(h, buffer, wanted, nullptr, ov); }, &n);
        if (got != nullptr) *got = n;
        return err;
    }

    Status Write(const void* data, size_t length, size_t* written) override {
        if (written != nullptr) *written = 0;
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        std::lock_guard<std::mutex> lock(writeMutex_);
        DWORD n = 0;
        Status err = Complete(
            "WriteFile", h, writeEvent_,
            [&](OVERLAPPED* ov) {
                return ::WriteFile(h, data, static_cast<DWORD>(length), nullptr, ov);
            },
            &n, writeTimeoutMs_.load());
        if (written != nullptr) *written = n;
        return err;
    }

    Status SetWriteTimeout(uint32_t ms) override {
        if (handle() == nullptr) return kErrInvalidHandle;
        writeTimeoutMs_ = ms;
        return kErrNone;
    }

    Status WaitEvent(uint32_t mask, uint32_t* events) override {
        *events = 0;
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        if (TakeCancel()) return kErrNone;
        if (mask != mask_) {
            if (!::SetCommMask(h, mask)) return win32::LastError("SetCommMask");
            mask_ = mask;
        }
        OVERLAPPED ov{};
        ::ResetEvent(waitEvent_);
        ov.hEvent = waitEvent_;
        DWORD reported = 0;
        DWORD error = ERROR_SUCCESS;
        if (!::WaitCommEvent(h, &reported, &ov)) {
            error = ::GetLastError();
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
                error = ::GetOverlappedResult(h, &ov, &ignored, TRUE) ? ERROR_SUCCESS
                                                                      : ::GetLastError();
                if (which == WAIT_FAILED)
                    return win32::Failure("WaitForMultipleObjects", waitError);
            }
        }
        if (TakeCancel()) return kErrNone;
        if (error == ERROR_OPERATION_ABORTED) return kErrOperationAborted;
        if (error != ERROR_SUCCESS) return win32::Failure("WaitCommEvent", error);
        // A wait ended by a mask change reports no event, as a cancel does.
        *events = reported & mask;
        return kErrNone;
    }

    void CancelWait() override {
        std::lock_guard<std::mutex> lock(closeMutex_);
        if (cancelEvent_ != nullptr) ::SetEvent(cancelEvent_);
    }

    Status ClearError(uint32_t* errors, uint32_t* inQueue) override {
        *errors = 0;
        if (inQueue != nullptr) *inQueue = 0;
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        DWORD bits = 0;
        COMSTAT status{};
        if (!::ClearCommError(h, &bits, &status)) return win32::LastError("ClearCommError");
        *errors = bits;
        if (inQueue != nullptr) *inQueue = status.cbInQue;
        return kErrNone;
    }

    Status Purge() override {
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        return ::PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR) ? kErrNone
                                                             : win32::LastError("PurgeComm");
    }

    Status SendBreak(uint32_t ms) override {
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        if (!::SetCommBreak(h)) return win32::LastError("SetCommBreak");
        ::Sleep(ms);
        return ::ClearCommBreak(h) ? kErrNone : win32::LastError("ClearCommBreak");
    }

    Status SetDtr(bool on) override {
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        return ::EscapeCommFunction(h, on ? SETDTR : CLRDTR)
                   ? kErrNone
                   : win32::LastError("EscapeCommFunction");
    }

    Status GetModemStatus(uint32_t* status) override {
        *status = 0;
        HANDLE h = handle();
        if (h == nullptr) return kErrInvalidHandle;
        DWORD bits = 0;
        if (!::GetCommModemStatus(h, &bits)) return win32::LastError("GetCommModemStatus");
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
    static Status Complete(const char* operation, HANDLE h, HANDLE event, Start start,
                           DWORD* transferred, uint32_t ms = kInfinite) {
        OVERLAPPED ov{};
        ::ResetEvent(event);
        ov.hEvent = event;
        if (!start(&ov)) {
            DWORD error = ::GetLastError();
            if (error != ERROR_IO_PENDING) return win32::Failure(operation, error);
        }
        bool timedOut = false;
        if (ms != kInfinite && ::WaitForSingleObject(event, ms) == WAIT_TIMEOUT) {
            timedOut = true;
            ::CancelIo(h);
        }
        BOOL done = ::GetOverlappedResult(h, &ov, transferred, TRUE);
        if (timedOut) return kErrTimeout;
        return done ? kErrNone : win32::LastError(operation);
    }

    std::atomic<HANDLE> handle_;
    HANDLE readEvent_;
    HANDLE writeEvent_;
    HANDLE waitEvent_;
    HANDLE cancelEvent_;
    std::mutex readMutex_;
    std::mutex writeMutex_;
    std::mutex closeMutex_;  // keeps CancelWait off an event that Close is setting
    std::atomic<uint32_t> writeTimeoutMs_{kInfinite};
    uint32_t mask_;  // the listener's own state: the mask last given to the port
};

Status ConfigureNew(HANDLE h, const std::string& name) {
    if (!::SetCommMask(h, kOpenEventMask)) return win32::LastError("SetCommMask");
    // Non-blocking reads (return at once with what is there) and no write time limit.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!::SetCommTimeouts(h, &timeouts)) return win32::LastError("SetCommTimeouts");
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

void ApplyHandshake(Handshake kind, DCB* dcb) {
    const bool hardware = kind == Handshake::Hardware;
    const bool software = kind == Handshake::Software;
    dcb->fOutxCtsFlow = hardware;
    dcb->fOutxDsrFlow = hardware;
    // Without flow control both lines stay raised: terminals that talk only while DTR is up, and
    // pads powered from DTR and RTS, would go silent if they were lowered.
    dcb->fDtrControl = hardware   ? DTR_CONTROL_HANDSHAKE
                       : software ? DTR_CONTROL_DISABLE
                                  : DTR_CONTROL_ENABLE;
    dcb->fRtsControl = hardware   ? RTS_CONTROL_HANDSHAKE
                       : software ? RTS_CONTROL_DISABLE
                                  : RTS_CONTROL_ENABLE;
    dcb->fDsrSensitivity = hardware;
    dcb->fOutX = software;
    dcb->fInX = software;
}

std::shared_ptr<SerialDevice> SerialDevice::Open(const std::string& name, Status* error) {
    Status ignored;
    if (error == nullptr) error = &ignored;
    *error = kErrNone;
    std::string device = DeviceName(name);
    HANDLE h = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD failure = ::GetLastError();
        *error = Status(OpenError(failure), failure, "CreateFile", device);
        return nullptr;
    }
    // Only a communications device is a serial port: a file or another device that opens under
    // the name has no line state, and nothing is written to it.
    DCB state{};
    state.DCBlength = sizeof state;
    if (!::GetCommState(h, &state)) {
        const DWORD failure = ::GetLastError();
        ::CloseHandle(h);
        *error =
            Status(failure != 0 ? static_cast<uint32_t>(failure) : uint32_t{kErrInvalidFunction},
                   failure, "GetCommState", device);
        return nullptr;
    }
    Status err = ConfigureNew(h, device);
    if (err != kErrNone) {
        ::CloseHandle(h);
        *error = err;
        return nullptr;
    }
    auto port = std::make_shared<Win32SerialDevice>(h, kOpenEventMask);
    if (!port->Ready()) {
        *error = win32::LastError("CreateEvent");
        return nullptr;
    }
    return port;
}

std::shared_ptr<SerialDevice> SerialDevice::FromNative(intptr_t native) {
    HANDLE h = reinterpret_cast<HANDLE>(native);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    auto port = std::make_shared<Win32SerialDevice>(h, kUnknownMask);
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
