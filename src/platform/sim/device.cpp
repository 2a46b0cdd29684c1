// The simulated serial port and the enumeration of the simulated machine: one COM port, "COM1",
// whose far end is the scripted terminal, and no HID devices.
#include <algorithm>

#include "platform/platform.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/sim_platform.h"

namespace orn::platform {

namespace sim {

VirtualPort& Port() {
    static VirtualPort port;
    return port;
}

void ResetPort() {
    Port() = VirtualPort{};
}

void TerminalWrite(const void* data, size_t length) {
    VirtualPort& port = Port();
    if (!port.present || !port.hostOpen) return;  // nobody listens: the bytes are lost
    const auto* bytes = static_cast<const uint8_t*>(data);
    port.toHost.insert(port.toHost.end(), bytes, bytes + length);
    port.rxEvent = true;
}

void Unplug() {
    VirtualPort& port = Port();
    port.present = false;
    ++port.generation;
    port.hostOpen = false;
    port.toHost.clear();
    port.toTerminal.clear();
}

void Replug() {
    Port().present = true;
}

}  // namespace sim

namespace {

bool IsVirtualPort(const std::string& name) {
    return name == "COM1" || name == "\\\\.\\COM1";
}

class SimSerial : public SerialDevice {
  public:
    explicit SimSerial(uint32_t generation) : generation_(generation) {}
    ~SimSerial() override { Close(); }

    Status SetupQueues(uint32_t, uint32_t) override { return Check(); }
    Status Setup(const LineSettings& settings) override {
        settings_ = settings;
        return Check();
    }
    Status GetSettings(LineSettings* settings) override {
        *settings = settings_;
        return Check();
    }
    Status SetupHandshaking(Handshake) override { return Check(); }
    Status Read(void* buffer, size_t length, size_t* got) override {
        *got = 0;
        if (uint32_t err = Check()) return err;
        auto& queue = sim::Port().toHost;
        const size_t n = std::min(length, queue.size());
        std::copy_n(queue.begin(), n, static_cast<uint8_t*>(buffer));
        queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(n));
        *got = n;
        return 0;
    }
    Status Write(const void* data, size_t length, size_t* written) override {
        *written = 0;
        if (uint32_t err = Check()) return err;
        sim::Point();  // the write is where another thread may come in between
        if (uint32_t err = Check()) return err;
        const auto* bytes = static_cast<const uint8_t*>(data);
        auto& queue = sim::Port().toTerminal;
        queue.insert(queue.end(), bytes, bytes + length);
        *written = length;
        return 0;
    }
    Status SetWriteTimeout(uint32_t) override { return Check(); }
    Status WaitEvent(uint32_t, uint32_t* events) override {
        *events = 0;
        if (uint32_t err = Check()) return err;
        const sim::WaitSite site{"SerialDevice::WaitEvent", this, __builtin_return_address(0)};
        sim::Block(
            [](const void* arg) {
                const auto* self = static_cast<const SimSerial*>(arg);
                return self->cancelled_ || self->Gone() || sim::Port().rxEvent;
            },
            this, kInfinite, site);
        if (cancelled_) {
            cancelled_ = false;
            return 0;
        }
        if (Gone()) return kErrOperationAborted;
        sim::Port().rxEvent = false;
        *events = kEvRxChar;
        return 0;
    }
    void CancelWait() override { cancelled_ = true; }
    Status ClearError(uint32_t* errors, uint32_t* inQueue) override {
        if (errors) *errors = 0;
        if (inQueue) *inQueue = 0;
        if (uint32_t err = Check()) return err;
        if (inQueue) *inQueue = static_cast<uint32_t>(sim::Port().toHost.size());
        return 0;
    }
    Status Purge() override {
        if (uint32_t err = Check()) return err;
        sim::Port().toHost.clear();
        return 0;
    }
    Status SendBreak(uint32_t) override { return Check(); }
    Status SetDtr(bool) override { return Check(); }
    Status GetModemStatus(uint32_t* status) override {
        *status = 0;
        if (uint32_t err = Check()) return err;
        *status = kModemCts | kModemDsr;
        return 0;
    }
    bool IsOpen() const override { return open_; }
    void Close() override {
        if (!open_) return;
        open_ = false;
        if (!Gone()) {
            sim::Port().hostOpen = false;
            ++sim::Port().closes;
        }
    }

  private:
    bool Gone() const { return generation_ != sim::Port().generation; }
    uint32_t Check() const {
        if (!open_) return kErrInvalidHandle;
        return Gone() ? uint32_t{kErrDeviceNotConnected} : 0u;
    }

    uint32_t generation_;
    bool open_ = true;
    bool cancelled_ = false;
    LineSettings settings_;
};

}  // namespace

std::shared_ptr<SerialDevice> SerialDevice::Open(const std::string& name, Status* error) {
    sim::Point();
    sim::VirtualPort& port = sim::Port();
    if (!IsVirtualPort(name) || !port.present) {
        *error = kErrNotFound;
        return nullptr;
    }
    if (port.hostOpen) {
        *error = kErrAccessDenied;
        return nullptr;
    }
    port.hostOpen = true;
    ++port.opens;
    port.toHost.clear();
    port.toTerminal.clear();
    port.rxEvent = false;
    *error = 0;
    return std::make_shared<SimSerial>(port.generation);
}

std::shared_ptr<SerialDevice> SerialDevice::FromNative(intptr_t) {
    return nullptr;
}

bool SerialPortPresent(const std::string& name) {
    return IsVirtualPort(name) && sim::Port().present;
}

std::shared_ptr<HidDevice> HidDevice::Open(const std::string&, Status* error, std::string*) {
    *error = kErrNotFound;
    return nullptr;
}

std::shared_ptr<HidDevice> HidDevice::FromNative(intptr_t, uint32_t, uint32_t) {
    return nullptr;
}

Status EnumerateSerialPorts(std::vector<SerialPortInfo>* ports, std::string*) {
    ports->clear();
    if (!sim::Port().present) return 0;
    SerialPortInfo info;
    info.portName = "COM1";
    info.devicePath = "sim:COM1";
    info.friendlyName = "Communications Port (COM1)";
    info.description = info.friendlyName;
    ports->push_back(info);
    return 0;
}

Status EnumerateHidDevices(uint16_t, std::vector<HidDeviceInfo>* devices, std::string*) {
    devices->clear();
    return 0;
}

// The simulated devices fail with platform errors only; no OS code ever reaches a Status here.
std::string OsErrorText(uint32_t osCode) {
    return "error " + std::to_string(osCode);
}

}  // namespace orn::platform
