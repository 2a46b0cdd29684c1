// The transport slot: the link's one open transport, and the transports on their way out.
//
// Owns: the open transport with the name it was opened under and its kind, a lost transport
// waiting to be closed, closed transports that a given-up listener thread is still inside, and
// the port kind query.
// Locks: the port object lock guards all of it. It is held for a copy or a swap only, never
// across a write or a close, and nothing is called under it but a transport's idle and thread
// checks: a leaf, which the engine may take under its queue lock.
// Calls: the transports (closed outside the lock) and the port kind query.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "link/transport.h"
#include "platform/platform.h"

namespace orn {

// What the engine asks about the kind of serial port it runs on. The default answers from the
// platform; tests substitute a fake to play an unplugged USB serial adapter.
class IPortKindQuery {
  public:
    virtual ~IPortKindQuery() = default;
    // True when `name` is the terminal maker's USB virtual COM port (asked when it is opened).
    virtual bool IsMakerUsbSerialPort(const std::string& name) = 0;
    // True while `name` is still present as a USB serial port (asked after a failed write).
    virtual bool IsUsbPortPresent(const std::string& name) = 0;
};

class CTransportSlot {
  public:
    explicit CTransportSlot(std::unique_ptr<IPortKindQuery> platformQuery)
        : m_pPlatformPortKindQuery(std::move(platformQuery)) {}
    CTransportSlot(const CTransportSlot&) = delete;
    CTransportSlot& operator=(const CTransportSlot&) = delete;

    // The lock, for the order the parts declare against it.
    platform::Mutex& PortObjectLock() RETURN_CAPABILITY(m_PortObjectLock) {
        return m_PortObjectLock;
    }

    // The substituted query, or the platform's.
    IPortKindQuery& PortKindQuery() EXCLUDES(m_PortObjectLock);
    // Replaces the port-kind queries (null restores the platform's).
    void SetPortKindQuery(IPortKindQuery* query) EXCLUDES(m_PortObjectLock);

    // Makes `transport` the open one.
    void Install(std::shared_ptr<ITransport> transport, const std::string& name, bool usbSerial)
        EXCLUDES(m_PortObjectLock);
    std::shared_ptr<ITransport> Current() EXCLUDES(m_PortObjectLock);
    // True while a transport is installed and holds an open device.
    bool IsOpen() EXCLUDES(m_PortObjectLock);
    // True while `transport` is the open one (not closed or replaced meanwhile).
    bool IsCurrent(const std::shared_ptr<ITransport>& transport) EXCLUDES(m_PortObjectLock);
    // Modem lines of the open serial port, reached under the lock: false / -1 without one.
    bool SetSerialDtr(bool on) EXCLUDES(m_PortObjectLock);
    int GetSerialDsr() EXCLUDES(m_PortObjectLock);

    // Takes the open transport out and closes it, then destroys what may be destroyed.
    void Destroy() EXCLUDES(m_PortObjectLock);
    // The link is lost: `transport`, when it is still the open one, is retired. False when it
    // is not (another thread got here first).
    bool Retire(const std::shared_ptr<ITransport>& transport) EXCLUDES(m_PortObjectLock);
    // Closes a retired transport (unless called on its own listener, which cannot stop itself)
    // and lets go of closed ones that no thread is inside any more.
    void DestroyRetired() EXCLUDES(m_PortObjectLock);

  private:
    // A closed transport that a given-up thread is still inside is destroyed only once it left.
    void KeepWhileListenerBusy(std::shared_ptr<ITransport> transport) EXCLUDES(m_PortObjectLock);

    platform::Mutex m_PortObjectLock;
    std::shared_ptr<ITransport> m_pTransport GUARDED_BY(m_PortObjectLock);
    // A lost transport waiting to be closed.
    std::shared_ptr<ITransport> m_pRetiredPort GUARDED_BY(m_PortObjectLock);
    // Closed, a thread not yet gone.
    std::vector<std::shared_ptr<ITransport>> m_BusyPorts GUARDED_BY(m_PortObjectLock);
    // Name the open port was asked for.
    std::string m_strPortName GUARDED_BY(m_PortObjectLock);
    bool m_bUsbSerialLink GUARDED_BY(m_PortObjectLock) = false;
    // Null: the platform answers.
    IPortKindQuery* m_pPortKindQuery GUARDED_BY(m_PortObjectLock) = nullptr;
    std::unique_ptr<IPortKindQuery> m_pPlatformPortKindQuery;
};

}  // namespace orn
