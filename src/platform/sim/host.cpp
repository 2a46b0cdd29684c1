// Files and the host program on the simulated platform. The log is written to the null device:
// its code runs in full (threads, batching, rotation checks) but nothing reaches a disk.
#include <cstdio>

#include "platform/platform.h"

namespace orn::platform {

std::string ExecutablePath() {
    return "/sim/pos/till";
}

char PathSeparator() {
    return '/';
}

bool IsAbsolutePath(const std::string& name) {
    return !name.empty() && name[0] == '/';
}

std::string HostFileName(const std::string& name) {
    return name;
}

bool FileExists(const std::string&) {
    return false;
}

bool RemoveFile(const std::string&) {
    return true;
}

bool RenameFile(const std::string&, const std::string&) {
    return true;
}

CreateOutcome CreatePrivateFile(const std::string&, bool, std::FILE** stream) {
    *stream = std::fopen("/dev/null", "wb");
    return *stream ? CreateOutcome::Created : CreateOutcome::Failed;
}

std::unique_ptr<DesCipher> DesCipher::Create(const uint8_t*, const uint8_t*) {
    return nullptr;
}

}  // namespace orn::platform
