// src/link/ owns the terminal link below the engine: the bytes of a frame (LRC, P1.6 encoding,
// hex dumps and their masks of secrets), the catalogue of the terminal's messages, the receiver
// that turns read chunks into frames, the transports (serial port and USB HID) and the search for
// ports and HID devices. It reaches the engine only through link_engine.h.
//
// The open link to the terminal as the engine sees it: a serial port (CComPort) or a USB HID
// device (CUsbHidPort). The engine owns the one open transport through a shared_ptr, so a
// writer holding its own reference never writes through a destroyed object.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace orn {

// Receives what a transport reads (the link receiver, through the engine).
class IChunkSink {
  public:
    virtual ~IChunkSink() = default;
    // A chunk of received bytes, on the transport's delivering thread, in order.
    virtual void Receive(const uint8_t* data, uint32_t count) = 0;
    // The device went away (noticed while reading), after the last chunk it delivered. Called
    // once, on the delivering thread.
    virtual void OnDeviceGone() {}
};

class ITransport {
  public:
    virtual ~ITransport() = default;

    // Writes all of `data`, waiting at most `ms` (a platform::kInfinite wait has no limit).
    // 0, platform::kErrTimeout, or the platform error of the failed write.
    virtual platform::Status WriteFrame(const uint8_t* data, uint32_t length, uint32_t ms) = 0;
    // Stops the transport's threads and closes the device. Waits for a write in progress.
    virtual void CloseTransport() = 0;
    virtual bool IsOpen() const = 0;
    // 7 on a serial link (P1.6 for binary payloads), 8 on USB HID.
    virtual int DataWidth() const = 0;
    // The thread that calls the sink (0 when none). A transport is never closed from it: that
    // thread would have to wait for itself.
    virtual uint32_t ListenerThreadId() const = 0;
    // True once the device is known to have gone (unplugged); asked after a write error.
    virtual bool DeviceGone() = 0;
    // The engine waits for an answer: hand over received bytes without the batching delay.
    virtual void TriggerRead() {}
    // False while a thread given up at close is still inside the transport: its owner keeps
    // it until this turns true.
    virtual bool Idle() { return true; }
};

}  // namespace orn
