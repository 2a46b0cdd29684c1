// Commands that drive a running terminal simulator by hand: what the cardholder does (swipe,
// insert, type, cancel), what the terminal does (stay silent, answer with a status, restart,
// go away) and the link faults. The console, script files and the control socket all read the
// same lines and run them through this one table.
//
// A line is a command name and its arguments separated by spaces; blank lines and lines
// starting with '#' are skipped. Each command answers "ok" (with a value for some) or
// "error ...". `help` lists the commands.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orn::sim {

class TerminalSimulator;
struct FaultPlan;
struct LinkView;

// The status an answer carries when the cardholder presses cancel at a keypad prompt.
constexpr char kCardholderCancelStatus = '2';

// One source of commands. Sources share the simulator; each keeps its own place in the frames
// that `wait-for` has waited for. Run() may be called from one thread at a time; Interrupt()
// from any.
class CommandRunner {
  public:
    // `fromStart`: `wait-for` counts the frames seen since the simulator started (a script or
    // the console, started with it); otherwise from the first wait for each identifier.
    CommandRunner(TerminalSimulator& sim, bool fromStart);

    // Runs one line; returns "ok", "ok VALUE" or "error ...", and "" for a blank or comment
    // line.
    std::string Run(const std::string& line);
    // `exit` was run: the terminal has gone away and the program should end.
    bool exitRequested() const { return exit_; }
    // Ends a `wait` or `wait-for` in progress at once (with an error) and every later one.
    void Interrupt();
    // Receives the text of `echo` (scripts narrate with it); unset: echo only answers.
    void SetEcho(std::function<void(const std::string&)> echo) { echo_ = std::move(echo); }
    // Called as each `wait` or `wait-for` begins.
    void SetOnWait(std::function<void()> onWait) { onWait_ = std::move(onWait); }

    TerminalSimulator& sim() { return sim_; }
    // For the command table.
    bool Sleep(int ms);
    bool WaitForFrame(const std::string& id, int ms);
    void RequestExit() { exit_ = true; }
    // False when there is no one to show `text` to.
    bool Echo(const std::string& text) {
        if (echo_) echo_(text);
        return static_cast<bool>(echo_);
    }

  private:
    TerminalSimulator& sim_;
    bool fromStart_;
    bool exit_ = false;
    std::map<std::string, uint64_t> waited_;  // frames already waited for, by identifier
    std::function<void(const std::string&)> echo_;
    std::function<void()> onWait_;
    std::mutex mu_;
    std::condition_variable interrupted_;
    bool interrupt_ = false;
};

// The command list with a line of help each.
std::string CommandHelp();

// The link's state in a word: "closed", "open", "power-up", "connected" or "unplugged".
const char* LinkStateName(const LinkView& link);
// The faults armed in `plan`, as the commands that arm them ("nak 2, delay-answer 400"), or
// "none". The console's `screen` and the face both show this.
std::string ArmedFaults(const FaultPlan& plan);

// Runs a script's lines in order and stops at the first error, which goes to `errors` as
// "NAME:LINE: error ..."; returns whether every line ran.
bool RunScript(CommandRunner& runner, std::istream& in, const std::string& name,
               const std::function<void(const std::string&)>& errors);

// The control socket: TCP on 127.0.0.1, one command a line from each client, each answered with
// one line. Each client is served on a thread of its own, so a `wait` holds back only the client
// that sent it, and replies are written without blocking: they wait in the client's buffer until
// it reads them. A client that leaves more than kMaxUnread bytes of replies unread, or sends a
// line longer than kMaxLine, is dropped; at most kMaxClients are served at once.
class ControlServer {
  public:
    static constexpr size_t kMaxUnread = 64 * 1024;
    static constexpr size_t kMaxLine = 4096;
    static constexpr size_t kMaxClients = 16;

    // `onExit` runs on the client's thread after its `exit` was answered.
    ControlServer(TerminalSimulator& sim, std::function<void()> onExit);
    ~ControlServer();  // Stop()
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens on `port` (0: any free one) and starts serving; false with errno set on failure.
    bool Start(int port);
    int port() const { return port_; }
    // Ends every client's command in progress, closes every connection and returns.
    void Stop();

  private:
    struct Client {
        int fd = -1;
        CommandRunner runner;
        std::thread thread;
        bool done = false;  // guarded by mu_
        Client(int socket, TerminalSimulator& sim) : fd(socket), runner(sim, false) {}
    };
    void Accept();
    void Serve(Client& client);
    void ReapLocked();

    TerminalSimulator& sim_;
    std::function<void()> onExit_;
    int listener_ = -1;
    int port_ = -1;
    int wake_[2] = {-1, -1};  // readable once Stop() began: every thread watches it
    std::thread thread_;
    std::mutex mu_;
    std::vector<std::unique_ptr<Client>> clients_;
    bool stopping_ = false;
};

}  // namespace orn::sim
