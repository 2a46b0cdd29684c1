// Files and the host program on Win32. Names cross the seam in UTF-8 and reach the system
// through the wide functions, so a folder named in any script works, whatever the ANSI code
// page.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which they need.
#include <sddl.h>

#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/files.h"
#include "platform/win32/text.h"

namespace orn::platform {

namespace win32 {

std::wstring PrivateFileSddl(const std::wstring& userSid) {
    // Protected: nothing is inherited from the folder. Full access for the user and SYSTEM,
    // nobody else.
    return L"D:P(A;;FA;;;SY)(A;;FA;;;" + userSid + L")";
}

std::wstring CurrentUserSid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<DWORD> buffer(size / sizeof(DWORD) + 1);  // aligned for the structure
    std::wstring text;
    if (size != 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        LPWSTR sid = nullptr;
        if (::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid,
                                     &sid)) {
            text = sid;
            ::LocalFree(sid);
        }
    }
    ::CloseHandle(token);
    return text;
}

}  // namespace win32

namespace {

struct LocalFreeDeleter {
    void operator()(void* memory) const { ::LocalFree(memory); }
};
using SecurityDescriptor = std::unique_ptr<void, LocalFreeDeleter>;

// The owner-only descriptor of a new log file; null when it cannot be built (the file is then
// not created: it would take the folder's permissions).
SecurityDescriptor PrivateFileDescriptor() {
    const std::wstring user = win32::CurrentUserSid();
    if (user.empty()) return nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            win32::PrivateFileSddl(user).c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return nullptr;
    return SecurityDescriptor(descriptor);
}

}  // namespace

std::string ExecutablePath() {
    // GetModuleFileNameW truncates silently, so grow the buffer until the path fits.
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::string();
        if (n < buffer.size()) return win32::Narrow(std::wstring(buffer.data(), n));
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

std::string HostFileName(const std::string& name) {
    return win32::Narrow(win32::Widen(name));
}

bool FileExists(const std::string& path) {
    return ::GetFileAttributesW(win32::Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RemoveFile(const std::string& path) {
    return ::DeleteFileW(win32::Widen(path).c_str()) != FALSE;
}

bool RenameFile(const std::string& from, const std::string& to) {
    // Like rename(): the target must not exist.
    return ::MoveFileW(win32::Widen(from).c_str(), win32::Widen(to).c_str()) != FALSE;
}

CreateOutcome CreatePrivateFile(const std::string& path, bool binary, std::FILE** stream) {
    *stream = nullptr;
    SecurityDescriptor descriptor = PrivateFileDescriptor();
    if (!descriptor) return CreateOutcome::Failed;
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = descriptor.get();
    security.bInheritHandle = FALSE;
    const std::wstring name = win32::Widen(path);
    // CREATE_NEW refuses any name that exists. Every sharing mode is granted: a viewer may read
    // the log, and rename or delete it, while it is written.
    HANDLE h = ::CreateFileW(name.c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &security,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = ::GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? CreateOutcome::Exists
                                                                           : CreateOutcome::Failed;
    }
    int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), binary ? _O_BINARY : _O_TEXT);
    if (fd < 0) {
        ::CloseHandle(h);
        ::DeleteFileW(name.c_str());
        return CreateOutcome::Failed;
    }
    *stream = ::_fdopen(fd, binary ? "wb" : "w");
    if (*stream == nullptr) {
        ::_close(fd);
        ::DeleteFileW(name.c_str());
        return CreateOutcome::Failed;
    }
    return CreateOutcome::Created;
}

}  // namespace orn::platform
