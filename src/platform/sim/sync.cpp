// Events, locks, threads and the clock of the simulated platform, on the seeded scheduler.
// Every wait, lock, sleep and thread start is a scheduling point, and so is a reset (a thread
// may be preempted just before it clears an event, where a set meanwhile is lost); Set and
// Unlock are not (the fiber they make ready competes at the next point).
#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/sim_platform.h"

namespace orn::platform {

namespace {

WaitResult Outcome(bool ready) {
    return ready ? WaitResult::Signalled : WaitResult::Timeout;
}

uint32_t g_tickBase = 1000;

}  // namespace

// ---------------------------------------------------------------------------------------------
struct Event::Impl {
    bool manualReset;
    bool signalled;
    uint64_t version = 0;     // moves at every set (the waits' version)
    uint32_t anyWaiters = 0;  // fibers in a WaitForAny on it
};

Event::Event(bool manualReset, bool initiallySet) : impl_(new Impl{manualReset, initiallySet}) {}

Event::~Event() {
    delete impl_;
}

void Event::Set() {
    impl_->signalled = true;
    ++impl_->version;
    if (impl_->anyWaiters) sim::Changed();
}

void Event::Reset() {
    sim::Point();
    impl_->signalled = false;
}

WaitResult Event::Wait(uint32_t ms) {
    const sim::WaitSite site{"Event::Wait", this, __builtin_return_address(0), nullptr,
                             &impl_->version};
    const bool ready = sim::Block(
        [](const void* arg) { return static_cast<const Impl*>(arg)->signalled; }, impl_, ms, site);
    if (ready && !impl_->manualReset) impl_->signalled = false;
    return Outcome(ready);
}

bool Event::IsSet() const {
    return impl_->signalled;
}

namespace {
struct AnyOf {
    Event* const* events;
    size_t count;
};
bool AnySet(const void* arg) {
    const auto* any = static_cast<const AnyOf*>(arg);
    for (size_t i = 0; i < any->count; ++i)
        if (any->events[i]->IsSet()) return true;
    return false;
}
}  // namespace

WaitResult WaitForAny(Event* const* events, size_t count, uint32_t ms, size_t* index) {
    if (count == 0) return WaitResult::Failed;
    const AnyOf any{events, count};
    const sim::WaitSite site{"WaitForAny", events[0], __builtin_return_address(0), nullptr,
                             sim::Changes()};
    for (size_t i = 0; i < count; ++i) ++events[i]->impl()->anyWaiters;
    const bool ready = sim::Block(AnySet, &any, ms, site);
    for (size_t i = 0; i < count; ++i) --events[i]->impl()->anyWaiters;
    if (!ready) return WaitResult::Timeout;
    for (size_t i = 0; i < count; ++i) {
        if (!events[i]->IsSet()) continue;
        if (!events[i]->impl()->manualReset) events[i]->Reset();
        if (index) *index = i;
        return WaitResult::Signalled;
    }
    return WaitResult::Failed;
}

// ---------------------------------------------------------------------------------------------
// One lock shape for the recursive lock and a plain one: a plain lock taken again by its owner
// is a self-deadlock, which the scheduler reports like any other.
struct LockCore {
    uint32_t owner = 0;
    uint32_t depth = 0;
    uint64_t version = 0;  // moves when it is freed

    struct Attempt {
        const LockCore* lock;
        uint32_t me;
    };
    static bool Free(const void* arg) {
        const auto* a = static_cast<const Attempt*>(arg);
        return a->lock->owner == 0;
    }

    void Acquire(bool recursive, void* caller) {
        const uint32_t me = sim::CurrentId();
        if (recursive && owner == me) {
            ++depth;
            return;
        }
        const Attempt attempt{this, me};
        const sim::WaitSite site{
            "Lock", this, caller,
            [](const void* lock) { return static_cast<const LockCore*>(lock)->owner; }, &version};
        sim::Block(Free, &attempt, kInfinite, site);
        owner = me;
        depth = 1;
    }
    bool TryAcquire(bool recursive) {
        const uint32_t me = sim::CurrentId();
        if (owner == 0 || (recursive && owner == me)) {
            owner = me;
            ++depth;
            return true;
        }
        return false;
    }
    void Release() {
        if (owner != sim::CurrentId() || depth == 0) sim::Fail("a lock released by a non-owner");
        if (--depth == 0) {
            owner = 0;
            ++version;
        }
    }
};

struct RecursiveLock::Impl : LockCore {};

RecursiveLock::RecursiveLock() : impl_(new Impl) {}

RecursiveLock::~RecursiveLock() {
    delete impl_;
}

void RecursiveLock::Lock() {
    impl_->Acquire(true, __builtin_return_address(0));
}

void RecursiveLock::Unlock() {
    impl_->Release();
}

bool RecursiveLock::TryLock() {
    return impl_->TryAcquire(true);
}

struct Mutex::Impl : LockCore {};

Mutex::Mutex() : impl_(new Impl) {}

Mutex::~Mutex() {
    delete impl_;
}

void Mutex::Lock() {
    impl_->Acquire(false, __builtin_return_address(0));
}

void Mutex::Unlock() {
    impl_->Release();
}

bool Mutex::TryLock() {
    return impl_->TryAcquire(false);
}

// ---------------------------------------------------------------------------------------------
struct Thread::Control {
    std::function<uint32_t()> body;
    uint32_t id = 0;
    bool finished = false;
    uint32_t exitCode = 0;
    bool joined = false;
    bool detached = false;
    uint64_t version = 0;  // moves when it finishes
};

namespace {
// The thread's name: its body's type, demangled once per type.
const std::string& BodyName(const std::function<uint32_t()>& body) {
    static std::vector<std::pair<const std::type_info*, std::string>> known;
    const std::type_info& type = body.target_type();
    for (const auto& [seen, name] : known)
        if (*seen == type) return name;
    int status = 0;
    char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    known.emplace_back(&type, status == 0 && name ? name : type.name());
    std::free(name);
    return known.back().second;
}
}  // namespace

Thread::Thread() = default;

Thread::~Thread() {
    if (Started() && !Finished()) Abandon();
}

Status Thread::Start(std::function<uint32_t()> body) {
    if (Started()) return kErrAlreadyOpen;
    if (!body) return kErrInvalidParameter;
    auto control = std::make_shared<Control>();
    const std::string name = BodyName(body);
    control->body = std::move(body);
    control->id = sim::Spawn(
        name,
        [control] {
            const uint32_t code = control->body();
            control->body = nullptr;
            control->exitCode = code;
            control->finished = true;
            ++control->version;
        },
        false);
    control_ = std::move(control);
    sim::Point();
    return 0;
}

bool Thread::Started() const {
    return control_ && !control_->joined && !control_->detached;
}

WaitResult Thread::Join(uint32_t ms) {
    if (!control_ || control_->detached) return WaitResult::Failed;
    if (control_->joined) return WaitResult::Signalled;
    if (control_->id == sim::CurrentId()) return WaitResult::Failed;
    const sim::WaitSite site{"Thread::Join", this, __builtin_return_address(0), nullptr,
                             &control_->version};
    const bool done =
        sim::Block([](const void* arg) { return static_cast<const Control*>(arg)->finished; },
                   control_.get(), ms, site);
    if (!done) return WaitResult::Timeout;
    control_->joined = true;
    return WaitResult::Signalled;
}

bool Thread::Finished() const {
    return control_ && control_->finished;
}

void Thread::Abandon() {
    if (!Started()) return;
    control_->detached = true;
}

uint32_t Thread::Id() const {
    return control_ ? control_->id : 0;
}

uint32_t Thread::ExitCode() const {
    return control_ ? control_->exitCode : 0;
}

uint32_t CurrentThreadId() {
    return sim::CurrentId();
}

uint32_t CurrentProcessId() {
    return 4242;
}

bool ProcessIsEnding() {
    return false;
}

// ---------------------------------------------------------------------------------------------
uint32_t TickCount() {
    return g_tickBase + static_cast<uint32_t>(sim::NowUs() / 1000);
}

void SleepMs(uint32_t ms) {
    if (ms == 0) {
        sim::Point();
        return;
    }
    const sim::WaitSite site{"SleepMs", nullptr, __builtin_return_address(0)};
    sim::Block([](const void*) { return false; }, nullptr, ms, site);
}

LocalTime GetLocalTime() {
    // A fixed day; the clock moves with virtual time.
    const uint64_t ms = sim::NowUs() / 1000 + 10ull * 3600 * 1000;
    LocalTime t{};
    t.year = 2026;
    t.month = 3;
    t.day = 14 + static_cast<int>(ms / 86'400'000);
    t.hour = static_cast<int>(ms / 3'600'000 % 24);
    t.minute = static_cast<int>(ms / 60'000 % 60);
    t.second = static_cast<int>(ms / 1000 % 60);
    t.millisecond = static_cast<int>(ms % 1000);
    t.dayOfWeek = (6 + t.day - 14) % 7;
    return t;
}

void sim::SetTickBase(uint32_t base) {
    g_tickBase = base;
}

}  // namespace orn::platform
