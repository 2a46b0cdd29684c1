// Threads on POSIX. The running thread owns a reference to the control block, which holds the
// body and its captures, so the Thread object can be destroyed (after Abandon) while the body
// still runs. The body is released on its own thread before the thread counts as finished: once
// Join reports Signalled, everything the body captured is gone.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/errors.h"

namespace orn::platform {

struct Thread::Control {
    std::function<uint32_t()> body;  // touched by the new thread only, once started
    std::mutex mutex;
    std::condition_variable cv;
    uint32_t tid = 0;       // guarded by mutex
    bool finished = false;  // guarded by mutex
    uint32_t exitCode = 0;  // guarded by mutex
    // Owner side only (the Thread object's methods).
    pthread_t handle{};
    bool joined = false;
    bool detached = false;
};

namespace {

uint32_t OsThreadId() {
    return static_cast<uint32_t>(::syscall(SYS_gettid));
}

void* ThreadEntry(void* arg) {
    auto* handoff = static_cast<std::shared_ptr<Thread::Control>*>(arg);
    std::shared_ptr<Thread::Control> control = std::move(*handoff);
    delete handoff;
    {
        std::lock_guard<std::mutex> lock(control->mutex);
        control->tid = OsThreadId();
    }
    control->cv.notify_all();

    uint32_t code = control->body();
    control->body = nullptr;

    {
        std::lock_guard<std::mutex> lock(control->mutex);
        control->exitCode = code;
        control->finished = true;
    }
    control->cv.notify_all();
    return nullptr;
}

}  // namespace

Thread::Thread() = default;

Thread::~Thread() {
    if (!Started()) return;
    if (Finished()) {
        pthread_join(control_->handle, nullptr);
        control_->joined = true;
    } else {
        Abandon();
    }
}

Status Thread::Start(std::function<uint32_t()> body) {
    if (Started()) return kErrAlreadyOpen;
    if (!body) return kErrInvalidParameter;
    auto control = std::make_shared<Thread::Control>();
    control->body = std::move(body);
    auto* handoff = new std::shared_ptr<Thread::Control>(control);
    int rc = pthread_create(&control->handle, nullptr, ThreadEntry, handoff);
    if (rc != 0) {
        delete handoff;
        return posix::Failure("pthread_create", rc);
    }
    // Callers log the id right after starting, so wait until the thread has reported it.
    {
        std::unique_lock<std::mutex> lock(control->mutex);
        control->cv.wait(lock, [&control] { return control->tid != 0; });
    }
    control_ = std::move(control);
    return 0;
}

bool Thread::Started() const {
    return control_ && !control_->joined && !control_->detached;
}

WaitResult Thread::Join(uint32_t ms) {
    if (!control_ || control_->detached) return WaitResult::Failed;
    if (control_->joined) return WaitResult::Signalled;
    // A thread waiting for itself would only ever time out.
    if (pthread_equal(pthread_self(), control_->handle)) return WaitResult::Failed;
    {
        std::unique_lock<std::mutex> lock(control_->mutex);
        auto done = [this] { return control_->finished; };
        if (ms == kInfinite) {
            control_->cv.wait(lock, done);
        } else if (!control_->cv.wait_for(lock, std::chrono::milliseconds(ms), done)) {
            return WaitResult::Timeout;
        }
    }
    // The body has returned; the thread is only leaving ThreadEntry, so this is brief.
    if (pthread_join(control_->handle, nullptr) != 0) return WaitResult::Failed;
    control_->joined = true;
    return WaitResult::Signalled;
}

bool Thread::Finished() const {
    if (!control_) return false;
    std::lock_guard<std::mutex> lock(control_->mutex);
    return control_->finished;
}

void Thread::Abandon() {
    if (!Started()) return;
    pthread_detach(control_->handle);
    control_->detached = true;
}

uint32_t Thread::Id() const {
    if (!control_) return 0;
    std::lock_guard<std::mutex> lock(control_->mutex);
    return control_->tid;
}

uint32_t Thread::ExitCode() const {
    if (!control_) return 0;
    std::lock_guard<std::mutex> lock(control_->mutex);
    return control_->exitCode;
}

uint32_t CurrentThreadId() {
    return OsThreadId();
}

uint32_t CurrentProcessId() {
    return static_cast<uint32_t>(::getpid());
}

}  // namespace orn::platform

namespace orn::platform {

// exit() runs the destructors while every thread still runs.
bool ProcessIsEnding() {
    return false;
}

}  // namespace orn::platform
