// The link owner: the open transport, the link receiver it feeds, and the checks that say
// whether the terminal is still there: the lost link, the idle link check ("ENQ Test") and the
// receiver's frame watchdog. Chunks from the transport's listener come in here (IChunkSink) and
// are handed to the receiver; the waiters its notifications wake are woken once the whole chunk
// is through.
//
// Owns: the transport slot, the receiver with its enquiry count, the link flags (data width,
// quick cancel mode, power-up seen, link monitoring), the count and tick of the frames callers
// sent themselves, and the listener thread's deferred wakes.
// Locks: the receiver's receive lock guards the receiver and the enquiry count; the receiver
// calls the engine's notifications under it, so it comes before the queue lock. The transport
// slot's port object lock is a leaf. Everything else here is atomic or thread-local.
// Calls: the transport slot, the receiver, the logger, the engine's services (its clock and
// transport opener), and the engine through ILinkOwnerHost
// (connection state, queueing a link check, tearing the rest down on a lost link). Of those,
// only the queue thread's idle check and a write that finds the link lost call the host, and
// never with a lock of this part held.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/command_data.h"
#include "engine/engine_services.h"
#include "engine/transport_slot.h"
#include "link/com_port.h"
#include "link/link_engine.h"
#include "link/receiver.h"
#include "link/transport.h"
#include "log/logger.h"
#include "platform/platform.h"

namespace orn {

// What the link owner asks of the rest of the engine.
class ILinkOwnerHost {
  public:
    virtual ~ILinkOwnerHost() = default;
    virtual int32_t GetConnectionState() = 0;
    virtual void SetConnectionState(int32_t state) = 0;
    // Queues a link check nobody waits for; false with no transport.
    virtual bool QueueLinkCheck() = 0;
    // The link was lost and its transport retired: the engine ends what waited on it.
    virtual void LinkLost() = 0;
    // Wakes the queue thread now (the end of a chunk that asked for it).
    virtual void WakeQueueThreadNow() = 0;
};

class CLinkOwner : public IChunkSink {
  public:
    // Longest a write may wait for the device before the link counts as lost.
    static constexpr uint32_t kWriteLimitMs = 5000;
    static constexpr uint32_t kIdleLinkCheckMs = 2000;
    static constexpr uint32_t kIdleLinkCheckPendingMs = 20000;

    CLinkOwner(ILinkEngine& engine, ILinkOwnerHost& host, CLogger& log,
               std::unique_ptr<IPortKindQuery> platformQuery, const EngineServices& services);
    CLinkOwner(const CLinkOwner&) = delete;
    CLinkOwner& operator=(const CLinkOwner&) = delete;

    // The engine's services, and the time on its clock.
    const EngineServices& Services() const { return m_Services; }
    uint32_t Now() const { return m_Services.Now(); }

    // --- transport ---------------------------------------------------------------------------
    platform::Status OpenSerialPort(const char* name, uint32_t rxQueue, uint32_t txQueue,
                                    const char* portName);
    platform::Status OpenHidPort(const std::string& path);
    bool IsPortOpen() { return m_Transport.IsOpen(); }
    std::shared_ptr<ITransport> Transport() { return m_Transport.Current(); }
    CTransportSlot& Slot() { return m_Transport; }
    CLinkReceiver& Receiver() { return m_Receiver; }
    // Writes through the open transport; non-zero only when the link was found lost.
    uint32_t Write(const uint8_t* data, uint32_t length);
    // An answer is awaited: USB HID hands it on without delay.
    void TriggerRead() {
        if (std::shared_ptr<ITransport> transport = Transport()) transport->TriggerRead();
    }

    // --- receiver ----------------------------------------------------------------------------
    void Receive(const uint8_t* data, uint32_t count) override;
    void OnDeviceGone() override;
    void ResetReceiver() { m_Receiver.Reset(); }
    bool FrameInProgress() { return m_Receiver.FrameInProgress(); }
    // Drops a frame that stopped arriving; the time until the one coming in is due (ms).
    uint32_t CheckFrameWatchdog() { return m_Receiver.CheckFrameWatchdog(); }
    int32_t& EnquiryCount() { return m_nEnquiryCount; }
    // Wakes the caller waiting on `event` of `record` and drops the reference taken for the
    // wake: at once, or at the end of the chunk the listener is handing to the receiver.
    void WakeWaiter(CCommandData* record, platform::Event* event);
    // Wakes the queue thread, deferred like WakeWaiter: woken while the listener still holds the
    // receiver's lock, it would only block on it (its idle check asks the receiver).
    void WakeQueueThread();

    // --- flags -------------------------------------------------------------------------------
    int DataWidth() { return m_nDataWidth.load(); }
    bool QuickCancelMode() { return m_nQuickCancelMode.load() != 0; }
    void SetQuickCancelMode(bool on) { m_nQuickCancelMode = on ? 1 : 0; }
    void SetPowerUpSeen() {
        m_nPowerUpSeen = 1;
        m_PowerUpSeenEvent.Set();
    }
    bool PowerUpSeen() const { return m_nPowerUpSeen.load() != 0; }
    void ClearPowerUpSeen() { m_nPowerUpSeen = 0; }
    // True at once when a handshake was seen since the last look; otherwise waits up to
    // `limitMs` for one, then sleeps `settleMs` before saying true.
    bool WaitForPowerUp(uint32_t limitMs, uint32_t settleMs);
    void SetLinkMonitoring(bool on) { m_bLinkMonitoring = on; }
    bool LinkMonitoring() const { return m_bLinkMonitoring.load(); }

    // --- idle link check ---------------------------------------------------------------------
    // Notes a frame sent or acknowledged without the queue thread (for its idle clock).
    void NoteCallerActivity();
    // The queue thread's idle clock: since when nothing was sent or acknowledged.
    struct IdleClock {
        uint32_t start = 0;
        uint32_t seenSends = 0;  // caller sends when last looked at
    };
    void StartIdleClock(IdleClock& clock);
    // Restarts or runs out the idle clock; lowers `nextWait` to the next check.
    void IdleLinkCheck(bool idle, IdleClock& clock, uint32_t& nextWait);

  private:
    uint32_t OnWriteError(const std::shared_ptr<ITransport>& transport,
                          const platform::Status& error);
    // Tears the link down if `transport` is still the open one.
    void HandleLostLink(const std::shared_ptr<ITransport>& transport);
    void InstallTransport(std::shared_ptr<ITransport> transport, const std::string& name,
                          bool usbSerial);

    struct DeferredWake {
        CCommandData* record;
        platform::Event* event;
    };
    struct DeferredWakes {
        std::vector<DeferredWake> waiters;
        bool queueThread = false;
    };
    static thread_local DeferredWakes* t_DeferredWakes;

    ILinkOwnerHost& m_Host;
    CLogger& m_Logger;
    const EngineServices& m_Services;
    CLinkReceiver m_Receiver;
    int32_t m_nEnquiryCount = 0;  // guarded by the receiver's receive lock
    // The port object lock inside is a leaf.
    CTransportSlot m_Transport;

    // Frames callers sent themselves (and ACKs of them), counted, with the tick of the last:
    // the queue thread's idle clock starts there when the count moved.
    std::atomic<uint32_t> m_nCallerSends{0};
    std::atomic<uint32_t> m_dwLastSendTick{0};
    std::atomic<bool> m_bLinkMonitoring{true};
    std::atomic<int32_t> m_nQuickCancelMode{1};
    std::atomic<int32_t> m_nPowerUpSeen{0};
    platform::Event m_PowerUpSeenEvent{true};  // set with m_nPowerUpSeen
    std::atomic<int> m_nDataWidth{7};
};

}  // namespace orn
