// The USB HID wire: a SOCK_SEQPACKET socket listening at the device node's path. The host is
// open while it holds a connection (it may hold several; output goes to every one); each
// message is one report of a fixed length: identifier 2, data count, data, filler.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "wire.h"

namespace orn::sim {

namespace {

using Clock = std::chrono::steady_clock;

// How long one write may wait for the host to read before the rest of it is dropped for that
// connection.
constexpr auto kWriteStall = std::chrono::milliseconds(1000);
// How long to wait after a failed poll before trying again.
constexpr auto kPollRetry = std::chrono::milliseconds(5);

class HidWire : public Wire {
  public:
    HidWire(std::string path, unsigned reportLength)
        : path_(std::move(path)), reportLength_(reportLength) {}
    ~HidWire() override { Close(); }

    bool Open(std::string& error) override {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path_.size() >= sizeof address.sun_path || reportLength_ < 3 || reportLength_ > 257) {
            error = "unusable HID path or report length";
            return false;
        }
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        struct stat st;
        if (::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
            ::unlink(path_.c_str());  // left by an earlier run
        if (listenFd_ < 0 ||
            ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listenFd_, 8) != 0) {
            error = "cannot listen at " + path_ + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }

    void Close() override {
        if (listenFd_ >= 0) {
            ::unlink(path_.c_str());
            ::close(listenFd_);
            listenFd_ = -1;
        }
        for (int fd : clients_) ::close(fd);
        clients_.clear();
    }

    bool IsOpen() const override { return listenFd_ >= 0; }
    const std::string& Path() const override { return path_; }

    void Wait(int wakeFd, Link& link) override {
        std::vector<pollfd> fds = {{wakeFd, POLLIN, 0}, {listenFd_, POLLIN, 0}};
        for (int client : clients_) fds.push_back({client, POLLIN, 0});
        int rc = ::poll(fds.data(), fds.size(), link.TimeoutMs());
        if (rc < 0 && errno != EINTR) {
            std::this_thread::sleep_for(kPollRetry);
            return;
        }
        if (rc > 0 && (fds[0].revents & POLLIN)) DrainWake(wakeFd);
        std::vector<int> gone;
        for (size_t i = 2; rc > 0 && i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            uint8_t buf[4096];
            ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                OnReport(link, buf, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                gone.push_back(fds[i].fd);
            }
        }
        for (int fd : gone) {
            ::close(fd);
            clients_.erase(std::find(clients_.begin(), clients_.end(), fd));
            if (clients_.empty()) link.OnHostClose();
        }
        if (rc > 0 && (fds[1].revents & POLLIN)) {
            int fd;
            while ((fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >=
                   0) {
                clients_.push_back(fd);
                if (clients_.size() == 1) link.OnHostOpen();
            }
        }
    }

    // Cuts the bytes into input reports and sends each to every connection of the host. A
    // connection that has not taken a report within the deadline that starts when it first
    // stops taking them gets none of the rest: a host that stopped reading holds the I/O thread
    // for one deadline at most, and costs the other connections nothing.
    size_t Write(const uint8_t* data, size_t n) override {
        const size_t perReport = reportLength_ - 2;
        std::vector<Clock::time_point> giveUp(clients_.size(), Clock::time_point::max());
        std::vector<bool> stalled(clients_.size(), false);
        std::vector<uint8_t> report(reportLength_, 0);
        for (size_t at = 0; at < n; at += perReport) {
            const size_t count = std::min(perReport, n - at);
            report[0] = 2;
            report[1] = static_cast<uint8_t>(count);
            std::copy(data + at, data + at + count, report.begin() + 2);
            for (size_t i = 0; i < clients_.size(); ++i)
                if (!stalled[i]) stalled[i] = !SendReport(clients_[i], report, giveUp[i]);
        }
        return n;
    }

  private:
    // False when the connection did not take the report by `giveUp` (or went away). The first
    // report the connection does not take at once sets `giveUp`, for this one and the rest.
    static bool SendReport(int client, const std::vector<uint8_t>& report,
                           Clock::time_point& giveUp) {
        while (::send(client, report.data(), report.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
            if (errno != EINTR && errno != EAGAIN) return false;
            if (giveUp == Clock::time_point::max()) giveUp = Clock::now() + kWriteStall;
            if (Clock::now() >= giveUp) return false;
            pollfd p{client, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
        return true;
    }

    // One output report from the host: its data bytes go to the link.
    static void OnReport(Link& link, const uint8_t* report, size_t n) {
        if (n < 2) return;
        const size_t count = std::min<size_t>(report[1], n - 2);
        if (count > 0) link.OnBytes(report + 2, count);
    }

    const std::string path_;
    const unsigned reportLength_;
    int listenFd_ = -1;
    std::vector<int> clients_;  // the host's connections
};

}  // namespace

std::unique_ptr<Wire> MakeHidWire(const std::string& path, unsigned reportLength) {
    return std::make_unique<HidWire>(path, reportLength);
}

}  // namespace orn::sim
