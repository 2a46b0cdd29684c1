// Finding where a terminal can be attached: the COM ports (with their USB identity) and the
// terminal maker's USB HID devices, and what kind of port a COM name is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "log/logger.h"
#include "platform/platform.h"

namespace orn {

// The terminal maker's USB vendor identifier.
constexpr uint16_t kMakerVendorId = 0x0E7D;

enum PortKind : int32_t {
    kPortNotUsb = 0,
    kPortOtherUsb = 1,  // a USB port of another vendor
    kPortMakerUsb = 2,  // the maker's USB virtual COM port
};

int32_t KindOf(const platform::SerialPortInfo& port);

// Port names and vendor identifiers compare without regard to case ("com3" is COM3).
bool SamePortName(const std::string& a, const std::string& b);

// Lists the COM ports. A platform failure is logged at Severe with its text; false then.
bool FindComPorts(CLogger& log, std::vector<platform::SerialPortInfo>* ports);
// Lists the maker's USB HID devices; as FindComPorts. A missing HID service of the system is
// logged at Severe too; the list is then empty, but the search has not failed.
bool FindUsbHidDevices(CLogger& log, std::vector<platform::HidDeviceInfo>* devices);

// The port kind query: 1 when the COM port `name` (any case, "\\.\" allowed) is of kind 2, or of
// kind 1 with `vendorRequired` clear; else 0 (also when the ports cannot be listed).
int QueryPortKind(CLogger& log, const std::string& name, bool vendorRequired);

// "Velquora " followed by the device's product identifier as four upper-case hex digits: the
// port name stored after automatic selection opened a USB HID device.
std::string HidPortName(const platform::HidDeviceInfo& device);

}  // namespace orn
