// QueueThread, the scheduler: one cycle drops released records, works out the blocked groups,
// walks the queue (timers, cancelled and finished records), takes one record for sending and
// writes its frame, runs the idle link check and the housekeeping, then sleeps until something
// changes or the nearest deadline.
#include <algorithm>
#include <cstring>

#include "engine/generic_handler.h"
#include "link/frame.h"
#include "velquoraorn.h"

namespace orn {

using platform::LockGuard;

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
        it = std::next(it);
        EraseReleased(std::prev(it));
    }
    if (m_Queue.size() != before)
        m_Logger.Log(kLogDetail, "Queue: Number of Elements: %d after all removals",
                     static_cast<int>(m_Queue.size()));
}

void CGenericHandler::EraseReleased(std::list<CCommandData*>::iterator it) {
    CCommandData* record = *it;
    m_Logger.Log(kLogDetail, "CGenericHandler::QueueThread - Removing from Queue: %s",
                 record->GetName());
    m_Queue.erase(it);
    DropFromQueue(record);
}

void CGenericHandler::FindBlockedGroups(bool (&blocked)[kGroupCount]) {
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

void CGenericHandler::WalkQueue(const QueueControl& control, const bool (&blocked)[kGroupCount],
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
                    if (record->TimerExpired()) {
                        record->SetResult(ORN_ERR_NO_ACK_ERROR);
                        record->SetState(kStateComplete);
                        if (GetConnectionState() == kConnOk) SetConnectionState(kConnDisconnected);
                    } else {
                        dueIn(record->TimerRemaining());
                    }
                } else {
                    walk.idle = false;
                }
                walk.triggerRead = true;
                break;
            case kStateWaitResponse:
                walk.triggerRead = true;
                if (record->IsAsync()) {
                    if (record->TimerExpired()) {
                        walk.resetReceiver = true;
                        record->SetResult(ORN_ERR_API_TIMEOUT);
                        record->SetState(kStateUserCallback);
                        StartCallbackThread(record);
                    } else {
                        dueIn(record->TimerRemaining());
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

bool CGenericHandler::TakeForSend(CCommandData* candidate, bool hold, TakenFrame& frame,
                                  uint32_t* timerMs) {
    const int32_t group = candidate->GetGroup();
    if (!candidate->IsEnqTest() && hold && group != kGroupMac && group != kGroupCancel)
        return false;
    candidate->SetState(kStateWaitAck);
    if (candidate->IsEnqTest()) {
        candidate->StartTimer();
        if (timerMs) *timerMs = std::min(*timerMs, candidate->TimerRemaining());
    }
    m_Logger.Log(kLogFine, "Sending Data for %s", candidate->GetName());
    if (!IsPortOpen()) {
        candidate->SetResult(ORN_ERR_COMM_PORT_NOT_OPEN);
        candidate->SetState(kStateComplete);
        if (candidate->GetSendEvent()) candidate->GetSendEvent()->Set();
        return true;
    }
    candidate->BuildFrame(DataWidth() == 8);
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

void CGenericHandler::WriteTaken(const TakenFrame& frame) {
    DumpTxFrame(m_Logger, frame.linkCheck ? kLogDetail : kLogFine, frame.plain,
                static_cast<size_t>(frame.length),
                frame.encodedLength >= 0 ? frame.encoded : nullptr, frame.encodedLength);
    if (frame.encodedLength >= 0)
        Write(frame.encoded, static_cast<uint32_t>(frame.encodedLength));
    else
        Write(frame.plain, static_cast<uint32_t>(frame.length));
}

uint32_t CGenericHandler::QueueThread(std::shared_ptr<QueueControl> control) {
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
        if (walk.resetReceiver) ResetReceiver();

        // 7. Write the frame taken.
        if (frame->length > 0) {
            WriteTaken(*frame);
            walk.triggerRead = true;  // its ACK is awaited now
        }
        // An answer is awaited: USB HID hands it on without delay.
        if (walk.triggerRead) {
            if (std::shared_ptr<ITransport> transport = Transport()) transport->TriggerRead();
        }

        // 8. Idle link check.
        m_Link.IdleLinkCheck(walk.idle, idleClock, walk.nextWait);

        // 9. A frame that stopped arriving is dropped by the receiver's watchdog; one still
        // coming in is looked at again when its time is up, however long the rest may sleep.
        walk.nextWait = std::min(walk.nextWait, m_Link.CheckFrameWatchdog());

        // 10. Callback threads that have ended are reclaimed; a lost port is closed.
        ReapCallbackThreads();
        DestroyRetiredPort();

        // A candidate held back only because a frame is coming in is retried soon; every other
        // hold ends with an event.
        waitMs = walk.released ? 0 : heldByReception ? 5 : std::max<uint32_t>(walk.nextWait, 1);
    }
    return 0;
}

}  // namespace orn
