// bench/ owns the performance figures of the library; this program is all of it.
//
// Link benchmark: synchronous commands through the library against the terminal simulator on a
// pty, next to a bare request/ACK/response loop over a second simulator as the floor, and the
// CPU the process burns while the link sits open and idle.
//
//   orn_bench_link [-n COUNT] [-w WARMUP] [-c CALLERS] [-i IDLE_SECONDS] [-o CYCLES]
//                  [-l LOGFILE [-L LEVEL]]
//
// The idle time can also be set with ORN_BENCH_IDLE_S (the flag wins). With -l the library logs
// to LOGFILE (an absolute path) at LEVEL (default 3, fine); by default it runs without a log.
// The single caller and the floor run in alternating blocks; the concurrent callers follow, then
// the idle measurement with link monitoring on (the whole process, then the library's threads
// alone). Then the single caller runs again at each log level (off, Info, Fine, Detail) beside
// the floor, the levels and the floor taking turns; last CYCLES ornInit/ornClose cycles
// (default 10).
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "answers.h"
#include "platform/platform.h"
#include "sim.h"
#include "velquoraorn.h"

namespace {

using Clock = std::chrono::steady_clock;

// The single caller and the floor alternate in this many blocks.
constexpr int kBlocks = 20;

struct Config {
    int count = 3000;
    int warmup = 200;
    int callers = 4;
    double idleSeconds = 10;
    std::string logFile;
    int32_t logLevel = ORN_LOGGER_FINE;
    int cycles = 10;  // ornInit / ornClose cycles
};

// Context switches of every thread of the process, from /proc (0 where it is not available):
// nearly every switch is a thread going to sleep or waking up.
long long ContextSwitches() {
    long long total = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::ifstream status(entry.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                total += std::atoll(line.substr(line.find(':') + 1).c_str());
            }
        }
    }
    return total;
}

// CPU time of the whole process (user + system, all threads) and its context switches so far.
struct Usage {
    std::clock_t cpu = std::clock();
    long long switches = ContextSwitches();
};

struct Figures {
    const char* name = "";
    size_t calls = 0;
    int failures = 0;
    double seconds = 0;  // wall time of the whole measured run
    double medianUs = 0;
    double p99Us = 0;
    double maxUs = 0;
    double cpuSeconds = 0;  // CPU of the whole process, simulator included
    long long switches = 0;
    double PerSecond() const { return seconds > 0 ? calls / seconds : 0; }
};

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

Figures Summarise(const char* name, std::vector<double> latenciesUs, double seconds, int failures,
                  double cpuSeconds, long long switches) {
    Figures f;
    f.cpuSeconds = cpuSeconds;
    f.switches = switches;
    f.name = name;
    f.calls = latenciesUs.size();
    f.failures = failures;
    f.seconds = seconds;
    if (latenciesUs.empty()) return f;
    std::sort(latenciesUs.begin(), latenciesUs.end());
    size_t n = latenciesUs.size();
    f.medianUs = latenciesUs[n / 2];
    f.p99Us = latenciesUs[std::min(n - 1, (n * 99 + 99) / 100 - 1)];
    f.maxUs = latenciesUs.back();
    return f;
}

// ---- the library ---------------------------------------------------------------------------

// One synchronous beep through the library; its latency in microseconds.
double LibraryBeep(int* failures) {
    auto t0 = Clock::now();
    int result = ornBeep(7);
    double us = Micros(Clock::now() - t0);
    *failures += result != 0;
    return us;
}

// The callers share the display group, so the engine runs their commands one after another:
// each call's latency includes waiting behind the others.
Figures ConcurrentCallers(const Config& config) {
    const int callers = config.callers;
    const int perCaller = (config.count + callers - 1) / callers;
    std::vector<std::vector<double>> latencies(callers);
    std::atomic<int> failures{0};
    std::mutex mutex;
    std::condition_variable cv;
    int ready = 0;
    bool go = false;
    std::vector<std::thread> threads;
    for (int c = 0; c < callers; ++c) {
        threads.emplace_back([&, c] {
            latencies[c].reserve(perCaller);
            {
                std::unique_lock<std::mutex> lock(mutex);
                ++ready;
                cv.notify_all();
                cv.wait(lock, [&] { return go; });
            }
            for (int i = 0; i < perCaller; ++i) {
                int failed = 0;
                latencies[c].push_back(LibraryBeep(&failed));
                failures.fetch_add(failed);
            }
        });
    }
    Clock::time_point start;
    Usage before;
    {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return ready == callers; });
        start = Clock::now();
        go = true;
        cv.notify_all();
    }
    for (auto& t : threads) t.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Usage after;
    std::vector<double> all;
    for (auto& v : latencies) all.insert(all.end(), v.begin(), v.end());
    static std::string name;
    name = "library, " + std::to_string(callers) + " callers";
    return Summarise(name.c_str(), std::move(all), seconds, failures.load(),
                     double(after.cpu - before.cpu) / CLOCKS_PER_SEC,
                     after.switches - before.switches);
}

// ---- the floor: the same exchange written straight against the slave -----------------------

class BareHost {
  public:
    explicit BareHost(const std::string& slavePath) {
        int fd = orn::sim::OpenRawTty(slavePath);
        if (fd >= 0) device_ = orn::platform::SerialDevice::FromNative(fd);
    }
    bool ok() const { return device_ != nullptr; }

    // Writes the beep frame, reads the ACK and the whole response frame, acknowledges it.
    // True when the answer was ACK + "5B.0".
    bool Beep(const std::vector<uint8_t>& frame) {
        if (!WriteAll(frame.data(), frame.size())) return false;
        bool acked = false;
        std::string body;
        enum { kIdle, kInFrame, kLrc } state = kIdle;
        for (;;) {
            uint8_t buffer[256];
            size_t got = 0;
            if (device_->Read(buffer, sizeof buffer, &got) != 0) return false;
            if (got == 0) {
                uint32_t events = 0;
                if (device_->WaitEvent(orn::platform::kEvRxChar, &events) != 0) return false;
                continue;
            }
            for (size_t i = 0; i < got; ++i) {
                uint8_t b = buffer[i];
                if (state == kIdle) {
                    if (b == orn::sim::kAck) acked = true;
                    if (b == orn::sim::kStx) state = kInFrame;
                } else if (state == kInFrame) {
                    if (b == orn::sim::kEtx)
                        state = kLrc;
                    else
                        body.push_back(static_cast<char>(b));
                } else {
                    const uint8_t ack = orn::sim::kAck;
                    return WriteAll(&ack, 1) && acked && body == "5B.0";
                }
            }
        }
    }

  private:
    bool WriteAll(const uint8_t* data, size_t length) {
        while (length > 0) {
            size_t written = 0;
            if (device_->Write(data, length, &written) != 0) return false;
            data += written;
            length -= written;
        }
        return true;
    }

    std::shared_ptr<orn::platform::SerialDevice> device_;
};

// Runs the single caller and the floor in alternating blocks, so that a change in the load of
// the machine during the run weighs on both alike.
void OneCallerAndFloor(const Config& config, BareHost& host, Figures* library, Figures* bare) {
    const std::vector<uint8_t> frame = orn::sim::BuildFrame("5B.", "7");
    int libraryFailures = 0, bareFailures = 0;
    for (int i = 0; i < config.warmup; ++i) {
        LibraryBeep(&libraryFailures);
        host.Beep(frame);
    }
    libraryFailures = 0;
    std::vector<double> libraryUs, bareUs;
    libraryUs.reserve(config.count);
    bareUs.reserve(config.count);
    Clock::duration libraryTime{}, bareTime{};
    std::clock_t libraryCpu = 0, bareCpu = 0;
    long long librarySwitches = 0, bareSwitches = 0;
    const int blocks = std::min(config.count, kBlocks);
    for (int b = 0; b < blocks; ++b) {
        const int calls = config.count / blocks + (b < config.count % blocks ? 1 : 0);
        Usage before;
        auto start = Clock::now();
        for (int i = 0; i < calls; ++i) libraryUs.push_back(LibraryBeep(&libraryFailures));
        libraryTime += Clock::now() - start;
        Usage middle;
        start = Clock::now();
        for (int i = 0; i < calls; ++i) {
            auto t0 = Clock::now();
            bareFailures += !host.Beep(frame);
            bareUs.push_back(Micros(Clock::now() - t0));
        }
        bareTime += Clock::now() - start;
        Usage after;
        libraryCpu += middle.cpu - before.cpu;
        librarySwitches += middle.switches - before.switches;
        bareCpu += after.cpu - middle.cpu;
        bareSwitches += after.switches - middle.switches;
    }
    *library = Summarise("library, 1 caller", std::move(libraryUs),
                         std::chrono::duration<double>(libraryTime).count(), libraryFailures,
                         double(libraryCpu) / CLOCKS_PER_SEC, librarySwitches);
    *bare = Summarise("bare pty loop", std::move(bareUs),
                      std::chrono::duration<double>(bareTime).count(), bareFailures,
                      double(bareCpu) / CLOCKS_PER_SEC, bareSwitches);
}

// ---- idle CPU ------------------------------------------------------------------------------

struct IdleFigures {
    double seconds = 0;
    double cpuSeconds = 0;
    long long switches = 0;
};

IdleFigures Idle(double seconds) {
    IdleFigures f;
    Usage before;
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Usage after;
    f.cpuSeconds = double(after.cpu - before.cpu) / CLOCKS_PER_SEC;
    f.switches = after.switches - before.switches;
    return f;
}

// ---- the library's own threads while idle ---------------------------------------------------

// Per-thread figures from /proc: the threads of the library are those that did not exist
// before ornInit (the simulators' and this program's threads are left out).
struct ThreadFigures {
    long long voluntary = 0;  // each one is the thread going to sleep, i.e. one wake-up later
    long long involuntary = 0;
    long long cpuNs = 0;  // time on the CPU (schedstat)
};

std::vector<int> TaskIds() {
    std::vector<int> ids;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec))
        ids.push_back(std::atoi(entry.path().filename().c_str()));
    std::sort(ids.begin(), ids.end());
    return ids;
}

ThreadFigures ThreadsExcept(const std::vector<int>& excluded) {
    ThreadFigures total;
    for (int id : TaskIds()) {
        if (std::binary_search(excluded.begin(), excluded.end(), id)) continue;
        const std::string dir = "/proc/self/task/" + std::to_string(id);
        std::ifstream status(dir + "/status");
        std::string line;
        while (std::getline(status, line)) {
            const long long value = std::atoll(line.substr(line.find(':') + 1).c_str());
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total.voluntary += value;
            if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) total.involuntary += value;
        }
        std::ifstream schedstat(dir + "/schedstat");
        long long ns = 0;
        if (schedstat >> ns) total.cpuNs += ns;
    }
    return total;
}

struct LibraryIdleFigures {
    double seconds = 0;
    int threads = 0;
    double wakeUpsPerSecond = 0;
    double cpuPercent = 0;
};

// The library's threads over `seconds` with the link open and nothing to do (a thread that
// ends meanwhile takes its counts with it; none should).
LibraryIdleFigures LibraryIdle(double seconds, const std::vector<int>& notLibrary) {
    LibraryIdleFigures f;
    const ThreadFigures before = ThreadsExcept(notLibrary);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const ThreadFigures after = ThreadsExcept(notLibrary);
    f.threads = static_cast<int>(TaskIds().size() - notLibrary.size());
    f.wakeUpsPerSecond = (after.voluntary - before.voluntary) / f.seconds;
    f.cpuPercent = 100.0 * (after.cpuNs - before.cpuNs) / 1e9 / f.seconds;
    return f;
}

// ---- opening and closing ---------------------------------------------------------------------

struct CycleFigures {
    int cycles = 0;
    int failures = 0;
    double initMedianMs = 0, initMaxMs = 0, cycleMedianMs = 0;
};

// ornInit (handshake with the terminal and its settle pause included) and ornClose, repeated.
CycleFigures InitCloseCycles(int cycles, const char* log, int32_t level) {
    CycleFigures f;
    std::vector<double> initMs, cycleMs;
    for (int i = 0; i < cycles; ++i) {
        const auto t0 = Clock::now();
        const int result = ornInit("COM7", log, level);
        const auto t1 = Clock::now();
        ornClose();
        const auto t2 = Clock::now();
        f.failures += result != 0;
        initMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        cycleMs.push_back(std::chrono::duration<double, std::milli>(t2 - t0).count());
    }
    f.cycles = cycles;
    if (cycles == 0) return f;
    std::sort(initMs.begin(), initMs.end());
    std::sort(cycleMs.begin(), cycleMs.end());
    f.initMedianMs = initMs[initMs.size() / 2];
    f.initMaxMs = initMs.back();
    f.cycleMedianMs = cycleMs[cycleMs.size() / 2];
    return f;
}

// ---- setup and report ----------------------------------------------------------------------

bool ParseArgs(int argc, char** argv, Config* config) {
    if (const char* idle = std::getenv("ORN_BENCH_IDLE_S")) config->idleSeconds = std::atof(idle);
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (arg == "-n")
            config->count = std::atoi(value);
        else if (arg == "-w")
            config->warmup = std::atoi(value);
        else if (arg == "-c")
            config->callers = std::atoi(value);
        else if (arg == "-i")
            config->idleSeconds = std::atof(value);
        else if (arg == "-l")
            config->logFile = value;
        else if (arg == "-L")
            config->logLevel = std::atoi(value);
        else if (arg == "-o")
            config->cycles = std::atoi(value);
        else
            return false;
    }
    return config->count > 0 && config->warmup >= 0 && config->callers > 0 &&
           config->idleSeconds >= 0 && config->cycles >= 0;
}

std::filesystem::path MakeTempDir() {
    std::random_device random;
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto dir = base / ("orn-bench-" + std::to_string(random()));
        if (std::filesystem::create_directory(dir)) return dir;
    }
}

std::string FormatRow(const Figures& f) {
    double calls = f.calls > 0 ? double(f.calls) : 1;
    char row[160];
    std::snprintf(row, sizeof row, "%-20s %6zu %5d %10.1f %10.1f %10.1f %10.0f %10.1f %8.1f",
                  f.name, f.calls, f.failures, f.medianUs, f.p99Us, f.maxUs, f.PerSecond(),
                  1e6 * f.cpuSeconds / calls, f.switches / calls);
    return row;
}

void PrintRow(const Figures& f) {
    std::printf("%s\n", FormatRow(f).c_str());
}

const char* Verdict(bool ok) {
    return ok ? "met" : "MISSED";
}

// The synchronous path without a log: within 1.5x of the bare loop (median and throughput) and
// at most 8 context switches per command (the whole process's, simulator included).
void ReportHandOffTargets(const Figures& one, const Figures& bare) {
    const double median = bare.medianUs > 0 ? one.medianUs / bare.medianUs : 0;
    const double rate = one.PerSecond() > 0 ? bare.PerSecond() / one.PerSecond() : 0;
    const double switches = one.calls > 0 ? double(one.switches) / one.calls : 0;
    std::printf(
        "targets without a log, 1 caller: within 1.5x of bare (median %.2fx, throughput %.2fx): "
        "%s; <= 8 context switches/cmd (%.1f): %s\n",
        median, rate, Verdict(median > 0 && median <= 1.5 && rate <= 1.5), switches,
        Verdict(switches <= 8));
}

// ---- the single caller at each log level -----------------------------------------------------

// CPU time and context switches of the whole process from getrusage: unlike the per-thread
// counters in /proc, these keep the share of threads that have already ended. Voluntary switches
// are threads going to sleep; on a loaded machine the others are mostly the scheduler's doing.
struct ProcessUsage {
    double cpuSeconds = 0;
    long long switches = 0;
    long long voluntary = 0;
    static ProcessUsage Now() {
        rusage r{};
        getrusage(RUSAGE_SELF, &r);
        ProcessUsage u;
        u.cpuSeconds = r.ru_utime.tv_sec + r.ru_stime.tv_sec +
                       1e-6 * (r.ru_utime.tv_usec + r.ru_stime.tv_usec);
        u.switches = r.ru_nvcsw + r.ru_nivcsw;
        u.voluntary = r.ru_nvcsw;
        return u;
    }
    void Add(const ProcessUsage& before, const ProcessUsage& after) {
        cpuSeconds += after.cpuSeconds - before.cpuSeconds;
        switches += after.switches - before.switches;
        voluntary += after.voluntary - before.voluntary;
    }
};

struct LevelRow {
    const char* name;
    int32_t level;  // -1: the bare loop
    std::vector<double> latenciesUs;
    Clock::duration time{};
    ProcessUsage used;
    int failures = 0;
    Figures figures;
};

// One log open for the whole run, its level switched between blocks, so the levels and the floor
// see the same machine load; at level 0 the open log costs nothing per line, like no log.
std::vector<LevelRow> LogLevelRun(const Config& config, BareHost& host,
                                  const std::string& logFile) {
    std::vector<LevelRow> rows;
    for (auto [name, level] : {std::pair{"log off (0)", ORN_LOGGER_OFF},
                               {"log Info (2)", ORN_LOGGER_INFO},
                               {"log Fine (3)", ORN_LOGGER_FINE},
                               {"log Detail (4)", ORN_LOGGER_ON},
                               {"bare pty loop", -1}}) {
        rows.emplace_back();
        rows.back().name = name;
        rows.back().level = level;
    }
    int init = ornInit("COM7", logFile.c_str(), ORN_LOGGER_ON);
    if (init != 0) {
        std::fprintf(stderr, "ornInit with a log: %d %s\n", init, ornGetErrorString(init));
        return {};
    }
    const std::vector<uint8_t> frame = orn::sim::BuildFrame("5B.", "7");
    int warmupFailures = 0;
    for (int i = 0; i < config.warmup; ++i) LibraryBeep(&warmupFailures);
    const int blocks = std::min(config.count, kBlocks);
    for (int b = 0; b < blocks; ++b) {
        const int calls = config.count / blocks + (b < config.count % blocks ? 1 : 0);
        for (LevelRow& row : rows) {
            if (row.level >= 0) ornChangeLoggingState(row.level);
            ProcessUsage before = ProcessUsage::Now();
            auto start = Clock::now();
            for (int i = 0; i < calls; ++i) {
                if (row.level >= 0) {
                    row.latenciesUs.push_back(LibraryBeep(&row.failures));
                } else {
                    auto t0 = Clock::now();
                    row.failures += !host.Beep(frame);
                    row.latenciesUs.push_back(Micros(Clock::now() - t0));
                }
            }
            row.time += Clock::now() - start;
            row.used.Add(before, ProcessUsage::Now());
        }
    }
    ornClose();
    for (LevelRow& row : rows) {
        row.figures = Summarise(row.name, std::move(row.latenciesUs),
                                std::chrono::duration<double>(row.time).count(), row.failures,
                                row.used.cpuSeconds, row.used.switches);
    }
    return rows;
}

// The table of the run above, each level against the log switched off and against the floor.
// Returns the failed calls.
int ReportLogLevels(const std::vector<LevelRow>& rows) {
    if (rows.size() != 5) return 1;
    const Figures& off = rows[0].figures;
    const Figures& bare = rows[4].figures;
    std::printf("\nthe single caller at each log level, the levels and the floor taking turns:\n");
    std::printf("%-20s %6s %5s %10s %10s %10s %10s %10s %8s %8s %8s %8s\n", "", "calls", "fails",
                "median us", "p99 us", "max us", "per second", "CPU us/cmd", "ctxsw/cmd", "vol/cmd",
                "vs off", "vs bare");
    int failures = 0;
    auto ratio = [](const Figures& f, const Figures& to) {
        return to.medianUs > 0 ? f.medianUs / to.medianUs : 0;
    };
    for (const LevelRow& row : rows) {
        const Figures& f = row.figures;
        std::printf("%s %8.1f %7.2fx %7.2fx\n", FormatRow(f).c_str(),
                    f.calls > 0 ? double(row.used.voluntary) / f.calls : 0, ratio(f, off),
                    ratio(f, bare));
        failures += f.failures;
    }
    const Figures& fine = rows[2].figures;
    const Figures& detail = rows[3].figures;
    double detailSwitches = detail.calls > 0 ? double(detail.switches) / detail.calls : 0;
    std::printf(
        "targets: Fine within 1.5x of off: %s; Detail within 2x of off: %s; at most 25 context "
        "switches per command at Detail: %s\n",
        Verdict(ratio(fine, off) > 0 && ratio(fine, off) <= 1.5),
        Verdict(ratio(detail, off) > 0 && ratio(detail, off) <= 2),
        Verdict(detail.calls > 0 && detailSwitches <= 25));
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    Config config;
    if (!ParseArgs(argc, argv, &config)) {
        std::fprintf(stderr,
                     "usage: %s [-n COUNT] [-w WARMUP] [-c CALLERS] [-i IDLE_SECONDS] [-o CYCLES] "
                     "[-l LOGFILE [-L LEVEL]]\n(ORN_BENCH_IDLE_S also sets the idle time)\n",
                     argv[0]);
        return 2;
    }

    // The library finds "COM7" through ORN_PORT_DIR; the simulator links it to its pty there.
    std::filesystem::path portDir = MakeTempDir();
    setenv("ORN_PORT_DIR", portDir.c_str(), 1);

    orn::sim::Options libraryOptions;
    libraryOptions.answers = orn::sim::InstallDefaultAnswers;
    libraryOptions.linkDir = portDir.string();
    libraryOptions.portName = "COM7";
    libraryOptions.recordTraffic = false;
    orn::sim::TerminalSimulator librarySim(libraryOptions);

    // The floor's simulator: no power-up handshake, the host side is this program.
    orn::sim::Options bareOptions;
    bareOptions.answers = orn::sim::InstallDefaultAnswers;
    bareOptions.powerUp = orn::sim::PowerUp::None;
    bareOptions.recordTraffic = false;
    orn::sim::TerminalSimulator bareSim(bareOptions);

    if (!librarySim.ok() || !bareSim.ok()) {
        std::fprintf(stderr, "simulator: %s%s\n", librarySim.error().c_str(),
                     bareSim.error().c_str());
        std::filesystem::remove_all(portDir);
        return 1;
    }

    std::printf("orn_bench_link: %d synchronous beeps (ornBeep) after %d warm-up, %u CPUs, ",
                config.count, config.warmup, std::thread::hardware_concurrency());
    if (config.logFile.empty())
        std::printf("no log\n");
    else
        std::printf("log level %d to %s\n", config.logLevel, config.logFile.c_str());

    BareHost host(bareSim.slavePath());
    if (!host.ok()) {
        std::fprintf(stderr, "cannot open %s\n", bareSim.slavePath().c_str());
        std::filesystem::remove_all(portDir);
        return 1;
    }
    const char* log = config.logFile.empty() ? nullptr : config.logFile.c_str();
    const std::vector<int> notLibrary = TaskIds();  // this program and the simulators
    int init = ornInit("COM7", log, config.logLevel);
    if (init != 0) {
        std::fprintf(stderr, "ornInit: %d %s\n", init, ornGetErrorString(init));
        std::filesystem::remove_all(portDir);
        return 1;
    }
    Figures one, bare;
    OneCallerAndFloor(config, host, &one, &bare);
    Figures many = ConcurrentCallers(config);
    IdleFigures idle;
    LibraryIdleFigures libraryIdle;
    const bool measureIdle = config.idleSeconds > 0;
    if (measureIdle) {
        // Let the last exchanges settle before the idle measurement starts.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        idle = Idle(config.idleSeconds);
        libraryIdle = LibraryIdle(config.idleSeconds, notLibrary);
    }
    ornClose();
    const std::vector<LevelRow> levels =
        LogLevelRun(config, host, (portDir / "levels.log").string());
    const CycleFigures cycles = InitCloseCycles(config.cycles, log, config.logLevel);
    librarySim.Stop();
    bareSim.Stop();
    std::filesystem::remove_all(portDir);

    std::printf("\n%-20s %6s %5s %10s %10s %10s %10s %10s %8s\n", "", "calls", "fails", "median us",
                "p99 us", "max us", "per second", "CPU us/cmd", "ctxsw/cmd");
    PrintRow(one);
    PrintRow(many);
    PrintRow(bare);
    std::printf("CPU and context switches are the whole process's, simulator included.\n");
    std::printf(
        "The %d callers share the display group: the engine runs their commands one at a "
        "time.\n",
        config.callers);

    double medianRatio = bare.medianUs > 0 ? one.medianUs / bare.medianUs : 0;
    double p99Ratio = bare.p99Us > 0 ? one.p99Us / bare.p99Us : 0;
    double rateRatio = one.PerSecond() > 0 ? bare.PerSecond() / one.PerSecond() : 0;
    std::printf("\nlibrary/bare, 1 caller: median %.2fx, p99 %.2fx, throughput %.2fx lower\n",
                medianRatio, p99Ratio, rateRatio);
    double idlePercent = 0;
    if (measureIdle) {
        idlePercent = 100.0 * idle.cpuSeconds / idle.seconds;
        std::printf(
            "idle, link open %.1f s: CPU %.4f s = %.3f%% of one core, %.1f context "
            "switches/s (whole process, simulator included)\n",
            idle.seconds, idle.cpuSeconds, idlePercent, idle.switches / idle.seconds);
    }

    if (measureIdle)
        std::printf(
            "idle, library's %d threads alone %.1f s: %.1f wake-ups/s, CPU %.4f%% of one core "
            "(target <= 2/s and <= 0.05%%: %s)\n",
            libraryIdle.threads, libraryIdle.seconds, libraryIdle.wakeUpsPerSecond,
            libraryIdle.cpuPercent,
            Verdict(libraryIdle.wakeUpsPerSecond <= 2 && libraryIdle.cpuPercent <= 0.05));
    if (cycles.cycles > 0)
        std::printf(
            "ornInit/ornClose, %d cycles (%d failed): ornInit median %.1f ms, max %.1f ms; "
            "whole cycle median %.1f ms\n",
            cycles.cycles, cycles.failures, cycles.initMedianMs, cycles.initMaxMs,
            cycles.cycleMedianMs);

    bool rateOk = one.PerSecond() >= 3000;
    bool ratioOk = medianRatio > 0 && medianRatio <= 2 && rateRatio <= 2;
    std::printf(
        "\ntargets: >= 3000 cmds/s one caller: %s; within 2x of bare (median and "
        "throughput): %s; idle CPU < 1%%: %s\n",
        Verdict(rateOk), Verdict(ratioOk), measureIdle ? Verdict(idlePercent < 1) : "not measured");
    const int levelFailures = ReportLogLevels(levels);
    ReportHandOffTargets(one, bare);
    return one.failures + many.failures + bare.failures + levelFailures + cycles.failures == 0 ? 0
                                                                                               : 1;
}
