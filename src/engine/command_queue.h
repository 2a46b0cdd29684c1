// The command queue and its scheduler: admission of command records with the busy rules, the
// waits a calling thread blocks on for send, ACK and response, cancellation, the busy query, and
// QueueThread, which picks the one frame outstanding, runs the records' timers and hands
// finished asynchronous records to their callback threads.
//
// Owns: the queue of records (one reference on each), whether admission is open, QueueThread
// with its control block, its wake event (m_hQueueEvent) and its start event, and the send wait.
// Locks: the queue lock guards the queue and every record's state, result and response. It is
// a plain lock: nothing run under it takes it again. It comes after the receiver's receive lock
// (the response routing takes it on the listener thread) and before the port object lock, the
// connection state lock and the callback dispatcher's locks.
// Calls: under the queue lock, the callback dispatcher's thread start, the link owner's frame
// and port checks and the host's connection state; with no lock held, the link owner's writes
// and receiver reset, the logger and the host.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "engine/callback_dispatcher.h"
#include "engine/command_data.h"
#include "engine/link_owner.h"
#include "log/logger.h"
#include "platform/platform.h"

namespace orn {

// What the queue asks of the rest of the engine.
class ICommandQueueHost {
  public:
    virtual ~ICommandQueueHost() = default;
    virtual int32_t GetConnectionState() = 0;
    virtual void SetConnectionState(int32_t state) = 0;
    // Whether any EMV session is open (the smart card group is then busy).
    virtual bool EmvSessionOpen() = 0;
    // Test seam: runs in SendAsync after the wait for the ACK.
    virtual void RunAcceptHook() = 0;
};

// What the queue says of a device's group (isBusy).
enum class BusyAnswer {
    Idle,
    Busy,           // an asynchronous command of the group, or its cancel, is queued
    Untracked,      // device 3 (EMV): its state is the session table's, not the queue's
    UnknownDevice,  // no such device
};

class CCommandQueue {
  public:
    static constexpr uint32_t kThreadWaitMs = 5000;
    static constexpr uint32_t kSendWaitMs = 60000;
    static constexpr uint32_t kLinkCheckTimeoutMs = 500;
    // Longest sleep of the queue thread when no timer is due sooner. Every change it must act
    // on sets its event; a frame coming in does not (a wake-up per frame costs every command),
    // so this bound lets the thread see it before the receiver's watchdog limit and take that
    // limit as its next deadline.
    static constexpr uint32_t kQueueMaxWaitMs = 2000;
    static_assert(kQueueMaxWaitMs < CLinkReceiver::kFrameTimeLimitMs,
                  "the queue thread must look at a frame in progress before its limit is up");
    // Sleep while a callback has said it is done but its thread has not ended yet.
    static constexpr uint32_t kCallbackEndPollMs = 100;
    static constexpr int kResponseBufferSize = 4096;

    CCommandQueue(CLinkOwner& link, CCallbackDispatcher& callbacks, ICommandQueueHost& host,
                  CLogger& log);
    CCommandQueue(const CCommandQueue&) = delete;
    CCommandQueue& operator=(const CCommandQueue&) = delete;

    // The lock the response routing takes to reach the records.
    platform::Mutex& Lock() RETURN_CAPABILITY(m_QueueLock) { return m_QueueLock; }
    std::list<CCommandData*>& Records() REQUIRES(m_QueueLock) { return m_Queue; }

    // --- scheduler -----------------------------------------------------------------------------
    // Stops a QueueThread left from an earlier open.
    void StopLeftoverThread();
    // Opens admission and starts QueueThread: 0, or why the thread did not start.
    platform::Status StartThread();
    // Closes admission, lets QueueThread finish the queue and stop (or stops it).
    void StopThread();
    void Wake() { m_hQueueEvent->Set(); }
    // Queue lock held: whether the queue thread has anything to do that no caller does itself
    // (a record to send, to reclaim or to hand to its callback, an asynchronous timer, a
    // shutdown). The hot path wakes the thread only then.
    bool SchedulerHasWork() REQUIRES(m_QueueLock);
    // Runs the record's callback on a new thread (queue lock held).
    void StartCallbackThread(CCommandData* record) REQUIRES(m_QueueLock) {
        m_Callbacks.StartCallbackThread(record, m_hQueueEvent);
    }

    // --- callers -------------------------------------------------------------------------------
    int32_t SendWaitData(CCommandData* record);
    int32_t SendAsync(CCommandData* record);
    int32_t SendWaitAck(CCommandData* record);
    int32_t WaitResponse(CCommandData* record);
    bool AddToQueue(CCommandData* record);
    bool WaitForSend(CCommandData* record);
    bool WaitForAck(CCommandData* record);
    bool WaitForResponse(CCommandData* record);
    int32_t GetResponse(CCommandData* record, unsigned char* buffer);
    int32_t ResultOf(CCommandData* record);
    void DoneCommand(CCommandData* record);
    void CancelQueued(int32_t cancelType);
    bool QuickCancel(bool waitForAck);
    bool QueueLinkCheck();
    BusyAnswer isBusy(int32_t device);
    void SetSendWaitForTest(uint32_t ms) { m_dwSendWaitMs = ms; }

    // --- the link going down -------------------------------------------------------------------
    // Fails every queued record (waking its caller) and empties the queue.
    void ClearQueue();
    // The link was lost: every record still waiting fails -13, asynchronous ones through their
    // callbacks.
    void FailForLostLink();
    // A power-up: every record still waiting ends with `result`.
    void EndAllWaiting(int32_t result);
    size_t QueueSize();
    // The queue monitor's lines of the records ("" when the queue is empty).
    std::string Describe();

  private:
    // What one QueueThread instance reads: a thread abandoned after a failed stop keeps its own
    // flags, so a later thread is never stopped or drained by mistake.
    struct QueueControl {
        std::atomic<bool> stop{false};
        std::atomic<bool> drain{false};
    };
    uint32_t QueueThread(std::shared_ptr<QueueControl> control);

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

    // Queue lock held: whether `record`, just admitted, is the one the queue thread would send
    // next and may be sent at once: nothing else is sent or waited for, nothing holds its group.
    bool CanSendAtOnce(const CCommandData* record) REQUIRES(m_QueueLock);
    // Wakes the queue thread when it has work (takes the queue lock).
    void WakeSchedulerIfNeeded();
    // Queue lock held: ends with `result` (waking its caller) every record that `selected` picks
    // and that still waits for something: not answered or failed already, not released, not
    // refused at admission, not an asynchronous one whose callback runs. True when any ended.
    bool EndWaitingRecords(int32_t result, const std::function<bool(const CCommandData&)>& selected)
        REQUIRES(m_QueueLock);
    // Queue lock held: takes a released record out of the queue.
    void EraseReleased(std::list<CCommandData*>::iterator it) REQUIRES(m_QueueLock);

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

    CLinkOwner& m_Link;
    CCallbackDispatcher& m_Callbacks;
    ICommandQueueHost& m_Host;
    CLogger& m_Logger;

    // The order against the other parts' locks, checked where a function takes two of them.
    platform::Mutex m_QueueLock ACQUIRED_AFTER(m_Link.Receiver().ReceiveLock())
        ACQUIRED_BEFORE(m_Link.Slot().PortObjectLock(), m_Callbacks.NotifyStartLock());
    std::list<CCommandData*> m_Queue GUARDED_BY(m_QueueLock);
    // Admission open (between StartThread and StopThread).
    bool m_bAccepting GUARDED_BY(m_QueueLock) = false;
    // Shared with callback threads, which signal it when they end.
    std::shared_ptr<platform::Event> m_hQueueEvent;
    platform::Event m_hQueueThreadStartEvent{true};
    std::atomic<uint32_t> m_dwSendWaitMs{kSendWaitMs};
    platform::Thread m_QueueThread;
    std::shared_ptr<QueueControl> m_pQueueControl;
};

}  // namespace orn
