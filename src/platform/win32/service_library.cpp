#include "platform/win32/service_library.h"

#include <atomic>
#include <string>

namespace orn::platform::win32 {

namespace {

FARPROC SystemFind(HMODULE module, const char* function) {
    return ::GetProcAddress(module, function);
}

const LibraryLoader kSystemLoader = {LoadSystemLibrary, SystemFind};
std::atomic<const LibraryLoader*> g_loader{&kSystemLoader};

}  // namespace

HMODULE LoadSystemLibrary(const char* name) {
    char directory[MAX_PATH + 1] = {};
    const UINT length = ::GetSystemDirectoryA(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    const std::string path = std::string(directory, length) + "\\" + name;
    return ::LoadLibraryA(path.c_str());
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
