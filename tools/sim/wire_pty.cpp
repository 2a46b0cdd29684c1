// The pty wire: the simulator owns the master, the host opens the slave (by its path or through
// a link named like a COM port). The host's opens and closes are seen through file-system events
// on the slave where there are any, else through the master's hang-up.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "wire.h"
#ifdef __linux__
#include <sys/inotify.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace orn::sim {

namespace {

using Clock = std::chrono::steady_clock;

// How long the I/O thread waits before looking at a hung-up master again.
constexpr auto kHangupPoll = std::chrono::milliseconds(5);
// How long a write may wait for the host to drain the pty before the rest is dropped.
constexpr auto kWriteStall = std::chrono::milliseconds(1000);

class PtyWire : public Wire {
  public:
    PtyWire(std::string linkDir, std::string portName, bool watchOpens)
        : linkDir_(std::move(linkDir)), portName_(std::move(portName)), watchOpens_(watchOpens) {}
    ~PtyWire() override {
        if (!linkPath_.empty()) {
            char target[256];
            ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == slavePath_)
                ::unlink(linkPath_.c_str());
        }
        Close();
    }

    bool Open(std::string& error) override {
        openCount_ = 0;
        hangupUntil_ = Clock::time_point();
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            error = std::string("cannot create a pty: ") + std::strerror(errno);
            return false;
        }
        char name[256];
        if (::ptsname_r(master_, name, sizeof name) != 0) {
            error = "cannot name the pty slave";
            return false;
        }
        slavePath_ = name;
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        // Raw line from the start, so nothing is echoed or held back before the host sets its
        // own line mode.
        termios tio{};
        if (::tcgetattr(master_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(master_, TCSANOW, &tio);
        }
#ifdef __linux__
        if (watchOpens_) {
            watchFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            if (watchFd_ >= 0 &&
                ::inotify_add_watch(watchFd_, slavePath_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
                ::close(watchFd_);
                watchFd_ = -1;
            }
        }
#endif
        if (watchFd_ < 0) {
            // A master whose slave was never opened does not report a hang-up; open and close
            // the slave once so that "hung up" means "closed" from now on.
            int fd = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (fd >= 0) ::close(fd);
        }
        if (!linkDir_.empty()) {
            linkPath_ = linkDir_ + "/" + portName_;
            struct stat st;
            if (::lstat(linkPath_.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
                ::unlink(linkPath_.c_str());
            if (::symlink(slavePath_.c_str(), linkPath_.c_str()) != 0) {
                error = "cannot create " + linkPath_ + ": " + std::strerror(errno);
                linkPath_.clear();
                return false;
            }
        }
        return true;
    }

    void Close() override {
        for (int* fd : {&master_, &watchFd_}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }

    bool IsOpen() const override {
        return master_ >= 0;
    }
    const std::string& Path() const override {
        return slavePath_;
    }
    const std::string& LinkPath() const override {
        return linkPath_;
    }

    void Wait(int wakeFd, Link& link) override {
        bool open = link.HostOpen();
        if (watchFd_ < 0 && !open && !MasterHungUp()) {
            link.OnHostOpen();
            open = true;
        }
        bool masterReady = open && Clock::now() >= hangupUntil_;
        bool shortPoll = (watchFd_ < 0 && !open) || (open && !masterReady);

        pollfd fds[3];
        nfds_t count = 0;
        fds[count++] = {wakeFd, POLLIN, 0};
        int watchIdx = -1, masterIdx = -1;
        if (watchFd_ >= 0) {
            watchIdx = static_cast<int>(count);
            fds[count++] = {watchFd_, POLLIN, 0};
        }
        if (masterReady) {
            masterIdx = static_cast<int>(count);
            fds[count++] = {master_, POLLIN, 0};
        }
        int timeoutMs = link.TimeoutMs();
        if (shortPoll) timeoutMs = std::min<int>(timeoutMs, kHangupPoll.count() + 1);
        int rc = ::poll(fds, count, timeoutMs);
        if (rc < 0 && errno != EINTR) {
            std::this_thread::sleep_for(kHangupPoll);
            return;
        }
        if (rc > 0 && (fds[0].revents & POLLIN)) DrainWake(wakeFd);
        if (rc > 0 && watchIdx >= 0 && (fds[watchIdx].revents & POLLIN)) ReadWatchEvents(link);
        if (rc > 0 && masterIdx >= 0 && fds[masterIdx].revents) {
            short ev = fds[masterIdx].revents;
            bool hungUp = false;
            if (ev & POLLIN) {
                uint8_t buf[4096];
                ssize_t n = ::read(master_, buf, sizeof buf);
                if (n > 0) {
                    link.OnBytes(buf, static_cast<size_t>(n));
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    hungUp = true;  // EIO: the last slave descriptor went away
                }
            } else if (ev & (POLLHUP | POLLERR)) {
                hungUp = true;
            }
            if (hungUp) {
                if (watchFd_ < 0) {
                    HostClosed(link, true);
                } else {
                    // The close event is on its way; do not spin on the hang-up meanwhile.
                    hangupUntil_ = Clock::now() + kHangupPoll;
                }
            }
        }
    }

    // One logical write: retried on a full pty until kWriteStall, then the rest is dropped.
    size_t Write(const uint8_t* data, size_t n) override {
        size_t done = 0;
        auto giveUp = Clock::now() + kWriteStall;
        while (done < n) {
            ssize_t w = ::write(master_, data + done, n - done);
            if (w > 0) {
                done += static_cast<size_t>(w);
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && errno == EAGAIN && Clock::now() < giveUp) {
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 10);
                continue;
            }
            break;
        }
        return done;
    }

  private:
    // `drain`: read what the closing host left in the master first. Skipped when the next
    // opener is already known to be there: its first bytes may be queued behind the old ones,
    // and answers to them must not be thrown away with the closed session.
    void HostClosed(Link& link, bool drain) {
        if (drain) {
            uint8_t buf[4096];
            for (;;) {
                ssize_t n = ::read(master_, buf, sizeof buf);
                if (n > 0) {
                    link.OnBytes(buf, static_cast<size_t>(n));
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                break;
            }
        }
        link.OnHostClose();
    }

    void ReadWatchEvents(Link& link) {
#ifdef __linux__
        alignas(inotify_event) char buf[4096];
        for (;;) {
            ssize_t n = ::read(watchFd_, buf, sizeof buf);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) continue;
                return;
            }
            std::vector<uint32_t> masks;
            for (char* p = buf; p < buf + n;) {
                auto* ev = reinterpret_cast<inotify_event*>(p);
                masks.push_back(ev->mask);
                p += sizeof(inotify_event) + ev->len;
            }
            for (size_t i = 0; i < masks.size(); ++i) {
                if (masks[i] & IN_OPEN) {
                    if (++openCount_ == 1) link.OnHostOpen();
                }
                if (masks[i] & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                    if (openCount_ > 0 && --openCount_ == 0) {
                        // A reopen later in this batch, or a master that no longer reports
                        // the hang-up, means a new opener whose bytes may be queued too.
                        const bool reopened =
                            std::any_of(masks.begin() + i + 1, masks.end(),
                                        [](uint32_t mask) { return (mask & IN_OPEN) != 0; });
                        HostClosed(link, !reopened && MasterHungUp());
                    }
                }
            }
        }
#else
        (void)link;
#endif
    }

    // Without file-system events: the master reports a hang-up exactly while no slave
    // descriptor is open (Open() opened and closed the slave once to get there).
    bool MasterHungUp() {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return false;
        return (p.revents & POLLHUP) != 0;
    }

    const std::string linkDir_;
    const std::string portName_;
    const bool watchOpens_;
    std::string slavePath_;
    std::string linkPath_;
    int master_ = -1;
    int watchFd_ = -1;   // inotify descriptor, or -1 when hang-ups are polled
    int openCount_ = 0;  // opens minus closes of the slave, from file-system events
    Clock::time_point hangupUntil_;
};

}  // namespace

std::unique_ptr<Wire> MakePtyWire(const std::string& linkDir, const std::string& portName,
                                  bool watchOpens) {
    return std::make_unique<PtyWire>(linkDir, portName, watchOpens);
}

void DrainWake(int wakeFd) {
    char buf[64];
    while (::read(wakeFd, buf, sizeof buf) > 0) {
    }
}

bool WakePipe::Open(std::string& error) {
    if (::pipe(fds_) != 0) {
        error = "cannot create the wake pipe";
        return false;
    }
    for (int fd : fds_) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    return true;
}

void WakePipe::Close() {
    for (int& fd : fds_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void WakePipe::Wake() const {
    if (fds_[1] < 0) return;
    char c = 1;
    ssize_t n = ::write(fds_[1], &c, 1);
    (void)n;  // a full pipe already guarantees a wake-up
}

}  // namespace orn::sim
