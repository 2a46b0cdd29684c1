// The recursive lock is a critical section, which is recursive by nature.
#include <windows.h>

#include "platform/platform.h"

namespace orn::platform {

struct RecursiveLock::Impl {
    CRITICAL_SECTION section;
};

RecursiveLock::RecursiveLock() : impl_(new Impl) {
    ::InitializeCriticalSection(&impl_->section);
}

RecursiveLock::~RecursiveLock() {
    ::DeleteCriticalSection(&impl_->section);
    delete impl_;
}

void RecursiveLock::Lock() {
    ::EnterCriticalSection(&impl_->section);
}

void RecursiveLock::Unlock() {
    ::LeaveCriticalSection(&impl_->section);
}

bool RecursiveLock::TryLock() {
    return ::TryEnterCriticalSection(&impl_->section) != FALSE;
}

}  // namespace orn::platform
