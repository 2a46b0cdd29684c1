#include "platform/win32/service_library.h"

#include <atomic>
#include <string>

#include "platform/win32/text.h"

namespace orn::platform::win32 {

namespace {

FARPROC SystemFind(HMODULE module, const char* function) {
    return ::GetProcAddress(module, function);
}

const LibraryLoader kSystemLoader = {LoadSystemLibrary, SystemFind};
std::atomic<const LibraryLoader*> g_loader{&kSystemLoader};

}  // namespace

HMODULE LoadSystemLibraryWith(const char* name, const SystemLoadCalls& calls) {
    const std::wstring file = Widen(name);
    if (calls.searchFlagsKnown) {
        HMODULE module = calls.loadLibraryEx(file.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        // A system that has AddDllDirectory but still refuses the flag is taken as one without.
        if (module != nullptr || ::GetLastError() != ERROR_INVALID_PARAMETER) return module;
    }
    wchar_t directory[MAX_PATH + 1] = {};
    const UINT length = ::GetSystemDirectoryW(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    const std::wstring path = std::wstring(directory, length) + L"\\" + file;
    return calls.loadLibraryEx(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE LoadSystemLibrary(const char* name) {
    static const SystemLoadCalls calls = {
        ::LoadLibraryExW,
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory") != nullptr};
    return LoadSystemLibraryWith(name, calls);
}

void SetLibraryLoader(const LibraryLoader* loader) {
    g_loader = loader != nullptr ? loader : &kSystemLoader;
}

ServiceLibrary::ServiceLibrary(const char* name) : module_(g_loader.load()->load(name)) {}

ServiceLibrary::~ServiceLibrary() {
    if (module_ != nullptr) ::FreeLibrary(module_);
}

FARPROC ServiceLibrary::FindAddress(const char* function) const {
    return module_ != nullptr ? g_loader.load()->find(module_, function) : nullptr;
}

}  // namespace orn::platform::win32
