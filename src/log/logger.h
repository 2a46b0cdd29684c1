// src/log/ owns the diagnostic log: the logger and its writer thread, the cipher of encrypted
// log files, and the helper that starts and stops the library's worker threads and logs each
// outcome in the thread's fixed words.
//
// CLogger: the library's diagnostic log. Callers on any thread format a line and queue it;
// LoggerThread writes queued lines to the file (or stdout/stderr), rotates through the numbered
// files P.0..P.9 under a size limit, and optionally encrypts with DES or two-key triple DES.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "log/log_cipher.h"
#include "platform/platform.h"

// printf-style argument checking. GCC is told the C99 formats (the MinGW runtime's are selected
// for Windows); clang knows no "gnu_printf" and checks C99 formats anyway.
#if defined(__clang__)
#define ORN_PRINTF_FORMAT(formatIndex, firstArg) \
    __attribute__((format(printf, formatIndex, firstArg)))
#else
#define ORN_PRINTF_FORMAT(formatIndex, firstArg) \
    __attribute__((format(gnu_printf, formatIndex, firstArg)))
#endif

namespace orn {

enum LogLevel : int32_t {
    kLogOff = 0,
    kLogSevere = 1,
    kLogInfo = 2,
    kLogFine = 3,
    kLogDetail = 4,
};

class CLogger {
  public:
    CLogger();
    ~CLogger();
    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    // Opens the log under `name` ("stdout", "stderr", an absolute path, or a name beside the
    // host executable) and starts LoggerThread. Returns 1 when the log runs, 0 when no file
    // could be opened.
    int OpenLogFile(const char* name, int32_t level);

    // Queues one line if `level` passes the current level. printf-style. A line the level
    // turns away costs one atomic read: no call, no lock.
    void Log(int32_t level, const char* format, ...) ORN_PRINTF_FORMAT(3, 4) {
        if (level > GetLevel()) return;
        va_list args;
        va_start(args, format);
        LogV(level, format, args);
        va_end(args);
    }
    void LogV(int32_t level, const char* format, va_list args);
    // A line of the external EMV component, written at any level while a stream exists.
    void LogZeth(int32_t level, const char* text);

    // The level guards no other data, so it is read and set without ordering.
    int32_t GetLevel() const { return level_.load(std::memory_order_relaxed); }
    void SetLevel(int32_t level) { level_.store(level, std::memory_order_relaxed); }
    // True when a line of `level` would be written (level test only).
    bool Enabled(int32_t level) const { return level <= GetLevel(); }

    // Stops LoggerThread, writes the finish line and closes an owned file.
    void Shutdown();

    // 0 done, 1 refused (a stream exists), 2 bad length or a non-hex digit (key cleared).
    int SetKey(const char* key);
    // 1 stored, 0 refused (a stream exists or out of 1e6..1e9).
    int SetSizeLimit(int32_t limit);

    // Resolved path of the log (empty for stdout/stderr or when closed), and the file actually
    // written (path + ".N").
    std::string Path();
    std::string CurrentFile();
    bool HasStream();

    // Test seam: `hook` runs on LoggerThread before each batch of lines is written, from the
    // next OpenLogFile on (lets a test hold the writer busy). Empty to remove.
    void SetWriterHookForTest(std::function<void()> hook);

  private:
    struct Session;
    struct State;
    void ShutdownLocked();
    static uint32_t WriterBody(std::shared_ptr<State> state, std::shared_ptr<Session> session);

    // Everything LoggerThread touches lives in `state_` and the session it was started for, both
    // shared with the thread, so an abandoned writer never reaches freed memory.
    std::shared_ptr<State> state_;
    std::atomic<int32_t> level_{kLogOff};
    // Serialises OpenLogFile, Shutdown, SetKey and SetSizeLimit.
    platform::RecursiveLock openLock_;
    platform::Thread thread_;
    bool running_ = false;  // a writer was started and not yet stopped; under openLock_
};

// Label of a level as it appears in a line: "Severe", "Info", "Fine", "Detail" or "?".
const char* LevelLabel(int32_t level);

}  // namespace orn
