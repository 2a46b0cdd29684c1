#include "engine/generic_handler.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "link/frame.h"
#include "link/port_discovery.h"
#include "link/usb_hid_port.h"
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

// "\\.\COM12" and "COM12" name the same port.
std::string PlainPortName(const char* name) {
    std::string text = name ? name : "";
    if (text.compare(0, 4, "\\\\.\\") == 0) text.erase(0, 4);
    return text;
}

bool IsPendingRecord(const CCommandData* record) {
    return record->GetState() != kStateUserCallback && record->GetState() != kStateCancelled &&
           record->GetState() != kStateRemoveFromQueue;
}

}  // namespace

CGenericHandler::CGenericHandler()
    : m_Receiver(*this),
      m_pPlatformPortKindQuery(std::make_unique<PlatformPortKindQuery>(m_Logger)),
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

// --- transport --------------------------------------------------------------------------------

IPortKindQuery& CGenericHandler::PortKindQuery() {
    LockGuard hold(m_PortObjectLock);
    return m_pPortKindQuery ? *m_pPortKindQuery : *m_pPlatformPortKindQuery;
}

void CGenericHandler::InstallTransport(std::shared_ptr<ITransport> transport,
                                       const std::string& name, bool usbSerial) {
    m_nDataWidth = transport->DataWidth();
    LockGuard hold(m_PortObjectLock);
    m_pTransport = std::move(transport);
    m_strPortName = name;
    m_bUsbSerialLink = usbSerial;
}

uint32_t CGenericHandler::OpenSerialPort(const char* name, uint32_t rxQueue, uint32_t txQueue,
                                         const char* portName) {
    DestroyRetiredPort();
    std::string plainName = PlainPortName(portName ? portName : name);
    const bool makerUsb = PortKindQuery().IsMakerUsbSerialPort(plainName);

    auto port = std::make_shared<CComPort>(m_Logger, this);
    // The listener starts only once the line is set up, so nothing reads while it changes.
    uint32_t err = port->CSerialListener::Open(name, rxQueue, txQueue, false);
    if (err != 0) return err;
    // The terminal link: 7 data bits, even parity, one stop bit, no handshake; the maker's USB
    // port runs at 115200 baud. A device that refuses the line settings (a pseudo-terminal)
    // stays raw and carries the link unchanged.
    err = port->Setup(makerUsb ? 115200 : 9600, 7, platform::Parity::Even, platform::StopBits::One);
    if (err != 0)
        m_Logger.Log(kLogInfo,
                     "Serial line settings refused by the device (error %u), port left raw", err);
    err = port->SetupHandshaking(platform::Handshake::Off);
    if (err != 0)
        m_Logger.Log(kLogInfo, "Serial handshake settings refused by the device (error %u)", err);
    err = port->StartListener();
    if (err != 0) {
        port->Close();
        return err;
    }
    // After a failed write, the maker's USB port counts as gone once it is no longer listed.
    if (makerUsb)
        port->SetDeviceGoneProbe(
            [this, plainName] { return !PortKindQuery().IsUsbPortPresent(plainName); });
    // The maker's USB port acknowledges the terminal's enquiries at once.
    if (makerUsb) m_nQuickCancelMode = 0;
    InstallTransport(std::move(port), plainName, makerUsb);
    return 0;
}

uint32_t CGenericHandler::OpenHidPort(const std::string& path) {
    DestroyRetiredPort();
    auto port = std::make_shared<CUsbHidPort>(m_Logger, this);
    const uint32_t err = port->Open(path);
    if (err != 0) return err;
    InstallTransport(std::move(port), path, false);
    return 0;
}

bool CGenericHandler::IsPortOpen() {
    LockGuard hold(m_PortObjectLock);
    return m_pTransport && m_pTransport->IsOpen();
}

std::shared_ptr<ITransport> CGenericHandler::Transport() {
    LockGuard hold(m_PortObjectLock);
    return m_pTransport;
}

std::shared_ptr<CComPort> CGenericHandler::SerialPort() {
    return std::dynamic_pointer_cast<CComPort>(Transport());
}

bool CGenericHandler::SetSerialDtr(bool on) {
    LockGuard hold(m_PortObjectLock);
    auto* port = dynamic_cast<CComPort*>(m_pTransport.get());
    return port && port->SetDTR(on) == 0;
}

int CGenericHandler::GetSerialDsr() {
    LockGuard hold(m_PortObjectLock);
    auto* port = dynamic_cast<CComPort*>(m_pTransport.get());
    if (!port) return -1;
    return port->GetDSR() ? 1 : 0;
}

void CGenericHandler::DestroyTransport() {
    std::shared_ptr<ITransport> transport;
    {
        LockGuard hold(m_PortObjectLock);
        transport = std::move(m_pTransport);
        m_bUsbSerialLink = false;
    }
    // Closed outside the lock: the listener being stopped may itself be writing through us.
    if (transport) {
        transport->CloseTransport();
        KeepWhileListenerBusy(std::move(transport));
    }
    DestroyRetiredPort();
}

void CGenericHandler::KeepWhileListenerBusy(std::shared_ptr<ITransport> transport) {
    if (transport->Idle()) return;
    LockGuard hold(m_PortObjectLock);
    m_BusyPorts.push_back(std::move(transport));
}

void CGenericHandler::DestroyRetiredPort() {
    std::shared_ptr<ITransport> port;
    std::vector<std::shared_ptr<ITransport>> idle;
    {
        LockGuard hold(m_PortObjectLock);
        // Ports whose given-up listener has let go of them at last.
        for (auto it = m_BusyPorts.begin(); it != m_BusyPorts.end();) {
            if ((*it)->Idle()) {
                idle.push_back(std::move(*it));
                it = m_BusyPorts.erase(it);
            } else {
                ++it;
            }
        }
        // The listener of a lost port cannot stop itself; a later caller on another thread
        // (QueueThread, the close) finishes the job.
        if (m_pRetiredPort && m_pRetiredPort->ListenerThreadId() != platform::CurrentThreadId())
            port = std::move(m_pRetiredPort);
    }
    idle.clear();
    if (!port) return;
    port->CloseTransport();
    KeepWhileListenerBusy(std::move(port));
}

void CGenericHandler::SetPortKindQuery(IPortKindQuery* query) {
    LockGuard hold(m_PortObjectLock);
    m_pPortKindQuery = query;
}

uint32_t CGenericHandler::Write(const uint8_t* data, uint32_t length) {
    // The transport is held by its own reference while it writes, so a write that waits for a
    // stalled device never holds the lock every command's link test needs.
    std::shared_ptr<ITransport> transport = Transport();
    if (!transport) return 0;
    const uint32_t err = transport->WriteFrame(data, length, kWriteLimitMs);
    return err == 0 ? 0 : OnWriteError(transport, err);
}

void CGenericHandler::SendRawCancel() {
    Write(kCancelFrame, sizeof kCancelFrame);
}

uint32_t CGenericHandler::OnWriteError(const std::shared_ptr<ITransport>& transport,
                                       uint32_t error) {
    const bool hid = transport->DataWidth() == 8;
    m_Logger.Log(kLogSevere,
                 hid ? "Error Writing to USB HID Port: %d" : "Error Writing to Serial Port: %d",
                 static_cast<int>(error));
    {
        LockGuard hold(m_PortObjectLock);
        if (m_pTransport != transport) return 0;  // closed or replaced meanwhile
    }
    if (error == platform::kErrTimeout) {
        // The device takes nothing any more (a stalled adapter): nothing will get through.
        m_Logger.Log(kLogSevere, "Write Timed Out, Link Lost");
    } else if (transport->DeviceGone()) {
        m_Logger.Log(kLogSevere, hid ? "USB HID Unplugged" : "USB Serial Unplugged");
    } else {
        return 0;  // a port that is still there: the error is only logged
    }
    HandleLostLink(transport);
    return 1;
}

void CGenericHandler::OnDeviceGone() {
    std::shared_ptr<ITransport> transport = Transport();
    if (!transport) return;
    m_Logger.Log(kLogSevere, "USB HID Unplugged");
    HandleLostLink(transport);
}

void CGenericHandler::HandleLostLink(const std::shared_ptr<ITransport>& transport) {
    {
        LockGuard hold(m_PortObjectLock);
        if (!m_pTransport || m_pTransport != transport) return;  // another one got here first
        m_pRetiredPort = std::move(m_pTransport);
        m_bUsbSerialLink = false;
    }
    DestroyRetiredPort();  // at once unless we are the lost port's own listener
    ClearEmvSessions();
    ResetReceiver();
    SetConnectionState(kConnPortClosed);
    m_nPowerUpSeen = 0;
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
        auto logOther = [this](WaitResult result) {
            const char* line =
                result == WaitResult::Abandoned ? "QueueThread shutdown Wait Abandoned"
                : result == WaitResult::Failed  ? "QueueThread shutdown Wait Failed"
                                                : "QueueThread shutdown Wait Defaulted";
            m_Logger.Log(kLogSevere, "%s", line);
        };
        // Level 1: finish the queue, then stop.
        m_pQueueControl->drain = true;
        m_hQueueEvent->Set();
        WaitResult result = m_QueueThread.Join(kThreadWaitMs);
        if (result == WaitResult::Signalled) {
            m_Logger.Log(kLogInfo, "QueueThread level1 shutdown completed");
        } else if (result == WaitResult::Timeout) {
            m_Logger.Log(kLogInfo, "QueueThread shutdown level1 timeout, issuing level2 shutdown");
            // Level 2: stop now.
            m_pQueueControl->stop = true;
            m_hQueueEvent->Set();
            result = m_QueueThread.Join(kThreadWaitMs);
            if (result == WaitResult::Signalled) {
                m_Logger.Log(kLogInfo, "QueueThread shutdown properly");
            } else if (result == WaitResult::Timeout) {
                m_Logger.Log(kLogSevere, "QueueThread shutdown improperly, terminating thread");
            } else {
                logOther(result);
            }
        } else {
            logOther(result);
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
    m_nNakCount = 0;
}

void CGenericHandler::CloseLink() {
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
    m_nPowerUpSeen = 0;
    m_nQuickCancelMode = 1;
}

void CGenericHandler::CloseCandidate() {
    DestroyTransport();
    ClearEmvSessions();
    ResetReceiver();
    ClearQueue();
    SetConnectionState(kConnPortClosed);
    m_nPowerUpSeen = 0;
    m_nQuickCancelMode = 1;
}

int CGenericHandler::WaitForPowerUpOrCancel() {
    if (m_nPowerUpSeen.exchange(0) != 0) return 1;
    for (int poll = 0; poll < kPowerUpPolls; ++poll) {
        platform::SleepMs(kPowerUpPollMs);
        if (m_nPowerUpSeen.exchange(0) != 0) {
            platform::SleepMs(kPowerUpSettleMs);
            return 1;
        }
    }
    return QuickCancel(true);
}

size_t CGenericHandler::QueueSize() {
    LockGuard hold(m_QueueLock);
    return m_Queue.size();
}

// --- QueueThread --------------------------------------------------------------------------------

void CGenericHandler::RemoveReleasedRecords() {
    LockGuard hold(m_QueueLock);
    if (m_Queue.empty()) return;
    const size_t before = m_Queue.size();
    m_Logger.Log(kLogDetail, "Queue: Number of Elements: %d", static_cast<int>(before));
    for (auto it = m_Queue.begin(); it != m_Queue.end();) {
        CCommandData* record = *it;
        if (record->GetState() != kStateRemoveFromQueue) {
            ++it;
            continue;
        }
        m_Logger.Log(kLogDetail, "CGenericHandler::QueueThread - Removing from Queue: %s",
                     record->GetName());
        it = m_Queue.erase(it);
        DropFromQueue(record);
    }
    if (m_Queue.size() != before)
        m_Logger.Log(kLogDetail, "Queue: Number of Elements: %d after all removals",
                     static_cast<int>(m_Queue.size()));
}

uint32_t CGenericHandler::QueueThread(std::shared_ptr<QueueControl> control) {
    m_hQueueThreadStartEvent.Set();
    uint32_t idleStart = platform::TickCount();
    uint32_t waitMs = 0;
    // Frames are copied here under the lock and written after it is released.
    uint8_t plain[kResponseBufferSize];
    uint8_t encoded[kResponseBufferSize];

    while (!control->stop) {
        // 1. Sleep until something changes or the nearest timer is due. The event is reset
        // before the queue is looked at, so a change made during this cycle wakes the next.
        if (waitMs > 0) m_hQueueEvent->Wait(waitMs);
        m_hQueueEvent->Reset();
        if (control->stop) break;
        uint32_t nextWait = kQueueMaxWaitMs;
        auto dueIn = [&nextWait](uint32_t ms) { nextWait = std::min(nextWait, ms); };

        // 2. Drop released records.
        RemoveReleasedRecords();

        // 3. Blocked groups: a record waiting for its ACK or response, or a synchronous record
        // whose caller has not yet collected its outcome.
        bool blocked[kGroupCount] = {};
        {
            LockGuard hold(m_QueueLock);
            for (CCommandData* record : m_Queue) {
                const int32_t state = record->GetState();
                const int32_t group = record->GetGroup();
                if (group < 0 || group >= kGroupCount) continue;
                if (state == kStateWaitAck || state == kStateWaitResponse ||
                    (state == kStateComplete && !record->IsAsync()))
                    blocked[group] = true;
            }
        }
        if (m_Logger.Enabled(kLogFine))
            for (int group = 0; group < kGroupCount; ++group)
                if (blocked[group]) m_Logger.Log(kLogFine, "Group Blocked for Send: %d", group);

        // 4. Walk the queue; 5. drain; 6. take a record for sending.
        bool ackPending = false;
        bool hold = false;
        bool idle = true;
        bool resetReceiver = false;
        bool heldByReception = false;
        bool released = false;
        int frameLength = 0;
        int encodedLength = -1;
        bool linkCheckSent = false;
        bool triggerRead = false;  // an answer is awaited: USB HID hands it on without delay
        {
            LockGuard lock(m_QueueLock);
            CCommandData* candidate = nullptr;
            for (CCommandData* record : m_Queue) {
                const int32_t group = record->GetGroup();
                m_Logger.Log(kLogDetail, "Queue: Processing %s, state=%d", record->GetName(),
                             record->GetState());
                const int32_t stateBefore = record->GetState();
                switch (stateBefore) {
                    case kStateSend:
                        if (group == kGroupCancel) {
                            candidate = record;
                            m_Logger.Log(kLogFine,
                                         "SEND Candidate chosen %s (priority for cancel command)",
                                         record->GetName());
                        } else if (!candidate && group >= 0 && group < kGroupCount &&
                                   !blocked[group]) {
                            candidate = record;
                            m_Logger.Log(kLogFine, "SEND Candidate chosen %s", record->GetName());
                        }
                        idle = false;
                        break;
                    case kStateWaitAck:
                        ackPending = true;
                        if (record->IsEnqTest()) {
                            if (record->TimerExpired()) {
                                record->SetResult(ORN_ERR_NO_ACK_ERROR);
                                record->SetState(kStateComplete);
                                if (GetConnectionState() == kConnOk)
                                    SetConnectionState(kConnDisconnected);
                            } else {
                                dueIn(record->TimerRemaining());
                            }
                        } else {
                            idle = false;
                        }
                        triggerRead = true;
                        break;
                    case kStateWaitResponse:
                        triggerRead = true;
                        if (record->IsAsync()) {
                            if (record->TimerExpired()) {
                                resetReceiver = true;
                                record->SetResult(ORN_ERR_API_TIMEOUT);
                                record->SetState(kStateUserCallback);
                                StartCallbackThread(record);
                            } else {
                                dueIn(record->TimerRemaining());
                            }
                        } else {
                            hold = true;
                        }
                        break;
                    case kStateComplete:
                        if (record->IsEnqTest())
                            record->SetState(kStateRemoveFromQueue);
                        else if (!record->IsAsync())
                            hold = true;
                        break;
                    case kStateUserCallback: {
                        const auto& thread = record->GetCallbackThread();
                        if (!thread) {
                            m_Logger.Log(kLogSevere,
                                         "Queue: State=STATE_USER_CALLBACK -- NULL Thread Handle "
                                         "on Asynchronous Callback completion");
                            // Nothing will ever end it: reclaim it rather than keep it forever.
                            record->SetState(kStateRemoveFromQueue);
                        } else if (thread->Finished()) {
                            record->SetState(kStateRemoveFromQueue);
                        }
                        break;
                    }
                    case kStateCancelled:
                        if (record->IsEnqTest()) {
                            record->SetState(kStateRemoveFromQueue);
                        } else if (record->IsAsync() && !record->m_bRefused) {
                            record->SetState(kStateUserCallback);
                            StartCallbackThread(record);
                        } else if (!record->IsAsync() && control->drain) {
                            record->SetState(kStateRemoveFromQueue);
                        }
                        break;
                    default:
                        break;
                }
                // Released here: dropped on the very next cycle.
                if (record->GetState() == kStateRemoveFromQueue &&
                    stateBefore != kStateRemoveFromQueue)
                    released = true;
            }

            if (control->drain && m_Queue.empty()) control->stop = true;

            if (!ackPending && candidate) {
                const int32_t group = candidate->GetGroup();
                if (m_Receiver.FrameInProgress()) {
                    heldByReception = true;
                } else if (candidate->IsEnqTest() || !hold || group == kGroupMac ||
                           group == kGroupCancel) {
                    candidate->SetState(kStateWaitAck);
                    if (candidate->IsEnqTest()) {
                        candidate->StartTimer();
                        dueIn(candidate->TimerRemaining());
                    }
                    m_Logger.Log(kLogFine, "Sending Data for %s", candidate->GetName());
                    if (!IsPortOpen()) {
                        candidate->SetResult(ORN_ERR_COMM_PORT_NOT_OPEN);
                        candidate->SetState(kStateComplete);
                        if (candidate->GetSendEvent()) candidate->GetSendEvent()->Set();
                    } else {
                        candidate->BuildFrame(DataWidth() == 8);
                        const unsigned char* frame = nullptr;
                        frameLength = std::min<int>(candidate->GetFrame(&frame), sizeof plain);
                        std::memcpy(plain, frame, static_cast<size_t>(frameLength));
                        const unsigned char* coded = nullptr;
                        encodedLength = candidate->GetEncodedFrame(&coded);
                        if (encodedLength >= 0) {
                            encodedLength = std::min<int>(encodedLength, sizeof encoded);
                            std::memcpy(encoded, coded, static_cast<size_t>(encodedLength));
                        }
                        linkCheckSent = candidate->IsEnqTest();
                        if (candidate->GetSendEvent()) candidate->GetSendEvent()->Set();
                    }
                }
            }
        }
        // The receiver takes its own lock before the queue lock, so it is reset only here.
        if (resetReceiver) ResetReceiver();

        // 7. Write the frame taken.
        if (frameLength > 0) {
            DumpTxFrame(m_Logger, linkCheckSent ? kLogDetail : kLogFine, plain,
                        static_cast<size_t>(frameLength), encodedLength >= 0 ? encoded : nullptr,
                        encodedLength);
            if (encodedLength >= 0)
                Write(encoded, static_cast<uint32_t>(encodedLength));
            else
                Write(plain, static_cast<uint32_t>(frameLength));
            triggerRead = true;  // its ACK is awaited now
        }
        if (triggerRead) {
            if (std::shared_ptr<ITransport> transport = Transport()) transport->TriggerRead();
        }

        // 8. Idle link check.
        const uint32_t now = platform::TickCount();
        const int32_t connection = GetConnectionState();
        if (m_bLinkMonitoring) {
            bool restart = !idle || m_Receiver.FrameInProgress() || connection == kConnPortClosed;
            if (connection == kConnPowerUp) {
                SetConnectionState(kConnOk);
                restart = true;
            }
            const uint32_t limit =
                connection == kConnPending ? kIdleLinkCheckPendingMs : kIdleLinkCheckMs;
            if (restart) {
                idleStart = now;
            } else if (now - idleStart > limit) {
                if (QueueLinkCheck() == ORN_ERR_COMM_PORT_NOT_OPEN)
                    SetConnectionState(kConnDisconnected);
                idleStart = now;
            } else {
                dueIn(limit - (now - idleStart) + 1);
            }
        } else if (connection == kConnPowerUp) {
            SetConnectionState(kConnOk);
        }

        // 9. A frame that stopped arriving is dropped by the receiver's watchdog.
        m_Receiver.CheckFrameWatchdog();

        // 10. Callback threads that have ended are reclaimed; a lost port is closed.
        ReapCallbackThreads();
        DestroyRetiredPort();

        // A candidate held back only because a frame is coming in is retried soon; every other
        // hold ends with an event.
        waitMs = released ? 0 : heldByReception ? 5 : std::max<uint32_t>(nextWait, 1);
    }
    return 0;
}

// --- calling side --------------------------------------------------------------------------------

int32_t CGenericHandler::ResultOf(CCommandData* record) {
    LockGuard hold(m_QueueLock);
    return record->GetResult();
}

void CGenericHandler::SetResultLocked(CCommandData* record, int32_t result) {
    LockGuard hold(m_QueueLock);
    record->SetResult(result);
}

int32_t CGenericHandler::NotAdmitted(CCommandData* record) {
    LockGuard hold(m_QueueLock);
    // A record that was never queued (no queue thread, or the link is closing) was never
    // sent: report that rather than a success.
    if (!record->m_bQueued && record->GetResult() == 0)
        record->SetResult(m_bAccepting ? ORN_ERR_API_QUEUE_BLOCKED : ORN_ERR_COMM_PORT_NOT_OPEN);
    return record->GetResult();
}

bool CGenericHandler::AddToQueue(CCommandData* record) {
    bool accepting;
    {
        LockGuard hold(m_QueueLock);
        accepting = m_bAccepting;
    }
    if (!accepting) return false;

    switch (m_hQueueThreadStartEvent.Wait(kThreadWaitMs)) {
        case WaitResult::Signalled:
            break;
        case WaitResult::Timeout:
            m_Logger.Log(kLogInfo, "AddToQueue: QueueThread Start Event Wait Timed Out");
            return false;
        case WaitResult::Abandoned:
            m_Logger.Log(kLogSevere, "AddToQueue: QueueThread Start Event Wait Abandoned");
            break;
        case WaitResult::Failed:
            m_Logger.Log(kLogSevere, "AddToQueue: QueueThread Start Event Wait Failed");
            break;
        default:
            m_Logger.Log(kLogSevere, "AddToQueue: QueueThread Start Event Wait Defaulted");
            break;
    }

    const int32_t group = record->GetGroup();
    const int32_t cancelType = record->GetCancelType();
    if (group == kGroupUnknown)
        m_Logger.Log(kLogInfo, "AddToQueue Warning: %s Group set to unknown", record->GetName());
    if (cancelType == kCancelNone && group != kGroupCancel && group != kGroupEnqTest &&
        group != kGroupEmv && group != kGroupEmvAsync)
        m_Logger.Log(kLogInfo, "AddToQueue Warning: %s Cancel type set to none", record->GetName());
    if (record->GetState() != kStateUninitialized)
        m_Logger.Log(kLogInfo,
                     "AddToQueue Warning: %s Command State should not be set yet: State=%d",
                     record->GetName(), record->GetState());

    bool busy = group == kGroupSc && EmvSessionOpen();
    bool admitted = false;
    {
        LockGuard hold(m_QueueLock);
        if (!m_bAccepting) return false;  // the link closed while we waited
        for (CCommandData* queued : m_Queue) {
            const int32_t state = queued->GetState();
            if (queued->GetGroup() == group && queued->IsAsync() && IsPendingRecord(queued)) {
                busy = true;
                m_Logger.Log(kLogInfo,
                             "AddToQueue: Busy Status for %s due to Async Command in same Group "
                             "already in queue",
                             record->GetName());
            } else if (group == kGroupCancel && state != kStateRemoveFromQueue &&
                       std::strcmp(queued->GetName(), record->GetName()) == 0) {
                busy = true;
                m_Logger.Log(kLogInfo,
                             "AddToQueue: Busy Status for Cancel Command %s due to same Cancel "
                             "Command already in queue",
                             record->GetName());
            } else if (queued->GetGroup() == kGroupCancel && state != kStateRemoveFromQueue &&
                       (queued->GetCancelType() == cancelType ||
                        (cancelType == kCancelMsr && queued->GetCancelType() == kCancel50))) {
                busy = true;
                m_Logger.Log(kLogInfo,
                             "AddToQueue: Busy Status for %s due to Cancel Command for that Group "
                             "already in queue",
                             record->GetName());
            }
        }
        record->ResetAllEvents();
        if (busy) {
            record->SetResult(ORN_ERR_DEVICE_IS_BUSY_ERROR);
            record->SetState(kStateCancelled);
            record->m_bRefused = true;
        } else {
            record->SetState(kStateSend);
            admitted = true;
        }
        record->AddRef();
        record->m_bQueued = true;
        m_Queue.push_back(record);
    }
    m_hQueueEvent->Set();
    return admitted;
}

void CGenericHandler::LogWaitFailure(const char* prefix, WaitResult result) {
    const char* what = result == WaitResult::Abandoned ? "Wait Abandoned"
                       : result == WaitResult::Failed  ? "Wait Failed"
                                                       : "Wait Defaulted";
    m_Logger.Log(kLogSevere, "%s %s", prefix, what);
}

bool CGenericHandler::WaitForSend(CCommandData* record) {
    platform::Event* event = record->GetSendEvent();
    WaitResult result = event ? event->Wait(kSendWaitMs) : WaitResult::Failed;
    if (result == WaitResult::Signalled) return true;
    if (result != WaitResult::Timeout) LogWaitFailure("WaitForSend", result);
    return false;
}

bool CGenericHandler::WaitForAck(CCommandData* record) {
    platform::Event* event;
    uint32_t timeout;
    {
        LockGuard hold(m_QueueLock);
        event = record->GetAckEvent();
        timeout = record->GetAckTimeout();
    }
    WaitResult result = event ? event->Wait(timeout) : WaitResult::Failed;
    if (result == WaitResult::Signalled) return true;
    if (result != WaitResult::Timeout) LogWaitFailure("WaitForAck", result);
    return false;
}

bool CGenericHandler::WaitForResponse(CCommandData* record) {
    platform::Event* event = record->GetSignalEvent();
    const uint32_t timeout = record->GetResponseTimeout();
    WaitResult result =
        event ? event->Wait(timeout == 0 ? platform::kInfinite : timeout) : WaitResult::Failed;
    if (result == WaitResult::Signalled) return true;
    if (result == WaitResult::Timeout)
        ResetReceiver();
    else
        LogWaitFailure("WaitForResponse", result);
    return false;
}

bool CGenericHandler::AckTimerExpired(CCommandData* record) {
    {
        // The ACK (or a NAK, a cancel, a close) may have come in since the wait ran out; the
        // caller's next round reads that from the record's events.
        LockGuard hold(m_QueueLock);
        if (record->GetState() != kStateWaitAck || !record->m_bQueued) return false;
    }
    ResetReceiver();
    m_Logger.Log(kLogSevere, "ACK Timer Expired");
    {
        LockGuard hold(m_QueueLock);
        if (record->GetState() != kStateWaitAck || !record->m_bQueued) return false;
        if (record->DecrementRetries() != 0) {
            record->ResetAllEvents();
            record->SetState(kStateSend);
        } else {
            m_Logger.Log(kLogSevere, "Report No ACK");
            record->SetResult(ORN_ERR_NO_ACK_ERROR);
            // Out of the ACK wait, as after the last NAK: an ACK that comes late must not take
            // it on to its answer, and an asynchronous request its Req reports failed to a
            // callback besides.
            record->SetState(kStateComplete);
            SetConnectionState(kConnDisconnected);
            return true;
        }
    }
    m_hQueueEvent->Set();
    return false;
}

int32_t CGenericHandler::SendWaitData(CCommandData* record) {
    const bool expectResponse = record->GetResponseId(nullptr) > 0;
    if (!AddToQueue(record)) return NotAdmitted(record);
    m_Logger.Log(kLogFine, "SendWaitData: Added to Queue: %s", record->GetName());
    for (;;) {
        const bool sent = WaitForSend(record);
        m_Logger.Log(kLogDetail, "SendWaitData: Done Waiting for Send");
        if (!sent) {
            SetResultLocked(record, ORN_ERR_API_QUEUE_BLOCKED);
            break;
        }
        if (ResultOf(record) != 0) break;
        const bool acked = WaitForAck(record);
        m_Logger.Log(kLogDetail, "SendWaitData: Done Waiting for ACK");
        if (acked) {
            if (expectResponse) {
                if (ResultOf(record) == 0) {
                    const bool answered = WaitForResponse(record);
                    m_Logger.Log(kLogDetail, "SendWaitData: Done Waiting for Response");
                    if (!answered) {
                        LockGuard hold(m_QueueLock);
                        record->SetResult(ORN_ERR_API_TIMEOUT);
                        // A response arriving after the caller gave up must not be taken for
                        // this record.
                        if (record->GetState() == kStateWaitResponse)
                            record->SetState(kStateComplete);
                    }
                }
            } else {
                {
                    LockGuard hold(m_QueueLock);
                    if (record->m_bQueued && record->GetState() != kStateCancelled)
                        record->SetState(kStateComplete);
                }
                m_hQueueEvent->Set();
            }
            break;
        }
        if (AckTimerExpired(record)) break;
    }
    return ResultOf(record);
}

int32_t CGenericHandler::SendUntilAck(CCommandData* record) {
    for (;;) {
        if (!WaitForSend(record)) {
            SetResultLocked(record, ORN_ERR_API_QUEUE_BLOCKED);
            break;
        }
        if (ResultOf(record) != 0) break;
        if (WaitForAck(record)) break;
        if (AckTimerExpired(record)) break;
    }
    return ResultOf(record);
}

int32_t CGenericHandler::SendAsync(CCommandData* record) {
    record->SetAsync(1);
    if (!AddToQueue(record)) return NotAdmitted(record);
    SendUntilAck(record);
    std::function<void()> hook;
    {
        LockGuard hold(m_NotifyHookLock);
        hook = m_AcceptHook;
    }
    if (hook) hook();
    int32_t result;
    {
        // Exactly one party reports the outcome. A request that failed before or at its ACK
        // (cancel, power-up, no ACK, NAK) is reported by the Req's result, unless the engine
        // already handed it to a callback thread: then the callback reports and the request
        // counts as accepted. That callback may have ended already and the record left the
        // callback state, so the thread is what counts, not the state.
        LockGuard hold(m_QueueLock);
        result = record->GetResult();
        if (result != 0 && record->GetCallbackThread())
            result = 0;
        else if (result != 0)
            record->m_bRefused = true;  // no callback; its Req releases it
        if (result == 0) record->m_bAccepted = true;
    }
    // Accepted: the engine's reference now carries the record to its callback.
    if (result == 0) record->Release();
    return result;
}

int32_t CGenericHandler::SendWaitAck(CCommandData* record) {
    if (!AddToQueue(record)) return NotAdmitted(record);
    int32_t result = SendUntilAck(record);
    if (result == 0 && record->GetStartByte() != kSTX) {
        {
            LockGuard hold(m_QueueLock);
            if (record->m_bQueued && record->GetState() != kStateCancelled)
                record->SetState(kStateComplete);
        }
        m_hQueueEvent->Set();
    }
    return ResultOf(record);
}

int32_t CGenericHandler::WaitResponse(CCommandData* record) {
    if (ResultOf(record) == 0 && !WaitForResponse(record))
        SetResultLocked(record, ORN_ERR_API_TIMEOUT);
    return ResultOf(record);
}

int32_t CGenericHandler::GetResponse(CCommandData* record, unsigned char* buffer) {
    LockGuard hold(m_QueueLock);
    const unsigned char* data = nullptr;
    int32_t length = record->GetResponseData(&data);
    if (length < 0 || !data) return -1;
    length = std::min<int32_t>(length, kResponseBufferSize);
    if (buffer && length > 0) std::memcpy(buffer, data, static_cast<size_t>(length));
    return length;
}

void CGenericHandler::DoneCommand(CCommandData* record) {
    if (!record) return;
    m_Logger.Log(kLogInfo, "DoneCommand %s", record->GetName());
    {
        LockGuard hold(m_QueueLock);
        record->SetState(kStateRemoveFromQueue);
    }
    m_hQueueEvent->Set();
    record->Release();  // the caller's reference; the queue thread drops the engine's
}

void CGenericHandler::CancelQueued(int32_t cancelType) {
    bool changed = false;
    {
        LockGuard hold(m_QueueLock);
        for (CCommandData* record : m_Queue) {
            const int32_t type = record->GetCancelType();
            const int32_t state = record->GetState();
            if (record->GetGroup() == kGroupCancel || state == kStateRemoveFromQueue ||
                record->m_bRefused)
                continue;
            if (type != cancelType && !(type == kCancelMsr && cancelType == kCancel50)) continue;
            if (record->IsAsync() && state == kStateUserCallback) continue;
            record->SetResult(ORN_ERR_CANCELED_BY_USER_ERROR);
            record->SetCurrentEvent();
            record->SetState(kStateCancelled);
            changed = true;
        }
    }
    if (changed) m_hQueueEvent->Set();
}

int32_t CGenericHandler::QuickCancel(bool waitForAck) {
    if (!IsPortOpen()) return 0;
    auto* record = new CCommandData;
    record->SetName("Quick Cancel");
    record->SetRequestId("72");
    record->SetGroup(kGroupCancel);
    record->SetCancelType(kCancelNone);
    int32_t result = 0;
    if (AddToQueue(record) && WaitForSend(record) && ResultOf(record) == 0) {
        if (!waitForAck) {
            result = 1;
        } else if (WaitForAck(record) && ResultOf(record) == 0) {
            CancelQueued(kCancel50);
            result = 1;
        }
    }
    DoneCommand(record);
    m_nQuickCancelMode = 0;
    return result;
}

int32_t CGenericHandler::QueueLinkCheck() {
    if (!IsPortOpen()) return ORN_ERR_COMM_PORT_NOT_OPEN;
    auto* record = new CCommandData;
    record->SetName("ENQ Test");
    record->SetEnqTest();
    record->SetAckTimeout(kLinkCheckTimeoutMs);
    record->SetResponseTimeout(kLinkCheckTimeoutMs);
    record->SetGroup(kGroupEnqTest);
    record->SetCancelType(kCancelNone);
    AddToQueue(record);
    record->Release();  // nobody waits: the queue's reference is the only one left
    return 0;
}

int32_t CGenericHandler::isBusy(int32_t device) {
    int32_t group;
    int32_t cancelType;
    switch (device) {
        case 0:
            group = kGroupDisplay;
            cancelType = kCancel50;
            break;
        case 1:
            group = kGroupMsr;
            cancelType = kCancelMsr;
            break;
        case 2:
            group = kGroupSc;
            cancelType = kCancelSc;
            break;
        case 3:
            return ORN_ERR_UNKNOWN_ERROR;
        case 4:
            group = kGroupPcd;
            cancelType = kCancelPcd;
            break;
        case 5:
        case 6:
        case 7:
        case 8:
            group = kGroupSam0 + (device - 5);
            cancelType = kCancelSc;
            break;
        case 9:
            group = kGroupReboot;
            cancelType = kCancelNone;
            break;
        case 10:
            group = 15;
            cancelType = kCancelSc;
            break;
        default:
            return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
    }
    LockGuard hold(m_QueueLock);
    for (CCommandData* record : m_Queue) {
        if (record->GetGroup() == group && record->IsAsync() && IsPendingRecord(record)) {
            m_Logger.Log(kLogInfo,
                         "isBusy: Busy Status due to Async Command in same Group already in queue");
            return 1;
        }
        if (record->GetGroup() == kGroupCancel && record->GetState() != kStateRemoveFromQueue &&
            (record->GetCancelType() == cancelType ||
             (cancelType == kCancelMsr && record->GetCancelType() == kCancel50))) {
            m_Logger.Log(kLogInfo,
                         "isBusy: Busy Status due to Cancel Command for that Group already in "
                         "queue");
            return 1;
        }
    }
    return 0;
}

int32_t CGenericHandler::IsBusyExport(int32_t device) {
    if (!IsPortOpen()) return ORN_ERR_COMM_PORT_NOT_OPEN;
    if (GetConnectionState() != kConnOk) return ORN_ERR_DEVICE_IS_NOT_RESPONDING_ERROR;
    if (device == 3) return EmvSessionOpen() ? 1 : 0;
    if (device == 2 && EmvSessionOpen()) return 1;
    return isBusy(device);
}

// --- link side ---------------------------------------------------------------------------------

void CGenericHandler::OnAck() {
    // The waiter is woken after the queue lock is released, so that it does not wake only to
    // block on the lock this thread still holds; the extra reference keeps the record alive.
    CCommandData* acked = nullptr;
    {
        LockGuard hold(m_QueueLock);
        m_nNakCount = 0;
        for (CCommandData* record : m_Queue) {
            if (record->GetGroup() == kGroupEmvAsync || record->GetState() != kStateWaitAck)
                continue;
            if (record->GetResponseId(nullptr) > 0) {
                record->SetState(kStateWaitResponse);
                record->StartTimer();
                m_Logger.Log(kLogFine, "Got ACK for %s, command set to waiting for response",
                             record->GetName());
            } else {
                record->SetState(kStateComplete);
                m_Logger.Log(record->IsEnqTest() ? kLogDetail : kLogFine,
                             "Got ACK for %s, command completed", record->GetName());
            }
            // The ACK proves the link. Marked here, before the waiter wakes, so that a caller
            // going on at once (the ready check's quick cancel) already finds it connected.
            SetConnectionState(kConnOk);
            record->AddRef();
            acked = record;
            break;
        }
    }
    if (!acked) return;
    if (acked->GetAckEvent()) acked->GetAckEvent()->Set();
    acked->Release();
    m_hQueueEvent->Set();
}

void CGenericHandler::OnNak() {
    bool changed = false;
    {
        LockGuard hold(m_QueueLock);
        for (CCommandData* record : m_Queue) {
            if (record->GetState() != kStateWaitAck) continue;
            if (m_nNakCount < kMaxNakResends) {
                ++m_nNakCount;
                // Sent again by the queue thread; the caller keeps waiting for the ACK.
                record->SetState(kStateSend);
                record->ResetAllEvents();
            } else {
                m_nNakCount = 0;
                record->SetState(kStateComplete);
                record->SetResult(ORN_ERR_GOT_NAK_ERROR);
                if (record->GetAckEvent()) record->GetAckEvent()->Set();
            }
            changed = true;
            break;
        }
    }
    if (changed) m_hQueueEvent->Set();
}

void CGenericHandler::OnLinkCheckAnswered() {
    {
        LockGuard hold(m_QueueLock);
        for (CCommandData* record : m_Queue) {
            if (!record->IsEnqTest() || record->GetState() != kStateWaitAck) continue;
            record->SetState(kStateComplete);
            if (record->GetAckEvent()) record->GetAckEvent()->Set();
            break;
        }
    }
    m_hQueueEvent->Set();
}

void CGenericHandler::ProcessResponse(const uint8_t* message, uint32_t length) {
    if (!message || length < 3) length = 0;
    // Reader-channel answers of the cancel and status commands are matched by record name.
    const char* name = nullptr;
    if (length >= 7 && std::memcmp(message, "F0.", 3) == 0 && message[3] == 0x00 &&
        message[4] == 0x02) {
        if (message[5] == 0x04 && message[6] == 0x00)
            name = "msrCancel";
        else if (message[5] == 0x07 && message[6] == 0x00)
            name = "smartCardCancel";
        else if (message[5] == 0x07 && (message[6] == 0x05 || message[6] == 0xFF))
            name = "smartCardStatus";
    }

    CCommandData* answered = nullptr;
    {
        LockGuard hold(m_QueueLock);
        CCommandData* match = nullptr;
        if (name) {
            for (CCommandData* record : m_Queue) {
                // Only a record that was sent and waits for its answer takes it: a late answer
                // must not complete a request still queued behind (it was never asked).
                if (record->GetState() != kStateWaitResponse) continue;
                if (std::strcmp(record->GetName(), name) == 0) {
                    match = record;
                    break;
                }
            }
        }
        if (!match && length >= 3) {
            for (CCommandData* record : m_Queue) {
                if (record->GetState() != kStateWaitResponse) continue;
                const unsigned char* id = nullptr;
                if (record->GetResponseId(&id) < 3 || std::memcmp(id, message, 3) != 0) continue;
                const uint8_t selector = record->GetResponseSelector();
                if (selector != 0 && (length < 6 || message[5] != selector)) continue;
                match = record;
                break;
            }
        }
        if (match) {
            match->SetResponse(message + 3, static_cast<int>(length - 3));
            match->SetResult(0);
            if (match->IsAsync()) {
                match->SetState(kStateUserCallback);
                StartCallbackThread(match);
            } else {
                match->SetState(kStateComplete);
            }
            // Woken after the lock is released (see OnAck).
            match->AddRef();
            answered = match;
        }
    }
    if (answered) {
        if (answered->GetSignalEvent()) answered->GetSignalEvent()->Set();
        answered->Release();
        m_hQueueEvent->Set();
        return;
    }
    if (length >= 4 && std::memcmp(message, "50.0", 4) == 0 && m_nStrayCancelExpected != 0)
        return;  // the answer to the cancel sent during the terminal's power-up
    m_Logger.Log(kLogSevere, "Warning: Got Response but no Queue Entry to match!");
    m_nStrayCancelExpected = 0;
}

void CGenericHandler::Receive(const uint8_t* data, uint32_t count) {
    m_Receiver.Receive(data, count);
}

void CGenericHandler::ResetReceiver() {
    m_Receiver.Reset();
}

}  // namespace orn
