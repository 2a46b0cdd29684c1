// Files and the host program on Win32.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <vector>

#include "platform/platform.h"

namespace orn::platform {

std::string ExecutablePath() {
    // GetModuleFileNameA truncates silently, so grow the buffer until the path fits.
    std::vector<char> buffer(MAX_PATH + 1);
    for (;;) {
        DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::string();
        if (n < buffer.size()) return std::string(buffer.data(), n);
        if (buffer.size() >= 65536) return std::string();
        buffer.resize(buffer.size() * 2);
    }
}

char PathSeparator() {
    return '\\';
}

bool IsAbsolutePath(const std::string& name) {
    // Drive-letter names, and rooted or UNC names (which glued onto the program's folder would
    // name nothing).
    if (name.size() >= 2 && name[1] == ':') return true;
    return !name.empty() && (name[0] == '\\' || name[0] == '/');
}

bool FileExists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RemoveFile(const std::string& path) {
    return ::DeleteFileA(path.c_str()) != FALSE;
}

bool RenameFile(const std::string& from, const std::string& to) {
    // Like rename(): the target must not exist.
    return ::MoveFileA(from.c_str(), to.c_str()) != FALSE;
}

CreateOutcome CreatePrivateFile(const std::string& path, bool binary, std::FILE** stream) {
    *stream = nullptr;
    // CREATE_NEW refuses any name that exists. The file gets the folder's inherited access
    // rights (not narrowed to the owner here).
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = ::GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? CreateOutcome::Exists
                                                                           : CreateOutcome::Failed;
    }
    int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), binary ? _O_BINARY : _O_TEXT);
    if (fd < 0) {
        ::CloseHandle(h);
        ::DeleteFileA(path.c_str());
        return CreateOutcome::Failed;
    }
    *stream = ::_fdopen(fd, binary ? "wb" : "w");
    if (*stream == nullptr) {
        ::_close(fd);
        ::DeleteFileA(path.c_str());
        return CreateOutcome::Failed;
    }
    return CreateOutcome::Created;
}

}  // namespace orn::platform
