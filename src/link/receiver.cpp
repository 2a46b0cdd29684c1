#include "link/receiver.h"

#include <cstring>

#include "link/frame.h"
#include "log/logger.h"

namespace orn {

using platform::LockGuard;

namespace {

constexpr int32_t kConnPending = 2;
constexpr int32_t kConnOk = 4;
constexpr int32_t kEnquiriesForPowerUp = 3;

}  // namespace

CLinkReceiver::CLinkReceiver(ILinkEngine& engine) : m_Engine(engine) {
    std::memset(m_Buffer, 0, sizeof m_Buffer);
}

int CLinkReceiver::Receive(const uint8_t* bytes, uint32_t count) {
    if (count == kResetCount) {
        LockGuard guard(m_ReceiveLock);
        ResetLocked();
        return 0;
    }
    if (!bytes || count == 0 || !m_Engine.EngineStarted()) return -1;

    LockGuard guard(m_ReceiveLock);
    int result = -1;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        switch (m_nState) {
            case kIdle:
                Idle(b, i + 1 == count);
                break;
            case kEnquiryAnswered:
                EnquiryAnswered(b);
                break;
            case kText:
                m_byLrc ^= b;
                if (b == kETX) {
                    m_nState = kLrcByte;
                } else {
                    Store(b);
                }
                break;
            case kIdentifier:
                m_byLrc ^= b;
                Store(b);
                if (--m_nIdCountdown <= 0) {
                    m_nState = IsRawDataId(m_Buffer, m_nLength) ? kLength : kText;
                }
                break;
            case kLength:
                m_byLrc ^= b;
                Store(b);
                m_nDataLength = m_nDataLength * 256 + b;
                if (--m_nLengthCountdown <= 0) m_nState = m_nDataLength > 0 ? kData : kEndByte;
                break;
            case kData:
                m_byLrc ^= b;
                Store(b);
                if (--m_nDataLength <= 0) m_nState = kEndByte;
                break;
            case kEndByte:
                m_byLrc ^= b;
                Store(b);
                if (b == kETX) {
                    m_nState = kLrcByte;
                } else {
                    ClearFrameMark();
                    m_nState = kIdle;
                    BadFrame();
                }
                break;
            case kLrcByte:
                ClearFrameMark();
                m_nState = kIdle;
                m_byLrc ^= b;
                if (m_byLrc != 0) {
                    BadFrame();
                } else {
                    result = static_cast<int>(m_nLength);
                    GoodFrame(b);
                }
                break;
            default:
                m_nState = kIdle;
                break;
        }
    }
    return result;
}

void CLinkReceiver::ResetLocked() {
    m_nState = kIdle;
    // A frame abandoned here no longer holds back the queue thread's next send.
    ClearFrameMark();
}

void CLinkReceiver::MarkFrameStart() {
    LockGuard guard(m_FrameTimerLock);
    m_bFrameInProgress = true;
    m_dwFrameStartTick = m_Engine.TickNow();
}

void CLinkReceiver::ClearFrameMark() {
    LockGuard guard(m_FrameTimerLock);
    m_bFrameInProgress = false;
}

bool CLinkReceiver::FrameInProgress() {
    LockGuard guard(m_FrameTimerLock);
    return m_bFrameInProgress;
}

void CLinkReceiver::SetFrameTimeLimit(uint32_t ms) {
    LockGuard guard(m_FrameTimerLock);
    m_dwFrameTimeLimit = ms;
}

uint32_t CLinkReceiver::CheckFrameWatchdog() {
    auto expired = [this] {
        return m_bFrameInProgress && m_Engine.TickNow() - m_dwFrameStartTick > m_dwFrameTimeLimit;
    };
    {
        LockGuard timer(m_FrameTimerLock);
        if (!expired()) return FrameDueInLocked();
    }
    // Check again under the receive lock: the frame may have ended, or a new one started,
    // while the listener held it.
    LockGuard guard(m_ReceiveLock);
    {
        LockGuard timer(m_FrameTimerLock);
        if (!expired()) return FrameDueInLocked();
    }
    ResetLocked();
    return platform::kInfinite;
}

uint32_t CLinkReceiver::FrameDueInLocked() const {
    if (!m_bFrameInProgress) return platform::kInfinite;
    const uint32_t elapsed = m_Engine.TickNow() - m_dwFrameStartTick;
    // Expired once the limit is passed, so due a tick after it.
    return elapsed > m_dwFrameTimeLimit ? 0 : m_dwFrameTimeLimit - elapsed + 1;
}

int32_t CLinkReceiver::GetState() {
    LockGuard guard(m_ReceiveLock);
    return m_nState;
}

uint16_t CLinkReceiver::BadFrameCount() {
    LockGuard guard(m_ReceiveLock);
    return m_wBadFrameCount;
}

void CLinkReceiver::Store(uint8_t byte) {
    if (m_nLength < kMaxStored) m_Buffer[m_nLength++] = byte;
}

void CLinkReceiver::Idle(uint8_t byte, bool lastOfChunk) {
    switch (byte) {
        case kSTX:
            MarkFrameStart();
            m_bEightBitFrame = m_Engine.DataWidth() == 8;
            m_nState = m_bEightBitFrame ? kIdentifier : kText;
            m_byLrc = 0;
            m_nLength = 0;
            // A frame shorter than an identifier must not show the previous frame's.
            std::memset(m_Buffer, 0, 4);
            m_nIdCountdown = 3;
            m_nLengthCountdown = 2;
            m_nDataLength = 0;
            break;
        case kENQ:
            // The terminal's enquiry stands alone; one followed by more bytes is line noise.
            if (!lastOfChunk) break;
            AnswerEnquiry();
            m_nState = kEnquiryAnswered;
            m_Engine.SetConnectionState(kConnPending);
            break;
        case kACK:
            m_Engine.OnAck();
            ConnectionOk();
            break;
        case kNAK:
            m_Engine.OnNak();
            ConnectionOk();
            break;
        default:
            break;
    }
}

void CLinkReceiver::EnquiryAnswered(uint8_t byte) {
    if (byte == kACK) {
        m_nState = kIdle;
        m_Engine.SetPowerUpSeen();
        m_Engine.OnPowerUp();
        m_Engine.EnquiryCount() = 0;
        m_Engine.SetStrayCancelExpected();
    } else if (byte == kENQ) {
        // The count is not reset here, so a terminal that keeps enquiring keeps being seen as
        // powering up until a frame or a handshake ACK restarts the count.
        if (AnswerEnquiry() && m_Engine.EnquiryCount() >= kEnquiriesForPowerUp) {
            m_nState = kIdle;
            PowerUp();
        }
    }
}

bool CLinkReceiver::AnswerEnquiry() {
    if (m_Engine.QuickCancelMode()) {
        m_Engine.SendRawCancel();
        return false;
    }
    SendFixedFrame(kAckFrame, sizeof kAckFrame);
    ++m_Engine.EnquiryCount();
    return true;
}

void CLinkReceiver::PowerUp() {
    m_Engine.SetPowerUpSeen();
    m_Engine.OnPowerUp();
}

void CLinkReceiver::BadFrame() {
    ++m_wBadFrameCount;
    if (m_wBadFrameCount < kBadFrameLimit) {
        SendFixedFrame(kNakFrame, sizeof kNakFrame);
    } else {
        m_wBadFrameCount = 0;
    }
}

void CLinkReceiver::GoodFrame(uint8_t lrcByte) {
    CLogger& log = m_Engine.Logger();
    const bool f1 = IdEquals(m_Buffer, m_nLength, "F1.");
    m_Engine.EnquiryCount() = 0;

    if (!m_bEightBitFrame && IsRawDataId(m_Buffer, m_nLength)) {
        LogReceivedFrameDump(log, kLogFine, kRxEncodedTitle, m_Buffer, m_nLength, lrcByte, true);
        size_t decoded = P16Decode(m_Buffer + 3, m_nLength - 3, m_Scratch);
        std::memcpy(m_Buffer + 3, m_Scratch, decoded);
        m_nLength = static_cast<uint32_t>(decoded + 3);
        LogReceivedFrameDump(log, kLogFine, kRxDecodedTitle, m_Buffer, m_nLength, lrcByte);
    } else {
        LogReceivedFrameDump(log, kLogFine, kRxDataTitle, m_Buffer, m_nLength, lrcByte);
    }

    if (!f1) {
        SendFixedFrame(kAckFrame, sizeof kAckFrame);
        m_Engine.ProcessResponse(m_Buffer, m_nLength);
    } else {
        m_Engine.EmvAsyncReceiveHandler(m_Buffer, m_nLength);
    }
    m_Engine.OnLinkCheckAnswered();
    ConnectionOk();
}

void CLinkReceiver::SendFixedFrame(const uint8_t* frame, uint32_t length) {
    LogHexDump(m_Engine.Logger(), kLogFine, kTxDataTitle, frame, length);
    m_Engine.Write(frame, length);
}

void CLinkReceiver::ConnectionOk() {
    if (m_Engine.GetConnectionState() != kConnOk) m_Engine.SetConnectionState(kConnOk);
}

}  // namespace orn
