#include "fake_tree.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace orn::sim {

namespace {

bool MakeDirs(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        if (::mkdir(path.substr(0, at).c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

bool WriteFile(const std::string& path, const std::string& content) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && ok;
}

bool Link(const std::string& target, const std::string& path) {
    ::unlink(path.c_str());
    return ::symlink(target.c_str(), path.c_str()) == 0;
}

bool RemoveTree(const std::string& path) {
    auto remove = [](const char* entry, const struct stat*, int, FTW*) { return ::remove(entry); };
    return ::nftw(path.c_str(), remove, 8, FTW_DEPTH | FTW_PHYS) == 0;
}

}  // namespace

std::string LinkReportDescriptor(unsigned inputLength, unsigned outputLength) {
    const unsigned char bytes[] = {
        0x06, 0x00,
        0xFF,        // usage page (vendor)
        0x09, 0x01,  // usage
        0xA1, 0x01,  // collection (application)
        0x85, 0x02,  //   report id 2
        0x75, 0x08,  //   report size 8
        0x95, static_cast<unsigned char>(inputLength - 1),
        0x09, 0x01,  //   usage
        0x81, 0x02,  //   input (data, variable, absolute)
        0x95, static_cast<unsigned char>(outputLength - 1),
        0x09, 0x01,  //   usage
        0x91, 0x02,  //   output (data, variable, absolute)
        0xC0,        // end collection
    };
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

FakeDeviceTree::FakeDeviceTree(const std::string& root)
    : sysfs_(root + "/sys"), dev_(root + "/dev") {
    MakeDirs(sysfs_ + "/class/tty");
    MakeDirs(sysfs_ + "/class/hidraw");
    MakeDirs(dev_);
}

bool FakeDeviceTree::AddSerialPort(const std::string& tty, const std::string& vendor,
                                   const std::string& product, const std::string& productName,
                                   bool placeholder) {
    std::string device;
    if (!vendor.empty()) {
        // devices/usb1/1-<tty>: the USB device; its interface below holds the tty.
        const std::string usb = sysfs_ + "/devices/usb1/1-" + tty;
        device = usb + "/1-" + tty + ":1.0";
        if (!MakeDirs(device) || !WriteFile(usb + "/idVendor", vendor + "\n") ||
            !WriteFile(usb + "/idProduct", product + "\n"))
            return false;
        if (!productName.empty() && !WriteFile(usb + "/product", productName + "\n")) return false;
    } else {
        device = sysfs_ + "/devices/" + (placeholder ? "platform/serial8250/" : "pnp0/00:0") + tty;
        if (!MakeDirs(device)) return false;
        const std::string bus = sysfs_ + "/bus/" + (placeholder ? "platform" : "pnp");
        if (!MakeDirs(bus) || !Link(bus, device + "/subsystem")) return false;
    }
    const std::string entry = sysfs_ + "/class/tty/" + tty;
    return MakeDirs(entry) && Link(device, entry + "/device");
}

bool FakeDeviceTree::RemoveSerialPort(const std::string& tty) {
    return RemoveTree(sysfs_ + "/class/tty/" + tty);
}

std::string FakeDeviceTree::AddHidDevice(unsigned index, uint16_t vendor, uint16_t product,
                                         const std::string& descriptor, uint16_t bus) {
    const std::string name = "hidraw" + std::to_string(index);
    const std::string device =
        sysfs_ + "/devices/usb2/2-" + std::to_string(index) + "/0003:0E7D:0001." + name;
    char uevent[96];
    std::snprintf(uevent, sizeof uevent, "DRIVER=hid-generic\nHID_ID=%04X:%08X:%08X\n", bus, vendor,
                  product);
    const std::string entry = sysfs_ + "/class/hidraw/" + name;
    if (!MakeDirs(device) || !WriteFile(device + "/uevent", uevent) ||
        !WriteFile(device + "/report_descriptor", descriptor) || !MakeDirs(entry) ||
        !Link(device, entry + "/device"))
        return {};
    return dev_ + "/" + name;
}

bool FakeDeviceTree::RemoveHidDevice(unsigned index) {
    return RemoveTree(sysfs_ + "/class/hidraw/hidraw" + std::to_string(index));
}

}  // namespace orn::sim
