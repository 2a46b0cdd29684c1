// Threads on Win32. As on every platform the running thread owns a reference to the control
// block (body and captures), so the Thread object may be destroyed after Abandon while the body
// still runs; a thread that will not stop is left running, never terminated, since killing it
// could leave a lock held or the heap half updated.
//
// Each running thread also holds a reference to the module its code lives in and drops it as it
// exits (FreeLibraryAndExitThread). An application that unloads the library without closing the
// link first therefore leaves it loaded until the last thread has ended, instead of unmapping
// code that threads still run, and nothing waits for a thread under the loader lock.
#include <windows.h>

#include <memory>
#include <mutex>

#include "platform/platform.h"
#include "platform/win32/errors.h"

namespace orn::platform {

struct Thread::Control {
    std::function<uint32_t()> body;
    std::mutex mutex;
    bool finished = false;  // guarded by mutex
    uint32_t exitCode = 0;  // guarded by mutex
    // Owner side only.
    HANDLE handle = nullptr;
    DWORD tid = 0;
    bool joined = false;
    bool detached = false;
};

namespace {

HMODULE PinOwnModule() {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCSTR>(&PinOwnModule), &module)) {
        return nullptr;
    }
    return module;
}

struct Handoff {
    std::shared_ptr<Thread::Control> control;
    HMODULE module;
};

DWORD WINAPI ThreadEntry(LPVOID arg) {
    HMODULE module;
    {
        std::unique_ptr<Handoff> handoff(static_cast<Handoff*>(arg));
        module = handoff->module;
        std::shared_ptr<Thread::Control> control = std::move(handoff->control);
        handoff.reset();

        uint32_t code = control->body();
        control->body = nullptr;
        {
            std::lock_guard<std::mutex> lock(control->mutex);
            control->exitCode = code;
            control->finished = true;
        }
    }
    if (module != nullptr) ::FreeLibraryAndExitThread(module, 0);
    return 0;
}

}  // namespace

Thread::Thread() = default;

// Closing the handle is all a finished thread needs here, and it never waits: the destructor may
// run while the loader lock is held, which a thread still leaving would need.
Thread::~Thread() {
    Abandon();
}

Status Thread::Start(std::function<uint32_t()> body) {
    if (Started()) return kErrAlreadyOpen;
    if (!body) return ERROR_INVALID_PARAMETER;
    auto control = std::make_shared<Thread::Control>();
    control->body = std::move(body);
    auto* handoff = new Handoff{control, PinOwnModule()};
    DWORD tid = 0;
    HANDLE handle = ::CreateThread(nullptr, 0, ThreadEntry, handoff, 0, &tid);
    if (handle == nullptr) {
        const Status error = win32::LastError("CreateThread");
        if (handoff->module != nullptr) ::FreeLibrary(handoff->module);
        delete handoff;
        return error;
    }
    control->handle = handle;
    control->tid = tid;
    control_ = std::move(control);
    return 0;
}

bool Thread::Started() const {
    return control_ && !control_->joined && !control_->detached;
}

WaitResult Thread::Join(uint32_t ms) {
    if (!control_ || control_->detached) return WaitResult::Failed;
    if (control_->joined) return WaitResult::Signalled;
    if (::GetCurrentThreadId() == control_->tid) return WaitResult::Failed;
    DWORD code = ::WaitForSingleObject(control_->handle, ms);
    switch (code) {
        case WAIT_OBJECT_0:
            ::CloseHandle(control_->handle);
            control_->handle = nullptr;
            control_->joined = true;
            return WaitResult::Signalled;
        case WAIT_TIMEOUT:
            return WaitResult::Timeout;
        case WAIT_ABANDONED:
            return WaitResult::Abandoned;
        case WAIT_FAILED:
            return WaitResult::Failed;
        default:
            return WaitResult::Other;
    }
}

bool Thread::Finished() const {
    if (!control_) return false;
    std::lock_guard<std::mutex> lock(control_->mutex);
    return control_->finished;
}

void Thread::Abandon() {
    if (!Started()) return;
    ::CloseHandle(control_->handle);
    control_->handle = nullptr;
    control_->detached = true;
}

uint32_t Thread::Id() const {
    return control_ ? control_->tid : 0;
}

uint32_t Thread::ExitCode() const {
    if (!control_) return 0;
    std::lock_guard<std::mutex> lock(control_->mutex);
    return control_->exitCode;
}

uint32_t CurrentThreadId() {
    return ::GetCurrentThreadId();
}

uint32_t CurrentProcessId() {
    return ::GetCurrentProcessId();
}

}  // namespace orn::platform
