// Fibers, the seeded chooser and virtual time (see scheduler.h).
//
// A fiber starts once through makecontext/setcontext and is switched afterwards with
// _setjmp/_longjmp, which leave the signal mask alone and so cost no system call. A fiber at a
// scheduling point makes the choice itself (ChooseNext): when it is chosen again, as it mostly
// is, it goes on without a switch; otherwise it leaves for the scheduler's loop on the OS
// thread's own stack, which runs the fiber chosen. The choices are the same either way.
//
// Thread-local variables of the library hold per-thread facts (a callback thread, deferred
// wakes), so each fiber gets its own copy: the executable's static TLS block is saved and
// loaded at every switch.
#undef _FORTIFY_SOURCE  // longjmp between stacks is what fibers are made of
#include "platform/sim/scheduler.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>
#include <setjmp.h>
#include <ucontext.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

// AddressSanitizer cleans up the stack a jump leaves (in its _longjmp and before every call that
// does not return), which costs a system call (sigaltstack) per switch and, on a fiber's stack,
// is skipped anyway. With the sanitizer on, fibers switch with the compiler's own jumps, from
// functions it leaves uninstrumented; the fibers' own frames are never left by a jump. The
// fuzz build compiles this file without the sanitizer but links its run-time (and its
// interceptors): ORN_SIM_SANITIZED_PROCESS says so.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || defined(ORN_SIM_SANITIZED_PROCESS)
#define ORN_SIM_SETJMP(buf) __builtin_setjmp(reinterpret_cast<void**>(buf))
#define ORN_SIM_LONGJMP(buf) __builtin_longjmp(reinterpret_cast<void**>(buf), 1)
#define ORN_SIM_SWITCH __attribute__((no_sanitize_address))
// Its memcpy would check both ranges of the TLS copies at every switch; UBSan, each byte.
#define ORN_SIM_NO_MEMCPY __attribute__((no_builtin("memcpy"), no_sanitize("undefined")))
#endif
#endif
#ifndef ORN_SIM_SETJMP
#define ORN_SIM_SETJMP(buf) _setjmp(buf)
#define ORN_SIM_LONGJMP(buf) _longjmp(buf, 1)
#define ORN_SIM_SWITCH
#define ORN_SIM_NO_MEMCPY
#endif

namespace orn::platform::sim {
namespace {

constexpr size_t kStackSize = 256 * 1024;
constexpr uint64_t kNever = UINT64_MAX;
constexpr uint64_t kTimerSlackUs = 20'000;

// The TLS block of the module this file is linked into (the executable).
thread_local char t_probe;
struct TlsBlock {
    char* data = nullptr;
    size_t size = 0;
    const char* image = nullptr;
    size_t imageSize = 0;
};

int FindTls(dl_phdr_info* info, size_t, void* arg) {
    auto* block = static_cast<TlsBlock*>(arg);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_TLS || info->dlpi_tls_data == nullptr) continue;
        char* start = static_cast<char*>(info->dlpi_tls_data);
        if (&t_probe < start || &t_probe >= start + ph.p_memsz) continue;
        block->data = start;
        block->size = ph.p_memsz;
        block->image = reinterpret_cast<const char*>(info->dlpi_addr + ph.p_vaddr);
        block->imageSize = ph.p_filesz;
        return 1;
    }
    return 0;
}

const TlsBlock& Tls() {
    static TlsBlock block = [] {
        TlsBlock b;
        t_probe = 0;  // the block exists once touched
        dl_iterate_phdr(FindTls, &b);
        if (!b.data) {
            std::fprintf(stderr, "dsim: the executable's TLS block was not found\n");
            std::abort();
        }
        return b;
    }();
    return block;
}

enum class State { Runnable, Blocked, Done };

struct Fiber {
    uint32_t id = 0;
    std::string name;
    bool app = false;
    std::function<void()> body;
    State state = State::Runnable;
    bool started = false;
    ucontext_t context{};
    jmp_buf jump{};
    char* stack = nullptr;
    std::vector<char> tls;
    // While blocked.
    ReadyFn ready = nullptr;
    const void* arg = nullptr;
    uint64_t deadline = kNever;
    WaitSite site;
    uint64_t unreadyAt = kNever;  // the wait's version when it was found not ready
    void* frames[12] = {};
    int depth = 0;
    bool timedOut = false;
};

// Why ChooseNext found no fiber to run.
enum class End { Finished, Deadlock, TimeLimit, ChoiceLimit, Failed };

struct RunState {
    uint64_t rng = 0;
    uint64_t now = 0;
    uint64_t choices = 0;
    uint64_t changes = 0;  // Changed() calls
    uint64_t maxChoices = 20'000'000;
    uint64_t maxUs = 4ull * 3600 * 1000 * 1000;
    uint32_t nextId = 0;
    std::vector<std::unique_ptr<Fiber>> fibers;
    Fiber* current = nullptr;
    jmp_buf loop{};
    std::vector<char> mainTls;
    // Whose copy the TLS block holds between switches: a fiber's, the OS thread's own (null)
    // or a fiber's that has ended (tlsLeftover, nothing to keep).
    Fiber* tlsHolder = nullptr;
    bool tlsLeftover = false;
    std::vector<char*> freeStacks;
    std::string* traceText = nullptr;
    uint64_t hash = 1469598103934665603ull;
    bool failed = false;
    std::string failure;
    std::vector<Fiber*> candidates;
    bool deepSites = false;
    // A fiber that left for the loop has chosen what runs next: `next`, or nothing (`end`).
    bool chosen = false;
    Fiber* next = nullptr;
    End end = End::Finished;
};

RunState& R() {
    static RunState run;
    return run;
}

uint64_t Next() {
    // splitmix64: small, fast and the same everywhere.
    uint64_t z = (R().rng += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void HashBytes(const char* data, size_t n) {
    uint64_t h = R().hash;
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(data[i])) * 1099511628211ull;
    R().hash = h;
}

// Whether a blocked fiber's wait is over; a versioned wait found not ready is not asked again
// before its version moves.
bool Ready(Fiber* f) {
    const uint64_t* version = f->site.version;
    if (version && f->unreadyAt == *version) return false;
    const bool ready = f->ready(f->arg);
    if (!ready && version) f->unreadyAt = *version;
    return ready;
}

// The seeded choice of the fiber that runs next, with its bookkeeping (virtual time, the
// choice count, the trace hash, a chosen waiter's outcome); null when the run ends (R().end).
Fiber* ChooseNext() {
    RunState& r = R();
    for (;;) {
        if (r.failed) {
            r.end = End::Failed;
            return nullptr;
        }
        if (r.candidates.size() < r.fibers.size()) r.candidates.resize(r.fibers.size());
        Fiber** candidates = r.candidates.data();
        size_t count = 0;
        uint64_t nextTimer = kNever;
        bool alive = false;
        for (auto& up : r.fibers) {
            Fiber* f = up.get();
            if (f->state == State::Done) continue;
            alive = true;
            if (f->state == State::Runnable || Ready(f) || f->deadline <= r.now) {
                candidates[count++] = f;
            } else if (f->deadline < nextTimer) {
                nextTimer = f->deadline;
            }
        }
        if (!alive) {
            r.end = End::Finished;
            return nullptr;
        }
        if (count == 0) {
            if (nextTimer == kNever) {
                r.end = End::Deadlock;
                return nullptr;
            }
            r.now = nextTimer;
            if (r.now > r.maxUs) {
                r.end = End::TimeLimit;
                return nullptr;
            }
            continue;
        }
        if (++r.choices > r.maxChoices) {
            r.end = End::ChoiceLimit;
            return nullptr;
        }
        r.now += 1;  // code costs a little time, so polling loops move on
        Fiber* f = candidates[count == 1 ? 0 : Next() % count];
        if (f->state == State::Blocked) {
            f->timedOut = !f->ready(f->arg);
            // Timers are not exact: a wait whose limit is near may run out just before what it
            // waits for arrives. Time moves on to the limit for that.
            if (!f->timedOut && f->deadline != kNever && f->deadline > r.now &&
                f->deadline - r.now <= kTimerSlackUs && Next() % 8 == 0) {
                f->timedOut = true;
                r.now = f->deadline;
            }
            f->state = State::Runnable;
        }
        HashBytes(reinterpret_cast<const char*>(&f->id), sizeof f->id);
        return f;
    }
}

// A scheduling point of the running fiber: it goes on if chosen, else leaves for the loop.
ORN_SIM_SWITCH void SwitchOut() {
    RunState& r = R();
    Fiber* f = r.current;
    Fiber* next = ChooseNext();
    if (next == f) return;
    r.chosen = true;
    r.next = next;
    if (!ORN_SIM_SETJMP(f->jump)) ORN_SIM_LONGJMP(r.loop);
}

// Copies a TLS block by hand, unchecked under the sanitizer (the block is tiny), a word at a
// time (the blocks are word-aligned).
ORN_SIM_NO_MEMCPY ORN_SIM_SWITCH void CopyTls(char* to, const char* from, size_t size) {
    using Word = uint64_t __attribute__((may_alias));
    size_t i = 0;
    for (; i + sizeof(Word) <= size; i += sizeof(Word))
        *reinterpret_cast<Word*>(to + i) = *reinterpret_cast<const Word*>(from + i);
    for (; i < size; ++i) to[i] = from[i];
}

ORN_SIM_SWITCH void Entry() {
    Fiber* f = R().current;
    f->body();
    f->body = nullptr;  // its captures go while the fiber still counts as running
    f->state = State::Done;
    ORN_SIM_LONGJMP(R().loop);
}

// Loads `f`'s copy of the TLS block (null: the OS thread's own), keeping the holder's.
ORN_SIM_SWITCH void LoadTls(Fiber* f) {
    RunState& r = R();
    if (r.tlsHolder == f && !r.tlsLeftover) return;
    const TlsBlock& tls = Tls();
    if (!r.tlsLeftover)
        CopyTls(r.tlsHolder ? r.tlsHolder->tls.data() : r.mainTls.data(), tls.data, tls.size);
    CopyTls(tls.data, f ? f->tls.data() : r.mainTls.data(), tls.size);
    r.tlsHolder = f;
    r.tlsLeftover = false;
}

// Runs `f` until its next switch. The scheduler's loop between two fibers keeps the TLS block
// of the last (it touches none), so a switch copies one block out and one in.
ORN_SIM_SWITCH void RunFiber(Fiber* f) {
    RunState& r = R();
    LoadTls(f);
    r.current = f;
    if (!ORN_SIM_SETJMP(r.loop)) {
        if (!f->started) {
            f->started = true;
            setcontext(&f->context);
        }
        ORN_SIM_LONGJMP(f->jump);
    }
    r.current = nullptr;
    if (f->state == State::Done) {
        r.tlsLeftover = true;
        r.freeStacks.push_back(f->stack);
        for (auto it = r.fibers.begin(); it != r.fibers.end(); ++it) {
            if (it->get() != f) continue;
            r.fibers.erase(it);
            break;
        }
    }
}

std::string Symbol(void* address) {
    Dl_info info{};
    if (!address || !dladdr(address, &info) || !info.dli_fbase) return "?";
    const uintptr_t offset =
        reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(info.dli_fbase) - 1;
    char command[512];
    std::snprintf(command, sizeof command, "addr2line -Cfe '%s' 0x%" PRIxPTR " 2>/dev/null",
                  info.dli_fname, offset);
    std::string out;
    if (FILE* pipe = popen(command, "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, pipe)) {
            line[std::strcspn(line, "\n")] = 0;
            if (!out.empty()) out += " at ";
            out += line;
        }
        pclose(pipe);
    }
    return out.empty() ? "?" : out;
}

std::string Describe(const Fiber& f) {
    char head[64];
    std::snprintf(head, sizeof head, "  thread %u ", f.id);
    std::string line = head + f.name + ": ";
    if (f.state == State::Blocked) line += f.site.what;
    char obj[48];
    std::snprintf(obj, sizeof obj, " (%p)", f.site.object);
    line += obj;
    if (f.state != State::Blocked) return line + "running";
    line += f.deadline == kNever ? " without limit" : " with a timer";
    if (f.site.owner) line += ", held by thread " + std::to_string(f.site.owner(f.site.object));
    line += ", from " + Symbol(f.site.caller);
    for (int i = 2; i < f.depth; ++i) line += "\n      " + Symbol(f.frames[i]);
    return line;
}

}  // namespace

void LinkStdMutex();

void Begin(uint64_t seed, std::string* traceText) {
    LinkStdMutex();
    RunState& r = R();
    for (auto& f : r.fibers)
        if (f->stack) r.freeStacks.push_back(f->stack);  // only after a failed run
    r.fibers.clear();
    r.rng = seed * 0x2545F4914F6CDD1Dull + 0x1234567ull;
    r.now = 0;
    r.choices = 0;
    r.nextId = 0x100;
    r.current = nullptr;
    r.traceText = traceText;
    r.hash = 1469598103934665603ull;
    r.failed = false;
    r.failure.clear();
    r.mainTls.resize(Tls().size);
}

uint32_t Spawn(const std::string& name, std::function<void()> body, bool app) {
    RunState& r = R();
    auto f = std::make_unique<Fiber>();
    f->id = r.nextId++;
    f->name = name;
    f->app = app;
    f->body = std::move(body);
    if (r.freeStacks.empty()) {
        f->stack = static_cast<char*>(std::malloc(kStackSize));
    } else {
        f->stack = r.freeStacks.back();
        r.freeStacks.pop_back();
    }
    const TlsBlock& tls = Tls();
    f->tls.assign(tls.size, 0);
    std::memcpy(f->tls.data(), tls.image, tls.imageSize);
    getcontext(&f->context);
    f->context.uc_stack.ss_sp = f->stack;
    f->context.uc_stack.ss_size = kStackSize;
    f->context.uc_link = nullptr;
    makecontext(&f->context, Entry, 0);
    const uint32_t id = f->id;
    Trace("start " + std::to_string(id) + " " + name);
    r.fibers.push_back(std::move(f));
    return id;
}

Outcome Run(std::string* why) {
    RunState& r = R();
    r.chosen = false;
    for (;;) {
        Fiber* f = r.chosen ? r.next : ChooseNext();
        r.chosen = false;
        if (f) {
            RunFiber(f);
            continue;
        }
        LoadTls(nullptr);
        switch (r.end) {
            case End::Finished:
                r.fibers.clear();
                return Outcome::Finished;
            case End::Deadlock:
                *why = "deadlock: every thread waits and no timer is pending\n";
                for (auto& blocked : r.fibers)
                    if (blocked->state == State::Blocked) *why += Describe(*blocked) + "\n";
                return Outcome::Deadlock;
            case End::TimeLimit:
                *why = "livelock: virtual time ran past its limit";
                return Outcome::Livelock;
            case End::ChoiceLimit:
                *why = "livelock: too many scheduling choices";
                return Outcome::Livelock;
            case End::Failed:
                *why = r.failure;
                return Outcome::Livelock;
        }
    }
}

void Fail(const std::string& why) {
    RunState& r = R();
    r.failed = true;
    r.failure = why;
    Fiber* f = r.current;
    f->state = State::Blocked;
    f->ready = [](const void*) { return false; };
    f->deadline = kNever;
    f->site = WaitSite{"failed", nullptr, nullptr};
    SwitchOut();
    std::abort();  // never resumed
}

bool InFiber() {
    return R().current != nullptr;
}

uint32_t CurrentId() {
    return R().current ? R().current->id : 1;
}

const std::string& CurrentName() {
    static const std::string outside = "main";
    return R().current ? R().current->name : outside;
}

uint64_t NowUs() {
    return R().now;
}

uint64_t Choose(uint64_t n) {
    return Next() % n;
}

bool Chance(uint32_t percent) {
    return Next() % 100 < percent;
}

const uint64_t* Changes() {
    return &R().changes;
}

void Changed() {
    ++R().changes;
}

void Point() {
    if (!R().current) return;
    SwitchOut();
}

bool Block(ReadyFn ready, const void* arg, uint32_t ms, const WaitSite& site) {
    RunState& r = R();
    Fiber* f = r.current;
    if (!f) return ready(arg);  // outside the simulation nothing can change: do not wait
    f->state = State::Blocked;
    f->ready = ready;
    f->arg = arg;
    f->deadline = ms == 0xFFFFFFFFu ? kNever : r.now + uint64_t{ms} * 1000;
    f->site = site;
    f->unreadyAt = kNever;
    f->timedOut = false;
    f->depth = r.deepSites ? backtrace(f->frames, 12) : 0;
    SwitchOut();
    f->ready = nullptr;
    return !f->timedOut;
}

void Trace(const std::string& text) {
    RunState& r = R();
    char head[64];
    std::snprintf(head, sizeof head, "t=%" PRIu64 " %u: ", r.now, CurrentId());
    HashBytes(head, std::strlen(head));
    HashBytes(text.data(), text.size());
    if (r.traceText) {
        *r.traceText += head;
        *r.traceText += text;
        *r.traceText += '\n';
    }
}

uint64_t TraceHash() {
    return R().hash;
}

bool Tracing() {
    return R().traceText != nullptr;
}

size_t LiveFibers(bool withApp, std::string* names) {
    size_t n = 0;
    for (auto& f : R().fibers) {
        if (f->state == State::Done || (f->app && !withApp)) continue;
        ++n;
        if (names) *names += Describe(*f) + "\n";
    }
    return n;
}

uint64_t Choices() {
    return R().choices;
}

void SetDeepSites(bool on) {
    R().deepSites = on;
}

void SetLimits(uint64_t maxChoices, uint64_t maxVirtualUs) {
    R().maxChoices = maxChoices;
    R().maxUs = maxVirtualUs;
}

}  // namespace orn::platform::sim
