#include "log/thread_runner.h"

namespace orn {

using platform::WaitResult;

ThreadStartWords ThreadStartWords::ForPrefix(const std::string& prefix) {
    return {prefix + " signaled startup: ID=%08X\n", prefix + " start up timed out!",
            prefix + " start up Wait Abandoned", prefix + " start up Wait Failed",
            prefix + " start up Wait Defaulted"};
}

ThreadStopWords ThreadStopWords::ForPrefix(const std::string& prefix) {
    return {prefix + " shutdown properly", prefix + " shutdown improperly, terminating thread",
            prefix + " shutdown Wait Abandoned", prefix + " shutdown Wait Failed",
            prefix + " shutdown Wait Defaulted"};
}

// The word tables hold fixed texts, one of which carries a %08X for the thread id; they are
// passed as the format so the id lands in place.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
void LogWaitOutcome(CLogger& log, WaitResult result, const ThreadStartWords& words,
                    uint32_t threadId) {
    switch (result) {
        case WaitResult::Signalled:
            log.Log(kLogInfo, words.signalled.c_str(), threadId);
            break;
        case WaitResult::Timeout:
            log.Log(kLogSevere, "%s", words.timeout.c_str());
            break;
        case WaitResult::Abandoned:
            log.Log(kLogSevere, "%s", words.abandoned.c_str());
            break;
        case WaitResult::Failed:
            log.Log(kLogSevere, "%s", words.failed.c_str());
            break;
        default:
            log.Log(kLogSevere, "%s", words.defaulted.c_str());
            break;
    }
}
#pragma GCC diagnostic pop

uint32_t StartWithHandshake(CLogger& log, platform::Thread& thread, platform::Event& startEvent,
                            std::function<uint32_t()> body, const ThreadStartWords& words,
                            uint32_t ms) {
    startEvent.Reset();
    uint32_t err = thread.Start(std::move(body));
    if (err != 0) return err;
    LogWaitOutcome(log, startEvent.Wait(ms), words, thread.Id());
    return 0;
}

WaitResult StopWithTimeout(CLogger& log, platform::Thread& thread, uint32_t ms,
                           const ThreadStopWords& words) {
    WaitResult result = thread.Join(ms);
    switch (result) {
        case WaitResult::Signalled:
            log.Log(kLogInfo, "%s", words.properly.c_str());
            break;
        case WaitResult::Timeout:
            log.Log(kLogSevere, "%s", words.improperly.c_str());
            thread.Abandon();
            break;
        case WaitResult::Abandoned:
            log.Log(kLogSevere, "%s", words.abandoned.c_str());
            break;
        case WaitResult::Failed:
            log.Log(kLogSevere, "%s", words.failed.c_str());
            break;
        default:
            log.Log(kLogSevere, "%s", words.defaulted.c_str());
            break;
    }
    return result;
}

}  // namespace orn
