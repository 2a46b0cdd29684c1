#include "link/serial_port.h"

#include "log/thread_runner.h"

namespace orn {

using platform::kErrInvalidArg;
using platform::kErrInvalidHandle;

namespace {
// Events the terminal link listens for: break, line error, received character.
constexpr uint32_t kLinkEventMask = platform::kEvBreak | platform::kEvErr | platform::kEvRxChar;
}  // namespace

// ---------------------------------------------------------------------------------------------
// CSerialPort

CSerialPort::CSerialPort(CLogger& log) : m_Log(log) {}

CSerialPort::~CSerialPort() {
    if (m_pDevice) CSerialPort::Close();
}

platform::Status CSerialPort::Open(const char* name, uint32_t rxQueue, uint32_t txQueue) {
    m_lLastError = 0;
    if (m_pDevice) return Fail(platform::kErrAlreadyOpen);
    platform::Status error;
    auto device = platform::SerialDevice::Open(name ? name : "", &error);
    if (!device) return Fail(error != 0 ? error : platform::Status(platform::kErrNotFound));
    if (rxQueue != 0 || txQueue != 0) {
        platform::Status err = device->SetupQueues(rxQueue, txQueue);
        if (err != 0) {
            device->Close();
            return Fail(err);
        }
    }
    m_pDevice = std::move(device);
    SetMask(kLinkEventMask);
    SetupReadTimeouts(kNonBlocking);
    SetupWriteTimeouts();
    return m_lLastError = 0;
}

platform::Status CSerialPort::Attach(std::shared_ptr<platform::SerialDevice> device) {
    m_lLastError = 0;
    if (m_pDevice) return Fail(platform::kErrAlreadyOpen);
    if (!device || !device->IsOpen()) return Fail(kErrInvalidHandle);
    m_pDevice = std::move(device);
    SetMask(kLinkEventMask);
    return m_lLastError = 0;
}

platform::Status CSerialPort::Close() {
    m_lLastError = 0;
    if (m_pDevice) {
        m_pDevice->Close();
        m_pDevice.reset();
    }
    return 0;
}

platform::Status CSerialPort::Setup(uint32_t baud, int dataBits, platform::Parity parity,
                                    platform::StopBits stopBits) {
    m_lLastError = 0;
    if (!m_pDevice) return Fail(kErrInvalidHandle);
    platform::LineSettings settings;
    settings.baud = baud;
    settings.dataBits = dataBits;
    settings.parity = parity;
    settings.stopBits = stopBits;
    return Fail(m_pDevice->Setup(settings));
}

platform::Status CSerialPort::SetupHandshaking(platform::Handshake kind) {
    m_lLastError = 0;
    if (!m_pDevice) return Fail(kErrInvalidHandle);
    if (kind != platform::Handshake::Off && kind != platform::Handshake::Hardware &&
        kind != platform::Handshake::Software)
        return Fail(kErrInvalidArg);
    m_eHandshake = kind;
    return Fail(m_pDevice->SetupHandshaking(kind));
}

platform::Status CSerialPort::SetupReadTimeouts(int kind) {
    m_lLastError = 0;
    if (!m_pDevice) return Fail(kErrInvalidHandle);
    // Reads always return at once with what is there; a blocking read is served by waiting for
    // the character event first, which is how the listener reads.
    if (kind != kNonBlocking && kind != kBlocking) return Fail(kErrInvalidArg);
    return 0;
}

platform::Status CSerialPort::SetupWriteTimeouts() {
    m_lLastError = 0;
    if (!m_pDevice) return Fail(kErrInvalidHandle);
    return 0;  // writes have no time limit
}

platform::Status CSerialPort::SetMask(uint32_t mask) {
    m_lLastError = 0;
    if (!m_pDevice) return Fail(kErrInvalidHandle);
    m_dwEventMask = mask;
    return 0;
}

platform::Status CSerialPort::SetEventChar(uint8_t ch, bool adjustMask) {
    m_lLastError = 0;
    if (!m_pDevice) return Fail(kErrInvalidHandle);
    m_cEventChar = ch;
    if (adjustMask) return SetMask(m_dwEventMask | platform::kEvRxFlag);
    return 0;
}

platform::Status CSerialPort::WaitEvent() {
    m_lLastError = 0;
    if (!m_pDevice) return Fail(kErrInvalidHandle);
    uint32_t events = 0;
    platform::Status err = m_pDevice->WaitEvent(m_dwEventMask, &events);
    m_dwEvent |= events;
    return Fail(err);
}

uint32_t CSerialPort::GetBaudrate() {
    platform::LineSettings s;
    return m_pDevice && m_pDevice->GetSettings(&s) == 0 ? s.baud : 0;
}

int CSerialPort::GetDataBits() {
    platform::LineSettings s;
    return m_pDevice && m_pDevice->GetSettings(&s) == 0 ? s.dataBits : 0;
}

platform::Parity CSerialPort::GetParity() {
    platform::LineSettings s;
    return m_pDevice && m_pDevice->GetSettings(&s) == 0 ? s.parity : platform::Parity::None;
}

platform::StopBits CSerialPort::GetStopBits() {
    platform::LineSettings s;
    return m_pDevice && m_pDevice->GetSettings(&s) == 0 ? s.stopBits : platform::StopBits::One;
}

platform::Status CSerialPort::Write(const char* text, uint32_t* written) {
    uint32_t length = 0;
    while (text && text[length]) ++length;
    return Write(text, length, written);
}

platform::Status CSerialPort::Write(const void* data, uint32_t length, uint32_t* written) {
    m_lLastError = 0;
    if (written) *written = 0;
    if (!m_pDevice) return Fail(kErrInvalidHandle);
    size_t done = 0;
    platform::Status err = m_pDevice->Write(data, length, &done);
    if (written) *written = static_cast<uint32_t>(done);
    return Fail(err);
}

platform::Status CSerialPort::Read(void* buffer, uint32_t length, uint32_t* got) {
    m_lLastError = 0;
    if (got) *got = 0;
    if (!m_pDevice) return Fail(kErrInvalidHandle);
    size_t done = 0;
    platform::Status err = m_pDevice->Read(buffer, length, &done);
    if (got) *got = static_cast<uint32_t>(done);
    return Fail(err);
}

platform::Status CSerialPort::Purge() {
    m_lLastError = 0;
    if (!m_pDevice) return Fail(kErrInvalidHandle);
    return Fail(m_pDevice->Purge());
}

platform::Status CSerialPort::Break() {
    m_lLastError = 0;
    if (!m_pDevice) return Fail(kErrInvalidHandle);
    return Fail(m_pDevice->SendBreak(100));
}

uint32_t CSerialPort::GetEventType() {
    uint32_t events = m_dwEvent & m_dwEventMask;
    m_dwEvent = 0;
    return events;
}

uint32_t CSerialPort::GetError() {
    m_lLastError = 0;
    if (!m_pDevice) return Fail(kErrInvalidHandle), 0;
    uint32_t errors = 0;
    Fail(m_pDevice->ClearError(&errors, nullptr));
    return errors;
}

platform::Status CSerialPort::SetDTR(bool on) {
    m_lLastError = 0;
    if (!m_pDevice) return Fail(kErrInvalidHandle);
    return Fail(m_pDevice->SetDtr(on));
}

bool CSerialPort::ModemBit(uint32_t bit) {
    m_lLastError = 0;
    if (!m_pDevice) return Fail(kErrInvalidHandle), false;
    uint32_t status = 0;
    if (Fail(m_pDevice->GetModemStatus(&status)) != 0) return false;
    return (status & bit) != 0;
}

// ---------------------------------------------------------------------------------------------
// CSerialListener

// What the listener thread touches. The thread holds `gate` while it works with the port, and
// the port clears `owner` under it when it stops the thread, so a thread that outlives its port
// (abandoned after the stop timeout) stops calling it.
struct CSerialListener::Shared {
    platform::Event startEvent{true};
    platform::Event stopEvent{true};  // ends the listener's rest between aborted waits
    std::atomic<bool> stop{false};
    std::mutex gate;
    CSerialListener* owner = nullptr;
};

namespace {
// Rest after a wait the driver aborted with nothing to read, so a line whose waits keep ending
// that way does not make the listener spin.
constexpr uint32_t kAbortedWaitRestMs = 20;
}  // namespace

// The listener's work with the driver. Events are edges (platform.h): bytes waiting before the
// first wait, the rest of a burst larger than one read, and bytes that came with a line error
// raise no event of their own, so the input queue is emptied before every wait and after every
// event; the character bit only says that something came. A wait the driver aborts is followed
// by a look at the device: one that cannot even report its state has gone, and so has the link.
uint32_t CSerialListener::Listen(const std::shared_ptr<Shared>& shared,
                                 const std::shared_ptr<platform::SerialDevice>& device,
                                 uint32_t mask) {
    // Runs `call` on the owning port under the gate; false once the port has let go.
    auto withOwner = [&shared](auto call) {
        std::lock_guard<std::mutex> hold(shared->gate);
        if (!shared->owner || shared->stop) return false;
        call(*shared->owner);
        return true;
    };
    auto lost = [&](const platform::Status& error) {
        withOwner([&error](CSerialListener& owner) { owner.OnDeviceLost(error); });
        return error.Error();
    };
    uint8_t buffer[kReadChunk];
    for (;;) {
        // Everything the driver holds, in chunks of at most kReadChunk.
        for (;;) {
            uint32_t errors = 0, queued = 0;
            platform::Status err = device->ClearError(&errors, &queued);
            if (err != 0) return lost(err);
            if (errors != 0 &&
                !withOwner([errors](CSerialListener& o) { o.OnEvent(platform::kEvErr, errors); }))
                return 0;
            if (queued == 0) break;
            size_t got = 0;
            err = device->Read(buffer, std::min<size_t>(queued, sizeof buffer), &got);
            if (err != 0) return lost(err);
            if (got == 0) break;
            if (!withOwner(
                    [&](CSerialListener& o) { o.OnReceive(buffer, static_cast<uint32_t>(got)); }))
                return 0;
        }
        if (shared->stop) return 0;
        uint32_t events = 0;
        platform::Status err = device->WaitEvent(mask, &events);
        if (shared->stop) return 0;
        if (err == platform::kErrOperationAborted) {
            uint32_t errors = 0, queued = 0;
            err = device->ClearError(&errors, &queued);
            if (err != 0) return lost(err);
            if (errors != 0 &&
                !withOwner([errors](CSerialListener& o) { o.OnEvent(platform::kEvErr, errors); }))
                return 0;
            if (queued == 0) shared->stopEvent.Wait(kAbortedWaitRestMs);
            continue;
        }
        if (err != 0) return lost(err);
        // Line events are reported; received bytes are read by the loop above.
        const uint32_t lineEvents = events & ~(platform::kEvRxChar | platform::kEvRxFlag);
        if (lineEvents != 0 &&
            !withOwner([lineEvents](CSerialListener& o) { o.OnEvent(lineEvents, 0); }))
            return 0;
    }
}

CSerialListener::CSerialListener(CLogger& log)
    : CSerialPort(log), m_pShared(std::make_shared<Shared>()) {}

CSerialListener::~CSerialListener() {
    if (m_pDevice || m_ListenerThread.Started()) CSerialListener::Close();
    // Last resort: an owner that did not wait for ListenerIdle must not leave the thread a
    // destroyed port.
    if (m_pBusyShared) {
        std::lock_guard<std::mutex> hold(m_pBusyShared->gate);
        m_pBusyShared->owner = nullptr;
    }
}

bool CSerialListener::Detach(Shared& shared, uint32_t waitMs) {
    // Polled: the gate is normally free at once, and a timed lock is not understood by every
    // thread checker.
    const uint32_t start = platform::TickCount();
    while (!shared.gate.try_lock()) {
        if (platform::TickCount() - start >= waitMs) return false;
        platform::SleepMs(1);
    }
    shared.owner = nullptr;
    shared.gate.unlock();
    return true;
}

bool CSerialListener::ListenerIdle() {
    if (!m_pBusyShared) return true;
    if (!Detach(*m_pBusyShared, 0)) return false;
    m_pBusyShared.reset();
    return true;
}

platform::Status CSerialListener::Open(const char* name, uint32_t rxQueue, uint32_t txQueue,
                                       bool startListener) {
    platform::Status err = CSerialPort::Open(name, rxQueue, txQueue);
    if (err != 0) return err;
    return startListener ? StartListener() : platform::Status();
}

platform::Status CSerialListener::Attach(std::shared_ptr<platform::SerialDevice> device) {
    return CSerialPort::Attach(std::move(device));
}

platform::Status CSerialListener::Close() {
    StopListener(5000);
    return CSerialPort::Close();
}

platform::Status CSerialListener::StartListener() {
    m_lLastError = 0;
    if (m_ListenerThread.Started()) return 0;
    if (!m_pDevice) return Fail(kErrInvalidHandle);

    std::shared_ptr<Shared> shared = m_pShared;
    std::shared_ptr<platform::SerialDevice> device = m_pDevice;
    {
        std::lock_guard<std::mutex> hold(shared->gate);
        shared->owner = this;
    }
    shared->stop = false;
    shared->startEvent.Reset();
    shared->stopEvent.Reset();
    uint32_t mask = m_dwEventMask;
    platform::Status err = m_ListenerThread.Start([shared, device, mask]() -> uint32_t {
        shared->startEvent.Set();
        return Listen(shared, device, mask);
    });
    if (err != 0) {
        std::lock_guard<std::mutex> hold(shared->gate);
        shared->owner = nullptr;
        return Fail(err);
    }
    m_Log.Log(kLogInfo, "Serial Listener Thread with ID=%08X", m_ListenerThread.Id());
    static const ThreadStartWords words = ThreadStartWords::ForPrefix("StartListener");
    LogWaitOutcome(m_Log, shared->startEvent.Wait(5000), words, m_ListenerThread.Id());
    return 0;
}

platform::Status CSerialListener::StopListener(uint32_t waitMs) {
    m_lLastError = 0;
    if (!m_ListenerThread.Started()) return 0;
    m_pShared->stop = true;
    m_pShared->stopEvent.Set();
    if (m_pDevice) m_pDevice->CancelWait();
    static const ThreadStopWords words = {
        "Serial Listener Thread shutdown properly",
        "Serial Listener Thread shutdown improperly, terminating thread",
        "Serial Listener Thread shutdown Wait Abandoned",
        "Serial Listener Thread shutdown Event Wait Failed",
        "Serial Listener Thread shutdown Event Wait Defaulted"};
    StopWithTimeout(m_Log, m_ListenerThread, waitMs, words);
    if (m_ListenerThread.Started()) m_ListenerThread.Abandon();
    // Whatever the outcome, the thread may no longer reach this port. One that was given up
    // may still be inside the receive path: it is waited for no longer than the stop itself,
    // then left to let go of the port by itself (see ListenerIdle).
    if (!Detach(*m_pShared, waitMs)) {
        m_Log.Log(kLogSevere, "Serial Listener Thread still busy, port kept until it returns");
        m_pBusyShared = m_pShared;
    }
    // A fresh block for a later listener: an abandoned thread keeps the old one.
    m_pShared = std::make_shared<Shared>();
    m_Log.Log(kLogInfo, "Serial Listener Thread Stopped");
    return 0;
}

}  // namespace orn
