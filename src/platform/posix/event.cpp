// Events on POSIX: each event has its own mutex and condition variable for single waits, and
// keeps a list of multi-event waiters (WaitForAny) to wake when it is set. A multi-event waiter
// registers with every event first and only then looks at their states, so a Set that happens
// between its look and its sleep still reaches it through the waiter's own flag.
//
// Lock order: an event's mutex, then a waiter's mutex. A waiter never holds its own mutex while
// taking an event's.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace orn::platform {

namespace {

using Clock = std::chrono::steady_clock;

struct MultiWaiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;
};

Clock::time_point DeadlineAfter(uint32_t ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace

struct Event::Impl {
    explicit Impl(bool manual, bool set) : manualReset(manual), signalled(set) {}

    mutable std::mutex mutex;
    std::condition_variable cv;
    const bool manualReset;
    bool signalled;
    std::vector<MultiWaiter*> waiters;
    // Sets whose notify is still running after they released `mutex`: the event is not freed
    // under them (a waiter they released may return and destroy the event meanwhile).
    std::atomic<int> notifying{0};

    // Called with `mutex` held: true when signalled, consuming an auto-reset event.
    bool TakeLocked() {
        if (!signalled) return false;
        if (!manualReset) signalled = false;
        return true;
    }
};

Event::Event(bool manualReset, bool initiallySet) : impl_(new Impl(manualReset, initiallySet)) {}

Event::~Event() {
    while (impl_->notifying.load(std::memory_order_acquire) != 0) std::this_thread::yield();
    delete impl_;
}

void Event::Set() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->signalled = true;
        impl_->notifying.fetch_add(1, std::memory_order_relaxed);
        for (MultiWaiter* waiter : impl_->waiters) {
            std::lock_guard<std::mutex> waiterLock(waiter->mutex);
            waiter->woken = true;
            waiter->cv.notify_one();
        }
    }
    // All single waiters wake and re-check: for an auto-reset event the first to take the
    // mutex consumes it and the others go back to sleep. Notified after the mutex is released,
    // so a waiter woken on the other core does not go straight back to sleep on it.
    impl_->cv.notify_all();
    impl_->notifying.fetch_sub(1, std::memory_order_release);
}

void Event::Reset() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->signalled = false;
}

bool Event::IsSet() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->signalled;
}

WaitResult Event::Wait(uint32_t ms) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    auto ready = [this] { return impl_->signalled; };
    // A test without waiting (every log line makes one) needs no trip into the kernel: under
    // load the expired timed wait dominated the cost of a log line.
    if (ms == kInfinite) {
        impl_->cv.wait(lock, ready);
    } else if (ms == 0 ? !ready() : !impl_->cv.wait_until(lock, DeadlineAfter(ms), ready)) {
        return WaitResult::Timeout;
    }
    impl_->TakeLocked();
    return WaitResult::Signalled;
}

WaitResult WaitForAny(Event* const* events, size_t count, uint32_t ms, size_t* index) {
    if (events == nullptr || count == 0) return WaitResult::Failed;
    for (size_t i = 0; i < count; ++i) {
        if (events[i] == nullptr) return WaitResult::Failed;
    }
    const bool infinite = ms == kInfinite;
    const Clock::time_point deadline = infinite ? Clock::time_point() : DeadlineAfter(ms);

    MultiWaiter waiter;
    for (size_t i = 0; i < count; ++i) {
        Event::Impl* impl = events[i]->impl();
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->waiters.push_back(&waiter);
    }

    WaitResult result = WaitResult::Timeout;
    for (;;) {
        bool found = false;
        for (size_t i = 0; i < count && !found; ++i) {
            Event::Impl* impl = events[i]->impl();
            std::lock_guard<std::mutex> lock(impl->mutex);
            if (impl->TakeLocked()) {
                if (index != nullptr) *index = i;
                found = true;
            }
        }
        if (found) {
            result = WaitResult::Signalled;
            break;
        }
        std::unique_lock<std::mutex> lock(waiter.mutex);
        auto woken = [&waiter] { return waiter.woken; };
        if (infinite) {
            waiter.cv.wait(lock, woken);
        } else if (!waiter.cv.wait_until(lock, deadline, woken)) {
            break;
        }
        waiter.woken = false;
    }

    // The same event may be listed twice; each registration is removed once.
    for (size_t i = 0; i < count; ++i) {
        Event::Impl* impl = events[i]->impl();
        std::lock_guard<std::mutex> lock(impl->mutex);
        auto it = std::find(impl->waiters.begin(), impl->waiters.end(), &waiter);
        if (it != impl->waiters.end()) impl->waiters.erase(it);
    }
    return result;
}

}  // namespace orn::platform
