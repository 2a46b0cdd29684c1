#include "http_face.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "cardholder.h"
#include "commands.h"
#include "sim.h"

namespace orn::sim {

namespace {

using nlohmann::json;

const char kPage[] =
#include "face_page.inc"
    ;

// What the page may do: the cardholder's and the terminal's commands and the link faults. The
// script's flow commands (wait, exit, ...) are not the page's.
const char* const kPageActions[] = {
    "key",    "swipe",        "insert", "remove",     "cancel",
    "unplug", "replug",       "nak",    "drop-ack",   "power-cycle",
    "status", "delay-answer", "select", "auto-swipe", "hand-input",
};

// Set on the threads that turn connections away: their requests are all answered 503.
thread_local bool t_refusing = false;

// Connections are served by a fixed set of workers. One that finds them all busy is not queued
// until one is free (an event stream holds a worker for as long as it is watched): a small
// second set of threads reads its request and answers it 503 at once.
class BoundedQueue : public httplib::TaskQueue {
  public:
    BoundedQueue(size_t workers, size_t refusers)
        : workers_(workers), serving_(workers), refusing_(refusers) {}

    void enqueue(std::function<void()> task) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (busy_ < workers_) {
                ++busy_;
                serving_.enqueue([this, task = std::move(task)] {
                    task();
                    std::lock_guard<std::mutex> lock(mu_);
                    --busy_;
                });
                return;
            }
        }
        refusing_.enqueue([task = std::move(task)] {
            t_refusing = true;
            task();
        });
    }
    void shutdown() override {
        serving_.shutdown();
        refusing_.shutdown();
    }

  private:
    const size_t workers_;
    std::mutex mu_;
    size_t busy_ = 0;  // guarded by mu_: connections given to the workers and not yet done
    httplib::ThreadPool serving_;
    httplib::ThreadPool refusing_;
};

// The library listens with a backlog of five: connections that come in a burst faster than its
// accepting thread runs would wait a second for the client to try again before being accepted
// at all, let alone answered.
class FaceServer : public httplib::Server {
  public:
    static constexpr int kBacklog = 128;
    void WidenBacklog() { ::listen(svr_sock_, kBacklog); }  // a listening socket takes a new one
};

// A watcher that hears nothing for this long is sent a comment, which also tells a closed
// connection from an idle one.
constexpr auto kKeepAlive = std::chrono::seconds(5);

void Fail(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    // The message may quote the request (its path), which need not be valid UTF-8.
    res.set_content(json{{"error", message}}.dump(-1, ' ', false, json::error_handler_t::replace),
                    "application/json");
}

const char* InputName(InputKind kind) {
    switch (kind) {
        case InputKind::Keys:
            return "keys";
        case InputKind::Pin:
            return "pin";
        case InputKind::Card:
            return "card";
        case InputKind::Selection:
            return "selection";
        case InputKind::Text:
            return "text";
        case InputKind::None:
            break;
    }
    return "none";
}

// The terminal as the page draws it.
json TerminalState(TerminalSimulator& sim) {
    const ScreenState s = sim.Screen();
    json lines = json::array();
    for (const DisplayLine& line : s.lines)
        lines.push_back(
            {{"text", line.text}, {"inverse", line.inverse}, {"cleared", line.cleared}});
    json display = {{"width", s.columns}, {"lines", lines}};
    if (s.scroll)
        display["list"] = {{"titles", s.scroll->titles},
                           {"items", s.scroll->items},
                           {"selected", s.scroll->selection}};
    std::string prompt;
    for (const std::string& p : s.prompts) prompt += (prompt.empty() ? "" : " / ") + p;
    const FaultPlan& f = s.faults;
    return {{"display", display},
            {"prompt", prompt},
            {"amount", s.amount},
            {"input",
             {{"kind", InputName(s.input)},
              {"command", s.inputCommand},
              {"pinDigits", s.pinDigits},
              {"typed", TypedInput(sim)}}},
            {"hands", HandInput(sim)},
            {"beeps", s.beeps},
            {"lastTone", s.lastTone},
            {"card",
             {{"inSlot", s.card.chipInserted},
              {"powered", s.card.chipPowered},
              {"swipeWaiting", s.card.swipeWaiting}}},
            {"link", LinkStateName(s.link)},
            {"faults",
             {{"silent", f.silent},
              {"nakNext", f.nakNext},
              {"withholdNext", f.withholdNext},
              {"corruptNext", f.corruptNext},
              {"ackDelayMs", f.ackDelayMs},
              {"answerDelayMs", f.responseDelayMs},
              {"armed", ArmedFaults(f)}}}};
}

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "[::1]" || host == "::1" || host.rfind("127.", 0) == 0;
}

// The host part of a Host header ("127.0.0.1:8080" -> "127.0.0.1", "[::1]:80" -> "[::1]").
std::string HostName(const std::string& header) {
    const size_t colon = header.rfind(':');
    if (colon == std::string::npos || header.find(']', colon) != std::string::npos) return header;
    return header.substr(0, colon);
}

bool PlainText(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

}  // namespace

struct HttpFace::Watcher {
    uint64_t version = 0;
    uint64_t traceSeen = 0;
    bool first = true;
};

HttpFace::HttpFace(TerminalSimulator& sim)
    : sim_(sim), runner_(std::make_unique<CommandRunner>(sim, false)) {}

HttpFace::~HttpFace() {
    Stop();
}

bool HttpFace::Start(const std::string& address, int port) {
    auto server = std::make_unique<FaceServer>();
    FaceServer& listening = *server;
    server_ = std::move(server);
    // Each event stream holds a worker, and so does a connection until it has sent its request
    // or stayed silent for the read (or keep-alive) timeout: room for every watcher and many
    // slow or idle connections besides. Connections beyond that are answered 503. One request
    // a connection: a worker (or a refusing thread) is free as soon as it has answered, rather
    // than after waiting for a next request that may never come.
    server_->new_task_queue = [] { return new BoundedQueue(kWorkers, 2); };
    server_->set_keep_alive_max_count(1);
    server_->set_payload_max_length(kMaxBody);
    server_->set_keep_alive_timeout(2);
    server_->set_read_timeout(5);
    server_->set_write_timeout(5);
    Routes(address);
    port_ = port == 0                              ? server_->bind_to_any_port(address)
            : server_->bind_to_port(address, port) ? port
                                                   : -1;
    if (port_ <= 0) {
        error_ = "cannot listen on " + address + ":" + std::to_string(port);
        server_.reset();
        return false;
    }
    listening.WidenBacklog();
    observer_ = sim_.AddObserver([this] { Changed(); });
    traceListener_ = sim_.AddTraceListener(
        [this](const TraceEntry& e) { AddTrace(!e.fromTerminal, e.id, e.text); });
    listenEnded_ = false;
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        listenEnded_ = true;
    });
    return true;
}

void HttpFace::Stop() {
    if (observer_) sim_.RemoveObserver(observer_);
    if (traceListener_) sim_.RemoveTraceListener(traceListener_);
    observer_ = traceListener_ = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
    }
    changed_.notify_all();
    runner_->Interrupt();
    if (server_) {
        // The server ignores a stop that comes before it runs: wait (briefly) for it to run.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (thread_.joinable() && !server_->is_running() && !listenEnded_ &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        server_->stop();
    }
    if (thread_.joinable()) thread_.join();
}

void HttpFace::Changed() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        ++version_;
    }
    changed_.notify_all();
}

void HttpFace::AddTrace(bool toTerminal, const std::string& id, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        trace_.push_back({++traceSeq_, toTerminal, id, text});
        if (trace_.size() > kTraceKept) trace_.pop_front();
        ++version_;
    }
    changed_.notify_all();
}

std::string HttpFace::StateEvent(uint64_t& traceSeen) {
    json state = TerminalState(sim_);
    json trace = json::array();
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (const Traced& e : trace_) {
            if (e.seq <= traceSeen) continue;
            trace.push_back({{"seq", e.seq},
                             {"dir", e.toTerminal ? "to" : "from"},
                             {"id", e.id},
                             {"text", e.text}});
        }
        traceSeen = traceSeq_;
    }
    state["trace"] = std::move(trace);
    return state.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string HttpFace::RunAction(const std::string& body, int& status) {
    status = 400;
    const json request = json::parse(body, nullptr, false);
    if (request.is_discarded() || !request.is_object()) return "the body is not a JSON object";
    const auto action = request.find("action");
    if (action == request.end() || !action->is_string()) return "no action given";
    const std::string name = action->get<std::string>();
    if (std::find(std::begin(kPageActions), std::end(kPageActions), name) == std::end(kPageActions))
        return "unknown action: " + name.substr(0, 40);
    std::string line = name;
    const auto value = request.find("value");
    if (value != request.end()) {
        if (!value->is_string()) return "the value must be a string";
        const std::string text = value->get<std::string>();
        if (!PlainText(text)) return "the value must be printable text";
        if (!text.empty()) line += " " + text;
    }
    std::string reply;
    {
        std::lock_guard<std::mutex> lock(runnerMu_);
        reply = runner_->Run(line);
    }
    Changed();
    if (reply.compare(0, 6, "error ") == 0) {
        status = 422;
        return reply.substr(6);
    }
    status = 200;
    return reply;
}

void HttpFace::Routes(const std::string& address) {
    httplib::Server& s = *server_;
    // Served on the loopback, the page answers only to a loopback name, so a page from elsewhere
    // cannot reach it by renaming itself; and an action is JSON, which a page from elsewhere cannot
    // post without the browser asking first.
    const bool loopback = IsLoopback(address);
    s.set_pre_routing_handler([loopback](const httplib::Request& req, httplib::Response& res) {
        if (t_refusing) {
            Fail(res, 503,
                 "the simulator is busy: it serves " + std::to_string(kWorkers) +
                     " connections at once; try again");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (loopback && !IsLoopback(HostName(req.get_header_value("Host")))) {
            Fail(res, 403, "the page answers only to a loopback name");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method == "POST" &&
            req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
            Fail(res, 415, "an action is sent as application/json");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(kPage, "text/html; charset=utf-8");
    });
    s.Get("/state", [this](const httplib::Request&, httplib::Response& res) {
        uint64_t none = 0;
        res.set_content(StateEvent(none), "application/json");
    });
    s.Post("/action", [this](const httplib::Request& req, httplib::Response& res) {
        int status = 400;
        std::string reply = RunAction(req.body, status);
        if (status != 200) return Fail(res, status, reply);
        res.set_content(json{{"reply", reply}}.dump(), "application/json");
    });
    s.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (watchers_ >= kMaxWatchers)
                return Fail(res, 503,
                            "too many watchers (at most " + std::to_string(kMaxWatchers) + ")");
            ++watchers_;
        }
        auto watcher = std::make_shared<Watcher>();
        res.set_header("Cache-Control", "no-cache");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, watcher](size_t, httplib::DataSink& sink) {
                bool changed;
                {
                    std::unique_lock<std::mutex> lock(mu_);
                    changed = watcher->first || changed_.wait_for(lock, kKeepAlive, [&] {
                        return stopping_ || version_ != watcher->version;
                    });
                    if (stopping_) return false;
                    watcher->version = version_;
                }
                watcher->first = false;
                const std::string event =
                    changed ? "data: " + StateEvent(watcher->traceSeen) + "\n\n" : ": idle\n\n";
                return sink.write(event.data(), event.size());
            },
            [this](bool) {
                std::lock_guard<std::mutex> lock(mu_);
                --watchers_;
            });
    });
    // Errors the library answers by itself (an unknown path, a body too large) get a message too.
    s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return;
        std::string message = res.status == 404 ? "no such page: " + req.path.substr(0, 80)
                              : res.status == 413
                                  ? "the body is larger than " + std::to_string(kMaxBody) + " bytes"
                                  : "bad request";
        Fail(res, res.status, message);
    });
}

}  // namespace orn::sim
