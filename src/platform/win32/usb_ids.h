// Whether a COM port is a USB port, decided from the device identifiers the system gives its
// device and that device's parent. A USB serial adapter's port may come from a driver of its own
// (FTDIBUS\COMPORT&..., for example) whose parent is the USB device itself, so the enumerator's
// name does not tell; the identifier USB\VID_vvvv&PID_pppp on the port or its parent does.
#pragma once

#include <string>
#include <vector>

namespace orn::platform::win32 {

struct UsbIdentity {
    bool usb = false;
    std::string vendorId;   // 4 upper-case hex digits when usb
    std::string productId;  // 4 upper-case hex digits when usb
};

// The first identifier of the form USB\VID_vvvv&PID_pppp... (any case; hardware identifiers or
// instance identifiers) among `identifiers`, the port's own first and its parent's after them.
UsbIdentity UsbIdentityOf(const std::vector<std::string>& identifiers);

}  // namespace orn::platform::win32
