// Many threads mixing synchronous commands, Reqs and cancels: nothing hangs, every accepted Req
// gets exactly one callback, and the queue empties.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "engine/generic_handler.h"
#include "sim_session.h"
#include "velquoraorn.h"

namespace {

using orn::test::SimSession;
using orn::test::WaitUntil;

std::atomic<int> g_callbacks{0};
std::atomic<int> g_badCallbackStatus{0};

void OnKey(int status, char) {
    if (status != 0 && status != ORN_ERR_CANCELED_BY_USER_ERROR &&
        status != ORN_ERR_CANCELED_BY_POWERUP_ERROR)
        ++g_badCallbackStatus;
    ++g_callbacks;
}

TEST(Stress, EightThreadsOfMixedCommandsRequestsAndCancels) {
    SimSession session;
    ASSERT_EQ(session.Open(ORN_LOGGER_SEVERE), 0);

    constexpr int kThreads = 8;
    constexpr int kRounds = 500;
    std::atomic<int> accepted{0};
    std::atomic<int> unexpected{0};
    std::atomic<int> exchanged{0};
    // What each kind of call may legitimately return while others compete for the terminal.
    const std::set<int> syncResults = {0, ORN_ERR_DEVICE_IS_BUSY_ERROR,
                                       ORN_ERR_CANCELED_BY_USER_ERROR};
    const std::set<int> reqResults = {0, ORN_ERR_DEVICE_IS_BUSY_ERROR,
                                      ORN_ERR_CANCELED_BY_USER_ERROR};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(1234 + t);
            for (int round = 0; round < kRounds; ++round) {
                int pick = static_cast<int>(random() % 20);
                int result;
                if (pick == 0) {
                    result = ornCancel();
                    if (result != 0 && result != ORN_ERR_DEVICE_IS_BUSY_ERROR) ++unexpected;
                } else if (pick < 8) {
                    result = ornFunctionKeyPromptReq("Stress", "", "", "any key", OnKey);
                    if (result == 0) ++accepted;
                    if (!reqResults.count(result)) ++unexpected;
                } else if (pick < 12) {
                    // Another device group, so it runs beside the display traffic.
                    result = ornSmartCardStatus();
                    if (result < 0 && !syncResults.count(result)) ++unexpected;
                    if (result >= 0) ++exchanged;
                } else {
                    result = ornBeep(pick % 16);
                    if (!syncResults.count(result)) ++unexpected;
                    if (result == 0) ++exchanged;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();

    std::printf("%d requests accepted, %d synchronous exchanges completed\n", accepted.load(),
                exchanged.load());
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(accepted.load(), 0);
    // Every accepted request reports once; then the engine holds no record any more.
    EXPECT_TRUE(WaitUntil([&] { return g_callbacks.load() >= accepted.load(); }, 30000))
        << g_callbacks.load() << " callbacks for " << accepted.load() << " accepted requests";
    EXPECT_TRUE(WaitUntil([] { return orn::Engine().QueueSize() == 0; }, 10000));
    EXPECT_EQ(g_callbacks.load(), accepted.load());
    EXPECT_EQ(g_badCallbackStatus.load(), 0);
    EXPECT_EQ(ornPing(), 0);
}

}  // namespace
