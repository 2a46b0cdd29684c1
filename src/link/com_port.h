// CComPort: the serial listener bound to the engine; every received chunk goes to the sink.
#pragma once

#include <functional>
#include <mutex>

#include "link/serial_port.h"
#include "link/transport.h"

namespace orn {

class CComPort : public CSerialListener, public ITransport {
  public:
    CComPort(CLogger& log, IChunkSink* sink);
    ~CComPort() override;

    // Opens the port without the listener, then starts it; on failure closes again.
    platform::Status Open(const char* name, uint32_t rxQueue, uint32_t txQueue) override;
    // Adopts an open device and starts the listener.
    platform::Status Attach(std::shared_ptr<platform::SerialDevice> device) override;

    void OnEvent(uint32_t events, uint32_t lineErrors) override;
    void OnReceive(const uint8_t* data, uint32_t length) override;
    // The device has gone: the link is lost (the sink closes it).
    void OnDeviceLost(const platform::Status& error) override;

    // The link's transport. Writers are taken one at a time; a write waits at most `ms` for
    // the device to take the bytes.
    platform::Status WriteFrame(const uint8_t* data, uint32_t length, uint32_t ms) override;
    void CloseTransport() override;
    bool IsOpen() const override { return CSerialPort::IsOpen(); }
    int DataWidth() const override { return 7; }
    uint32_t ListenerThreadId() const override { return CSerialListener::ListenerThreadId(); }
    // Answered by the probe the engine sets (a USB port that is no longer listed); a port
    // without a probe never counts as gone.
    bool DeviceGone() override { return m_DeviceGoneProbe && m_DeviceGoneProbe(); }
    void SetDeviceGoneProbe(std::function<bool()> probe) { m_DeviceGoneProbe = std::move(probe); }
    bool Idle() override { return ListenerIdle(); }

  private:
    IChunkSink* m_pSink;
    std::mutex m_WriteMutex;
    uint32_t m_dwWriteLimit = platform::kInfinite;  // last limit given to the device
    std::function<bool()> m_DeviceGoneProbe;
};

}  // namespace orn
