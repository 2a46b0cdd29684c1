// The link owner: opening and closing the serial or USB HID transport, writing through it,
// tearing the link down when the device is lost, handing the listener's chunks to the receiver,
// and the idle link check ("ENQ Test") that proves the terminal still answers.
#include "engine/link_owner.h"

#include <algorithm>
#include <string>
#include <vector>

#include "engine/generic_handler.h"
#include "link/frame.h"
#include "link/usb_hid_port.h"

namespace orn {

thread_local CLinkOwner::DeferredWakes* CLinkOwner::t_DeferredWakes = nullptr;

namespace {

// "\\.\COM12" and "COM12" name the same port.
std::string PlainPortName(const char* name) {
    std::string text = name ? name : "";
    if (text.compare(0, 4, "\\\\.\\") == 0) text.erase(0, 4);
    return text;
}

}  // namespace

CLinkOwner::CLinkOwner(ILinkEngine& engine, ILinkOwnerHost& host, CLogger& log,
                       std::unique_ptr<IPortKindQuery> platformQuery,
                       const EngineServices& services)
    : m_Host(host),
      m_Logger(log),
      m_Services(services),
      m_Receiver(engine),
      m_Transport(std::move(platformQuery)) {
    if (services.portKinds) m_Transport.SetPortKindQuery(services.portKinds);
}

void CLinkOwner::InstallTransport(std::shared_ptr<ITransport> transport, const std::string& name,
                                  bool usbSerial) {
    m_nDataWidth = transport->DataWidth();
    m_Transport.Install(std::move(transport), name, usbSerial);
}

platform::Status EngineServices::OpenPlatformTransport(const TransportRequest& request,
                                                       std::shared_ptr<ITransport>& out) {
    CLogger& log = *request.log;
    if (request.hid) {
        auto port = std::make_shared<CUsbHidPort>(log, request.sink);
        const platform::Status err = port->Open(request.name);
        if (err == 0) out = std::move(port);
        return err;
    }
    auto port = std::make_shared<CComPort>(log, request.sink);
    // The listener starts only once the line is set up, so nothing reads while it changes.
    platform::Status err =
        port->CSerialListener::Open(request.name.c_str(), request.rxQueue, request.txQueue, false);
    if (err != 0) {
        log.Log(kLogSevere, "Unable to open serial port %s (err=%u)%s", request.portName.c_str(),
                err.Error(), err.Detail().c_str());
        return err;
    }
    // The terminal link: 7 data bits, even parity, one stop bit, no handshake; the maker's USB
    // port runs at 115200 baud. A device that refuses the line settings (a pseudo-terminal)
    // stays raw and carries the link unchanged.
    err = port->Setup(request.makerUsb ? 115200 : 9600, 7, platform::Parity::Even,
                      platform::StopBits::One);
    if (err != 0)
        log.Log(kLogInfo, "Serial line settings refused by the device (error %u), port left raw%s",
                err.Error(), err.Detail().c_str());
    err = port->SetupHandshaking(platform::Handshake::Off);
    if (err != 0)
        log.Log(kLogInfo, "Serial handshake settings refused by the device (error %u)%s",
                err.Error(), err.Detail().c_str());
    err = port->StartListener();
    if (err != 0) {
        port->Close();
        return err;
    }
    out = std::move(port);
    return 0;
}

platform::Status CLinkOwner::OpenSerialPort(const char* name, uint32_t rxQueue, uint32_t txQueue,
                                            const char* portName) {
    m_Transport.DestroyRetired();
    std::string plainName = PlainPortName(portName ? portName : name);
    TransportRequest request;
    request.name = name ? name : "";
    request.portName = plainName;
    request.rxQueue = rxQueue;
    request.txQueue = txQueue;
    request.makerUsb = m_Transport.PortKindQuery().IsMakerUsbSerialPort(plainName);
    request.log = &m_Logger;
    request.sink = this;
    std::shared_ptr<ITransport> transport;
    const platform::Status err = m_Services.OpenTransport(request, transport);
    if (err != 0) return err;
    // After a failed write, the maker's USB port counts as gone once it is no longer listed.
    auto port = std::dynamic_pointer_cast<CComPort>(transport);
    if (request.makerUsb && port)
        port->SetDeviceGoneProbe(
            [this, plainName] { return !m_Transport.PortKindQuery().IsUsbPortPresent(plainName); });
    // The maker's USB port acknowledges the terminal's enquiries at once.
    if (request.makerUsb) m_nQuickCancelMode = 0;
    InstallTransport(std::move(transport), plainName, request.makerUsb);
    return 0;
}

platform::Status CLinkOwner::OpenHidPort(const std::string& path) {
    m_Transport.DestroyRetired();
    TransportRequest request;
    request.hid = true;
    request.name = path;
    request.log = &m_Logger;
    request.sink = this;
    std::shared_ptr<ITransport> transport;
    const platform::Status err = m_Services.OpenTransport(request, transport);
    if (err != 0) return err;
    InstallTransport(std::move(transport), path, false);
    return 0;
}

uint32_t CLinkOwner::Write(const uint8_t* data, uint32_t length) {
    // The transport is held by its own reference while it writes, so a write that waits for a
    // stalled device never holds the lock every command's link test needs.
    std::shared_ptr<ITransport> transport = Transport();
    if (!transport) return 0;
    const platform::Status err = transport->WriteFrame(data, length, kWriteLimitMs);
    return err == 0 ? 0 : OnWriteError(transport, err);
}

uint32_t CLinkOwner::OnWriteError(const std::shared_ptr<ITransport>& transport,
                                  const platform::Status& error) {
    const bool hid = transport->DataWidth() == 8;
    m_Logger.Log(kLogSevere,
                 hid ? "Error Writing to USB HID Port: %d" : "Error Writing to Serial Port: %d",
                 static_cast<int>(error.Error()));
    if (error.OsCode() != 0) m_Logger.Log(kLogSevere, "%s", error.Text().c_str());
    if (!m_Transport.IsCurrent(transport)) return 0;  // closed or replaced meanwhile
    if (error == platform::kErrTimeout) {
        // The device takes nothing any more (a stalled adapter): nothing will get through.
        m_Logger.Log(kLogSevere, "Write Timed Out, Link Lost");
    } else if (transport->DeviceGone()) {
        m_Logger.Log(kLogSevere, hid ? "USB HID Unplugged" : "USB Serial Unplugged");
    } else {
        return 0;  // a port that is still there: the error is only logged
    }
    HandleLostLink(transport);
    return 1;
}

void CLinkOwner::OnDeviceGone() {
    std::shared_ptr<ITransport> transport = Transport();
    if (!transport) return;
    m_Logger.Log(kLogSevere,
                 transport->DataWidth() == 8 ? "USB HID Unplugged" : "USB Serial Unplugged");
    HandleLostLink(transport);
}

void CLinkOwner::HandleLostLink(const std::shared_ptr<ITransport>& transport) {
    if (!m_Transport.Retire(transport)) return;  // another one got here first
    m_Transport.DestroyRetired();  // at once unless we are the lost port's own listener
    m_Host.LinkLost();
}

bool CLinkOwner::WaitForPowerUp(uint32_t limitMs, uint32_t settleMs) {
    if (m_nPowerUpSeen.exchange(0) != 0) return true;
    // A timed event wait measures real time, so this loop does too.
    const uint32_t start = platform::TickCount();
    for (;;) {
        // Reset before the flag is read: a handshake after the read sets the event again.
        m_PowerUpSeenEvent.Reset();
        if (m_nPowerUpSeen.exchange(0) != 0) {
            platform::SleepMs(settleMs);
            return true;
        }
        const uint32_t elapsed = platform::TickCount() - start;
        if (elapsed >= limitMs) return false;
        m_PowerUpSeenEvent.Wait(limitMs - elapsed);
    }
}

void CLinkOwner::NoteCallerActivity() {
    m_dwLastSendTick = Now();
    ++m_nCallerSends;
}

void CLinkOwner::StartIdleClock(IdleClock& clock) {
    clock.start = Now();
    clock.seenSends = m_nCallerSends.load();
}

void CLinkOwner::IdleLinkCheck(bool idle, IdleClock& clock, uint32_t& nextWait) {
    uint32_t& idleStart = clock.start;
    // A frame a caller sent itself counts as activity the walk did not see. Read before the
    // tick below, so that the clock never starts later than now.
    const uint32_t sends = m_nCallerSends.load();
    if (sends != clock.seenSends) {
        clock.seenSends = sends;
        idleStart = m_dwLastSendTick.load();
    }
    const uint32_t now = Now();
    const int32_t connection = m_Host.GetConnectionState();
    if (!m_bLinkMonitoring) {
        if (connection == kConnPowerUp) m_Host.SetConnectionState(kConnOk);
        return;
    }
    bool restart = !idle || m_Receiver.FrameInProgress() || connection == kConnPortClosed;
    if (connection == kConnPowerUp) {
        m_Host.SetConnectionState(kConnOk);
        restart = true;
    }
    const uint32_t limit = connection == kConnPending ? kIdleLinkCheckPendingMs : kIdleLinkCheckMs;
    if (restart) {
        idleStart = now;
    } else if (now - idleStart >= limit) {
        if (!m_Host.QueueLinkCheck()) m_Host.SetConnectionState(kConnDisconnected);
        idleStart = now;
    }
    // Woken when the check is due, not a tick before it (which costs a second wake-up).
    nextWait = std::min(nextWait, limit - (now - idleStart));
}

void CLinkOwner::Receive(const uint8_t* data, uint32_t count) {
    // Waiters are woken once the whole chunk is through: a caller whose ACK and answer came
    // together wakes once, and finds the listener no longer holding the locks it needs.
    DeferredWakes wakes;
    t_DeferredWakes = &wakes;
    m_Receiver.Receive(data, count);
    t_DeferredWakes = nullptr;
    for (DeferredWake& wake : wakes.waiters) {
        wake.event->Set();
        wake.record->Release();
    }
    if (wakes.queueThread) m_Host.WakeQueueThreadNow();
}

void CLinkOwner::WakeWaiter(CCommandData* record, platform::Event* event) {
    if (!event) {
        record->Release();
    } else if (t_DeferredWakes) {
        t_DeferredWakes->waiters.push_back({record, event});
    } else {
        event->Set();
        record->Release();
    }
}

void CLinkOwner::WakeQueueThread() {
    if (t_DeferredWakes)
        t_DeferredWakes->queueThread = true;
    else
        m_Host.WakeQueueThreadNow();
}

}  // namespace orn
