// The operating-system seam of the library. Everything above src/platform/ reaches the OS only
// through the declarations in this header; src/platform/posix/ and src/platform/win32/ implement
// them, one file per concern, and nothing above this folder depends on which one is built.
//
// Errors cross this seam as a Status: a platform error number (the Win32 numbering, mapped once
// in each backend) that the library reasons about, 0 success, 1 invalid function, 2 not found,
// 5 access denied / busy, 6 no handle, 1247 already open, 2250 HID open failed, and the few
// below; a backend maps each OS error once, to one of these or to the general failure 31. The
// OS's own code travels beside it, with the operation that failed, only for the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/thread_annotations.h"

namespace orn::platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Platform error numbers used across the seam.
enum : uint32_t {
    kErrNone = 0,
    kErrInvalidFunction = 1,
    kErrNotFound = 2,
    kErrAccessDenied = 5,
    kErrInvalidHandle = 6,
    kErrGenFailure = 31,        // an OS failure with no closer number
    kErrInvalidParameter = 87,  // a request the device or OS refused as invalid
    kErrBrokenPipe = 109,       // the far end of a connection has gone
    kErrNoMoreItems = 259,
    kErrOperationAborted = 995,     // a wait the driver ended without an event
    kErrIoDevice = 1117,            // an I/O error on the device
    kErrDeviceNotConnected = 1167,  // the device has gone (unplugged)
    kErrAlreadyOpen = 1247,
    kErrTimeout = 1460,
    kErrHidOpenFailed = 2250,
    kErrInvalidArg = 0x80070057u,  // an HRESULT: the serial port's own refusal of a setting kind
};

// What a seam call reports. It converts to and from the bare platform error, so `return 0;`,
// `if (status != 0)` and a switch on it read as with a number; a failure may also carry the
// OS's own code (errno, GetLastError or an HRESULT) and the operation that failed, with the
// path or name it worked on, which only the log uses.
class Status {
  public:
    Status(uint32_t error = kErrNone) : error_(error) {}  // NOLINT: implicit by design
    Status(uint32_t error, uint32_t osCode, const char* operation, std::string subject = {})
        : error_(error), osCode_(osCode), operation_(operation), subject_(std::move(subject)) {}

    operator uint32_t() const { return error_; }  // NOLINT: implicit by design
    uint32_t Error() const { return error_; }
    uint32_t OsCode() const { return osCode_; }  // 0 when the OS gave none
    const char* Operation() const { return operation_; }
    const std::string& Subject() const { return subject_; }

    // The failure for the log: "open /dev/ttyUSB0: permission denied (13)", or
    // "error 2" when nothing but the platform error is known; "success" for 0.
    std::string Text() const;
    // ": " and Text() when the failure says more than its number (an operation is known), else
    // empty: the tail of a log line that already gives the number.
    std::string Detail() const { return operation_ ? ": " + Text() : std::string(); }

  private:
    uint32_t error_;
    uint32_t osCode_ = 0;
    const char* operation_ = nullptr;  // a static text
    std::string subject_;
};

// The OS's own words for one of its codes, as it gives them ("Permission denied").
std::string OsErrorText(uint32_t osCode);

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
// Recursive lock (a critical section). Only for locks whose holder really calls back into code
// that takes them again; everything else uses Mutex.
class CAPABILITY("mutex") RecursiveLock {
  public:
    RecursiveLock();
    ~RecursiveLock();
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;
    void Lock() ACQUIRE();
    void Unlock() RELEASE();
    bool TryLock() TRY_ACQUIRE(true);

    struct Impl;

  private:
    Impl* impl_;
};

// Plain lock: taking it again on the thread that holds it is a fault (it may deadlock), so it
// suits the thread-safety analysis, which then proves the order the locks are taken in.
class CAPABILITY("mutex") Mutex {
  public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void Lock() ACQUIRE();
    void Unlock() RELEASE();
    bool TryLock() TRY_ACQUIRE(true);

    struct Impl;

  private:
    Impl* impl_;
};

struct AdoptLock {};
inline constexpr AdoptLock kAdoptLock{};

// Holds a Mutex or a RecursiveLock for its scope.
template <typename L>
class SCOPED_CAPABILITY LockGuard {
  public:
    explicit LockGuard(L& lock) ACQUIRE(lock) : lock_(lock) { lock_.Lock(); }
    // Takes over a hold the calling thread already has.
    LockGuard(L& lock, AdoptLock) REQUIRES(lock) : lock_(lock) {}
    ~LockGuard() RELEASE() { lock_.Unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

  private:
    L& lock_;
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
    Status Start(std::function<uint32_t()> body);
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

// True once the process is ending in a way that has already stopped the library's other
// threads without their cooperation (Windows ends them before it unloads the library at process
// exit). Process-wide objects then skip their teardown: it would wait for those threads, or for
// locks they held when they were stopped.
bool ProcessIsEnding();

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
// Files and the host program. Names are UTF-8 on Windows.
// Full path of the host executable (not of this library).
std::string ExecutablePath();
// Directory separator of the host file system ('/' here, '\\' on Windows).
char PathSeparator();
// True when `name` is used unchanged as a log path (absolute on this OS).
bool IsAbsolutePath(const std::string& name);
// A file name as the host application passed it, in the seam's UTF-8. On Windows a name that
// is not valid UTF-8 is read in the ANSI code page (as the system's A functions read it); POSIX
// names are bytes and stay as they are.
std::string HostFileName(const std::string& name);
bool FileExists(const std::string& path);
// Both act on the name itself: a link is removed or renamed, never what it points to.
bool RemoveFile(const std::string& path);
bool RenameFile(const std::string& from, const std::string& to);

// Creates `path` as a new file for writing that only the owner can read and write. Whatever
// already holds the name (a file, a directory, a link, dangling or not) is left alone and gives
// Exists: the file is never opened through a link nor truncated. `binary` keeps line ends as
// they are where the OS would translate them in text mode.
enum class CreateOutcome { Created, Exists, Failed };
CreateOutcome CreatePrivateFile(const std::string& path, bool binary, std::FILE** stream);

// ---------------------------------------------------------------------------------------------
// DES block cipher of the encrypted log: each 8-byte block on its own (electronic codebook), no
// padding. Single DES, or two-key triple DES (encrypt k1, decrypt k2, encrypt k1). Key bytes are
// used as given: parity bits are neither checked nor fixed and weak keys are accepted.
class DesCipher {
  public:
    // Single DES under `key1` when `key2` is null. Null when the cipher cannot be set up.
    static std::unique_ptr<DesCipher> Create(const uint8_t key1[8], const uint8_t* key2);
    virtual ~DesCipher() = default;
    // `length` is a multiple of 8; `in` and `out` may be the same buffer.
    virtual bool Encrypt(const uint8_t* in, uint8_t* out, size_t length) = 0;
    virtual bool Decrypt(const uint8_t* in, uint8_t* out, size_t length) = 0;
};

// ---------------------------------------------------------------------------------------------
// Serial device: one open COM port.
//
// Names are the Windows ones: "COM3", "\\.\COM12". The backend maps them to its own devices.
// Reads never block. Events follow the Win32 communications driver, which every backend may
// show: a character event is reported only for bytes that arrive after the wait began (or since
// the last event), once however many arrive, and never for bytes already waiting. So a listener
// empties the input queue (ClearError tells how much it holds) before every wait and after every
// event instead of counting on one event per chunk.
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
    static std::shared_ptr<SerialDevice> Open(const std::string& name, Status* error);
    // Wraps an already-open native descriptor (a pty, a socketpair, a pipe); takes ownership.
    static std::shared_ptr<SerialDevice> FromNative(intptr_t native);

    virtual Status SetupQueues(uint32_t rxSize, uint32_t txSize) = 0;
    // Line settings. The device is first put in fully raw mode; a device that refuses the
    // line settings themselves (a pseudo-terminal refuses 7 bits and parity) returns the error
    // but stays raw and usable.
    virtual Status Setup(const LineSettings& settings) = 0;
    virtual Status GetSettings(LineSettings* settings) = 0;
    virtual Status SetupHandshaking(Handshake kind) = 0;
    virtual Status Read(void* buffer, size_t length, size_t* got) = 0;
    // Writes all of `data`, waiting for the device to take it at most as long as the write
    // limit allows; a write that runs out of time returns kErrTimeout with *written short.
    virtual Status Write(const void* data, size_t length, size_t* written) = 0;
    // Limit for each Write in milliseconds; kInfinite (the default after open) waits as long as
    // the device takes.
    virtual Status SetWriteTimeout(uint32_t ms) = 0;
    // Blocks until an event of `mask` happens (*events receives what happened) or CancelWait.
    // kErrOperationAborted: the driver ended the wait without an event (some drivers, and Wine,
    // do so when data arrives); ClearError then tells whether the device is still there.
    virtual Status WaitEvent(uint32_t mask, uint32_t* events) = 0;
    // Wakes a WaitEvent in progress (it returns 0 with *events = 0). Safe from any thread.
    virtual void CancelWait() = 0;
    // Reads and clears the line-error bits; *inQueue (if given) receives the number of received
    // bytes waiting to be read. Fails once the device has gone.
    virtual Status ClearError(uint32_t* errors, uint32_t* inQueue) = 0;
    virtual Status Purge() = 0;
    virtual Status SendBreak(uint32_t ms) = 0;
    virtual Status SetDtr(bool on) = 0;
    virtual Status GetModemStatus(uint32_t* status) = 0;  // kModem* bits
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

// ---------------------------------------------------------------------------------------------
// HID device: one open USB HID terminal, talking in numbered reports (the report identifier is
// the first byte of every report, both ways).
//
// Threads: one reader thread calls ReadReport; other threads may WriteReport meanwhile.
// CancelRead may be called from any thread at any time. Close must not run while another thread
// is inside ReadReport or WriteReport: the owner cancels the read, waits for the reader and
// for its writers, then closes.
class HidDevice {
  public:
    virtual ~HidDevice() = default;

    // Opens a device path as listed by EnumerateHidDevices, for reading and writing, and reads
    // its report lengths. Returns nullptr and sets *error: 2 no such device, 5 access denied,
    // 2250 the device has no usable report 2 (or its capabilities cannot be read), else the
    // mapped OS error. A failure of the system's HID service itself (a missing library
    // function), and a device that declares reports longer than 64 KB (2250), also set
    // *errorText, a line for the log at Severe.
    static std::shared_ptr<HidDevice> Open(const std::string& path, Status* error,
                                           std::string* errorText = nullptr);
    // Wraps an already-open native descriptor or handle (in tests a SOCK_SEQPACKET socket, or
    // on Windows a message-mode pipe, whose messages are reports) with the given report
    // lengths; takes ownership.
    static std::shared_ptr<HidDevice> FromNative(intptr_t native, uint32_t inputReportLength,
                                                 uint32_t outputReportLength);

    // Report lengths in bytes, the identifier byte included, as the HID class driver states them
    // (HidP_GetCaps: 1 + the byte size of the report's fields).
    virtual uint32_t InputReportLength() const = 0;
    virtual uint32_t OutputReportLength() const = 0;

    // Waits without limit for one input report and copies it (identifier first) into `buffer`.
    // 0 with *got > 0: a report; 0 with *got == 0: CancelRead was called (or an empty report);
    // kErrDeviceNotConnected: the device has gone (end of file, unplugged); else an error.
    virtual Status ReadReport(void* buffer, size_t length, size_t* got) = 0;
    // Wakes a ReadReport in progress, or makes the next one return at once. Any thread.
    virtual void CancelRead() = 0;
    // Writes one output report (`length` bytes, identifier first), waiting at most `ms`
    // (kInfinite: no limit). kErrTimeout when the device did not take it in time;
    // kErrDeviceNotConnected when the device has gone. Never raises a signal.
    virtual Status WriteReport(const void* report, size_t length, uint32_t ms) = 0;

    virtual bool IsOpen() const = 0;
    // Closes the device (see the thread rule above); later calls return 6. The destructor closes.
    virtual void Close() = 0;
};

// ---------------------------------------------------------------------------------------------
// Enumeration. Every call looks at the system afresh; nothing is cached.

// One COM port present on the machine.
struct SerialPortInfo {
    std::string portName;      // "COM3"
    std::string devicePath;    // what the platform opens for it
    std::string friendlyName;  // the platform's name for it; the port name when it has none
    std::string description;   // the device description; the friendly name when it has none
    bool usb = false;          // a USB virtual COM port
    std::string vendorId;      // 4 upper-case hex digits when usb, else empty
    std::string productId;     // 4 upper-case hex digits when usb, else empty
};

// At most this many COM ports are listed.
constexpr size_t kMaxSerialPorts = 32;

// Lists the COM ports in ascending COM number (at most kMaxSerialPorts). Returns 0, or a
// platform error with *errorText describing the failure for the log (the list is then empty).
Status EnumerateSerialPorts(std::vector<SerialPortInfo>* ports, std::string* errorText);

// One USB HID device.
struct HidDeviceInfo {
    std::string path;  // the device path to open (at most 260 characters)
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};

// Lists the USB HID devices of one vendor, in the platform's order. Returns 0, or a platform
// error with *errorText for the log (the list is then empty). A 0 may come with *errorText set
// too: the search could not run (the system's HID service is missing), which is logged at
// Severe and found nothing.
Status EnumerateHidDevices(uint16_t vendorId, std::vector<HidDeviceInfo>* devices,
                           std::string* errorText);

}  // namespace orn::platform
