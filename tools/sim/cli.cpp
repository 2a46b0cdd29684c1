// ornsim: runs the terminal simulator on a pty and publishes it as a COM port in a directory,
// so that an application using the library can run without a terminal attached:
//
//   ornsim --dir /tmp/ports --port COM7 &
//   export ORN_PORT_DIR=/tmp/ports      (printed by ornsim on its first line)
//
// With --hid the terminal is a USB HID device instead, listed in a fake sysfs tree under DIR
// (and with --usb-serial a second one on the maker's USB serial port, COM33):
//
//   ornsim --dir /tmp/orn --hid &
//   export ORN_SYSFS_ROOT=/tmp/orn/sys ORN_DEV_ROOT=/tmp/orn/dev   (printed first)
//
// While it runs it takes commands (tools/sim/commands.h; `help` lists them) from three places,
// all through the same table:
//   - standard input: a console, with a prompt when it is a terminal (not read while ornsim
//     runs in the background of an interactive shell);
//   - --script FILE: one command a line, run from the start, with `wait MS`, `wait-for ID` and
//     '#' comments; the first error ends the script (not the simulator);
//   - --control PORT: TCP clients on 127.0.0.1 (PORT 0: any free port, printed as
//     "# control PORT"), one command a line, each answered with one line "ok [VALUE]" or
//     "error ...", for test programs that cannot reach the simulator's API (a Windows program
//     under Wine).
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "answers.h"
#include "answers_display.h"
#include "commands.h"
#include "fake_tree.h"
#include "http_face.h"
#include "sim.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    int saved = errno;
    char c = 1;
    ssize_t n = ::write(g_signalPipe[1], &c, 1);
    (void)n;
    errno = saved;
}

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: ornsim --dir DIR [--port COMn] [--powerup enq-ack|enq3|none]\n"
                 "              [--keypad-delay MS] [--dukpt-bdk HEX] [--verbose]\n"
                 "              [--until-stdin-eof]\n"
                 "       ornsim --dir DIR --hid [--product HEX] [--usb-serial] [options]\n"
                 "       common: [--control PORT] [--script FILE] [--http PORT]\n"
                 "               [--http-bind ADDR]\n"
                 "Simulates a PIN pad on a pseudo-terminal linked as DIR/COMn (default COM7).\n"
                 "Point the library at it with ORN_PORT_DIR=DIR (printed on the first line).\n"
                 "--hid serves it as a USB HID terminal (vendor 0E7D, product HEX, default\n"
                 "0001) at DIR/dev/hidraw0, listed in a fake sysfs tree DIR/sys; export the\n"
                 "printed ORN_SYSFS_ROOT and ORN_DEV_ROOT, then open \"USBHID\" or \"AUTO\".\n"
                 "--usb-serial adds a second terminal on the maker's USB serial port COM33.\n"
                 "Runs until SIGINT/SIGTERM, or until standard input closes with\n"
                 "--until-stdin-eof. --verbose traces all link traffic on standard error.\n"
                 "--keypad-delay MS plays a slow cardholder: keypad prompts are answered MS\n"
                 "milliseconds after they are acknowledged (a cancel meanwhile aborts them).\n"
                 "--dukpt-bdk HEX sets the DUKPT base derivation key (32 hex digits; default\n"
                 "the ANSI X9.24-1 test key 0123456789ABCDEFFEDCBA9876543210).\n"
                 "Commands (swipe, pin, cancel, unplug, faults...; type help) come from\n"
                 "standard input, from --script FILE (one a line, with wait MS and\n"
                 "wait-for ID) and from TCP clients on 127.0.0.1:PORT with --control PORT\n"
                 "(0: any free port).\n"
                 "--http PORT serves the terminal's face to a browser at http://ADDR:PORT/\n"
                 "(ADDR 127.0.0.1 unless --http-bind says otherwise; 0: any free port).\n");
}

bool MakeDirs(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ValidPortName(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "COM") != 0) return false;
    for (size_t i = 3; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return true;
}

void TraceLine(const std::string& line) {
    auto now = std::chrono::system_clock::now();
    std::time_t secs = std::chrono::system_clock::to_time_t(now);
    int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    std::tm tm{};
    ::localtime_r(&secs, &tm);
    std::fprintf(stderr, "ornsim %02d:%02d:%02d.%03d %s\n", tm.tm_hour, tm.tm_min, tm.tm_sec, ms,
                 line.c_str());
}

// Console and script output share standard output.
std::mutex g_outMutex;

void Print(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_outMutex);
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
}

void Wake() {
    char c = 1;
    ssize_t n = ::write(g_signalPipe[1], &c, 1);
    (void)n;
}

// Standard input is a console unless ornsim runs in the background of an interactive shell,
// where reading the terminal would stop it.
bool ConsoleWanted() {
    if (!::isatty(STDIN_FILENO)) return true;
    return ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
}

// What the command line sets.
struct Settings {
    orn::sim::Options options = [] {
        orn::sim::Options defaults;
        defaults.answers = orn::sim::InstallDefaultAnswers;
        return defaults;
    }();
    std::string dir;
    bool untilEof = false;
    bool hid = false;
    bool usbSerial = false;
    unsigned long product = 0x0001;
    int keypadDelayMs = 0;
    int controlPort = -1;
    int httpPort = -1;
    std::string httpBind = "127.0.0.1";
    std::string scriptPath;
    std::string dukptKey;

    // What the command line chose for the cardholder, given to each terminal as it starts.
    void Configure(orn::sim::TerminalSimulator& sim) const {
        sim.Terminal().SetKeypadDelay(keypadDelayMs);
        if (!dukptKey.empty()) sim.Terminal().SetDukptBaseKey(dukptKey);
    }
};

// A number in [min, max] written in `base`, or nullopt.
std::optional<long> NumberIn(const std::string& text, long min, long max, int base = 10) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, base);
    if (text.empty() || *end != '\0' || errno != 0 || value < min || value > max)
        return std::nullopt;
    return value;
}

// An option that sets something from its value (empty for a flag without one). False: the
// value is refused, with the message printed.
using Apply = bool (*)(Settings&, const std::string& value);

struct Flag {
    const char* name;
    bool takesValue;
    Apply apply;
};

bool Refuse(const char* what, const std::string& value) {
    std::fprintf(stderr, "ornsim: %s, not '%s'\n", what, value.c_str());
    return false;
}

const Flag kFlags[] = {
    {"--dir", true, [](Settings& s, const std::string& v) { return s.dir = v, true; }},
    {"--port", true,
     [](Settings& s, const std::string& v) { return s.options.portName = v, true; }},
    {"--powerup", true,
     [](Settings& s, const std::string& v) {
         static const std::pair<const char*, orn::sim::PowerUp> kModes[] = {
             {"enq-ack", orn::sim::PowerUp::EnqAck},
             {"enq3", orn::sim::PowerUp::ThreeEnq},
             {"none", orn::sim::PowerUp::None}};
         for (const auto& [name, mode] : kModes)
             if (v == name) return s.options.powerUp = mode, true;
         std::fprintf(stderr, "ornsim: unknown power-up mode '%s'\n", v.c_str());
         return false;
     }},
    {"--keypad-delay", true,
     [](Settings& s, const std::string& v) {
         const auto ms = NumberIn(v, 0, 600000);
         if (!ms) return Refuse("--keypad-delay needs 0..600000 ms", v);
         return s.keypadDelayMs = static_cast<int>(*ms), true;
     }},
    {"--hid", false, [](Settings& s, const std::string&) { return s.hid = true; }},
    {"--usb-serial", false, [](Settings& s, const std::string&) { return s.usbSerial = true; }},
    {"--product", true,
     [](Settings& s, const std::string& v) {
         const auto product = NumberIn(v, 0, 0xFFFF, 16);
         if (!product) return Refuse("--product needs 1 to 4 hex digits", v);
         return s.product = static_cast<unsigned long>(*product), true;
     }},
    {"--control", true,
     [](Settings& s, const std::string& v) {
         const auto port = NumberIn(v, 0, 65535);
         if (!port) return Refuse("--control needs a port 0..65535", v);
         s.controlPort = static_cast<int>(*port);
         s.options.recordTraffic = true;  // tests count frames through the control channel
         return true;
     }},
    {"--http", true,
     [](Settings& s, const std::string& v) {
         const auto port = NumberIn(v, 0, 65535);
         if (!port) return Refuse("--http needs a port 0..65535", v);
         return s.httpPort = static_cast<int>(*port), true;
     }},
    {"--http-bind", true, [](Settings& s, const std::string& v) { return s.httpBind = v, true; }},
    {"--script", true, [](Settings& s, const std::string& v) { return s.scriptPath = v, true; }},
    {"--dukpt-bdk", true,
     [](Settings& s, const std::string& v) {
         // Checked on a model of its own: each terminal gets the key as it starts.
         orn::sim::TerminalModel scratch;
         if (orn::sim::SetDukptBaseKey(scratch, v)) return s.dukptKey = v, true;
         // Not echoed: it is a key.
         std::fprintf(stderr, "ornsim: --dukpt-bdk needs 32 hex digits\n");
         return false;
     }},
    {"--verbose", false,
     [](Settings& s, const std::string&) { return s.options.trace = TraceLine, true; }},
    {"--until-stdin-eof", false, [](Settings& s, const std::string&) { return s.untilEof = true; }},
};

// Reads the command line into `settings`: nullopt to go on, else the exit code.
std::optional<int> ParseArgs(int argc, char** argv, Settings& settings) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        }
        const Flag* flag = nullptr;
        for (const Flag& f : kFlags)
            if (arg == f.name) flag = &f;
        if (!flag) {
            std::fprintf(stderr, "ornsim: unknown argument '%s'\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
        if (flag->takesValue && i + 1 >= argc) {
            std::fprintf(stderr, "ornsim: %s needs a value\n", arg.c_str());
            return 2;
        }
        if (!flag->apply(settings, flag->takesValue ? argv[++i] : std::string())) return 2;
    }
    if (settings.dir.empty()) {
        Usage(stderr);
        return 2;
    }
    if (!ValidPortName(settings.options.portName)) {
        std::fprintf(stderr, "ornsim: the port name must be COM and a number, not '%s'\n",
                     settings.options.portName.c_str());
        return 2;
    }
    return std::nullopt;
}

// Creates the directory the port (or the device tree) goes in and makes its path absolute.
bool PrepareDir(Settings& settings) {
    std::string& dir = settings.dir;
    if (!MakeDirs(dir)) {
        std::fprintf(stderr, "ornsim: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
        return false;
    }
    char* absolute = ::realpath(dir.c_str(), nullptr);
    if (absolute) {
        dir = absolute;
        std::free(absolute);
    }
    settings.options.linkDir = dir;
    return true;
}

// SIGINT and SIGTERM end ornsim through the signal pipe.
bool CatchSignals() {
    if (::pipe(g_signalPipe) != 0) {
        std::perror("ornsim: pipe");
        return false;
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    ::sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGTTIN, SIG_IGN);
    return true;
}

// --hid: the terminal's entry in a fake device tree and, with --usb-serial, a second terminal
// on the maker's USB serial port (`serialSim`). False, with the message printed, when it fails.
bool SetUpHid(Settings& settings, std::unique_ptr<orn::sim::TerminalSimulator>& serialSim) {
    orn::sim::Options& options = settings.options;
    orn::sim::FakeDeviceTree tree(settings.dir);
    char productText[8];
    std::snprintf(productText, sizeof productText, "%04lX", settings.product);
    auto addHid = [tree, product = settings.product]() mutable {
        return tree.AddHidDevice(0, 0x0E7D, static_cast<uint16_t>(product),
                                 orn::sim::LinkReportDescriptor(32, 32));
    };
    options.hidPath = addHid();
    // Unplugged, the device leaves the tree until it is plugged in again.
    options.onPlug = [tree, addHid](bool plugged) mutable {
        if (plugged)
            addHid();
        else
            tree.RemoveHidDevice(0);
    };
    if (options.hidPath.empty() ||
        (settings.usbSerial &&
         !tree.AddSerialPort("ttyUSB0", "0e7d", productText, "Velquora Terminal"))) {
        std::fprintf(stderr, "ornsim: cannot build the device tree in %s\n", settings.dir.c_str());
        return false;
    }
    std::printf("export ORN_SYSFS_ROOT=%s\nexport ORN_DEV_ROOT=%s\n", tree.sysfs().c_str(),
                tree.dev().c_str());
    std::printf("# USB HID terminal, product %s -> %s\n", productText, options.hidPath.c_str());
    if (!settings.usbSerial) return true;
    orn::sim::Options serial = options;
    serial.hidPath.clear();
    serial.onPlug = nullptr;
    serial.linkDir = tree.dev();
    serial.portName = "ttyUSB0";
    serialSim = std::make_unique<orn::sim::TerminalSimulator>(serial);
    if (!serialSim->ok()) {
        std::fprintf(stderr, "ornsim: %s\n", serialSim->error().c_str());
        return false;
    }
    settings.Configure(*serialSim);
    std::printf("# COM33, the maker's USB serial port -> %s\n", serialSim->slavePath().c_str());
    return true;
}

// --script FILE on a thread of its own.
class ScriptThread {
  public:
    explicit ScriptThread(orn::sim::TerminalSimulator& sim) : runner_(sim, true) {}
    ~ScriptThread() { Stop(); }

    // Starts the script and returns once its opening commands (up to its first wait) have run,
    // so that an application started on the port's announcement meets the terminal they set up.
    void Start(std::ifstream& script, const std::string& path) {
        std::future<void> started = started_.get_future();
        runner_.SetEcho(Print);
        runner_.SetOnWait([this] { Release(); });
        thread_ = std::thread([this, &script, path] {
            orn::sim::RunScript(runner_, script, path, [](const std::string& error) {
                std::fprintf(stderr, "ornsim: %s\n", error.c_str());
            });
            Release();
            if (runner_.exitRequested()) Wake();
        });
        started.wait();
    }
    void Stop() {
        runner_.Interrupt();
        if (thread_.joinable()) thread_.join();
    }

  private:
    void Release() {
        std::call_once(once_, [this] { started_.set_value(); });
    }

    orn::sim::CommandRunner runner_;
    std::promise<void> started_;
    std::once_flag once_;
    std::thread thread_;
};

// The console on standard input, until a signal, `exit` (from any runner) or, with `untilEof`,
// the end of standard input.
void RunConsole(orn::sim::TerminalSimulator& sim, bool untilEof) {
    const bool console = ConsoleWanted();
    const bool prompt = console && ::isatty(STDIN_FILENO);
    orn::sim::CommandRunner consoleRunner(sim, true);
    consoleRunner.SetEcho(Print);
    auto showPrompt = [&] {
        if (!prompt) return;
        std::lock_guard<std::mutex> lock(g_outMutex);
        std::fputs("ornsim> ", stdout);
        std::fflush(stdout);
    };
    if (prompt) Print("# type help for the commands");
    showPrompt();

    // Watched: the signal pipe (signals, and `exit` from the script or a control client) and
    // the console.
    pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0},
                     {console || untilEof ? STDIN_FILENO : -1, POLLIN, 0}};
    std::string pending;
    while (!consoleRunner.exitRequested()) {
        int rc = ::poll(fds, 2, -1);
        if (rc < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents) break;
        if (!fds[1].revents) continue;
        char buf[512];
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            if (untilEof) break;
            fds[1].fd = -1;  // no more console
            continue;
        }
        if (!console) continue;  // only watched for its end
        pending.append(buf, static_cast<size_t>(n));
        size_t end;
        while (!consoleRunner.exitRequested() && (end = pending.find('\n')) != std::string::npos) {
            std::string reply = consoleRunner.Run(pending.substr(0, end));
            pending.erase(0, end + 1);
            if (!reply.empty()) Print(reply);
            if (!consoleRunner.exitRequested()) showPrompt();
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    settings.options.recordTraffic = false;  // runs for as long as the user likes
    if (const std::optional<int> exitCode = ParseArgs(argc, argv, settings)) return *exitCode;
    if (!PrepareDir(settings) || !CatchSignals()) return 1;
    const orn::sim::Options& options = settings.options;

    std::ifstream script;
    if (!settings.scriptPath.empty()) {
        script.open(settings.scriptPath);
        if (!script) {
            std::fprintf(stderr, "ornsim: cannot read %s\n", settings.scriptPath.c_str());
            return 1;
        }
    }
    std::unique_ptr<orn::sim::TerminalSimulator> serialSim;
    if (settings.hid && !SetUpHid(settings, serialSim)) return 1;
    orn::sim::TerminalSimulator sim(options);
    if (!sim.ok()) {
        std::fprintf(stderr, "ornsim: %s\n", sim.error().c_str());
        return 1;
    }
    settings.Configure(sim);
    orn::sim::ControlServer control(sim, Wake);
    if (settings.controlPort >= 0 && !control.Start(settings.controlPort)) {
        std::fprintf(stderr, "ornsim: cannot listen on 127.0.0.1:%d: %s\n", settings.controlPort,
                     std::strerror(errno));
        return 1;
    }
    orn::sim::HttpFace face(sim);
    if (settings.httpPort >= 0 && !face.Start(settings.httpBind, settings.httpPort)) {
        std::fprintf(stderr, "ornsim: %s\n", face.error().c_str());
        return 1;
    }
    ScriptThread scriptThread(sim);
    if (script.is_open()) scriptThread.Start(script, settings.scriptPath);
    if (!settings.hid)
        std::printf("export ORN_PORT_DIR=%s\n# port %s -> %s\n", settings.dir.c_str(),
                    options.portName.c_str(), sim.slavePath().c_str());
    if (settings.httpPort >= 0)
        std::printf("# page http://%s:%d/\n", settings.httpBind.c_str(), face.port());
    if (settings.controlPort >= 0) std::printf("# control %d\n", control.port());
    std::fflush(stdout);

    RunConsole(sim, settings.untilEof);
    control.Stop();
    face.Stop();
    scriptThread.Stop();
    sim.Stop();
    if (serialSim) serialSim->Stop();
    return 0;
}
