// Events, locks, threads, clock and files of the platform layer.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace orn::platform {
namespace {

using orn::test::TempDir;
using orn::test::WaitUntil;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// --- Events ----------------------------------------------------------------------------------

TEST(EventTest, ManualResetStaysSetUntilReset) {
    Event event(true);
    EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
    event.Set();
    EXPECT_EQ(event.Wait(0), WaitResult::Signalled);
    EXPECT_EQ(event.Wait(0), WaitResult::Signalled);
    EXPECT_TRUE(event.IsSet());
    event.Reset();
    EXPECT_FALSE(event.IsSet());
    EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
}

TEST(EventTest, AutoResetIsConsumedByOneWaitButNotByIsSet) {
    Event event(false, true);
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.IsSet());
    EXPECT_EQ(event.Wait(0), WaitResult::Signalled);
    EXPECT_FALSE(event.IsSet());
    EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
    event.Set();
    event.Set();  // setting twice still releases one wait only
    EXPECT_EQ(event.Wait(0), WaitResult::Signalled);
    EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
}

TEST(EventTest, TimedWaitLastsAtLeastItsTimeout) {
    Event event(true);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(event.Wait(120), WaitResult::Timeout);
    EXPECT_GE(MsSince(start), 120);
}

TEST(EventTest, AutoResetSetReleasesExactlyOneOfSeveralWaiters) {
    Event event(false);
    std::atomic<int> released{0};
    auto waiter = [&] {
        if (event.Wait(kInfinite) == WaitResult::Signalled) ++released;
    };
    std::thread a(waiter), b(waiter);
    event.Set();
    ASSERT_TRUE(WaitUntil([&] { return released.load() == 1; }, 5000));
    // The second waiter must stay asleep: give it a chance to run wrongly.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(released.load(), 1);
    event.Set();
    ASSERT_TRUE(WaitUntil([&] { return released.load() == 2; }, 5000));
    a.join();
    b.join();
    EXPECT_FALSE(event.IsSet());
}

TEST(WaitForAnyTest, ReportsFirstSignalledAndConsumesOnlyIt) {
    Event a(false), b(false), c(true);
    Event* events[] = {&a, &b, &c};
    size_t index = 99;

    b.Set();
    c.Set();
    ASSERT_EQ(WaitForAny(events, 3, 0, &index), WaitResult::Signalled);
    EXPECT_EQ(index, 1u);
    EXPECT_FALSE(b.IsSet());
    EXPECT_TRUE(c.IsSet());  // not reported, so not touched

    ASSERT_EQ(WaitForAny(events, 3, 0, &index), WaitResult::Signalled);
    EXPECT_EQ(index, 2u);
    EXPECT_TRUE(c.IsSet());  // manual reset stays set

    a.Set();
    b.Set();
    ASSERT_EQ(WaitForAny(events, 3, 0, &index), WaitResult::Signalled);
    EXPECT_EQ(index, 0u);
    EXPECT_FALSE(a.IsSet());
    EXPECT_TRUE(b.IsSet());  // a later auto-reset event found set is left alone
}

TEST(WaitForAnyTest, TimesOutWhenNothingIsSet) {
    Event a(false), b(true);
    Event* events[] = {&a, &b};
    size_t index = 99;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForAny(events, 2, 100, &index), WaitResult::Timeout);
    EXPECT_GE(MsSince(start), 100);
    EXPECT_EQ(index, 99u);
}

TEST(WaitForAnyTest, WakesWhenAnotherThreadSetsALaterEvent) {
    Event a(false), b(false), c(false);
    Event* events[] = {&a, &b, &c};
    std::thread setter([&c] { c.Set(); });
    size_t index = 99;
    EXPECT_EQ(WaitForAny(events, 3, 5000, &index), WaitResult::Signalled);
    EXPECT_EQ(index, 2u);
    EXPECT_FALSE(c.IsSet());
    setter.join();
}

TEST(WaitForAnyTest, LeavesNoRegistrationBehind) {
    // A waiter left registered after its wait would be touched by the next Set (a dangling
    // pointer into a finished wait), and the same event listed twice must be unregistered
    // twice.
    auto event = std::make_unique<Event>(false);
    for (int i = 0; i < 3; ++i) {
        Event* events[] = {event.get(), event.get()};
        size_t index = 0;
        EXPECT_EQ(WaitForAny(events, 2, 1, &index), WaitResult::Timeout);
    }
    event->Set();
    EXPECT_EQ(event->Wait(0), WaitResult::Signalled);
}

TEST(WaitForAnyTest, PingPongLosesNoWakeup) {
    // Two threads hand a token back and forth through auto-reset events, each side also
    // watching a stop event. A lost wakeup shows as a five-second timeout.
    Event ping(false), pong(false), stop(true);
    constexpr int kRounds = 2000;
    std::atomic<int> bad{0};
    std::thread peer([&] {
        Event* events[] = {&stop, &ping};
        for (;;) {
            size_t index = 0;
            if (WaitForAny(events, 2, 5000, &index) != WaitResult::Signalled) {
                ++bad;
                return;
            }
            if (index == 0) return;
            pong.Set();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        ping.Set();
        ASSERT_EQ(pong.Wait(5000), WaitResult::Signalled) << "round " << i;
    }
    stop.Set();
    peer.join();
    EXPECT_EQ(bad.load(), 0);
}

// --- Lock ------------------------------------------------------------------------------------

TEST(RecursiveLockTest, OwnerReentersOthersWaitUntilFullyReleased) {
    RecursiveLock lock;
    auto otherGets = [&lock] {
        bool got = false;
        std::thread([&] {
            if ((got = lock.TryLock())) lock.Unlock();
        }).join();
        return got;
    };
    lock.Lock();
    EXPECT_TRUE(lock.TryLock());
    EXPECT_FALSE(otherGets());
    lock.Unlock();
    EXPECT_FALSE(otherGets());  // still held once
    lock.Unlock();
    EXPECT_TRUE(otherGets());
}

TEST(MutexTest, HolderExcludesOthersUntilReleased) {
    Mutex lock;
    lock.Lock();
    bool otherGot = true;
    std::thread([&] { otherGot = lock.TryLock(); }).join();
    EXPECT_FALSE(otherGot);
    lock.Unlock();
    std::thread([&] {
        otherGot = lock.TryLock();
        if (otherGot) lock.Unlock();
    }).join();
    EXPECT_TRUE(otherGot);
}

// --- Threads ---------------------------------------------------------------------------------

TEST(ThreadTest, RunsBodyOnItsOwnThreadAndJoins) {
    Thread thread;
    EXPECT_FALSE(thread.Started());
    EXPECT_EQ(thread.Id(), 0u);
    std::atomic<uint32_t> idInside{0};
    ASSERT_EQ(thread.Start([&] {
        idInside = CurrentThreadId();
        return 42u;
    }),
              0u);
    uint32_t id = thread.Id();  // known as soon as Start returns
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, CurrentThreadId());
    EXPECT_EQ(thread.Join(5000), WaitResult::Signalled);
    EXPECT_EQ(idInside.load(), id);
    EXPECT_TRUE(thread.Finished());
    EXPECT_EQ(thread.ExitCode(), 42u);
    EXPECT_EQ(thread.Join(0), WaitResult::Signalled);  // joining again is harmless
}

struct BlockedState {
    Event release{true};
    std::atomic<bool> ranToEnd{false};
};

// A body that waits for `state->release`, then notes that it ran to its end.
std::function<uint32_t()> Blocked(std::shared_ptr<BlockedState> state) {
    return [state] {
        state->release.Wait(kInfinite);
        state->ranToEnd = true;
        return 0u;
    };
}

TEST(ThreadTest, StartRefusedUntilJoinedOrAbandoned) {
    Thread thread;
    auto state = std::make_shared<BlockedState>();
    ASSERT_EQ(thread.Start(Blocked(state)), 0u);
    EXPECT_EQ(thread.Start([] { return 0u; }), kErrAlreadyOpen);
    state->release.Set();
    ASSERT_TRUE(WaitUntil([&] { return thread.Finished(); }, 5000));
    EXPECT_EQ(thread.Start([] { return 0u; }), kErrAlreadyOpen);  // finished but not joined
    EXPECT_EQ(thread.Join(5000), WaitResult::Signalled);
    EXPECT_FALSE(thread.Started());

    ASSERT_EQ(thread.Start([] { return 7u; }), 0u);
    EXPECT_EQ(thread.Join(5000), WaitResult::Signalled);
    EXPECT_EQ(thread.ExitCode(), 7u);
}

TEST(ThreadTest, JoinTimesOutOnARunningBody) {
    Thread thread;
    auto state = std::make_shared<BlockedState>();
    ASSERT_EQ(thread.Start(Blocked(state)), 0u);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(thread.Join(100), WaitResult::Timeout);
    EXPECT_GE(MsSince(start), 100);
    EXPECT_FALSE(thread.Finished());
    state->release.Set();
    EXPECT_EQ(thread.Join(5000), WaitResult::Signalled);
}

TEST(ThreadTest, CapturesAreReleasedBeforeJoinReports) {
    auto state = std::make_shared<int>(0);
    Thread thread;
    ASSERT_EQ(thread.Start([state] {
        *state = 1;
        return 0u;
    }),
              0u);
    ASSERT_EQ(thread.Join(5000), WaitResult::Signalled);
    EXPECT_EQ(*state, 1);
    EXPECT_EQ(state.use_count(), 1);
}

TEST(ThreadTest, AbandonedBodyOutlivesItsThreadObject) {
    auto state = std::make_shared<BlockedState>();
    {
        Thread thread;
        ASSERT_EQ(thread.Start(Blocked(state)), 0u);
        EXPECT_EQ(thread.Join(20), WaitResult::Timeout);
        thread.Abandon();
        EXPECT_FALSE(thread.Started());
    }
    state->release.Set();
    ASSERT_TRUE(WaitUntil([&] { return state->ranToEnd.load(); }, 5000));
    // The body and its copy of `state` are dropped by the thread itself.
    EXPECT_TRUE(WaitUntil([&] { return state.use_count() == 1; }, 5000));
}

TEST(ThreadTest, DestroyingARunningThreadDoesNotWaitForIt) {
    auto state = std::make_shared<BlockedState>();
    Clock::time_point start = Clock::now();
    {
        Thread thread;
        ASSERT_EQ(thread.Start(Blocked(state)), 0u);
    }
    EXPECT_LT(MsSince(start), 4000);
    state->release.Set();
    ASSERT_TRUE(WaitUntil([&] { return state.use_count() == 1; }, 5000));
    EXPECT_TRUE(state->ranToEnd.load());
}

TEST(ThreadTest, DestroyingAFinishedThreadJoinsIt) {
    // A finished thread must be joined by the destructor (the thread sanitizer reports a
    // leaked thread otherwise); the body's effect is visible before.
    std::atomic<bool> ran{false};
    {
        Thread thread;
        ASSERT_EQ(thread.Start([&ran] {
            ran = true;
            return 0u;
        }),
                  0u);
        ASSERT_TRUE(WaitUntil([&] { return thread.Finished(); }, 5000));
    }
    EXPECT_TRUE(ran.load());
}

TEST(ThreadTest, JoiningItselfFailsInsteadOfHanging) {
    Thread thread;
    std::atomic<int> result{-1};
    Event go(true);
    ASSERT_EQ(thread.Start([&] {
        go.Wait(kInfinite);
        result = static_cast<int>(thread.Join(kInfinite));
        return 0u;
    }),
              0u);
    go.Set();
    ASSERT_EQ(thread.Join(5000), WaitResult::Signalled);
    EXPECT_EQ(result.load(), static_cast<int>(WaitResult::Failed));
}

// --- Clock -----------------------------------------------------------------------------------

TEST(ClockTest, TickCountFollowsTheMonotonicClock) {
    Clock::time_point start = Clock::now();
    uint32_t first = TickCount();
    SleepMs(60);
    uint32_t elapsed = TickCount() - first;
    EXPECT_GE(elapsed, 59u);  // the two clocks are read a moment apart
    EXPECT_LE(elapsed, static_cast<uint32_t>(MsSince(start)) + 2);
}

TEST(ClockTest, LocalTimeAgreesWithTheCLibrary) {
    LocalTime now = GetLocalTime();
    std::tm parts{};
    parts.tm_year = now.year - 1900;
    parts.tm_mon = now.month - 1;
    parts.tm_mday = now.day;
    parts.tm_hour = now.hour;
    parts.tm_min = now.minute;
    parts.tm_sec = now.second;
    parts.tm_isdst = -1;
    std::time_t fromParts = std::mktime(&parts);
    std::time_t reference = std::time(nullptr);
    EXPECT_LE(std::abs(static_cast<long long>(reference - fromParts)), 2);
    EXPECT_EQ(parts.tm_wday, now.dayOfWeek);
    EXPECT_GE(now.millisecond, 0);
    EXPECT_LE(now.millisecond, 999);
}

// --- Files -----------------------------------------------------------------------------------

TEST(FilesTest, ExecutablePathIsThisProgram) {
    std::string path = ExecutablePath();
    ASSERT_TRUE(IsAbsolutePath(path));
    EXPECT_TRUE(FileExists(path));
    std::string name = path.substr(path.rfind(PathSeparator()) + 1);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0)
        name.resize(name.size() - 4);
    EXPECT_EQ(name, "platform_test");
}

TEST(FilesTest, RemoveAndRenameReportSuccess) {
    TempDir dir;
    std::string a = dir.File("trace.log.1"), b = dir.File("trace.log.0");
    std::ofstream(a) << "one";
    ASSERT_TRUE(FileExists(a));
    EXPECT_FALSE(FileExists(b));
    EXPECT_TRUE(RenameFile(a, b));
    EXPECT_FALSE(FileExists(a));
    EXPECT_TRUE(FileExists(b));
    EXPECT_FALSE(RenameFile(a, b));  // source gone
    EXPECT_TRUE(RemoveFile(b));
    EXPECT_FALSE(FileExists(b));
    EXPECT_FALSE(RemoveFile(b));
}

// --- DES -------------------------------------------------------------------------------------

// DES ignores the low bit of each key byte (its parity bit): keys that differ only there, and a
// two-key key whose halves are one key, encrypt as the same single key on every system.
TEST(DesTest, ParityBitsAndEqualHalvesDoNotChangeTheCipher) {
    struct Case {
        const char* key1;
        const char* key2;  // null: single DES
        const char* cipher;
    } cases[] = {
        {"0123456789ABCDEF", nullptr, "3FA40E8A984D4815"},
        {"0022446688AACCEE", nullptr, "3FA40E8A984D4815"},  // even parity
        {"0123456789ABCDEF", "0123456789ABCDEF", "3FA40E8A984D4815"},
        {"0022446688AACCEE", "0123456789ABCDEF", "3FA40E8A984D4815"},
        {"0123456789ABCDEF", "FEDCBA9876543210", "D80A0D8B2BAE5E4E"},
        {"0022446688AACCEE", "FFDDBB9977553311", "D80A0D8B2BAE5E4E"},
    };
    auto bytes = [](const char* hex) {
        std::vector<uint8_t> out;
        for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
            out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
        return out;
    };
    const std::vector<uint8_t> plain = {'N', 'o', 'w', ' ', 'i', 's', ' ', 't'};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key1) + " " + (c.key2 ? c.key2 : ""));
        const std::vector<uint8_t> key1 = bytes(c.key1), key2 = c.key2 ? bytes(c.key2) : key1;
        auto cipher = DesCipher::Create(key1.data(), c.key2 ? key2.data() : nullptr);
        ASSERT_NE(cipher, nullptr);
        std::vector<uint8_t> out(8);
        ASSERT_TRUE(cipher->Encrypt(plain.data(), out.data(), 8));
        EXPECT_EQ(out, bytes(c.cipher));
        ASSERT_TRUE(cipher->Decrypt(out.data(), out.data(), 8));
        EXPECT_EQ(out, plain);
    }
}

}  // namespace
}  // namespace orn::platform
