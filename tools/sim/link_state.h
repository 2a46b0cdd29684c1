// The link state of one simulated terminal. It owns whether the host has the port open (and
// whether the terminal is unplugged), the fault plan, what the terminal answers to the host's
// frames and link tests (ACK, NAK or nothing), the frame that waits for the host's ACK and its
// resend after a NAK, the power-up handshake, and the schedule of writes: due times, corrupted
// LRCs, chunking and coalescing. It counts what it does into the simulator's record.
//
// Lock: it has none of its own. It lives under the simulator's lock (TerminalSimulator::Impl::mu),
// which also guards the record it counts into, and every member is called with that lock held;
// the one exception is Write(), which the I/O thread calls without it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fault_plan.h"
#include "handshake.h"
#include "sim.h"

namespace orn::sim {

class LinkState {
  public:
    using Clock = std::chrono::steady_clock;

    // One pending write. Items are ordered by due time and, within one time, by scheduling order.
    struct Item {
        std::vector<uint8_t> bytes;
        bool frame = false;      // chunking and LRC corruption apply
        bool expectAck = false;  // becomes the frame that a host NAK makes us resend
        bool resend = false;
        std::string tag;  // SendFrameLater's tag: DropTagged removes the item before it is due
        // An answer's identifier and payload, kept so that a rewrite can rebuild the frame.
        std::string id;
        std::string payload;
    };
    // What is due now, and how the fault plan wants it written.
    struct Batch {
        std::vector<Item> items;
        size_t chunk = 0;
        int gapMs = 0;
        bool coalesce = false;
    };
    // What the terminal answered to a good frame from the host.
    struct FrameAnswer {
        Reply reply = Reply::Ack;
        bool respond = false;       // the frame goes on to its handler
        Clock::time_point ackTime;  // when its ACK is (or would be) written
    };

    // `opt` and `rec` are the simulator's and outlive the link.
    LinkState(const Options& opt, Record& rec) : opt_(opt), rec_(rec) {}

    LinkView View() const;
    bool HostOpen() const { return hostOpen_; }
    // The host opened the port: the power-up handshake starts after the configured delay.
    void HostOpened(Clock::time_point now);
    // The host closed the port; `unplug`: because the terminal went away.
    void HostClosed(bool unplug);
    void Replugged() { unplugged_ = false; }
    // The terminal restarts: what it was about to send is lost, the handshake starts over.
    void PowerCycle(Clock::time_point now);
    void SetPowerUp(PowerUp mode) { powerUp_ = mode; }
    void TriggerPowerUp(Clock::time_point now) { handshake_.Start(powerUp_, now); }

    const FaultPlan& Faults() const { return faults_; }
    void ChangeFaults(const std::function<void(FaultPlan&)>& change);

    // ---- what the host sent ----
    void OnBadFrame();
    void OnHostEnq(Clock::time_point now);
    // False when the ACK was the handshake's rather than the outstanding frame's.
    bool OnHostAck(Clock::time_point now);
    void OnHostNak(Clock::time_point now);
    FrameAnswer AnswerFrame(const Frame& frame, Clock::time_point now);
    // A frame written is still waiting for the host's ACK.
    bool Outstanding() const { return !outstanding_.empty(); }

    // ---- scheduling ----
    void Schedule(Clock::time_point due, Item item);
    void ScheduleControl(Clock::time_point due, uint8_t byte);
    void ScheduleFrame(Clock::time_point due, const std::string& id, const std::string& payload);
    // An answer frame: kept with its identifier and payload for rewrites.
    void ScheduleAnswer(Clock::time_point due, const std::string& id, std::string payload,
                        const std::string& tag = {});
    void SendEnq(Clock::time_point now);
    // Removes the items scheduled with `tag`; returns how many.
    int DropTagged(const std::string& tag);
    // Takes the first tagged answer still held back that `match` wants.
    std::optional<Item> TakeHeldAnswer(
        const std::function<bool(const std::string&, const std::string&)>& match);
    // While a frame's handler runs, answers scheduled from it count from that frame's ACK.
    void BeginHandling(Clock::time_point ackTime) { handlingAckTime_ = ackTime; }
    void EndHandling() { handlingAckTime_.reset(); }
    // When an answer scheduled now is due, `delayMs` after the response delay.
    Clock::time_point AnswerDue(Clock::time_point now, int delayMs) const;

    // ---- timers and writing ----
    // Sends the handshake's next ENQ when it is due.
    void RunHandshake(Clock::time_point now);
    // Milliseconds until something is due (at most a second).
    int TimeoutMs(Clock::time_point now) const;
    // Moves what is due into `batch`, applying the fault plan; false when nothing is.
    bool TakeDue(Clock::time_point now, Batch& batch);
    // Writes a batch through `write` (one call per logical write), without the lock.
    static void Write(Batch& batch, const std::function<void(const uint8_t*, size_t)>& write);

    std::vector<uint8_t> MakeFrame(const std::string& id, const std::string& payload) const;

  private:
    bool EightBit() const { return !opt_.hidPath.empty(); }
    void Clear();

    const Options& opt_;
    Record& rec_;
    PowerUp powerUp_ = PowerUp::EnqAck;
    bool hostOpen_ = false;
    bool unplugged_ = false;
    FaultPlan faults_;
    std::multimap<Clock::time_point, Item> scheduled_;
    PowerUpHandshake handshake_;
    std::vector<uint8_t> outstanding_;  // last frame written that waits for the host's ACK
    int outstandingResends_ = 0;
    // When the ACK of the message whose handler is running is due; unset between handlers.
    std::optional<Clock::time_point> handlingAckTime_;
};

}  // namespace orn::sim
