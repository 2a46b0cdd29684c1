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

// Runs a script's lines in order and stops at the first error, which goes to `errors` as
// "NAME:LINE: error ..."; returns whether every line ran.
bool RunScript(CommandRunner& runner, std::istream& in, const std::string& name,
               const std::function<void(const std::string&)>& errors);

// The control socket: TCP on 127.0.0.1, one command a line from each client, each answered with
// one line. Clients are served one line at a time on the server's thread, so a `wait` holds the
// others back.
class ControlServer {
  public:
    // `onExit` runs on the server's thread after a client's `exit` was answered.
    ControlServer(TerminalSimulator& sim, std::function<void()> onExit);
    ~ControlServer();  // Stop()
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens on `port` (0: any free one) and starts serving; false with errno set on failure.
    bool Start(int port);
    int port() const { return port_; }
    void Stop();

  private:
    struct Client {
        int fd;
        std::string pending;
        std::unique_ptr<CommandRunner> runner;
    };
    void Serve();

    TerminalSimulator& sim_;
    std::function<void()> onExit_;
    int listener_ = -1;
    int port_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::vector<Client> clients_;  // server thread only
    std::mutex mu_;
    CommandRunner* running_ = nullptr;  // the runner in Run(), for Stop() to interrupt
    bool stopping_ = false;
};

}  // namespace orn::sim
