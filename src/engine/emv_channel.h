// The EMV channel: the session table of the external EMV component's applications, the
// sequence numbers of the asynchronous "F1." traffic in both directions, and the delivery of the
// terminal's data messages to their session's callback on a thread of their own.
//
// Owns: the session table, the request, send and receive sequences, the send exchange lock.
// Locks: the send exchange lock (recursive) is held by an application across a whole data
// message, from building it until its acknowledgement, so it is taken before every other engine
// lock. The send lock, the receive lock and the session table's lock each guard their own
// numbers or entries and are leaves: nothing is called with one of them held.
// Calls: the logger and the engine through IEmvChannelHost (raw writes, the response routing,
// the completion of the queued data message, the callback thread list), with none of its own
// locks held.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/engine_services.h"
#include "log/logger.h"
#include "platform/platform.h"

namespace orn {

// The session callback of an application: (sub-type, data, length).
using EmvSessionCallback = void (*)(int subType, const unsigned char* data, int length);

// "F1." message types.
enum EmvMessageType : uint8_t {
    kEmvGetVersion = 1,
    kEmvOpenSession = 2,
    kEmvCloseSession = 3,
    kEmvData = 4,
    kEmvAck = 5,
    kEmvProblemAck = 6,
    kEmvRegister = 16,
};

// Layout of an "F1." message, counted from the byte after "F1.".
constexpr size_t kEmvLengthOffset = 0;    // 2 bytes, big-endian: bytes from offset 2 on
constexpr size_t kEmvTypeOffset = 2;      // message type
constexpr size_t kEmvSequenceOffset = 3;  // sequence number
constexpr size_t kEmvStatusOffset = 4;    // status byte of answers and problem reports
constexpr size_t kEmvNameLength = 12;     // source and application name fields
// Incoming data: sub-type at 4, application name at 6..17, data from 30.
constexpr size_t kEmvSubTypeOffset = 4;
constexpr size_t kEmvAppNameOffset = 6;
constexpr size_t kEmvDataOffset = 30;
// Length field of a data message without data (type byte through the last name byte).
constexpr uint32_t kEmvDataHeaderLength = 28;
// The sub-type with which the terminal ends an application's session.
constexpr int kEmvSubTypeSessionEnd = 4;

// One accepted incoming data message on its way to the session callback.
struct EmvIncomingRequest;

// True when `entry` (a name in use) stands for `search`: the entry is not longer than the
// search name and is its prefix. Every entry is compared with the whole search name.
bool EmvSessionNameMatches(const std::string& entry, const char* search);

// The 20 sessions. Names are kept as the terminal knows them: the first 12 characters, the
// width of the name field of every message.
class CEmvSessionTable {
  public:
    static constexpr int kSessionCount = 20;
    static constexpr size_t kMinNameLength = 4;

    // False for a null name or one shorter than 4 characters, or when all 20 are in use.
    bool Add(const char* name, EmvSessionCallback callback);
    // Empties the first matching entry.
    void Remove(const char* name);
    bool Find(const char* name);
    // The callback of the first matching entry; false when none matches.
    bool Lookup(const char* name, EmvSessionCallback* callback);
    bool AnyOpen();
    bool Full();
    void Clear();

  private:
    struct Entry {
        std::string name;  // in use with at least 4 characters
        EmvSessionCallback callback = nullptr;
    };
    int MatchLocked(const char* name) const REQUIRES(m_Lock);

    platform::Mutex m_Lock;  // the EMV session lock
    Entry m_Entries[kSessionCount] GUARDED_BY(m_Lock);
};

// What the channel asks of the engine.
class IEmvChannelHost {
  public:
    virtual ~IEmvChannelHost() = default;
    virtual int DataWidth() = 0;
    // Writes raw bytes through the open transport, bypassing the queue.
    virtual uint32_t Write(const uint8_t* data, uint32_t length) = 0;
    // An answer to a session request, routed like any other response.
    virtual void ProcessResponse(const uint8_t* message, uint32_t length) = 0;
    // Completes the queued data message waiting for its acknowledgement with `status`.
    virtual void EmvAckReceived(int32_t status, const uint8_t* message, uint32_t length) = 0;
    // Lists a started callback thread, so that the close waits for it.
    virtual void ListCallbackThread(const std::shared_ptr<platform::Thread>& thread,
                                    int32_t kind) = 0;
    // Marks the calling thread as one that runs the application's callbacks.
    virtual void EnterCallbackThread() = 0;
};

class CEmvChannel {
  public:
    static constexpr uint8_t kInitialSendSequence = 0;
    static constexpr uint8_t kInitialReceiveSequence = 128;
    // Longest wait for a callback thread's start signal.
    static constexpr uint32_t kThreadStartWaitMs = 5000;

    CEmvChannel(IEmvChannelHost& host, CLogger& log, const EngineServices& services)
        : m_Host(host), m_Logger(log), m_Services(services) {}
    CEmvChannel(const CEmvChannel&) = delete;
    CEmvChannel& operator=(const CEmvChannel&) = delete;

    CEmvSessionTable& Sessions() { return m_Sessions; }
    // The send sequence back to 0 (after a successful session open). The receive sequence starts
    // again at 128 as the open's answer arrives, in order with the data the terminal sends after
    // it: reset later, by the opening thread, it would undo a message taken meanwhile.
    void ResetSendSequence() EXCLUDES(m_SendLock);
    // Send and receive sequences back to 0 and 128 (as when the engine is built).
    void ResetSequences() EXCLUDES(m_SendLock, m_ReceiveLock);
    // The number for the next session request (each call advances it).
    uint8_t NextRequestSequence() { return m_RequestSequence.fetch_add(1); }
    // The number for the next data message; only the terminal's acknowledgement advances it.
    uint8_t SendSequence() EXCLUDES(m_SendLock);
    platform::RecursiveLock& SendExchangeLock() { return m_SendExchangeLock; }

    // A good "F1." frame from the terminal: `message` is the identifier and the body.
    void Receive(const uint8_t* message, uint32_t length) EXCLUDES(m_SendLock);
    // Writes the acknowledgement of incoming data message `sequence`.
    void SendEmvAck(uint8_t sequence);
    // Checks the sequence of an incoming data message and hands it to its session's callback.
    void IncomingEmvAsyncRequestFromZETH(const uint8_t* message, uint32_t length,
                                         uint32_t lengthField) EXCLUDES(m_ReceiveLock);

  private:
    uint32_t EmvCallbackThread(const EmvIncomingRequest& request, platform::Event& startEvent);

    IEmvChannelHost& m_Host;
    CLogger& m_Logger;
    const EngineServices& m_Services;
    CEmvSessionTable m_Sessions;
    // Put into each session request, then advanced; process-wide.
    std::atomic<uint8_t> m_RequestSequence{0};
    // Held by a data message from building it until its acknowledgement (or failure): its number
    // is advanced only by that acknowledgement, so a message built meanwhile would reuse it. An
    // open holds it too: it starts the numbers again, which must not happen to a message between
    // its numbering and its sending.
    platform::RecursiveLock m_SendExchangeLock;
    platform::Mutex m_SendLock;  // the EMV send lock
    uint8_t m_nSendSequence GUARDED_BY(m_SendLock) = kInitialSendSequence;
    platform::Mutex m_ReceiveLock;  // the EMV receive lock
    uint8_t m_nReceiveSequence GUARDED_BY(m_ReceiveLock) = kInitialReceiveSequence;
};

}  // namespace orn
