// Response routing: what the link receiver reports on the listener thread (ACK, NAK, a complete
// response) is matched to the queued record it belongs to, and that record's waiter is woken.
#include "engine/response_routing.h"

#include <cstring>

#include "engine/generic_handler.h"
#include "velquoraorn.h"

namespace orn {

using platform::LockGuard;

void CResponseRouter::OnAck() {
    // The waiter is woken after the queue lock is released, so that it does not wake only to
    // block on the lock this thread still holds; the extra reference keeps the record alive.
    CCommandData* acked = nullptr;
    bool wake = false;
    bool awaitAnswer = false;
    {
        LockGuard hold(m_CommandQueue.Lock());
        m_nNakCount = 0;
        for (CCommandData* record : m_CommandQueue.Records()) {
            if (record->GetGroup() == kGroupEmvAsync || record->GetState() != kStateWaitAck)
                continue;
            if (record->GetResponseId(nullptr) > 0) {
                record->SetState(kStateWaitResponse);
                record->StartTimer(m_Link.Now());
                m_Logger.Log(kLogFine, "Got ACK for %s, command set to waiting for response",
                             record->GetName());
            } else {
                record->SetState(kStateComplete);
                m_Logger.Log(record->IsEnqTest() ? kLogDetail : kLogFine,
                             "Got ACK for %s, command completed", record->GetName());
            }
            // The ACK proves the link. Marked here, before the waiter wakes, so that a caller
            // going on at once (the ready check's quick cancel) already finds it connected.
            m_Host.SetConnectionState(kConnOk);
            record->AddRef();
            acked = record;
            awaitAnswer = record->GetState() == kStateWaitResponse;
            if (!record->IsEnqTest()) m_Link.NoteCallerActivity();
            wake = m_CommandQueue.SchedulerHasWork();
            break;
        }
    }
    if (!acked) return;
    m_Link.WakeWaiter(acked, acked->GetAckEvent());
    if (wake) m_Link.WakeQueueThread();
    // The answer is awaited now: USB HID hands it on without delay.
    if (awaitAnswer) m_Link.TriggerRead();
}

void CResponseRouter::OnNak() {
    bool changed = false;
    {
        LockGuard hold(m_CommandQueue.Lock());
        for (CCommandData* record : m_CommandQueue.Records()) {
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
    if (changed) m_Link.WakeQueueThread();
}

void CResponseRouter::OnLinkCheckAnswered() {
    {
        LockGuard hold(m_CommandQueue.Lock());
        for (CCommandData* record : m_CommandQueue.Records()) {
            if (!record->IsEnqTest() || record->GetState() != kStateWaitAck) continue;
            record->SetState(kStateComplete);
            if (record->GetAckEvent()) record->GetAckEvent()->Set();
            break;
        }
    }
    m_Link.WakeQueueThread();
}

void CResponseRouter::ProcessResponse(const uint8_t* message, uint32_t length) {
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
    bool wake = false;
    {
        LockGuard hold(m_CommandQueue.Lock());
        CCommandData* match = nullptr;
        if (name) {
            for (CCommandData* record : m_CommandQueue.Records()) {
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
            for (CCommandData* record : m_CommandQueue.Records()) {
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
                m_CommandQueue.StartCallbackThread(match);
            } else {
                match->SetState(kStateComplete);
            }
            // Woken after the lock is released (see OnAck).
            match->AddRef();
            answered = match;
            wake = m_CommandQueue.SchedulerHasWork();
        }
    }
    if (answered) {
        m_Link.WakeWaiter(answered, answered->GetSignalEvent());
        if (wake) m_Link.WakeQueueThread();
        return;
    }
    if (length >= 4 && std::memcmp(message, "50.0", 4) == 0 && m_nStrayCancelExpected != 0)
        return;  // the answer to the cancel sent during the terminal's power-up
    m_Logger.Log(kLogSevere, "Warning: Got Response but no Queue Entry to match!");
    m_nStrayCancelExpected = 0;
}

void CResponseRouter::EmvAckReceived(int32_t status, const uint8_t* message, uint32_t length) {
    bool found = false;
    {
        LockGuard hold(m_CommandQueue.Lock());
        m_nNakCount = 0;
        for (CCommandData* record : m_CommandQueue.Records()) {
            if (record->GetGroup() != kGroupEmvAsync || record->GetState() != kStateWaitAck)
                continue;
            record->SetState(kStateComplete);
            record->SetResult(status);
            if (message && length >= 3)
                record->SetResponse(message + 3, static_cast<int>(length - 3));
            if (record->GetAckEvent()) record->GetAckEvent()->Set();
            found = true;
            break;
        }
    }
    if (found) m_Link.WakeQueueThread();
}

// The combined swipe-or-card command asks whether its other half is still queued.
void CResponseRouter::ResetNakCount() {
    LockGuard hold(m_CommandQueue.Lock());
    m_nNakCount = 0;
}

bool CResponseRouter::HasQueuedRecordNamed(const char* prefix) {
    if (!prefix) return false;
    const size_t length = std::strlen(prefix);
    LockGuard hold(m_CommandQueue.Lock());
    for (CCommandData* record : m_CommandQueue.Records())
        if (record->GetState() != kStateRemoveFromQueue &&
            std::strncmp(record->GetName(), prefix, length) == 0)
            return true;
    return false;
}

}  // namespace orn
