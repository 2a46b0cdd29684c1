#include "engine/wait_outcome.h"

#include <new>

namespace orn {

platform::WaitResult LogWaitResult(CLogger& log, platform::WaitResult result,
                                   const WaitLines& lines, const char* arg) {
    using platform::WaitResult;
    const WaitLine& line = result == WaitResult::Signalled   ? lines.signalled
                           : result == WaitResult::Timeout   ? lines.timeout
                           : result == WaitResult::Abandoned ? lines.abandoned
                           : result == WaitResult::Failed    ? lines.failed
                                                             : lines.defaulted;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (line.text) log.Log(line.level, line.text, arg);
#pragma GCC diagnostic pop
    return result;
}

std::unique_ptr<platform::Event> CreateEngineEvent(CLogger& log, bool manualReset,
                                                   const char* failureLine) {
    std::unique_ptr<platform::Event> event(new (std::nothrow) platform::Event(manualReset));
    if (!event) log.Log(kLogSevere, "%s", failureLine);
    return event;
}

}  // namespace orn
