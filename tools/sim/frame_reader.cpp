#include "frame_reader.h"

#include <string>
#include <utility>

#include "sim.h"

namespace orn::sim {

namespace {

// Longest frame accepted from the host; the library's own limit is far below.
constexpr size_t kMaxFrame = 65536;

}  // namespace

FrameReader::Event FrameReader::Take(uint8_t b, bool eightBit) {
    switch (state_) {
        case State::Idle:
            if (b == kStx || b == kSoh) {
                Start(b);
            } else if (b == kEnq) {
                return Event::Enq;
            } else if (b == kAck) {
                return Event::Ack;
            } else if (b == kNak) {
                return Event::Nak;
            }
            return Event::None;  // anything else between frames is noise
        case State::InFrame:
            if (binary_) return TakeLengthPrefixed(b);
            if (b == kStx || b == kSoh) {
                Start(b);  // a frame that never ended: start over with the new one
            } else if (frame_.size() >= kMaxFrame) {
                state_ = State::Idle;  // no end byte in sight: not a frame
            } else {
                frame_.push_back(b);
                lrc_ ^= b;
                if (b == kEtx || b == kEtb) state_ = State::Lrc;
                binary_ = eightBit && frame_.size() == 4 && frame_[0] == kStx &&
                          IsBinaryId(std::string(frame_.begin() + 1, frame_.end()));
                need_ = 2;
                lengthRead_ = false;
            }
            return Event::None;
        case State::Lrc:
            frame_.push_back(b);
            state_ = State::Idle;
            return (lrc_ ^ b) == 0 ? Event::Frame : Event::BadFrame;
    }
    return Event::None;
}

// A byte of a length-prefixed frame after its identifier: length, data, end byte.
FrameReader::Event FrameReader::TakeLengthPrefixed(uint8_t b) {
    frame_.push_back(b);
    lrc_ ^= b;
    if (need_ > 0) {
        if (--need_ == 0 && !lengthRead_) {
            lengthRead_ = true;
            need_ = (frame_[4] << 8) | frame_[5];
        }
        return Event::None;
    }
    binary_ = false;
    if (b == kEtx) {
        state_ = State::Lrc;
        return Event::None;
    }
    state_ = State::Idle;
    return Event::BadFrame;
}

void FrameReader::Start(uint8_t start) {
    binary_ = false;
    state_ = State::InFrame;
    frame_.assign(1, start);
    lrc_ = start == kStx ? 0 : start;
}

Frame ParseFrame(const std::vector<uint8_t>& raw, bool eightBit) {
    Frame frame;
    frame.start = raw.front();
    frame.end = raw[raw.size() - 2];
    frame.raw = raw;
    const std::string body(raw.begin() + 1, raw.end() - 2);
    if (frame.start == kStx) {
        SplitMessage(body, frame.id, frame.payload, eightBit);
    } else {
        frame.payload = body;  // continuation block: no identifier
    }
    return frame;
}

bool MessageJoiner::Take(const Frame& frame, Request& request) {
    request.raw = frame.raw;
    if (frame.start == kStx) {
        active_ = frame.end == kEtb;
        if (active_) {
            id_ = frame.id;
            payload_ = frame.payload;
            return false;
        }
        request.id = frame.id;
        request.payload = frame.payload;
        return true;
    }
    if (!active_) return false;
    payload_ += frame.payload;
    if (frame.end == kEtb) return false;
    active_ = false;
    request.id = id_;
    request.payload = std::move(payload_);
    payload_.clear();
    return true;
}

}  // namespace orn::sim
