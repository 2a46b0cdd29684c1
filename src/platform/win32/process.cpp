// The library's entry point. It only notes a process exit: Windows ends every other thread
// before it unloads the library then, so process-wide objects must not wait for them.
#include <windows.h>

#include <atomic>

#include "platform/platform.h"

namespace {
std::atomic<bool> g_processEnding{false};
}  // namespace

// Runs before the runtime's destructors of static objects on detach.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) g_processEnding = true;
    return TRUE;
}

namespace orn::platform {

bool ProcessIsEnding() {
    return g_processEnding.load();
}

}  // namespace orn::platform
