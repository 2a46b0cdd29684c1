#include "link/port_discovery.h"

#include <cctype>
#include <cstdio>

namespace orn {

bool SamePortName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

int32_t KindOf(const platform::SerialPortInfo& port) {
    if (!port.usb) return kPortNotUsb;
    return SamePortName(port.vendorId, "0E7D") ? kPortMakerUsb : kPortOtherUsb;
}

bool FindComPorts(CLogger& log, std::vector<platform::SerialPortInfo>* ports) {
    std::string text;
    if (platform::EnumerateSerialPorts(ports, &text) == 0) return true;
    log.Log(kLogSevere, "%s", text.c_str());
    return false;
}

bool FindUsbHidDevices(CLogger& log, std::vector<platform::HidDeviceInfo>* devices) {
    std::string text;
    const uint32_t error = platform::EnumerateHidDevices(kMakerVendorId, devices, &text);
    if (!text.empty()) log.Log(kLogSevere, "%s", text.c_str());
    return error == 0;
}

int QueryPortKind(CLogger& log, const std::string& name, bool vendorRequired) {
    std::string plain = name;
    if (plain.compare(0, 4, "\\\\.\\") == 0) plain.erase(0, 4);
    std::vector<platform::SerialPortInfo> ports;
    if (!FindComPorts(log, &ports)) return 0;
    for (const platform::SerialPortInfo& port : ports) {
        if (!SamePortName(port.portName, plain)) continue;
        const int32_t kind = KindOf(port);
        return kind == kPortMakerUsb || (kind == kPortOtherUsb && !vendorRequired) ? 1 : 0;
    }
    return 0;
}

std::string HidPortName(const platform::HidDeviceInfo& device) {
    char name[16];
    std::snprintf(name, sizeof name, "Velquora %04X", device.productId);
    return name;
}

}  // namespace orn
