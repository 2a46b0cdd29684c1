// What the backends' COM port enumeration shares: reading a COM name and finishing the list.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace orn::platform {

// The ports a backend found, by COM number.
using FoundPorts = std::map<unsigned, SerialPortInfo>;

// "COM" and a port number 1..255, in any case.
bool ComNumber(const std::string& name, unsigned* number);

// The list EnumerateSerialPorts returns: ascending COM number, at most kMaxSerialPorts, a port
// without a friendly name or description given its port name and the friendly name's head.
void FinishPortList(FoundPorts* found, std::vector<SerialPortInfo>* ports);

}  // namespace orn::platform
