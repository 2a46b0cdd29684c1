#include "test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace orn::test {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, int ms) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

namespace {
size_t CountEntries(const char* dir) {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        (void)entry;
        ++count;
    }
    return count;
}
}  // namespace

size_t ThreadCount() {
    return CountEntries("/proc/self/task");
}

// --- TempDir ---------------------------------------------------------------------------------

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/orn-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp " << pattern << ": " << std::strerror(errno);
        return;
    }
    path_ = buffer.data();
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(const std::string& name) const {
    return path_ + "/" + name;
}

// --- ScopedEnv -------------------------------------------------------------------------------

ScopedEnv::ScopedEnv(const std::string& name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name.c_str())) {
        hadValue_ = true;
        oldValue_ = old;
    }
    if (value != nullptr) {
        ::setenv(name.c_str(), value, 1);
    } else {
        ::unsetenv(name.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (hadValue_) {
        ::setenv(name_.c_str(), oldValue_.c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

// --- StreamEnd -------------------------------------------------------------------------------

StreamEnd::~StreamEnd() {
    Close();
}

void StreamEnd::Adopt(int fd) {
    Close();
    fd_ = fd;
    if (fd_ >= 0) ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

void StreamEnd::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool StreamEnd::Write(const std::vector<uint8_t>& bytes, int ms) {
    if (fd_ < 0) return false;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    size_t done = 0;
    while (done < bytes.size()) {
        // A socket whose peer has gone must fail the write, not kill the test with SIGPIPE.
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (MsLeft(deadline) == 0) return false;
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, std::min(MsLeft(deadline), 10));
    }
    return true;
}

bool StreamEnd::Write(const std::string& text, int ms) {
    return Write(std::vector<uint8_t>(text.begin(), text.end()), ms);
}

std::vector<uint8_t> StreamEnd::Read(size_t count, int ms) {
    std::vector<uint8_t> got;
    if (fd_ < 0) return got;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    uint8_t buffer[4096];
    while (got.size() < count) {
        size_t want = std::min(sizeof buffer, count - got.size());
        ssize_t n = ::read(fd_, buffer, want);
        if (n > 0) {
            got.insert(got.end(), buffer, buffer + n);
            continue;
        }
        if (MsLeft(deadline) == 0) break;
        // EAGAIN: nothing yet. EIO (a pty master with no slave open) or end of stream: the
        // code under test may open the line again at any moment, so keep looking, in short
        // steps since poll reports the hangup at once.
        if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) break;
        pollfd p{fd_, POLLIN, 0};
        ::poll(&p, 1, std::min(MsLeft(deadline), 10));
        if (n == 0 || (p.revents & POLLHUP)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return got;
}

// --- PtyPair ---------------------------------------------------------------------------------

PtyPair::PtyPair() {
    int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "posix_openpt: " << std::strerror(errno);
        return;
    }
    char name[128];
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0) {
        ADD_FAILURE() << "pty setup: " << std::strerror(errno);
        ::close(fd);
        return;
    }
    termios t{};
    if (::tcgetattr(fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    Adopt(fd);
    slavePath_ = name;
}

PtyPair::~PtyPair() {
    if (heldSlave_ >= 0) ::close(heldSlave_);
}

bool HoldPortExclusively(const std::string& path) {
    int ready[2];
    if (::pipe(ready) != 0) return false;
    pid_t parent = ::getpid();
    pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        // Only async-signal-safe calls here: the test process may have threads.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(0);
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
        if (ok) ::ioctl(fd, TIOCEXCL);
        (void)!::write(ready[1], &ok, 1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char ok = 0;
    bool held = ::read(ready[0], &ok, 1) == 1 && ok == 1;
    ::close(ready[0]);
    return held;
}

bool PtyPair::HoldSlave() {
    if (heldSlave_ >= 0) return true;
    heldSlave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    return heldSlave_ >= 0;
}

int PtyPair::SlaveExclusive() const {
    int exclusive = 0;
    if (heldSlave_ < 0 || ::ioctl(heldSlave_, TIOCGEXCL, &exclusive) != 0) return -1;
    return exclusive != 0 ? 1 : 0;
}

// --- SocketPair ------------------------------------------------------------------------------

SocketPair::SocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        ADD_FAILURE() << "socketpair: " << std::strerror(errno);
        return;
    }
    Adopt(fds[0]);
    peer_ = fds[1];
}

SocketPair::~SocketPair() {
    if (peer_ >= 0) ::close(peer_);
}

intptr_t SocketPair::TakePeer() {
    int peer = peer_;
    peer_ = -1;
    return peer;
}

// --- ComPortDir ------------------------------------------------------------------------------

ComPortDir::ComPortDir() : env_("ORN_PORT_DIR", dir_.path().c_str()) {}

bool ComPortDir::Link(const std::string& name, const std::string& target) {
    std::string link = dir_.File(name);
    ::unlink(link.c_str());
    return ::symlink(target.c_str(), link.c_str()) == 0;
}

bool ComPortDir::Unlink(const std::string& name) {
    return ::unlink(dir_.File(name).c_str()) == 0;
}

}  // namespace orn::test
