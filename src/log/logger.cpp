#include "log/logger.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>

#include "log/thread_runner.h"
#include "version.h"

namespace orn {

using platform::LockGuard;
using platform::WaitResult;

namespace {

constexpr size_t kMaxLine = 65535;  // characters of one line, newline included
constexpr uint32_t kThreadWaitMs = 5000;
// How long the writer collects lines after the first line of a batch before it writes and
// flushes them: callers queue without waking it, and a crash loses at most this much of the log.
constexpr uint32_t kBatchWindowMs = 50;
// A batch this long is written at once rather than at the end of its window.
constexpr size_t kBatchLines = 1000;
constexpr int32_t kDefaultSizeLimit = 10000000;
constexpr int32_t kMinSizeLimit = 1000000;
constexpr int32_t kMaxSizeLimit = 1000000000;
constexpr int kNumberedFiles = 10;

constexpr const char* kFinishLine = "\n===============Finish Logging================\n\n";
constexpr const char* kStopWaitError = "(Severe) Log: Check Stop Wait error\n";

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const ThreadStartWords& StartWords() {
    static const ThreadStartWords words{"OpenLogFile: LoggerThread signaled startup: ID=%08X\n",
                                        "OpenLogFile: LoggerThread start up timed out!",
                                        "OpenLogFile: LoggerThread Start Event Wait Abandoned",
                                        "OpenLogFile: LoggerThread Start Event Wait Failed",
                                        "OpenLogFile: LoggerThread Start Event Wait Defaulted"};
    return words;
}

const char* StopLine(WaitResult result) {
    switch (result) {
        case WaitResult::Signalled:
            return "LoggerThread shutdown properly\n";
        case WaitResult::Abandoned:
            return "LoggerThread shutdown Wait Abandoned\n";
        case WaitResult::Timeout:
            return "LoggerThread shutdown improperly, terminating thread\n";
        case WaitResult::Failed:
            return "LoggerThread shutdown Wait Failed\n";
        default:
            return "LoggerThread shutdown Wait Defaulted\n";
    }
}

bool EqualsNoCase(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// "ORN  hh:mm:ss:mmm (Label)  " or the ZETH form of it.
std::string LinePrefix(const char* source, int32_t level) {
    platform::LocalTime t = platform::GetLocalTime();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s %02d:%02d:%02d:%03d (%s)  ", source, t.hour, t.minute,
                  t.second, t.millisecond, LevelLabel(level));
    return buf;
}

// Appends the formatted message, cut so that the line with its newline stays within kMaxLine.
void AppendFormatted(std::string& line, const char* format, va_list args) {
    size_t room = line.size() + 1 < kMaxLine ? kMaxLine - line.size() - 1 : 0;
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed <= 0) return;
    size_t length = static_cast<size_t>(needed);
    if (length < sizeof small) {
        line.append(small, length < room ? length : room);
        return;
    }
    size_t keep = length < room ? length : room;
    size_t start = line.size();
    line.resize(start + keep + 1);
    va_copy(copy, args);
    std::vsnprintf(&line[start], keep + 1, format, copy);
    va_end(copy);
    line.resize(start + keep);
}

// Log names that are not absolute go beside the host executable. A name whose second character
// is ':' (a drive) or that has three characters or fewer is taken as given.
std::string ResolveLogName(const std::string& name) {
    if (platform::IsAbsolutePath(name) || name.size() <= 3 || name[1] == ':') return name;
    std::string exe = platform::ExecutablePath();
    size_t slash = exe.find_last_of(platform::PathSeparator());
    if (slash == std::string::npos) return name;
    return exe.substr(0, slash + 1) + name;
}

// Creates the file to write for `path`: the first free path.0 .. path.9, or, with all ten
// names taken, drops path.0, moves each other one number down and creates path.9. A name held
// by anything, a link included, counts as taken: the log never writes through a link.
//
// A reader can hold a file so that it can be neither deleted nor renamed, nor its name used
// again until the reader lets go (Windows). Such a file stays where it is: the oldest file that
// can be dropped goes instead, the newer ones move down into its place as far as they can, and
// the log takes the first name it can create. Only when no name can be freed does the log stop.
bool CreateNumberedFile(const std::string& path, bool binary, std::string* chosen,
                        std::FILE** stream) {
    auto numbered = [&path](int n) { return path + "." + std::to_string(n); };
    auto createFirstFree = [&] {
        for (int n = 0; n < kNumberedFiles; ++n) {
            // A name that exists or cannot be created now (a deletion still pending) is passed.
            if (platform::CreatePrivateFile(numbered(n), binary, stream) ==
                platform::CreateOutcome::Created) {
                *chosen = numbered(n);
                return true;
            }
        }
        return false;
    };
    // Drops the oldest file that can go and closes the gap from above as far as renames allow.
    auto makeRoom = [&] {
        int gap = 0;
        while (gap < kNumberedFiles && !platform::RemoveFile(numbered(gap))) ++gap;
        if (gap == kNumberedFiles) return false;
        for (int n = gap + 1;
             n < kNumberedFiles && platform::RenameFile(numbered(n), numbered(gap)); ++n)
            gap = n;
        return true;
    };
    if (createFirstFree()) return true;
    // A second round covers a dropped file whose name stays unusable while a reader holds it.
    // No more: when files cannot be created at all, each round costs one old log.
    for (int round = 0; round < 2; ++round) {
        if (!makeRoom()) return false;
        if (createFirstFree()) return true;
    }
    return false;
}

}  // namespace

const char* LevelLabel(int32_t level) {
    switch (level) {
        case kLogSevere:
            return "Severe";
        case kLogInfo:
            return "Info";
        case kLogFine:
            return "Fine";
        case kLogDetail:
            return "Detail";
        default:
            return "?";
    }
}

// One open log: its stream and the writer started for it. The stream and the encryption carry
// belong to OpenLogFile until the writer starts, to the writer while it runs, and to Shutdown
// once the writer has ended (or to the writer alone if it had to be abandoned).
struct CLogger::Session {
    platform::Event startEvent{true};
    platform::Event stopEvent{true};
    platform::Event wakeEvent{false};

    // Guarded by State::queueLock.
    std::deque<std::string> queue;
    bool flushNow = false;  // a Severe line or a full batch is queued: no waiting out the window
    bool writerExited = false;  // the writer is past its last touch of the stream
    bool orphaned = false;      // Shutdown gave up waiting: the writer closes the file itself
    std::atomic<bool> hasStream{false};

    std::FILE* stream = nullptr;
    bool ownsStream = false;
    std::string path;
    bool encrypt = false;
    LogCipher cipher;
    LogStreamEncryptor encryptor{cipher};
    int32_t sizeLimit = kDefaultSizeLimit;
    std::function<void()> writerHook;

    void Write(const char* text, size_t length) {
        if (!stream) return;
        if (encrypt) {
            std::string blocks = encryptor.Feed(text, length);
            if (!blocks.empty()) std::fwrite(blocks.data(), 1, blocks.size(), stream);
        } else {
            std::fwrite(text, 1, length, stream);
        }
    }
    void Write(const std::string& text) { Write(text.data(), text.size()); }
    void WriteFlush(const std::string& text) {
        Write(text);
        if (stream) std::fflush(stream);
    }

    // Pads and writes the encryption carry, then closes an owned file (standard output and
    // standard error are only flushed).
    void FinishAndClose() {
        if (!stream) return;
        if (encrypt) {
            std::string last = encryptor.Finish();
            std::fwrite(last.data(), 1, last.size(), stream);
        }
        if (ownsStream) {
            std::fclose(stream);
        } else {
            std::fflush(stream);
        }
        stream = nullptr;
    }

    // Creates the next numbered file of `base` as the stream; `file` receives its name.
    bool OpenNumberedFile(const std::string& base, std::string* file) {
        stream = nullptr;
        const bool created = CreateNumberedFile(base, encrypt, file, &stream);
        ownsStream = created;
        return created;
    }
};

struct CLogger::State {
    platform::RecursiveLock queueLock;
    // Guarded by queueLock.
    std::shared_ptr<Session> session;
    std::string path;  // resolved log name
    std::string file;  // the numbered file being written
    // Lets Log skip formatting while nothing would be queued; the full test runs under
    // queueLock.
    std::atomic<bool> accepting{false};

    // Changed only while no stream exists; under CLogger::openLock_.
    bool keySet = false;
    bool triple = false;
    uint8_t key1[8] = {};
    uint8_t key2[8] = {};
    int32_t sizeLimit = kDefaultSizeLimit;
    std::function<void()> writerHook;

    void ClearKey() {
        keySet = false;
        triple = false;
        std::memset(key1, 0, sizeof key1);
        std::memset(key2, 0, sizeof key2);
    }

    // Queues a finished line of `level` unless the log is stopping or has no stream.
    void Enqueue(int32_t level, std::string line) {
        LockGuard guard(queueLock);
        Session* s = session.get();
        if (!s || !s->hasStream.load()) return;
        bool first = s->queue.empty();
        switch (s->stopEvent.Wait(0)) {
            case WaitResult::Signalled:
                return;
            case WaitResult::Timeout:
                break;
            default:
                s->queue.emplace_back(kStopWaitError);
                break;
        }
        s->queue.push_back(std::move(line));
        // The first line of a batch opens the writer's window and a Severe line or a full batch
        // closes it early; every other line is queued without waking anyone.
        if (!s->flushNow && (level == kLogSevere || s->queue.size() >= kBatchLines)) {
            s->flushNow = true;
            s->wakeEvent.Set();
        } else if (first) {
            s->wakeEvent.Set();
        }
    }
};

CLogger::CLogger() : state_(std::make_shared<State>()) {}

CLogger::~CLogger() {
    Shutdown();
}

int CLogger::OpenLogFile(const char* name, int32_t level) {
    LockGuard open(openLock_);
    // A log that is already running is finished and closed before the next one starts, so no
    // file is left open and no second writer shares the queue.
    if (running_) ShutdownLocked();

    State& st = *state_;
    auto s = std::make_shared<Session>();
    s->sizeLimit = st.sizeLimit;
    s->writerHook = st.writerHook;

    std::string given = name ? name : "";
    std::string path, file;
    if (EqualsNoCase(given, "stdout") || EqualsNoCase(given, "stderr")) {
        s->stream = EqualsNoCase(given, "stdout") ? stdout : stderr;
    } else {
        bool ok = !given.empty();
        if (ok) {
            path = ResolveLogName(platform::HostFileName(given));
            if (st.keySet) {
                s->encrypt = true;
                // Never fall back to a clear-text file when a key was asked for.
                ok = s->cipher.SetKey(st.key1, st.triple ? st.key2 : nullptr);
            }
        }
        ok = ok && s->OpenNumberedFile(path, &file);
        if (!ok) {
            LockGuard guard(st.queueLock);
            st.path.clear();
            st.file.clear();
            return 0;
        }
        s->path = path;
    }

    platform::LocalTime t = platform::GetLocalTime();
    char banner[256];
    std::snprintf(banner, sizeof banner,
                  "ORN  %02d:%02d:%02d:%03d (Info)  ORN DLL API (v%s) Logger Started: Process "
                  "ID=%08X, Thread ID=%08X, %s%02d/%02d\n",
                  t.hour, t.minute, t.second, t.millisecond, kLibraryVersion,
                  platform::CurrentProcessId(), platform::CurrentThreadId(),
                  kMonths[(t.month >= 1 && t.month <= 12) ? t.month - 1 : 0], t.day, t.year % 100);
    s->WriteFlush(banner);

    {
        LockGuard guard(st.queueLock);
        st.session = s;
        st.path = path;
        st.file = file;
        s->hasStream = true;
        st.accepting = true;
    }

    uint32_t err = thread_.Start([state = state_, s] { return WriterBody(state, s); });
    if (err != 0) {
        // Without a writer nothing would ever leave the queue: the log does not run.
        {
            LockGuard guard(st.queueLock);
            s->hasStream = false;
            st.accepting = false;
            st.path.clear();
            st.file.clear();
        }
        s->FinishAndClose();
        return 0;
    }
    running_ = true;
    WaitResult started = s->startEvent.Wait(kThreadWaitMs);
    SetLevel(level);
    LogWaitOutcome(*this, started, StartWords(), thread_.Id());
    return 1;
}

uint32_t CLogger::WriterBody(std::shared_ptr<State> state, std::shared_ptr<Session> session) {
    State& st = *state;
    Session& s = *session;
    s.startEvent.Set();

    auto drain = [&st, &s] {
        std::deque<std::string> batch;
        {
            LockGuard guard(st.queueLock);
            batch.swap(s.queue);
            s.flushNow = false;
        }
        if (batch.empty()) return;
        // Written outside the queue lock: callers keep queueing while the file is busy, and
        // what they queue goes out with the next batch.
        if (s.writerHook) s.writerHook();
        // The batch goes out in one write and one flush: the file is complete up to its last
        // line.
        size_t total = 0;
        for (const std::string& line : batch) total += line.size();
        std::string text;
        text.reserve(total);
        for (const std::string& line : batch) text += line;
        s.WriteFlush(text);
    };

    // Lets lines gather for the rest of the window that the first of them opened. True when
    // the stop came meanwhile.
    platform::Event* events[2] = {&s.stopEvent, &s.wakeEvent};
    auto collect = [&st, &s, &events] {
        const uint32_t opened = platform::TickCount();
        for (;;) {
            {
                LockGuard guard(st.queueLock);
                // An empty queue means the wake-up was left over from a batch already written.
                if (s.flushNow || s.queue.empty()) return false;
            }
            uint32_t elapsed = platform::TickCount() - opened;
            if (elapsed >= kBatchWindowMs) return false;
            size_t index = 0;
            WaitResult woke = platform::WaitForAny(events, 2, kBatchWindowMs - elapsed, &index);
            if (woke == WaitResult::Signalled && index == 0) return true;
            if (woke != WaitResult::Signalled && woke != WaitResult::Timeout) return false;
        }
    };

    auto sizeCheck = [&session, &st, &s] {
        if (s.path.empty() || !s.stream) return;
        long length = std::ftell(s.stream);
        if (length < 0 || length <= s.sizeLimit) return;
        // Each file is finished on its own, so it decrypts to whole lines.
        s.FinishAndClose();
        std::string next;
        bool ok = s.OpenNumberedFile(s.path, &next);
        LockGuard guard(st.queueLock);
        bool current = st.session == session;
        if (ok) {
            if (current) st.file = next;
        } else {
            s.hasStream = false;
            s.queue.clear();
            if (current) {
                st.file.clear();
                st.accepting = false;
            }
        }
    };

    for (;;) {
        size_t index = 0;
        // With nothing queued there is nothing to wait for but a line or the stop: an idle log
        // never wakes its writer.
        WaitResult woke = platform::WaitForAny(events, 2, platform::kInfinite, &index);
        bool stop = false;
        if (woke == WaitResult::Signalled) {
            stop = index == 0 || collect();
        } else {
            // A wait that cannot be trusted degrades to writing on a fixed timer.
            platform::SleepMs(kBatchWindowMs);
            stop = s.stopEvent.IsSet();
        }
        drain();
        sizeCheck();
        if (stop) break;
    }

    // Shutdown may have stopped waiting for this thread; the file is then finished here.
    bool orphaned;
    {
        LockGuard guard(st.queueLock);
        s.writerExited = true;
        orphaned = s.orphaned;
    }
    if (orphaned) {
        drain();
        s.FinishAndClose();
    }
    return 0;
}

void CLogger::LogV(int32_t level, const char* format, va_list args) {
    State& st = *state_;
    if (level > GetLevel() || !st.accepting.load() || !format) return;
    std::string line = LinePrefix("ORN ", level);
    AppendFormatted(line, format, args);
    line.push_back('\n');
    st.Enqueue(level, std::move(line));
}

void CLogger::LogZeth(int32_t level, const char* text) {
    State& st = *state_;
    if (!st.accepting.load()) return;
    std::string line = LinePrefix("ZETH", level);
    const char* body = text ? text : "";
    size_t room = kMaxLine - 1 - line.size();
    line.append(body, std::min(std::strlen(body), room));
    line.push_back('\n');
    st.Enqueue(level, std::move(line));
}

void CLogger::Shutdown() {
    LockGuard open(openLock_);
    if (running_) ShutdownLocked();
}

void CLogger::ShutdownLocked() {
    State& st = *state_;
    std::shared_ptr<Session> s;
    {
        LockGuard guard(st.queueLock);
        s = st.session;
        // Set under the queue lock: every line queued before this point is in the writer's
        // last batch, every later one is dropped.
        if (s) s->stopEvent.Set();
        st.accepting = false;
    }
    running_ = false;
    if (!s) return;

    WaitResult stopped = thread_.Join(kThreadWaitMs);
    if (stopped != WaitResult::Signalled) {
        bool exited;
        {
            LockGuard guard(st.queueLock);
            exited = s->writerExited;
            if (!exited) {
                // The writer may still be inside a write. It keeps the session alive and, when
                // it returns, writes these last lines and finishes the file itself.
                s->orphaned = true;
                s->queue.emplace_back(StopLine(stopped));
                if (GetLevel() != kLogOff) s->queue.emplace_back(kFinishLine);
                s->hasStream = false;
                st.session.reset();
                st.path.clear();
                st.file.clear();
            }
        }
        thread_.Abandon();
        if (!exited) return;
    }

    // The writer has ended: the stream is ours again.
    s->WriteFlush(StopLine(stopped));
    if (s->stream && GetLevel() != kLogOff) s->WriteFlush(kFinishLine);
    s->FinishAndClose();
    LockGuard guard(st.queueLock);
    s->hasStream = false;
    s->queue.clear();
    st.session.reset();
    st.path.clear();
    st.file.clear();
}

int CLogger::SetKey(const char* key) {
    LockGuard open(openLock_);
    if (HasStream()) return 1;
    State& st = *state_;
    st.ClearKey();
    if (!key || !*key) return 0;
    bool triple = false;
    if (!LogCipher::ParseHexKey(key, st.key1, st.key2, &triple)) {
        st.ClearKey();
        return 2;
    }
    st.keySet = true;
    st.triple = triple;
    return 0;
}

int CLogger::SetSizeLimit(int32_t limit) {
    LockGuard open(openLock_);
    if (HasStream() || limit < kMinSizeLimit || limit > kMaxSizeLimit) return 0;
    state_->sizeLimit = limit;
    return 1;
}

std::string CLogger::Path() {
    LockGuard guard(state_->queueLock);
    return state_->path;
}

std::string CLogger::CurrentFile() {
    LockGuard guard(state_->queueLock);
    return state_->file;
}

bool CLogger::HasStream() {
    LockGuard guard(state_->queueLock);
    return state_->session && state_->session->hasStream.load();
}

void CLogger::SetWriterHookForTest(std::function<void()> hook) {
    LockGuard open(openLock_);
    state_->writerHook = std::move(hook);
}

}  // namespace orn
