// Port and device enumeration from sysfs.
//
// COM ports: every class/tty/<name> with a `device` link whose name is ttyS0-31, ttyUSB0-31 or
// ttyACM0-31 (COM1-32, COM33-64, COM65-96, as the serial backend opens them); a ttyS port whose
// device sits on the platform bus is a placeholder the kernel keeps for a UART that may not
// exist, and is skipped. The USB identity is that of the nearest directory above the device
// holding idVendor and idProduct. With ORN_PORT_DIR set, its COMn entries that sysfs did not
// list are listed as plain serial ports, and every port's device path is its entry there: a
// port opens by its name, whatever listed it.
//
// HID devices: every class/hidraw/hidrawN whose HID_ID names the USB bus and the vendor.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/port_list.h"
#include "platform/posix/errors.h"
#include "platform/posix/sysfs.h"

namespace orn::platform {

namespace {

using posix::ListDirectory;
using posix::NumberedName;
using posix::ReadSmallFile;

struct TtyFamily {
    const char* prefix;
    unsigned firstCom;
};
constexpr TtyFamily kTtyFamilies[] = {{"ttyS", 1}, {"ttyUSB", 33}, {"ttyACM", 65}};
constexpr unsigned kPortsPerFamily = 32;

std::string Trimmed(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string RealPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return {};
    std::string result = resolved;
    std::free(resolved);
    return result;
}

bool IsFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Fills the USB fields from the first directory at or above `device` (never above `root`)
// that holds both idVendor and idProduct.
void FindUsbIdentity(const std::string& device, const std::string& root, SerialPortInfo* info) {
    std::string dir = RealPath(device);
    while (!dir.empty() && dir.size() > root.size() && dir.compare(0, root.size(), root) == 0 &&
           dir[root.size()] == '/') {
        std::string vendor, product;
        if (IsFile(dir + "/idVendor") && IsFile(dir + "/idProduct") &&
            ReadSmallFile(dir + "/idVendor", &vendor) &&
            ReadSmallFile(dir + "/idProduct", &product)) {
            info->usb = true;
            info->vendorId = Upper(Trimmed(vendor));
            info->productId = Upper(Trimmed(product));
            std::string name;
            if (ReadSmallFile(dir + "/product", &name) && !Trimmed(name).empty())
                info->friendlyName = Trimmed(name);
            return;
        }
        dir.erase(dir.rfind('/'));
    }
}

bool OnPlatformBus(const std::string& device) {
    char target[PATH_MAX];
    ssize_t n = ::readlink((device + "/subsystem").c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    std::string link(target, static_cast<size_t>(n));
    size_t slash = link.rfind('/');
    return (slash == std::string::npos ? link : link.substr(slash + 1)) == "platform";
}

}  // namespace

Status EnumerateSerialPorts(std::vector<SerialPortInfo>* ports, std::string* errorText) {
    ports->clear();
    const std::string root = posix::SysfsRoot();
    const std::string ttyDir = root + "/class/tty";
    FoundPorts found;

    std::vector<std::string> names;
    int error = 0;
    if (!ListDirectory(ttyDir, &names, &error) && error != ENOENT) {
        if (errorText != nullptr)
            *errorText = "Could not read " + ttyDir + ": " + std::strerror(error);
        return posix::Failure("opendir", error, ttyDir);
    }
    const std::string realRoot = RealPath(root);
    for (const std::string& name : names) {
        unsigned com = 0;
        for (const TtyFamily& family : kTtyFamilies) {
            unsigned index = 0;
            if (NumberedName(name, family.prefix, &index) && index < kPortsPerFamily)
                com = family.firstCom + index;
        }
        if (com == 0) continue;
        const std::string device = ttyDir + "/" + name + "/device";
        if (RealPath(device).empty()) continue;
        if (com < kTtyFamilies[1].firstCom && OnPlatformBus(device)) continue;  // ttyS
        SerialPortInfo info;
        info.portName = "COM" + std::to_string(com);
        // What the name opens (ORN_PORT_DIR may stand in for /dev), not the node seen here.
        posix::SerialDevicePath(info.portName, &info.devicePath);
        if (!realRoot.empty()) FindUsbIdentity(device, realRoot, &info);
        found.emplace(com, std::move(info));
    }

    const char* portDir = std::getenv("ORN_PORT_DIR");
    if (portDir != nullptr && portDir[0] != '\0' && ListDirectory(portDir, &names, nullptr)) {
        for (const std::string& name : names) {
            unsigned com = 0;
            if (!ComNumber(name, &com) || found.count(com) != 0) continue;
            SerialPortInfo info;
            info.portName = "COM" + std::to_string(com);
            posix::SerialDevicePath(info.portName, &info.devicePath);
            found.emplace(com, std::move(info));
        }
    }

    FinishPortList(&found, ports);
    return kErrNone;
}

Status EnumerateHidDevices(uint16_t vendorId, std::vector<HidDeviceInfo>* devices,
                           std::string* errorText) {
    devices->clear();
    const std::string hidDir = posix::SysfsRoot() + "/class/hidraw";
    std::vector<std::string> names;
    int error = 0;
    if (!ListDirectory(hidDir, &names, &error)) {
        if (error == ENOENT) return kErrNone;  // no HID device at all
        if (errorText != nullptr)
            *errorText = "Could not read " + hidDir + ": " + std::strerror(error);
        return posix::Failure("opendir", error, hidDir);
    }
    std::vector<std::pair<unsigned, HidDeviceInfo>> found;
    for (const std::string& name : names) {
        unsigned index = 0;
        std::string uevent;
        if (!NumberedName(name, "hidraw", &index) ||
            !ReadSmallFile(hidDir + "/" + name + "/device/uevent", &uevent))
            continue;
        size_t at = uevent.find("HID_ID=");
        if (at == std::string::npos || (at > 0 && uevent[at - 1] != '\n')) continue;
        unsigned bus = 0, vendor = 0, product = 0;
        if (std::sscanf(uevent.c_str() + at, "HID_ID=%x:%x:%x", &bus, &vendor, &product) != 3)
            continue;
        if (bus != 3 || vendor != vendorId) continue;
        HidDeviceInfo info;
        info.path = posix::DevRoot() + "/" + name;
        info.vendorId = static_cast<uint16_t>(vendor);
        info.productId = static_cast<uint16_t>(product & 0xFFFF);
        found.emplace_back(index, std::move(info));
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& entry : found) devices->push_back(std::move(entry.second));
    return kErrNone;
}

}  // namespace orn::platform
