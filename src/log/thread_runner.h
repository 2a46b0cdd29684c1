// Starting and stopping the library's worker threads with the start-event handshake and the
// bounded stop, logging each outcome in the fixed words of the thread concerned.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "log/logger.h"
#include "platform/platform.h"

namespace orn {

// Lines logged for the outcome of a wait for a thread's start event. `signalled` takes the
// thread id (%08X) and is logged at Info; the others are logged at Severe.
struct ThreadStartWords {
    std::string signalled, timeout, abandoned, failed, defaulted;
    // "<prefix> signaled startup: ID=%08X\n", "<prefix> start up timed out!", ...
    static ThreadStartWords ForPrefix(const std::string& prefix);
};

// Lines logged for the outcome of a stop. `properly` at Info, the others at Severe.
struct ThreadStopWords {
    std::string properly, improperly, abandoned, failed, defaulted;
    // "<prefix> shutdown properly", "<prefix> shutdown improperly, terminating thread",
    // "<prefix> shutdown Wait Abandoned", "... Wait Failed", "... Wait Defaulted".
    static ThreadStopWords ForPrefix(const std::string& prefix);
};

// Logs the line of `words` that matches `result` (signalled at Info, others at Severe).
void LogWaitOutcome(CLogger& log, platform::WaitResult result, const ThreadStartWords& words,
                    uint32_t threadId);

// Waits up to `ms` for a thread that has been told to stop (kill event or stop flag set by the
// caller), logs the outcome, and abandons a thread that did not end in time: it is detached and
// keeps alive only what its body owns. Returns the wait outcome.
platform::WaitResult StopWithTimeout(CLogger& log, platform::Thread& thread, uint32_t ms,
                                     const ThreadStopWords& words);

}  // namespace orn
