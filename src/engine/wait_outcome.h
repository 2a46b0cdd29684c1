// One place for the five ways a wait of the engine can end (signalled, timed out, abandoned,
// failed, anything else): each wait names the line it logs for each outcome and acts on the
// returned result itself.
#pragma once

#include <cstdint>
#include <memory>

#include "log/logger.h"
#include "platform/platform.h"

namespace orn {

struct WaitLine {
    int32_t level = kLogSevere;
    const char* text = nullptr;  // null: nothing is logged; may take one %s
};

struct WaitLines {
    WaitLine signalled, timeout, abandoned, failed, defaulted;
};

// Logs the line `lines` gives for `result`, with `arg` for a %s in it; returns `result`.
platform::WaitResult LogWaitResult(CLogger& log, platform::WaitResult result,
                                   const WaitLines& lines, const char* arg = "");

// A wait on an event that may be missing (its creation failed): the wait then fails.
inline platform::WaitResult WaitOn(platform::Event* event, uint32_t ms) {
    return event ? event->Wait(ms) : platform::WaitResult::Failed;
}

// An event the engine cannot get is logged with `failureLine` and left null; waits on it then
// fail and are logged by their own lines.
std::unique_ptr<platform::Event> CreateEngineEvent(CLogger& log, bool manualReset,
                                                   const char* failureLine);

}  // namespace orn
