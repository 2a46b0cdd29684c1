// The simulated platform's scheduler: every library thread is a fiber on one OS thread, and a
// seeded chooser decides at each lock, event wait, timed wait, sleep and thread start which
// fiber runs next. Time is virtual: it stands still while fibers run and jumps to the next timer
// when every fiber is blocked. Every fiber blocked with no timer pending is a deadlock and ends
// the run at once, naming each fiber's wait. The same seed gives the same run, choice for choice.
//
// The runner (tools/dsim) drives it: Begin, Spawn the application fibers, Run. The backend's
// primitives (sync.cpp, device.cpp) call Point and Block. Not thread-safe: one OS thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace orn::platform::sim {

// Readiness of a blocked fiber, asked by the scheduler before each choice.
using ReadyFn = bool (*)(const void* arg);

// Where a fiber waits, for the deadlock report.
struct WaitSite {
    const char* what = "";                            // "Event::Wait", "Lock", ...
    const void* object = nullptr;                     // the event, lock or thread waited for
    void* caller = nullptr;                           // return address into the library
    uint32_t (*owner)(const void* object) = nullptr;  // a lock's holder, for the report
    // A count that moves whenever the wait may have ended (an event set, a lock freed): while
    // it stands, a wait found not ready is not asked again. Null: asked at every choice.
    const uint64_t* version = nullptr;
};

enum class Outcome { Finished, Deadlock, Livelock };

// A fresh run: no fibers, virtual time 0, the chooser seeded. `traceText` (may be null)
// receives the trace; the trace's hash is kept either way (TraceHash).
void Begin(uint64_t seed, std::string* traceText);
// A new fiber running `body`, runnable at once. `app` marks the scenario's own fibers, which
// are not counted as threads the library left behind. Returns its thread id.
uint32_t Spawn(const std::string& name, std::function<void()> body, bool app);
// Runs fibers until all have ended or the run fails; *why describes a failure.
Outcome Run(std::string* why);
// Stops a running Run from inside a fiber (an invariant failed): Run returns Livelock with
// `why` once the calling fiber yields. Never returns to the caller.
[[noreturn]] void Fail(const std::string& why);

bool InFiber();
uint32_t CurrentId();  // the running fiber's id; 1 outside fibers
const std::string& CurrentName();
uint64_t NowUs();  // virtual time
// The seeded chooser: a number below n (n > 0). Every call is part of the run's choices.
uint64_t Choose(uint64_t n);
bool Chance(uint32_t percent);

// A scheduling point: the chooser may run another fiber first.
void Point();
// The version of waits on several objects: Changed() moves it.
const uint64_t* Changes();
void Changed();
// Blocks the calling fiber until ready(arg) is true (true) or `ms` has passed (false; never
// with kInfinite). A fiber whose condition already holds still passes a scheduling point.
bool Block(ReadyFn ready, const void* arg, uint32_t ms, const WaitSite& site);

// With deep sites on, every wait records its call stack for the deadlock report (slow; for
// replaying one seed).
void SetDeepSites(bool on);

// One line of the trace ("t=<us> <fiber>: <text>").
void Trace(const std::string& text);
uint64_t TraceHash();
bool Tracing();

// Fibers not yet ended; `withApp` counts the scenario's own too. `names` lists the others.
size_t LiveFibers(bool withApp, std::string* names = nullptr);
uint64_t Choices();  // scheduling choices made in this run

// Limits of one run: more choices than this, or virtual time past this, is a livelock.
void SetLimits(uint64_t maxChoices, uint64_t maxVirtualUs);

}  // namespace orn::platform::sim
