// The recursive lock is a standard recursive mutex: the same thread may take it again (the port
// lock is taken by an open that calls close), and TryLock never waits.
#include <mutex>

#include "platform/platform.h"

namespace orn::platform {

struct RecursiveLock::Impl {
    std::recursive_mutex mutex;
};

RecursiveLock::RecursiveLock() : impl_(new Impl) {}

RecursiveLock::~RecursiveLock() {
    delete impl_;
}

void RecursiveLock::Lock() {
    impl_->mutex.lock();
}

void RecursiveLock::Unlock() {
    impl_->mutex.unlock();
}

bool RecursiveLock::TryLock() {
    return impl_->mutex.try_lock();
}

}  // namespace orn::platform
