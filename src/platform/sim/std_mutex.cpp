// A few parts of the library guard short sections with std::mutex rather than the seam's lock.
// On fibers a real mutex held across a scheduling point would block the one OS thread for
// good, so the simulation takes over pthread_mutex_lock: a fiber that finds the mutex held
// waits for it like for any lock (a scheduling point the deadlock report names).
#include <dlfcn.h>
#include <pthread.h>

#include <cerrno>

#include "platform/sim/scheduler.h"

namespace {

using LockFn = int (*)(pthread_mutex_t*);

int RealLock(pthread_mutex_t* mutex) {
    static const LockFn real = reinterpret_cast<LockFn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    return real(mutex);
}

bool Unheld(const void* arg) {
    // glibc's word: 0 while nobody holds the mutex.
    return static_cast<const pthread_mutex_t*>(arg)->__data.__lock == 0;
}

}  // namespace

extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) {
    if (!orn::platform::sim::InFiber()) return RealLock(mutex);
    for (;;) {
        const int rc = pthread_mutex_trylock(mutex);
        if (rc != EBUSY) return rc;
        const orn::platform::sim::WaitSite site{"std::mutex", mutex, __builtin_return_address(0)};
        orn::platform::sim::Block(Unheld, mutex, 0xFFFFFFFFu, site);
    }
}

namespace orn::platform::sim {
// Referenced by the scheduler so that the archive member (and with it the definition above)
// is always linked.
void LinkStdMutex() {}
}  // namespace orn::platform::sim
