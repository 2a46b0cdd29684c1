// USB HID terminals and device enumeration on Windows: not written yet. No HID device is found
// and none opens (2250); COM ports are listed by their DOS device names, without USB details.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace orn::platform {

std::shared_ptr<HidDevice> HidDevice::Open(const std::string&, uint32_t* error) {
    if (error != nullptr) *error = kErrHidOpenFailed;
    return nullptr;
}

std::shared_ptr<HidDevice> HidDevice::FromNative(intptr_t, uint32_t, uint32_t) {
    return nullptr;
}

uint32_t EnumerateHidDevices(uint16_t, std::vector<HidDeviceInfo>* devices, std::string*) {
    devices->clear();
    return kErrNone;
}

uint32_t EnumerateSerialPorts(std::vector<SerialPortInfo>* ports, std::string* errorText) {
    ports->clear();
    // The DOS device names, a list of zero-terminated names ended by an empty one.
    std::vector<char> names(65536);
    DWORD n = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    if (n == 0) {
        uint32_t error = ::GetLastError();
        if (errorText != nullptr)
            *errorText = "QueryDosDevice failed. (err=" + std::to_string(error) + ")";
        return error;
    }
    std::vector<unsigned long> numbers;
    for (const char* name = names.data(); *name != '\0'; name += std::strlen(name) + 1) {
        std::string text = name;
        if (text.size() < 4 || text.size() > 6) continue;
        bool com = std::toupper(static_cast<unsigned char>(text[0])) == 'C' &&
                   std::toupper(static_cast<unsigned char>(text[1])) == 'O' &&
                   std::toupper(static_cast<unsigned char>(text[2])) == 'M';
        for (size_t i = 3; com && i < text.size(); ++i) {
            com = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        }
        if (com) numbers.push_back(std::strtoul(text.c_str() + 3, nullptr, 10));
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    for (unsigned long number : numbers) {
        if (ports->size() >= kMaxSerialPorts) break;
        SerialPortInfo info;
        info.portName = "COM" + std::to_string(number);
        info.devicePath = number > 9 ? "\\\\.\\" + info.portName : info.portName;
        info.friendlyName = info.portName;
        info.description = info.portName;
        ports->push_back(info);
    }
    return kErrNone;
}

}  // namespace orn::platform
