// The simulator's face in a browser: `ornsim --http PORT` serves one page that shows the
// terminal as the cardholder sees it (display, keypad, PIN entry, card slot), its link and the
// fault switches, and a live trace of the frames. The page receives the terminal's state as
// server-sent events whenever it changes and posts what the user does as actions, which run
// through the same command table as the console, scripts and the control socket, so every
// watcher and every other source of commands sees the same terminal.
//
// Endpoints: GET / (the page), GET /state (the state as JSON), GET /events (the event stream),
// POST /action ({"action": NAME, "value": TEXT}). Bad requests are answered 4xx with a JSON
// {"error": ...}; at most kMaxWatchers event streams and kWorkers connections are served at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace orn::sim {

class TerminalSimulator;
class CommandRunner;

class HttpFace {
  public:
    static constexpr size_t kMaxBody = 4096;
    static constexpr size_t kMaxWatchers = 8;
    static constexpr size_t kTraceKept = 400;
    // Connections served at once (event streams among them); more are answered 503.
    static constexpr size_t kWorkers = kMaxWatchers + 32;

    explicit HttpFace(TerminalSimulator& sim);
    ~HttpFace();  // Stop()
    HttpFace(const HttpFace&) = delete;
    HttpFace& operator=(const HttpFace&) = delete;

    // Listens on `address`:`port` (0: any free port) and serves on threads of its own; false
    // with a reason in error() on failure.
    bool Start(const std::string& address, int port);
    int port() const { return port_; }
    const std::string& error() const { return error_; }
    // Ends every event stream, stops serving and returns.
    void Stop();

    // The state changed: every watcher is sent the new state. Thread-safe.
    void Changed();
    // One frame for the trace. Thread-safe.
    void AddTrace(bool toTerminal, const std::string& id, const std::string& text);

  private:
    struct Traced {
        uint64_t seq;
        bool toTerminal;
        std::string id;
        std::string text;
    };
    struct Watcher;
    void Routes(const std::string& address);
    std::string StateEvent(uint64_t& traceSeen);
    std::string RunAction(const std::string& body, int& status);

    TerminalSimulator& sim_;
    std::unique_ptr<httplib::Server> server_;
    std::unique_ptr<CommandRunner> runner_;
    std::mutex runnerMu_;  // one action at a time
    std::thread thread_;
    std::atomic<bool> listenEnded_{false};
    int port_ = -1;
    int observer_ = 0;
    int traceListener_ = 0;
    std::string error_;
    std::mutex mu_;
    std::condition_variable changed_;
    uint64_t version_ = 0;      // guarded by mu_
    bool stopping_ = false;     // guarded by mu_
    size_t watchers_ = 0;       // guarded by mu_
    std::deque<Traced> trace_;  // guarded by mu_
    uint64_t traceSeq_ = 0;     // guarded by mu_
};

}  // namespace orn::sim
