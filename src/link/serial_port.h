// Serial transport classes: CSerialPort owns the device and its line settings, CSerialListener
// adds the listener thread that waits for communication events, and CComPort (com_port.h)
// binds the listener to the engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "log/logger.h"
#include "platform/platform.h"

namespace orn {

// Every operation resets the last error, sets it to the outcome and returns it (0 success,
// 6 no device, 1247 already open, 0x80070057 unknown handshake or read timeout kind, else the
// platform error).
class CSerialPort {
  public:
    enum ReadTimeouts { kNonBlocking = 0, kBlocking = 1 };

    explicit CSerialPort(CLogger& log);
    virtual ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens the port exclusively (2: no such port, 5: in use). Non-zero queue sizes are passed
    // to the device. Sets the event mask, non-blocking reads and no write timeouts.
    virtual platform::Status Open(const char* name, uint32_t rxQueue, uint32_t txQueue);
    // Adopts an already-open device (a pty or a socketpair in tests and tools).
    virtual platform::Status Attach(std::shared_ptr<platform::SerialDevice> device);
    virtual platform::Status Close();

    virtual platform::Status Setup(uint32_t baud, int dataBits, platform::Parity parity,
                                   platform::StopBits stopBits);
    virtual platform::Status SetupHandshaking(platform::Handshake kind);
    virtual platform::Status SetupReadTimeouts(int kind);
    virtual platform::Status SetupWriteTimeouts();
    virtual platform::Status SetMask(uint32_t mask);
    virtual platform::Status SetEventChar(uint8_t ch, bool adjustMask);
    // Blocks until an event of the mask happens or the wait is cancelled.
    virtual platform::Status WaitEvent();

    virtual uint32_t GetBaudrate();
    virtual int GetDataBits();
    virtual platform::Parity GetParity();
    virtual platform::StopBits GetStopBits();
    virtual platform::Handshake GetHandshaking() { return m_eHandshake; }
    virtual uint32_t GetEventMask() { return m_dwEventMask; }
    virtual uint8_t GetEventChar() { return m_cEventChar; }

    virtual platform::Status Write(const char* text, uint32_t* written = nullptr);
    virtual platform::Status Write(const void* data, uint32_t length, uint32_t* written = nullptr);
    virtual platform::Status Read(void* buffer, uint32_t length, uint32_t* got = nullptr);

    platform::Status Purge();
    platform::Status Break();
    // Reported events masked with the requested mask; clears the reported events.
    uint32_t GetEventType();
    // Reads and clears the line-error bits.
    uint32_t GetError();
    bool GetCTS() { return ModemBit(platform::kModemCts); }
    bool GetDSR() { return ModemBit(platform::kModemDsr); }
    bool GetRing() { return ModemBit(platform::kModemRing); }
    bool GetRLSD() { return ModemBit(platform::kModemRlsd); }
    platform::Status SetDTR(bool on);

    bool IsOpen() const { return m_pDevice && m_pDevice->IsOpen(); }
    uint32_t LastError() const { return m_lLastError; }

  protected:
    bool ModemBit(uint32_t bit);
    platform::Status Fail(platform::Status status) {
        m_lLastError = status;
        return status;
    }

    CLogger& m_Log;
    std::shared_ptr<platform::SerialDevice> m_pDevice;
    // Atomic: the listener thread and a writer thread both record their outcome here.
    std::atomic<uint32_t> m_lLastError{0};
    uint32_t m_dwEventMask = 0;
    uint32_t m_dwEvent = 0;
    uint8_t m_cEventChar = 0;
    platform::Handshake m_eHandshake = platform::Handshake::Off;
};

// Adds the listener thread. The thread owns what it touches through a shared block, so a
// listener that does not stop in time can be abandoned without reaching a destroyed port.
class CSerialListener : public CSerialPort {
  public:
    explicit CSerialListener(CLogger& log);
    ~CSerialListener() override;

    platform::Status Open(const char* name, uint32_t rxQueue, uint32_t txQueue, bool startListener);
    platform::Status Attach(std::shared_ptr<platform::SerialDevice> device) override;
    platform::Status Close() override;
    platform::Status StartListener();
    platform::Status StopListener(uint32_t waitMs);
    bool ListenerRunning() const { return m_ListenerThread.Started(); }
    uint32_t ListenerThreadId() const { return m_ListenerThread.Id(); }
    // False while a listener given up by StopListener is still inside the receive path with
    // this port; an owner keeps the port until this turns true (the destructor would wait).
    bool ListenerIdle();

    // Read at most this much at a time.
    static constexpr uint32_t kReadChunk = 1024;

    // Called on the listener thread: line events (break, line error) with the line-error bits,
    // every chunk of received bytes in order, and once when the device has gone (the wait or
    // the reads fail with `error`); the listener then ends.
    virtual void OnEvent(uint32_t events, uint32_t lineErrors) = 0;
    virtual void OnReceive(const uint8_t* data, uint32_t length) = 0;
    virtual void OnDeviceLost(const platform::Status& /*error*/) {}

  private:
    using CSerialPort::Open;
    struct Shared;
    static uint32_t Listen(const std::shared_ptr<Shared>& shared,
                           const std::shared_ptr<platform::SerialDevice>& device, uint32_t mask);
    // Cuts the listener of `shared` off this port, waiting for the gate at most `waitMs`.
    static bool Detach(Shared& shared, uint32_t waitMs);
    std::shared_ptr<Shared> m_pShared;
    std::shared_ptr<Shared> m_pBusyShared;  // a given-up listener not yet cut off
    platform::Thread m_ListenerThread;
};

}  // namespace orn
