// The terminal's binary card reader channel ("F0." messages), shared by the card-swipe and the
// smart-card commands: request bytes, the status byte of an answer and its data block.
//
// Request after "F0.": length of what follows (2 bytes, big-endian), channel code, time limit in
// units of 10 ms (2 bytes, big-endian, 0 none), function byte, function data.
// Answer after "F0.": length L of what follows (2 bytes), channel code, status byte, data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "api/command.h"
#include "api/session.h"

namespace orn {

constexpr uint8_t kReaderChannelMsr = 4;
constexpr uint8_t kReaderChannelSmartCard = 7;
// Longest wait a caller may ask for, in milliseconds (the time limit then is 60000).
constexpr int kReaderMaxWaitMs = 600000;
// Time limit of the commands without a time argument, the cancels among them: 60 s.
constexpr uint16_t kReaderDefaultTimeLimit = 6000;
constexpr uint8_t kReaderFunctionCancel = 0x12;

inline bool IsReaderWait(int timeoutMs) {
    return timeoutMs >= 0 && timeoutMs <= kReaderMaxWaitMs;
}

// The request bytes for `function` on `channel`; `timeLimit` counts 10 ms units.
inline std::string ReaderRequest(uint8_t channel, uint16_t timeLimit, uint8_t function,
                                 const std::string& data = {}) {
    const size_t length = 4 + data.size();
    std::string bytes;
    bytes += static_cast<char>((length >> 8) & 0xFF);
    bytes += static_cast<char>(length & 0xFF);
    bytes += static_cast<char>(channel);
    bytes += static_cast<char>(timeLimit >> 8);
    bytes += static_cast<char>(timeLimit & 0xFF);
    bytes += static_cast<char>(function);
    bytes += data;
    return bytes;
}

// The time limit field for a caller's wait in milliseconds (valid waits only).
inline uint16_t ReaderTimeLimit(int timeoutMs) {
    return IsReaderWait(timeoutMs) ? static_cast<uint16_t>(timeoutMs / 10) : 0;
}

// The answer's status byte; kResultNoStatus when the answer is too short to hold one.
inline int ReaderStatus(const Response& reply) {
    return catalogue::ReadReaderStatus(reply.Text());
}

// The data block after the status byte (what of it arrived), empty when there is none.
inline std::string ReaderDataBlock(const Response& reply) {
    catalogue::ReaderBlock block;
    if (!catalogue::ReadReaderBlock(reply.Text(), &block)) return {};
    if (block.bytes.size() < block.declared)
        reply.Warn("Reader answer announces %zu data bytes but carries %zu", block.declared,
                   block.bytes.size());
    return block.bytes;
}

// A reader-channel command: "F0." with the request for `function` on `channel`, in the group and
// cancel type of that reader, matched by its channel code; its result is the status byte.
inline Command ReaderCommand(const char* name, uint8_t channel, uint16_t timeLimit,
                             uint8_t function, const std::string& data = {}) {
    const bool card = channel == kReaderChannelSmartCard;
    Command command(name, catalogue::kReaderChannel);
    command.Group(card ? kGroupSc : kGroupMsr)
        .Cancel(card ? kCancelSc : kCancelMsr)
        .ResponseSelector(channel)
        .StatusFrom(ReaderStatus)
        .Payload(ReaderRequest(channel, timeLimit, function, data));
    return command;
}

// A reader command that waits up to `timeoutMs` (0..600000) for the card or the swipe.
inline Command ReaderWait(const char* name, uint8_t channel, uint8_t function, int timeoutMs) {
    const bool ok = IsReaderWait(timeoutMs);
    Command command = ReaderCommand(name, channel, ReaderTimeLimit(timeoutMs), function);
    command.Require(ok).ResponseTimeout(ok ? static_cast<uint32_t>(timeoutMs) : 0);
    return command;
}

// The cancel of a reader. Any reader answer matches it, and the terminal's short answer is
// routed to it by `name`, which is therefore fixed. Whatever its result, the reader's queued
// commands are then cancelled, so a silent terminal cannot keep a wait alive; so are they when
// the terminal is not connected and nothing is sent.
inline Command ReaderCancel(const char* name, uint8_t channel) {
    const int32_t cancelType = channel == kReaderChannelSmartCard ? kCancelSc : kCancelMsr;
    Command command = ReaderCommand(name, channel, kReaderDefaultTimeLimit, kReaderFunctionCancel);
    command.Group(kGroupCancel)
        .ResponseSelector(0)
        .AfterExchange([cancelType](int) { Engine().CancelQueued(cancelType); })
        .AfterExchangeEvenWhenNotConnected();
    return command;
}

}  // namespace orn
