// CUsbHidPort: the terminal link over USB HID reports.
//
// Output: a frame is cut into reports of the device's output length: identifier 2, the number
// n of data bytes, n bytes of the frame, filler. Input: a reader thread copies the data bytes
// of each input report into the staging buffer; ReadBufferThread hands what is staged on in
// batches, so that a frame spread over several reports reaches the receiver as one chunk; the
// queue thread ("USB HID QueueThread") delivers those chunks from the receive ring to the sink.
//
// Batching: staged bytes go on 100 ms after the first report of the batch, unless they are a
// multiple of 30 bytes (a frame that filled its reports may continue) and the last report is
// less than 201 ms old; they go at once when the engine has triggered a read (it waits for an
// answer), also when the trigger came at most kTriggerHoldMs before the batch's first report.
// Nothing runs while nothing arrives: the threads wait for data, the trigger or the kill event.
//
// The staging buffer returns to its start whenever everything in it has been handed on; bytes
// that would still not fit (a receiver stalled for long) replace the oldest ones, as in the
// receive ring. A read that finds the device gone ends the reader, and the sink is told once the
// bytes before it have been delivered.
#pragma once

#include <memory>
#include <string>

#include "link/transport.h"
#include "log/logger.h"
#include "platform/platform.h"

namespace orn {

class CUsbHidPort : public ITransport {
  public:
    static constexpr uint8_t kReportId = 2;
    static constexpr size_t kStagingSize = 65536;
    static constexpr size_t kRingSize = 65536;
    static constexpr size_t kDeliverChunk = 1024;
    static constexpr uint32_t kBatchMs = 100;
    static constexpr uint32_t kHoldBackUnit = 30;
    static constexpr uint32_t kHoldBackMs = 201;
    // A trigger that finds nothing staged counts for a batch that starts this soon after it.
    static constexpr uint32_t kTriggerHoldMs = 200;

    CUsbHidPort(CLogger& log, IChunkSink* sink);
    ~CUsbHidPort() override;
    CUsbHidPort(const CUsbHidPort&) = delete;
    CUsbHidPort& operator=(const CUsbHidPort&) = delete;

    // Opens the device path and starts the threads: 0, or 2250 on any failure (the platform's
    // own error is logged and kept as LastError).
    platform::Status Open(const std::string& path);
    // Adopts an open device (a socket in tests) and starts the threads; 0 or 2250.
    uint32_t Attach(std::shared_ptr<platform::HidDevice> device);
    uint32_t LastError() const;

    platform::Status WriteFrame(const uint8_t* data, uint32_t length, uint32_t ms) override;
    void Close();
    void CloseTransport() override { Close(); }
    bool IsOpen() const override;
    int DataWidth() const override { return 8; }
    uint32_t ListenerThreadId() const override;
    bool DeviceGone() override;
    void TriggerRead() override;

  private:
    struct Shared;
    static uint32_t ReaderThread(std::shared_ptr<Shared> shared);
    static uint32_t ReadBufferThread(std::shared_ptr<Shared> shared);
    static uint32_t QueueThread(std::shared_ptr<Shared> shared);

    CLogger& m_Log;
    std::shared_ptr<Shared> m_pShared;
    platform::Thread m_ReaderThread;
    platform::Thread m_ReadBufferThread;
    platform::Thread m_QueueThread;
};

}  // namespace orn
