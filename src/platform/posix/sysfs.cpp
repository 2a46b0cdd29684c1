#include "platform/posix/sysfs.h"

#include <dirent.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace orn::platform::posix {

namespace {

std::string RootFromEnv(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    std::string root = value != nullptr && value[0] != '\0' ? value : fallback;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

}  // namespace

std::string SysfsRoot() {
    return RootFromEnv("ORN_SYSFS_ROOT", "/sys");
}

std::string DevRoot() {
    return RootFromEnv("ORN_DEV_ROOT", "/dev");
}

bool SerialDevicePath(const std::string& name, std::string* path) {
    static const char kPrefix[] = "\\\\.\\";
    std::string bare = name.compare(0, 4, kPrefix) == 0 ? name.substr(4) : name;

    bool isCom = bare.size() > 3 && std::toupper(static_cast<unsigned char>(bare[0])) == 'C' &&
                 std::toupper(static_cast<unsigned char>(bare[1])) == 'O' &&
                 std::toupper(static_cast<unsigned char>(bare[2])) == 'M';
    for (size_t i = 3; isCom && i < bare.size(); ++i) {
        isCom = std::isdigit(static_cast<unsigned char>(bare[i])) != 0;
    }
    if (isCom) {
        const char* dir = std::getenv("ORN_PORT_DIR");
        if (dir != nullptr && dir[0] != '\0') {
            // Port names are case-insensitive, as on Windows: "com7" is the entry COM7.
            *path = std::string(dir) + "/COM" + bare.substr(3);
            return true;
        }
        if (bare.size() > 3 + 6) return false;  // no such port number, and no overflow below
        unsigned long number = std::strtoul(bare.c_str() + 3, nullptr, 10);
        if (number >= 1 && number <= 32) {
            *path = DevRoot() + "/ttyS" + std::to_string(number - 1);
        } else if (number >= 33 && number <= 64) {
            *path = DevRoot() + "/ttyUSB" + std::to_string(number - 33);
        } else if (number >= 65 && number <= 96) {
            *path = DevRoot() + "/ttyACM" + std::to_string(number - 65);
        } else {
            return false;
        }
        return true;
    }
    if (!bare.empty() && bare[0] == '/') {
        *path = bare;
        return true;
    }
    return false;
}

bool ReadSmallFile(const std::string& path, std::string* content) {
    FILE* file = std::fopen(path.c_str(), "rbe");
    if (file == nullptr) return false;
    content->clear();
    char buffer[4096];
    size_t n;
    // sysfs attributes are at most a page; report descriptors at most 4 KB.
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0 && content->size() < 65536)
        content->append(buffer, n);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

bool ListDirectory(const std::string& path, std::vector<std::string>* names, int* error) {
    names->clear();
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
        if (error != nullptr) *error = errno;
        return false;
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names->push_back(name);
    }
    ::closedir(dir);
    return true;
}

bool NumberedName(const std::string& text, const std::string& prefix, unsigned* number) {
    if (text.size() <= prefix.size() || text.size() > prefix.size() + 3 ||
        text.compare(0, prefix.size(), prefix) != 0)
        return false;
    unsigned value = 0;
    for (size_t i = prefix.size(); i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    *number = value;
    return true;
}

}  // namespace orn::platform::posix
