// The fuzz targets' engine on the simulated platform: every input is a run of its own, the
// engine's threads fibers on virtual time and the terminal the simulation's scripted one on a
// clean link. The input's schedule picks the interleaving, so an input replays exactly. The log
// stays off: the targets on threads cover its dumps, and here it would take a third of the time.
#include <cstdio>
#include <cstdlib>

#include "engine/generic_handler.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/sim_platform.h"
#include "terminal.h"
#include "velquoraorn.h"

namespace orn::fuzz {

namespace {

namespace sim = orn::platform::sim;

dsim::Terminal g_Terminal;

// Runs `body` as the run's one application fiber (beside the terminal when `withTerminal`: a
// run without a link has nothing for it to do, and every fiber costs the scheduler at every
// choice); a deadlock, a livelock or a library thread still alive after `body` fails the input.
void Run(uint64_t schedule, bool withTerminal, const std::function<void()>& body) {
    // ORN_FUZZ_TRACE set: the run's trace goes to standard error (for replaying one input).
    const bool tracing = std::getenv("ORN_FUZZ_TRACE") != nullptr;
    std::string trace;
    sim::Begin(schedule, tracing ? &trace : nullptr);
    sim::ResetPort();
    if (withTerminal) {
        g_Terminal.Reset(dsim::Faults{});
        sim::Spawn(
            "terminal", [] { g_Terminal.Run(); }, true);
    }
    sim::Spawn(
        "fuzz",
        [&body, withTerminal] {
            body();
            // A callback that outlived the close's wait may still be finishing.
            sim::Block([](const void*) { return sim::LiveFibers(false) == 0; }, nullptr, 10000,
                       sim::WaitSite{"library threads", nullptr, nullptr});
            std::string left;
            if (sim::LiveFibers(false, &left) != 0)
                sim::Fail("threads left after the close:\n" + left);
            if (withTerminal) g_Terminal.Stop();
        },
        true);
    std::string why;
    const bool finished = sim::Run(&why) == sim::Outcome::Finished;
    if (tracing) std::fputs(trace.c_str(), stderr);
    if (!finished) Check(false, why.c_str());
}

// As StartEngineOnce on threads, for this run (without the log).
void StartEngine() {
    Engine().SetLinkMonitoring(false);
    Engine().StartThreads();
}

}  // namespace

void WithEngine(uint64_t schedule, const std::function<void()>& body) {
    Run(schedule, false, [&body] {
        StartEngine();
        body();
        Engine().CloseLink();
    });
}

void WithOpenLibrary(uint64_t schedule, const std::function<void()>& body) {
    Run(schedule, true, [&body] {
        Check(ornInit("COM1", nullptr, ORN_LOGGER_OFF) == 0, "ornInit");
        body();
        ornClose();
    });
}

void AnswerNext(std::optional<std::string> answer) {
    g_Terminal.AnswerNext(std::move(answer));
}

}  // namespace orn::fuzz
