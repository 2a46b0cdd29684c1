// CComPort: the serial listener bound to the engine; every received chunk goes to the sink.
#pragma once

#include "link/serial_port.h"

namespace orn {

// Receives the chunks a transport reads (the link receiver, through the engine).
class IChunkSink {
  public:
    virtual ~IChunkSink() = default;
    virtual void Receive(const uint8_t* data, uint32_t count) = 0;
};

class CComPort : public CSerialListener {
  public:
    static constexpr uint32_t kReadChunk = 1024;

    CComPort(CLogger& log, IChunkSink* sink);
    ~CComPort() override;

    // Opens the port without the listener, then starts it; on failure closes again.
    uint32_t Open(const char* name, uint32_t rxQueue, uint32_t txQueue);
    // Adopts an open device and starts the listener.
    uint32_t Attach(std::shared_ptr<platform::SerialDevice> device) override;

    void OnEvent(uint32_t events, uint32_t lineErrors) override;

  private:
    IChunkSink* m_pSink;
};

}  // namespace orn
