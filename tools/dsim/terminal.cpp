#include "terminal.h"

#include <algorithm>

#include "answers.h"
#include "engine/generic_handler.h"
#include "platform/platform.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/sim_platform.h"
#include "sim.h"

namespace orn::dsim {

namespace sim = orn::platform::sim;
using orn::sim::kAck;
using orn::sim::kEnq;
using orn::sim::kEtb;
using orn::sim::kEtx;
using orn::sim::kNak;
using orn::sim::kSoh;
using orn::sim::kStx;

namespace {

constexpr uint64_t kMs = 1000;
constexpr uint8_t kFirstPushSeq = 128;
// A pushed EMV data message not acknowledged goes again after this long.
constexpr uint64_t kPushResendUs = 3'000'000;
// How long after its acknowledgement the host may still be handing a message on.
constexpr uint64_t kDeliveryUs = 100'000;

uint64_t Between(uint64_t lowMs, uint64_t highMs) {
    return (lowMs + sim::Choose(highMs - lowMs + 1)) * kMs;
}

// Requests whose answer waits for the cardholder.
bool WaitsForInput(const std::string& id, const std::string& payload) {
    if (id == "57." || id == "5F.") return true;
    if (id == "58.") return !payload.empty() && payload[0] == '1';
    return false;
}

std::string Byte(int value) {
    return std::string(1, static_cast<char>(value));
}

// The answer payload of a request, empty optional for none (ACK only).
bool AnswerOf(const std::string& id, const std::string& payload, std::string* answer) {
    if (id == "72") return false;
    if (id == "51.") {
        *answer = "0SVQ31000012345678";
    } else if (id == "57.") {
        *answer = "0A";
    } else if (id == "58.") {
        *answer = !payload.empty() && payload[0] == '1' ? "0B" : "0";
    } else if (id == "F1.") {
        const orn::sim::RequestFields fields(id, payload);
        if (fields.Text("seq").empty()) return false;
        const int type = static_cast<int>(fields.Number("type"));
        const int seq = static_cast<int>(fields.Number("seq"));
        if (type == 5) return false;  // the host's acknowledgement of pushed data
        std::string rest;
        if (type == 4) {
            rest = Byte(5) + Byte(seq);  // data acknowledged
        } else {
            rest = Byte(type) + Byte(seq) + Byte(0);
            if (type == 1) rest += Byte(0) + std::string(12, 'A') + std::string(12, 'T') + "0102";
        }
        *answer = std::string("\x00", 1) + Byte(static_cast<int>(rest.size())) + rest;
    } else {
        *answer = "0";
    }
    return true;
}

}  // namespace

void Terminal::Reset(const Faults& faults) {
    *this = Terminal();
    faults_ = faults;
    const uint64_t horizon = 60 * 1000;  // ms: scenarios live about this long in virtual time
    const uint64_t burstAt = faults.burstMs ? Between(0, horizon) : 0;
    auto moment = [&] {
        return faults.burstMs ? burstAt + Between(0, faults.burstMs) : Between(0, horizon);
    };
    for (uint32_t i = 0; i < faults.powerUps; ++i) powerUpTimes_.push_back(moment());
    // Scenarios mostly end within a few seconds: the data comes early.
    for (uint32_t i = 0; i < faults.unsolicitedEmv; ++i) emvTimes_.push_back(Between(0, 8000));
    if (faults.vanish) {
        vanishAt_ = moment();
        replugAt_ = sim::Chance(50)
                        ? vanishAt_ + Between(10, faults.burstMs ? faults.burstMs + 10 : 5000)
                        : 0;
    }
}

uint32_t Terminal::Answered(const std::string& id, uint64_t since) const {
    uint32_t n = 0;
    for (const auto& [answeredId, at] : answered_) n += answeredId == id && at >= since;
    return n;
}

void Terminal::Schedule(uint64_t due, std::vector<uint8_t> bytes, std::string answerOf, bool frame,
                        uint64_t requestAt) {
    out_.push_back(
        Out{due, order_++, std::move(bytes), std::move(answerOf), frame, requestAt, false, {}});
}

uint64_t Terminal::NextAnswerDue() const {
    uint64_t next = UINT64_MAX;
    for (const Out& o : out_)
        if (!o.answerOf.empty()) next = std::min(next, o.due);
    return next;
}

uint64_t Terminal::NextDue() const {
    uint64_t next = UINT64_MAX;
    for (const Out& o : out_) next = std::min(next, o.due);
    for (uint64_t t : powerUpTimes_) next = std::min(next, t);
    for (uint64_t t : emvTimes_) next = std::min(next, t);
    if (vanishAt_) next = std::min(next, vanishAt_);
    if (replugAt_) next = std::min(next, replugAt_);
    if (pendingPush_ >= 0) next = std::min(next, pendingSentAt_ + kPushResendUs);
    return next;
}

void Terminal::Run() {
    sim::VirtualPort& port = sim::Port();
    while (!stop_) {
        const uint64_t now = sim::NowUs();
        const uint64_t due = NextDue();
        uint32_t ms = platform::kInfinite;
        if (due != UINT64_MAX)
            ms = due <= now ? 0 : static_cast<uint32_t>((due - now + 999) / 1000);
        struct Watch {
            Terminal* self;
        } watch{this};
        sim::Block(
            [](const void* arg) {
                const Terminal* t = static_cast<const Watch*>(arg)->self;
                const sim::VirtualPort& p = sim::Port();
                return t->stop_ || !p.toTerminal.empty() || p.opens != t->seenOpens_;
            },
            &watch, ms, sim::WaitSite{"terminal", this, nullptr});
        if (stop_) break;
        if (port.opens != seenOpens_) {
            seenOpens_ = port.opens;
            OnOpen();
        }
        while (!port.toTerminal.empty()) {
            const uint8_t b = port.toTerminal.front();
            port.toTerminal.pop_front();
            OnByte(b);
        }
        Emit();
    }
}

void Terminal::OnOpen() {
    rx_ = Rx::Idle;
    outstanding_.clear();
    out_.clear();
    hostEmvSeq_ = -1;
    EndEmvSession(sim::NowUs());
    sim::Trace("terminal: host opened the port");
    // The power-up enquiry greets the host shortly after it opened the port.
    Schedule(sim::NowUs() + Between(1, 60), {kEnq}, "", false);
    awaitEnqAnswer_ = true;
}

void Terminal::Emit() {
    const uint64_t now = sim::NowUs();
    sim::VirtualPort& port = sim::Port();
    if (vanishAt_ && vanishAt_ <= now) {
        vanishAt_ = 0;
        sim::Trace("terminal: device vanished");
        sim::Unplug();
        out_.clear();
        EndEmvSession(now);
    }
    if (replugAt_ && replugAt_ <= now && !vanishAt_) {
        replugAt_ = 0;
        sim::Trace("terminal: device back");
        sim::Replug();
    }
    for (auto it = powerUpTimes_.begin(); it != powerUpTimes_.end();) {
        if (*it > now) {
            ++it;
            continue;
        }
        it = powerUpTimes_.erase(it);
        if (!port.hostOpen) continue;
        sim::Trace("terminal: power-up");
        ++powerUpsSent_;
        out_.clear();  // what it was about to send is lost
        outstanding_.clear();
        awaitEnqAnswer_ = true;
        EndEmvSession(now);
        pushSeq_ = kFirstPushSeq;  // it starts afresh
        Schedule(now, {kEnq}, "", false);
    }
    // An answer waits for the host's ACK of the one before (given up after 2 s).
    if (!outstanding_.empty() && now - outstandingSince_ > 2'000'000) outstanding_.clear();
    for (Out& o : out_) {
        if (o.due <= now && !o.answerOf.empty() && !outstanding_.empty() && !o.resend)
            o.due = now + 10'000;
    }
    // Everything due now, in order; joined writes go out as one.
    std::vector<Out> due;
    for (auto it = out_.begin(); it != out_.end();) {
        if (it->due <= now) {
            due.push_back(std::move(*it));
            it = out_.erase(it);
        } else {
            ++it;
        }
    }
    std::sort(due.begin(), due.end(), [](const Out& a, const Out& b) {
        return a.due != b.due ? a.due < b.due : a.order < b.order;
    });
    for (Out& o : due) {
        if (!o.answerOf.empty() && !o.resend && !outstanding_.empty()) {
            o.due = now + 10'000;
            out_.push_back(std::move(o));
            continue;
        }
        // An open's answer ends the session there was; the new one starts when the host has
        // acknowledged the answer (OnHostAck).
        if (!o.opensEmv.empty() && !o.resend) EndEmvSession(now);
        if (o.frame && !o.answerOf.empty()) {
            if (o.bytes != outstanding_) resends_ = 0;
            outstandingOpens_ = o.opensEmv;
            outstanding_ = o.bytes;
            outstandingId_ = o.answerOf;
            outstandingAt_ = o.requestAt;
            outstandingSince_ = now;
        }
        if (sim::Tracing()) sim::Trace("terminal> " + orn::sim::Describe(o.bytes));
        if (o.frame && o.bytes.size() > 3 && sim::Chance(faults_.split)) {
            // The line carries one byte after another: nothing the terminal says meanwhile
            // (an ACK, another frame) lands inside the frame, it waits for the rest.
            const size_t cut = 1 + sim::Choose(o.bytes.size() - 1);
            const uint32_t opens = port.opens;
            sim::TerminalWrite(o.bytes.data(), cut);
            platform::SleepMs(1 + static_cast<uint32_t>(sim::Choose(30)));
            if (port.opens == opens) sim::TerminalWrite(o.bytes.data() + cut, o.bytes.size() - cut);
        } else {
            sim::TerminalWrite(o.bytes.data(), o.bytes.size());
        }
    }
    // After the answers: data numbered anew by an open goes out after the open's answer.
    SendUnsolicitedEmv(now);
}

void Terminal::OnByte(uint8_t b) {
    switch (rx_) {
        case Rx::Idle:
            if (b == kStx || b == kSoh) {
                rx_ = Rx::InFrame;
                frame_.assign(1, b);
                lrc_ = b == kStx ? 0 : b;
            } else if (b == kEnq) {
                sim::Trace("terminal< ENQ");
                if (!sim::Chance(faults_.lostAck))
                    Schedule(sim::NowUs() + (sim::Chance(faults_.lateAck) ? Between(100, 1400) : 0),
                             {kAck}, "", false);
            } else if (b == kAck) {
                OnHostAck();
            } else if (b == kNak) {
                OnHostNak();
            }
            break;
        case Rx::InFrame:
            if (b == kStx || b == kSoh) {
                frame_.assign(1, b);
                lrc_ = b == kStx ? 0 : b;
                break;
            }
            frame_.push_back(b);
            lrc_ ^= b;
            if (b == kEtx || b == kEtb) rx_ = Rx::Lrc;
            break;
        case Rx::Lrc:
            frame_.push_back(b);
            rx_ = Rx::Idle;
            if ((lrc_ ^ b) == 0) {
                OnFrame(frame_);
            } else {
                sim::Trace("terminal< bad LRC");
                Schedule(sim::NowUs(), {kNak}, "", false);
            }
            break;
    }
}

void Terminal::OnHostAck() {
    sim::Trace("terminal< ACK");
    if (awaitEnqAnswer_) {
        awaitEnqAnswer_ = false;
        Schedule(sim::NowUs(), {kAck}, "", false);
        return;
    }
    if (!outstanding_.empty()) {
        answered_.emplace_back(outstandingId_, outstandingAt_);
        outstanding_.clear();
        if (!outstandingOpens_.empty()) {
            emvApp_ = outstandingOpens_;
            pushSeq_ = kFirstPushSeq;
            // The application often has something to say as soon as its session is open.
            if (faults_.unsolicitedEmv && sim::Chance(50))
                emvTimes_.push_back(sim::NowUs() + Between(0, 30));
        }
    }
}

void Terminal::OnHostNak() {
    sim::Trace("terminal< NAK");
    if (outstanding_.empty() || resends_ >= 3) return;
    ++resends_;
    std::vector<uint8_t> again(outstanding_.begin(), outstanding_.end() - 1);
    again.push_back(orn::sim::Lrc(again));  // a resend carries the right LRC
    Schedule(sim::NowUs(), std::move(again), outstandingId_, true, outstandingAt_);
    out_.back().resend = true;
    out_.back().opensEmv = outstandingOpens_;
}

void Terminal::OnFrame(const std::vector<uint8_t>& frame) {
    std::string id, payload;
    if (frame[0] == kStx) {
        const std::string body(frame.begin() + 1, frame.end() - 2);
        orn::sim::SplitMessage(body, id, payload, false);
    }
    if (sim::Tracing()) sim::Trace("terminal< " + orn::sim::Describe(frame));
    const uint64_t now = sim::NowUs();
    bool emvAck = false;
    int ackedPush = -1;
    if (id == "F1.") {
        const orn::sim::RequestFields fields(id, payload);
        emvAck = fields.Number("type") == 5;
        // Data messages carry consecutive sequence numbers; a frame sent again repeats its
        // number. (Session requests number themselves as they are made, not as they are sent.)
        const uint32_t type = fields.Number("type");
        if (type == 2 || type == 3) hostEmvSeq_ = -1;  // a session starts them again
        if (type == 3) EndEmvSession(now);
        if (type == 2) emvBreaks_.push_back(now);
        if (emvAck) ackedPush = static_cast<int>(fields.Number("seq"));
        if (!emvAck && type == 4 && !fields.Text("seq").empty()) {
            const int seq = static_cast<int>(fields.Number("seq"));
            if (hostEmvSeq_ >= 0 && seq != ((hostEmvSeq_ + 1) & 0xFF) && seq != hostEmvSeq_ &&
                violation_.empty())
                violation_ = "EMV sequence number " + std::to_string(seq) + " after " +
                             std::to_string(hostEmvSeq_);
            hostEmvSeq_ = seq;
        }
    }
    if (sim::Chance(faults_.nak)) {
        Schedule(now, {kNak}, "", false);
        return;
    }
    if (ackedPush >= 0) OnEmvAck(static_cast<uint8_t>(ackedPush));
    if (awaitEnqAnswer_) awaitEnqAnswer_ = false;  // any frame answers the enquiry
    uint64_t ackAt = now;
    if (!emvAck) {
        if (sim::Chance(faults_.lostAck)) {
            return;  // the frame never reached the terminal whole: no ACK, no answer
        } else {
            if (sim::Chance(faults_.lateAck)) {
                ackAt += Between(100, 1400);
            } else if (sim::Chance(faults_.staleAck)) {
                ackAt += Between(1600, 4000);
                ++staleAcks_;
            }
            Schedule(ackAt, {kAck}, "", false);
            if (sim::Chance(faults_.duplicateAck))
                Schedule(ackAt + Between(0, 50), {kAck}, "", false);
        }
    }
    if (id == "50." || id == "72") {
        // A cancel withdraws the answer that waited for the cardholder.
        out_.erase(std::remove_if(out_.begin(), out_.end(),
                                  [this](const Out& o) { return o.order == inputOrder_; }),
                   out_.end());
    }
    if (frame[0] != kStx) return;
    Answer(id, payload, ackAt);
}

void Terminal::Answer(const std::string& id, const std::string& payload, uint64_t ackAt) {
    std::string answer;
    const bool given = nextAnswer_ && id != "50.";
    if (given) {
        answer = std::move(*nextAnswer_);
        nextAnswer_.reset();
    } else if (!AnswerOf(id, payload, &answer)) {
        return;
    }
    const bool input = !given && WaitsForInput(id, payload);
    // The cardholder may take forever; the link's own faults are what may lose an answer.
    if (!input && sim::Chance(faults_.missingAnswer)) return;
    uint64_t at = ackAt + Between(0, 40);
    if (input) at += Between(50, 15000);
    if (sim::Chance(faults_.lateAnswer)) at += Between(7000, 12000);
    if (sim::Chance(faults_.joined)) at = ackAt;
    std::vector<uint8_t> bytes = orn::sim::BuildFrame(id, answer);
    if (sim::Chance(faults_.badLrc)) bytes.back() ^= 0x20;
    Schedule(at, std::move(bytes), id, true, sim::NowUs());
    if (input) inputOrder_ = order_ - 1;
    if (!given && id == "F1." && payload.size() >= 29 && payload[2] == 2) {
        // The session's name: 12 bytes after the source name, padded with zero bytes.
        const std::string name = payload.substr(17, 12);
        out_.back().opensEmv = name.substr(0, name.find('\0'));
    }
}

void Terminal::HostClosing() {
    emvBreaks_.push_back(sim::NowUs());
}

void Terminal::EndEmvSession(uint64_t now) {
    emvApp_.clear();
    pendingPush_ = -1;
    emvBreaks_.push_back(now);
}

// Data for the open session at the moments the seed chose, one message at a time; with no
// session open it goes to a name the host does not know, which it must drop.
void Terminal::SendUnsolicitedEmv(uint64_t now) {
    // Written at once rather than scheduled, so that the numbers go out in order.
    auto write = [this](int times) {
        for (int i = 0; i < times; ++i) {
            if (sim::Tracing()) sim::Trace("terminal> " + orn::sim::Describe(pendingBytes_));
            sim::TerminalWrite(pendingBytes_.data(), pendingBytes_.size());
        }
    };
    if (pendingPush_ >= 0 && now >= pendingSentAt_ + kPushResendUs) {
        sim::Trace("terminal: EMV data again");
        pendingSentAt_ = now;
        write(1);
    }
    for (uint64_t& at : emvTimes_) {
        if (at > now) continue;
        if (pendingPush_ >= 0 || (!outstanding_.empty() && !outstandingOpens_.empty())) {
            at = now + 100 * kMs;  // after the one awaiting its acknowledgement, or the open
            continue;
        }
        at = UINT64_MAX;
        if (!sim::Port().hostOpen) continue;
        const std::string app = emvApp_.empty() ? std::string("NOSUCHAP") : emvApp_;
        const uint32_t id = static_cast<uint32_t>(pushes_.size());
        std::string body = Byte(4) + Byte(pushSeq_) + Byte(1) + Byte(0) + app;
        body.resize(4 + 12 + 12, '\0');
        body += std::string(1, static_cast<char>(id >> 8)) + Byte(id & 0xFF) + "EMVDATA";
        const size_t length = body.size();
        const std::string payload =
            Byte(static_cast<int>(length >> 8)) + Byte(static_cast<int>(length & 0xFF)) + body;
        sim::Trace("terminal: EMV data " + std::to_string(id) + " sequence " +
                   std::to_string(pushSeq_) + " for " + app);
        pushes_.push_back(
            Push{pushSeq_, now, !emvApp_.empty() && orn::Engine().FindEmvSession(app.c_str())});
        pendingPush_ = static_cast<int>(id);
        pendingBytes_ = orn::sim::BuildFrame("F1.", payload);
        pendingSentAt_ = now;
        ++pushSeq_;
        // Sent twice: the host acknowledges both and hands the data on once.
        write(sim::Chance(faults_.duplicateAck) ? 2 : 1);
    }
    emvTimes_.erase(std::remove(emvTimes_.begin(), emvTimes_.end(), UINT64_MAX), emvTimes_.end());
}

void Terminal::OnEmvAck(uint8_t seq) {
    if (pendingPush_ < 0 || pushes_[pendingPush_].seq != seq) return;
    Push& push = pushes_[pendingPush_];
    pendingPush_ = -1;
    push.ackAt = sim::NowUs();
    push.sessionAtAck = !emvApp_.empty() && orn::Engine().FindEmvSession(emvApp_.c_str());
}

void Terminal::Delivered(const unsigned char* data, int length) {
    const uint32_t id = length >= 2 ? (uint32_t{data[0]} << 8) | data[1] : UINT32_MAX;
    if (id >= pushes_.size()) {
        if (violation_.empty()) violation_ = "EMV data delivered that the terminal never sent";
        return;
    }
    if (++pushes_[id].delivered > 1 && violation_.empty())
        violation_ = "EMV data message " + std::to_string(id) + " (sequence " +
                     std::to_string(pushes_[id].seq) + ") delivered twice";
}

std::string Terminal::Undelivered() const {
    for (size_t i = 0; i < pushes_.size(); ++i) {
        const Push& p = pushes_[i];
        if (!p.ackAt || !p.sessionAtSend || !p.sessionAtAck || p.delivered) continue;
        const bool broken = std::any_of(emvBreaks_.begin(), emvBreaks_.end(), [&p](uint64_t t) {
            return t >= p.sentAt && t <= p.ackAt + kDeliveryUs;
        });
        if (!broken)
            return "EMV data message " + std::to_string(i) + " (sequence " + std::to_string(p.seq) +
                   ") acknowledged for an open session but never delivered to it";
    }
    return "";
}

}  // namespace orn::dsim
