// The response routing: what the link receiver reports on the listener thread (ACK, NAK, a
// link check's answer, a complete response, an EMV acknowledgement) is matched to the queued
// record it belongs to, the record moves on, and its waiter is woken.
//
// Owns: the NAK count, the flag for the stray cancel answer of a power-up, and the lock of the
// combined swipe-or-card command's two completion routines.
// Locks: it has none of its own on the hot path. It takes the queue lock (the queue's, handed
// in) to find and change records, and the NAK count is guarded by it. The combined wait lock is
// taken only by the combined command's completion routines, never with another engine lock.
// Calls: under the queue lock, only the host's connection state and callback start (both take
// locks that come after the queue lock) and the scheduler's work test; with no lock held, the
// link owner's wakes and read trigger.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>

#include "engine/command_data.h"
#include "engine/link_owner.h"
#include "log/logger.h"
#include "platform/platform.h"

namespace orn {

// What the routing asks of the rest of the engine.
class IResponseRouterHost {
  public:
    virtual ~IResponseRouterHost() = default;
    virtual void SetConnectionState(int32_t state) = 0;
    // Queue lock held: hands a finished asynchronous record to its callback thread.
    virtual void StartCallbackThread(CCommandData* record) = 0;
    // Queue lock held: whether the queue thread has anything to do that no caller does itself.
    virtual bool SchedulerHasWork() = 0;
};

class CResponseRouter {
  public:
    static constexpr int32_t kMaxNakResends = 5;

    CResponseRouter(platform::RecursiveLock& queueLock, std::list<CCommandData*>& queue,
                    CLinkOwner& link, IResponseRouterHost& host, CLogger& log)
        : m_QueueLock(queueLock), m_Queue(queue), m_Link(link), m_Host(host), m_Logger(log) {}
    CResponseRouter(const CResponseRouter&) = delete;
    CResponseRouter& operator=(const CResponseRouter&) = delete;

    void OnAck() EXCLUDES(m_QueueLock);
    void OnNak() EXCLUDES(m_QueueLock);
    void OnLinkCheckAnswered() EXCLUDES(m_QueueLock);
    void ProcessResponse(const uint8_t* message, uint32_t length) EXCLUDES(m_QueueLock);
    // Completes the data message waiting for its acknowledgement with `status`; `message` (the
    // identifier on) is stored as its response.
    void EmvAckReceived(int32_t status, const uint8_t* message, uint32_t length)
        EXCLUDES(m_QueueLock);
    // Whether a record whose name begins with `prefix` is queued and not yet released.
    bool HasQueuedRecordNamed(const char* prefix) EXCLUDES(m_QueueLock);
    // The queue was emptied (takes the queue lock; it is recursive).
    void ResetNakCount();

    void SetStrayCancelExpected() { m_nStrayCancelExpected = 1; }
    platform::Mutex& CombinedWaitLock() { return m_CombinedWaitLock; }

  private:
    platform::RecursiveLock& m_QueueLock;
    // The engine holds one reference on each.
    std::list<CCommandData*>& m_Queue GUARDED_BY(m_QueueLock);
    CLinkOwner& m_Link;
    IResponseRouterHost& m_Host;
    CLogger& m_Logger;

    int32_t m_nNakCount GUARDED_BY(m_QueueLock) = 0;
    std::atomic<int32_t> m_nStrayCancelExpected{0};
    platform::Mutex m_CombinedWaitLock;
};

}  // namespace orn
