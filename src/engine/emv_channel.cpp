// The EMV channel: the session table, the sequenced "F1." traffic in both directions and the
// delivery of the terminal's data to the external EMV component on a thread of its own.
#include "engine/emv_channel.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/command_data.h"
#include "link/frame.h"
#include "log/thread_runner.h"

namespace orn {

using platform::LockGuard;

// One accepted incoming data message, owned by the thread that delivers it.
struct EmvIncomingRequest {
    int subType = 0;
    std::string appName;
    std::vector<unsigned char> data;
    EmvSessionCallback callback = nullptr;
};

namespace {

bool IsEmvAnswerType(uint8_t type) {
    switch (type) {
        case kEmvGetVersion:
        case kEmvOpenSession:
        case kEmvCloseSession:
        case kEmvRegister:
        case 17:
        case 67:
        case 69:
            return true;
        default:
            return false;
    }
}

const char kProblemReportLine[] =
    "EmvAsyncReceiveHandler: Received EMV Problem Report ACK with status=%d";

}  // namespace

// --- session table --------------------------------------------------------------------------

bool EmvSessionNameMatches(const std::string& entry, const char* search) {
    if (!search || entry.size() < CEmvSessionTable::kMinNameLength) return false;
    const size_t searchLength = std::strlen(search);
    return entry.size() <= searchLength && std::memcmp(entry.data(), search, entry.size()) == 0;
}

int CEmvSessionTable::MatchLocked(const char* name) const {
    for (int i = 0; i < kSessionCount; ++i)
        if (EmvSessionNameMatches(m_Entries[i].name, name)) return i;
    return -1;
}

bool CEmvSessionTable::Add(const char* name, EmvSessionCallback callback) {
    if (!name || std::strlen(name) < kMinNameLength) return false;
    LockGuard hold(m_Lock);
    for (Entry& entry : m_Entries) {
        if (entry.name.size() >= kMinNameLength) continue;
        entry.name.assign(name, std::min(std::strlen(name), kEmvNameLength));
        entry.callback = callback;
        return true;
    }
    return false;
}

void CEmvSessionTable::Remove(const char* name) {
    LockGuard hold(m_Lock);
    int index = MatchLocked(name);
    if (index < 0) return;
    m_Entries[index].name.clear();
    m_Entries[index].callback = nullptr;
}

bool CEmvSessionTable::Find(const char* name) {
    LockGuard hold(m_Lock);
    return MatchLocked(name) >= 0;
}

bool CEmvSessionTable::Lookup(const char* name, EmvSessionCallback* callback) {
    LockGuard hold(m_Lock);
    int index = MatchLocked(name);
    if (index < 0) return false;
    if (callback) *callback = m_Entries[index].callback;
    return true;
}

bool CEmvSessionTable::AnyOpen() {
    LockGuard hold(m_Lock);
    for (const Entry& entry : m_Entries)
        if (entry.name.size() >= kMinNameLength) return true;
    return false;
}

bool CEmvSessionTable::Full() {
    LockGuard hold(m_Lock);
    for (const Entry& entry : m_Entries)
        if (entry.name.size() < kMinNameLength) return false;
    return true;
}

void CEmvSessionTable::Clear() {
    LockGuard hold(m_Lock);
    for (Entry& entry : m_Entries) {
        entry.name.clear();
        entry.callback = nullptr;
    }
}

// --- sequences ---------------------------------------------------------------------------------

void CEmvChannel::ResetSendSequence() {
    LockGuard hold(m_SendLock);
    m_nSendSequence = kInitialSendSequence;
}

void CEmvChannel::ResetSequences() {
    ResetSendSequence();
    LockGuard hold(m_ReceiveLock);
    m_nReceiveSequence = kInitialReceiveSequence;
}

uint8_t CEmvChannel::SendSequence() {
    LockGuard hold(m_SendLock);
    return m_nSendSequence;
}

// --- engine: receiving --------------------------------------------------------------------------

void CEmvChannel::Receive(const uint8_t* message, uint32_t length) {
    // The identifier, the length field, the type and the sequence number at the least.
    if (!message || length < 3 + kEmvStatusOffset) return;
    const uint8_t* body = message + 3;
    const uint32_t bodyLength = length - 3;
    const uint8_t type = body[kEmvTypeOffset];
    const uint8_t sequence = body[kEmvSequenceOffset];

    if (IsEmvAnswerType(type)) {
        if (type == kEmvOpenSession && bodyLength > kEmvStatusOffset &&
            body[kEmvStatusOffset] == 0) {
            LockGuard hold(m_ReceiveLock);
            m_nReceiveSequence = kInitialReceiveSequence;
        }
        LogHexDump(m_Logger, kLogFine, kTxDataTitle, kAckFrame, sizeof kAckFrame);
        m_Host.Write(kAckFrame, sizeof kAckFrame);
        m_Host.ProcessResponse(message, length);
        return;
    }
    if (type == kEmvData) {
        SendEmvAck(sequence);
        const uint32_t lengthField = (static_cast<uint32_t>(body[0]) << 8) | body[1];
        IncomingEmvAsyncRequestFromZETH(message, length, lengthField);
        return;
    }
    if (type != kEmvAck && type != kEmvProblemAck) return;

    const bool problem = type == kEmvProblemAck;
    const int32_t status = problem && bodyLength > kEmvStatusOffset ? body[kEmvStatusOffset] : 0;
    enum { kInSequence, kLate, kOutOfSequence } order;
    {
        LockGuard hold(m_SendLock);
        if (sequence == m_nSendSequence) {
            ++m_nSendSequence;
            order = kInSequence;
        } else if (static_cast<int>(sequence) == static_cast<int>(m_nSendSequence) - 1) {
            // No wrap-around here: while the send sequence is 0 nothing counts as late.
            order = kLate;
        } else {
            order = kOutOfSequence;
        }
    }
    if (order == kInSequence) {
        if (problem) m_Logger.Log(kLogSevere, kProblemReportLine, status);
        m_Host.EmvAckReceived(status, message, length);
        return;
    }
    if (order == kLate)
        m_Logger.Log(
            kLogSevere,
            "EmvAsyncReceiveHandler: Ingoring Recieved ACK -- Sequence ID in Async EMV ACK "
            "received later than ACK expiry");
    else
        m_Logger.Log(kLogSevere,
                     "EmvAsyncReceiveHandler: Received Out of Sequence ACK -- Sequence ID in Async "
                     "EMV ACK out of order");
    if (problem) {
        // A problem report always ends the pending send, and never as a success.
        m_Logger.Log(kLogSevere, kProblemReportLine, status);
        m_Host.EmvAckReceived(status != 0 ? status : kEmvProblemAck, message, length);
    }
}

void CEmvChannel::SendEmvAck(uint8_t sequence) {
    const std::vector<uint8_t> plain = BuildPlainEmvAckFrame(sequence);
    if (m_Host.DataWidth() == 8) {
        LogHexDump(m_Logger, kLogFine, kTxDataTitle, plain.data(), plain.size());
        m_Host.Write(plain.data(), static_cast<uint32_t>(plain.size()));
        return;
    }
    const std::vector<uint8_t> encoded = BuildEmvAckFrame(sequence, false);
    DumpTxFrame(m_Logger, kLogFine, plain.data(), plain.size(), encoded.data(),
                static_cast<int>(encoded.size()));
    m_Host.Write(encoded.data(), static_cast<uint32_t>(encoded.size()));
}

void CEmvChannel::IncomingEmvAsyncRequestFromZETH(const uint8_t* message, uint32_t length,
                                                  uint32_t lengthField) {
    const uint8_t* body = message + 3;
    const size_t bodyLength = length - 3;
    const uint8_t sequence = body[kEmvSequenceOffset];

    bool outOfSequence = false;
    {
        LockGuard hold(m_ReceiveLock);
        if (sequence == m_nReceiveSequence) {
            ++m_nReceiveSequence;
        } else if (static_cast<int>(sequence) == static_cast<int>(m_nReceiveSequence) - 1) {
            return;  // the terminal repeated the last message: acknowledged again, not delivered
        } else {
            outOfSequence = true;
        }
    }
    if (outOfSequence) {
        m_Logger.Log(kLogSevere,
                     "EMV Session Receive Sequence IDs are out of Sequence -- Close EMV Session to "
                     "repair");
        return;
    }

    auto request = std::make_shared<EmvIncomingRequest>();
    request->subType = bodyLength > kEmvSubTypeOffset ? body[kEmvSubTypeOffset] : 0;
    for (size_t i = kEmvAppNameOffset;
         i < kEmvAppNameOffset + kEmvNameLength && i < bodyLength && body[i] != 0; ++i)
        request->appName.push_back(static_cast<char>(body[i]));
    // The data the length field announces, as far as the message really carries it.
    size_t dataLength = lengthField > kEmvDataHeaderLength ? lengthField - kEmvDataHeaderLength : 0;
    const size_t available = bodyLength > kEmvDataOffset ? bodyLength - kEmvDataOffset : 0;
    if (dataLength > available) dataLength = available;
    request->data.assign(body + kEmvDataOffset, body + kEmvDataOffset + dataLength);

    if (!m_Sessions.Lookup(request->appName.c_str(), &request->callback)) return;

    auto startEvent = std::make_shared<platform::Event>(true);
    auto thread = std::make_shared<platform::Thread>();
    const platform::Status err =
        m_Services.StartThread(*thread, [this, request, startEvent]() -> uint32_t {
            m_Host.EnterCallbackThread();
            return EmvCallbackThread(*request, *startEvent);
        });
    if (err != 0) {
        m_Logger.Log(kLogSevere,
                     "CGenericHandler::IncomingEmvAsyncRequestFromZETH: Could not Create "
                     "EmvCallbackThread (error %u)%s",
                     err.Error(), err.Detail().c_str());
        return;
    }
    m_Logger.Log(kLogInfo, "Created EMV Callback Thread with ID=%08X", thread->Id());
    m_Host.ListCallbackThread(thread, kCallbackEmv);
    static const ThreadStartWords words = ThreadStartWords::ForPrefix("EmvCallbackThread");
    LogWaitOutcome(m_Logger, startEvent->Wait(kThreadStartWaitMs), words, thread->Id());
}

uint32_t CEmvChannel::EmvCallbackThread(const EmvIncomingRequest& request,
                                        platform::Event& startEvent) {
    startEvent.Set();
    platform::SleepMs(10);
    if (request.callback)
        request.callback(request.subType, request.data.data(),
                         static_cast<int>(request.data.size()));
    // Sub-type 4 is the terminal ending the application's session.
    if (request.subType == kEmvSubTypeSessionEnd) m_Sessions.Remove(request.appName.c_str());
    return 0;
}

}  // namespace orn
