// Terminal simulator: receiver, scheduler of writes, handshake and faults over a wire (wire.h).
#include "sim.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "frame_reader.h"
#include "handshake.h"
#include "link/catalogue.h"
#include "listeners.h"
#include "request_fields.h"
#include "terminal.h"
#include "wire.h"

namespace orn::sim {

// A message by name and fields, for the trace.
static std::string DescribeMessage(LinkDirection direction, const std::string& message) {
    return catalogue::Describe(direction, reinterpret_cast<const uint8_t*>(message.data()),
                               message.size());
}

// ---- Simulator ---------------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

std::string ToUpper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The host's acknowledgement of an incoming EMV message: "F1." 00 02 05 sequence.
bool IsEmvAcknowledgement(const Frame& frame) {
    if (frame.start != kStx || frame.id != "F1." || frame.payload.size() != 4) return false;
    const RequestFields fields(frame.id, frame.payload);
    return fields.Message() == "EMV acknowledgement" && fields.Number("length") == 2;
}

// The key a reader channel's request also counts under: identifier, channel and function
// ("F0. 7 0D"); empty for other messages.
std::string ReaderStepKey(const std::string& id, const std::string& payload) {
    const std::string channel =
        catalogue::FieldText(LinkDirection::ToTerminal, id, payload, "channel");
    const std::string function =
        catalogue::FieldText(LinkDirection::ToTerminal, id, payload, "function");
    if (channel.size() != 1 || function.size() != 1) return {};
    return FrameStepKey(id, static_cast<unsigned char>(channel[0]),
                        static_cast<unsigned char>(function[0]));
}

// One pending write. Items are ordered by due time and, within one time, by scheduling order.
struct Item {
    std::vector<uint8_t> bytes;
    bool frame = false;      // chunking and LRC corruption apply
    bool expectAck = false;  // becomes the frame that a host NAK makes us resend
    bool resend = false;
    std::string tag;  // SendFrameLater's tag: DropScheduled removes the item before it is due
    // An answer's identifier and payload, kept so that a rewrite can rebuild the frame.
    std::string id;
    std::string payload;
};

}  // namespace

// Splits the stored bytes of a STX frame into identifier and payload. The quick cancel "72"
// is the one identifier without a dot.
void SplitMessage(const std::string& body, std::string& id, std::string& payload, bool eightBit) {
    size_t idLen = 3;
    if (body.size() >= 2 && body[0] == '7' && body[1] == '2' &&
        (body.size() == 2 || body[2] != '.'))
        idLen = 2;
    idLen = std::min(idLen, body.size());
    id = body.substr(0, idLen);
    payload = body.substr(idLen);
    if (IsBinaryId(id) && !eightBit) payload = DecodeP16(payload);
}

struct TerminalSimulator::Impl final : Wire::Link {
    Options opt;
    std::string error;
    std::unique_ptr<Wire> wire;  // the host's connection: pty or HID socket
    int wake[2] = {-1, -1};
    std::thread thread;

    // Everything below up to the I/O-thread section is guarded by `mu`.
    mutable std::mutex mu;
    mutable std::condition_variable changed;
    bool stop = false;
    Record rec;
    unsigned recordGeneration = 0;  // counts ClearRecord() calls
    std::map<std::string, Handler> handlers;
    PowerUp powerUp = PowerUp::EnqAck;
    bool hostOpen = false;
    FaultPlan faults;
    std::multimap<Clock::time_point, Item> scheduled;
    PowerUpHandshake handshake;
    std::vector<uint8_t> outstanding;  // last frame written that waits for the host's ACK
    int outstandingResends = 0;
    // When the ACK of the message whose handler is running is due; unset between handlers.
    std::optional<Clock::time_point> handlingAckTime;
    struct PendingRewrite {
        AnswerMatch match;
        Rewrite rewrite;
    };
    std::deque<PendingRewrite> rewrites;
    std::map<std::string, uint64_t> framesSeen;  // by upper-cased identifier

    bool unplugged = false;
    // The link and fault plan the observers were last told about.
    LinkView toldLink;
    FaultPlan toldFaults;

    // Unplug() and Replug() one at a time, whoever calls them.
    std::mutex plugMu;

    // The terminal model (its own lock) and who watches it.
    std::unique_ptr<TerminalModel> model = StartTerminal();
    Listeners<> observers;
    Listeners<const TraceEntry&> traceListeners;
    uint64_t traceSeq = 0;  // I/O thread only

    // I/O thread only.
    FrameReader reader;
    bool multiActive = false;
    std::string multiId;
    std::string multiPayload;

    void Trace(const std::string& line) {
        if (opt.trace) opt.trace(line);
    }

    LinkView LinkLocked() const {
        LinkView link;
        link.hostOpen = hostOpen;
        link.powerUp = handshake.Active();
        link.unplugged = unplugged;
        link.connected = hostOpen && !unplugged && !link.powerUp;
        return link;
    }
    // Tells the observers when the link or the fault plan changed since they were last told.
    // Called without `mu` held.
    void NotifyIfChanged() {
        {
            std::lock_guard<std::mutex> lock(mu);
            const LinkView link = LinkLocked();
            const bool same = link.hostOpen == toldLink.hostOpen &&
                              link.connected == toldLink.connected &&
                              link.powerUp == toldLink.powerUp &&
                              link.unplugged == toldLink.unplugged && faults == toldFaults;
            if (same) return;
            toldLink = link;
            toldFaults = faults;
        }
        observers.Call();
    }
    // A frame about to be written, for the trace listeners.
    void TraceWritten(const Item& item) {
        if (traceListeners.Empty() || item.bytes.size() < 3) return;
        if (!item.id.empty()) return TraceFrame(true, item.id, item.payload, Reply::None);
        std::string id, payload;
        const std::string body(item.bytes.begin() + 1, item.bytes.end() - 2);
        if (item.bytes.front() == kStx) {
            SplitMessage(body, id, payload, EightBit());
        } else {
            payload = body;
        }
        TraceFrame(true, id, payload, Reply::None);
    }
    // A frame as a trace entry for the listeners (I/O thread).
    void TraceFrame(bool fromTerminal, const std::string& id, const std::string& payload,
                    Reply reply) {
        if (traceListeners.Empty()) return;
        TraceEntry entry = MakeTraceEntry(fromTerminal, id, payload);
        entry.seq = ++traceSeq;
        entry.reply = reply;
        traceListeners.Call(entry);
    }
    void Wake() {
        char c = 1;
        ssize_t n = ::write(wake[1], &c, 1);
        (void)n;  // a full pipe already guarantees a wake-up
    }

    // ---- scheduling (callers hold mu) ----
    void ScheduleLocked(Clock::time_point due, Item item) {
        if (!hostOpen) return;  // bytes left in a closed pty would greet the next opener
        scheduled.emplace(due, std::move(item));
    }
    void ScheduleControlLocked(Clock::time_point due, uint8_t byte) {
        Item item;
        item.bytes = {byte};
        ScheduleLocked(due, std::move(item));
    }
    void ScheduleFrameLocked(Clock::time_point due, std::vector<uint8_t> frame) {
        Item item;
        item.bytes = std::move(frame);
        item.frame = true;
        item.expectAck = true;
        ScheduleLocked(due, std::move(item));
    }
    // An answer frame: kept with its identifier and payload for rewrites.
    void ScheduleAnswerLocked(Clock::time_point due, const std::string& id, std::string payload,
                              const std::string& tag = {}) {
        Item item;
        item.bytes = MakeFrame(id, payload);
        item.frame = true;
        item.expectAck = true;
        item.tag = tag;
        item.id = id;
        item.payload = std::move(payload);
        ScheduleLocked(due, std::move(item));
    }
    // Passes an answer through the first pending rewrite that wants it; false: send nothing.
    bool RewriteLocked(const std::string& id, std::string& payload) {
        for (auto it = rewrites.begin(); it != rewrites.end(); ++it) {
            if (!it->match(id, payload)) continue;
            std::optional<std::string> out = it->rewrite(payload);
            rewrites.erase(it);
            if (!out) return false;
            payload = std::move(*out);
            return true;
        }
        return true;
    }
    void SendEnqLocked(Clock::time_point now) {
        ScheduleControlLocked(now, kEnq);
        ++rec.enqsSent;
    }
    void CompleteHandshakeLocked() {
        handshake.Stop();
        ++rec.handshakes;
    }

    // ---- host open / close ----
    void OnHostOpen() override {
        {
            std::lock_guard<std::mutex> lock(mu);
            hostOpen = true;
            ++rec.hostOpens;
            if (powerUp != PowerUp::None && !faults.silent)
                handshake.Start(powerUp,
                                Clock::now() + std::chrono::milliseconds(opt.powerUpDelayMs));
        }
        changed.notify_all();
        reader.Reset();
        multiActive = false;
        Trace("host opened the port");
    }
    void OnHostClose() override {
        {
            std::lock_guard<std::mutex> lock(mu);
            hostOpen = false;
            ++rec.hostCloses;
            scheduled.clear();
            handshake.Stop();
            outstanding.clear();
        }
        changed.notify_all();
        reader.Reset();
        multiActive = false;
        Trace("host closed the port");
    }
    // ---- receiver ----
    void OnBytes(const uint8_t* data, size_t n) override {
        {
            std::lock_guard<std::mutex> lock(mu);
            if (opt.recordTraffic) rec.rx.insert(rec.rx.end(), data, data + n);
        }
        Trace("RX " + Describe(std::vector<uint8_t>(data, data + n)));
        for (size_t i = 0; i < n; ++i) OnByte(data[i]);
        changed.notify_all();
    }

    void OnByte(uint8_t b) {
        switch (reader.Take(b, EightBit())) {
            case FrameReader::Event::None:
                break;
            case FrameReader::Event::Enq:
                OnHostEnq();
                break;
            case FrameReader::Event::Ack:
                OnHostAck();
                break;
            case FrameReader::Event::Nak:
                OnHostNak();
                break;
            case FrameReader::Event::Frame:
                OnGoodFrame(reader.frame());
                break;
            case FrameReader::Event::BadFrame:
                OnBadFrame();
                break;
        }
    }

    bool EightBit() const { return !opt.hidPath.empty(); }
    std::vector<uint8_t> MakeFrame(const std::string& id, const std::string& payload) const {
        return EightBit() ? BuildRawFrame(id + payload) : BuildFrame(id, payload);
    }

    void OnBadFrame() {
        bool answer;
        {
            std::lock_guard<std::mutex> lock(mu);
            ++rec.badFrames;
            answer = !faults.silent;
            if (answer) ScheduleControlLocked(Clock::now(), kNak);
        }
        Trace("bad LRC, frame dropped");
    }

    void OnHostEnq() {
        std::lock_guard<std::mutex> lock(mu);
        ++rec.linkTests;
        if (faults.silent) return;
        if (faults.ackMode == AckMode::Withhold) return;
        if (faults.withholdNext > 0) {
            --faults.withholdNext;
            return;
        }
        ScheduleControlLocked(Clock::now() + std::chrono::milliseconds(faults.ackDelayMs), kAck);
    }

    void OnHostAck() {
        std::lock_guard<std::mutex> lock(mu);
        ++rec.hostAcks;
        const auto now = Clock::now();
        switch (handshake.OnHostAck(now, opt.enqRetryMs)) {
            case PowerUpHandshake::Answer::NotAwaited:
                break;
            case PowerUpHandshake::Answer::AskAgain:
                SendEnqLocked(now);
                return;
            case PowerUpHandshake::Answer::Acknowledge:
                ScheduleControlLocked(now, kAck);
                ++rec.handshakes;
                return;
            case PowerUpHandshake::Answer::Complete:
                ++rec.handshakes;
                return;
        }
        outstanding.clear();
        changed.notify_all();  // ClearRecord() may be waiting for this ACK
    }

    void OnHostNak() {
        std::lock_guard<std::mutex> lock(mu);
        ++rec.hostNaks;
        if (outstanding.empty() || outstandingResends <= 0 || faults.silent) return;
        --outstandingResends;
        ++rec.resends;
        Item item;
        item.bytes = outstanding;
        item.frame = true;
        item.expectAck = true;
        item.resend = true;
        ScheduleLocked(Clock::now(), std::move(item));
    }

    void OnGoodFrame(const std::vector<uint8_t>& raw) {
        Frame frame;
        frame.start = raw.front();
        frame.end = raw[raw.size() - 2];
        frame.raw = raw;
        std::string body(raw.begin() + 1, raw.end() - 2);
        if (frame.start == kStx) {
            SplitMessage(body, frame.id, frame.payload, EightBit());
        } else {
            frame.payload = body;  // continuation block: no identifier
        }

        bool respond = false;
        Clock::time_point ackTime;
        {
            std::lock_guard<std::mutex> lock(mu);
            auto now = Clock::now();
            ackTime = now + std::chrono::milliseconds(faults.ackDelayMs);
            if (faults.silent) {
                frame.reply = Reply::None;
            } else if (faults.nakNext > 0) {
                --faults.nakNext;
                frame.reply = Reply::Nak;
                ScheduleControlLocked(now, kNak);
            } else if (faults.ackMode == AckMode::Withhold) {
                frame.reply = Reply::None;
                respond = faults.withholdRespond;
            } else if (faults.withholdNext > 0) {
                --faults.withholdNext;
                frame.reply = Reply::None;
                respond = faults.withholdNextRespond;
            } else if (IsEmvAcknowledgement(frame)) {
                // An acknowledgement is not acknowledged again: a link ACK here would reach the
                // host while one of its commands may be waiting for the ACK of its own frame.
                frame.reply = Reply::None;
                respond = true;
            } else {
                frame.reply = Reply::Ack;
                respond = true;
                ScheduleControlLocked(ackTime, kAck);
            }
            // Any frame that the host sends while its enquiry answer is awaited (in practice the
            // cancel frame of a host in quick-cancel mode) answers the enquiry; our ACK of it
            // completes the handshake.
            if (handshake.Awaiting() && frame.reply == Reply::Ack) CompleteHandshakeLocked();
            if (opt.recordTraffic) rec.frames.push_back(frame);
        }
        TraceFrame(false, frame.id, frame.payload, frame.reply);
        if (opt.trace)
            Trace("frame " +
                  (frame.id.empty()
                       ? std::string("(block)")
                       : DescribeMessage(LinkDirection::ToTerminal, frame.id + frame.payload)) +
                  (frame.reply == Reply::Ack   ? " ACK"
                   : frame.reply == Reply::Nak ? " NAK"
                                               : " unanswered"));
        // Frames the terminal took (not the NAKed ones, which come again) count once handled:
        // whoever waits for one may then act on what its handler left (a swipe request
        // waiting, an answer held back).
        struct CountWhenDone {
            Impl& d;
            std::string id;
            std::string step;
            ~CountWhenDone() {
                if (id.empty()) return;
                {
                    std::lock_guard<std::mutex> lock(d.mu);
                    ++d.framesSeen[id];
                    if (!step.empty()) ++d.framesSeen[step];
                }
                d.changed.notify_all();
            }
        } count{*this,
                frame.start == kStx && (frame.reply == Reply::Ack || respond) ? ToUpper(frame.id)
                                                                              : std::string(),
                ReaderStepKey(frame.id, frame.payload)};
        if (!respond) return;

        // Multi-block messages reach the handler once, when their last block has come.
        Request req;
        req.raw = frame.raw;
        if (frame.start == kStx) {
            multiActive = frame.end == kEtb;
            if (multiActive) {
                multiId = frame.id;
                multiPayload = frame.payload;
                return;
            }
            req.id = frame.id;
            req.payload = frame.payload;
        } else {
            if (!multiActive) return;
            multiPayload += frame.payload;
            if (frame.end == kEtb) return;
            multiActive = false;
            req.id = multiId;
            req.payload = std::move(multiPayload);
            multiPayload.clear();
        }

        Handler handler;
        int responseDelay;
        {
            std::lock_guard<std::mutex> lock(mu);
            auto it = handlers.find(req.id);
            if (it == handlers.end()) it = handlers.find(ToUpper(req.id));
            if (it == handlers.end()) return;
            handler = it->second;
            responseDelay = faults.responseDelayMs;
            handlingAckTime = ackTime;
        }
        std::optional<std::string> answer = handler(req);
        std::string sent;  // what goes on the wire, after a rewrite, for the trace
        {
            std::lock_guard<std::mutex> lock(mu);
            handlingAckTime.reset();
            if (!answer) return;
            if (faults.silent) return;
            if (!RewriteLocked(req.id, *answer)) answer.reset();
            if (answer) {
                if (opt.trace) sent = req.id + *answer;
                ScheduleAnswerLocked(ackTime + std::chrono::milliseconds(responseDelay), req.id,
                                     std::move(*answer));
            }
        }
        if (!opt.trace) return;
        Trace(sent.empty() ? "answer to " + req.id + " withheld"
                           : "answer " + DescribeMessage(LinkDirection::FromTerminal, sent));
    }

    // ---- writing ----
    // Writes everything that is due; returns when nothing more is.
    void RunDue() {
        for (;;) {
            std::vector<Item> due;
            size_t chunk;
            int gap;
            bool join;
            {
                std::lock_guard<std::mutex> lock(mu);
                auto now = Clock::now();
                while (!scheduled.empty() && scheduled.begin()->first <= now) {
                    due.push_back(std::move(scheduled.begin()->second));
                    scheduled.erase(scheduled.begin());
                }
                if (due.empty()) return;
                for (Item& item : due) {
                    if (!item.frame) continue;
                    if (item.expectAck) {
                        if (!item.resend) outstandingResends = opt.maxResends;
                        outstanding = item.bytes;
                    }
                    if (faults.corruptNext > 0) {
                        --faults.corruptNext;
                        item.bytes.back() ^= 0xFF;
                    }
                }
                chunk = faults.chunkSize;
                gap = faults.chunkGapMs;
                join = faults.coalesce;
            }
            for (const Item& item : due) {
                if (item.frame) TraceWritten(item);
                // The answer to a prompt ends the terminal's wait for the cardholder.
                if (!item.id.empty()) model->EndInput(item.id);
            }
            if (join) {
                Item all;
                for (Item& item : due) {
                    all.bytes.insert(all.bytes.end(), item.bytes.begin(), item.bytes.end());
                    all.frame = all.frame || item.frame;
                }
                due.assign(1, std::move(all));
            }
            for (const Item& item : due) {
                if (item.frame && chunk > 0) {
                    for (size_t at = 0; at < item.bytes.size(); at += chunk) {
                        if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gap));
                        size_t len = std::min(chunk, item.bytes.size() - at);
                        WriteOnce(item.bytes.data() + at, len);
                    }
                } else {
                    WriteOnce(item.bytes.data(), item.bytes.size());
                }
            }
        }
    }

    // One logical write; the wire drops what the host does not take in time.
    // The bytes enter the record before they are written, so whatever the host has read is
    // already in the record when it looks.
    void WriteOnce(const uint8_t* data, size_t n) {
        unsigned generation;
        {
            std::lock_guard<std::mutex> lock(mu);
            if (opt.recordTraffic) {
                rec.tx.insert(rec.tx.end(), data, data + n);
                rec.txWrites.push_back(n);
            }
            generation = recordGeneration;
        }
        changed.notify_all();
        Trace("TX " + Describe(std::vector<uint8_t>(data, data + n)));
        const size_t done = wire->Write(data, n);
        if (done == n) return;
        {
            // Only this thread appends to tx, so the tail is still ours unless it was cleared.
            std::lock_guard<std::mutex> lock(mu);
            if (opt.recordTraffic && generation == recordGeneration) {
                rec.tx.resize(rec.tx.size() - (n - done));
                if (done > 0) {
                    rec.txWrites.back() = done;
                } else {
                    rec.txWrites.pop_back();
                }
            }
        }
        Trace("TX stalled: " + std::to_string(n - done) + " bytes dropped (host not reading)");
    }

    // ---- handshake timers ----
    void RunHandshake() {
        std::lock_guard<std::mutex> lock(mu);
        auto now = Clock::now();
        if (!handshake.Due(now)) return;
        if (!hostOpen || faults.silent) {
            handshake.Stop();
            return;
        }
        if (handshake.NextEnquiry(now, opt.enqRetryMs, opt.enqRetries)) SendEnqLocked(now);
    }

    bool HostOpen() override {
        std::lock_guard<std::mutex> lock(mu);
        return hostOpen;
    }

    int TimeoutMs() override {
        std::lock_guard<std::mutex> lock(mu);
        auto now = Clock::now();
        auto next = now + std::chrono::milliseconds(1000);
        if (!scheduled.empty()) next = std::min(next, scheduled.begin()->first);
        if (handshake.Active()) next = std::min(next, handshake.Deadline());
        if (next <= now) return 0;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
        return static_cast<int>(ms) + 1;  // +1: do not wake just before the deadline
    }

    void Run() {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mu);
                if (stop) return;
            }
            wire->Wait(wake[0], *this);
            RunHandshake();
            RunDue();
            NotifyIfChanged();
        }
    }

    bool Open() {
        wire = opt.hidPath.empty() ? MakePtyWire(opt.linkDir, opt.portName, opt.watchOpens)
                                   : MakeHidWire(opt.hidPath, opt.hidReportLength);
        return OpenWake() && wire->Open(error);
    }

    bool OpenWake() {
        if (::pipe(wake) != 0) {
            error = "cannot create the wake pipe";
            return false;
        }
        for (int fd : wake) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
        return true;
    }

    void Close() {
        if (wire) wire->Close();
        for (int* fd : {&wake[0], &wake[1]}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }

    void StartThread() {
        thread = std::thread([this] { Run(); });
    }
};

TerminalSimulator::TerminalSimulator(Options options) : impl_(std::make_unique<Impl>()) {
    impl_->opt = std::move(options);
    impl_->powerUp = impl_->opt.powerUp;
    impl_->model->SetChangeHook([d = impl_.get()] { d->observers.Call(); });
    if (impl_->opt.answers) impl_->opt.answers(*this);
    if (!impl_->Open()) {
        impl_->Close();
        return;
    }
    impl_->StartThread();
}

TerminalSimulator::~TerminalSimulator() {
    Stop();
    impl_->Close();
    StopTerminal(impl_->model.get());
    impl_->model->SetChangeHook({});
}

bool TerminalSimulator::ok() const {
    return impl_->error.empty();
}
const std::string& TerminalSimulator::error() const {
    return impl_->error;
}
const std::string& TerminalSimulator::slavePath() const {
    return impl_->wire->Path();
}
const std::string& TerminalSimulator::linkPath() const {
    return impl_->wire->LinkPath();
}

void TerminalSimulator::Stop() {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->stop = true;
    }
    if (impl_->wake[1] >= 0) impl_->Wake();
    if (impl_->thread.joinable()) impl_->thread.join();
}

void TerminalSimulator::SetHandler(const std::string& id, Handler handler) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (handler) {
        impl_->handlers[id] = std::move(handler);
    } else {
        impl_->handlers.erase(id);
    }
}

TerminalSimulator::Handler TerminalSimulator::GetHandler(const std::string& id) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->handlers.find(id);
    return it != impl_->handlers.end() ? it->second : Handler();
}

void TerminalSimulator::SetPowerUp(PowerUp mode) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->powerUp = mode;
}

void TerminalSimulator::TriggerPowerUp() {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->handshake.Start(impl_->powerUp, Clock::now());
    }
    impl_->Wake();
}

void TerminalSimulator::SetSilent(bool silent) {
    ChangeFaults([&](FaultPlan& plan) { plan.silent = silent; });
}

void TerminalSimulator::Unplug() {
    std::lock_guard<std::mutex> plug(impl_->plugMu);
    Stop();
    impl_->wire->Close();
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        if (impl_->hostOpen) ++impl_->rec.hostCloses;
        impl_->hostOpen = false;
        impl_->unplugged = true;
        impl_->scheduled.clear();
        impl_->handshake.Stop();
        impl_->outstanding.clear();
    }
    impl_->changed.notify_all();
    impl_->NotifyIfChanged();
    if (impl_->opt.onPlug) impl_->opt.onPlug(false);
}

bool TerminalSimulator::Replug() {
    std::lock_guard<std::mutex> plug(impl_->plugMu);
    Impl& d = *impl_;
    if (d.wake[0] < 0) return false;    // never came up
    if (d.wire->IsOpen()) return true;  // plugged in
    if (d.thread.joinable()) d.thread.join();
    d.reader.Reset();
    d.multiActive = false;
    if (!d.wire->Open(d.error)) {
        d.wire->Close();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(d.mu);
        d.stop = false;
        d.unplugged = false;
    }
    d.NotifyIfChanged();
    d.StartThread();
    if (d.opt.onPlug) d.opt.onPlug(true);
    return true;
}

void TerminalSimulator::PowerCycle() {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->scheduled.clear();
        impl_->outstanding.clear();
        if (impl_->hostOpen && !impl_->faults.silent)
            impl_->handshake.Start(impl_->powerUp, Clock::now() + std::chrono::milliseconds(
                                                                      impl_->opt.powerUpDelayMs));
    }
    impl_->Wake();
}

TerminalModel& TerminalSimulator::Terminal() const {
    return *impl_->model;
}

ScreenState TerminalSimulator::Screen() const {
    ScreenState screen = impl_->model->Screen();
    std::lock_guard<std::mutex> lock(impl_->mu);
    screen.link = impl_->LinkLocked();
    screen.faults = impl_->faults;
    return screen;
}

int TerminalSimulator::AddObserver(std::function<void()> observer) {
    return impl_->observers.Add(std::move(observer));
}

void TerminalSimulator::RemoveObserver(int id) {
    impl_->observers.Remove(id);
}

int TerminalSimulator::AddTraceListener(std::function<void(const TraceEntry&)> listener) {
    return impl_->traceListeners.Add(std::move(listener));
}

void TerminalSimulator::RemoveTraceListener(int id) {
    impl_->traceListeners.Remove(id);
}

bool TerminalSimulator::IsHostOpen() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->hostOpen;
}

void TerminalSimulator::NakNextFrames(int count) {
    ChangeFaults([&](FaultPlan& plan) { plan.nakNext = count; });
}

void TerminalSimulator::SetAckMode(AckMode mode, bool respond) {
    ChangeFaults([&](FaultPlan& plan) {
        plan.ackMode = mode;
        plan.withholdRespond = respond;
    });
}

void TerminalSimulator::WithholdNextAcks(int count, bool respond) {
    ChangeFaults([&](FaultPlan& plan) {
        plan.withholdNext = count;
        plan.withholdNextRespond = respond;
    });
}

void TerminalSimulator::SetAckDelay(int ms) {
    ChangeFaults([&](FaultPlan& plan) { plan.ackDelayMs = ms; });
}

void TerminalSimulator::SetResponseDelay(int ms) {
    ChangeFaults([&](FaultPlan& plan) { plan.responseDelayMs = ms; });
}

void TerminalSimulator::CorruptNextFrames(int count) {
    ChangeFaults([&](FaultPlan& plan) { plan.corruptNext = count; });
}

void TerminalSimulator::SetChunking(size_t chunkSize, int gapMs) {
    ChangeFaults([&](FaultPlan& plan) {
        plan.chunkSize = chunkSize;
        plan.chunkGapMs = gapMs;
    });
}

void TerminalSimulator::SetCoalesce(bool coalesce) {
    ChangeFaults([&](FaultPlan& plan) { plan.coalesce = coalesce; });
}

FaultPlan TerminalSimulator::Faults() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->faults;
}

void TerminalSimulator::SetFaults(const FaultPlan& plan) {
    ChangeFaults([&](FaultPlan& current) { current = plan; });
}

void TerminalSimulator::ChangeFaults(const std::function<void(FaultPlan&)>& change) {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        FaultPlan& plan = impl_->faults;
        const bool wasSilent = plan.silent;
        change(plan);
        plan.ackDelayMs = std::max(0, plan.ackDelayMs);
        plan.responseDelayMs = std::max(0, plan.responseDelayMs);
        plan.chunkGapMs = std::max(0, plan.chunkGapMs);
        // A silent terminal drops what it was about to send.
        if (plan.silent && !wasSilent) impl_->scheduled.clear();
    }
    impl_->NotifyIfChanged();
}

void TerminalSimulator::SendRaw(const std::vector<uint8_t>& bytes) {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        Item item;
        item.bytes = bytes;
        impl_->ScheduleLocked(Clock::now(), std::move(item));
    }
    impl_->Wake();
}

void TerminalSimulator::SendFrame(const std::string& id, const std::string& payload) {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->ScheduleFrameLocked(Clock::now(), impl_->MakeFrame(id, payload));
    }
    impl_->Wake();
}

void TerminalSimulator::SendFrameLater(const std::string& id, const std::string& payload,
                                       int delayMs, const std::string& tag) {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        if (impl_->faults.silent) return;
        auto now = Clock::now();
        Clock::time_point from = std::max(now, impl_->handlingAckTime.value_or(now));
        std::string answer = payload;
        if (!impl_->RewriteLocked(id, answer)) return;
        impl_->ScheduleAnswerLocked(
            from + std::chrono::milliseconds(impl_->faults.responseDelayMs + std::max(0, delayMs)),
            id, std::move(answer), tag);
    }
    impl_->Wake();
}

int TerminalSimulator::DropScheduled(const std::string& tag) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    int dropped = 0;
    for (auto it = impl_->scheduled.begin(); it != impl_->scheduled.end();) {
        if (!tag.empty() && it->second.tag == tag) {
            it = impl_->scheduled.erase(it);
            ++dropped;
        } else {
            ++it;
        }
    }
    return dropped;
}

void TerminalSimulator::SendEnq() {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        if (impl_->hostOpen) impl_->SendEnqLocked(Clock::now());
    }
    impl_->Wake();
}

void TerminalSimulator::RewriteNextAnswer(AnswerMatch match, Rewrite rewrite, bool heldNow) {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        auto& scheduled = impl_->scheduled;
        auto held = std::find_if(scheduled.begin(), scheduled.end(), [&](const auto& entry) {
            return heldNow && !entry.second.tag.empty() && !entry.second.id.empty() &&
                   match(entry.second.id, entry.second.payload);
        });
        if (held == scheduled.end()) {
            impl_->rewrites.push_back({std::move(match), std::move(rewrite)});
            return;
        }
        Item item = std::move(held->second);
        scheduled.erase(held);
        std::optional<std::string> out = rewrite(item.payload);
        if (out) impl_->ScheduleAnswerLocked(Clock::now(), item.id, std::move(*out));
    }
    impl_->Wake();
}

uint64_t TerminalSimulator::FramesSeen(const std::string& id) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->framesSeen.find(ToUpper(id));
    return it == impl_->framesSeen.end() ? 0 : it->second;
}

bool TerminalSimulator::WaitForFramesSeen(const std::string& id, uint64_t count, int ms) const {
    const std::string key = ToUpper(id);
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        auto it = impl_->framesSeen.find(key);
        return it != impl_->framesSeen.end() && it->second >= count;
    });
}

Record TerminalSimulator::Snapshot() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->rec;
}

void TerminalSimulator::ClearRecord() {
    std::unique_lock<std::mutex> lock(impl_->mu);
    // A host acknowledges a response just before its call returns, so that ACK can still be in
    // flight here. Wait for it (briefly: a frame the host rejects stays unacknowledged) so that
    // it does not show up as traffic of whatever the caller does next.
    impl_->changed.wait_for(lock, std::chrono::seconds(1),
                            [&] { return impl_->outstanding.empty() || !impl_->hostOpen; });
    impl_->rec = Record();
    ++impl_->recordGeneration;
}

bool TerminalSimulator::WaitFor(const std::function<bool(const Record&)>& predicate, int ms) const {
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(ms),
                                   [&] { return predicate(impl_->rec); });
}

bool TerminalSimulator::WaitForFrames(size_t count, int ms) const {
    return WaitFor([count](const Record& r) { return r.frames.size() >= count; }, ms);
}

bool TerminalSimulator::WaitForRaw(
    const std::function<bool(const std::vector<uint8_t>&)>& predicate, int ms) const {
    return WaitFor([&](const Record& r) { return predicate(r.rx); }, ms);
}

bool TerminalSimulator::WaitForHostOpen(int ms) const {
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(ms),
                                   [&] { return impl_->hostOpen; });
}

bool TerminalSimulator::WaitForHandshakes(int count, int ms) const {
    return WaitFor([count](const Record& r) { return r.handshakes >= count; }, ms);
}

}  // namespace orn::sim
