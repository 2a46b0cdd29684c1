// The EMV channel's exported functions, used by the external EMV component: session requests
// (version, open, close, register), sequenced data messages to a session, the session query,
// and two byte-order helpers.
#include <cstring>
#include <string>

#include "api/command.h"
#include "api/session.h"
#include "engine/emv_channel.h"
#include "velquoraorn.h"

using namespace orn;

namespace {

// Data messages wait this long for the terminal's acknowledgement (three tries).
constexpr uint32_t kEmvAckTimeoutMs = 3000;
// Length field of a session request (type byte through the application name).
constexpr uint8_t kSessionRequestLength = 27;
// Special lengths of ornEmvSendAsync.
constexpr int kSendLogLine = -9999;
constexpr int kSendVersion = -9998;
// Version characters of the version answer.
constexpr size_t kVersionOffset = 30;
constexpr size_t kVersionAnswerLength = kVersionOffset + 4;

bool IsAppName(const char* name) {
    return name && std::strlen(name) >= CEmvSessionTable::kMinNameLength;
}

// "DLLAPI_" and the open port's name, cut or filled with '_' to 12 bytes.
std::string SourceName() {
    std::string name = "DLLAPI_" + StoredPortName();
    name.resize(kEmvNameLength, '_');
    return name;
}

// The caller's application name cut or filled with zero bytes to 12 bytes.
std::string AppNameField(const char* appName) {
    std::string name(appName, std::min(std::strlen(appName), kEmvNameLength));
    name.resize(kEmvNameLength, '\0');
    return name;
}

// The 29 bytes of a session request; takes the next request sequence number.
std::string SessionRequest(uint8_t type, const char* appName) {
    std::string message;
    message += '\0';
    message += static_cast<char>(kSessionRequestLength);
    message += static_cast<char>(type);
    message += static_cast<char>(Engine().NextEmvRequestSequence());
    message += '\x01';
    message += SourceName();
    message += AppNameField(appName);
    return message;
}

// A data message for `appName` with the current send sequence.
std::string DataMessage(const char* appName, const unsigned char* data, int length) {
    const uint32_t lengthField = kEmvDataHeaderLength + static_cast<uint32_t>(length);
    std::string message;
    message += static_cast<char>((lengthField >> 8) & 0xFF);
    message += static_cast<char>(lengthField & 0xFF);
    message += static_cast<char>(kEmvData);
    message += static_cast<char>(Engine().EmvSendSequence());
    message += '\0';
    message += '\x01';
    message += SourceName();
    message += AppNameField(appName);
    if (data && length > 0) message.append(reinterpret_cast<const char*>(data), length);
    return message;
}

// The EMV exchange lock, held until the command ends. A data message takes it when it is built:
// its number stays its own until the terminal acknowledges it. An open, which starts the numbers
// again, takes it before its tests, so that it never falls between a data message's numbering
// and its sending, and its "already open" test and its exchange are one step.
class ExchangeHold {
  public:
    ExchangeHold() : m_Lock(Engine().EmvSendExchangeLock()) {}
    ExchangeHold(const ExchangeHold&) = delete;
    ExchangeHold& operator=(const ExchangeHold&) = delete;
    ~ExchangeHold() NO_THREAD_SAFETY_ANALYSIS {
        if (m_bHeld) m_Lock.Unlock();
    }
    void Take() NO_THREAD_SAFETY_ANALYSIS {
        m_Lock.Lock();
        m_bHeld = true;
    }

  private:
    platform::RecursiveLock& m_Lock;
    bool m_bHeld = false;
};

// A session request: answered by an "F1." message of the same type, whose status byte is the
// result.
Command SessionCommand(const char* name, uint8_t type, const char* appName) {
    Command command(name, catalogue::kEmv);
    command.Group(kGroupEmv)
        .Cancel(kCancelNone)
        .ResponseSelector(type)
        .Require(IsAppName(appName))
        .DeferredPayload([type, appName] { return SessionRequest(type, appName); });
    return command;
}

int AnswerStatus(int result, const Response& reply) {
    if (result != 0) return result;
    return reply.Size() > kEmvStatusOffset ? static_cast<uint8_t>(reply.At(kEmvStatusOffset))
                                           : kResultNoStatus;
}

// The component's own log line, written at any log level while a log is open.
void WriteComponentLogLine(const char* text, const unsigned char* level) {
    Engine().Logger().LogZeth(level ? *level : 0, text);
}

}  // namespace

extern "C" {

ORN_API int ornEmvOpenSession(const char* appName, ornEmvSessionCallback callback) {
    bool unrecorded = false;
    int result = 0;
    {
        // A second open of the same name waits here for the first and finds it open.
        ExchangeHold hold;
        hold.Take();
        result =
            SessionCommand("ornEmvOpenSession", kEmvOpenSession, appName)
                .Require(callback != nullptr)
                .Test([appName] {
                    return Engine().FindEmvSession(appName) ? ORN_EMV_SESSION_ALREADY_OPEN : 0;
                })
                // A session the table could not hold would be open at the terminal but deaf here.
                .Test([] {
                    return Engine().EmvSessionTableFull() ? ORN_ERR_EMV_SESSION_TABLE_FULL : 0;
                })
                .Finish([&](int exchange, const Response& reply) {
                    const int status = AnswerStatus(exchange, reply);
                    if (status != 0) return status;
                    Engine().ResetEmvSendSequence();
                    unrecorded = !Engine().AddEmvSession(appName, callback);
                    return unrecorded ? ORN_ERR_EMV_SESSION_TABLE_FULL : 0;
                })
                .Run();
    }
    // Filled meanwhile by another thread's open: the terminal's session is closed again rather
    // than left open without a table entry.
    if (unrecorded) ornEmvCloseSession(appName);
    return result;
}

ORN_API int ornEmvCloseSession(const char* appName) {
    return SessionCommand("ornEmvCloseSession", kEmvCloseSession, appName)
        .Finish(AnswerStatus)
        .AfterExchange([appName](int) { Engine().RemoveEmvSession(appName); })
        .Run();
}

ORN_API int ornEmvGetAppVersion(const char* appName, char* version) {
    return SessionCommand("ornEmvGetAppVersion", kEmvGetVersion, appName)
        .Require(version != nullptr)
        .Finish([=](int result, const Response& reply) {
            version[0] = '\0';
            const int status = AnswerStatus(result, reply);
            if (status != 0) return status;
            if (reply.Size() < kVersionAnswerLength) {
                reply.Warn("ornEmvGetAppVersion: answer of %zu bytes carries no version",
                           reply.Size());
                return status;
            }
            const std::string digits = reply.From(kVersionOffset, 4);
            const std::string text = digits.substr(0, 2) + "." + digits.substr(2, 2);
            std::memcpy(version, text.c_str(), text.size() + 1);
            return status;
        })
        .Run();
}

ORN_API int ornEmvRegisterZeth(const char* appName) {
    return SessionCommand("ornEmvRegisterZeth", kEmvRegister, appName).Finish(AnswerStatus).Run();
}

ORN_API int ornEmvSendAsync(const char* appName, const unsigned char* data, int length) {
    // Concurrent callers go one at a time from the moment their message takes its number.
    ExchangeHold hold;
    return Command("ornEmvSendAsync", catalogue::kEmvData)
        .ResponseId("")
        .Group(kGroupEmvAsync)
        .Cancel(kCancelNone)
        .AckTimeout(kEmvAckTimeoutMs)
        .Require(appName != nullptr)
        .Test([=] {
            if (length == kSendLogLine) {
                WriteComponentLogLine(appName, data);
                return kSendLogLine;
            }
            // The version as a number: the text form cannot be a result.
            if (length == kSendVersion) return static_cast<int>(ornGetVersionDWORD());
            return 0;
        })
        .Require(length >= 0 && (length == 0 || data) && IsAppName(appName))
        .Test(
            [=] { return Engine().FindEmvSession(appName) ? 0 : ORN_ERR_EMV_NOT_IN_SESSION_TABLE; })
        .DeferredPayload([=, &hold] {
            hold.Take();
            return DataMessage(appName, data, length);
        })
        .Finish([](int result, const Response& ack) {
            if (result != 0) return result;
            const uint8_t type = static_cast<uint8_t>(ack.At(kEmvTypeOffset));
            if (type == kEmvAck) return 0;
            if (type == kEmvProblemAck) return static_cast<int>(static_cast<uint8_t>(ack.At(4)));
            ack.Warn("EMV Asyn ACK is not 5 or 6???");
            return 0;
        })
        .Run();
}

ORN_API int ornEmvSessionIsOpen(const char* appName) {
    const int result =
        Command("ornEmvSessionIsOpen", catalogue::kEmv).Require(appName != nullptr).Check();
    if (result != 0) return result;
    return Engine().FindEmvSession(appName) ? 1 : 0;
}

ORN_API int ornEmvWin32Short2uint16(short value, unsigned char* out) {
    if (!out) return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
    const auto bits = static_cast<uint16_t>(value);
    out[0] = static_cast<unsigned char>(bits & 0xFF);
    out[1] = static_cast<unsigned char>(bits >> 8);
    return 0;
}

ORN_API int ornEmvWin32Long2uint32(long value, unsigned char* out) {
    if (!out) return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
    // The value as the terminal's 32-bit field, lowest byte first.
    const auto bits = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>((bits >> (8 * i)) & 0xFF);
    return 0;
}

}  // extern "C"
