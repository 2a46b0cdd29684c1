// The callback dispatcher: the callback threads of asynchronous commands, the power-up threads
// and the connection state notifier.
//
// User code (callbacks) always runs on a thread of its own, after that thread has signalled its
// start and without any engine lock held, so a callback may call the library again, ornClose
// included: StopCallbackThreads does not wait for the thread it is called on, and a callback
// thread holds its own reference on its record.
#include "engine/callback_dispatcher.h"

#include <cstdio>
#include <new>
#include <string>

#include "engine/wait_outcome.h"
#include "log/thread_runner.h"

namespace orn {

using platform::LockGuard;
using platform::WaitResult;

namespace {

constexpr uint32_t kCallbackStartDelayMs = 10;

const ThreadStartWords& StateNotifierStartWords() {
    static const ThreadStartWords words = ThreadStartWords::ForPrefix("Connection State Thread");
    return words;
}

}  // namespace

thread_local bool CCallbackDispatcher::t_bCallbackThread = false;

void CCallbackDispatcher::CreateEvents() {
    m_hPowerUpCallbackThreadEvent = CreateEngineEvent(
        m_Logger, false, "CGenericHandler: Could not Create m_hPowerUpCallbackThreadEvent\n");
    m_hConnectionStateThreadEvent = CreateEngineEvent(
        m_Logger, false, "CGenericHandler: Could not Create m_hConnectionStateThreadEvent\n");
}

// --- callback threads ----------------------------------------------------------------------------

void CCallbackDispatcher::StartCallbackThread(CCommandData* record,
                                              std::shared_ptr<platform::Event> queueEvent) {
    std::shared_ptr<platform::Event> startEvent(new (std::nothrow) platform::Event(true));
    if (!startEvent)
        m_Logger.Log(kLogSevere, "CGenericHandler: Could not Create gendat.hStartThreadEvent\n");
    auto thread = std::make_shared<platform::Thread>();
    // The thread holds its own reference: the record outlives a queue cleared under it, also
    // when the callback itself closes the link.
    record->AddRef();
    uint32_t err = m_Services.StartThread(*thread, [record, startEvent, queueEvent]() -> uint32_t {
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

void CCallbackDispatcher::ListCallbackThread(const std::shared_ptr<platform::Thread>& thread,
                                             int32_t kind) {
    LockGuard hold(m_ListLock);
    m_CallbackThreads.push_back({thread, thread->Id(), kind});
}

void CCallbackDispatcher::ReapCallbackThreads() {
    LockGuard hold(m_ListLock);
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

void CCallbackDispatcher::StopCallbackThreads() {
    std::vector<CallbackThreadEntry> threads;
    {
        // Waited for outside the lock: a callback may itself be starting another thread.
        LockGuard hold(m_ListLock);
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

std::string CCallbackDispatcher::DescribeThreads() {
    std::string text;
    LockGuard hold(m_ListLock);
    char line[96];
    for (const CallbackThreadEntry& entry : m_CallbackThreads) {
        std::snprintf(line, sizeof line, "%s Callback ThreadID=%08X is active\n",
                      GetCallbackKindName(entry.kind), entry.id);
        text += line;
    }
    return text;
}

// --- power-up threads ----------------------------------------------------------------------------

void CCallbackDispatcher::SetNotifyThreadHookForTest(std::function<void()> hook) {
    LockGuard hold(m_HookLock);
    m_NotifyHook = std::move(hook);
}

void CCallbackDispatcher::RunNotifyThreadHook() {
    std::function<void()> hook;
    {
        LockGuard hold(m_HookLock);
        hook = m_NotifyHook;
    }
    if (hook) hook();
}

void CCallbackDispatcher::StartPowerUpThread(std::function<void()> callUser) {
    platform::Event* const startEvent = m_hPowerUpCallbackThreadEvent.get();
    // The start event is shared by all power-up threads: one start at a time, or one starter's
    // reset could swallow another's start signal.
    LockGuard serialise(m_NotifyStartLock);
    if (startEvent) startEvent->Reset();
    auto thread = std::make_shared<platform::Thread>();
    uint32_t err = m_Services.StartThread(*thread, [this, startEvent, callUser]() -> uint32_t {
        t_bCallbackThread = true;
        if (startEvent) startEvent->Set();
        RunNotifyThreadHook();
        callUser();
        return 0;
    });
    if (err != 0) return;
    m_Logger.Log(kLogInfo, "Power Up Callback Thread with ID=%08X", thread->Id());
    ListCallbackThread(thread, kCallbackPowerUp);
    static const ThreadStartWords words = ThreadStartWords::ForPrefix("PowerUpThread");
    LogWaitOutcome(m_Logger, WaitOn(startEvent, kThreadWaitMs), words, thread->Id());
}

// --- connection state notifier -------------------------------------------------------------------

std::function<void()> CCallbackDispatcher::QueueConnectionState(int value) {
    // Queued under the notifier lock: a stop that took the notifier away before still finds the
    // value there and delivers it.
    LockGuard hold(m_NotifierLock);
    if (!m_pStateNotifier || !m_pConnectionStateCallback.load()) return nullptr;
    std::shared_ptr<StateNotifier> notifier = m_pStateNotifier;
    LockGuard queue(notifier->lock);
    notifier->values.push_back(value);
    return [notifier] { notifier->wake.Set(); };
}

void CCallbackDispatcher::StartStateNotifier() {
    auto notifier = std::make_shared<StateNotifier>();
    // Shared with the thread: one that starts late still finds its event.
    std::shared_ptr<platform::Event> started = m_hConnectionStateThreadEvent;
    if (!started) started = std::make_shared<platform::Event>(false);
    started->Reset();
    if (m_Services.StartThread(m_StateNotifierThread, [this, notifier, started] {
            t_bCallbackThread = true;
            started->Set();
            return StateNotifierThread(notifier);
        }) != 0)
        return;
    LogWaitOutcome(m_Logger, started->Wait(kThreadWaitMs), StateNotifierStartWords(),
                   m_StateNotifierThread.Id());
    m_Logger.Log(kLogInfo, "Connection State Callback Thread with ID=%08X",
                 m_StateNotifierThread.Id());
    LockGuard hold(m_NotifierLock);
    m_pStateNotifier = notifier;
}

void CCallbackDispatcher::StopStateNotifier() {
    std::shared_ptr<StateNotifier> notifier;
    {
        LockGuard hold(m_NotifierLock);
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

uint32_t CCallbackDispatcher::StateNotifierThread(std::shared_ptr<StateNotifier> notifier) {
    for (;;) {
        notifier->wake.Wait(platform::kInfinite);
        notifier->wake.Reset();
        DeliverStates(*notifier);
        LockGuard hold(notifier->lock);
        if (notifier->stop && notifier->values.empty()) return 0;
    }
}

void CCallbackDispatcher::DeliverStates(StateNotifier& notifier) {
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

}  // namespace orn
