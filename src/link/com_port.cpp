#include "link/com_port.h"

#include <string>

#include "link/sensitive.h"

namespace orn {

CComPort::CComPort(CLogger& log, IChunkSink* sink) : CSerialListener(log), m_pSink(sink) {}

CComPort::~CComPort() {
    // Stop the listener while this object, which it calls, is still whole.
    CSerialListener::Close();
}

platform::Status CComPort::Open(const char* name, uint32_t rxQueue, uint32_t txQueue) {
    platform::Status err = CSerialListener::Open(name, rxQueue, txQueue, false);
    if (err != 0) return err;
    err = StartListener();
    if (err != 0) Close();
    return err;
}

platform::Status CComPort::Attach(std::shared_ptr<platform::SerialDevice> device) {
    platform::Status err = CSerialListener::Attach(std::move(device));
    if (err != 0) return err;
    err = StartListener();
    if (err != 0) Close();
    return err;
}

platform::Status CComPort::WriteFrame(const uint8_t* data, uint32_t length, uint32_t ms) {
    std::lock_guard<std::mutex> lock(m_WriteMutex);
    if (!m_pDevice) return platform::kErrInvalidHandle;
    if (ms != m_dwWriteLimit && m_pDevice->SetWriteTimeout(ms) == 0) m_dwWriteLimit = ms;
    return Write(data, length);
}

void CComPort::CloseTransport() {
    // The listener first: it may be writing an acknowledgement and waiting for the lock below.
    StopListener(5000);
    std::lock_guard<std::mutex> lock(m_WriteMutex);
    Close();
}

void CComPort::OnEvent(uint32_t /*events*/, uint32_t /*lineErrors*/) {
    // Breaks and line errors end no frame by themselves: a frame they spoiled fails its LRC.
}

void CComPort::OnDeviceLost(const platform::Status& error) {
    m_Log.Log(kLogSevere, "Serial port lost (err=%u)%s", error.Error(), error.Detail().c_str());
    if (m_pSink) m_pSink->OnDeviceGone();
}

void CComPort::OnReceive(const uint8_t* buffer, uint32_t got) {
    if (m_Log.GetLevel() == kLogDetail) {
        static const char kHex[] = "0123456789ABCDEF";
        // A raw chunk may hold any part of a frame, so its secrets cannot be told apart here:
        // unless sensitive data logging is on, only the link's control bytes (below 0x20: STX,
        // ETX, ACK, NAK, ENQ, ...) are shown and every other byte is "**". The frame dumps
        // that follow show the message itself, masked field by field.
        const bool clear = LogSensitiveData();
        std::string text = "Serial Recv(" + std::to_string(got) + "): ";
        text.reserve(text.size() + 3 * got);
        for (uint32_t i = 0; i < got; ++i) {
            const bool shown = clear || buffer[i] < 0x20;
            text += shown ? kHex[buffer[i] >> 4] : '*';
            text += shown ? kHex[buffer[i] & 0x0F] : '*';
            text += ' ';
        }
        bool singleAck = got == 1 && buffer[0] == 0x06;
        m_Log.Log(singleAck ? kLogDetail : kLogFine, "%s", text.c_str());
    }
    if (m_pSink) m_pSink->Receive(buffer, got);
}

}  // namespace orn
