// What the engine runs on threads of its own besides QueueThread: the callback threads of
// asynchronous commands, the power-up handling and the connection state machine with their
// user callbacks, the input auto-cancel timer, and the queue monitor.
//
// User code (callbacks) always runs on a thread of its own, after that thread has signalled its
// start and without any engine lock held, so a callback may call the library again, ornClose
// included: StopThreads does not wait for the thread it is called on, and a callback thread
// holds its own reference on its record.
#include <cstdio>
#include <new>
#include <string>

#include "engine/generic_handler.h"
#include "engine/wait_outcome.h"
#include "log/thread_runner.h"
#include "velquoraorn.h"

namespace orn {

using platform::LockGuard;
using platform::WaitResult;

namespace {

constexpr uint32_t kCallbackStartDelayMs = 10;

const char* const kConnectionStateNames[] = {"COM Port Closed", "Disconnected", "Pending",
                                             "Power Up Detected", "OK"};

}  // namespace

void CGenericHandler::CreateAsyncCompletionEvents() {
    m_hPowerUpCallbackThreadEvent = CreateEngineEvent(
        m_Logger, false, "CGenericHandler: Could not Create m_hPowerUpCallbackThreadEvent\n");
    m_hConnectionStateThreadEvent = CreateEngineEvent(
        m_Logger, false, "CGenericHandler: Could not Create m_hConnectionStateThreadEvent\n");
    m_InputAutoCancel.CreateEvents();
}

// --- callback threads ----------------------------------------------------------------------------

void CGenericHandler::StartCallbackThread(CCommandData* record) {
    std::shared_ptr<platform::Event> startEvent(new (std::nothrow) platform::Event(true));
    if (!startEvent)
        m_Logger.Log(kLogSevere, "CGenericHandler: Could not Create gendat.hStartThreadEvent\n");
    auto thread = std::make_shared<platform::Thread>();
    std::shared_ptr<platform::Event> queueEvent = m_hQueueEvent;
    // The thread holds its own reference: the record outlives a queue cleared under it, also
    // when the callback itself closes the link.
    record->AddRef();
    uint32_t err = thread->Start([record, startEvent, queueEvent]() -> uint32_t {
        t_bCallbackThread = true;
        if (startEvent) startEvent->Set();
        platform::SleepMs(kCallbackStartDelayMs);
        record->InvokeCallback();
        record->Release();
        queueEvent->Set();  // lets the queue thread reclaim the record at once
        return 0;
    });
    if (err != 0) {
        record->Release();
        return;
    }
    m_Logger.Log(kLogInfo, "ORN Callback Queue Thread with ID=%08X", thread->Id());
    record->SetCallbackThread(thread);
    ListCallbackThread(thread, record->GetCallbackKind());
    static const ThreadStartWords words = ThreadStartWords::ForPrefix("OrnCallbackThread");
    LogWaitOutcome(m_Logger, WaitOn(startEvent.get(), kThreadWaitMs), words, thread->Id());
}

void CGenericHandler::ListCallbackThread(const std::shared_ptr<platform::Thread>& thread,
                                         int32_t kind) {
    LockGuard hold(m_CallbackListLock);
    m_CallbackThreads.push_back({thread, thread->Id(), kind});
}

void CGenericHandler::ReapCallbackThreads() {
    LockGuard hold(m_CallbackListLock);
    for (auto it = m_CallbackThreads.begin(); it != m_CallbackThreads.end();) {
        if (!it->thread->Finished()) {
            ++it;
            continue;
        }
        if (it->thread->Join(0) != WaitResult::Signalled)
            m_Logger.Log(kLogSevere, "Can't get Exit Code, Get Last Error = %ld", 0L);
        it = m_CallbackThreads.erase(it);
    }
}

void CGenericHandler::StopCallbackThreads() {
    std::vector<CallbackThreadEntry> threads;
    {
        // Waited for outside the lock: a callback may itself be starting another thread.
        LockGuard hold(m_CallbackListLock);
        threads.swap(m_CallbackThreads);
    }
    const uint32_t self = platform::CurrentThreadId();
    for (CallbackThreadEntry& entry : threads) {
        // A callback closing the link does not wait for itself; its thread ends on its own.
        if (entry.id == self) continue;
        const char* kind = GetCallbackKindName(entry.kind);
        static const WaitLines lines = {
            {kLogInfo, "%s Callback Thread shutdown properly"},
            {kLogSevere, "%s Callback Thread shutdown improperly, terminating thread"},
            {kLogSevere, "Callback Thread shutdown Wait Abandoned"},
            {kLogSevere, "Callback Thread shutdown Wait Failed"},
            {kLogSevere, "Callback Thread shutdown Wait Defaulted"}};
        if (LogWaitResult(m_Logger, entry.thread->Join(kThreadWaitMs), lines, kind) ==
            WaitResult::Timeout)
            entry.thread->Abandon();
    }
}

// --- power-up and connection state threads -------------------------------------------------------

void CGenericHandler::SetNotifyThreadHookForTest(std::function<void()> hook) {
    LockGuard hold(m_NotifyHookLock);
    m_NotifyHook = std::move(hook);
}

void CGenericHandler::SetFaultHookForTest(std::function<void()> hook) {
    LockGuard hold(m_NotifyHookLock);
    m_FaultHook = std::move(hook);
}

void CGenericHandler::SetAcceptHookForTest(std::function<void()> hook) {
    LockGuard hold(m_NotifyHookLock);
    m_AcceptHook = std::move(hook);
}

void CGenericHandler::RunFaultHook() {
    std::function<void()> hook;
    {
        LockGuard hold(m_NotifyHookLock);
        hook = m_FaultHook;
    }
    if (hook) hook();
}

void CGenericHandler::RunNotifyThreadHook() {
    std::function<void()> hook;
    {
        LockGuard hold(m_NotifyHookLock);
        hook = m_NotifyHook;
    }
    if (hook) hook();
}

void CGenericHandler::StartNotifyThread(int32_t kind, platform::Event* startEvent,
                                        std::function<void()> callUser, const char* createdFormat,
                                        const char* wordsPrefix) {
    // The start event is shared by all threads of the kind: one start at a time, or one
    // starter's reset could swallow another's start signal.
    LockGuard serialise(m_NotifyStartLock);
    if (startEvent) startEvent->Reset();
    auto thread = std::make_shared<platform::Thread>();
    uint32_t err = thread->Start([this, startEvent, callUser]() -> uint32_t {
        t_bCallbackThread = true;
        if (startEvent) startEvent->Set();
        RunNotifyThreadHook();
        callUser();
        return 0;
    });
    if (err != 0) return;
    m_Logger.Log(kLogInfo, createdFormat, thread->Id());
    ListCallbackThread(thread, kind);
    const ThreadStartWords words = ThreadStartWords::ForPrefix(wordsPrefix);
    LogWaitOutcome(m_Logger, WaitOn(startEvent, kThreadWaitMs), words, thread->Id());
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
    if (state == kConnDisconnected && !m_bLinkMonitoring) return;
    std::shared_ptr<StateNotifier> notifier;
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
        if (m_pStateNotifier && m_pConnectionStateCallback.load()) {
            notifier = m_pStateNotifier;
            LockGuard queue(notifier->lock);
            notifier->values.push_back(ConnectionStateCallbackValue(state));
        }
    }
    const char* name = state >= 0 && state <= 4 ? kConnectionStateNames[state] : "?unknown?";
    m_Logger.Log(kLogInfo, "Connection State Change: %s", name);
    if (notifier) notifier->wake.Set();
}

namespace {
const ThreadStartWords& StateNotifierStartWords() {
    static const ThreadStartWords words = ThreadStartWords::ForPrefix("Connection State Thread");
    return words;
}
}  // namespace

void CGenericHandler::StartStateNotifier() {
    auto notifier = std::make_shared<StateNotifier>();
    // Shared with the thread: one that starts late still finds its event.
    std::shared_ptr<platform::Event> started = m_hConnectionStateThreadEvent;
    if (!started) started = std::make_shared<platform::Event>(false);
    if (StartWithHandshake(
            m_Logger, m_StateNotifierThread, *started,
            [this, notifier, started] {
                t_bCallbackThread = true;
                started->Set();
                return StateNotifierThread(notifier);
            },
            StateNotifierStartWords()) != 0)
        return;
    m_Logger.Log(kLogInfo, "Connection State Callback Thread with ID=%08X",
                 m_StateNotifierThread.Id());
    LockGuard hold(m_ConnectionStateLock);
    m_pStateNotifier = notifier;
}

void CGenericHandler::StopStateNotifier() {
    std::shared_ptr<StateNotifier> notifier;
    {
        LockGuard hold(m_ConnectionStateLock);
        notifier = std::move(m_pStateNotifier);
    }
    if (!m_StateNotifierThread.Started()) return;
    if (m_StateNotifierThread.Id() == platform::CurrentThreadId()) {
        // A callback closing the link: the rest is delivered here, before the close returns.
        if (notifier) {
            DeliverStates(*notifier);
            LockGuard hold(notifier->lock);
            notifier->stop = true;
        }
        m_StateNotifierThread.Abandon();
        return;
    }
    if (notifier) {
        {
            LockGuard hold(notifier->lock);
            notifier->stop = true;
        }
        notifier->wake.Set();
    }
    static const ThreadStopWords words = ThreadStopWords::ForPrefix("Connection State Thread");
    if (StopWithTimeout(m_Logger, m_StateNotifierThread, kThreadWaitMs, words) !=
            WaitResult::Signalled &&
        notifier) {
        LockGuard hold(notifier->lock);
        notifier->abandoned = true;
        notifier->values.clear();
    }
    if (m_StateNotifierThread.Started()) m_StateNotifierThread.Abandon();
}

uint32_t CGenericHandler::StateNotifierThread(std::shared_ptr<StateNotifier> notifier) {
    for (;;) {
        notifier->wake.Wait(platform::kInfinite);
        notifier->wake.Reset();
        DeliverStates(*notifier);
        LockGuard hold(notifier->lock);
        if (notifier->stop && notifier->values.empty()) return 0;
    }
}

void CGenericHandler::DeliverStates(StateNotifier& notifier) {
    for (;;) {
        int value;
        {
            LockGuard hold(notifier.lock);
            if (notifier.abandoned || notifier.values.empty()) return;
            value = notifier.values.front();
            notifier.values.pop_front();
        }
        RunNotifyThreadHook();
        {
            // Given up by a close meanwhile: not even this one is delivered.
            LockGuard hold(notifier.lock);
            if (notifier.abandoned) return;
        }
        // Read again now: a callback removed meanwhile is not called.
        if (ConnectionStateCallback callback = m_pConnectionStateCallback.load()) callback(value);
    }
}

void CGenericHandler::OnPowerUp() {
    ResetReceiver();
    SetConnectionState(kConnPowerUp);
    {
        LockGuard hold(m_QueueLock);
        EndWaitingRecords(ORN_ERR_CANCELED_BY_POWERUP_ERROR,
                          [](const CCommandData&) { return true; });
    }
    ClearEmvSessions();
    // Also when nothing was cancelled: the queue thread turns Power Up Detected into OK.
    m_hQueueEvent->Set();
    m_Logger.Log(kLogInfo, "Power Up Detected");

    if (!m_pPowerUpCallback.load()) return;
    StartNotifyThread(
        kCallbackPowerUp, m_hPowerUpCallbackThreadEvent.get(),
        [this] {
            // The queue thread was woken above and turns the state into OK within its next pass;
            // the bound only keeps a stalled queue thread from holding the callback back.
            m_PowerUpSettledEvent.Wait(kPowerUpSettleWaitMs);
            if (PowerUpCallback callback = m_pPowerUpCallback.load()) callback();
        },
        "Power Up Callback Thread with ID=%08X", "PowerUpThread");
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
    std::string text = "Queue Monitor:\n";
    bool any = false;
    {
        LockGuard hold(m_QueueLock);
        int index = 0;
        char prefix[16];
        for (CCommandData* record : m_Queue) {
            std::snprintf(prefix, sizeof prefix, "<Q%04d> ", index++);
            text += prefix;
            text += record->GetName();
            text += ": State = ";
            text += GetStateName(record->GetState());
            text += ", Group = ";
            text += GetGroupName(record->GetGroup());
            text += ", Cancel = ";
            text += GetCancelTypeName(record->GetCancelType());
            text += "\n";
            any = true;
        }
    }
    if (any) m_Logger.Log(kLogInfo, "%s", text.c_str());

    text = "Queue Monitor (Threads):\n";
    any = false;
    {
        LockGuard hold(m_CallbackListLock);
        char line[96];
        for (const CallbackThreadEntry& entry : m_CallbackThreads) {
            std::snprintf(line, sizeof line, "%s Callback ThreadID=%08X is active\n",
                          GetCallbackKindName(entry.kind), entry.id);
            text += line;
            any = true;
        }
    }
    if (any) {
        text += "\n";
        m_Logger.Log(kLogInfo, "%s", text.c_str());
    }
}

}  // namespace orn
