// The power-up enquiry of the terminal's link: once the host has opened the port the terminal
// sends ENQ and waits for the host's answer (its ACK, or any frame the terminal acknowledges),
// sending the ENQ again while it goes unanswered; in ThreeEnq mode it asks three times. The
// state only: the link state (link_state.h) sends what it is told, under its lock.
#pragma once

#include <chrono>

#include "sim.h"

namespace orn::sim {

class PowerUpHandshake {
  public:
    using Clock = std::chrono::steady_clock;

    // Starts over: the first ENQ goes at `when`. Mode None asks once, as EnqAck does.
    void Start(PowerUp mode, Clock::time_point when) {
        state_ = State::Pending;
        mode_ = mode == PowerUp::None ? PowerUp::EnqAck : mode;
        answers_ = 0;
        retries_ = 0;
        deadline_ = when;
    }
    void Stop() { state_ = State::Idle; }
    bool Active() const { return state_ != State::Idle; }
    // An ENQ is out and the host's answer is awaited.
    bool Awaiting() const { return state_ == State::Await; }
    // When the next ENQ is due (while Active()).
    Clock::time_point Deadline() const { return deadline_; }
    bool Due(Clock::time_point now) const { return Active() && now >= deadline_; }

    // At Deadline(): whether to send an ENQ now; false once `retries` repeats went unanswered.
    bool NextEnquiry(Clock::time_point now, int retryMs, int retries) {
        if (state_ == State::Pending) {
            state_ = State::Await;
        } else if (++retries_ > retries) {
            state_ = State::Idle;
            return false;
        }
        deadline_ = now + std::chrono::milliseconds(retryMs);
        return true;
    }

    enum class Answer {
        NotAwaited,   // the ACK is not the handshake's
        AskAgain,     // send the next ENQ now
        Acknowledge,  // send ACK: the handshake is complete
        Complete,     // the handshake is complete
    };
    Answer OnHostAck(Clock::time_point now, int retryMs) {
        if (state_ != State::Await) return Answer::NotAwaited;
        if (mode_ == PowerUp::ThreeEnq && ++answers_ < 3) {
            retries_ = 0;
            deadline_ = now + std::chrono::milliseconds(retryMs);
            return Answer::AskAgain;
        }
        state_ = State::Idle;
        return mode_ == PowerUp::EnqAck ? Answer::Acknowledge : Answer::Complete;
    }

  private:
    enum class State { Idle, Pending, Await };
    State state_ = State::Idle;
    PowerUp mode_ = PowerUp::EnqAck;
    int answers_ = 0;
    int retries_ = 0;
    Clock::time_point deadline_;
};

}  // namespace orn::sim
