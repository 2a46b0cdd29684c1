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

CGenericHandler::CGenericHandler(EngineServices services)
    : m_Services(std::move(services)),
      m_Link(*this, *this, m_Logger, std::make_unique<PlatformPortKindQuery>(m_Logger),
             m_Services) {
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

std::atomic<CGenericHandler*> g_pScopedEngine{nullptr};
}  // namespace

CGenericHandler& Engine() {
    if (CGenericHandler* scoped = g_pScopedEngine.load()) return *scoped;
    static EngineHolder holder;
    return *holder.engine;
}

namespace {
// `services` with every thread start counted in `threads` (a thread that outlives the scope keeps
// the count alive).
template <typename Threads>
EngineServices Counted(EngineServices services, const std::shared_ptr<Threads>& threads) {
    services.startThread = [threads, start = std::move(services.startThread)](
                               platform::Thread& thread, std::function<uint32_t()> body) {
        auto counted = [threads, body = std::move(body)] {
            const uint32_t code = body();
            if (--threads->running == 0) threads->none.Set();
            return code;
        };
        ++threads->running;
        const platform::Status err =
            start ? start(thread, std::move(counted)) : thread.Start(std::move(counted));
        if (err != 0 && --threads->running == 0) threads->none.Set();
        return err;
    };
    return services;
}
}  // namespace

ScopedEngine::ScopedEngine(EngineServices services)
    : m_pEngine(std::make_unique<CGenericHandler>(Counted(std::move(services), m_pThreads))),
      m_pPrevious(g_pScopedEngine.exchange(m_pEngine.get())) {}

ScopedEngine::~ScopedEngine() {
    Close(0);
    g_pScopedEngine = m_pPrevious;
}

int ScopedEngine::Close(uint32_t ms) {
    m_pEngine->CloseLink();
    const uint32_t start = platform::TickCount();
    for (;;) {
        // Reset before the count is read: a thread ending after the read sets it again.
        m_pThreads->none.Reset();
        const int running = m_pThreads->running.load();
        const uint32_t elapsed = platform::TickCount() - start;
        if (running == 0 || elapsed >= ms) return running;
        m_pThreads->none.Wait(ms - elapsed);
    }
}

// --- engine lifecycle --------------------------------------------------------------------------

platform::Status CGenericHandler::StartThreads() {
    // Threads left from an earlier open are stopped first.
    m_CommandQueue.StopLeftoverThread();
    if (m_MonitorThread.Started()) {
        m_hKillQueueMonitorThread.Set();
        if (m_MonitorThread.Join(kThreadWaitMs) != WaitResult::Signalled) m_MonitorThread.Abandon();
    }
    StopStateNotifier();
    const platform::Status err = m_CommandQueue.StartThread();
    if (err != 0) {
        m_Logger.Log(kLogSevere, "Could not create QueueThread (error %u)%s", err.Error(),
                     err.Detail().c_str());
        return err;
    }

    m_hQueueMonitorThreadStartEvent.Reset();
    m_hKillQueueMonitorThread.Reset();
    if (m_Services.StartThread(m_MonitorThread, [this] { return QueueMonitorThread(); }) == 0) {
        m_Logger.Log(kLogInfo, "Created Queue Monitor Thread with ID=%08X", m_MonitorThread.Id());
        static const ThreadStartWords words = ThreadStartWords::ForPrefix("QueueMonitorThread");
        LogWaitOutcome(m_Logger, m_hQueueMonitorThreadStartEvent.Wait(kThreadWaitMs), words,
                       m_MonitorThread.Id());
    }

    StartStateNotifier();
    m_bEngineStarted = true;
    return 0;
}

void CGenericHandler::StopThreads() {
    m_CommandQueue.StopThread();

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

void CGenericHandler::ClearQueue() {
    m_CommandQueue.ClearQueue();
    m_Router.ResetNakCount();
}

void CGenericHandler::LinkLost() {
    ClearEmvSessions();
    ResetReceiver();
    SetConnectionState(kConnPortClosed);
    m_Link.ClearPowerUpSeen();
    m_CommandQueue.FailForLostLink();
    m_Logger.Shutdown();
}

BusyAnswer CGenericHandler::DeviceBusy(int32_t device) {
    if (device == 3) return EmvSessionOpen() ? BusyAnswer::Busy : BusyAnswer::Idle;
    if (device == 2 && EmvSessionOpen()) return BusyAnswer::Busy;
    return isBusy(device);
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

}  // namespace orn
