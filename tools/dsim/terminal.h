// The scripted terminal of the simulation: it sits at the far end of the virtual port, frames,
// checks, acknowledges and answers what the library sends, and injects link faults chosen by
// the seed. It runs as a fiber of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orn::dsim {

// How often each fault happens, in percent; chosen per scenario.
struct Faults {
    uint32_t nak = 0;             // a good frame NAKed and dropped
    uint32_t lostAck = 0;         // a frame lost on the way: no ACK, NAK or answer
    uint32_t lateAck = 0;         // the ACK comes late, within the host's wait for it
    uint32_t staleAck = 0;        // the ACK comes after the host stopped waiting for it
    uint32_t duplicateAck = 0;    // the ACK comes twice
    uint32_t missingAnswer = 0;   // the frame is ACKed but never answered
    uint32_t lateAnswer = 0;      // the answer comes after 7..12 s
    uint32_t badLrc = 0;          // an answer goes out with a wrong LRC
    uint32_t split = 0;           // an answer goes out in two pieces
    uint32_t joined = 0;          // the ACK and the answer go out in one write
    uint32_t powerUps = 0;        // power-up enquiries at random moments (count)
    uint32_t unsolicitedEmv = 0;  // EMV data pushed at random moments (count)
    bool vanish = false;          // the device goes away at a random moment (and may come back)
    uint32_t burstMs = 0;         // if set, the power-ups and the vanishing fall within this
                                  // many ms of one moment
};

class Terminal {
  public:
    void Reset(const Faults& faults);
    // The fiber's body; returns once Stop was called.
    void Run();
    void Stop() { stop_ = true; }
    // The payload of the next answer the terminal gives (not a cancel's), at once, instead of
    // its own; std::nullopt withdraws it.
    void AnswerNext(std::optional<std::string> payload) { nextAnswer_ = std::move(payload); }

    // What the terminal did, for the invariants.
    // Answers the host ACKed to requests `id` that reached the terminal at or after `since`.
    uint32_t Answered(const std::string& id, uint64_t since) const;
    const std::string& Violation() const { return violation_; }
    // ACKs sent after the host's wait for them: which frame they acknowledge is ambiguous.
    uint32_t StaleAcks() const { return staleAcks_; }
    uint32_t PowerUps() const { return powerUpsSent_; }
    // When the first answer frame now scheduled goes out (UINT64_MAX: none is).
    uint64_t NextAnswerDue() const;
    // EMV data pushed to the host: a session callback received `data` (records it; a message
    // delivered twice or never sent is a violation).
    void Delivered(const unsigned char* data, int length);
    // The host is about to close or reopen the link: what it was given may not reach a session.
    void HostClosing();
    // Empty, or the data messages the host acknowledged for a session open at both ends, with
    // nothing in between that could end the session, but never delivered.
    std::string Undelivered() const;

  private:
    struct Out {
        uint64_t due;
        uint64_t order;
        std::vector<uint8_t> bytes;
        std::string answerOf;  // the request identifier of an answer frame, else empty
        bool frame;
        uint64_t requestAt;  // when the request of an answer frame came
        bool resend = false;
        std::string opensEmv;  // the answer opens this EMV session: the numbering starts again
    };
    // An EMV data message the terminal pushed.
    struct Push {
        uint8_t seq;
        uint64_t sentAt;
        bool sessionAtSend;  // open at both ends when it was sent
        uint64_t ackAt = 0;
        bool sessionAtAck = false;
        int delivered = 0;
    };
    void Schedule(uint64_t due, std::vector<uint8_t> bytes, std::string answerOf, bool frame,
                  uint64_t requestAt = 0);
    void OnOpen();
    void OnByte(uint8_t b);
    void OnFrame(const std::vector<uint8_t>& frame);
    void OnHostAck();
    void OnHostNak();
    void Answer(const std::string& id, const std::string& payload, uint64_t ackAt);
    void SendUnsolicitedEmv(uint64_t now);
    void OnEmvAck(uint8_t seq);
    void EndEmvSession(uint64_t now);
    void Emit();
    uint64_t NextDue() const;

    Faults faults_;
    bool stop_ = false;
    uint32_t seenOpens_ = 0;
    std::vector<Out> out_;
    uint64_t order_ = 0;
    // Receiver.
    enum class Rx { Idle, InFrame, Lrc } rx_ = Rx::Idle;
    std::vector<uint8_t> frame_;
    uint8_t lrc_ = 0;
    // The answer awaiting the host's ACK (resent on NAK).
    std::vector<uint8_t> outstanding_;
    std::string outstandingId_;
    std::string outstandingOpens_;  // the EMV session the outstanding answer opens
    uint64_t outstandingAt_ = 0;
    uint64_t outstandingSince_ = 0;
    int resends_ = 0;
    bool awaitEnqAnswer_ = false;
    // An answer that waits for the cardholder (a key, a card); a cancel withdraws it.
    uint64_t inputOrder_ = 0;
    std::vector<std::pair<std::string, uint64_t>> answered_;  // identifier, request time
    std::vector<uint64_t> powerUpTimes_;
    std::vector<uint64_t> emvTimes_;
    uint64_t vanishAt_ = 0, replugAt_ = 0;
    int hostEmvSeq_ = -1;
    // Pushed EMV data: numbered from 128 after each session open, one awaiting the host's
    // acknowledgement at a time (sent again every 3 s).
    uint8_t pushSeq_ = 128;
    std::string emvApp_;  // the session the terminal has open, empty for none
    std::vector<Push> pushes_;
    int pendingPush_ = -1;
    std::vector<uint8_t> pendingBytes_;
    uint64_t pendingSentAt_ = 0;
    std::vector<uint64_t> emvBreaks_;  // when something may have ended a session
    std::string violation_;
    uint32_t staleAcks_ = 0;
    uint32_t powerUpsSent_ = 0;
    std::optional<std::string> nextAnswer_;
};

}  // namespace orn::dsim
