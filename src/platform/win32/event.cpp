// Events on Win32 are kernel events, so waits on several of them go straight to
// WaitForMultipleObjects and an abandoned or failed wait is reported as the OS saw it.
#include <windows.h>

#include <vector>

#include "platform/platform.h"

namespace orn::platform {

struct Event::Impl {
    HANDLE handle;
    bool manualReset;
};

namespace {

WaitResult FromWaitCode(DWORD code, DWORD count, size_t* index) {
    if (code < WAIT_OBJECT_0 + count) {
        if (index != nullptr) *index = code - WAIT_OBJECT_0;
        return WaitResult::Signalled;
    }
    if (code >= WAIT_ABANDONED_0 && code < WAIT_ABANDONED_0 + count) return WaitResult::Abandoned;
    if (code == WAIT_TIMEOUT) return WaitResult::Timeout;
    if (code == WAIT_FAILED) return WaitResult::Failed;
    return WaitResult::Other;
}

}  // namespace

Event::Event(bool manualReset, bool initiallySet)
    : impl_(new Impl{::CreateEventA(nullptr, manualReset, initiallySet, nullptr), manualReset}) {}

Event::~Event() {
    if (impl_->handle != nullptr) ::CloseHandle(impl_->handle);
    delete impl_;
}

void Event::Set() {
    ::SetEvent(impl_->handle);
}

void Event::Reset() {
    ::ResetEvent(impl_->handle);
}

WaitResult Event::Wait(uint32_t ms) {
    if (impl_->handle == nullptr) return WaitResult::Failed;
    return FromWaitCode(::WaitForSingleObject(impl_->handle, ms), 1, nullptr);
}

bool Event::IsSet() const {
    if (impl_->handle == nullptr) return false;
    if (::WaitForSingleObject(impl_->handle, 0) != WAIT_OBJECT_0) return false;
    // A kernel event cannot be looked at without a wait, and the wait consumed an auto-reset
    // event: put it back. A waiter that polls with no timeout in between can miss it, which no
    // caller does on an auto-reset event.
    if (!impl_->manualReset) ::SetEvent(impl_->handle);
    return true;
}

WaitResult WaitForAny(Event* const* events, size_t count, uint32_t ms, size_t* index) {
    if (events == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS) return WaitResult::Failed;
    std::vector<HANDLE> handles(count);
    for (size_t i = 0; i < count; ++i) {
        if (events[i] == nullptr || events[i]->impl()->handle == nullptr) return WaitResult::Failed;
        handles[i] = events[i]->impl()->handle;
    }
    DWORD n = static_cast<DWORD>(count);
    return FromWaitCode(::WaitForMultipleObjects(n, handles.data(), FALSE, ms), n, index);
}

}  // namespace orn::platform
