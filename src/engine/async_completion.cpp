// The engine's side of asynchronous completion: the connection state machine and the power-up
// handling, whose user callbacks the callback dispatcher runs, the test hooks, and the queue
// monitor.
#include <cstdio>
#include <string>

#include "engine/generic_handler.h"
#include "engine/wait_outcome.h"
#include "log/thread_runner.h"
#include "velquoraorn.h"

namespace orn {

using platform::LockGuard;
using platform::WaitResult;

namespace {

const char* const kConnectionStateNames[] = {"COM Port Closed", "Disconnected", "Pending",
                                             "Power Up Detected", "OK"};

}  // namespace

void CGenericHandler::CreateAsyncCompletionEvents() {
    m_Callbacks.CreateEvents();
    m_InputAutoCancel.CreateEvents();
}

// --- test hooks ----------------------------------------------------------------------------------

void CGenericHandler::SetFaultHookForTest(std::function<void()> hook) {
    LockGuard hold(m_NotifyHookLock);
    m_FaultHook = std::move(hook);
}

void CGenericHandler::SetAcceptHookForTest(std::function<void()> hook) {
    LockGuard hold(m_NotifyHookLock);
    m_AcceptHook = std::move(hook);
}

void CGenericHandler::RunAcceptHook() {
    std::function<void()> hook;
    {
        LockGuard hold(m_NotifyHookLock);
        hook = m_AcceptHook;
    }
    if (hook) hook();
}

void CGenericHandler::RunFaultHook() {
    std::function<void()> hook;
    {
        LockGuard hold(m_NotifyHookLock);
        hook = m_FaultHook;
    }
    if (hook) hook();
}

int CGenericHandler::ConnectionStateCallbackValue(int32_t state) {
    switch (state) {
        case kConnPortClosed:
            return ORN_ERR_COMM_PORT_NOT_OPEN;
        case kConnDisconnected:
        case kConnPending:
        case kConnPowerUp:
            return state;
        case kConnOk:
            return 0;
        default:
            return ORN_ERR_UNKNOWN_ERROR;
    }
}

int32_t CGenericHandler::GetConnectionState() {
    LockGuard hold(m_ConnectionStateLock);
    return m_nConnectionState;
}

void CGenericHandler::SetConnectionState(int32_t state) {
    // Without link monitoring the link is never declared lost.
    if (state == kConnDisconnected && !m_Link.LinkMonitoring()) return;
    std::function<void()> wakeNotifier;
    {
        LockGuard hold(m_ConnectionStateLock);
        if (m_nConnectionState == state) return;
        // Once a close has reported the port closed, a thread it is still stopping (settling a
        // power-up, an ACK) must not report the link alive again after it.
        if (m_nConnectionState == kConnPortClosed && m_dwClosingThread.load() != 0) return;
        m_nConnectionState = state;
        if (state == kConnPowerUp)
            m_PowerUpSettledEvent.Reset();
        else
            m_PowerUpSettledEvent.Set();
        // Queued under the state lock, so the callbacks follow the changes in their order.
        wakeNotifier = m_Callbacks.QueueConnectionState(ConnectionStateCallbackValue(state));
    }
    const char* name = state >= 0 && state <= 4 ? kConnectionStateNames[state] : "?unknown?";
    m_Logger.Log(kLogInfo, "Connection State Change: %s", name);
    if (wakeNotifier) wakeNotifier();
}

void CGenericHandler::OnPowerUp() {
    ResetReceiver();
    SetConnectionState(kConnPowerUp);
    m_CommandQueue.EndAllWaiting(ORN_ERR_CANCELED_BY_POWERUP_ERROR);
    ClearEmvSessions();
    // Also when nothing was cancelled: the queue thread turns Power Up Detected into OK.
    m_CommandQueue.Wake();
    m_Logger.Log(kLogInfo, "Power Up Detected");

    if (!m_Callbacks.GetPowerUpCallback()) return;
    m_Callbacks.StartPowerUpThread([this] {
        // The queue thread was woken above and turns the state into OK within its next pass;
        // the bound only keeps a stalled queue thread from holding the callback back.
        m_PowerUpSettledEvent.Wait(kPowerUpSettleWaitMs);
        if (PowerUpCallback callback = m_Callbacks.GetPowerUpCallback()) callback();
    });
}

// --- QueueMonitorThread
// ----------------------------------------------------------------------------

uint32_t CGenericHandler::QueueMonitorThread() {
    m_hQueueMonitorThreadStartEvent.Set();
    static const WaitLines lines = {{},
                                    {},
                                    {kLogSevere, "QueueMonitorThread Wait Abandoned"},
                                    {kLogSevere, "QueueMonitorThread Wait Failed"},
                                    {kLogSevere, "QueueMonitorThread Wait Defaulted"}};
    platform::Event* const events[] = {&m_hKillQueueMonitorThread, &m_MonitorLevelEvent};
    for (;;) {
        // Without a log at Info nothing would be dumped: sleep until the level changes.
        const uint32_t period = m_Logger.Enabled(kLogInfo) ? kMonitorPeriodMs : platform::kInfinite;
        size_t which = 0;
        const WaitResult result =
            LogWaitResult(m_Logger, platform::WaitForAny(events, 2, period, &which), lines);
        if (result == WaitResult::Signalled && which == 0) return 0;
        if (result == WaitResult::Timeout) LogQueue();
    }
}

void CGenericHandler::LogLevelChanged() {
    m_MonitorLevelEvent.Set();
}

void CGenericHandler::LogQueue() {
    if (!m_Logger.Enabled(kLogInfo)) return;
    const std::string records = m_CommandQueue.Describe();
    if (!records.empty()) m_Logger.Log(kLogInfo, "%s", ("Queue Monitor:\n" + records).c_str());

    const std::string threads = m_Callbacks.DescribeThreads();
    if (!threads.empty())
        m_Logger.Log(kLogInfo, "%s", ("Queue Monitor (Threads):\n" + threads + "\n").c_str());
}

}  // namespace orn
