// The recursive lock is a standard recursive mutex: the same thread may take it again (the port
// lock is taken by an open that calls close), and TryLock never waits. The plain lock is a
// standard mutex.
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

namespace orn::platform {

struct Mutex::Impl {
    std::mutex mutex;
};

Mutex::Mutex() : impl_(new Impl) {}

Mutex::~Mutex() {
    delete impl_;
}

void Mutex::Lock() {
    impl_->mutex.lock();
}

void Mutex::Unlock() {
    impl_->mutex.unlock();
}

bool Mutex::TryLock() {
    return impl_->mutex.try_lock();
}

}  // namespace orn::platform
