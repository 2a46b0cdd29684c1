// QueueThread, the scheduler: one cycle drops released records, works out the blocked groups,
// walks the queue (timers, cancelled and finished records), takes one record for sending and
// writes its frame, runs the idle link check and the housekeeping, then sleeps until something
// changes or the nearest deadline.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/command_queue.h"
#include "engine/generic_handler.h"
#include "engine/wait_outcome.h"
#include "link/frame.h"
#include "log/thread_runner.h"
#include "velquoraorn.h"

namespace orn {

using platform::LockGuard;
using platform::WaitResult;

CCommandQueue::CCommandQueue(CLinkOwner& link, CCallbackDispatcher& callbacks,
                             ICommandQueueHost& host, CLogger& log)
    : m_Link(link),
      m_Callbacks(callbacks),
      m_Host(host),
      m_Logger(log),
      m_hQueueEvent(std::make_shared<platform::Event>(true)),
      m_pQueueControl(std::make_shared<QueueControl>()) {}

// --- the scheduler's start and stop ----------------------------------------------------------

void CCommandQueue::StopLeftoverThread() {
    if (!m_QueueThread.Started()) return;
    m_pQueueControl->stop = true;
    m_hQueueEvent->Set();
    if (m_QueueThread.Join(kThreadWaitMs) != WaitResult::Signalled) m_QueueThread.Abandon();
}

platform::Status CCommandQueue::StartThread() {
    {
        LockGuard hold(m_QueueLock);
        m_bAccepting = true;
    }
    auto control = std::make_shared<QueueControl>();
    m_pQueueControl = control;
    m_hQueueThreadStartEvent.Reset();
    const platform::Status err = m_Link.Services().StartThread(
        m_QueueThread, [this, control] { return QueueThread(control); });
    if (err == 0) {
        m_Logger.Log(kLogInfo, "Created Queue Thread with ID=%08X", m_QueueThread.Id());
        static const ThreadStartWords words = ThreadStartWords::ForPrefix("QueueThread");
        LogWaitOutcome(m_Logger, m_hQueueThreadStartEvent.Wait(kThreadWaitMs), words,
                       m_QueueThread.Id());
    }
    return err;
}

void CCommandQueue::StopThread() {
    {
        // Nothing new is admitted once the queue is being wound down.
        LockGuard hold(m_QueueLock);
        m_bAccepting = false;
    }
    if (!m_QueueThread.Started()) return;
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
    if (LogWaitResult(m_Logger, m_QueueThread.Join(kThreadWaitMs), level1) == WaitResult::Timeout) {
        // Level 2: stop now.
        m_pQueueControl->stop = true;
        m_hQueueEvent->Set();
        LogWaitResult(m_Logger, m_QueueThread.Join(kThreadWaitMs), level2);
    }
    // A thread that did not end keeps only its own control block and the engine.
    m_pQueueControl->stop = true;
    if (m_QueueThread.Started()) m_QueueThread.Abandon();
}

// --- the link going down -----------------------------------------------------------------------

void CCommandQueue::DropFromQueue(CCommandData* record) {
    record->m_bQueued = false;
    record->Release();
}

void CCommandQueue::ClearQueue() {
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
}

void CCommandQueue::FailForLostLink() {
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
}

void CCommandQueue::EndAllWaiting(int32_t result) {
    LockGuard hold(m_QueueLock);
    EndWaitingRecords(result, [](const CCommandData&) { return true; });
}

size_t CCommandQueue::QueueSize() {
    LockGuard hold(m_QueueLock);
    return m_Queue.size();
}

std::string CCommandQueue::Describe() {
    std::string text;
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
    }
    return text;
}

// --- QueueThread -------------------------------------------------------------------------------

void CCommandQueue::RemoveReleasedRecords() {
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
        it = std::next(it);
        EraseReleased(std::prev(it));
    }
    if (m_Queue.size() != before)
        m_Logger.Log(kLogDetail, "Queue: Number of Elements: %d after all removals",
                     static_cast<int>(m_Queue.size()));
}

void CCommandQueue::EraseReleased(std::list<CCommandData*>::iterator it) {
    CCommandData* record = *it;
    m_Logger.Log(kLogDetail, "CGenericHandler::QueueThread - Removing from Queue: %s",
                 record->GetName());
    m_Queue.erase(it);
    DropFromQueue(record);
}

void CCommandQueue::FindBlockedGroups(bool (&blocked)[kGroupCount]) {
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
}

void CCommandQueue::WalkQueue(const QueueControl& control, const bool (&blocked)[kGroupCount],
                              QueueWalk& walk) {
    auto dueIn = [&walk](uint32_t ms) { walk.nextWait = std::min(walk.nextWait, ms); };
    for (CCommandData* record : m_Queue) {
        const int32_t group = record->GetGroup();
        m_Logger.Log(kLogDetail, "Queue: Processing %s, state=%d", record->GetName(),
                     record->GetState());
        const int32_t stateBefore = record->GetState();
        switch (stateBefore) {
            case kStateSend:
                if (group == kGroupCancel) {
                    walk.candidate = record;
                    m_Logger.Log(kLogFine, "SEND Candidate chosen %s (priority for cancel command)",
                                 record->GetName());
                } else if (!walk.candidate && group >= 0 && group < kGroupCount &&
                           !blocked[group]) {
                    walk.candidate = record;
                    m_Logger.Log(kLogFine, "SEND Candidate chosen %s", record->GetName());
                }
                walk.idle = false;
                break;
            case kStateWaitAck:
                walk.ackPending = true;
                if (record->IsEnqTest()) {
                    if (record->TimerExpired(m_Link.Now())) {
                        record->SetResult(ORN_ERR_NO_ACK_ERROR);
                        record->SetState(kStateComplete);
                        if (m_Host.GetConnectionState() == kConnOk)
                            m_Host.SetConnectionState(kConnDisconnected);
                    } else {
                        dueIn(record->TimerRemaining(m_Link.Now()));
                    }
                } else {
                    walk.idle = false;
                }
                walk.triggerRead = true;
                break;
            case kStateWaitResponse:
                walk.triggerRead = true;
                if (record->IsAsync()) {
                    if (record->TimerExpired(m_Link.Now())) {
                        walk.resetReceiver = true;
                        record->SetResult(ORN_ERR_API_TIMEOUT);
                        record->SetState(kStateUserCallback);
                        StartCallbackThread(record);
                    } else {
                        dueIn(record->TimerRemaining(m_Link.Now()));
                    }
                } else {
                    walk.hold = true;
                }
                break;
            case kStateComplete:
                if (record->IsEnqTest())
                    record->SetState(kStateRemoveFromQueue);
                else if (!record->IsAsync())
                    walk.hold = true;
                break;
            case kStateUserCallback: {
                const auto& thread = record->GetCallbackThread();
                if (!thread) {
                    m_Logger.Log(kLogSevere,
                                 "Queue: State=STATE_USER_CALLBACK -- NULL Thread Handle on "
                                 "Asynchronous Callback completion");
                    // Nothing will ever end it: reclaim it rather than keep it forever.
                    record->SetState(kStateRemoveFromQueue);
                } else if (thread->Finished()) {
                    record->SetState(kStateRemoveFromQueue);
                } else {
                    // Its thread wakes us when the callback returns, maybe just before it ends.
                    dueIn(kCallbackEndPollMs);
                }
                break;
            }
            case kStateCancelled:
                if (record->IsEnqTest()) {
                    record->SetState(kStateRemoveFromQueue);
                } else if (record->IsAsync() && !record->m_bRefused) {
                    record->SetState(kStateUserCallback);
                    StartCallbackThread(record);
                } else if (!record->IsAsync() && control.drain) {
                    record->SetState(kStateRemoveFromQueue);
                }
                break;
            default:
                break;
        }
        // Released here: dropped on the very next cycle.
        if (record->GetState() == kStateRemoveFromQueue && stateBefore != kStateRemoveFromQueue)
            walk.released = true;
    }
}

bool CCommandQueue::TakeForSend(CCommandData* candidate, bool hold, TakenFrame& frame,
                                uint32_t* timerMs) {
    const int32_t group = candidate->GetGroup();
    if (!candidate->IsEnqTest() && hold && group != kGroupMac && group != kGroupCancel)
        return false;
    candidate->SetState(kStateWaitAck);
    if (candidate->IsEnqTest()) {
        candidate->StartTimer(m_Link.Now());
        if (timerMs) *timerMs = std::min(*timerMs, candidate->TimerRemaining(m_Link.Now()));
    }
    m_Logger.Log(kLogFine, "Sending Data for %s", candidate->GetName());
    if (!m_Link.IsPortOpen()) {
        candidate->SetResult(ORN_ERR_COMM_PORT_NOT_OPEN);
        candidate->SetState(kStateComplete);
        if (candidate->GetSendEvent()) candidate->GetSendEvent()->Set();
        return true;
    }
    candidate->BuildFrame(m_Link.DataWidth() == 8);
    const unsigned char* data = nullptr;
    frame.length = std::min<int>(candidate->GetFrame(&data), sizeof frame.plain);
    std::memcpy(frame.plain, data, static_cast<size_t>(frame.length));
    const unsigned char* coded = nullptr;
    frame.encodedLength = candidate->GetEncodedFrame(&coded);
    if (frame.encodedLength >= 0) {
        frame.encodedLength = std::min<int>(frame.encodedLength, sizeof frame.encoded);
        std::memcpy(frame.encoded, coded, static_cast<size_t>(frame.encodedLength));
    }
    frame.linkCheck = candidate->IsEnqTest();
    if (candidate->GetSendEvent()) candidate->GetSendEvent()->Set();
    return true;
}

void CCommandQueue::WriteTaken(const TakenFrame& frame) {
    DumpTxFrame(m_Logger, frame.linkCheck ? kLogDetail : kLogFine, frame.plain,
                static_cast<size_t>(frame.length),
                frame.encodedLength >= 0 ? frame.encoded : nullptr, frame.encodedLength);
    if (frame.encodedLength >= 0)
        m_Link.Write(frame.encoded, static_cast<uint32_t>(frame.encodedLength));
    else
        m_Link.Write(frame.plain, static_cast<uint32_t>(frame.length));
}

uint32_t CCommandQueue::QueueThread(std::shared_ptr<QueueControl> control) {
    m_hQueueThreadStartEvent.Set();
    CLinkOwner::IdleClock idleClock;
    m_Link.StartIdleClock(idleClock);
    uint32_t waitMs = 0;
    // Frames are copied here under the lock and written after it is released.
    auto frame = std::make_unique<TakenFrame>();

    while (!control->stop) {
        // 1. Sleep until something changes or the nearest timer is due. The event is reset
        // before the queue is looked at, so a change made during this cycle wakes the next.
        if (waitMs > 0) m_hQueueEvent->Wait(waitMs);
        m_hQueueEvent->Reset();
        if (control->stop) break;

        // 2. Drop released records.
        RemoveReleasedRecords();

        // 3. Blocked groups: a record waiting for its ACK or response, or a synchronous record
        // whose caller has not yet collected its outcome.
        bool blocked[kGroupCount] = {};
        FindBlockedGroups(blocked);

        // 4. Walk the queue; 5. drain; 6. take a record for sending.
        QueueWalk walk;
        walk.nextWait = kQueueMaxWaitMs;
        bool heldByReception = false;
        frame->length = 0;
        {
            LockGuard lock(m_QueueLock);
            WalkQueue(*control, blocked, walk);
            if (control->drain && m_Queue.empty()) control->stop = true;
            if (!walk.ackPending && walk.candidate) {
                if (m_Link.FrameInProgress())
                    heldByReception = true;
                else
                    TakeForSend(walk.candidate, walk.hold, *frame, &walk.nextWait);
            }
        }
        // The receiver takes its own lock before the queue lock, so it is reset only here.
        if (walk.resetReceiver) m_Link.ResetReceiver();

        // 7. Write the frame taken.
        if (frame->length > 0) {
            WriteTaken(*frame);
            walk.triggerRead = true;  // its ACK is awaited now
        }
        // An answer is awaited: USB HID hands it on without delay.
        if (walk.triggerRead) {
            m_Link.TriggerRead();
        }

        // 8. Idle link check.
        m_Link.IdleLinkCheck(walk.idle, idleClock, walk.nextWait);

        // 9. A frame that stopped arriving is dropped by the receiver's watchdog; one still
        // coming in is looked at again when its time is up, however long the rest may sleep.
        walk.nextWait = std::min(walk.nextWait, m_Link.CheckFrameWatchdog());

        // 10. Callback threads that have ended are reclaimed; a lost port is closed.
        m_Callbacks.ReapCallbackThreads();
        m_Link.Slot().DestroyRetired();

        // A candidate held back only because a frame is coming in is retried soon; every other
        // hold ends with an event.
        waitMs = walk.released ? 0 : heldByReception ? 5 : std::max<uint32_t>(walk.nextWait, 1);
    }
    return 0;
}

}  // namespace orn
