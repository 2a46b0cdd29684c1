// The HID and device-setup service libraries (HID.DLL, SETUPAPI.DLL) are loaded when a search
// or an open needs them, never linked: the DLL then loads on a system that lacks them, and
// only the HID terminals are unavailable there.
#pragma once

#include <windows.h>

namespace orn::platform::win32 {

// How a service library is loaded and its functions found. Tests substitute their own to make
// a library or one function missing; `load` returns null for a missing library.
struct LibraryLoader {
    HMODULE (*load)(const char* name);
    FARPROC (*find)(HMODULE module, const char* function);
};

// Loads `name` from the system directory only: a DLL of that name beside the host program or
// in the current directory is never picked up instead, and neither is one of the DLLs that it
// loads in turn (LOAD_LIBRARY_SEARCH_SYSTEM32). A system without that flag (Windows 7 and
// older without KB2533623) gets the library by its full path in the system directory, whose
// own dependencies are then looked for in that directory first (LOAD_WITH_ALTERED_SEARCH_PATH).
HMODULE LoadSystemLibrary(const char* name);

// What LoadSystemLibrary asks of the system, replaceable so that a test sees the calls.
struct SystemLoadCalls {
    HMODULE(WINAPI* loadLibraryEx)(LPCWSTR file, HANDLE reserved, DWORD flags);
    bool searchFlagsKnown;  // the LOAD_LIBRARY_SEARCH_* flags exist (AddDllDirectory does)
};
HMODULE LoadSystemLibraryWith(const char* name, const SystemLoadCalls& calls);

// Replaces the loader; null restores the system's. Not while a search or an open runs.
void SetLibraryLoader(const LibraryLoader* loader);

// One service library, released when it goes out of scope.
class ServiceLibrary {
  public:
    explicit ServiceLibrary(const char* name);
    ~ServiceLibrary();
    ServiceLibrary(const ServiceLibrary&) = delete;
    ServiceLibrary& operator=(const ServiceLibrary&) = delete;

    bool Loaded() const { return module_ != nullptr; }
    // The function's address as `Fn` (declare it with decltype of the SDK's declaration so
    // that the calling convention is right); null when missing or the library is.
    template <typename Fn>
    Fn Find(const char* function) const {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(FindAddress(function)));
    }

  private:
    FARPROC FindAddress(const char* function) const;

    HMODULE module_;
};

}  // namespace orn::platform::win32
