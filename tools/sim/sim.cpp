// Terminal simulator: the public API, the receiver's hand-off to handlers and the record, over
// a wire (wire.h) and a link state (link_state.h).
#include "sim.h"

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
#include "link/catalogue.h"
#include "link_state.h"
#include "listeners.h"
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
using Item = LinkState::Item;

std::string ToUpper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
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

}  // namespace

struct TerminalSimulator::Impl final : Wire::Link {
    Options opt;
    std::string error;
    std::unique_ptr<Wire> wire;  // the host's connection: pty or HID socket
    WakePipe wake;
    std::thread thread;

    // Everything below up to the I/O-thread section is guarded by `mu`.
    mutable std::mutex mu;
    mutable std::condition_variable changed;
    bool stop = false;
    Record rec;
    unsigned recordGeneration = 0;  // counts ClearRecord() calls
    std::map<std::string, Handler> handlers;
    LinkState link{opt, rec};
    struct PendingRewrite {
        AnswerMatch match;
        Rewrite rewrite;
    };
    std::deque<PendingRewrite> rewrites;
    std::map<std::string, uint64_t> framesSeen;  // by upper-cased identifier

    // The link and fault plan the observers were last told about.
    LinkView toldLink;
    FaultPlan toldFaults;

    // Stop(), Unplug() and Replug() one at a time, whoever calls them; a stopped simulator is
    // never plugged in again.
    std::mutex plugMu;
    bool stopped = false;  // guarded by plugMu

    // The terminal model (its own lock) and who watches it.
    std::shared_ptr<TerminalModel> model = StartTerminal();
    Listeners<> observers;
    Listeners<const TraceEntry&> traceListeners;
    uint64_t traceSeq = 0;  // I/O thread only

    // I/O thread only.
    FrameReader reader;
    MessageJoiner joiner;

    void Trace(const std::string& line) {
        if (opt.trace) opt.trace(line);
    }

    // Tells the observers when the link or the fault plan changed since they were last told.
    // Called without `mu` held.
    void NotifyIfChanged() {
        {
            std::lock_guard<std::mutex> lock(mu);
            const LinkView view = link.View();
            const bool same = view.hostOpen == toldLink.hostOpen &&
                              view.connected == toldLink.connected &&
                              view.powerUp == toldLink.powerUp &&
                              view.unplugged == toldLink.unplugged && link.Faults() == toldFaults;
            if (same) return;
            toldLink = view;
            toldFaults = link.Faults();
        }
        observers.Call();
    }
    // A frame about to be written, for the trace listeners.
    void TraceWritten(const Item& item) {
        if (traceListeners.Empty() || item.bytes.size() < 3) return;
        if (!item.id.empty()) return TraceFrame(true, item.id, item.payload, Reply::None);
        const Frame frame = ParseFrame(item.bytes, EightBit());
        TraceFrame(true, frame.id, frame.payload, Reply::None);
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
    void Wake() { wake.Wake(); }

    // Ends the I/O thread (the caller holds plugMu).
    void StopThread() {
        {
            std::lock_guard<std::mutex> lock(mu);
            stop = true;
        }
        Wake();
        if (thread.joinable()) thread.join();
    }

    // Passes an answer through the first pending rewrite that wants it; false: send nothing.
    // Caller holds mu.
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

    // ---- host open / close ----
    void OnHostOpen() override {
        {
            std::lock_guard<std::mutex> lock(mu);
            link.HostOpened(Clock::now());
        }
        changed.notify_all();
        ResetReceiver();
        Trace("host opened the port");
    }
    void OnHostClose() override {
        {
            std::lock_guard<std::mutex> lock(mu);
            link.HostClosed(false);
        }
        changed.notify_all();
        ResetReceiver();
        Trace("host closed the port");
    }
    // ---- receiver ----
    // Forgets a frame or message in progress (the host closed or opened the port).
    void ResetReceiver() {
        reader.Reset();
        joiner.Reset();
    }
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
        const FrameReader::Event event = reader.Take(b, EightBit());
        if (event == FrameReader::Event::None) return;
        if (event == FrameReader::Event::Frame) return OnGoodFrame(reader.frame());
        {
            std::lock_guard<std::mutex> lock(mu);
            const auto now = Clock::now();
            switch (event) {
                case FrameReader::Event::Enq:
                    link.OnHostEnq(now);
                    break;
                case FrameReader::Event::Ack:
                    // ClearRecord() may be waiting for the ACK of the outstanding frame.
                    if (link.OnHostAck(now)) changed.notify_all();
                    break;
                case FrameReader::Event::Nak:
                    link.OnHostNak(now);
                    break;
                default:
                    link.OnBadFrame();
                    break;
            }
        }
        if (event == FrameReader::Event::BadFrame) Trace("bad LRC, frame dropped");
    }

    bool EightBit() const { return !opt.hidPath.empty(); }

    void OnGoodFrame(const std::vector<uint8_t>& raw) {
        Frame frame = ParseFrame(raw, EightBit());
        LinkState::FrameAnswer reply;
        {
            std::lock_guard<std::mutex> lock(mu);
            reply = link.AnswerFrame(frame, Clock::now());
            frame.reply = reply.reply;
            if (opt.recordTraffic) rec.frames.push_back(frame);
        }
        const bool respond = reply.respond;
        const Clock::time_point ackTime = reply.ackTime;
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

        Request req;
        if (!joiner.Take(frame, req)) return;

        Handler handler;
        int responseDelay;
        {
            std::lock_guard<std::mutex> lock(mu);
            auto it = handlers.find(req.id);
            if (it == handlers.end()) it = handlers.find(ToUpper(req.id));
            if (it == handlers.end()) return;
            handler = it->second;
            responseDelay = link.Faults().responseDelayMs;
            link.BeginHandling(ackTime);
        }
        std::optional<std::string> answer = handler(req);
        std::string sent;  // what goes on the wire, after a rewrite, for the trace
        {
            std::lock_guard<std::mutex> lock(mu);
            link.EndHandling();
            if (!answer) return;
            if (link.Faults().silent) return;
            if (!RewriteLocked(req.id, *answer)) answer.reset();
            if (answer) {
                if (opt.trace) sent = req.id + *answer;
                link.ScheduleAnswer(ackTime + std::chrono::milliseconds(responseDelay), req.id,
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
        LinkState::Batch batch;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mu);
                if (!link.TakeDue(Clock::now(), batch)) return;
            }
            for (const Item& item : batch.items) {
                if (item.frame) TraceWritten(item);
                // The answer to a prompt ends the terminal's wait for the cardholder.
                if (!item.id.empty()) model->EndInput(item.id);
            }
            LinkState::Write(batch, [this](const uint8_t* data, size_t n) { WriteOnce(data, n); });
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

    // ---- timers ----
    void RunHandshake() {
        std::lock_guard<std::mutex> lock(mu);
        link.RunHandshake(Clock::now());
    }

    bool HostOpen() override {
        std::lock_guard<std::mutex> lock(mu);
        return link.HostOpen();
    }

    int TimeoutMs() override {
        std::lock_guard<std::mutex> lock(mu);
        return link.TimeoutMs(Clock::now());
    }

    void Run() {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mu);
                if (stop) return;
            }
            wire->Wait(wake.ReadFd(), *this);
            RunHandshake();
            RunDue();
            NotifyIfChanged();
        }
    }

    bool Open() {
        wire = opt.hidPath.empty() ? MakePtyWire(opt.linkDir, opt.portName, opt.watchOpens)
                                   : MakeHidWire(opt.hidPath, opt.hidReportLength);
        return wake.Open(error) && wire->Open(error);
    }

    void Close() {
        if (wire) wire->Close();
        wake.Close();
    }

    void StartThread() {
        thread = std::thread([this] { Run(); });
    }
};

TerminalSimulator::TerminalSimulator(Options options) : impl_(std::make_unique<Impl>()) {
    impl_->opt = std::move(options);
    impl_->link.SetPowerUp(impl_->opt.powerUp);
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
    std::lock_guard<std::mutex> plug(impl_->plugMu);
    impl_->stopped = true;
    impl_->StopThread();
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
    impl_->link.SetPowerUp(mode);
}

void TerminalSimulator::TriggerPowerUp() {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->link.TriggerPowerUp(Clock::now());
    }
    impl_->Wake();
}

void TerminalSimulator::SetSilent(bool silent) {
    ChangeFaults([&](FaultPlan& plan) { plan.silent = silent; });
}

void TerminalSimulator::Unplug() {
    std::lock_guard<std::mutex> plug(impl_->plugMu);
    impl_->StopThread();
    impl_->wire->Close();
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->link.HostClosed(true);
    }
    impl_->changed.notify_all();
    impl_->NotifyIfChanged();
    if (impl_->opt.onPlug) impl_->opt.onPlug(false);
}

bool TerminalSimulator::Replug() {
    std::lock_guard<std::mutex> plug(impl_->plugMu);
    Impl& d = *impl_;
    if (!d.wake.IsOpen() || d.stopped) return false;  // never came up, or stopped for good
    if (d.wire->IsOpen()) return true;                // plugged in
    if (d.thread.joinable()) d.thread.join();
    d.ResetReceiver();
    // A failed replug is not the simulator's failure to start: ok() stays as it was.
    std::string why;
    if (!d.wire->Open(why)) {
        d.wire->Close();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(d.mu);
        d.stop = false;
        d.link.Replugged();
    }
    d.NotifyIfChanged();
    d.StartThread();
    if (d.opt.onPlug) d.opt.onPlug(true);
    return true;
}

void TerminalSimulator::PowerCycle() {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->link.PowerCycle(Clock::now());
    }
    impl_->Wake();
}

TerminalModel& TerminalSimulator::Terminal() const {
    return *impl_->model;
}

ScreenState TerminalSimulator::Screen() const {
    ScreenState screen = impl_->model->Screen();
    std::lock_guard<std::mutex> lock(impl_->mu);
    screen.link = impl_->link.View();
    screen.faults = impl_->link.Faults();
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
    return impl_->link.HostOpen();
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
    return impl_->link.Faults();
}

void TerminalSimulator::SetFaults(const FaultPlan& plan) {
    ChangeFaults([&](FaultPlan& current) { current = plan; });
}

void TerminalSimulator::ChangeFaults(const std::function<void(FaultPlan&)>& change) {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->link.ChangeFaults(change);
    }
    impl_->NotifyIfChanged();
}

void TerminalSimulator::SendRaw(const std::vector<uint8_t>& bytes) {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        Item item;
        item.bytes = bytes;
        impl_->link.Schedule(Clock::now(), std::move(item));
    }
    impl_->Wake();
}

void TerminalSimulator::SendFrame(const std::string& id, const std::string& payload) {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->link.ScheduleFrame(Clock::now(), id, payload);
    }
    impl_->Wake();
}

void TerminalSimulator::SendFrameLater(const std::string& id, const std::string& payload,
                                       int delayMs, const std::string& tag) {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        LinkState& link = impl_->link;
        if (link.Faults().silent) return;
        std::string answer = payload;
        if (!impl_->RewriteLocked(id, answer)) return;
        link.ScheduleAnswer(link.AnswerDue(Clock::now(), delayMs), id, std::move(answer), tag);
    }
    impl_->Wake();
}

int TerminalSimulator::DropScheduled(const std::string& tag) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->link.DropTagged(tag);
}

void TerminalSimulator::SendEnq() {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        if (impl_->link.HostOpen()) impl_->link.SendEnq(Clock::now());
    }
    impl_->Wake();
}

void TerminalSimulator::RewriteNextAnswer(AnswerMatch match, Rewrite rewrite, bool heldNow) {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        std::optional<Item> held;
        if (heldNow) held = impl_->link.TakeHeldAnswer(match);
        if (!held) {
            impl_->rewrites.push_back({std::move(match), std::move(rewrite)});
            return;
        }
        std::optional<std::string> out = rewrite(held->payload);
        if (out) impl_->link.ScheduleAnswer(Clock::now(), held->id, std::move(*out));
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
                            [&] { return !impl_->link.Outstanding() || !impl_->link.HostOpen(); });
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
                                   [&] { return impl_->link.HostOpen(); });
}

bool TerminalSimulator::WaitForHandshakes(int count, int ms) const {
    return WaitFor([count](const Record& r) { return r.handshakes >= count; }, ms);
}

}  // namespace orn::sim
