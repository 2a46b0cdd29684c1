// The callback dispatcher: runs the application's code on threads of its own. The callback
// threads of asynchronous commands, the power-up threads and the connection state notifier,
// which delivers the state callbacks of an open link one at a time, in the order of the changes.
//
// Owns: the list of callback threads, the user's power-up and connection state callbacks, the
// power-up start event, the state notifier (its thread, its start event, its queue of values)
// and the notify thread test hook.
// Locks: the notify start lock makes each power-up thread's start one step (its start event is
// shared) and is taken before the list lock, which guards the thread list. The notifier lock
// guards which notifier is current and is taken before that notifier's own lock, which guards
// its values and flags. The engine may hold its queue lock or its connection state lock when it
// calls in; under none of its own locks does the dispatcher call the engine or user code.
// Calls: the logger, the records' callbacks, the user callbacks and the test hook.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/command_data.h"
#include "engine/engine_services.h"
#include "log/logger.h"
#include "platform/platform.h"

namespace orn {

class CCallbackDispatcher {
  public:
    // Longest wait for a thread's start signal and for its end at a close.
    static constexpr uint32_t kThreadWaitMs = 5000;

    CCallbackDispatcher(CLogger& log, const EngineServices& services)
        : m_Logger(log), m_Services(services) {}
    CCallbackDispatcher(const CCallbackDispatcher&) = delete;
    CCallbackDispatcher& operator=(const CCallbackDispatcher&) = delete;

    // Constructor step of the engine: the start events; a failure is logged and left null.
    void CreateEvents();

    // True on a thread that runs the application's callbacks; the second marks the caller.
    static bool OnCallbackThread() { return t_bCallbackThread; }
    static void EnterCallbackThread() { t_bCallbackThread = true; }

    using PowerUpCallback = void (*)();
    using ConnectionStateCallback = void (*)(int);
    void SetPowerUpCallback(PowerUpCallback callback) { m_pPowerUpCallback = callback; }
    PowerUpCallback GetPowerUpCallback() const { return m_pPowerUpCallback.load(); }
    void SetConnectionStateCallback(ConnectionStateCallback callback) {
        m_pConnectionStateCallback = callback;
    }

    // Runs the record's callback on a new thread; `queueEvent` is set when it has run.
    void StartCallbackThread(CCommandData* record, std::shared_ptr<platform::Event> queueEvent)
        EXCLUDES(m_ListLock);
    // Lists a started callback thread, so that the close waits for it.
    void ListCallbackThread(const std::shared_ptr<platform::Thread>& thread, int32_t kind)
        EXCLUDES(m_ListLock);
    // Reaps listed callback threads that have ended.
    void ReapCallbackThreads() EXCLUDES(m_ListLock);
    // Waits for (or gives up on) every listed callback thread but the calling one.
    void StopCallbackThreads() EXCLUDES(m_ListLock);
    // The queue monitor's lines of the active callback threads ("" when there are none).
    std::string DescribeThreads() EXCLUDES(m_ListLock);

    // Starts a power-up thread that runs `callUser` (after the hook).
    void StartPowerUpThread(std::function<void()> callUser) EXCLUDES(m_NotifyStartLock, m_ListLock);

    // The state notifier of an open link.
    void StartStateNotifier() EXCLUDES(m_NotifierLock);
    // Delivers what is queued and ends the notifier; called on the notifier itself (a callback
    // closing the link), it delivers the rest there and lets the thread end on its own.
    void StopStateNotifier() EXCLUDES(m_NotifierLock);
    // Queues a connection state callback value, when a notifier runs and a callback is set. The
    // engine calls it under its state lock, so values queue in the order of the changes; it then
    // calls the returned function, with no lock held, to wake the notifier.
    std::function<void()> QueueConnectionState(int value) EXCLUDES(m_NotifierLock);

    void SetNotifyThreadHookForTest(std::function<void()> hook) EXCLUDES(m_HookLock);

    // The locks, for the order the engine declares against them.
    platform::Mutex& NotifyStartLock() RETURN_CAPABILITY(m_NotifyStartLock) {
        return m_NotifyStartLock;
    }
    platform::Mutex& NotifierLock() RETURN_CAPABILITY(m_NotifierLock) { return m_NotifierLock; }

  private:
    struct CallbackThreadEntry {
        std::shared_ptr<platform::Thread> thread;
        uint32_t id;
        int32_t kind;
    };
    // Each notifier has its own block, so one given up keeps its own.
    struct StateNotifier {
        platform::Mutex lock;
        std::deque<int> values GUARDED_BY(lock);  // callback values not yet delivered
        bool stop GUARDED_BY(lock) = false;
        // The close gave up waiting for it: the callback it is in finishes, nothing more of the
        // closed link is delivered (it would arrive after the close, maybe over the next link's).
        bool abandoned GUARDED_BY(lock) = false;
        platform::Event wake{true};
    };
    uint32_t StateNotifierThread(std::shared_ptr<StateNotifier> notifier);
    void DeliverStates(StateNotifier& notifier);
    void RunNotifyThreadHook() EXCLUDES(m_HookLock);

    static thread_local bool t_bCallbackThread;

    CLogger& m_Logger;
    const EngineServices& m_Services;
    std::atomic<PowerUpCallback> m_pPowerUpCallback{nullptr};
    std::atomic<ConnectionStateCallback> m_pConnectionStateCallback{nullptr};

    platform::Mutex m_NotifyStartLock ACQUIRED_BEFORE(m_ListLock);
    platform::Mutex m_ListLock;
    std::vector<CallbackThreadEntry> m_CallbackThreads GUARDED_BY(m_ListLock);
    std::unique_ptr<platform::Event> m_hPowerUpCallbackThreadEvent;

    platform::Mutex m_NotifierLock;
    std::shared_ptr<StateNotifier> m_pStateNotifier GUARDED_BY(m_NotifierLock);
    platform::Thread m_StateNotifierThread;
    std::shared_ptr<platform::Event> m_hConnectionStateThreadEvent;

    platform::Mutex m_HookLock;
    std::function<void()> m_NotifyHook GUARDED_BY(m_HookLock);
};

}  // namespace orn
