// Asynchronous completion against the terminal simulator: callbacks of Req-style records, the
// power-up and connection state callbacks, input auto-cancel, the queue monitor, and closing
// the library from inside a callback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "engine/generic_handler.h"
#include "platform/platform.h"
#include "sim_session.h"
#include "test_support.h"
#include "velquoraorn.h"

namespace {

using orn::CCommandData;
using orn::Engine;
using orn::test::WaitUntil;
using Clock = std::chrono::steady_clock;

constexpr int kDeadline = 10000;
constexpr int32_t kQuiet = ORN_LOGGER_FINE | ORN_LINK_MONITOR_OFF;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

using Calls = orn::test::Recorder<int>;
Calls g_fkey, g_state, g_powerUps;
std::atomic<char> g_key{0};

void OnFkey(int status, char key) {
    g_key = key;
    g_fkey.Add(status);
}
void OnState(int state) {
    g_state.Add(state);
}
void OnPowerUp() {
    g_powerUps.Add(ornCheckConnectionStatus());  // a command sent from here must find the link OK
}

// A record as a Req function builds it (FKEY callback unless told otherwise).
CCommandData* MakeReq(const std::string& id, int32_t group = orn::kGroupDisplay,
                      ornFkeyCallback callback = OnFkey, const char* name = "ornFkeyReq") {
    auto* record = new CCommandData;
    record->SetName(name);
    record->SetRequestId(id);
    record->SetResponseId(id);
    record->SetGroup(group);
    record->SetCancelType(group == orn::kGroupMsr ? orn::kCancelMsr : orn::kCancel50);
    record->SetCallback(orn::kCallbackFkey, callback);
    return record;
}

// The Req side of SendAsync: a refused or failed request is released by its caller.
int32_t Req(CCommandData* record) {
    int32_t result = Engine().SendAsync(record);
    if (result != 0) Engine().DoneCommand(record);
    return result;
}

int32_t Wait(CCommandData* record) {
    int32_t result = Engine().SendWaitData(record);
    Engine().DoneCommand(record);
    return result;
}

bool QueueDrained() {
    return WaitUntil([] { return Engine().QueueSize() == 0; }, kDeadline);
}

class CallbacksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (Calls* calls : {&g_fkey, &g_state, &g_powerUps}) calls->Clear();
    }
    void TearDown() override {
        session_.Close();
        ornSetConnectionStateCallback(nullptr);
        ornSetPowerUpCallback(nullptr);
        Engine().SetNotifyThreadHookForTest(nullptr);
        Engine().SetAcceptHookForTest(nullptr);
        ornInputTimeoutAutoCancel(0);
    }
    void Open(int32_t level = kQuiet) { ASSERT_EQ(session_.Open(level), 0); }
    orn::sim::TerminalSimulator& sim() { return session_.sim(); }

    orn::test::SimSession session_;
};

TEST_F(CallbacksTest, AcceptedRequestGetsOneCallbackRefusedOneNone) {
    Open();
    sim().SetHandler("57.", nullptr);  // acknowledged; answered below
    ASSERT_EQ(Req(MakeReq("57.")), 0);
    EXPECT_EQ(Req(MakeReq("57.")), ORN_ERR_DEVICE_IS_BUSY_ERROR);
    sim().SendFrame("57.", "0K");
    ASSERT_TRUE(g_fkey.WaitForInOrder({0}));
    EXPECT_EQ(g_key.load(), 'K');
    ASSERT_TRUE(QueueDrained());  // reclaimed once its callback ended
    EXPECT_EQ(g_fkey.Items(), std::vector<int>{0});
    EXPECT_EQ(session_.Payloads("57.").size(), 1u);
}

TEST_F(CallbacksTest, UnansweredRequestCallsBackWithMinus19AfterItsTimeout) {
    Open();
    sim().SetHandler("57.", nullptr);
    CCommandData* record = MakeReq("57.");
    record->SetResponseTimeout(200);  // 1200 ms with the margin
    auto start = Clock::now();
    ASSERT_EQ(Req(record), 0);
    ASSERT_TRUE(g_fkey.WaitForInOrder({ORN_ERR_API_TIMEOUT}));
    EXPECT_GE(MsSince(start), 1200 - 50);
}

TEST_F(CallbacksTest, PowerUpEndsPendingRequestAndBlockedCallerWithMinus9) {
    ornSetPowerUpCallback(OnPowerUp);
    Open();
    ASSERT_TRUE(WaitUntil([] { return g_powerUps.Count() >= 1; }, kDeadline));
    const size_t powerUps = g_powerUps.Count();  // the open's handshake
    sim().SetHandler("Q1.", nullptr);
    sim().SetHandler("5B.", nullptr);
    CCommandData* async = MakeReq("Q1.", orn::kGroupMsr);
    async->SetResponseTimeout(0);
    ASSERT_EQ(Req(async), 0);
    CCommandData* sync = MakeReq("5B.", orn::kGroupDisplay, nullptr, "ornBeep");
    sync->SetResponseTimeout(0);
    auto waiter = std::async(std::launch::async, [sync] { return Wait(sync); });
    ASSERT_TRUE(session_.WaitForPayloads("5B.", 1));

    sim().TriggerPowerUp();
    ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(kDeadline)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), ORN_ERR_CANCELED_BY_POWERUP_ERROR);
    ASSERT_TRUE(g_fkey.WaitForInOrder({ORN_ERR_CANCELED_BY_POWERUP_ERROR}));
    EXPECT_TRUE(WaitUntil([&] { return g_powerUps.Count() == powerUps + 1; }, kDeadline));
    EXPECT_EQ(g_powerUps.Items(), std::vector<int>(powerUps + 1, 0));
    ASSERT_TRUE(QueueDrained());
    EXPECT_EQ(g_fkey.Count(), 1u);
}

TEST_F(CallbacksTest, RequestFailedForLackOfAckStaysFailedWhenTheAckAndAnswerComeLate) {
    Open();
    sim().SetHandler("57.", nullptr);
    sim().SetAckMode(orn::sim::AckMode::Withhold);
    CCommandData* record = MakeReq("57.");
    ASSERT_EQ(Engine().SendAsync(record), ORN_ERR_NO_ACK_ERROR);
    // The last transmission's ACK and answer arrive before the Req has released the record.
    sim().SetAckMode(orn::sim::AckMode::Normal);
    const int hostAcks = sim().Snapshot().hostAcks;
    sim().SendRaw({orn::sim::kAck});
    sim().SendFrame("57.", "0K");
    ASSERT_TRUE(
        sim().WaitFor([&](const orn::sim::Record& r) { return r.hostAcks > hostAcks; }, kDeadline));
    Engine().DoneCommand(record);
    session_.Close();  // waits for every callback thread of the link
    EXPECT_EQ(g_fkey.Count(), 0u);
}

TEST_F(CallbacksTest, RequestCancelledBeforeItsReqDecidedIsReportedOnlyByItsCallback) {
    Open();
    sim().SetHandler("57.", nullptr);
    sim().SetAckMode(orn::sim::AckMode::Withhold);  // waits for its ACK until cancelled
    // A slow Req: by the time it looks, the cancel's callback has run and the record is gone
    // from the queue.
    Engine().SetAcceptHookForTest([] {
        WaitUntil([] { return g_fkey.Count() == 1 && Engine().QueueSize() == 0; }, kDeadline);
    });
    CCommandData* record = MakeReq("57.");
    auto req = std::async(std::launch::async, [record] { return Req(record); });
    ASSERT_TRUE(session_.WaitForPayloads("57.", 1));
    Engine().CancelQueued(orn::kCancel50);
    ASSERT_EQ(req.wait_for(std::chrono::milliseconds(2 * kDeadline)), std::future_status::ready);
    EXPECT_EQ(req.get(), 0);
    EXPECT_EQ(g_fkey.Items(), std::vector<int>{ORN_ERR_CANCELED_BY_USER_ERROR});
}

TEST_F(CallbacksTest, CloseEndsAnAcceptedRequestWithMinus1BeforeItReturns) {
    Open();
    sim().SetHandler("57.", nullptr);  // acknowledged, never answered
    CCommandData* record = MakeReq("57.");
    record->SetResponseTimeout(0);
    ASSERT_EQ(Req(record), 0);
    session_.Close();
    EXPECT_EQ(g_fkey.Items(), std::vector<int>{ORN_ERR_COMM_PORT_NOT_OPEN});
}

std::atomic<int> g_hooks{0};
std::atomic<size_t> g_mark{0};

TEST_F(CallbacksTest, ConnectionStatesArriveInOrderAndTheLastIsTheReportedStatus) {
    ornSetConnectionStateCallback(OnState);
    Open();
    ASSERT_TRUE(g_state.WaitForInOrder({2, 3, 0}));
    g_mark = g_state.Count();
    // The first delivery of the power-up is slow: later changes must wait for it.
    Engine().SetNotifyThreadHookForTest([] {
        if (g_hooks++ == 0) WaitUntil([] { return g_state.Count() > g_mark; }, 1000);
    });
    sim().TriggerPowerUp();
    ASSERT_TRUE(g_state.WaitForInOrder({2, 3, 0}, g_mark))
        << ::testing::PrintToString(g_state.Items());
    EXPECT_TRUE(WaitUntil([] { return ornCheckConnectionStatus() == 0; }, kDeadline));
    EXPECT_EQ(g_state.Items().back(), 0);
}

std::atomic<int> g_stateCloses{0};
void CloseOnState(int state) {
    g_state.Add(state);
    if (state == 2 && g_stateCloses++ == 0) ornClose();
}

TEST_F(CallbacksTest, CloseFromAConnectionStateCallbackReturnsAndReportsTheClose) {
    ornSetConnectionStateCallback(CloseOnState);
    Open();
    ASSERT_TRUE(g_state.WaitForInOrder({2, -1}));
    EXPECT_EQ(ornCheckConnectionStatus(), ORN_ERR_COMM_PORT_NOT_OPEN);
    ornSetConnectionStateCallback(OnState);
    Open();  // nothing was left hanging
    EXPECT_TRUE(WaitUntil([] { return ornPing() == 0; }, kDeadline));
}

std::atomic<bool> g_closerStarted{false};
void CloseOnceClosing(int status, char) {
    g_closerStarted = true;
    WaitUntil([] { return ornCheckConnectionStatus() == ORN_ERR_COMM_PORT_NOT_OPEN; }, kDeadline);
    ornClose();
    g_fkey.Add(status);
}

// Two closes at once, one from a callback the other waits for: neither waits for the other.
TEST_F(CallbacksTest, CloseFromACallbackWhileAnotherCloseWaitsForIt) {
    Open();
    session_.Answer("57.", "01");
    ASSERT_EQ(Req(MakeReq("57.", orn::kGroupDisplay, CloseOnceClosing)), 0);
    ASSERT_TRUE(WaitUntil([] { return g_closerStarted.load(); }, kDeadline));
    const std::string log = session_.CloseAndReadLog();
    EXPECT_EQ(g_fkey.Count(), 1u);
    // Had the two closes waited for each other, the queue thread's drain and the callback
    // thread's stop would each have run out of time.
    EXPECT_EQ(log.find("level1 timeout"), std::string::npos) << log;
    EXPECT_EQ(log.find("shutdown improperly"), std::string::npos) << log;
}

TEST_F(CallbacksTest, AnExceptionInsideAnExportBecomesMinus7) {
    Open(ORN_LOGGER_FINE);
    Engine().SetFaultHookForTest([] { throw std::bad_alloc(); });
    EXPECT_EQ(ornBeep(1), ORN_ERR_UNKNOWN_ERROR);  // a command
    EXPECT_EQ(ornFunctionKeyPromptReq("1", "2", "3", "4", OnFkey), ORN_ERR_UNKNOWN_ERROR);
    EXPECT_EQ(ornPing(), ORN_ERR_UNKNOWN_ERROR);  // guarded by hand
    Engine().SetFaultHookForTest(nullptr);
    EXPECT_EQ(ornBeep(1), 0);  // the library goes on
    const std::string log = session_.CloseAndReadLog();
    EXPECT_NE(log.find("(Severe)  ornBeep: exception caught: std::bad_alloc"), std::string::npos)
        << log;
    EXPECT_NE(log.find("(Severe)  ornPing: exception caught: std::bad_alloc"), std::string::npos);
}

std::atomic<int> g_blockingCalls{0};
std::atomic<bool> g_releaseBlocked{false}, g_blockedReturned{false};
void BlockOnFirstState(int state) {
    g_state.Add(state);
    if (g_blockingCalls++ != 0) return;
    WaitUntil([] { return g_releaseBlocked.load(); }, 60000);
    g_blockedReturned = true;
}

// A close that gave up on a blocked state callback: what that link still had to report is
// dropped, so the application's last value is the next link's state, not the old link's close.
TEST_F(CallbacksTest, StatesOfAClosedLinkAreNotDeliveredOnceTheCloseGaveUpOnThem) {
    ornSetConnectionStateCallback(BlockOnFirstState);
    Open();
    ASSERT_TRUE(WaitUntil([] { return g_blockingCalls.load() == 1; }, kDeadline));
    session_.Close();  // returns once its 5 s wait for the notifier ran out
    Open();
    EXPECT_TRUE(g_state.WaitForInOrder({2, 3, 0}, 1));
    g_releaseBlocked = true;
    ASSERT_TRUE(WaitUntil([] { return g_blockedReturned.load(); }, kDeadline));
    // Left behind, the old notifier would go on at once with the old link's 3, 0, -1.
    EXPECT_FALSE(WaitUntil([] { return g_state.Count() > 4; }, 1000));
    EXPECT_EQ(g_state.Items(), (std::vector<int>{2, 2, 3, 0}));
    EXPECT_EQ(ornCheckConnectionStatus(), 0);
}

TEST_F(CallbacksTest, CallbackRemovedAfterItsThreadStartedIsNotCalled) {
    ornSetConnectionStateCallback(OnState);
    Open();
    ASSERT_TRUE(g_state.WaitForInOrder({2, 3, 0}));  // every change of the open has been reported
    const size_t before = g_state.Count();
    std::atomic<int> hookRuns{0};
    Engine().SetNotifyThreadHookForTest([&hookRuns] {
        ornSetConnectionStateCallback(nullptr);  // between the thread's start and its call
        ++hookRuns;
    });
    sim().SendEnq();  // pending
    ASSERT_TRUE(WaitUntil([&] { return hookRuns.load() > 0; }, kDeadline));
    session_.Close();  // waits for the listed threads
    Engine().SetNotifyThreadHookForTest(nullptr);
    EXPECT_EQ(g_state.Count(), before);
}

TEST_F(CallbacksTest, UnansweredInputIsCancelledAfterTheAutoCancelTime) {
    Open();
    EXPECT_EQ(ornInputTimeoutAutoCancel(7201), ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
    ASSERT_EQ(ornInputTimeoutAutoCancel(5), 0);
    sim().SetHandler("57.", nullptr);  // the prompt is shown and never answered
    auto start = Clock::now();
    auto waiter = std::async(std::launch::async, [] {
        CCommandData* prompt = MakeReq("57.", orn::kGroupDisplay, nullptr, "ornFkeyWait");
        prompt->SetResponseTimeout(0);
        Engine().StartInputAutoCancel();
        int32_t result = Engine().SendWaitData(prompt);
        Engine().StopInputAutoCancel();
        Engine().DoneCommand(prompt);
        return result;
    });
    ASSERT_TRUE(session_.WaitForPayloads("57.", 1));
    EXPECT_EQ(ornInputTimeoutAutoCancel(10), -1);  // fixed while an input is timed

    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), ORN_ERR_CANCELED_BY_USER_ERROR);
    EXPECT_GE(MsSince(start), 5000 - 100);
    EXPECT_EQ(session_.Payloads("50.").size(), 1u);
    EXPECT_EQ(ornInputTimeoutAutoCancel(0), 0);  // the timer went with its input
    EXPECT_NE(session_.CloseAndReadLog().find("InputTimeoutAutoCancelThread shutdown properly."),
              std::string::npos);
}

// Milliseconds of the day of each log line that contains `text`.
std::vector<long> LineTimes(const std::string& log, const std::string& text) {
    std::vector<long> times;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
        int h, m, s, ms;
        size_t line = log.rfind("ORN  ", at);
        if (line != std::string::npos &&
            std::sscanf(log.c_str() + line, "ORN  %d:%d:%d:%d", &h, &m, &s, &ms) == 4)
            times.push_back(((h * 60L + m) * 60L + s) * 1000L + ms);
    }
    return times;
}

std::atomic<uint32_t> g_heldThread{0};
std::atomic<bool> g_release{false};
void HeldFkey(int status, char) {
    g_heldThread = orn::platform::CurrentThreadId();
    WaitUntil([] { return g_release.load(); }, 30000);
    g_fkey.Add(status);
}

TEST_F(CallbacksTest, QueueMonitorDumpsQueueAndThreadsEveryFiveSecondsOnceTheLogIsOn) {
    Open(ORN_LINK_MONITOR_OFF);  // opened with the log off: the monitor has nothing to write
    ASSERT_EQ(ornChangeLoggingState(ORN_LOGGER_FINE), 0);
    session_.Answer("57.", "01");
    ASSERT_EQ(Req(MakeReq("57.", orn::kGroupDisplay, HeldFkey)), 0);
    ASSERT_TRUE(WaitUntil([] { return g_heldThread.load() != 0; }, kDeadline));
    char threads[96];
    std::snprintf(threads, sizeof threads,
                  "Queue Monitor (Threads):\nFKEY Callback ThreadID=%08X is active\n\n",
                  g_heldThread.load());
    const std::string queue =
        "Queue Monitor:\n<Q0000> ornFkeyReq: State = USER_CALLBACK, Group = DISPLAY, Cancel = 50\n";
    std::string log;
    const bool twoDumps = WaitUntil(
        [&] {
            log = orn::test::ReadTextFile(session_.LogFile());
            return LineTimes(log, threads).size() >= 2;
        },
        20000);
    g_release = true;
    ASSERT_TRUE(twoDumps) << log;
    std::vector<long> dumps = LineTimes(log, queue);
    ASSERT_GE(dumps.size(), 2u) << log;
    const long apart = (dumps[1] - dumps[0] + 86400000L) % 86400000L;  // across midnight too
    EXPECT_GE(apart, 4000);
    EXPECT_LE(apart, 15000);  // a loaded machine may run the monitor late
    ASSERT_TRUE(g_fkey.WaitForInOrder({0}));
}

std::atomic<bool> g_closeReturned{false};
void CloseFromCallback(int, char) {
    ornClose();
    g_closeReturned = true;
}

TEST_F(CallbacksTest, CloseFromInsideACallbackReturns) {
    ornSetConnectionStateCallback(OnState);
    Open();
    session_.Answer("57.", "0Z");
    ASSERT_EQ(Req(MakeReq("57.", orn::kGroupDisplay, CloseFromCallback)), 0);
    ASSERT_TRUE(WaitUntil([] { return g_closeReturned.load(); }, kDeadline));
    EXPECT_EQ(ornCheckConnectionStatus(), ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_TRUE(g_state.WaitForInOrder({-1}));
    // Nothing was left hanging: the library opens and works again.
    Open();
    ASSERT_EQ(Req(MakeReq("57.")), 0);
    ASSERT_TRUE(g_fkey.WaitForInOrder({0}));
    EXPECT_EQ(g_key.load(), 'Z');
}

}  // namespace
