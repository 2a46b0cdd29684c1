// Port discovery exports and ornSetPinpadCommunicationPort.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "api/command.h"
#include "api/guard.h"
#include "api/session.h"
#include "link/port_discovery.h"
#include "velquoraorn.h"

namespace orn {
namespace {

static_assert(sizeof(ornComPortInfo) == 24, "the exported COM port record is 24 bytes");
static_assert(sizeof(ornUsbHidDeviceInfo) == 266, "the exported HID record is 266 bytes");

// Copies at most size - 1 characters and the terminator.
template <size_t N>
void CopyField(char (&field)[N], const std::string& text) {
    const size_t n = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

// The kind query behind ornIsUsbComPort and ornIsVelquoraUsbComPort.
// Under the port lock.
int PortFlag(const char* portName, int32_t* flag, bool makerOnly) {
    if (!portName || !flag) return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
    *flag = 0;
    std::vector<platform::SerialPortInfo> ports;
    if (!FindComPorts(Engine().Logger(), &ports)) return ORN_ERR_COMM_PORT_NOT_OPEN;
    for (const platform::SerialPortInfo& port : ports) {
        if (!SamePortName(port.portName, portName)) continue;
        const int32_t kind = KindOf(port);
        *flag = kind == kPortMakerUsb || (kind == kPortOtherUsb && !makerOnly) ? 1 : 0;
        break;
    }
    return 0;
}

// Under the port lock.
int FindComPortsText(char* buffer, int size) {
    if (!buffer || size < 1) return -1;
    buffer[0] = '\0';
    std::vector<platform::SerialPortInfo> ports;
    if (!FindComPorts(Engine().Logger(), &ports)) return -1;
    size_t length = 0;
    const size_t limit = static_cast<size_t>(size) - 1;
    for (size_t i = 0; i < ports.size(); ++i) {
        // The separator goes in whenever it fits, even when the name after it then does not.
        if (i > 0 && length + 1 < limit) buffer[length++] = ' ';
        const std::string& name = ports[i].portName;
        if (length + name.size() < limit) {
            std::memcpy(buffer + length, name.data(), name.size());
            length += name.size();
        }
        buffer[length] = '\0';
    }
    return static_cast<int>(ports.size());
}

// Fills up to `count` records from what `find` lists (under the port lock): -1 for bad arguments
// or a listing that failed, else how many it listed (`filled` of them in records).
template <typename Info, typename Record, typename Find, typename Fill>
int FillRecords(Record* records, int count, Find find, Fill fill, size_t* filled) {
    if (!records || count < 0) return -1;
    std::vector<Info> found;
    if (!find(Engine().Logger(), &found)) return -1;
    *filled = std::min(found.size(), static_cast<size_t>(count));
    for (size_t i = 0; i < *filled; ++i) fill(records[i], found[i]);
    return static_cast<int>(found.size());
}

// The result is how many ports there are.
int FindComPortRecords(ornComPortInfo* records, int count) {
    size_t filled = 0;
    return FillRecords<platform::SerialPortInfo>(
        records, count, FindComPorts,
        [](ornComPortInfo& record, const platform::SerialPortInfo& port) {
            CopyField(record.portName, port.portName);
            record.kind = KindOf(port);
            if (record.kind == kPortMakerUsb) CopyField(record.productId, port.productId);
            record.available = 1;
        },
        &filled);
}

// The result is how many records were filled.
int FindHidRecords(ornUsbHidDeviceInfo* records, int count) {
    size_t filled = 0;
    const int found = FillRecords<platform::HidDeviceInfo>(
        records, count, FindUsbHidDevices,
        [](ornUsbHidDeviceInfo& record, const platform::HidDeviceInfo& device) {
            CopyField(record.devicePath, device.path);
            CopyField(record.productId, HidPortName(device).substr(9));
        },
        &filled);
    return found < 0 ? found : static_cast<int>(filled);
}

}  // namespace
}  // namespace orn

using namespace orn;

extern "C" {

ORN_API int ornFindComPorts(char* buffer, int size) {
    return Guarded("ornFindComPorts", -1, [&] {
        return UnlessClosing("ornFindComPorts", -1, [&] { return FindComPortsText(buffer, size); });
    });
}

ORN_API int ornFindComPortsEx(ornComPortInfo* records, int count) {
    return Guarded("ornFindComPortsEx", -1, [&] {
        return UnlessClosing("ornFindComPortsEx", -1,
                             [&] { return FindComPortRecords(records, count); });
    });
}

ORN_API int ornIsUsbComPort(const char* portName, int32_t* isUsb) {
    return GuardedCode("ornIsUsbComPort", [&] {
        return UnlessClosing("ornIsUsbComPort", -1,
                             [&] { return PortFlag(portName, isUsb, false); });
    });
}

ORN_API int ornIsVelquoraUsbComPort(const char* portName, int32_t* isVelquoraUsb) {
    return GuardedCode("ornIsVelquoraUsbComPort", [&] {
        return UnlessClosing("ornIsVelquoraUsbComPort", -1,
                             [&] { return PortFlag(portName, isVelquoraUsb, true); });
    });
}

ORN_API int ornFindUsbHidDevice(ornUsbHidDeviceInfo* records, int count) {
    return Guarded("ornFindUsbHidDevice", -1, [&] {
        return UnlessClosing("ornFindUsbHidDevice", -1,
                             [&] { return FindHidRecords(records, count); });
    });
}

ORN_API int ornSetPinpadCommunicationPort(int interfaceKind) {
    static const char* const kPayloads[] = {"COM1,9600,7,E,1", "COM1,9600,7,E,1,0", "USB7420",
                                            "USB"};
    const bool valid = interfaceKind >= 0 && interfaceKind <= 3;
    return Command("ornSetPinpadCommunicationPort", catalogue::kCommunicationPort)
        .Require(valid)
        .Payload(valid ? kPayloads[interfaceKind] : "")
        .Run();
}

}  // extern "C"
