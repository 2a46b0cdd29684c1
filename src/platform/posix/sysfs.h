// Where the POSIX backend looks for devices: the sysfs tree under $ORN_SYSFS_ROOT (default
// /sys) and the device nodes under $ORN_DEV_ROOT (default /dev). Test rigs and the simulator
// point both at fake trees.
#pragma once

#include <string>
#include <vector>

namespace orn::platform::posix {

std::string SysfsRoot();
std::string DevRoot();

// The device node a serial port name opens: "COMn" (any case, "\\.\" allowed) is
// $ORN_PORT_DIR/COMn when ORN_PORT_DIR is set, else COM1-32 are ttyS0-31, COM33-64 ttyUSB0-31
// and COM65-96 ttyACM0-31 under DevRoot(); a name starting with '/' is a path as it stands.
// False when the name is no port of this system. Opening and listing both go through here, so
// a listed port opens exactly what its name opens.
bool SerialDevicePath(const std::string& name, std::string* path);

// The whole content of a (small) file; false when it cannot be read.
bool ReadSmallFile(const std::string& path, std::string* content);
// The names in a directory, without "." and ".."; false when it cannot be read (*error gets
// errno).
bool ListDirectory(const std::string& path, std::vector<std::string>* names, int* error);
// `text` starts with `prefix` and continues with 1 to 3 decimal digits; *number gets them.
bool NumberedName(const std::string& text, const std::string& prefix, unsigned* number);

}  // namespace orn::platform::posix
