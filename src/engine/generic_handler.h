// src/engine/ owns the command queue engine between the exported functions and the link: the
// queue and its threads, the routing of answers to waiting records, the callback threads, the
// connection state and the EMV channel. It reaches the OS only through src/platform/ and the
// terminal only through src/link/.
//
// CGenericHandler: the library's one engine object. It owns the command queue with its
// scheduler thread (QueueThread) and monitor thread, the connection state and, as its last
// member, the logger; the link owner (CLinkOwner) holds the transport and the receiver.
//
// Callers hand command records (CCommandData) to SendWaitData / SendAsync and block on the
// record's own events. One frame at a time is outstanding: QueueThread picks and writes it, or
// the caller itself when its record is the one QueueThread would pick next. The link receiver
// reports ACK, NAK and responses back through the ILinkEngine notifications on the listener
// thread. Sources: generic_handler.cpp (lifecycle), command_queue.cpp (admission and the
// caller's waits), queue_thread.cpp (the scheduler), response_routing.cpp (what the listener
// reports), async_completion.cpp. Parts with state and locks of their own, each a member: the
// link owner (CLinkOwner, with the transport slot CTransportSlot), the input auto-cancel timer
// (CInputAutoCancel), the EMV channel (CEmvChannel) and the callback dispatcher
// (CCallbackDispatcher).
//
// Locks, in the one order they may be taken (the order and what each guards are declared on
// the members below and checked by clang's thread-safety analysis):
//   receiver's receive lock -> queue lock -> the callback dispatcher's locks, and queue lock
//   -> port object lock, queue lock -> connection state lock -> the dispatcher's notifier
//   locks. The input auto-cancel timer's locks, the EMV send and receive locks and
//   the EMV session table's lock are leaves. The EMV exchange lock (recursive) is held across
//   a whole data message, so it comes before all of them.
// The queue lock guards the queue and every record's state, result and response. It and the
// EMV exchange lock are the engine's only recursive locks (not every path under them is known
// not to take them again). The receiver calls OnAck and friends under its receive lock, so
// nothing resets the receiver while holding the queue lock. User callbacks run on threads of
// their own with no engine lock held.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "engine/callback_dispatcher.h"
#include "engine/command_data.h"
#include "engine/emv_channel.h"
#include "engine/input_auto_cancel.h"
#include "engine/link_owner.h"
#include "engine/response_routing.h"
#include "engine/transport_slot.h"
#include "link/com_port.h"
#include "link/link_engine.h"
#include "link/receiver.h"
#include "link/transport.h"
#include "log/logger.h"
#include "platform/platform.h"

namespace orn {

// Connection states; only kConnOk lets a command through.
enum ConnectionState : int32_t {
    kConnPortClosed = 0,
    kConnDisconnected = 1,
    kConnPending = 2,
    kConnPowerUp = 3,
    kConnOk = 4,
};

// What the queue says of a device's group (isBusy).
enum class BusyAnswer {
    Idle,
    Busy,           // an asynchronous command of the group, or its cancel, is queued
    Untracked,      // device 3 (EMV): its state is the session table's, not the queue's
    UnknownDevice,  // no such device
};

class CGenericHandler : public ILinkEngine,
                        private IEmvChannelHost,
                        private ILinkOwnerHost,
                        private IResponseRouterHost {
  public:
    // Timeouts and counts of the scheduler (milliseconds).
    static constexpr uint32_t kThreadWaitMs = 5000;
    static constexpr uint32_t kPowerUpSettleWaitMs = 2000;
    static constexpr uint32_t kSendWaitMs = 60000;
    static constexpr int32_t kMaxNakResends = CResponseRouter::kMaxNakResends;
    static constexpr uint32_t kLinkCheckTimeoutMs = 500;
    static constexpr int kPowerUpPolls = 35;
    static constexpr uint32_t kPowerUpPollMs = 100;
    static constexpr uint32_t kPowerUpSettleMs = 300;
    // Longest sleep of the queue thread when no timer is due sooner. Every change it must act
    // on sets its event; a frame coming in does not (a wake-up per frame costs every command),
    // so this bound lets the thread see it before the receiver's watchdog limit and take that
    // limit as its next deadline.
    static constexpr uint32_t kQueueMaxWaitMs = 2000;
    static_assert(kQueueMaxWaitMs < CLinkReceiver::kFrameTimeLimitMs,
                  "the queue thread must look at a frame in progress before its limit is up");
    // Sleep while a callback has said it is done but its thread has not ended yet.
    static constexpr uint32_t kCallbackEndPollMs = 100;
    static constexpr uint32_t kMonitorPeriodMs = 5000;
    static constexpr int kResponseBufferSize = 4096;
    static_assert(CEmvChannel::kThreadStartWaitMs == kThreadWaitMs,
                  "an EMV callback thread is waited for as long as the others");

    CGenericHandler();
    ~CGenericHandler() override;
    CGenericHandler(const CGenericHandler&) = delete;
    CGenericHandler& operator=(const CGenericHandler&) = delete;

    CLogger& Logger() override { return m_Logger; }
    // The log level changed: the queue monitor looks again at whether it has anything to write.
    void LogLevelChanged();

    // --- transport ---------------------------------------------------------------------------
    // Longest a write may wait for the device before the link counts as lost.
    static constexpr uint32_t kWriteLimitMs = CLinkOwner::kWriteLimitMs;

    // Opens a serial port under its Windows name (or a device path, known as `portName` to the
    // port kind query), starts its listener and applies the line settings of the terminal
    // link. Returns the platform error (0 on success) with the OS's detail.
    platform::Status OpenSerialPort(const char* name, uint32_t rxQueue, uint32_t txQueue,
                                    const char* portName = nullptr) {
        return m_Link.OpenSerialPort(name, rxQueue, txQueue, portName);
    }
    // Opens a USB HID terminal by device path: 0, or 2250 on any failure.
    platform::Status OpenHidPort(const std::string& path) { return m_Link.OpenHidPort(path); }
    // True while a transport exists and holds an open device.
    bool IsPortOpen() { return m_Link.IsPortOpen(); }
    // The open transport, and the serial port when that is what it is (else null).
    std::shared_ptr<ITransport> Transport() { return m_Link.Transport(); }
    std::shared_ptr<CComPort> SerialPort();
    // Modem lines of the open serial port, each reached under the port object lock, so a port
    // closed or lost meanwhile is never touched: false / -1 when there is none (any more);
    // otherwise SetSerialDtr reports whether the line was set, GetSerialDsr gives 1 or 0.
    bool SetSerialDtr(bool on) { return m_Link.Slot().SetSerialDtr(on); }
    int GetSerialDsr() { return m_Link.Slot().GetSerialDsr(); }
    // Closes and destroys the transport (no other state changes).
    void DestroyTransport() { m_Link.Slot().Destroy(); }
    // Writes raw bytes through the open transport. Non-zero only when the write failed and the
    // link was found lost (the link is then torn down, see HandleLostLink).
    uint32_t Write(const uint8_t* data, uint32_t length) override {
        return m_Link.Write(data, length);
    }
    // Writes the six-byte "50." cancel frame straight to the transport, bypassing the queue.
    void SendRawCancel() override;
    // Replaces the port-kind queries (null restores the platform's).
    void SetPortKindQuery(IPortKindQuery* query) { m_Link.Slot().SetPortKindQuery(query); }

    // --- engine lifecycle --------------------------------------------------------------------
    void StartThreads();
    void StopThreads();
    // Fails every queued record (waking its caller) and empties the queue.
    void ClearQueue();
    // Brings the engine down as the session's close does: transport, queue, threads, log.
    void CloseLink();
    // True on a thread that runs the application's callbacks while another thread is closing
    // the link: that close waits for this thread, so a close from here must not wait for it
    // (it would hold both up until the thread wait gives up) and has nothing left to do.
    bool CloseRunningElsewhere() const;
    // True on a thread that runs the application's callbacks.
    static bool OnCallbackThread() { return CCallbackDispatcher::OnCallbackThread(); }
    // Closes a transport that automatic selection tried in vain, as CloseLink does, but leaves
    // the engine's threads and the log running, so the next candidate is tried as the first.
    void CloseCandidate();
    // The ready check after an open: true when the terminal answered (enquiry handshake seen,
    // or the quick cancel was acknowledged).
    bool WaitForPowerUpOrCancel();

    // --- commands ----------------------------------------------------------------------------
    // Admit the record, wait for send, ACK and response. The caller then reads the response
    // with GetResponse and releases the record with DoneCommand.
    int32_t SendWaitData(CCommandData* record);
    // Marks the record asynchronous, admits it and waits for send and ACK. 0: accepted; the
    // engine now owns the record (the caller must not touch it again) and its callback reports
    // the outcome. Non-zero: the caller releases the record with DoneCommand.
    int32_t SendAsync(CCommandData* record);
    // The two halves of SendWaitData (multi-block MAC messages).
    int32_t SendWaitAck(CCommandData* record);
    int32_t WaitResponse(CCommandData* record);
    bool AddToQueue(CCommandData* record);
    bool WaitForSend(CCommandData* record);
    bool WaitForAck(CCommandData* record);
    bool WaitForResponse(CCommandData* record);
    // Copies the response into `buffer` (kResponseBufferSize bytes); -1 when there is none.
    int32_t GetResponse(CCommandData* record, unsigned char* buffer);
    // The record's result as it stands (taken under the queue lock).
    int32_t ResultOf(CCommandData* record);
    // Releases the caller's record; the caller must not use it afterwards.
    void DoneCommand(CCommandData* record);
    // Cancels the live records of a cancel type (kCancel50 also covers kCancelMsr) with -5.
    void CancelQueued(int32_t cancelType);
    // Sends the "72" cancel ahead of everything else. True when sent (and, with waitForAck,
    // acknowledged); false otherwise or with no transport.
    bool QuickCancel(bool waitForAck);
    // Queues a link check ("ENQ Test") nobody waits for; false with no transport.
    bool QueueLinkCheck() override;
    // Whether the queue holds work for a device's group.
    BusyAnswer isBusy(int32_t device);
    // The busy query an application makes, once the link tests passed: an open EMV session
    // makes the EMV devices busy, the rest is isBusy.
    BusyAnswer DeviceBusy(int32_t device);

    // --- link side (ILinkEngine) ---------------------------------------------------------------
    bool EngineStarted() override { return m_bEngineStarted.load(); }
    int DataWidth() override { return m_Link.DataWidth(); }
    bool QuickCancelMode() override { return m_Link.QuickCancelMode(); }
    void SetQuickCancelMode(bool on) { m_Link.SetQuickCancelMode(on); }
    void SetPowerUpSeen() override { m_Link.SetPowerUpSeen(); }
    bool PowerUpSeen() const { return m_Link.PowerUpSeen(); }
    void SetStrayCancelExpected() override { m_Router.SetStrayCancelExpected(); }
    int32_t GetConnectionState() override;
    void SetConnectionState(int32_t state) override;
    int32_t& EnquiryCount() override { return m_Link.EnquiryCount(); }
    void OnAck() override { m_Router.OnAck(); }
    void OnNak() override { m_Router.OnNak(); }
    void OnPowerUp() override;
    void OnLinkCheckAnswered() override { m_Router.OnLinkCheckAnswered(); }
    void ProcessResponse(const uint8_t* message, uint32_t length) override {
        m_Router.ProcessResponse(message, length);
    }
    void EmvAsyncReceiveHandler(const uint8_t* message, uint32_t length) override {
        m_Emv.Receive(message, length);
    }

    // --- asynchronous completion (async_completion.cpp) ----------------------------------------
    using PowerUpCallback = CCallbackDispatcher::PowerUpCallback;
    using ConnectionStateCallback = CCallbackDispatcher::ConnectionStateCallback;
    // Process-wide user callbacks; null removes. Read again each time one is due.
    void SetPowerUpCallback(PowerUpCallback callback) { m_Callbacks.SetPowerUpCallback(callback); }
    void SetConnectionStateCallback(ConnectionStateCallback callback) {
        m_Callbacks.SetConnectionStateCallback(callback);
    }
    // The value the connection state callback (and ornCheckConnectionStatus) reports for a
    // state: 0 -> -1, 4 -> 0, 1..3 unchanged, anything else -7.
    static int ConnectionStateCallbackValue(int32_t state);

    // Input auto-cancel around commands that wait for keypad input: while it runs, a timer
    // thread sends the "50." cancel (ornCancel) once the input has waited the set time.
    int32_t GetInputTimeout() { return m_InputAutoCancel.GetInputTimeout(); }
    using InputTimeoutChange = CInputAutoCancel::InputTimeoutChange;
    InputTimeoutChange SetInputTimeout(int32_t seconds) {
        return m_InputAutoCancel.SetInputTimeout(seconds);
    }
    // Nothing when the timeout is 0. A timer still held for an earlier input is stopped first.
    void StartInputAutoCancel() { m_InputAutoCancel.Start(); }
    // Nothing when the timeout is 0; otherwise ends the timer thread and forgets it.
    void StopInputAutoCancel() { m_InputAutoCancel.Stop(); }

    // Test seam: runs on each power-up thread after its start signal, and on the state notifier
    // before each delivery, before the user callback is read (lets a test change the
    // registration in between).
    void SetNotifyThreadHookForTest(std::function<void()> hook) {
        m_Callbacks.SetNotifyThreadHookForTest(std::move(hook));
    }
    // Test seam: runs at the start of every exported command's link tests (a test makes it
    // throw to check that no exception leaves an export).
    void SetFaultHookForTest(std::function<void()> hook);
    void RunFaultHook();
    // Test seam: runs in SendAsync after the wait for the ACK, before the request is judged
    // accepted or not (lets a test finish the record's callback in between).
    void SetAcceptHookForTest(std::function<void()> hook);
    // Test seam: the longest a caller waits for its record to be sent (kSendWaitMs normally).
    void SetSendWaitForTest(uint32_t ms) { m_dwSendWaitMs = ms; }

    void SetLinkMonitoring(bool on) { m_Link.SetLinkMonitoring(on); }
    bool LinkMonitoring() const { return m_Link.LinkMonitoring(); }
    // Whether any EMV session is open.
    bool EmvSessionOpen() { return AnyEmvSessionOpen(); }

    // --- EMV channel (the CEmvChannel part) ---------------------------------------------------
    // Session table: a name stands for the first entry in use that is a prefix of it.
    bool AddEmvSession(const char* name, EmvSessionCallback callback) {
        return m_Emv.Sessions().Add(name, callback);
    }
    void RemoveEmvSession(const char* name) { m_Emv.Sessions().Remove(name); }
    bool FindEmvSession(const char* name) { return m_Emv.Sessions().Find(name); }
    bool AnyEmvSessionOpen() { return m_Emv.Sessions().AnyOpen(); }
    bool EmvSessionTableFull() { return m_Emv.Sessions().Full(); }
    // Send and receive sequences back to 0 and 128 (after a successful session open).
    void ResetEmvSequences() { m_Emv.ResetSequences(); }
    // The number for the next session request (each call advances it).
    uint8_t NextEmvRequestSequence() { return m_Emv.NextRequestSequence(); }
    // The number for the next data message; only the terminal's acknowledgement advances it.
    uint8_t EmvSendSequence() { return m_Emv.SendSequence(); }
    // Serialises data messages (held from building one until its acknowledgement).
    platform::RecursiveLock& EmvSendExchangeLock() { return m_Emv.SendExchangeLock(); }
    // Completes the data message waiting for its acknowledgement with `status`; `message` (the
    // identifier on) is stored as its response.
    void EmvAckReceived(int32_t status, const uint8_t* message, uint32_t length) override {
        m_Router.EmvAckReceived(status, message, length);
    }

    // --- combined swipe-or-card command (response_routing.cpp)
    // --------------------------------------- Taken only by the command's two completion routines,
    // never with another engine lock.
    platform::Mutex& CombinedWaitLock() { return m_Router.CombinedWaitLock(); }
    // Whether a record whose name begins with `prefix` is queued and not yet released.
    bool HasQueuedRecordNamed(const char* prefix) { return m_Router.HasQueuedRecordNamed(prefix); }

    // Resets the receiver to idle (link closed, reopened or lost, timeouts).
    void ResetReceiver() { m_Link.ResetReceiver(); }

    // Number of records in the queue (diagnostics).
    size_t QueueSize();

  private:
    // What one QueueThread instance reads: a thread abandoned after a failed stop keeps its own
    // flags, so a later thread is never stopped or drained by mistake.
    struct QueueControl {
        std::atomic<bool> stop{false};
        std::atomic<bool> drain{false};
    };

    uint32_t QueueThread(std::shared_ptr<QueueControl> control);
    uint32_t QueueMonitorThread();
    void LogQueue();

    // Runs the record's callback on a new thread (queue lock held).
    void StartCallbackThread(CCommandData* record) override REQUIRES(m_QueueLock) {
        m_Callbacks.StartCallbackThread(record, m_hQueueEvent);
    }
    void ReapCallbackThreads() { m_Callbacks.ReapCallbackThreads(); }
    void StopCallbackThreads() { m_Callbacks.StopCallbackThreads(); }
    void StartStateNotifier() { m_Callbacks.StartStateNotifier(); }
    void StopStateNotifier() { m_Callbacks.StopStateNotifier(); }
    // Constructor step: the events of the parts; a failure is logged and left null.
    void CreateAsyncCompletionEvents();

    // QueueThread phases (queue_thread.cpp), each one step of a cycle.
    struct QueueWalk {
        CCommandData* candidate = nullptr;  // the record to send next
        bool ackPending = false;            // a record waits for its ACK: nothing is sent
        bool hold = false;                  // a synchronous caller has not collected its outcome
        bool idle = true;                   // nothing waits to be sent or acknowledged
        bool resetReceiver = false;         // an asynchronous record timed out
        bool released = false;              // a record was released during the walk
        bool triggerRead = false;           // an answer is awaited
        uint32_t nextWait = 0;              // the nearest timer the walk saw (ms)
    };
    // A frame taken for sending, copied out of its record under the queue lock.
    struct TakenFrame {
        uint8_t plain[kResponseBufferSize];
        uint8_t encoded[kResponseBufferSize];
        int length = 0;  // 0: nothing taken
        int encodedLength = -1;
        bool linkCheck = false;
    };
    void RemoveReleasedRecords();
    void FindBlockedGroups(bool (&blocked)[kGroupCount]);
    // Queue lock held: timers, cancelled and finished records, and the send candidate.
    void WalkQueue(const QueueControl& control, const bool (&blocked)[kGroupCount], QueueWalk& walk)
        REQUIRES(m_QueueLock);
    // Queue lock held: moves the candidate to WAIT_ACK and copies its frame out (left empty
    // when no transport is open: the record then fails -1). False when the candidate is held
    // back behind a synchronous caller; a started link check lowers `timerMs` to its timer.
    bool TakeForSend(CCommandData* candidate, bool hold, TakenFrame& frame, uint32_t* timerMs)
        REQUIRES(m_QueueLock);
    void WriteTaken(const TakenFrame& frame);
    // Drops the engine's reference to a record taken out of the queue (queue lock held).
    static void DropFromQueue(CCommandData* record);

    // Wakes, deferred to the end of the chunk on the listener thread (see CLinkOwner).
    void WakeWaiter(CCommandData* record, platform::Event* event) {
        m_Link.WakeWaiter(record, event);
    }
    void WakeQueueThread() { m_Link.WakeQueueThread(); }

    // Queue lock held: whether the queue thread has anything to do that no caller does itself
    // (a record to send, to reclaim or to hand to its callback, an asynchronous timer, a
    // shutdown). The hot path wakes the thread only then.
    bool SchedulerHasWork() override REQUIRES(m_QueueLock);
    // Queue lock held: whether `record`, just admitted, is the one the queue thread would send
    // next and may be sent at once: nothing else is sent or waited for, nothing holds its group.
    bool CanSendAtOnce(const CCommandData* record) REQUIRES(m_QueueLock);
    // Wakes the queue thread when it has work (takes the queue lock).
    void WakeSchedulerIfNeeded();
    // Notes a frame sent or acknowledged without the queue thread (for its idle clock).
    void NoteCallerActivity() { m_Link.NoteCallerActivity(); }
    // Queue lock held: ends with `result` (waking its caller) every record that `selected` picks
    // and that still waits for something: not answered or failed already, not released, not
    // refused at admission, not an asynchronous one whose callback runs. True when any ended.
    bool EndWaitingRecords(int32_t result, const std::function<bool(const CCommandData&)>& selected)
        REQUIRES(m_QueueLock);
    // Queue lock held: takes a released record out of the queue.
    void EraseReleased(std::list<CCommandData*>::iterator it) REQUIRES(m_QueueLock);

    // Calling-side helpers.
    // The send wait ran out: a record not yet taken is withdrawn with -20, so that it is not
    // sent after its caller was told it failed. False when the queue thread took it meanwhile.
    bool GiveUpSend(CCommandData* record);
    void SetResultLocked(CCommandData* record, int32_t result);
    // The result of a record that AddToQueue did not admit.
    int32_t NotAdmitted(CCommandData* record);
    // Runs the send / ACK part shared by SendAsync and SendWaitAck.
    int32_t SendUntilAck(CCommandData* record);
    // ACK wait ran out: true when the command is finished (-2), false when it was queued again.
    bool AckTimerExpired(CCommandData* record);

    void DestroyRetiredPort() { m_Link.Slot().DestroyRetired(); }
    // ILinkOwnerHost: the link owner retired a lost transport; the rest of the link goes down.
    void LinkLost() override;
    void WakeQueueThreadNow() override { m_hQueueEvent->Set(); }
    void ClearEmvSessions() { m_Emv.Sessions().Clear(); }
    // IEmvChannelHost.
    void ListCallbackThread(const std::shared_ptr<platform::Thread>& thread,
                            int32_t kind) override {
        m_Callbacks.ListCallbackThread(thread, kind);
    }
    void EnterCallbackThread() override { CCallbackDispatcher::EnterCallbackThread(); }

    // The transport, the receiver and the link checks; the receiver's receive lock comes
    // before the queue lock, the port object lock after it.
    CLinkOwner m_Link;

    // Queue.
    // Left recursive: not every path that runs under it is known not to take it again.
    platform::RecursiveLock m_QueueLock ACQUIRED_BEFORE(m_ConnectionStateLock);
    // The engine holds one reference on each.
    std::list<CCommandData*> m_Queue GUARDED_BY(m_QueueLock);
    // Admission open (between StartThreads and StopThreads).
    bool m_bAccepting GUARDED_BY(m_QueueLock) = false;
    // Shared with callback threads, which signal it when they end.
    std::shared_ptr<platform::Event> m_hQueueEvent;
    platform::Event m_hQueueThreadStartEvent{true};
    std::atomic<uint32_t> m_dwSendWaitMs{kSendWaitMs};
    // The thread inside CloseLink (0: none).
    std::atomic<uint32_t> m_dwClosingThread{0};
    platform::Event m_hQueueMonitorThreadStartEvent{true};
    platform::Event m_hKillQueueMonitorThread{true};
    // Set when the log level changes: the monitor sleeps without a period while its dump
    // would not be written.
    platform::Event m_MonitorLevelEvent{false};
    platform::Thread m_QueueThread;
    platform::Thread m_MonitorThread;
    std::shared_ptr<QueueControl> m_pQueueControl;

    // Matches what the receiver reports to the queued records, under the queue lock.
    CResponseRouter m_Router{m_QueueLock, m_Queue, m_Link, *this, m_Logger};

    CCallbackDispatcher m_Callbacks{m_Logger};

    CEmvChannel m_Emv{*this, m_Logger};

    platform::Mutex m_ConnectionStateLock;
    int32_t m_nConnectionState GUARDED_BY(m_ConnectionStateLock) = kConnPortClosed;
    // Set while the state is anything but power-up detected (changed with the state, under its
    // lock): the power-up callback waits for it, so a command sent from the callback finds the
    // link OK rather than racing the queue thread that turns the state into OK.
    platform::Event m_PowerUpSettledEvent{true, true};

    platform::Mutex m_NotifyHookLock;
    std::function<void()> m_FaultHook GUARDED_BY(m_NotifyHookLock);
    std::function<void()> m_AcceptHook GUARDED_BY(m_NotifyHookLock);

    CInputAutoCancel m_InputAutoCancel{m_Logger};

    std::atomic<bool> m_bEngineStarted{false};

    CLogger m_Logger;  // last member: destroyed first, after the destructor stopped everything
};

// The process-wide engine.
CGenericHandler& Engine();

}  // namespace orn
