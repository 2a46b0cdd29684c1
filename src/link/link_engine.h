// What the link receiver needs from the engine: its flags, the fixed-frame writes and the
// notifications for each thing it recognises on the wire. CGenericHandler implements it; tests
// drive the receiver with a fake.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace orn {

class CLogger;

class ILinkEngine {
  public:
    virtual ~ILinkEngine() = default;

    virtual CLogger& Logger() = 0;

    // Flags the receiver reads or sets.
    virtual bool EngineStarted() = 0;    // input is dropped until the engine has started once
    virtual int DataWidth() = 0;         // 7 serial, 8 USB HID
    virtual bool QuickCancelMode() = 0;  // answer a terminal ENQ with the cancel frame
    virtual void SetPowerUpSeen() = 0;   // the terminal's enquiry handshake completed
    virtual void SetStrayCancelExpected() = 0;
    virtual int32_t GetConnectionState() = 0;
    virtual void SetConnectionState(int32_t state) = 0;
    // Enquiries answered with ACK since the last handshake (an engine member).
    virtual int32_t& EnquiryCount() = 0;
    // The engine's clock (the frame timer runs on it).
    virtual uint32_t TickNow() { return platform::TickCount(); }

    // Writes raw bytes through the open transport (ACK, NAK, fixed frames). Returns non-zero
    // only when the write failed and the link was found lost.
    virtual uint32_t Write(const uint8_t* data, uint32_t length) = 0;
    // Writes the six-byte "50." cancel frame, without a dump.
    virtual void SendRawCancel() = 0;

    // Notifications, called on the listener thread in the order the receiver recognises them.
    virtual void OnAck() = 0;
    virtual void OnNak() = 0;
    virtual void OnPowerUp() = 0;
    virtual void OnLinkCheckAnswered() = 0;
    // A good frame other than "F1.": `message` is the identifier followed by the payload.
    virtual void ProcessResponse(const uint8_t* message, uint32_t length) = 0;
    // A good "F1." frame (EMV channel); the link does not acknowledge it.
    virtual void EmvAsyncReceiveHandler(const uint8_t* message, uint32_t length) = 0;
};

}  // namespace orn
