#include "platform/port_list.h"

#include <cctype>

namespace orn::platform {

namespace {

// "USB Serial Port (COM3)" describes itself as "USB Serial Port".
std::string DescriptionOf(const std::string& friendlyName) {
    const size_t cut = friendlyName.find(" (");
    if (cut != std::string::npos && cut > 0 && friendlyName.back() == ')')
        return friendlyName.substr(0, cut);
    return friendlyName;
}

}  // namespace

bool ComNumber(const std::string& name, unsigned* number) {
    if (name.size() < 4 || name.size() > 6) return false;
    for (size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return false;
    unsigned value = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
        value = value * 10 + static_cast<unsigned>(name[i] - '0');
    }
    *number = value;
    return value >= 1 && value <= 255;
}

void FinishPortList(FoundPorts* found, std::vector<SerialPortInfo>* ports) {
    for (auto& entry : *found) {
        if (ports->size() == kMaxSerialPorts) break;
        SerialPortInfo& info = entry.second;
        if (info.friendlyName.empty()) info.friendlyName = info.portName;
        if (info.description.empty()) info.description = DescriptionOf(info.friendlyName);
        ports->push_back(std::move(info));
    }
}

}  // namespace orn::platform
