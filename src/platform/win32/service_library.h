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
// in the current directory is never picked up instead.
HMODULE LoadSystemLibrary(const char* name);

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
