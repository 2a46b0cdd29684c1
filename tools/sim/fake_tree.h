// A fake sysfs tree and device directory, so that port discovery, USB HID and "AUTO" can be
// tried without hardware: point ORN_SYSFS_ROOT at sysfs() and ORN_DEV_ROOT at dev().
//
// The layout is the kernel's as far as the library reads it: class/tty/<tty>/device linking
// into a devices/ tree (USB ports under a directory with idVendor, idProduct and product),
// class/hidraw/hidrawN/device with uevent (HID_ID) and report_descriptor.
#pragma once

#include <cstdint>
#include <string>

namespace orn::sim {

// A report descriptor with report 2 carrying `inputLength` - 1 input bytes and `outputLength`
// - 1 output bytes (the lengths include the identifier byte), as the terminal describes it.
std::string LinkReportDescriptor(unsigned inputLength, unsigned outputLength);

class FakeDeviceTree {
  public:
    // Creates `root`/sys and `root`/dev (root must exist and be writable).
    explicit FakeDeviceTree(const std::string& root);

    const std::string& sysfs() const { return sysfs_; }
    const std::string& dev() const { return dev_; }

    // A serial port `tty` ("ttyUSB0", "ttyS3"). `vendor` empty: not USB; else its USB
    // identity (hex text such as "0e7d") and product name (may be empty). `placeholder`: a
    // ttyS port on the platform bus. Returns false on a file-system error.
    bool AddSerialPort(const std::string& tty, const std::string& vendor = {},
                       const std::string& product = {}, const std::string& productName = {},
                       bool placeholder = false);
    // Removes the port's class entry, as the kernel does when the adapter is unplugged.
    bool RemoveSerialPort(const std::string& tty);
    // hidrawN with HID_ID bus:vendor:product and `descriptor`; returns the node path
    // (dev()/hidrawN), where a device (or the simulator's socket) must then be placed.
    std::string AddHidDevice(unsigned index, uint16_t vendor, uint16_t product,
                             const std::string& descriptor, uint16_t bus = 3);
    bool RemoveHidDevice(unsigned index);

  private:
    std::string sysfs_;
    std::string dev_;
};

}  // namespace orn::sim
