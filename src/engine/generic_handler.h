// The engine's locks, in the one order they may be taken (a lock may be taken while holding
// only locks to its left, or none):
//   EMV exchange lock -> receiver's receive lock -> queue lock -> { port object lock,
//   connection state lock -> dispatcher's notifier lock -> a notifier's own lock,
//   dispatcher's notify start lock -> dispatcher's list lock }.
// Leaves, under which no other engine lock is taken: the input auto-cancel timer's control lock
// (before its own lock), the EMV send, receive and session table locks, the notify hook locks
// and the combined command's wait lock. The order is declared on the locks themselves
// (ACQUIRED_BEFORE / ACQUIRED_AFTER, reaching another part's lock through its accessor) and
// clang's thread-safety analysis fails the build where a function takes two against it: the
// queue lock after the receive lock and before the port object lock and the notify start lock,
// the connection state lock after the queue lock and before the notifier lock, and the orders
// inside the callback dispatcher and the input auto-cancel timer. The EMV exchange lock's place
// holds by the EMV channel's calls only. Of the engine's own locks only the EMV exchange lock is
// recursive: it is held across a whole data message, and not every path under it is known not
// to take it again.
//
// src/engine/ holds the command queue engine between the exported functions and the link. It
// reaches the OS only through src/platform/ and the terminal only through src/link/.
//
// CGenericHandler: the library's one engine object and its face. Its operations keep their
// names and forward to the parts it is made of (QueueThread and its events keep theirs in the
// command queue), each a member with its state and locks of its own: the link owner (CLinkOwner:
// transport, receiver, lost link, idle link check, watchdog), the command queue (CCommandQueue: the
// queue, admission, the caller's waits and QueueThread), the response routing (CResponseRouter),
// the callback dispatcher (CCallbackDispatcher), the input auto-cancel timer (CInputAutoCancel) and
// the EMV channel (CEmvChannel). The engine itself keeps the connection state (under its own lock,
// with the power-up handling in async_completion.cpp), the queue monitor thread, the test hooks
// and, as its last member, the logger. Every part runs on the engine's services (engine_services.h:
// its clock, thread start, transport opener), the platform's unless a test gave others.
//
// Callers hand command records (CCommandData) to SendWaitData / SendAsync and block on the
// record's own events. One frame at a time is outstanding: QueueThread picks and writes it, or
// the caller itself when its record is the one QueueThread would pick next. The link receiver
// reports ACK, NAK and responses through the ILinkEngine notifications on the listener thread,
// under its receive lock; the response routing matches them to records. User callbacks run on
// threads of their own with no engine lock held.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/callback_dispatcher.h"
#include "engine/command_data.h"
#include "engine/command_queue.h"
#include "engine/emv_channel.h"
#include "engine/engine_services.h"
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

class CGenericHandler : public ILinkEngine,
                        private IEmvChannelHost,
                        private ILinkOwnerHost,
                        private IResponseRouterHost,
                        private ICommandQueueHost {
  public:
    // Timeouts and counts of the scheduler (milliseconds).
    static constexpr uint32_t kThreadWaitMs = CCommandQueue::kThreadWaitMs;
    static constexpr uint32_t kPowerUpSettleWaitMs = 2000;
    static constexpr uint32_t kSendWaitMs = CCommandQueue::kSendWaitMs;
    static constexpr int32_t kMaxNakResends = CResponseRouter::kMaxNakResends;
    static constexpr int kPowerUpPolls = 35;
    static constexpr uint32_t kPowerUpPollMs = 100;
    static constexpr uint32_t kPowerUpSettleMs = 300;
    static constexpr uint32_t kMonitorPeriodMs = 5000;
    static constexpr int kResponseBufferSize = CCommandQueue::kResponseBufferSize;
    static_assert(CEmvChannel::kThreadStartWaitMs == kThreadWaitMs,
                  "an EMV callback thread is waited for as long as the others");

    // `services`: the clock, thread start, transport opener and port kind query the engine runs
    // on (the platform's where unset).
    explicit CGenericHandler(EngineServices services = {});
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
    // 0, or why a thread the engine cannot run without (QueueThread) did not start.
    platform::Status StartThreads();
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
    int32_t SendWaitData(CCommandData* record) { return m_CommandQueue.SendWaitData(record); }
    // Marks the record asynchronous, admits it and waits for send and ACK. 0: accepted; the
    // engine now owns the record (the caller must not touch it again) and its callback reports
    // the outcome. Non-zero: the caller releases the record with DoneCommand.
    int32_t SendAsync(CCommandData* record) { return m_CommandQueue.SendAsync(record); }
    // The two halves of SendWaitData (multi-block MAC messages).
    int32_t SendWaitAck(CCommandData* record) { return m_CommandQueue.SendWaitAck(record); }
    int32_t WaitResponse(CCommandData* record) { return m_CommandQueue.WaitResponse(record); }
    bool AddToQueue(CCommandData* record) { return m_CommandQueue.AddToQueue(record); }
    bool WaitForSend(CCommandData* record) { return m_CommandQueue.WaitForSend(record); }
    bool WaitForAck(CCommandData* record) { return m_CommandQueue.WaitForAck(record); }
    bool WaitForResponse(CCommandData* record) { return m_CommandQueue.WaitForResponse(record); }
    // Copies the response into `buffer` (kResponseBufferSize bytes); -1 when there is none.
    int32_t GetResponse(CCommandData* record, unsigned char* buffer) {
        return m_CommandQueue.GetResponse(record, buffer);
    }
    // The record's result as it stands (taken under the queue lock).
    int32_t ResultOf(CCommandData* record) { return m_CommandQueue.ResultOf(record); }
    // Releases the caller's record; the caller must not use it afterwards.
    void DoneCommand(CCommandData* record) { m_CommandQueue.DoneCommand(record); }
    // Cancels the live records of a cancel type (kCancel50 also covers kCancelMsr) with -5.
    void CancelQueued(int32_t cancelType) { m_CommandQueue.CancelQueued(cancelType); }
    // Sends the "72" cancel ahead of everything else. True when sent (and, with waitForAck,
    // acknowledged); false otherwise or with no transport.
    bool QuickCancel(bool waitForAck) { return m_CommandQueue.QuickCancel(waitForAck); }
    // Queues a link check ("ENQ Test") nobody waits for; false with no transport.
    bool QueueLinkCheck() override { return m_CommandQueue.QueueLinkCheck(); }
    // Whether the queue holds work for a device's group.
    BusyAnswer isBusy(int32_t device) { return m_CommandQueue.isBusy(device); }
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
    void SetSendWaitForTest(uint32_t ms) { m_CommandQueue.SetSendWaitForTest(ms); }

    void SetLinkMonitoring(bool on) { m_Link.SetLinkMonitoring(on); }
    bool LinkMonitoring() const { return m_Link.LinkMonitoring(); }
    // Whether any EMV session is open.
    bool EmvSessionOpen() override { return AnyEmvSessionOpen(); }

    // --- EMV channel (the CEmvChannel part) ---------------------------------------------------
    // Session table: a name stands for the first entry in use that is a prefix of it.
    bool AddEmvSession(const char* name, EmvSessionCallback callback) {
        return m_Emv.Sessions().Add(name, callback);
    }
    void RemoveEmvSession(const char* name) { m_Emv.Sessions().Remove(name); }
    bool FindEmvSession(const char* name) { return m_Emv.Sessions().Find(name); }
    bool AnyEmvSessionOpen() { return m_Emv.Sessions().AnyOpen(); }
    bool EmvSessionTableFull() { return m_Emv.Sessions().Full(); }
    // Send and receive sequences back to 0 and 128.
    void ResetEmvSequences() { m_Emv.ResetSequences(); }
    // The send sequence back to 0 (after a successful session open; see CEmvChannel).
    void ResetEmvSendSequence() { m_Emv.ResetSendSequence(); }
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

    // --- combined swipe-or-card command ------------------------------------------------------
    // Runs `use` on the command's state under its lock (never held with another engine lock).
    template <typename Use>
    auto WithCombinedWait(Use&& use) {
        return m_Router.WithCombinedWait(std::forward<Use>(use));
    }
    // Whether a record whose name begins with `prefix` is queued and not yet released.
    bool HasQueuedRecordNamed(const char* prefix) { return m_Router.HasQueuedRecordNamed(prefix); }

    // The tick of the engine's clock. After the injected clock jumped, ClockAdvanced lets the
    // queue thread look at its timers again at once.
    uint32_t TickNow() override { return m_Link.Now(); }
    void ClockAdvanced() { m_CommandQueue.Wake(); }

    // Resets the receiver to idle (link closed, reopened or lost, timeouts).
    void ResetReceiver() { m_Link.ResetReceiver(); }

    // Number of records in the queue (diagnostics).
    size_t QueueSize() { return m_CommandQueue.QueueSize(); }

  private:
    uint32_t QueueMonitorThread();
    void LogQueue();

    void StopCallbackThreads() { m_Callbacks.StopCallbackThreads(); }
    void StartStateNotifier() { m_Callbacks.StartStateNotifier(); }
    void StopStateNotifier() { m_Callbacks.StopStateNotifier(); }
    // Constructor step: the events of the parts; a failure is logged and left null.
    void CreateAsyncCompletionEvents();

    // ILinkOwnerHost: the link owner retired a lost transport; the rest of the link goes down.
    void LinkLost() override;
    void WakeQueueThreadNow() override { m_CommandQueue.Wake(); }
    // ICommandQueueHost.
    void RunAcceptHook() override;
    void ClearEmvSessions() { m_Emv.Sessions().Clear(); }
    // IEmvChannelHost.
    void ListCallbackThread(const std::shared_ptr<platform::Thread>& thread,
                            int32_t kind) override {
        m_Callbacks.ListCallbackThread(thread, kind);
    }
    void EnterCallbackThread() override { CCallbackDispatcher::EnterCallbackThread(); }

    // First member: every part holds a reference to it.
    const EngineServices m_Services;

    // The transport, the receiver and the link checks; the receiver's receive lock comes
    // before the queue lock, the port object lock after it.
    CLinkOwner m_Link;

    // The thread inside CloseLink (0: none).
    std::atomic<uint32_t> m_dwClosingThread{0};
    platform::Event m_hQueueMonitorThreadStartEvent{true};
    platform::Event m_hKillQueueMonitorThread{true};
    // Set when the log level changes: the monitor sleeps without a period while its dump
    // would not be written.
    platform::Event m_MonitorLevelEvent{false};
    platform::Thread m_MonitorThread;

    CCallbackDispatcher m_Callbacks{m_Logger, m_Services};

    // The queue, its lock and QueueThread.
    CCommandQueue m_CommandQueue{m_Link, m_Callbacks, *this, m_Logger};
    // Matches what the receiver reports to the queued records, under the queue lock.
    CResponseRouter m_Router{m_CommandQueue, m_Link, *this, m_Logger};

    CEmvChannel m_Emv{*this, m_Logger, m_Services};

    platform::Mutex m_ConnectionStateLock ACQUIRED_AFTER(m_CommandQueue.Lock())
        ACQUIRED_BEFORE(m_Callbacks.NotifierLock());
    int32_t m_nConnectionState GUARDED_BY(m_ConnectionStateLock) = kConnPortClosed;
    // Set while the state is anything but power-up detected (changed with the state, under its
    // lock): the power-up callback waits for it, so a command sent from the callback finds the
    // link OK rather than racing the queue thread that turns the state into OK.
    platform::Event m_PowerUpSettledEvent{true, true};

    platform::Mutex m_NotifyHookLock;
    std::function<void()> m_FaultHook GUARDED_BY(m_NotifyHookLock);
    std::function<void()> m_AcceptHook GUARDED_BY(m_NotifyHookLock);

    CInputAutoCancel m_InputAutoCancel{m_Logger, m_Services};

    std::atomic<bool> m_bEngineStarted{false};

    CLogger m_Logger;  // last member: destroyed first, after the destructor stopped everything
};

// The engine the exported functions use: the process's own, or the one a ScopedEngine put in
// its place.
CGenericHandler& Engine();

// Puts a fresh engine on `services` in place of the current one for the exported functions, for
// as long as it lives, and counts the threads it starts (through services.startThread, when
// set). Its destruction closes that engine, destroys it and puts the previous one back. Not to
// be made or destroyed while an exported call runs.
class ScopedEngine {
  public:
    explicit ScopedEngine(EngineServices services);
    ~ScopedEngine();
    ScopedEngine(const ScopedEngine&) = delete;
    ScopedEngine& operator=(const ScopedEngine&) = delete;
    CGenericHandler& engine() { return *m_pEngine; }

    // Closes the engine as ornClose does and waits up to `ms` for every thread it started to
    // end: the number still running (0 when none outlived the close).
    int Close(uint32_t ms = 10000);

  private:
    struct Threads {
        std::atomic<int> running{0};
        platform::Event none{true, true};  // set when `running` fell to 0
    };
    std::shared_ptr<Threads> m_pThreads = std::make_shared<Threads>();
    std::unique_ptr<CGenericHandler> m_pEngine;
    CGenericHandler* m_pPrevious;
};

}  // namespace orn
