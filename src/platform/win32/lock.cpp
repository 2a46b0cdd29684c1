// Both locks are critical sections. The plain lock is one too, rather than a slim reader/writer
// lock, whose TryAcquire needs a later Windows than the rest of the library; that it would
// re-enter is never relied on (the thread-safety analysis rules out taking it twice).
#include <windows.h>

#include "platform/platform.h"

namespace orn::platform {
namespace {

struct CriticalSection {
    CriticalSection() { ::InitializeCriticalSection(&section); }
    ~CriticalSection() { ::DeleteCriticalSection(&section); }
    CRITICAL_SECTION section;
};

}  // namespace

struct RecursiveLock::Impl : CriticalSection {};
struct Mutex::Impl : CriticalSection {};

RecursiveLock::RecursiveLock() : impl_(new Impl) {}

RecursiveLock::~RecursiveLock() {
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

Mutex::Mutex() : impl_(new Impl) {}

Mutex::~Mutex() {
    delete impl_;
}

void Mutex::Lock() {
    ::EnterCriticalSection(&impl_->section);
}

void Mutex::Unlock() {
    ::LeaveCriticalSection(&impl_->section);
}

bool Mutex::TryLock() {
    return ::TryEnterCriticalSection(&impl_->section) != FALSE;
}

}  // namespace orn::platform
