// The command engine against the terminal simulator over a real pty: retries on NAK and missing
// ACK, a stalled frame, the busy rules, ordering, cancels, the ready check of ornInit, the idle
// link check, and closing under a blocked caller.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "answers.h"
#include "engine/generic_handler.h"
#include "sim.h"
#include "test_support.h"
#include "velquoraorn.h"

namespace {

using orn::CCommandData;
using orn::Engine;
using orn::sim::PowerUp;
using orn::sim::Record;
using orn::sim::TerminalSimulator;
using Clock = std::chrono::steady_clock;

constexpr int kDeadline = 10000;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A record as a command function would build it.
CCommandData* MakeCommand(const char* name, const std::string& id, const std::string& payload,
                          int32_t group = orn::kGroupDisplay, int32_t cancel = orn::kCancel50) {
    auto* record = new CCommandData;
    record->SetName(name);
    record->SetRequestId(id);
    record->AppendData(payload);
    record->SetResponseId(id);
    record->SetGroup(group);
    record->SetCancelType(cancel);
    return record;
}

// Runs a record through SendWaitData and returns its result and response, releasing it.
struct Outcome {
    int32_t result;
    std::string response;
};
Outcome Exchange(CCommandData* record) {
    Outcome outcome;
    outcome.result = Engine().SendWaitData(record);
    unsigned char buffer[orn::CGenericHandler::kResponseBufferSize];
    int32_t length = Engine().GetResponse(record, buffer);
    if (length > 0) outcome.response.assign(reinterpret_cast<char*>(buffer), length);
    Engine().DoneCommand(record);
    return outcome;
}

size_t CountFrames(const Record& record, const std::string& id) {
    size_t count = 0;
    for (const auto& frame : record.frames) count += frame.id == id;
    return count;
}

class EngineTest : public ::testing::Test {
  protected:
    void StartSim(PowerUp powerUp = PowerUp::EnqAck) {
        orn::sim::Options options;
        options.answers = orn::sim::InstallDefaultAnswers;
        options.linkDir = ports_.path();
        options.portName = "COM7";
        options.powerUp = powerUp;
        sim_ = std::make_unique<TerminalSimulator>(options);
        ASSERT_TRUE(sim_->ok()) << sim_->error();
    }
    // Opens the link with the handshake; link monitoring off unless asked for, so that no
    // link check slips in between the frames a test looks at.
    void Open(bool monitoring = false) {
        StartSim();
        int32_t level = ORN_LOGGER_FINE | (monitoring ? 0 : ORN_LINK_MONITOR_OFF);
        ASSERT_EQ(ornInit("COM7", log_.c_str(), level), 0);
        ASSERT_TRUE(
            orn::test::WaitUntil([] { return ornCheckConnectionStatus() == 0; }, kDeadline));
        sim_->ClearRecord();
    }
    void TearDown() override { ornClose(); }
    std::string LogText() {
        ornClose();
        return orn::test::ReadTextFile(log_ + ".0");
    }

    orn::test::ComPortDir ports_;
    orn::test::TempDir dir_;
    std::string log_ = dir_.File("engine.log");
    std::unique_ptr<TerminalSimulator> sim_;
};

// --- retries and failures --------------------------------------------------------------------

TEST_F(EngineTest, NakResendsIdenticalBytesAndTheSixthFails) {
    Open();
    sim_->NakNextFrames(2);
    EXPECT_EQ(Exchange(MakeCommand("ornBeep", "5B.", "7")).result, 0);
    Record record = sim_->Snapshot();
    ASSERT_EQ(record.frames.size(), 3u);
    EXPECT_EQ(record.frames[1].raw, record.frames[0].raw);
    EXPECT_EQ(record.frames[2].raw, record.frames[0].raw);

    sim_->ClearRecord();
    sim_->NakNextFrames(6);
    EXPECT_EQ(Exchange(MakeCommand("ornBeep", "5B.", "3")).result, ORN_ERR_GOT_NAK_ERROR);
    EXPECT_EQ(sim_->Snapshot().frames.size(), 6u);  // first send and five resends

    // The count starts again: the next command goes through.
    sim_->ClearRecord();
    EXPECT_EQ(Exchange(MakeCommand("ornBeep", "5B.", "4")).result, 0);
}

TEST_F(EngineTest, MissingAckCostsThreeTransmissionsThenDisconnects) {
    Open();
    sim_->SetAckMode(orn::sim::AckMode::Withhold);
    auto start = Clock::now();
    EXPECT_EQ(Exchange(MakeCommand("ornBeep", "5B.", "7")).result, ORN_ERR_NO_ACK_ERROR);
    EXPECT_GE(MsSince(start), 3 * 1500 - 100);
    EXPECT_EQ(CountFrames(sim_->Snapshot(), "5B."), 3u);
    // The connection is marked Disconnected only with link monitoring on; it is off here.
    EXPECT_EQ(ornCheckConnectionStatus(), 0);
}

TEST_F(EngineTest, MissingAckMarksDisconnectedWithMonitoringOn) {
    Open(true);
    sim_->SetAckMode(orn::sim::AckMode::Withhold);
    EXPECT_EQ(Exchange(MakeCommand("ornBeep", "5B.", "7")).result, ORN_ERR_NO_ACK_ERROR);
    EXPECT_EQ(ornCheckConnectionStatus(), 1);
    EXPECT_EQ(ornIsBusy(0), ORN_ERR_DEVICE_IS_NOT_RESPONDING_ERROR);
}

// The queue thread sleeps while the command waits: the receiver's 3000 ms limit on a frame that
// stopped arriving must still end it before the terminal's next frame comes.
TEST_F(EngineTest, AFrameThatStopsArrivingIsDroppedWhileACommandWaits) {
    Open();
    sim_->SetHandler("5B.", nullptr);  // acknowledged; the answers are written by hand below
    auto waiter = std::async(std::launch::async,
                             [] { return Exchange(MakeCommand("ornBeep", "5B.", "7")).result; });
    ASSERT_TRUE(sim_->WaitFor(
        [](const Record& r) { return std::count(r.tx.begin(), r.tx.end(), 0x06) > 0; }, kDeadline));
    sim_->SendRaw({0x02, '5', 'B', '.', '0'});
    sim_->SendFrameLater("5B.", "0", 3400);
    ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(kDeadline)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 0);
    EXPECT_EQ(sim_->Snapshot().hostNaks, 0);  // the new frame was not taken as the old one's end
}

// --- admission and ordering ------------------------------------------------------------------

TEST_F(EngineTest, BusyRulesRefuseWithMinus12) {
    Open();
    // The terminal holds back its ACKs, so the first cancel stays queued.
    sim_->SetAckMode(orn::sim::AckMode::Withhold);
    CCommandData* cancel = MakeCommand("ornCancel", "50.", "", orn::kGroupCancel, orn::kCancel50);
    ASSERT_TRUE(Engine().AddToQueue(cancel));

    auto refused = [](CCommandData* record) {
        bool admitted = Engine().AddToQueue(record);
        int32_t result = record->GetResult();
        Engine().DoneCommand(record);
        return admitted ? 0 : result;
    };
    // A second "50." cancel, a display and a magnetic-stripe command are refused...
    EXPECT_EQ(refused(MakeCommand("ornCancel", "50.", "", orn::kGroupCancel, orn::kCancel50)),
              ORN_ERR_DEVICE_IS_BUSY_ERROR);
    EXPECT_EQ(refused(MakeCommand("ornBeep", "5B.", "7")), ORN_ERR_DEVICE_IS_BUSY_ERROR);
    EXPECT_EQ(refused(MakeCommand("msrRead", "F0.", "x", orn::kGroupMsr, orn::kCancelMsr)),
              ORN_ERR_DEVICE_IS_BUSY_ERROR);
    // ...a smart card command is not.
    EXPECT_EQ(refused(MakeCommand("scRead", "F0.", "x", orn::kGroupSc, orn::kCancelSc)), 0);
    Engine().DoneCommand(cancel);

    // An asynchronous request of a group refuses the next one of that group, and only that.
    CCommandData* first = MakeCommand("msrReq", "F0.", "a", orn::kGroupMsr, orn::kCancelMsr);
    first->SetAsync(1);
    ASSERT_TRUE(Engine().AddToQueue(first));
    CCommandData* second = MakeCommand("msrReq", "F0.", "b", orn::kGroupMsr, orn::kCancelMsr);
    second->SetAsync(1);
    EXPECT_EQ(refused(second), ORN_ERR_DEVICE_IS_BUSY_ERROR);
    EXPECT_EQ(refused(MakeCommand("ornBeep", "5B.", "7")), 0);
    Engine().DoneCommand(first);
}

TEST_F(EngineTest, IsBusyMapsDevicesToGroups) {
    EXPECT_EQ(ornIsBusy(0), ORN_ERR_COMM_PORT_NOT_OPEN);
    Open();
    EXPECT_EQ(ornIsBusy(0), 0);
    EXPECT_EQ(ornIsBusy(2), 0);
    EXPECT_EQ(ornIsBusy(3), 0);  // no EMV session open
    EXPECT_EQ(ornIsBusy(10), 0);
    EXPECT_EQ(ornIsBusy(11), ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
    EXPECT_EQ(ornIsBusy(-1), ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
    EXPECT_EQ(Engine().isBusy(3), orn::BusyAnswer::Untracked);

    sim_->SetAckMode(orn::sim::AckMode::Withhold);
    CCommandData* request = MakeCommand("ornPinReq", "5P.", "", orn::kGroupDisplay, orn::kCancel50);
    request->SetAsync(1);
    ASSERT_TRUE(Engine().AddToQueue(request));
    EXPECT_EQ(ornIsBusy(0), 1);
    EXPECT_EQ(ornIsBusy(1), 0);
    Engine().DoneCommand(request);
    EXPECT_EQ(ornIsBusy(0), 0);

    // A queued "50." cancel makes the display and the magnetic-stripe reader busy.
    CCommandData* cancel = MakeCommand("ornCancel", "50.", "", orn::kGroupCancel, orn::kCancel50);
    ASSERT_TRUE(Engine().AddToQueue(cancel));
    EXPECT_EQ(ornIsBusy(0), 1);
    EXPECT_EQ(ornIsBusy(1), 1);
    EXPECT_EQ(ornIsBusy(2), 0);
    EXPECT_EQ(ornIsBusy(5), 0);
    Engine().DoneCommand(cancel);
}

// A caller may send its own frame only when the queue thread would: while an answered
// synchronous command is not yet collected, only a cancel (or a MAC block) goes out.
TEST_F(EngineTest, AnUncollectedAnswerHoldsEveryGroupButCancel) {
    struct Case {
        const char* name;
        int32_t group;
        int32_t cancel;
        const char* id;
        bool sentWhileHeld;
    };
    const Case cases[] = {
        {"same group", orn::kGroupDisplay, orn::kCancel50, "5B.", false},
        {"other group", orn::kGroupMsr, orn::kCancelMsr, "5B.", false},
        {"cancel", orn::kGroupCancel, orn::kCancel50, "50.", true},
    };
    Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim_->ClearRecord();
        CCommandData* first = MakeCommand("ornDisplayFirst", "5B.", "1");
        ASSERT_EQ(Engine().SendWaitData(first), 0);
        auto second = std::async(std::launch::async, [&c] {
            return Exchange(MakeCommand("second", c.id, "2", c.group, c.cancel)).result;
        });
        EXPECT_EQ(sim_->WaitForFrames(2, c.sentWhileHeld ? kDeadline : 300), c.sentWhileHeld);
        Engine().DoneCommand(first);
        EXPECT_EQ(second.get(), 0);
        EXPECT_EQ(sim_->Snapshot().frames.size(), 2u);
    }
}

TEST_F(EngineTest, ACommandWhoseSendWaitRanOutIsNeverSent) {
    Open();
    CCommandData* first = MakeCommand("ornDisplayFirst", "5B.", "1");
    ASSERT_EQ(Engine().SendWaitData(first), 0);  // uncollected: holds the second back
    Engine().SetSendWaitForTest(200);
    CCommandData* second = MakeCommand("second", "5B.", "2");
    EXPECT_EQ(Engine().SendWaitData(second), ORN_ERR_API_QUEUE_BLOCKED);
    Engine().SetSendWaitForTest(orn::CGenericHandler::kSendWaitMs);
    Engine().DoneCommand(first);  // the way is free before the second's caller lets go
    EXPECT_FALSE(sim_->WaitForFrames(2, 300));
    Engine().DoneCommand(second);
}

TEST_F(EngineTest, CancelOvertakesAWaitingCommand) {
    Open();
    sim_->SetHandler("5B.", nullptr);  // the display command waits for its answer
    CCommandData* waiting = MakeCommand("ornDisplay", "5B.", "7");
    waiting->SetResponseTimeout(0);
    auto waiter = std::async(std::launch::async, [waiting] { return Exchange(waiting).result; });
    ASSERT_TRUE(sim_->WaitForFrames(1, kDeadline));

    CCommandData* cancel = MakeCommand("ornCancel", "50.", "", orn::kGroupCancel, orn::kCancel50);
    EXPECT_EQ(Exchange(cancel).result, 0);
    Engine().CancelQueued(orn::kCancel50);
    ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(kDeadline)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), ORN_ERR_CANCELED_BY_USER_ERROR);
    Record record = sim_->Snapshot();
    ASSERT_EQ(record.frames.size(), 2u);
    EXPECT_EQ(record.frames[1].id, "50.");
}

std::atomic<int> g_powerUps{0};
void CountPowerUp() {
    ++g_powerUps;
}

// Its caller has been woken but not yet read the result: a cancel or a power-up that comes now
// must not turn the answer it got into -5 or -9.
TEST_F(EngineTest, AnAnswerNotYetCollectedSurvivesACancelAndAPowerUp) {
    Open();
    ornSetPowerUpCallback(CountPowerUp);
    CCommandData* answered = MakeCommand("ornBeep", "5B.", "7");
    ASSERT_EQ(Engine().SendWaitData(answered), 0);
    Engine().CancelQueued(orn::kCancel50);
    EXPECT_EQ(Engine().ResultOf(answered), 0);
    const int before = g_powerUps;
    sim_->TriggerPowerUp();
    EXPECT_TRUE(orn::test::WaitUntil([&] { return g_powerUps > before; }, kDeadline));
    ornSetPowerUpCallback(nullptr);
    EXPECT_EQ(Engine().ResultOf(answered), 0);
    Engine().DoneCommand(answered);
}

// --- ready check -----------------------------------------------------------------------------

TEST_F(EngineTest, InitSucceedsOnTheHandshakeAlone) {
    StartSim(PowerUp::EnqAck);
    ASSERT_EQ(ornInit("COM7", log_.c_str(), ORN_LOGGER_SEVERE), 0);
    EXPECT_STREQ(ornGetComPort(), "COM7");
    Record record = sim_->Snapshot();
    EXPECT_EQ(record.handshakes, 1);
    EXPECT_EQ(CountFrames(record, "72"), 0u);  // no quick cancel was needed
    // The terminal's answer to the cancel sent during its power-up is expected: no warning.
    EXPECT_TRUE(sim_->WaitFor([](const Record& r) { return r.hostAcks >= 1; }, kDeadline));
    std::string text = LogText();
    EXPECT_EQ(text.find("Warning: Got Response but no Queue Entry to match!"), std::string::npos)
        << text;
}

TEST_F(EngineTest, InitSucceedsWhenTheQuickCancelIsAcknowledged) {
    StartSim(PowerUp::None);
    ASSERT_EQ(ornInit("COM7", nullptr, 0), 0);
    Record record = sim_->Snapshot();
    ASSERT_EQ(CountFrames(record, "72"), 1u);
    EXPECT_EQ(record.frames[0].raw, (std::vector<uint8_t>{0x02, '7', '2', 0x03, '7' ^ '2' ^ 0x03}));
    EXPECT_EQ(ornPing(), 0);
}

TEST_F(EngineTest, InitOnASilentTerminalReturnsOneAndCloses) {
    StartSim(PowerUp::None);
    sim_->SetSilent(true);
    auto start = Clock::now();
    EXPECT_EQ(ornInit("COM7", nullptr, 0), 1);
    // The 3.5 s window, then one ACK wait for the quick cancel.
    EXPECT_GE(MsSince(start), 3500 + 1500 - 100);
    EXPECT_EQ(ornPing(), ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_EQ(CountFrames(sim_->Snapshot(), "72"), 1u);
    EXPECT_EQ(ornGetComPort(), nullptr);
}

TEST_F(EngineTest, OpenSendsAQuickCancel) {
    StartSim(PowerUp::None);
    ASSERT_EQ(ornOpen("COM7"), 0);
    EXPECT_EQ(CountFrames(sim_->Snapshot(), "72"), 1u);
}

// --- link monitoring -------------------------------------------------------------------------

TEST_F(EngineTest, IdleLinkCheckAfterTwoSecondsOfSilence) {
    Open(true);
    // A command is traffic: the idle time counts from its exchange.
    const int acksBefore = sim_->Snapshot().hostAcks;
    EXPECT_EQ(Exchange(MakeCommand("ornBeep", "5B.", "7")).result, 0);
    auto start = Clock::now();
    // The host's ACK of the answer may still be on its way to the simulator.
    ASSERT_TRUE(sim_->WaitFor([&](const Record& r) { return r.hostAcks > acksBefore; }, kDeadline));
    sim_->ClearRecord();
    ASSERT_TRUE(sim_->WaitFor([](const Record& r) { return r.linkTests >= 1; }, kDeadline));
    EXPECT_GE(MsSince(start), 1500);
    Record record = sim_->Snapshot();
    EXPECT_EQ(record.rx, std::vector<uint8_t>{0x05});  // the single ENQ byte
    EXPECT_TRUE(record.frames.empty());
    EXPECT_EQ(ornCheckConnectionStatus(), 0);
}

// --- closing -----------------------------------------------------------------------------------

TEST_F(EngineTest, CloseReleasesABlockedCaller) {
    Open();
    sim_->SetHandler("5B.", nullptr);
    CCommandData* record = MakeCommand("ornBeep", "5B.", "7");
    record->SetResponseTimeout(0);
    auto waiter = std::async(std::launch::async, [record] {
        int32_t result = Engine().SendWaitData(record);
        // The record stays valid for its caller after the close.
        unsigned char buffer[orn::CGenericHandler::kResponseBufferSize];
        Engine().GetResponse(record, buffer);
        Engine().DoneCommand(record);
        return result;
    });
    ASSERT_TRUE(sim_->WaitForFrames(1, kDeadline));
    auto start = Clock::now();
    ornClose();
    EXPECT_LT(MsSince(start), 3000);
    ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(kDeadline)), std::future_status::ready);
    EXPECT_LT(waiter.get(), 0);
    EXPECT_EQ(ornIsBusy(0), ORN_ERR_COMM_PORT_NOT_OPEN);
    // Commands after the close are refused at once.
    EXPECT_EQ(Exchange(MakeCommand("ornBeep", "5B.", "7")).result, ORN_ERR_COMM_PORT_NOT_OPEN);
}

}  // namespace
