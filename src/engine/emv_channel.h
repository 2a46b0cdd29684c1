// The EMV channel's state: the session table of the external EMV component's applications and
// the sequence numbers of the asynchronous "F1." traffic. CGenericHandler owns one instance and
// implements the channel's operations on it (emv_channel.cpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

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

// Everything of the channel that the engine keeps.
struct EmvChannelState {
    static constexpr uint8_t kInitialSendSequence = 0;
    static constexpr uint8_t kInitialReceiveSequence = 128;

    CEmvSessionTable sessions;
    // Put into each session request, then advanced; process-wide.
    std::atomic<uint8_t> requestSequence{0};
    platform::Mutex sendLock;  // the EMV send lock
    // Held by a data message from building it until its acknowledgement (or failure): its number
    // is advanced only by that acknowledgement, so a message built meanwhile would reuse it. An
    // open holds it too: it starts the numbers again, which must not happen to a message between
    // its numbering and its sending.
    platform::RecursiveLock sendExchangeLock;
    uint8_t sendSequence GUARDED_BY(sendLock) = kInitialSendSequence;
    platform::Mutex receiveLock;  // the EMV receive lock
    uint8_t receiveSequence GUARDED_BY(receiveLock) = kInitialReceiveSequence;
};

}  // namespace orn
