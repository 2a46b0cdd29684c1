// CLinkReceiver: turns the chunks a transport reads into frames. It checks each frame's LRC,
// answers with ACK or NAK, answers the terminal's enquiries, recognises the enquiry handshake of a
// terminal power-up, decodes P1.6 payloads on the 7-bit link and hands good frames to the engine.
#pragma once

#include <cstdint>

#include "link/link_engine.h"
#include "platform/platform.h"

namespace orn {

class CLinkReceiver {
  public:
    static constexpr uint32_t kBufferSize = 4096;
    static constexpr uint32_t kMaxStored = kBufferSize - 1;  // bytes kept of one frame
    static constexpr uint32_t kResetCount = 0xFFFFFFFFu;     // Receive(nullptr, kResetCount)
    static constexpr uint32_t kFrameTimeLimitMs = 3000;
    static constexpr uint16_t kBadFrameLimit = 5;  // this bad frame in a row gets no NAK

    enum State : int32_t {
        kIdle = 0,
        kEnquiryAnswered = 1,
        kText = 2,
        kIdentifier = 3,  // 8-bit link only
        kLength = 4,
        kData = 5,
        kEndByte = 6,
        kLrcByte = 7,
    };

    explicit CLinkReceiver(ILinkEngine& engine);
    CLinkReceiver(const CLinkReceiver&) = delete;
    CLinkReceiver& operator=(const CLinkReceiver&) = delete;

    // Processes one chunk, byte by byte, continuing the state left by earlier chunks. Returns
    // -1 when no good frame completed in it, else the stored length (before decoding) of the last
    // good one. Input is dropped (-1) until the engine has started. Receive(nullptr, kResetCount)
    // returns the receiver to idle and returns 0. Engine callbacks run under the receive lock, on
    // the calling thread; they may reset the receiver (the lock is recursive).
    int Receive(const uint8_t* bytes, uint32_t count);
    void Reset() { Receive(nullptr, kResetCount); }

    // Whether a frame has started (STX seen) and not yet ended.
    bool FrameInProgress();
    // Drops a frame in progress for longer than the limit (3000 ms): clears the mark and resets
    // the receiver. Returns the milliseconds until the frame still in progress reaches the limit
    // (kInfinite when none), so the caller knows when to look again. Takes the receive lock, so
    // the caller must not hold a lock that an engine callback takes (the queue lock).
    uint32_t CheckFrameWatchdog();
    void SetFrameTimeLimit(uint32_t ms);

    // Observers for diagnostics and tests.
    int32_t GetState();
    uint16_t BadFrameCount();
    // The receive lock, for the order the engine declares against it.
    platform::RecursiveLock& ReceiveLock() RETURN_CAPABILITY(m_ReceiveLock) {
        return m_ReceiveLock;
    }

  private:
    void ResetLocked();
    void MarkFrameStart();
    void ClearFrameMark();
    uint32_t FrameDueInLocked() const;  // frame timer lock held
    void Store(uint8_t byte);
    void Idle(uint8_t byte, bool lastOfChunk);
    void EnquiryAnswered(uint8_t byte);
    // Answers a terminal ENQ; true when answered with ACK (counted), false with the cancel frame.
    bool AnswerEnquiry();
    void PowerUp();
    void BadFrame();
    void GoodFrame(uint8_t lrcByte);
    void SendFixedFrame(const uint8_t* frame, uint32_t length);
    void ConnectionOk();

    ILinkEngine& m_Engine;

    platform::RecursiveLock m_ReceiveLock;  // one chunk at a time; guards everything below
    int32_t m_nState = kIdle;
    uint8_t m_Buffer[kBufferSize];
    uint8_t m_Scratch[kBufferSize];  // P1.6 decode area
    uint32_t m_nLength = 0;
    uint8_t m_byLrc = 0;
    int32_t m_nIdCountdown = 3;
    int32_t m_nLengthCountdown = 2;
    int32_t m_nDataLength = 0;
    uint16_t m_wBadFrameCount = 0;
    bool m_bEightBitFrame = false;  // link width when the frame's STX arrived

    platform::RecursiveLock m_FrameTimerLock;  // QueueThread reads the mark
    bool m_bFrameInProgress = false;
    uint32_t m_dwFrameStartTick = 0;
    uint32_t m_dwFrameTimeLimit = kFrameTimeLimitMs;
};

}  // namespace orn
