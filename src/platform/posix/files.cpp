// Files and the host program on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/platform.h"

namespace orn::platform {

std::string ExecutablePath() {
    // readlink does not say whether it truncated, so grow the buffer until the link fits.
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return std::string();
        if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
        if (buffer.size() >= 65536) return std::string();
        buffer.resize(buffer.size() * 2);
    }
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

bool FileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

CreateOutcome CreatePrivateFile(const std::string& path, bool, std::FILE** stream) {
    *stream = nullptr;
    // O_EXCL refuses any name that exists, links included; O_NOFOLLOW says the same for a
    // system that would otherwise resolve a final link. Owner-only whatever the umask allows: the
    // log holds the traffic of a payment terminal.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    if (fd < 0) return errno == EEXIST ? CreateOutcome::Exists : CreateOutcome::Failed;
    *stream = ::fdopen(fd, "w");
    if (!*stream) {
        ::close(fd);
        ::unlink(path.c_str());
        return CreateOutcome::Failed;
    }
    return CreateOutcome::Created;
}

}  // namespace orn::platform
