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

namespace {

// The line of a word table for a wait outcome, in the order signalled/ended, timed out,
// abandoned, failed, other.
const std::string& WordFor(WaitResult result, const std::string& ok, const std::string& timeout,
                           const std::string& abandoned, const std::string& failed,
                           const std::string& defaulted) {
    switch (result) {
        case WaitResult::Signalled:
            return ok;
        case WaitResult::Timeout:
            return timeout;
        case WaitResult::Abandoned:
            return abandoned;
        case WaitResult::Failed:
            return failed;
        default:
            return defaulted;
    }
}

}  // namespace

// The signalled line carries a %08X for the thread id, so it is passed as the format.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
void LogWaitOutcome(CLogger& log, WaitResult result, const ThreadStartWords& words,
                    uint32_t threadId) {
    if (result == WaitResult::Signalled) {
        log.Log(kLogInfo, words.signalled.c_str(), threadId);
        return;
    }
    log.Log(kLogSevere, "%s",
            WordFor(result, words.signalled, words.timeout, words.abandoned, words.failed,
                    words.defaulted)
                .c_str());
}
#pragma GCC diagnostic pop

WaitResult StopWithTimeout(CLogger& log, platform::Thread& thread, uint32_t ms,
                           const ThreadStopWords& words) {
    WaitResult result = thread.Join(ms);
    log.Log(result == WaitResult::Signalled ? kLogInfo : kLogSevere, "%s",
            WordFor(result, words.properly, words.improperly, words.abandoned, words.failed,
                    words.defaulted)
                .c_str());
    if (result == WaitResult::Timeout) thread.Abandon();
    return result;
}

}  // namespace orn
