// MAC calculation and verification by the terminal under a working key sent along with the data.
// Four transfer forms differ in how the data reaches the terminal:
//   - block form ("43." to "46."): fixed-size blocks, the first in the command's own frame
//     (STX..ETB), the others as continuation packets (SOH..ETB, the last SOH..ETX) sent while the
//     command waits for its answer;
//   - variable form ("64.", "66."): one message of at most 200 characters;
//   - chunked text form ("6E.", "6G."): records of 200 characters, only the last one answered;
//   - chunked binary form ("F1."): records of 960 bytes, each answered.
#include <algorithm>
#include <string>
#include <vector>

#include "api/command.h"
#include "api/guard.h"
#include "api/key_fields.h"
#include "api/session.h"
#include "api/text.h"
#include "link/frame.h"
#include "platform/platform.h"
#include "velquoraorn.h"

using namespace orn;

namespace {

constexpr uint32_t kMacAckTimeout = 4000;
// The block form waits up to 600 s for the answer (the record adds its 1000 ms margin).
constexpr uint32_t kBlockResponseTimeout = 600000 - 1000;
// Pause after the first block, which gives a terminal that refuses the request at once the
// chance to answer before the remaining blocks go out.
constexpr uint32_t kFirstBlockPauseMs = 50;
// The MAC text of the text forms: 8 hexadecimal digits as a rule; a longer answer is cut to 16.
constexpr size_t kMacTextBuffer = 17;
constexpr size_t kVariableDataLimit = 200;
constexpr size_t kTextChunk = 200;
constexpr size_t kTextChunksMax = 256;
constexpr size_t kBinaryChunk = 960;
constexpr size_t kBinaryChunksMax = 65536;
constexpr uint8_t kBinaryMore = ORN_MAC_STATUS_MORE_CHUNKS;
constexpr uint8_t kBinaryNoMatch = ORN_MAC_STATUS_NO_MATCH;
constexpr uint8_t kOpCalculation = 'C';
constexpr uint8_t kOpVerification = 'E';

// One MAC command: what it returns to the caller and how.
struct MacJob {
    const char* name;
    bool verify;
    char* mac;                // calculation: the MAC text
    int32_t* match;           // verification: 1 when the terminal reports a match
    const char* expectedMac;  // verification: 8 characters

    // The output's starting value, also what a failure leaves: "" or 0.
    void ResetOutput() const {
        if (mac) mac[0] = '\0';
        if (match) *match = 0;
    }
    bool OutputGiven() const { return verify ? match != nullptr : mac != nullptr; }
    const char* ExpectedMacText() const { return verify ? OrEmpty(expectedMac) : ""; }
};

MacJob Calculation(const char* name, char* mac) {
    MacJob job{name, false, mac, nullptr, nullptr};
    job.ResetOutput();
    return job;
}

MacJob Verification(const char* name, const char* expectedMac, int32_t* match) {
    MacJob job{name, true, nullptr, match, expectedMac};
    job.ResetOutput();
    return job;
}

// The start of every MAC command: the output (and, for verification, the expected MAC unless
// `expectedMacLater`) is tested before the link tests; the ACK may take 4000 ms.
Command MacCommand(const MacJob& job, const catalogue::Message& message,
                   bool expectedMacLater = false) {
    Command command(job.name, message);
    command.CheckFirst(job.OutputGiven()).AckTimeout(kMacAckTimeout);
    if (job.verify && !expectedMacLater) command.CheckFirst(HasLength(job.expectedMac, 8));
    return command;
}

// The tests on the working key of the text forms with a key mode: mode 1 takes 16 characters,
// mode 2 32; check value rules; both hexadecimal.
Command& RequireModeKey(Command& command, int keyIndex, int keyMode, const char* key,
                        const char* checkValue) {
    return command.Require(IsKeyIndex(keyIndex))
        .Require(keyMode == 1 || keyMode == 2)
        .Require(HasLength(key, keyMode == 2 ? 32 : 16))
        .Require(IsCheckValueFor(key, checkValue))
        .Require(IsHexText(key) && IsHexString(OrEmpty(checkValue)));
}

// The answer of the text forms: the status digit, then the MAC (calculation) or '0' for a match
// (verification).
int TextReply(const MacJob& job, int result, const Response& reply) {
    if (result == 0) result = reply.Status();
    if (result != 0) {
        job.ResetOutput();
        return result;
    }
    if (job.verify)
        *job.match = reply.At(1) == '0' ? 1 : 0;
    else
        CopyOut(job.mac, kMacTextBuffer, reply.From(1), job.name);
    return 0;
}

bool HasResponse(CGenericHandler& engine, CCommandData* record) {
    return engine.GetResponse(record, nullptr) >= 0;
}

// The exchange of the block form. The main record (first block) is sent and acknowledged; then,
// as long as the terminal has not answered, each further block goes out as a continuation
// packet of group MAC, which the queue sends while the main record waits for its answer. The
// result is that of the main record's wait, or that of a continuation packet that failed.
int SendBlocks(CGenericHandler& engine, CCommandData* main, const char* name,
               const std::string& data, size_t blockSize) {
    int result = engine.SendWaitAck(main);
    platform::SleepMs(kFirstBlockPauseMs);
    if (result != 0) return result;
    const size_t blocks = data.size() / blockSize;
    for (size_t i = 1; i < blocks && !HasResponse(engine, main); ++i) {
        auto* block = new CCommandData;
        block->SetName(name);
        block->SetGroup(kGroupMac);
        block->SetCancelType(kCancel50);
        block->SetAckTimeout(kMacAckTimeout);
        block->SetFrameChars(kSOH, i + 1 == blocks ? kETX : kETB);
        block->AppendData(data.substr(i * blockSize, blockSize));
        result = engine.SendWaitAck(block);
        engine.DoneCommand(block);
        if (result != 0) return result;
    }
    return engine.WaitResponse(main);
}

int BlockMac(const MacJob& job, const catalogue::Message& message, bool hex, int keyIndex,
             const char* key, const char* checkValue, const char* data) {
    const size_t blockSize = hex ? 16 : 8;
    const std::string text(OrEmpty(data));
    const size_t blocks = text.size() / blockSize;
    // The hexadecimal verification tests its data, after the link, before the expected MAC.
    const bool expectedMacLater = job.verify && hex;
    Command command = MacCommand(job, message, expectedMacLater);
    if (expectedMacLater)
        command.Require(data && IsHexText(data)).Require(HasLength(job.expectedMac, 8));
    return command.Require(key && data && (!hex || IsHexText(data)))
        .Require(IsKeyIndex(keyIndex))
        .Require(IsKeyLength(key) && IsHexText(key))
        .Require(IsCheckValueFor(key, checkValue) && IsHexString(OrEmpty(checkValue)))
        .Require(text.size() >= blockSize && text.size() % blockSize == 0)
        .Require(IsFrameSafe(data) && IsFrameSafe(job.expectedMac))
        .ResponseTimeout(kBlockResponseTimeout)
        .FrameChars(kSTX, blocks == 1 ? kETX : kETB)
        .PayloadF("%c", KeyIndexChar(keyIndex))
        .Payload(key)
        .Payload(checkValue)
        .Payload(job.ExpectedMacText())
        .Payload(text.substr(0, blockSize))
        .Exchange([&](CGenericHandler& engine, CCommandData* main) {
            return SendBlocks(engine, main, job.name, text, blockSize);
        })
        .Finish([&](int result, const Response& reply) { return TextReply(job, result, reply); })
        .Run();
}

int VariableMac(const MacJob& job, const catalogue::Message& message, int keyIndex, int keyMode,
                const char* key, const char* checkValue, const char* data) {
    const size_t length = TextLength(data);
    Command command = MacCommand(job, message);
    command.Require(key && data);
    return RequireModeKey(command, keyIndex, keyMode, key, checkValue)
        .Require(length >= 1 && length <= kVariableDataLimit)
        .Require(IsFrameSafe(data) && IsFrameSafe(job.expectedMac))
        .PayloadF("%c%c", KeyIndexChar(keyIndex), '0' + (keyMode & 7))
        .Payload(key)
        .Payload(checkValue)
        .Payload(job.ExpectedMacText())
        .Payload(data)
        .Finish([&](int result, const Response& reply) { return TextReply(job, result, reply); })
        .Run();
}

// Runs the records of a chunked form one after another while each succeeds; `chunk(i, last)`
// builds record i. A failure empties the output.
template <typename BuildChunk>
int RunChunks(const MacJob& job, size_t chunks, BuildChunk chunk) {
    int result = 0;
    for (size_t i = 0; i < chunks && result == 0; ++i) result = chunk(i, i + 1 == chunks).Run();
    if (result != 0) job.ResetOutput();
    return result;
}

int ChunkedTextMac(const MacJob& job, const catalogue::Message& message, int keyIndex, int keyMode,
                   const char* key, const char* checkValue, const char* data) {
    const std::string text(OrEmpty(data));
    const size_t chunks = (text.size() + kTextChunk - 1) / kTextChunk;
    Command checks = MacCommand(job, message);
    checks.Require(key && data);
    int result = RequireModeKey(checks, keyIndex, keyMode, key, checkValue)
                     .Require(chunks <= kTextChunksMax)
                     .Require(IsFrameSafe(data) && IsFrameSafe(job.expectedMac))
                     .Check();
    if (result != 0) return result;
    return RunChunks(job, chunks, [&](size_t i, bool last) {
        Command chunk(job.name, message);
        chunk.AckTimeout(kMacAckTimeout)
            .ResponseId(last ? message.id : "")  // only the last record is answered
            .PayloadF("%02X%02X", static_cast<unsigned>(i), static_cast<unsigned>(chunks - 1));
        if (i == 0)
            chunk.PayloadF("%c%c%s%s%s%04X", KeyIndexChar(keyIndex), '0' + (keyMode & 7), key,
                           OrEmpty(checkValue), job.ExpectedMacText(),
                           static_cast<unsigned>(text.size()));
        chunk.Payload(text.substr(i * kTextChunk, kTextChunk));
        if (last)
            chunk.Finish([&](int r, const Response& reply) { return TextReply(job, r, reply); });
        return chunk;
    });
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

void AppendHexBytes(std::vector<uint8_t>& out, const char* hex) {
    for (size_t i = 0; hex && hex[i] && hex[i + 1]; i += 2)
        out.push_back(static_cast<uint8_t>(HexValue(hex[i]) << 4 | HexValue(hex[i + 1])));
}

void AppendBigEndian(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The answer to one binary chunk (after "F1."): length (2), operation code, status, data.
int BinaryReply(const MacJob& job, int result, const Response& reply) {
    if (result != 0) return result;
    if (reply.Size() < 4) return kResultNoStatus;
    const uint8_t status = static_cast<uint8_t>(reply.At(3));
    if (status == kBinaryMore) return 0;
    if (status == kBinaryNoMatch) {
        if (job.verify) *job.match = 0;
        return 0;
    }
    if (status != 0) return status;
    if (job.verify) {
        *job.match = 1;
    } else {
        if (reply.Size() < 8) return kResultNoStatus;
        static const char kHex[] = "0123456789ABCDEF";
        std::string mac;
        for (size_t i = 4; i < 8; ++i) {
            const uint8_t b = static_cast<uint8_t>(reply.At(i));
            mac += kHex[b >> 4];
            mac += kHex[b & 0x0F];
        }
        CopyOut(job.mac, kMacTextBuffer, mac, job.name);
    }
    return 0;
}

int BinaryMac(const MacJob& job, int keyIndex, int keyMode, const char* key, const char* checkValue,
              const unsigned char* data, int dataLength) {
    const bool indexInMode = keyMode == 3 || keyMode == 4;
    const bool doubleLength = keyMode == 2 || keyMode == 4;
    const size_t length = dataLength > 0 ? static_cast<size_t>(dataLength) : 0;
    const size_t chunks = (length + kBinaryChunk - 1) / kBinaryChunk;
    int result = MacCommand(job, catalogue::kBinaryMac)
                     .Require(key && data)
                     .Require(keyIndex >= 0 && keyMode >= 1 && keyMode <= 4)
                     .Require(keyIndex <= (indexInMode ? 63 : 2))
                     .Require(HasLength(key, doubleLength ? 32 : 16))
                     .Require(IsCheckValueFor(key, checkValue))
                     .Require(IsHexText(key) && IsHexString(OrEmpty(checkValue)))
                     .Require(!job.verify || IsHexText(job.expectedMac))
                     .Require(dataLength >= 0 && chunks <= kBinaryChunksMax)
                     .Check();
    if (result != 0) return result;

    // The first chunk carries the key and the total length.
    std::vector<uint8_t> header;
    header.push_back(static_cast<uint8_t>(keyMode == 1   ? 0x01
                                          : keyMode == 2 ? 0x02
                                          : keyMode == 3 ? 0x30 + keyIndex
                                                         : 0xB0 + keyIndex));
    AppendHexBytes(header, key);
    if (doubleLength) AppendHexBytes(header, checkValue);
    if (job.verify) AppendHexBytes(header, job.expectedMac);
    AppendBigEndian(header, static_cast<uint32_t>(length), 4);

    const uint8_t op = job.verify ? kOpVerification : kOpCalculation;
    return RunChunks(job, chunks, [&](size_t i, bool) {
        const size_t offset = i * kBinaryChunk;
        const size_t size = std::min(kBinaryChunk, length - offset);
        std::vector<uint8_t> bytes;
        AppendBigEndian(bytes, static_cast<uint32_t>(size + 5 + (i == 0 ? header.size() : 0)), 2);
        bytes.push_back(op);
        AppendBigEndian(bytes, static_cast<uint32_t>(i), 2);
        AppendBigEndian(bytes, static_cast<uint32_t>(chunks - 1), 2);
        if (i == 0) bytes.insert(bytes.end(), header.begin(), header.end());
        bytes.insert(bytes.end(), data + offset, data + offset + size);
        Command chunk(job.name, catalogue::kBinaryMac);
        chunk.AckTimeout(kMacAckTimeout)
            .ResponseSelector(op)
            .Payload(bytes.data(), bytes.size())
            .Finish([&](int r, const Response& reply) { return BinaryReply(job, r, reply); });
        return chunk;
    });
}

// Runs `run` on its job behind the exception barrier of the export the job is named after.
template <typename Run, typename... Args>
int GuardedMac(Run run, const MacJob& job, const Args&... args) {
    return GuardedCode(job.name, [&] { return run(job, args...); });
}

}  // namespace

extern "C" {

ORN_API int ornMacCalculationAsciiMode(int keyIndex, const char* key, const char* checkValue,
                                       const char* data, char* mac) {
    return GuardedMac(BlockMac, Calculation("ornMacCalculationAsciiMode", mac), catalogue::kMac,
                      false, keyIndex, key, checkValue, data);
}

ORN_API int ornMacCalculationHexMode(int keyIndex, const char* key, const char* checkValue,
                                     const char* data, char* mac) {
    return GuardedMac(BlockMac, Calculation("ornMacCalculationHexMode", mac), catalogue::kMacHex,
                      true, keyIndex, key, checkValue, data);
}

ORN_API int ornMacVerificationAsciiMode(int keyIndex, const char* key, const char* checkValue,
                                        const char* expectedMac, const char* data,
                                        int32_t* result) {
    return GuardedMac(BlockMac, Verification("ornMacVerificationAsciiMode", expectedMac, result),
                      catalogue::kMacVerification, false, keyIndex, key, checkValue, data);
}

ORN_API int ornMacVerificationHexMode(int keyIndex, const char* key, const char* checkValue,
                                      const char* expectedMac, const char* data, int32_t* result) {
    return GuardedMac(BlockMac, Verification("ornMacVerificationHexMode", expectedMac, result),
                      catalogue::kMacVerificationHex, true, keyIndex, key, checkValue, data);
}

// A calculation and a verification export over a key with its key mode, sending the text data
// through `send` as the given messages.
#define TEXT_MAC_EXPORTS(calculation, verification, send, calculationMessage, verificationMessage) \
    ORN_API int calculation(int keyIndex, int keyMode, const char* key, const char* checkValue,    \
                            const char* data, char* mac) {                                         \
        return GuardedMac(send, Calculation(#calculation, mac), catalogue::calculationMessage,     \
                          keyIndex, keyMode, key, checkValue, data);                               \
    }                                                                                              \
    ORN_API int verification(int keyIndex, int keyMode, const char* key, const char* checkValue,   \
                             const char* expectedMac, const char* data, int32_t* result) {         \
        return GuardedMac(send, Verification(#verification, expectedMac, result),                  \
                          catalogue::verificationMessage, keyIndex, keyMode, key, checkValue,      \
                          data);                                                                   \
    }

TEXT_MAC_EXPORTS(ornMacCalculationAsciiVarMode, ornMacVerificationAsciiVarMode, VariableMac,
                 kMacVariable, kMacVerificationVariable)
TEXT_MAC_EXPORTS(ornXmacCalculationAsciiVarMode, ornXmacVerificationAsciiVarMode, ChunkedTextMac,
                 kMacChunked, kMacVerificationChunked)

ORN_API int ornBinaryMacCalculation(int keyIndex, int keyMode, const char* key,
                                    const char* checkValue, const unsigned char* data,
                                    int dataLength, char* mac) {
    return GuardedMac(BinaryMac, Calculation("ornBinaryMacCalculation", mac), keyIndex, keyMode,
                      key, checkValue, data, dataLength);
}

ORN_API int ornBinaryMacVerification(int keyIndex, int keyMode, const char* key,
                                     const char* checkValue, const char* expectedMac,
                                     const unsigned char* data, int dataLength, int32_t* result) {
    return GuardedMac(BinaryMac, Verification("ornBinaryMacVerification", expectedMac, result),
                      keyIndex, keyMode, key, checkValue, data, dataLength);
}

}  // extern "C"
