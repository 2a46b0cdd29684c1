// The response routing: what the link receiver reports on the listener thread (ACK, NAK, a
// link check's answer, a complete response, an EMV acknowledgement) is matched to the queued
// record it belongs to, the record moves on, and its waiter is woken.
//
// Owns: the NAK count, the flag for the stray cancel answer of a power-up, and the combined
// swipe-or-card command's state with its lock.
// Locks: it has none of its own on the hot path. It takes the command queue's lock to find and
// change records, and the NAK count is guarded by it. The combined wait lock is taken only
// around the combined command's state (by its two exports and their completion routines), never
// with another engine lock.
// Calls: under the queue lock, only the host's connection state and the queue's callback start
// (both take locks that come after the queue lock) and its work test; with no lock held, the
// link owner's wakes and read trigger.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>

#include "engine/command_data.h"
#include "engine/command_queue.h"
#include "engine/link_owner.h"
#include "log/logger.h"
#include "platform/platform.h"

namespace orn {

// What the routing asks of the rest of the engine.
class IResponseRouterHost {
  public:
    virtual ~IResponseRouterHost() = default;
    virtual void SetConnectionState(int32_t state) = 0;
};

// The combined swipe-or-card command's state, one per engine: which of its two halves ended,
// and whom to tell.
struct CombinedWait {
    using Callback = std::function<void(int status, char* track1, char* track2, char source)>;
    Callback callback;
    bool smartCardDone = false;
    bool swipeDone = false;
    bool swipeQueued = false;
    int smartCardStatus = 0;
    std::shared_ptr<platform::Event> event;  // the blocking form's; shared with its routine
};

class CResponseRouter {
  public:
    static constexpr int32_t kMaxNakResends = 5;

    CResponseRouter(CCommandQueue& queue, CLinkOwner& link, IResponseRouterHost& host, CLogger& log)
        : m_CommandQueue(queue), m_Link(link), m_Host(host), m_Logger(log) {}
    CResponseRouter(const CResponseRouter&) = delete;
    CResponseRouter& operator=(const CResponseRouter&) = delete;

    void OnAck() EXCLUDES(m_CommandQueue.Lock());
    void OnNak() EXCLUDES(m_CommandQueue.Lock());
    void OnLinkCheckAnswered() EXCLUDES(m_CommandQueue.Lock());
    void ProcessResponse(const uint8_t* message, uint32_t length) EXCLUDES(m_CommandQueue.Lock());
    // Completes the data message waiting for its acknowledgement with `status`; `message` (the
    // identifier on) is stored as its response.
    void EmvAckReceived(int32_t status, const uint8_t* message, uint32_t length)
        EXCLUDES(m_CommandQueue.Lock());
    // Whether a record whose name begins with `prefix` is queued and not yet released.
    bool HasQueuedRecordNamed(const char* prefix) EXCLUDES(m_CommandQueue.Lock());
    // The queue was emptied (takes the queue lock).
    void ResetNakCount();

    void SetStrayCancelExpected() { m_nStrayCancelExpected = 1; }
    // Runs `use` on the combined command's state under its lock, and returns what it returns.
    template <typename Use>
    auto WithCombinedWait(Use&& use) EXCLUDES(m_CombinedWaitLock) {
        platform::LockGuard hold(m_CombinedWaitLock);
        return use(m_Combined);
    }

  private:
    CCommandQueue& m_CommandQueue;
    CLinkOwner& m_Link;
    IResponseRouterHost& m_Host;
    CLogger& m_Logger;

    int32_t m_nNakCount GUARDED_BY(m_CommandQueue.Lock()) = 0;
    std::atomic<int32_t> m_nStrayCancelExpected{0};
    platform::Mutex m_CombinedWaitLock;
    CombinedWait m_Combined GUARDED_BY(m_CombinedWaitLock);
};

}  // namespace orn
