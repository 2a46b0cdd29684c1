// The input auto-cancel timer: while a command waits for keypad input, a thread of its own
// sends the "50." cancel (ornCancel) once the input has waited the set number of seconds.
//
// Owns: the timeout, the timer thread and its two events.
// Locks: m_ControlLock makes each start and stop one step, so that one's reset of the shared
// events cannot swallow the other's kill; m_Lock guards the timeout and the thread and is taken
// after m_ControlLock. Both are leaves towards the rest of the engine: no other engine lock is
// taken under them, and the timer's cancel is sent with neither held.
// Calls: the logger, and ornCancel from the timer thread.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/engine_services.h"
#include "log/logger.h"
#include "platform/platform.h"

namespace orn {

class CInputAutoCancel {
  public:
    CInputAutoCancel(CLogger& log, const EngineServices& services)
        : m_Logger(log), m_Services(services) {}
    ~CInputAutoCancel() = default;
    CInputAutoCancel(const CInputAutoCancel&) = delete;
    CInputAutoCancel& operator=(const CInputAutoCancel&) = delete;

    // Constructor step of the engine: the two events; a failure is logged and left null.
    void CreateEvents();

    int32_t GetInputTimeout() EXCLUDES(m_Lock);
    enum class InputTimeoutChange { Stored, TimerRunning, OutOfRange };
    // TimerRunning: an input is being timed with the old value, which stays; OutOfRange: not
    // in 0..7200.
    InputTimeoutChange SetInputTimeout(int32_t seconds) EXCLUDES(m_Lock);
    // Nothing when the timeout is 0. A timer still held for an earlier input is stopped first.
    void Start() EXCLUDES(m_ControlLock, m_Lock);
    // Nothing when the timeout is 0; otherwise ends the timer thread and forgets it.
    void Stop() EXCLUDES(m_ControlLock, m_Lock);

  private:
    void StopLocked() REQUIRES(m_ControlLock) EXCLUDES(m_Lock);
    uint32_t InputTimeoutAutoCancelThread();

    CLogger& m_Logger;
    const EngineServices& m_Services;
    platform::Mutex m_ControlLock ACQUIRED_BEFORE(m_Lock);
    platform::Mutex m_Lock;
    int32_t m_nInputTimeoutSeconds GUARDED_BY(m_Lock) = 0;
    std::shared_ptr<platform::Thread> m_pInputAutoCancelThread GUARDED_BY(m_Lock);
    std::unique_ptr<platform::Event> m_hInputTimeoutAutoCancelThreadStartEvent;
    std::unique_ptr<platform::Event> m_hKillInputTimerEvent;
};

}  // namespace orn
