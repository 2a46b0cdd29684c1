// The terminal's end of the connection to the host: a pseudo-terminal whose slave the host opens,
// or a socket standing in for a USB HID device whose connections are the host's. The wire only
// moves bytes and notices the host come and go; the simulator above it frames, answers and
// keeps time (link_state.h). All members run on the simulator's I/O thread, except Open() and
// Close(), which run while that thread is stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orn::sim {

class Wire {
  public:
    // What the wire reports to the link, on the I/O thread.
    class Link {
      public:
        virtual void OnHostOpen() = 0;
        virtual void OnHostClose() = 0;
        virtual void OnBytes(const uint8_t* data, size_t n) = 0;
        virtual bool HostOpen() = 0;
        // How long the link can wait before something of its own is due (milliseconds).
        virtual int TimeoutMs() = 0;
    };

    virtual ~Wire() = default;
    // Creates the device the host opens (again after Close()). False, with `error`, when it
    // cannot.
    virtual bool Open(std::string& error) = 0;
    // The host's side goes away: the device and every connection to it.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // What the host opens: the pty slave or the socket's path.
    virtual const std::string& Path() const = 0;
    // The port name linked to the slave, or empty.
    virtual const std::string& LinkPath() const { return none_; }
    // Waits for the host, `wakeFd` or the link's timeout, and reports what came to `link`.
    virtual void Wait(int wakeFd, Link& link) = 0;
    // Writes to the host; returns how many bytes went (the pty: fewer when the host stopped
    // reading; the HID socket drops what a stalled host does not take and still returns all).
    virtual size_t Write(const uint8_t* data, size_t n) = 0;

  private:
    std::string none_;
};

// A pty; with `linkDir`, `linkDir`/`portName` links to its slave. `watchOpens`: notice opens and
// closes through file-system events rather than polling the master's hang-up.
std::unique_ptr<Wire> MakePtyWire(const std::string& linkDir, const std::string& portName,
                                  bool watchOpens);
// A SOCK_SEQPACKET socket at `path`; each message one report of `reportLength` bytes (identifier
// 2, data count, data, filler) in both directions.
std::unique_ptr<Wire> MakeHidWire(const std::string& path, unsigned reportLength);

// Empties the wake pipe after it woke a wait.
void DrainWake(int wakeFd);

// The pipe through which other threads wake the I/O thread's Wire::Wait().
class WakePipe {
  public:
    WakePipe() = default;
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;
    ~WakePipe() { Close(); }

    // False, with `error`, when the pipe cannot be made.
    bool Open(std::string& error);
    void Close();
    bool IsOpen() const { return fds_[0] >= 0; }
    // What Wire::Wait() watches.
    int ReadFd() const { return fds_[0]; }
    void Wake() const;

  private:
    int fds_[2] = {-1, -1};
};

}  // namespace orn::sim
