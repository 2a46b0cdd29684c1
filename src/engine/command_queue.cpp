// The calling side of the command queue: admission with the busy rules, the waits a calling
// thread blocks on for send, ACK and response, cancellation and the busy query.
#include "engine/command_queue.h"

#include <algorithm>
#include <cstring>

#include "engine/generic_handler.h"
#include "engine/wait_outcome.h"
#include "link/catalogue.h"
#include "link/frame.h"
#include "velquoraorn.h"

namespace orn {

using platform::LockGuard;
using platform::WaitResult;

namespace {

bool IsPendingRecord(const CCommandData* record) {
    return record->GetState() != kStateUserCallback && record->GetState() != kStateCancelled &&
           record->GetState() != kStateRemoveFromQueue;
}

}  // namespace

int32_t CCommandQueue::ResultOf(CCommandData* record) {
    LockGuard hold(m_QueueLock);
    return record->GetResult();
}

void CCommandQueue::SetResultLocked(CCommandData* record, int32_t result) {
    LockGuard hold(m_QueueLock);
    record->SetResult(result);
}

bool CCommandQueue::GiveUpSend(CCommandData* record) {
    LockGuard hold(m_QueueLock);
    // Taken for sending (or ended) just as the wait ran out: its frame goes out, so its caller
    // follows it as if the wait had ended in time.
    if (record->GetState() != kStateSend) return false;
    record->SetResult(ORN_ERR_API_QUEUE_BLOCKED);
    record->SetState(kStateCancelled);
    return true;
}

int32_t CCommandQueue::NotAdmitted(CCommandData* record) {
    LockGuard hold(m_QueueLock);
    // A record that was never queued (no queue thread, or the link is closing) was never
    // sent: report that rather than a success.
    if (!record->m_bQueued && record->GetResult() == 0)
        record->SetResult(m_bAccepting ? ORN_ERR_API_QUEUE_BLOCKED : ORN_ERR_COMM_PORT_NOT_OPEN);
    return record->GetResult();
}

bool CCommandQueue::AddToQueue(CCommandData* record) {
    bool accepting;
    {
        LockGuard hold(m_QueueLock);
        accepting = m_bAccepting;
    }
    if (!accepting) return false;

    static const WaitLines startLines = {
        {},
        {kLogInfo, "AddToQueue: QueueThread Start Event Wait Timed Out"},
        {kLogSevere, "AddToQueue: QueueThread Start Event Wait Abandoned"},
        {kLogSevere, "AddToQueue: QueueThread Start Event Wait Failed"},
        {kLogSevere, "AddToQueue: QueueThread Start Event Wait Defaulted"}};
    if (LogWaitResult(m_Logger, m_hQueueThreadStartEvent.Wait(kThreadWaitMs), startLines) ==
        WaitResult::Timeout)
        return false;

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

    bool busy = group == kGroupSc && m_Host.EmvSessionOpen();
    bool admitted = false;
    std::unique_ptr<TakenFrame> frame;  // set when the caller sends the record itself
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
        if (admitted && CanSendAtOnce(record)) {
            // The queue thread would pick this record next: the caller sends it itself rather
            // than handing it over and back.
            m_Logger.Log(kLogFine, "SEND Candidate chosen %s", record->GetName());
            frame = std::make_unique<TakenFrame>();
            TakeForSend(record, false, *frame, nullptr);
            m_Link.NoteCallerActivity();
        }
    }
    if (!frame) {
        m_hQueueEvent->Set();
    } else if (frame->length > 0) {
        WriteTaken(*frame);
        // Its ACK is awaited now: USB HID hands it on without delay.
        m_Link.TriggerRead();
    }
    return admitted;
}

bool CCommandQueue::CanSendAtOnce(const CCommandData* record) {
    if (record->IsEnqTest() || record->GetState() != kStateSend) return false;
    const int32_t group = record->GetGroup();
    if (group < 0 || group >= kGroupCount) return false;
    for (const CCommandData* queued : m_Queue) {
        if (queued == record) continue;
        switch (queued->GetState()) {
            case kStateRemoveFromQueue:
            case kStateUserCallback:
                break;
            case kStateCancelled:
                // Left for the queue thread, which would deal with it before sending.
                if (queued->IsEnqTest() || (queued->IsAsync() && !queued->m_bRefused)) return false;
                break;
            case kStateWaitResponse:
                // A synchronous caller not yet answered holds every send; an asynchronous
                // record only its own group.
                if (!queued->IsAsync() || queued->GetGroup() == group) return false;
                break;
            case kStateComplete:
                if (!queued->IsAsync() && !queued->IsEnqTest()) return false;
                break;
            default:  // another record to send first, or one waiting for its ACK
                return false;
        }
    }
    return !m_Link.FrameInProgress();
}

bool CCommandQueue::SchedulerHasWork() {
    if (!m_bAccepting) return true;  // winding down: the thread drains the queue
    for (const CCommandData* record : m_Queue) {
        switch (record->GetState()) {
            case kStateWaitAck:
            case kStateUserCallback:
                break;  // the caller's ACK wait, or the callback thread, wakes us
            case kStateWaitResponse:
                if (record->IsAsync()) return true;  // its timer
                break;
            case kStateComplete:
                if (record->IsEnqTest()) return true;
                break;
            case kStateCancelled:
                if (record->IsEnqTest() || (record->IsAsync() && !record->m_bRefused)) return true;
                break;
            default:  // to send, or released
                return true;
        }
    }
    return false;
}

void CCommandQueue::WakeSchedulerIfNeeded() {
    bool wake;
    {
        LockGuard hold(m_QueueLock);
        wake = SchedulerHasWork();
    }
    if (wake) m_hQueueEvent->Set();
}

namespace {

// The waits of a calling thread log only what is neither a signal nor a timeout.
constexpr WaitLines CallerWaitLines(const char* abandoned, const char* failed,
                                    const char* defaulted) {
    return {{}, {}, {kLogSevere, abandoned}, {kLogSevere, failed}, {kLogSevere, defaulted}};
}

}  // namespace

bool CCommandQueue::WaitForSend(CCommandData* record) {
    platform::Event* event = record->GetSendEvent();
    static const WaitLines lines = CallerWaitLines(
        "WaitForSend Wait Abandoned", "WaitForSend Wait Failed", "WaitForSend Wait Defaulted");
    return LogWaitResult(m_Logger, WaitOn(event, m_dwSendWaitMs.load()), lines) ==
           WaitResult::Signalled;
}

bool CCommandQueue::WaitForAck(CCommandData* record) {
    platform::Event* event;
    uint32_t timeout;
    {
        LockGuard hold(m_QueueLock);
        event = record->GetAckEvent();
        timeout = record->GetAckTimeout();
    }
    static const WaitLines lines = CallerWaitLines(
        "WaitForAck Wait Abandoned", "WaitForAck Wait Failed", "WaitForAck Wait Defaulted");
    return LogWaitResult(m_Logger, WaitOn(event, timeout), lines) == WaitResult::Signalled;
}

bool CCommandQueue::WaitForResponse(CCommandData* record) {
    platform::Event* event = record->GetSignalEvent();
    const uint32_t timeout = record->GetResponseTimeout();
    static const WaitLines lines =
        CallerWaitLines("WaitForResponse Wait Abandoned", "WaitForResponse Wait Failed",
                        "WaitForResponse Wait Defaulted");
    const WaitResult result =
        LogWaitResult(m_Logger, WaitOn(event, timeout == 0 ? platform::kInfinite : timeout), lines);
    if (result == WaitResult::Timeout) m_Link.ResetReceiver();
    return result == WaitResult::Signalled;
}

bool CCommandQueue::AckTimerExpired(CCommandData* record) {
    {
        // The ACK (or a NAK, a cancel, a close) may have come in since the wait ran out; the
        // caller's next round reads that from the record's events.
        LockGuard hold(m_QueueLock);
        if (record->GetState() != kStateWaitAck || !record->m_bQueued) return false;
    }
    m_Link.ResetReceiver();
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
            m_Host.SetConnectionState(kConnDisconnected);
            return true;
        }
    }
    m_hQueueEvent->Set();
    return false;
}

int32_t CCommandQueue::SendWaitData(CCommandData* record) {
    const bool expectResponse = record->GetResponseId(nullptr) > 0;
    if (!AddToQueue(record)) return NotAdmitted(record);
    m_Logger.Log(kLogFine, "SendWaitData: Added to Queue: %s", record->GetName());
    for (;;) {
        const bool sent = WaitForSend(record);
        m_Logger.Log(kLogDetail, "SendWaitData: Done Waiting for Send");
        if (!sent && GiveUpSend(record)) break;
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
                WakeSchedulerIfNeeded();
            }
            break;
        }
        if (AckTimerExpired(record)) break;
    }
    return ResultOf(record);
}

int32_t CCommandQueue::SendUntilAck(CCommandData* record) {
    for (;;) {
        if (!WaitForSend(record) && GiveUpSend(record)) break;
        if (ResultOf(record) != 0) break;
        if (WaitForAck(record)) break;
        if (AckTimerExpired(record)) break;
    }
    return ResultOf(record);
}

int32_t CCommandQueue::SendAsync(CCommandData* record) {
    record->SetAsync(1);
    if (!AddToQueue(record)) return NotAdmitted(record);
    SendUntilAck(record);
    m_Host.RunAcceptHook();
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

int32_t CCommandQueue::SendWaitAck(CCommandData* record) {
    if (!AddToQueue(record)) return NotAdmitted(record);
    int32_t result = SendUntilAck(record);
    if (result == 0 && record->GetStartByte() != kSTX) {
        {
            LockGuard hold(m_QueueLock);
            if (record->m_bQueued && record->GetState() != kStateCancelled)
                record->SetState(kStateComplete);
        }
        WakeSchedulerIfNeeded();
    }
    return ResultOf(record);
}

int32_t CCommandQueue::WaitResponse(CCommandData* record) {
    if (ResultOf(record) == 0 && !WaitForResponse(record))
        SetResultLocked(record, ORN_ERR_API_TIMEOUT);
    return ResultOf(record);
}

int32_t CCommandQueue::GetResponse(CCommandData* record, unsigned char* buffer) {
    LockGuard hold(m_QueueLock);
    const unsigned char* data = nullptr;
    int32_t length = record->GetResponseData(&data);
    if (length < 0 || !data) return -1;
    length = std::min<int32_t>(length, kResponseBufferSize);
    if (buffer && length > 0) std::memcpy(buffer, data, static_cast<size_t>(length));
    return length;
}

void CCommandQueue::DoneCommand(CCommandData* record) {
    if (!record) return;
    m_Logger.Log(kLogInfo, "DoneCommand %s", record->GetName());
    bool wake;
    {
        LockGuard hold(m_QueueLock);
        record->SetState(kStateRemoveFromQueue);
        // Taken out at once rather than on the queue thread's next cycle, which need not come.
        if (record->m_bQueued) {
            auto it = std::find(m_Queue.begin(), m_Queue.end(), record);
            if (it != m_Queue.end()) EraseReleased(it);
        }
        wake = SchedulerHasWork();
    }
    if (wake) m_hQueueEvent->Set();
    record->Release();  // the caller's reference (the engine's is dropped with the queue entry)
}

bool CCommandQueue::EndWaitingRecords(int32_t result,
                                      const std::function<bool(const CCommandData&)>& selected) {
    bool changed = false;
    for (CCommandData* record : m_Queue) {
        const int32_t state = record->GetState();
        // An answer that came in before the cancel stands: its caller collects it. A record
        // already ended keeps the result it was ended with.
        if (state == kStateComplete || state == kStateCancelled || state == kStateRemoveFromQueue ||
            record->m_bRefused)
            continue;
        if (record->IsAsync() && state == kStateUserCallback) continue;
        if (!selected(*record)) continue;
        record->SetResult(result);
        record->SetCurrentEvent();
        record->SetState(kStateCancelled);
        changed = true;
    }
    return changed;
}

void CCommandQueue::CancelQueued(int32_t cancelType) {
    bool changed;
    {
        LockGuard hold(m_QueueLock);
        changed = EndWaitingRecords(ORN_ERR_CANCELED_BY_USER_ERROR, [&](const CCommandData& r) {
            const int32_t type = r.GetCancelType();
            return r.GetGroup() != kGroupCancel &&
                   (type == cancelType || (type == kCancelMsr && cancelType == kCancel50));
        });
    }
    if (changed) m_hQueueEvent->Set();
}

bool CCommandQueue::QuickCancel(bool waitForAck) {
    if (!m_Link.IsPortOpen()) return false;
    auto* record = new CCommandData;
    record->SetName("Quick Cancel");
    record->SetRequestId(catalogue::kQuickCancel.id);
    record->SetGroup(kGroupCancel);
    record->SetCancelType(kCancelNone);
    bool sent = false;
    if (AddToQueue(record) && WaitForSend(record) && ResultOf(record) == 0) {
        if (!waitForAck) {
            sent = true;
        } else if (WaitForAck(record) && ResultOf(record) == 0) {
            CancelQueued(kCancel50);
            sent = true;
        }
    }
    DoneCommand(record);
    m_Link.SetQuickCancelMode(false);
    return sent;
}

bool CCommandQueue::QueueLinkCheck() {
    if (!m_Link.IsPortOpen()) return false;
    auto* record = new CCommandData;
    record->SetName("ENQ Test");
    record->SetEnqTest();
    record->SetAckTimeout(kLinkCheckTimeoutMs);
    record->SetResponseTimeout(kLinkCheckTimeoutMs);
    record->SetGroup(kGroupEnqTest);
    record->SetCancelType(kCancelNone);
    AddToQueue(record);
    record->Release();  // nobody waits: the queue's reference is the only one left
    return true;
}

BusyAnswer CCommandQueue::isBusy(int32_t device) {
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
            return BusyAnswer::Untracked;
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
            return BusyAnswer::UnknownDevice;
    }
    LockGuard hold(m_QueueLock);
    for (CCommandData* record : m_Queue) {
        if (record->GetGroup() == group && record->IsAsync() && IsPendingRecord(record)) {
            m_Logger.Log(kLogInfo,
                         "isBusy: Busy Status due to Async Command in same Group already in queue");
            return BusyAnswer::Busy;
        }
        if (record->GetGroup() == kGroupCancel && record->GetState() != kStateRemoveFromQueue &&
            (record->GetCancelType() == cancelType ||
             (cancelType == kCancelMsr && record->GetCancelType() == kCancel50))) {
            m_Logger.Log(kLogInfo,
                         "isBusy: Busy Status due to Cancel Command for that Group already in "
                         "queue");
            return BusyAnswer::Busy;
        }
    }
    return BusyAnswer::Idle;
}

}  // namespace orn
