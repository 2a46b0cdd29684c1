// The operating-system seam of the library. Everything above src/platform/ reaches the OS only
// through the declarations in this header; src/platform/posix/ implements them today and a
// Win32 backend can implement the same header later without any change above it.
//
// Errors cross this seam as platform error numbers (the Win32 numbering, mapped once in each
// backend): 0 success, 1 invalid function, 2 not found, 5 access denied / busy, 6 no handle,
// 1247 already open, 2250 HID open failed. Any other OS failure is passed as its own number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace orn::platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Platform error numbers used across the seam.
enum : uint32_t {
    kErrNone = 0,
    kErrInvalidFunction = 1,
    kErrNotFound = 2,
    kErrAccessDenied = 5,
    kErrInvalidHandle = 6,
    kErrAlreadyOpen = 1247,
    kErrHidOpenFailed = 2250,
    kErrInvalidArg = 0x80070057u,
};

// Outcome of every wait. `Other` exists because callers log a distinct line for a result that
// is none of the four named ones (a backend may never produce it).
enum class WaitResult { Signalled, Timeout, Abandoned, Failed, Other };

// ---------------------------------------------------------------------------------------------
// Events: manual-reset (stays signalled until Reset) or auto-reset (one waiter consumes it).
class Event {
  public:
    explicit Event(bool manualReset, bool initiallySet = false);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // Waits up to `ms` milliseconds (kInfinite: no limit). An auto-reset event is consumed by
    // a successful wait.
    WaitResult Wait(uint32_t ms);
    // True when signalled, without waiting and without consuming an auto-reset event.
    bool IsSet() const;

    struct Impl;
    Impl* impl() const { return impl_; }

  private:
    Impl* impl_;
};

// Waits until any of `events` is signalled. On Signalled, *index receives the position of the
// first signalled event (an auto-reset event found signalled is consumed).
WaitResult WaitForAny(Event* const* events, size_t count, uint32_t ms, size_t* index);

// ---------------------------------------------------------------------------------------------
// Recursive lock (a critical section).
class RecursiveLock {
  public:
    RecursiveLock();
    ~RecursiveLock();
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;
    void Lock();
    void Unlock();
    bool TryLock();

    struct Impl;

  private:
    Impl* impl_;
};

class LockGuard {
  public:
    explicit LockGuard(RecursiveLock& lock) : lock_(lock) { lock_.Lock(); }
    ~LockGuard() { lock_.Unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

  private:
    RecursiveLock& lock_;
};

// ---------------------------------------------------------------------------------------------
// Threads. The body runs on a new OS thread; its result is the thread's exit code.
//
// A thread that does not end when asked cannot be killed safely on every OS. Abandon() detaches
// it instead: the Thread object may then be destroyed while the body still runs. The body, its
// captures and the control block stay alive until the body returns, so a body that owns (by
// shared_ptr) everything it touches never reaches freed state.
class Thread {
  public:
    Thread();
    ~Thread();  // an unjoined, running thread is abandoned
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts the thread; returns 0 or a platform error. Fails with kErrAlreadyOpen if a
    // thread was started and not yet joined or abandoned.
    uint32_t Start(std::function<uint32_t()> body);
    // True while a started thread is neither joined nor abandoned (when Start would refuse).
    bool Started() const;
    // Waits up to `ms` for the body to return; Signalled means it ended and was joined.
    WaitResult Join(uint32_t ms);
    // True once the body has returned (the thread may not be joined yet).
    bool Finished() const;
    // Detaches a thread that did not end in time (see above).
    void Abandon();
    uint32_t Id() const;        // OS thread id of the started thread, 0 if none
    uint32_t ExitCode() const;  // valid once Finished()

    struct Control;

  private:
    std::shared_ptr<Control> control_;
};

uint32_t CurrentThreadId();
uint32_t CurrentProcessId();

// ---------------------------------------------------------------------------------------------
// Clock.
// Milliseconds since an arbitrary start, 32 bits, wrapping like GetTickCount: compare ticks
// only by unsigned subtraction.
uint32_t TickCount();
void SleepMs(uint32_t ms);

struct LocalTime {
    int year;    // full year, e.g. 2026
    int month;   // 1..12
    int day;     // 1..31
    int hour;    // 0..23
    int minute;  // 0..59
    int second;  // 0..59
    int millisecond;
    int dayOfWeek;  // 0 = Sunday
};
LocalTime GetLocalTime();

// ---------------------------------------------------------------------------------------------
// Files and the host program.
// Full path of the host executable (not of this library).
std::string ExecutablePath();
// Directory separator of the host file system ('/' here, '\\' on Windows).
char PathSeparator();
// True when `name` is used unchanged as a log path (absolute on this OS).
bool IsAbsolutePath(const std::string& name);
bool FileExists(const std::string& path);
bool RemoveFile(const std::string& path);
bool RenameFile(const std::string& from, const std::string& to);

// ---------------------------------------------------------------------------------------------
// Serial device: one open COM port.
//
// Names are the Windows ones: "COM3", "\\.\COM12". The backend maps them to its own devices.
// Reads never block; WaitEvent blocks until input is pending, a line event happens, or
// CancelWait() is called from another thread.
enum : uint32_t {
    kEvRxChar = 0x0001,
    kEvRxFlag = 0x0002,
    kEvBreak = 0x0040,
    kEvErr = 0x0080,
};
enum : uint32_t {
    kModemCts = 0x10,
    kModemDsr = 0x20,
    kModemRing = 0x40,
    kModemRlsd = 0x80,
};
enum class Parity { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class StopBits { One = 0, OneAndHalf = 1, Two = 2 };
enum class Handshake { Off = 0, Hardware = 1, Software = 2 };

struct LineSettings {
    uint32_t baud = 9600;
    int dataBits = 7;
    Parity parity = Parity::Even;
    StopBits stopBits = StopBits::One;
};

class SerialDevice {
  public:
    virtual ~SerialDevice() = default;

    // Opens `name` exclusively with read and write access. Returns nullptr and sets *error (2 no
    // such port, 5 held by another process, else the OS error).
    static std::shared_ptr<SerialDevice> Open(const std::string& name, uint32_t* error);
    // Wraps an already-open native descriptor (a pty, a socketpair, a pipe); takes ownership.
    static std::shared_ptr<SerialDevice> FromNative(intptr_t native);

    virtual uint32_t SetupQueues(uint32_t rxSize, uint32_t txSize) = 0;
    // Line settings. The device is first put in fully raw mode; a device that refuses the
    // line settings themselves (a pseudo-terminal refuses 7 bits and parity) returns the error
    // but stays raw and usable.
    virtual uint32_t Setup(const LineSettings& settings) = 0;
    virtual uint32_t GetSettings(LineSettings* settings) = 0;
    virtual uint32_t SetupHandshaking(Handshake kind) = 0;
    virtual uint32_t Read(void* buffer, size_t length, size_t* got) = 0;
    virtual uint32_t Write(const void* data, size_t length, size_t* written) = 0;
    // Blocks until an event of `mask` happens (*events receives what happened) or CancelWait.
    virtual uint32_t WaitEvent(uint32_t mask, uint32_t* events) = 0;
    // Wakes a WaitEvent in progress (it returns 0 with *events = 0). Safe from any thread.
    virtual void CancelWait() = 0;
    // Reads and clears the line-error bits.
    virtual uint32_t ClearError(uint32_t* errors) = 0;
    virtual uint32_t Purge() = 0;
    virtual uint32_t SendBreak(uint32_t ms) = 0;
    virtual uint32_t SetDtr(bool on) = 0;
    virtual uint32_t GetModemStatus(uint32_t* status) = 0;  // kModem* bits
    virtual bool IsOpen() const = 0;
    // Closes the device (and releases its exclusive use). Must not run while another thread is
    // inside a call on the device other than IsOpen or CancelWait: a listener blocked in
    // WaitEvent is first woken with CancelWait and waited for, then the device is closed. Calls
    // after Close return 6. The destructor closes.
    virtual void Close() = 0;
};

// Whether the device node behind a port name is present (used to notice an unplugged USB
// serial port).
bool SerialPortPresent(const std::string& name);

}  // namespace orn::platform
