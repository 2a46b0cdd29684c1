// The host's bytes as the terminal's link reads them: control bytes between frames, and frames
// from start byte to LRC, checked. On the 8-bit link (USB HID) "F0."/"F1." frames carry raw
// bytes behind a two-byte length, so their data may hold any byte value. The reader only
// frames: acknowledging, answering and the handshake are the link's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

}  // namespace orn::sim
