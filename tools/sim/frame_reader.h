// The host's bytes as the terminal's link reads them: control bytes between frames, and frames
// from start byte to LRC, checked. On the 8-bit link (USB HID) "F0."/"F1." frames carry raw
// bytes behind a two-byte length, so their data may hold any byte value. The reader only
// frames (and joins the blocks of a message): acknowledging, answering and the handshake are the
// link state's. I/O thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim.h"

namespace orn::sim {

class FrameReader {
  public:
    enum class Event {
        None,  // the byte was noise or part of a frame still coming
        Enq,   // control bytes outside frames
        Ack,
        Nak,
        Frame,     // a frame with a good LRC ended: frame()
        BadFrame,  // a frame with a wrong LRC (or a broken length-prefixed one) ended
    };

    Event Take(uint8_t byte, bool eightBit);
    // The frame that ended last, start byte to LRC.
    const std::vector<uint8_t>& frame() const { return frame_; }
    // Forgets a frame in progress (the host closed or opened the port).
    void Reset() { state_ = State::Idle; }

  private:
    enum class State { Idle, InFrame, Lrc };
    void Start(uint8_t start);
    Event TakeLengthPrefixed(uint8_t byte);

    State state_ = State::Idle;
    bool binary_ = false;  // 8-bit link: a length-prefixed "F0."/"F1." frame
    int need_ = 0;
    bool lengthRead_ = false;
    std::vector<uint8_t> frame_;
    uint8_t lrc_ = 0;
};

// A good frame's bytes as a Frame: identifier and payload (decoded unless `eightBit`); its
// reply is left to the link state.
Frame ParseFrame(const std::vector<uint8_t>& raw, bool eightBit);

// Joins the blocks of a multi-block message (STX..ETB, SOH..ETB, ..., SOH..ETX), so that its
// handler sees it once.
class MessageJoiner {
  public:
    // True, with `request`, when `frame` completes a message. A continuation block with no
    // message started is dropped.
    bool Take(const Frame& frame, Request& request);
    void Reset() { active_ = false; }

  private:
    bool active_ = false;
    std::string id_;
    std::string payload_;
};

}  // namespace orn::sim
