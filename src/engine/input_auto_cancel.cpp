#include "engine/input_auto_cancel.h"

#include "engine/generic_handler.h"
#include "engine/wait_outcome.h"
#include "log/thread_runner.h"
#include "velquoraorn.h"

namespace orn {

using platform::LockGuard;
using platform::WaitResult;

namespace {
constexpr int32_t kMaxInputTimeoutSeconds = 7200;
}  // namespace

void CInputAutoCancel::CreateEvents() {
    m_hInputTimeoutAutoCancelThreadStartEvent = CreateEngineEvent(
        m_Logger, true,
        "CGenericHandler: Could not Create m_hInputTimeoutAutoCancelThreadStartEvent\n");
    m_hKillInputTimerEvent = CreateEngineEvent(
        m_Logger, true, "CGenericHandler: Could not Create m_hKillInputTimerEvent\n");
}

int32_t CInputAutoCancel::GetInputTimeout() {
    LockGuard hold(m_Lock);
    return m_nInputTimeoutSeconds;
}

CInputAutoCancel::InputTimeoutChange CInputAutoCancel::SetInputTimeout(int32_t seconds) {
    if (seconds < 0 || seconds > kMaxInputTimeoutSeconds) return InputTimeoutChange::OutOfRange;
    LockGuard hold(m_Lock);
    if (m_pInputAutoCancelThread) return InputTimeoutChange::TimerRunning;
    m_nInputTimeoutSeconds = seconds;
    return InputTimeoutChange::Stored;
}

void CInputAutoCancel::Start() {
    LockGuard control(m_ControlLock);
    bool running;
    {
        LockGuard hold(m_Lock);
        if (m_nInputTimeoutSeconds == 0) return;
        running = m_pInputAutoCancelThread != nullptr;
    }
    // One timer at a time: one left from an earlier input is ended before the new one starts.
    if (running) StopLocked();

    if (m_hInputTimeoutAutoCancelThreadStartEvent)
        m_hInputTimeoutAutoCancelThreadStartEvent->Reset();
    if (m_hKillInputTimerEvent) m_hKillInputTimerEvent->Reset();
    auto thread = std::make_shared<platform::Thread>();
    if (m_Services.StartThread(*thread, [this] { return InputTimeoutAutoCancelThread(); }) != 0)
        return;
    {
        LockGuard hold(m_Lock);
        m_pInputAutoCancelThread = thread;
    }
    m_Logger.Log(kLogInfo, "InputTimeoutAutoCancel Thread with ID=%08X", thread->Id());
    static const ThreadStartWords words = [] {
        ThreadStartWords w = ThreadStartWords::ForPrefix("InputTimeoutAutoCancelThread");
        w.signalled = "InputTimeoutAutoCancelThread signaled startup: ID=%08X";
        return w;
    }();
    LogWaitOutcome(
        m_Logger,
        WaitOn(m_hInputTimeoutAutoCancelThreadStartEvent.get(), CGenericHandler::kThreadWaitMs),
        words, thread->Id());
}

void CInputAutoCancel::Stop() {
    LockGuard control(m_ControlLock);
    StopLocked();
}

void CInputAutoCancel::StopLocked() {
    std::shared_ptr<platform::Thread> thread;
    {
        LockGuard hold(m_Lock);
        if (m_nInputTimeoutSeconds == 0) return;
        thread = m_pInputAutoCancelThread;
    }
    if (m_hKillInputTimerEvent) m_hKillInputTimerEvent->Set();
    if (!thread) return;
    // The timer thread never stops itself; should it ever, it must not wait for itself.
    if (thread->Id() != platform::CurrentThreadId()) {
        static const WaitLines lines = {
            {kLogInfo, "InputTimeoutAutoCancelThread shutdown properly."},
            {kLogSevere, "InputTimeoutAutoCancelThread shutdown timed out! Terminating."},
            {kLogSevere, "InputTimeoutAutoCancelThread shutdown Wait Abandoned"},
            {kLogSevere, "InputTimeoutAutoCancelThread shutdown Wait Failed"},
            {kLogSevere, "InputTimeoutAutoCancelThread shutdown Wait Defaulted"}};
        if (LogWaitResult(m_Logger, thread->Join(CGenericHandler::kThreadWaitMs), lines) ==
            WaitResult::Timeout)
            thread->Abandon();
    }
    LockGuard hold(m_Lock);
    if (m_pInputAutoCancelThread == thread) m_pInputAutoCancelThread.reset();
}

uint32_t CInputAutoCancel::InputTimeoutAutoCancelThread() {
    const uint32_t seconds = static_cast<uint32_t>(GetInputTimeout());
    if (m_hInputTimeoutAutoCancelThreadStartEvent) m_hInputTimeoutAutoCancelThreadStartEvent->Set();
    static const WaitLines lines = {{},
                                    {},
                                    {kLogSevere, "InputTimeoutAutoCancelThread Wait Abandoned"},
                                    {kLogSevere, "InputTimeoutAutoCancelThread Wait Failed"},
                                    {kLogSevere, "InputTimeoutAutoCancelThread Wait Defaulted"}};
    const WaitResult result =
        LogWaitResult(m_Logger, WaitOn(m_hKillInputTimerEvent.get(), seconds * 1000), lines);
    if (result == WaitResult::Signalled) {
        m_hKillInputTimerEvent->Reset();
    } else if (result == WaitResult::Timeout) {
        // The input waited too long: the "50." cancel ends it with -5, through the queue like
        // any caller's cancel.
        ornCancel();
    }
    return 0;
}

}  // namespace orn
