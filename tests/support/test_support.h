// tests/ owns the library's tests: unit/ (one part at a time), integration/ (the library, the
// simulator and the log reader together, over real ptys and fake device trees), fuzz/, soak/
// (minutes of faults, run on request), win32/ (the Windows build under Wine) and support/, the
// helpers they share (this header, the simulator session and the fuzz seed recorder).
//
// Helpers shared by the tests: temporary directories, scoped environment variables, waiting on
// a condition with a deadline, and pseudo-terminal pairs that stand in for a serial line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace orn::test {

// Polls `condition` until it holds or `ms` milliseconds have passed; returns its last value.
bool WaitUntil(const std::function<bool()>& condition, int ms);

// Values a callback received, kept for the test thread.
template <typename T>
class Recorder {
  public:
    void Add(T value) {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(value));
    }
    std::vector<T> Items() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }
    size_t Count() { return Items().size(); }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.clear();
    }
    bool WaitFor(size_t count, int ms = 10000) {
        return WaitUntil([&] { return Count() >= count; }, ms);
    }
    // Waits until `wanted` appears, in order, among the values from index `from` on.
    bool WaitForInOrder(const std::vector<T>& wanted, size_t from = 0, int ms = 10000) {
        return WaitUntil(
            [&] {
                const std::vector<T> seen = Items();
                size_t next = 0;
                for (size_t i = from; i < seen.size() && next < wanted.size(); ++i)
                    next += seen[i] == wanted[next];
                return next == wanted.size();
            },
            ms);
    }

  private:
    std::mutex mutex_;
    std::vector<T> items_;
};

// How often `part` occurs in `text`, overlapping occurrences included.
inline size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The whole content of a file, bytes as they are; empty when it cannot be read.
std::string ReadTextFile(const std::string& path);

// The process's threads right now, for leak checks.
size_t ThreadCount();

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // `path()` + "/" + `name`.
    std::string File(const std::string& name) const;

  private:
    std::string path_;
};

// Sets (or, with a null value, unsets) an environment variable and restores the previous state
// on destruction.
class ScopedEnv {
  public:
    ScopedEnv(const std::string& name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    bool hadValue_ = false;
    std::string oldValue_;
};

// The test's end of a byte stream (a pty master, a socket): reads and writes with deadlines.
// Owns the descriptor.
class StreamEnd {
  public:
    explicit StreamEnd(int fd = -1) : fd_(fd) {}
    ~StreamEnd();
    StreamEnd(const StreamEnd&) = delete;
    StreamEnd& operator=(const StreamEnd&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Writes all of `bytes` by the deadline; false on error or timeout.
    bool Write(const std::vector<uint8_t>& bytes, int ms = 5000);
    bool Write(const std::string& text, int ms = 5000);
    // Reads until `count` bytes have arrived or `ms` have passed; returns what arrived (fewer
    // bytes on timeout).
    std::vector<uint8_t> Read(size_t count, int ms = 5000);
    void Close();

  protected:
    void Adopt(int fd);

  private:
    int fd_;
};

// A pseudo-terminal: the test plays the far end of the line on the master side (this
// StreamEnd) while the code under test opens the slave, by path or as a COM name through
// ComPortDir. The master is raw: bytes pass unchanged both ways once the slave side is raw too.
class PtyPair : public StreamEnd {
  public:
    PtyPair();  // check ok(); a failure is also recorded as a test failure
    ~PtyPair();

    const std::string& slavePath() const { return slavePath_; }

    // Keeps a descriptor of the slave open in the test, so the line stays up while the code
    // under test closes and reopens it (otherwise the master sees a hangup in between).
    bool HoldSlave();
    // Whether the slave tty carries the exclusive-use flag (needs HoldSlave); -1 on error.
    int SlaveExclusive() const;

    // Closing the master (Close()) hangs the line up for the slave side, like a USB adapter
    // pulled out.

  private:
    int heldSlave_ = -1;
    std::string slavePath_;
};

// A connected pair of stream sockets: this object is one end, the other is handed to the code
// under test (which then owns it).
class SocketPair : public StreamEnd {
  public:
    SocketPair();  // check ok()
    ~SocketPair();
    // Gives up the other end; -1 once taken.
    intptr_t TakePeer();

  private:
    int peer_ = -1;
};

// A directory of COM port names for the serial backend: sets ORN_PORT_DIR for its lifetime and
// links names such as "COM7" to device paths (normally a PtyPair's slave).
class ComPortDir {
  public:
    ComPortDir();
    ~ComPortDir() = default;

    const std::string& path() const { return dir_.path(); }
    // Creates (or replaces) the link `name` -> `target`.
    bool Link(const std::string& name, const std::string& target);
    // Removes the link, as if the port had been unplugged.
    bool Unlink(const std::string& name);

  private:
    TempDir dir_;
    ScopedEnv env_;
};

// Holds `path` open the way another program would (exclusive flock and the tty's exclusive-use
// flag) in a child process, until the test process exits. False when the child could not.
bool HoldPortExclusively(const std::string& path);

}  // namespace orn::test
