// The library opened against the terminal simulator over a real pty: what most command tests
// start from. Closes the library on destruction.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fake_tree.h"
#include "sim.h"
#include "test_support.h"

namespace orn::test {

// The terminal as a USB HID device: the simulator serves hidraw0 (vendor 0E7D, `productId`)
// of a fake device tree that ORN_SYSFS_ROOT and ORN_DEV_ROOT point at.
struct HidTerminal {
    uint16_t productId = 0x00A2;
};

// A fake device tree in a temporary folder that ORN_SYSFS_ROOT and ORN_DEV_ROOT point at while
// it lives; ORN_PORT_DIR is unset, so only the tree's ports are listed.
struct FakeDevices {
    TempDir dir;
    orn::sim::FakeDeviceTree tree{dir.path()};
    ScopedEnv sysfs{"ORN_SYSFS_ROOT", tree.sysfs().c_str()};
    ScopedEnv dev{"ORN_DEV_ROOT", tree.dev().c_str()};
    ScopedEnv ports{"ORN_PORT_DIR", nullptr};
};

class SimSession {
  public:
    // Starts the simulator as COM7 in a private ORN_PORT_DIR; Open() then runs ornInit.
    explicit SimSession(orn::sim::Options options = {});
    // The same over USB HID; Open() then opens "USBHID".
    SimSession(orn::sim::Options options, HidTerminal hid);
    ~SimSession();

    // ornInit("COM7" or "USBHID", <log in a temp dir>, level); returns its result and waits
    // until the power-up handshake's traffic has settled, then clears the simulator's record.
    int Open(int level = 4);
    // The same with another port name ("AUTO").
    int OpenAs(const char* portName, int level = 4);
    // The fake device tree of a HID session (null otherwise).
    orn::sim::FakeDeviceTree* tree() { return tree_.get(); }
    void Close();

    orn::sim::TerminalSimulator& sim() { return *sim_; }
    // Path of the log file written (name + ".0").
    std::string LogFile() const { return log_ + ".0"; }
    // Closes the library (finishing the log) and returns the log text.
    std::string CloseAndReadLog();

    // Frames the host sent with `id`, in order (payloads).
    std::vector<std::string> Payloads(const std::string& id);
    // Waits until `count` frames with `id` have arrived.
    bool WaitForPayloads(const std::string& id, size_t count, int ms = 10000);
    // Whether no frame (with `anyByte`, no byte at all) reached the terminal since the record
    // was last cleared: what a refused argument must leave.
    bool NothingSent(bool anyByte = false);
    // From now on the terminal answers every `id` with `answer` (nullopt: acknowledged only).
    void Answer(const std::string& id, std::optional<std::string> answer);

  private:
    ComPortDir ports_;
    TempDir dir_;
    std::string portName_ = "COM7";
    std::unique_ptr<orn::sim::FakeDeviceTree> tree_;
    std::unique_ptr<ScopedEnv> sysfsEnv_, devEnv_;
    std::string log_;
    std::unique_ptr<orn::sim::TerminalSimulator> sim_;
    bool open_ = false;
};

}  // namespace orn::test
