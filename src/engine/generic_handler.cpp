// The engine object itself: construction, the process-wide instance, and the start and stop of
// its threads with the close of the link. The queue, the scheduler, the response routing and the
// transport live in files of their own.
#include "engine/generic_handler.h"

#include <string>

#include "engine/wait_outcome.h"
#include "link/frame.h"
#include "link/port_discovery.h"
#include "log/thread_runner.h"
#include "velquoraorn.h"

namespace orn {

using platform::LockGuard;
using platform::WaitResult;

namespace {

// The platform's answers, from a fresh listing of the ports each time.
class PlatformPortKindQuery : public IPortKindQuery {
  public:
    explicit PlatformPortKindQuery(CLogger& log) : m_Log(log) {}
    bool IsMakerUsbSerialPort(const std::string& name) override {
        return QueryPortKind(m_Log, name, true) != 0;
    }
    bool IsUsbPortPresent(const std::string& name) override {
        return QueryPortKind(m_Log, name, false) != 0;
    }

  private:
    CLogger& m_Log;
};

}  // namespace

CGenericHandler::CGenericHandler()
    : m_Link(*this, *this, m_Logger, std::make_unique<PlatformPortKindQuery>(m_Logger)),
      m_hQueueEvent(std::make_shared<platform::Event>(true)),
      m_pQueueControl(std::make_shared<QueueControl>()) {
    CreateAsyncCompletionEvents();
}

CGenericHandler::~CGenericHandler() {
    CloseLink();
}

namespace {
// The engine is torn down at unload, unless the process is ending with its threads already gone.
struct EngineHolder {
    CGenericHandler* engine = new CGenericHandler;
    ~EngineHolder() {
        if (!platform::ProcessIsEnding()) delete engine;
    }
};
}  // namespace

CGenericHandler& Engine() {
    static EngineHolder holder;
    return *holder.engine;
}

// --- engine lifecycle --------------------------------------------------------------------------

void CGenericHandler::StartThreads() {
    // Threads left from an earlier open are stopped first.
    if (m_QueueThread.Started()) {
        m_pQueueControl->stop = true;
        m_hQueueEvent->Set();
        if (m_QueueThread.Join(kThreadWaitMs) != WaitResult::Signalled) m_QueueThread.Abandon();
    }
    if (m_MonitorThread.Started()) {
        m_hKillQueueMonitorThread.Set();
        if (m_MonitorThread.Join(kThreadWaitMs) != WaitResult::Signalled) m_MonitorThread.Abandon();
    }
    StopStateNotifier();
    {
        LockGuard hold(m_QueueLock);
        m_bAccepting = true;
    }

    auto control = std::make_shared<QueueControl>();
    m_pQueueControl = control;
    m_hQueueThreadStartEvent.Reset();
    if (m_QueueThread.Start([this, control] { return QueueThread(control); }) == 0) {
        m_Logger.Log(kLogInfo, "Created Queue Thread with ID=%08X", m_QueueThread.Id());
        static const ThreadStartWords words = ThreadStartWords::ForPrefix("QueueThread");
        LogWaitOutcome(m_Logger, m_hQueueThreadStartEvent.Wait(kThreadWaitMs), words,
                       m_QueueThread.Id());
    }

    m_hQueueMonitorThreadStartEvent.Reset();
    m_hKillQueueMonitorThread.Reset();
    if (m_MonitorThread.Start([this] { return QueueMonitorThread(); }) == 0) {
        m_Logger.Log(kLogInfo, "Created Queue Monitor Thread with ID=%08X", m_MonitorThread.Id());
        static const ThreadStartWords words = ThreadStartWords::ForPrefix("QueueMonitorThread");
        LogWaitOutcome(m_Logger, m_hQueueMonitorThreadStartEvent.Wait(kThreadWaitMs), words,
                       m_MonitorThread.Id());
    }

    StartStateNotifier();
    m_bEngineStarted = true;
}

void CGenericHandler::StopThreads() {
    {
        // Nothing new is admitted once the queue is being wound down.
        LockGuard hold(m_QueueLock);
        m_bAccepting = false;
    }

    if (m_QueueThread.Started()) {
        static const WaitLines level1 = {
            {kLogInfo, "QueueThread level1 shutdown completed"},
            {kLogInfo, "QueueThread shutdown level1 timeout, issuing level2 shutdown"},
            {kLogSevere, "QueueThread shutdown Wait Abandoned"},
            {kLogSevere, "QueueThread shutdown Wait Failed"},
            {kLogSevere, "QueueThread shutdown Wait Defaulted"}};
        static const WaitLines level2 = {
            {kLogInfo, "QueueThread shutdown properly"},
            {kLogSevere, "QueueThread shutdown improperly, terminating thread"},
            level1.abandoned,
            level1.failed,
            level1.defaulted};
        // Level 1: finish the queue, then stop.
        m_pQueueControl->drain = true;
        m_hQueueEvent->Set();
        if (LogWaitResult(m_Logger, m_QueueThread.Join(kThreadWaitMs), level1) ==
            WaitResult::Timeout) {
            // Level 2: stop now.
            m_pQueueControl->stop = true;
            m_hQueueEvent->Set();
            LogWaitResult(m_Logger, m_QueueThread.Join(kThreadWaitMs), level2);
        }
        // A thread that did not end keeps only its own control block and the engine.
        m_pQueueControl->stop = true;
        if (m_QueueThread.Started()) m_QueueThread.Abandon();
    }

    if (m_MonitorThread.Started()) {
        m_hKillQueueMonitorThread.Set();
        static const ThreadStopWords words = ThreadStopWords::ForPrefix("QueueMonitorThread");
        StopWithTimeout(m_Logger, m_MonitorThread, kThreadWaitMs, words);
        if (m_MonitorThread.Started()) m_MonitorThread.Abandon();
    }

    StopCallbackThreads();
    StopStateNotifier();
    m_Logger.Shutdown();
}

void CGenericHandler::DropFromQueue(CCommandData* record) {
    record->m_bQueued = false;
    record->Release();
}

void CGenericHandler::ClearQueue() {
    LockGuard hold(m_QueueLock);
    for (CCommandData* record : m_Queue) {
        // Callers still blocked on a record are woken with a failure; the record itself lives
        // on until its caller has released it.
        const int32_t state = record->GetState();
        const bool open = state != kStateComplete && state != kStateUserCallback &&
                          state != kStateRemoveFromQueue;
        if (record->GetResult() == 0 && open) record->SetResult(ORN_ERR_COMM_PORT_NOT_OPEN);
        if (open && record->IsAsync() && record->m_bAccepted) {
            // Nobody waits for an accepted request but its callback, which reports the close
            // (or the cancel that came first) and is waited for by the close.
            record->SetState(kStateUserCallback);
            StartCallbackThread(record);
        }
        record->SetAllEvents();
        DropFromQueue(record);
    }
    m_Queue.clear();
    m_Router.ResetNakCount();
}

void CGenericHandler::LinkLost() {
    ClearEmvSessions();
    ResetReceiver();
    SetConnectionState(kConnPortClosed);
    m_Link.ClearPowerUpSeen();
    {
        LockGuard hold(m_QueueLock);
        for (CCommandData* record : m_Queue) {
            const int32_t state = record->GetState();
            // Finished records keep their outcome; a refused one is its caller's to release.
            if (state == kStateRemoveFromQueue || state == kStateUserCallback || record->m_bRefused)
                continue;
            record->SetResult(ORN_ERR_DEVICE_USB_DISCONNECTED);
            record->SetCurrentEvent();
            if (record->IsAsync()) {
                // Nobody waits for an accepted asynchronous record: its callback reports -13
                // and the queue thread reclaims it afterwards.
                record->SetState(kStateUserCallback);
                StartCallbackThread(record);
            } else {
                record->SetState(kStateComplete);
            }
        }
    }
    m_hQueueEvent->Set();
    m_Logger.Shutdown();
}

bool CGenericHandler::CloseRunningElsewhere() const {
    const uint32_t closing = m_dwClosingThread.load();
    return OnCallbackThread() && closing != 0 && closing != platform::CurrentThreadId();
}

void CGenericHandler::CloseLink() {
    m_dwClosingThread = platform::CurrentThreadId();
    DestroyTransport();
    ClearEmvSessions();
    ResetReceiver();
    ClearQueue();
    // Nothing is left to cancel: a timer still running would only send into a closed link.
    StopInputAutoCancel();
    // Reported before the threads stop: the close is the last state its notifier delivers, and
    // every callback of the link has run by the time this returns (also at unload, where the
    // code goes away right after).
    SetConnectionState(kConnPortClosed);
    StopThreads();
    ClearQueue();  // whatever was admitted while the threads were being stopped
    StopCallbackThreads();
    m_Link.ClearPowerUpSeen();
    m_Link.SetQuickCancelMode(true);
    m_dwClosingThread = 0;
}

void CGenericHandler::CloseCandidate() {
    DestroyTransport();
    ClearEmvSessions();
    ResetReceiver();
    ClearQueue();
    SetConnectionState(kConnPortClosed);
    m_Link.ClearPowerUpSeen();
    m_Link.SetQuickCancelMode(true);
}

bool CGenericHandler::WaitForPowerUpOrCancel() {
    // Woken by the handshake itself; the terminal gets as long as the 35 polls of old did.
    if (m_Link.WaitForPowerUp(kPowerUpPolls * kPowerUpPollMs, kPowerUpSettleMs)) return true;
    return QuickCancel(true);
}

std::shared_ptr<CComPort> CGenericHandler::SerialPort() {
    return std::dynamic_pointer_cast<CComPort>(Transport());
}

void CGenericHandler::SendRawCancel() {
    Write(kCancelFrame, sizeof kCancelFrame);
}

size_t CGenericHandler::QueueSize() {
    LockGuard hold(m_QueueLock);
    return m_Queue.size();
}

}  // namespace orn
