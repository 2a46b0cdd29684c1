// Smart-card commands: power up and read the answer to reset, compare it, exchange one command
// with the card, power off, status, presence, waits for insertion or removal, and cancel. All
// travel on the reader channel, channel code 7; their result is the terminal's status byte.
#include <cstring>

#include "api/reader_channel.h"
#include "velquoraorn.h"

using namespace orn;

namespace {

// Presence test: a 10 ms limit, and a response timeout of 10 ms (+ the record's margin).
constexpr uint16_t kPresenceTimeLimit = 1;
constexpr uint32_t kPresenceTimeoutMs = 10;
// Leading bytes of a command-exchange answer that are reported apart from the card's data.
constexpr size_t kExchangeLeadingBytes = 3;
constexpr int kMaxCommandLength = 255;

Command SmartCardCommand(const char* name, uint8_t function,
                         uint16_t timeLimit = kReaderDefaultTimeLimit,
                         const std::string& data = {}) {
    return ReaderCommand(name, kReaderChannelSmartCard, timeLimit, function, data);
}

Command SmartCardWait(const char* name, uint8_t function, int timeoutMs) {
    return ReaderWait(name, kReaderChannelSmartCard, function, timeoutMs);
}

// The asynchronous form of a wait: the outcome reaches `callback` (of callback kind `kind`).
template <typename Callback>
int SmartCardWaitReq(const char* name, uint8_t function, int timeoutMs, int32_t kind,
                     Callback* callback) {
    return SmartCardWait(name, function, timeoutMs)
        .Require(callback != nullptr)
        .RunAsync(kind, callback);
}

// The answer to reset of a power-up answer: the type byte, then the ATR, cut to the caller's
// ORN_SMART_CARD_DATA_SIZE bytes.
Command::Parser AtrInto(unsigned char* cardType, unsigned char* atr, int* atrLength) {
    return [=](const Response& reply) {
        const std::string block = ReaderDataBlock(reply);
        if (block.empty()) {
            *atrLength = 0;
            return;
        }
        *cardType = static_cast<unsigned char>(block[0]);
        size_t length = block.size() - 1;
        if (length > ORN_SMART_CARD_DATA_SIZE) {
            reply.Warn("Smart card answer to reset of %zu bytes cut to %d", length,
                       ORN_SMART_CARD_DATA_SIZE);
            length = ORN_SMART_CARD_DATA_SIZE;
        }
        std::memcpy(atr, block.data() + 1, length);
        *atrLength = static_cast<int>(length);
    };
}

}  // namespace

extern "C" {

ORN_API int ornSmartCardPowerUp(unsigned char* cardType, unsigned char* atr, int* atrLength) {
    return SmartCardCommand("smartCardPowerUp", catalogue::kCardPowerUp)
        .Require(cardType && atr && atrLength)
        .Parse(AtrInto(cardType, atr, atrLength))
        .Run();
}

ORN_API int ornSmartCardCompareAtr(unsigned char* cardType) {
    return SmartCardCommand("smartCardPowerUp", catalogue::kCardCompareAtr)
        .Require(cardType != nullptr)
        .Parse([=](const Response& reply) {
            const std::string block = ReaderDataBlock(reply);
            if (!block.empty()) *cardType = static_cast<unsigned char>(block[0]);
        })
        .Run();
}

ORN_API int ornSmartCardPowerOff(void) {
    return SmartCardCommand("smartCardPowerOff", catalogue::kCardPowerOff).Run();
}

ORN_API int ornSmartCardStatus(void) {
    // The terminal's short status answers are routed to this record by its name.
    return SmartCardCommand("smartCardStatus", catalogue::kCardStatus).Run();
}

ORN_API int ornSmartCardCancel(void) {
    return ReaderCancel("smartCardCancel", kReaderChannelSmartCard).Run();
}

ORN_API int ornAsynchCardExecution(unsigned char* data, int* dataLength, unsigned char* byte1,
                                   unsigned char* byte2, unsigned char* byte3) {
    const bool ok = byte1 && byte2 && byte3 && dataLength && data && *dataLength >= 0 &&
                    *dataLength <= kMaxCommandLength;
    std::string command;
    if (ok) {
        command += static_cast<char>(*dataLength);
        command.append(reinterpret_cast<const char*>(data), static_cast<size_t>(*dataLength));
    }
    return SmartCardCommand("smartCardAsyncExecution", catalogue::kCardExchange, 0, command)
        .Require(ok)
        .Parse([=](const Response& reply) {
            const std::string block = ReaderDataBlock(reply);
            unsigned char* leading[kExchangeLeadingBytes] = {byte1, byte2, byte3};
            for (size_t i = 0; i < kExchangeLeadingBytes && i < block.size(); ++i)
                *leading[i] = static_cast<unsigned char>(block[i]);
            size_t length =
                block.size() > kExchangeLeadingBytes ? block.size() - kExchangeLeadingBytes : 0;
            if (length > ORN_SMART_CARD_DATA_SIZE) {
                reply.Warn("Smart card answer of %zu bytes cut to %d", length,
                           ORN_SMART_CARD_DATA_SIZE);
                length = ORN_SMART_CARD_DATA_SIZE;
            }
            if (length > 0) std::memcpy(data, block.data() + kExchangeLeadingBytes, length);
            *dataLength = static_cast<int>(length);
        })
        .Run();
}

ORN_API int ornIsCardPresent(void) {
    return SmartCardCommand("isCardPresent", catalogue::kCardWaitInsertion, kPresenceTimeLimit)
        .ResponseTimeout(kPresenceTimeoutMs)
        // The reader is not asked while the terminal runs an EMV session.
        .Test([] { return Engine().AnyEmvSessionOpen() ? 2 : 0; })
        .Finish([](int result, const Response& reply) {
            if (result == 0) result = ReaderStatus(reply);
            if (result == ORN_READER_STATUS_OK) return 1;       // a card is in the reader
            if (result == ORN_READER_STATUS_NO_CARD) return 0;  // none within the limit
            return result;
        })
        .Run();
}

ORN_API int ornWaitForSmartCardInsertionReq(int timeoutMs, ornSmartCardCallback callback) {
    return SmartCardWaitReq("smartCardInsertReq", catalogue::kCardWaitInsertion, timeoutMs,
                            kCallbackSmartCard, callback);
}

ORN_API int ornWaitForSmartCardInsertionWait(int timeoutMs) {
    return SmartCardWait("smartCardInsertWait", catalogue::kCardWaitInsertion, timeoutMs).Run();
}

ORN_API int ornWaitForSmartCardRemovalReq(int timeoutMs, ornSmartCardCallback callback) {
    return SmartCardWaitReq("smartCardRemovalReq", catalogue::kCardWaitRemoval, timeoutMs,
                            kCallbackSmartCard, callback);
}

ORN_API int ornWaitForSmartCardRemovalWait(int timeoutMs) {
    return SmartCardWait("smartCardRemovalWait", catalogue::kCardWaitRemoval, timeoutMs).Run();
}

ORN_API int ornWaitCardAndPowerUpAtrReq(int timeoutMs, ornSmartCardAtrCallback callback) {
    return SmartCardWaitReq("smartCardInsertPowerUpReq", catalogue::kCardWaitAndPowerUp, timeoutMs,
                            kCallbackSmartCardAtr, callback);
}

ORN_API int ornWaitCardAndPowerUpAtrWait(int timeoutMs, unsigned char* cardType, unsigned char* atr,
                                         int* atrLength) {
    return SmartCardWait("smartCardInsertPowerUpWait", catalogue::kCardWaitAndPowerUp, timeoutMs)
        .Require(cardType && atr && atrLength)
        .Parse(AtrInto(cardType, atr, atrLength))
        .Run();
}

ORN_API int ornSmartCardPowerOffAndRemovalReq(int timeoutMs, ornSmartCardCallback callback) {
    return SmartCardWaitReq("smartCardPowerOffRemovalReq", catalogue::kCardPowerOffAndWaitRemoval,
                            timeoutMs, kCallbackSmartCard, callback);
}

ORN_API int ornSmartCardPowerOffAndRemovalWait(int timeoutMs) {
    return SmartCardWait("smartCardPowerOffRemoval", catalogue::kCardPowerOffAndWaitRemoval,
                         timeoutMs)
        .Run();
}

}  // extern "C"
