// The transport slot: which transport is open, and the safe end of those that are not any more.
#include "engine/transport_slot.h"

#include "link/com_port.h"

namespace orn {

using platform::LockGuard;

IPortKindQuery& CTransportSlot::PortKindQuery() {
    LockGuard hold(m_PortObjectLock);
    return m_pPortKindQuery ? *m_pPortKindQuery : *m_pPlatformPortKindQuery;
}

void CTransportSlot::SetPortKindQuery(IPortKindQuery* query) {
    LockGuard hold(m_PortObjectLock);
    m_pPortKindQuery = query;
}

void CTransportSlot::Install(std::shared_ptr<ITransport> transport, const std::string& name,
                             bool usbSerial) {
    LockGuard hold(m_PortObjectLock);
    m_pTransport = std::move(transport);
    m_strPortName = name;
    m_bUsbSerialLink = usbSerial;
}

std::shared_ptr<ITransport> CTransportSlot::Current() {
    LockGuard hold(m_PortObjectLock);
    return m_pTransport;
}

bool CTransportSlot::IsOpen() {
    LockGuard hold(m_PortObjectLock);
    return m_pTransport && m_pTransport->IsOpen();
}

bool CTransportSlot::IsCurrent(const std::shared_ptr<ITransport>& transport) {
    LockGuard hold(m_PortObjectLock);
    return m_pTransport == transport;
}

bool CTransportSlot::SetSerialDtr(bool on) {
    LockGuard hold(m_PortObjectLock);
    auto* port = dynamic_cast<CComPort*>(m_pTransport.get());
    return port && port->SetDTR(on) == 0;
}

int CTransportSlot::GetSerialDsr() {
    LockGuard hold(m_PortObjectLock);
    auto* port = dynamic_cast<CComPort*>(m_pTransport.get());
    if (!port) return -1;
    return port->GetDSR() ? 1 : 0;
}

void CTransportSlot::Destroy() {
    std::shared_ptr<ITransport> transport;
    {
        LockGuard hold(m_PortObjectLock);
        transport = std::move(m_pTransport);
        m_bUsbSerialLink = false;
    }
    // Closed outside the lock: the listener being stopped may itself be writing through us.
    if (transport) {
        transport->CloseTransport();
        KeepWhileListenerBusy(std::move(transport));
    }
    DestroyRetired();
}

bool CTransportSlot::Retire(const std::shared_ptr<ITransport>& transport) {
    LockGuard hold(m_PortObjectLock);
    if (!m_pTransport || m_pTransport != transport) return false;
    m_pRetiredPort = std::move(m_pTransport);
    m_bUsbSerialLink = false;
    return true;
}

void CTransportSlot::KeepWhileListenerBusy(std::shared_ptr<ITransport> transport) {
    if (transport->Idle()) return;
    LockGuard hold(m_PortObjectLock);
    m_BusyPorts.push_back(std::move(transport));
}

void CTransportSlot::DestroyRetired() {
    std::shared_ptr<ITransport> port;
    std::vector<std::shared_ptr<ITransport>> idle;
    {
        LockGuard hold(m_PortObjectLock);
        // Ports whose given-up listener has let go of them at last.
        for (auto it = m_BusyPorts.begin(); it != m_BusyPorts.end();) {
            if ((*it)->Idle()) {
                idle.push_back(std::move(*it));
                it = m_BusyPorts.erase(it);
            } else {
                ++it;
            }
        }
        // The listener of a lost port cannot stop itself; a later caller on another thread
        // (QueueThread, the close) finishes the job.
        if (m_pRetiredPort && m_pRetiredPort->ListenerThreadId() != platform::CurrentThreadId())
            port = std::move(m_pRetiredPort);
    }
    idle.clear();
    if (!port) return;
    port->CloseTransport();
    KeepWhileListenerBusy(std::move(port));
}

}  // namespace orn
