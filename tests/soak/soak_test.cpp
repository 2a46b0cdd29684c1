// Fault soak: eight threads of requests, waits, cancels, EMV sends and close/open cycles against
// a terminal that NAKs in storms, loses and delays ACKs, answers late, garbles frames, powers up
// and goes away mid-command, with the link closed from callbacks now and then; then 1000
// open/close cycles and 100 load/unload cycles of the shared library. Every call stays within
// the bound its timeouts give, every accepted request is called back exactly once, the
// connection state ends right, and the process keeps the threads and descriptors it began with.
//
// Runs for minutes: ctest runs it only when asked (-C Soak -L soak). ORN_SOAK_SECONDS sets the
// length of the fault phase (default 120).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "answers_cards.h"
#include "answers_display.h"
#include "engine/command_data.h"
#include "engine/generic_handler.h"
#include "sim_session.h"
#include "velquoraorn.h"

namespace {

using orn::CCommandData;
using orn::CGenericHandler;
using orn::test::WaitUntil;
using Clock = std::chrono::steady_clock;

constexpr int kThreads = 8;
constexpr int kCycler = kThreads - 1;  // the thread that closes and reopens the link
constexpr int kEmvThreads = 2;         // threads 0 and 1 play the EMV component
constexpr const char* kEmvApp = "SOAKAPP";

// ---- Time bounds, from the engine's own timeouts --------------------------------------------
// A command waits for admission, for its turn on the line (-20 after that), for at most three
// transmissions' ACKs (NAKs resend within them) and for its answer. Open and close wait for the
// engine's threads, each wait limited, and for at most one other open or close (only one thread
// cycles the link; a callback may close it too). The margin absorbs a loaded machine and the
// sanitizers.
constexpr int kMarginMs = 20000;
constexpr int kThreadWait = static_cast<int>(CGenericHandler::kThreadWaitMs);
constexpr int kAckMs = static_cast<int>(CCommandData::kDefaultAckTimeout);
constexpr int kAnswerMs = static_cast<int>(CCommandData::kDefaultResponseTimeout);
constexpr int kEmvAckMs = 3000;

constexpr int Exchange(int ackMs, int answerMs) {
    return kThreadWait + static_cast<int>(CGenericHandler::kSendWaitMs) + 3 * ackMs + answerMs;
}
constexpr int kNoWaitBound = kThreadWait + kMarginMs;  // a callback start may hold the queue
constexpr int kReqBound = Exchange(kAckMs, 0) + kMarginMs;
constexpr int kCommandBound = Exchange(kAckMs, kAnswerMs) + kMarginMs;
constexpr int WaitBound(int timeoutMs) {
    return Exchange(kAckMs, timeoutMs + 1000) + kMarginMs;
}
// Data messages are serialised: one waits for the other EMV thread's exchange.
constexpr int kEmvSendBound = kEmvThreads * Exchange(kEmvAckMs, 0) + kMarginMs;
constexpr int kOpenOnly =
    4 * kThreadWait +
    static_cast<int>(CGenericHandler::kPowerUpPolls * CGenericHandler::kPowerUpPollMs +
                     CGenericHandler::kPowerUpSettleMs) +
    Exchange(kAckMs, 0);
constexpr int kCloseOnly = 6 * kThreadWait;
constexpr int kOpenCloseBound = kOpenOnly + kCloseOnly + kMarginMs;

// ---- Timing every call ------------------------------------------------------------------------

struct Slot {
    std::atomic<int64_t> startMs{-1};  // -1: no call running
    std::atomic<int> boundMs{0};
    std::atomic<const char*> name{""};
};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

class Timing {
  public:
    // One slot per worker thread and one for the test's own thread.
    std::array<Slot, kThreads + 1> slots;

    template <typename Call>
    int Run(int slot, const char* name, int boundMs, Call call) {
        Slot& s = slots[slot];
        s.name = name;
        s.boundMs = boundMs;
        const int64_t start = NowMs();
        s.startMs = start;
        int result = call();
        s.startMs = -1;
        Record(name, boundMs, NowMs() - start, result);
        return result;
    }

    void Record(const char* name, int boundMs, int64_t ms, int result) {
        std::lock_guard<std::mutex> lock(mutex_);
        int64_t& worst = worstMs_[name];
        worst = std::max(worst, ms);
        ++results_[name][result];
        if (ms > boundMs)
            overruns_.push_back(std::string(name) + " took " + std::to_string(ms) + " ms");
    }

    // Aborts the run when a call has gone past its bound: it may never come back.
    void StartWatchdog() {
        watchdog_ = std::thread([this] {
            std::unique_lock<std::mutex> lock(watchMutex_);
            while (!watchStop_) {
                watchWake_.wait_for(lock, std::chrono::milliseconds(500));
                for (size_t i = 0; i < slots.size(); ++i) {
                    const int64_t start = slots[i].startMs;
                    if (start >= 0 && NowMs() - start > slots[i].boundMs) {
                        std::fprintf(stderr, "%s on thread %zu has run for %lld ms, bound %d ms\n",
                                     slots[i].name.load(), i,
                                     static_cast<long long>(NowMs() - start),
                                     slots[i].boundMs.load());
                        std::abort();
                    }
                }
            }
        });
    }
    void StopWatchdog() {
        {
            std::lock_guard<std::mutex> lock(watchMutex_);
            watchStop_ = true;
        }
        watchWake_.notify_all();
        if (watchdog_.joinable()) watchdog_.join();
    }

    std::vector<std::string> Overruns() {
        std::lock_guard<std::mutex> lock(mutex_);
        return overruns_;
    }
    // Results no call of the soak may give: an internal failure (-7), a bad argument (-18), port
    // trouble of a port that is there (-21, -22, -24).
    std::vector<std::string> ImpossibleResults() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> found;
        for (const auto& [name, counts] : results_)
            for (const auto& [result, count] : counts)
                if (result == -7 || result == -18 || result == -21 || result == -22 ||
                    result == -24)
                    found.push_back(name + " gave " + std::to_string(result));
        return found;
    }
    void Print() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [name, counts] : results_) {
            int calls = 0;
            std::string by;
            for (const auto& [result, count] : counts) {
                calls += count;
                by += " " + std::to_string(result) + ":" + std::to_string(count);
            }
            std::printf("%-34s %6d calls, longest %6lld ms, results%s\n", name.c_str(), calls,
                        static_cast<long long>(worstMs_[name]), by.c_str());
        }
    }

  private:
    std::mutex mutex_;
    std::map<std::string, int64_t> worstMs_;
    std::map<std::string, std::map<int, int>> results_;
    std::vector<std::string> overruns_;
    std::thread watchdog_;
    std::mutex watchMutex_;
    std::condition_variable watchWake_;
    bool watchStop_ = false;
};

Timing g_timing;

// ---- Callbacks: counted per thread and kind of request ----------------------------------------

enum ReqKind { kKey, kSwipe, kCard, kReqKinds };

struct Tally {
    std::atomic<int> accepted{0};
    std::atomic<int> called{0};
    std::atomic<int> badStatus{0};
};
Tally g_tally[kThreads][kReqKinds];
std::atomic<bool> g_closeFromCallback{false};
std::atomic<int> g_callbackCloses{0};

void Called(int thread, int kind, int status) {
    // An accepted request ends in an answer (0 or the terminal's status), a cancel (-5), a
    // power-up (-9), no answer in time (-19) or the close (-1).
    if (status < 0 && status != -1 && status != -5 && status != -9 && status != -19)
        ++g_tally[thread][kind].badStatus;
    ++g_tally[thread][kind].called;
    if (g_closeFromCallback.exchange(false)) {
        const int64_t start = NowMs();
        ornClose();
        g_timing.Record("ornClose (from a callback)", kOpenCloseBound, NowMs() - start, 0);
        ++g_callbackCloses;
    }
}

template <int T>
void OnKey(int status, char) {
    Called(T, kKey, status);
}
template <int T>
void OnSwipe(int status, int, int, char*, int, int, char*) {
    Called(T, kSwipe, status);
}
template <int T>
void OnCard(int status) {
    Called(T, kCard, status);
}

struct ThreadCallbacks {
    ornFkeyCallback key;
    ornMsrCallback swipe;
    ornSmartCardCallback card;
};
template <size_t... I>
std::array<ThreadCallbacks, sizeof...(I)> MakeCallbacks(std::index_sequence<I...>) {
    return {{{OnKey<I>, OnSwipe<I>, OnCard<I>}...}};
}
const std::array<ThreadCallbacks, kThreads> kCallbacks =
    MakeCallbacks(std::make_index_sequence<kThreads>());

std::atomic<int> g_lastState{-99};
std::atomic<int> g_stateCalls{0};
void OnState(int state) {
    g_lastState = state;
    ++g_stateCalls;
}

void OnEmvData(int, const unsigned char*, int) {}

// ---- Process resources ------------------------------------------------------------------------

// The open descriptors by number (what they point to may be renamed under us, as ctest does
// with its own log), and a listing for the failure message.
std::vector<int> Descriptors() {
    std::vector<int> numbers;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        numbers.push_back(std::atoi(entry.path().filename().c_str()));
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}
std::string DescriptorTargets() {
    std::string text;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        text += entry.path().filename().string() + " -> " +
                std::filesystem::read_symlink(entry.path(), ignored).string() + "\n";
    }
    return text;
}

// ---- The fault phase --------------------------------------------------------------------------

class Soak {
  public:
    Soak(orn::test::SimSession& session, std::string log)
        : session_(session), log_(std::move(log)) {}

    int Init(int slot) {
        return g_timing.Run(slot, "ornInit", kOpenCloseBound,
                            [&] { return ornInit("COM7", log_.c_str(), ORN_LOGGER_INFO); });
    }
    void Close(int slot) {
        g_timing.Run(slot, "ornClose", kOpenCloseBound, [] {
            ornClose();
            return 0;
        });
    }

    void Worker(int t, Clock::time_point end) {
        std::mt19937 random(7919 * (t + 1));
        const ThreadCallbacks& cb = kCallbacks[t];
        auto req = [&](int kind, const char* name, auto call) {
            if (g_timing.Run(t, name, kReqBound, call) == 0) ++g_tally[t][kind].accepted;
        };
        while (Clock::now() < end) {
            const int pick = static_cast<int>(random() % 100);
            if (t == kCycler && pick < 3) {
                Close(t);
                Init(t);
                continue;
            }
            if (t == kCycler && ornPing() == ORN_ERR_COMM_PORT_NOT_OPEN) {
                // Closed by a callback, or the last open found no terminal.
                Init(t);
                continue;
            }
            if (t < kEmvThreads && pick < 15) {
                int result = g_timing.Run(t, "ornEmvSendAsync", kEmvSendBound, [] {
                    static const unsigned char data[] = {0x9F, 0x02, 0x06, 0x00, 0x00, 0x01};
                    return ornEmvSendAsync(kEmvApp, data, sizeof data);
                });
                if (result == ORN_ERR_EMV_NOT_IN_SESSION_TABLE)
                    g_timing.Run(t, "ornEmvOpenSession", kCommandBound,
                                 [] { return ornEmvOpenSession(kEmvApp, OnEmvData); });
            } else if (pick < 30) {
                req(kKey, "ornFunctionKeyPromptReq", [&] {
                    return ornFunctionKeyPromptReq("Soak", nullptr, nullptr, "any key", cb.key);
                });
            } else if (pick < 40) {
                req(kSwipe, "ornSwipeMagStripeCardReq",
                    [&] { return ornSwipeMagStripeCardReq(2, 2000, cb.swipe); });
            } else if (pick < 48) {
                req(kCard, "ornWaitForSmartCardInsertionReq",
                    [&] { return ornWaitForSmartCardInsertionReq(1500, cb.card); });
            } else if (pick < 60) {
                g_timing.Run(t, "ornBeep", kCommandBound, [&] { return ornBeep(pick % 16); });
            } else if (pick < 68) {
                g_timing.Run(t, "ornSmartCardStatus", kCommandBound,
                             [] { return ornSmartCardStatus(); });
            } else if (pick < 76) {
                g_timing.Run(t, "ornSwipeMagStripeCardWait", WaitBound(1500), [] {
                    int s1, l1, s2, l2;
                    char d1[255], d2[255];
                    return ornSwipeMagStripeCardWait(2, 1500, &s1, &l1, d1, &s2, &l2, d2);
                });
            } else if (pick < 80) {
                g_timing.Run(t, "ornWaitForSmartCardInsertionWait", WaitBound(1200),
                             [] { return ornWaitForSmartCardInsertionWait(1200); });
            } else if (pick < 85) {
                g_timing.Run(t, "ornCancel", kCommandBound, [] { return ornCancel(); });
            } else if (pick < 88) {
                g_timing.Run(t, "ornCancelMsrCommand", kCommandBound,
                             [] { return ornCancelMsrCommand(); });
            } else if (pick < 91) {
                g_timing.Run(t, "ornSmartCardCancel", kCommandBound,
                             [] { return ornSmartCardCancel(); });
            } else if (pick < 94) {
                g_timing.Run(t, "ornIsBusy", kNoWaitBound, [&] { return ornIsBusy(pick % 3); });
            } else if (pick < 97) {
                g_timing.Run(t, "ornCheckConnectionStatus", kNoWaitBound,
                             [] { return ornCheckConnectionStatus(); });
            } else {
                g_timing.Run(t, "ornGetSerialNumber", kCommandBound, [] {
                    char serial[17];
                    return ornGetSerialNumber(serial);
                });
            }
            // A closed link answers at once: give the cycler room to reopen it.
            if (t != kCycler && ornPing() == ORN_ERR_COMM_PORT_NOT_OPEN)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // One fault per step, lifted at the next; some steps are quiet.
    void InjectFaults(Clock::time_point end) {
        orn::sim::TerminalSimulator& sim = session_.sim();
        std::mt19937 random(4242);
        std::map<int, int> counts;
        while (Clock::now() < end) {
            ClearFaults();
            const int fault = static_cast<int>(random() % 13);
            ++counts[fault];
            switch (fault) {
                case 0:  // NAK storm; six or more in a row fail the command with -8
                    sim.NakNextFrames(2 + static_cast<int>(random() % 6));
                    break;
                case 1:  // lost ACKs, the answer sent or not
                    sim.WithholdNextAcks(1 + static_cast<int>(random() % 3), random() % 2 == 0);
                    break;
                case 2:  // late ACKs, some after the ACK timeout
                    sim.SetAckDelay(200 + static_cast<int>(random() % 1800));
                    break;
                case 3:  // late answers, some after the answer timeouts
                    sim.SetResponseDelay(300 + static_cast<int>(random() % 3500));
                    orn::sim::SetKeypadDelay(static_cast<int>(random() % 5000));
                    break;
                case 4:  // bad LRCs on what the terminal sends
                    sim.CorruptNextFrames(1 + static_cast<int>(random() % 3));
                    break;
                case 5:  // power-up in the middle of whatever runs
                    sim.TriggerPowerUp();
                    break;
                case 6:  // the terminal goes away mid-command
                    sim.SetSilent(true);
                    break;
                case 7:  // close from a callback
                    g_closeFromCallback = true;
                    break;
                case 8:
                    if (orn::sim::CardInserted())
                        orn::sim::RemoveCard(sim);
                    else
                        orn::sim::InsertCard(sim);
                    break;
                case 9:
                    orn::sim::SetAutoSwipe(random() % 2 == 0);
                    break;
                case 10:  // data from the terminal's EMV application
                    orn::sim::PushEmvData(sim, kEmvApp, std::string("\x01\x02\x03", 3));
                    break;
                default:  // quiet
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 1300));
        }
        ClearFaults();
        g_closeFromCallback = false;
        std::printf("faults injected:");
        for (const auto& [fault, count] : counts) std::printf(" %d:%d", fault, count);
        std::printf("\n");
    }

    void ClearFaults() {
        orn::sim::TerminalSimulator& sim = session_.sim();
        sim.SetSilent(false);
        sim.NakNextFrames(0);
        sim.WithholdNextAcks(0);
        sim.SetAckDelay(0);
        sim.SetResponseDelay(0);
        sim.CorruptNextFrames(0);
        orn::sim::SetKeypadDelay(0);
    }

  private:
    orn::test::SimSession& session_;
    std::string log_;
};

long long SecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
}

int SoakSeconds() {
    const char* text = std::getenv("ORN_SOAK_SECONDS");
    int seconds = text ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 120;
}

// ---- Load and unload --------------------------------------------------------------------------

std::atomic<int> g_unloadKeyCalls{0};
std::atomic<int> g_unloadKeyStatus{0};
void OnUnloadKey(int status, char) {
    g_unloadKeyStatus = status;
    ++g_unloadKeyCalls;
}

template <typename F>
F Symbol(void* lib, const char* name) {
    return reinterpret_cast<F>(dlsym(lib, name));
}

TEST(Soak, FaultsThenOpenCloseAndUnloadCyclesLeaveEverythingAsItWas) {
    orn::test::SimSession session;
    orn::test::TempDir logs;
    const std::string log = logs.File("soak.log");
    ornSetConnectionStateCallback(OnState);
    // One open and close first, so the one-time process state (the engine, the logger's
    // buffers) exists before the baseline.
    ASSERT_EQ(ornInit("COM7", log.c_str(), ORN_LOGGER_INFO), 0);
    ornClose();
    ASSERT_TRUE(WaitUntil([] { return g_lastState.load() == -1; }, 10000));
    const size_t threads = orn::test::ThreadCount();
    const std::vector<int> descriptors = Descriptors();
    const std::string targets = DescriptorTargets();

    // Keypad input still waiting after 3 s is cancelled by the library's own timer.
    ASSERT_EQ(ornInputTimeoutAutoCancel(3), 0);
    g_timing.StartWatchdog();
    Soak soak(session, log);
    ASSERT_EQ(soak.Init(kThreads), 0);
    {
        const auto soakStart = Clock::now();
        const auto end = soakStart + std::chrono::seconds(SoakSeconds());
        std::vector<std::thread> workers;
        for (int t = 0; t < kThreads; ++t) workers.emplace_back([&, t] { soak.Worker(t, end); });
        soak.InjectFaults(end);
        for (auto& worker : workers) worker.join();
        std::printf("fault phase: %lld s, %d closes from a callback\n", SecondsSince(soakStart),
                    g_callbackCloses.load());
    }

    // The close reports every request still waiting (-1) and the closed state before it returns.
    soak.Close(kThreads);
    EXPECT_EQ(g_lastState.load(), -1);
    EXPECT_EQ(ornCheckConnectionStatus(), ORN_ERR_COMM_PORT_NOT_OPEN);
    int accepted = 0;
    for (int t = 0; t < kThreads; ++t) {
        for (int kind = 0; kind < kReqKinds; ++kind) {
            const Tally& tally = g_tally[t][kind];
            accepted += tally.accepted;
            EXPECT_EQ(tally.called.load(), tally.accepted.load())
                << "thread " << t << " kind " << kind;
            EXPECT_EQ(tally.badStatus.load(), 0) << "thread " << t << " kind " << kind;
        }
    }
    std::printf("%d requests accepted and called back\n", accepted);
    EXPECT_GT(accepted, 0);

    // A terminal without faults: the state comes back to connected, and closing ends it.
    ASSERT_EQ(ornInputTimeoutAutoCancel(0), 0);
    orn::sim::ResetKeypad();
    orn::sim::ResetCardTerminal();
    ASSERT_EQ(soak.Init(kThreads), 0);
    EXPECT_TRUE(WaitUntil([] { return ornCheckConnectionStatus() == 0; }, 10000));
    EXPECT_TRUE(WaitUntil([] { return g_lastState.load() == 0; }, 10000));
    soak.Close(kThreads);
    EXPECT_EQ(g_lastState.load(), -1);

    // Open and close cycles, each closing a request that waits for the cardholder. Every tenth
    // open is the full one (log, power-up handshake); the others the minimal open, for which the
    // terminal sends no power-up enquiry.
    orn::sim::SetKeypadDelay(600000);
    auto phaseStart = Clock::now();
    int cycles = 0;
    for (; cycles < 1000; ++cycles) {
        const bool full = cycles % 10 == 0;
        session.sim().SetPowerUp(full ? orn::sim::PowerUp::EnqAck : orn::sim::PowerUp::None);
        const int calledBefore = g_tally[0][kKey].called;
        const int opened = full ? soak.Init(kThreads)
                                : g_timing.Run(kThreads, "ornOpen", kOpenCloseBound,
                                               [] { return ornOpen("COM7"); });
        ASSERT_EQ(opened, 0) << "cycle " << cycles;
        const int req = g_timing.Run(kThreads, "ornFunctionKeyPromptReq", kReqBound, [] {
            return ornFunctionKeyPromptReq("Cycle", nullptr, nullptr, nullptr, OnKey<0>);
        });
        ASSERT_EQ(req, 0) << "cycle " << cycles;
        ++g_tally[0][kKey].accepted;
        soak.Close(kThreads);
        ASSERT_EQ(g_tally[0][kKey].called.load(), calledBefore + 1) << "cycle " << cycles;
        ASSERT_EQ(g_lastState.load(), -1) << "cycle " << cycles;
    }

    std::printf("open/close cycles: %lld s\n", SecondsSince(phaseStart));
    phaseStart = Clock::now();

    // Load and unload cycles of the shared library, a request waiting each time; every other
    // unload finds the link open and must close it and join its threads itself.
    int unloads = 0;
    for (; unloads < 100; ++unloads) {
        const bool full = unloads % 10 == 0;
        session.sim().SetPowerUp(full ? orn::sim::PowerUp::EnqAck : orn::sim::PowerUp::None);
        void* lib = dlopen(ORN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << dlerror();
        auto init = Symbol<int (*)(const char*, const char*, int)>(lib, "ornInit");
        auto open = Symbol<int (*)(const char*)>(lib, "ornOpen");
        auto close = Symbol<void (*)()>(lib, "ornClose");
        auto setState =
            Symbol<void (*)(ornConnectionStateCallback)>(lib, "ornSetConnectionStateCallback");
        auto keyReq = Symbol<decltype(&ornFunctionKeyPromptReq)>(lib, "ornFunctionKeyPromptReq");
        ASSERT_TRUE(init && open && close && setState && keyReq);
        setState(OnState);
        const int calledBefore = g_unloadKeyCalls;
        ASSERT_EQ(full ? init("COM7", log.c_str(), ORN_LOGGER_INFO) : open("COM7"), 0)
            << "unload " << unloads;
        ASSERT_EQ(keyReq("Unload", nullptr, nullptr, nullptr, OnUnloadKey), 0)
            << "unload " << unloads;
        if (unloads % 2 == 1) close();
        const int64_t start = NowMs();
        ASSERT_EQ(dlclose(lib), 0);
        g_timing.Record("dlclose", kOpenCloseBound, NowMs() - start, 0);
        ASSERT_EQ(g_unloadKeyCalls.load(), calledBefore + 1) << "unload " << unloads;
        ASSERT_EQ(g_unloadKeyStatus.load(), ORN_ERR_COMM_PORT_NOT_OPEN);
        ASSERT_EQ(g_lastState.load(), -1) << "unload " << unloads;
    }
    std::printf("load/unload cycles: %lld s\n", SecondsSince(phaseStart));
    g_timing.StopWatchdog();
    g_timing.Print();
    std::printf("%d open/close cycles, %d load/unload cycles\n", cycles, unloads);

    EXPECT_EQ(g_timing.Overruns(), std::vector<std::string>());
    EXPECT_EQ(g_timing.ImpossibleResults(), std::vector<std::string>());
    // No callback of a closed link came late.
    for (int t = 0; t < kThreads; ++t)
        for (int kind = 0; kind < kReqKinds; ++kind)
            EXPECT_EQ(g_tally[t][kind].called.load(), g_tally[t][kind].accepted.load());
    // Threads that report a state change may still be on their way out.
    EXPECT_TRUE(WaitUntil([&] { return orn::test::ThreadCount() == threads; }, 10000))
        << orn::test::ThreadCount() << " threads, " << threads << " at the start";
    EXPECT_EQ(Descriptors(), descriptors) << "now:\n"
                                          << DescriptorTargets() << "at the start:\n"
                                          << targets;
}

}  // namespace
