#include "link_state.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "request_fields.h"

namespace orn::sim {

namespace {

// The host's acknowledgement of an incoming EMV message: "F1." 00 02 05 sequence.
bool IsEmvAcknowledgement(const Frame& frame) {
    if (frame.start != kStx || frame.id != "F1." || frame.payload.size() != 4) return false;
    const RequestFields fields(frame.id, frame.payload);
    return fields.Message() == "EMV acknowledgement" && fields.Number("length") == 2;
}

std::chrono::milliseconds Ms(int ms) {
    return std::chrono::milliseconds(ms);
}

}  // namespace

LinkView LinkState::View() const {
    LinkView link;
    link.hostOpen = hostOpen_;
    link.powerUp = handshake_.Active();
    link.unplugged = unplugged_;
    link.connected = hostOpen_ && !unplugged_ && !link.powerUp;
    return link;
}

void LinkState::HostOpened(Clock::time_point now) {
    hostOpen_ = true;
    ++rec_.hostOpens;
    if (powerUp_ != PowerUp::None && !faults_.silent)
        handshake_.Start(powerUp_, now + Ms(opt_.powerUpDelayMs));
}

void LinkState::HostClosed(bool unplug) {
    if (hostOpen_ || !unplug) ++rec_.hostCloses;
    hostOpen_ = false;
    unplugged_ = unplugged_ || unplug;
    Clear();
    handshake_.Stop();
}

void LinkState::PowerCycle(Clock::time_point now) {
    Clear();
    if (hostOpen_ && !faults_.silent) handshake_.Start(powerUp_, now + Ms(opt_.powerUpDelayMs));
}

void LinkState::Clear() {
    scheduled_.clear();
    outstanding_.clear();
}

void LinkState::ChangeFaults(const std::function<void(FaultPlan&)>& change) {
    const bool wasSilent = faults_.silent;
    change(faults_);
    faults_.ackDelayMs = std::max(0, faults_.ackDelayMs);
    faults_.responseDelayMs = std::max(0, faults_.responseDelayMs);
    faults_.chunkGapMs = std::max(0, faults_.chunkGapMs);
    // A silent terminal drops what it was about to send.
    if (faults_.silent && !wasSilent) scheduled_.clear();
}

// ---- what the host sent ----

void LinkState::OnBadFrame() {
    ++rec_.badFrames;
    if (!faults_.silent) ScheduleControl(Clock::now(), kNak);
}

void LinkState::OnHostEnq(Clock::time_point now) {
    ++rec_.linkTests;
    if (faults_.silent) return;
    if (faults_.ackMode == AckMode::Withhold) return;
    if (faults_.withholdNext > 0) {
        --faults_.withholdNext;
        return;
    }
    ScheduleControl(now + Ms(faults_.ackDelayMs), kAck);
}

bool LinkState::OnHostAck(Clock::time_point now) {
    ++rec_.hostAcks;
    switch (handshake_.OnHostAck(now, opt_.enqRetryMs)) {
        case PowerUpHandshake::Answer::NotAwaited:
            break;
        case PowerUpHandshake::Answer::AskAgain:
            SendEnq(now);
            return false;
        case PowerUpHandshake::Answer::Acknowledge:
            ScheduleControl(now, kAck);
            ++rec_.handshakes;
            return false;
        case PowerUpHandshake::Answer::Complete:
            ++rec_.handshakes;
            return false;
    }
    outstanding_.clear();
    return true;
}

void LinkState::OnHostNak(Clock::time_point now) {
    ++rec_.hostNaks;
    if (outstanding_.empty() || outstandingResends_ <= 0 || faults_.silent) return;
    --outstandingResends_;
    ++rec_.resends;
    Item item;
    item.bytes = outstanding_;
    item.frame = true;
    item.expectAck = true;
    item.resend = true;
    Schedule(now, std::move(item));
}

LinkState::FrameAnswer LinkState::AnswerFrame(const Frame& frame, Clock::time_point now) {
    FrameAnswer answer;
    answer.ackTime = now + Ms(faults_.ackDelayMs);
    if (faults_.silent) {
        answer.reply = Reply::None;
    } else if (faults_.nakNext > 0) {
        --faults_.nakNext;
        answer.reply = Reply::Nak;
        ScheduleControl(now, kNak);
    } else if (faults_.ackMode == AckMode::Withhold) {
        answer.reply = Reply::None;
        answer.respond = faults_.withholdRespond;
    } else if (faults_.withholdNext > 0) {
        --faults_.withholdNext;
        answer.reply = Reply::None;
        answer.respond = faults_.withholdNextRespond;
    } else if (IsEmvAcknowledgement(frame)) {
        // An acknowledgement is not acknowledged again: a link ACK here would reach the host
        // while one of its commands may be waiting for the ACK of its own frame.
        answer.reply = Reply::None;
        answer.respond = true;
    } else {
        answer.reply = Reply::Ack;
        answer.respond = true;
        ScheduleControl(answer.ackTime, kAck);
    }
    // Any frame that the host sends while its enquiry answer is awaited (in practice the cancel
    // frame of a host in quick-cancel mode) answers the enquiry; our ACK of it completes the
    // handshake.
    if (handshake_.Awaiting() && answer.reply == Reply::Ack) {
        handshake_.Stop();
        ++rec_.handshakes;
    }
    return answer;
}

// ---- scheduling ----

void LinkState::Schedule(Clock::time_point due, Item item) {
    if (!hostOpen_) return;  // bytes left in a closed pty would greet the next opener
    scheduled_.emplace(due, std::move(item));
}

void LinkState::ScheduleControl(Clock::time_point due, uint8_t byte) {
    Item item;
    item.bytes = {byte};
    Schedule(due, std::move(item));
}

void LinkState::ScheduleFrame(Clock::time_point due, const std::string& id,
                              const std::string& payload) {
    Item item;
    item.bytes = MakeFrame(id, payload);
    item.frame = true;
    item.expectAck = true;
    Schedule(due, std::move(item));
}

void LinkState::ScheduleAnswer(Clock::time_point due, const std::string& id, std::string payload,
                               const std::string& tag) {
    Item item;
    item.bytes = MakeFrame(id, payload);
    item.frame = true;
    item.expectAck = true;
    item.tag = tag;
    item.id = id;
    item.payload = std::move(payload);
    Schedule(due, std::move(item));
}

void LinkState::SendEnq(Clock::time_point now) {
    ScheduleControl(now, kEnq);
    ++rec_.enqsSent;
}

int LinkState::DropTagged(const std::string& tag) {
    int dropped = 0;
    for (auto it = scheduled_.begin(); it != scheduled_.end();) {
        if (!tag.empty() && it->second.tag == tag) {
            it = scheduled_.erase(it);
            ++dropped;
        } else {
            ++it;
        }
    }
    return dropped;
}

std::optional<LinkState::Item> LinkState::TakeHeldAnswer(
    const std::function<bool(const std::string&, const std::string&)>& match) {
    auto held = std::find_if(scheduled_.begin(), scheduled_.end(), [&](const auto& entry) {
        return !entry.second.tag.empty() && !entry.second.id.empty() &&
               match(entry.second.id, entry.second.payload);
    });
    if (held == scheduled_.end()) return std::nullopt;
    Item item = std::move(held->second);
    scheduled_.erase(held);
    return item;
}

LinkState::Clock::time_point LinkState::AnswerDue(Clock::time_point now, int delayMs) const {
    const Clock::time_point from = std::max(now, handlingAckTime_.value_or(now));
    return from + Ms(faults_.responseDelayMs + std::max(0, delayMs));
}

// ---- timers and writing ----

void LinkState::RunHandshake(Clock::time_point now) {
    if (!handshake_.Due(now)) return;
    if (!hostOpen_ || faults_.silent) {
        handshake_.Stop();
        return;
    }
    if (handshake_.NextEnquiry(now, opt_.enqRetryMs, opt_.enqRetries)) SendEnq(now);
}

int LinkState::TimeoutMs(Clock::time_point now) const {
    auto next = now + std::chrono::milliseconds(1000);
    if (!scheduled_.empty()) next = std::min(next, scheduled_.begin()->first);
    if (handshake_.Active()) next = std::min(next, handshake_.Deadline());
    if (next <= now) return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(ms) + 1;  // +1: do not wake just before the deadline
}

bool LinkState::TakeDue(Clock::time_point now, Batch& batch) {
    batch.items.clear();
    while (!scheduled_.empty() && scheduled_.begin()->first <= now) {
        batch.items.push_back(std::move(scheduled_.begin()->second));
        scheduled_.erase(scheduled_.begin());
    }
    if (batch.items.empty()) return false;
    for (Item& item : batch.items) {
        if (!item.frame) continue;
        if (item.expectAck) {
            if (!item.resend) outstandingResends_ = opt_.maxResends;
            outstanding_ = item.bytes;
        }
        if (faults_.corruptNext > 0) {
            --faults_.corruptNext;
            item.bytes.back() ^= 0xFF;
        }
    }
    batch.chunk = faults_.chunkSize;
    batch.gapMs = faults_.chunkGapMs;
    batch.coalesce = faults_.coalesce;
    return true;
}

void LinkState::Write(Batch& batch, const std::function<void(const uint8_t*, size_t)>& write) {
    if (batch.coalesce) {
        Item all;
        for (Item& item : batch.items) {
            all.bytes.insert(all.bytes.end(), item.bytes.begin(), item.bytes.end());
            all.frame = all.frame || item.frame;
        }
        batch.items.assign(1, std::move(all));
    }
    for (const Item& item : batch.items) {
        if (item.frame && batch.chunk > 0) {
            for (size_t at = 0; at < item.bytes.size(); at += batch.chunk) {
                if (at > 0) std::this_thread::sleep_for(Ms(batch.gapMs));
                write(item.bytes.data() + at, std::min(batch.chunk, item.bytes.size() - at));
            }
        } else {
            write(item.bytes.data(), item.bytes.size());
        }
    }
}

std::vector<uint8_t> LinkState::MakeFrame(const std::string& id, const std::string& payload) const {
    return EightBit() ? BuildRawFrame(id + payload) : BuildFrame(id, payload);
}

}  // namespace orn::sim
