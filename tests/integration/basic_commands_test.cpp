// The basic commands against the simulator: payloads on the wire, argument boundaries (which
// send nothing), status conversion and the generic command's result rules.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>

#include "engine/generic_handler.h"
#include "sim_session.h"
#include "velquoraorn.h"

namespace {

constexpr int kBad = ORN_ERR_INVALID_PARAMETER_IN_API_CALL;

using orn::sim::Request;
using orn::test::SimSession;
using orn::test::WaitUntil;

class BasicCommands : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(session.Open(), 0); }

    SimSession session;
};

TEST_F(BasicCommands, BeepPayloadAndBoundaries) {
    EXPECT_EQ(ornBeep(15), 0);
    EXPECT_EQ(ornBeep(0), 0);
    EXPECT_EQ(session.Payloads("5B."), (std::vector<std::string>{"F", "0"}));
    session.sim().ClearRecord();
    EXPECT_EQ(ornBeep(16), kBad);
    EXPECT_EQ(ornBeep(-1), kBad);
    EXPECT_TRUE(session.NothingSent(true));
}

TEST_F(BasicCommands, ReturnToIdleInBase36) {
    for (int value : {0, 36, 1295}) EXPECT_EQ(ornReturnToIdle(value), 0);
    EXPECT_EQ(session.Payloads("6Z."), (std::vector<std::string>{"00", "10", "ZZ"}));
    EXPECT_EQ(ornReturnToIdleBase36("a9"), 0);
    EXPECT_EQ(session.Payloads("6Z.").back(), "a9");  // lower case goes out unchanged
    session.sim().ClearRecord();
    EXPECT_EQ(ornReturnToIdle(1296), kBad);
    EXPECT_EQ(ornReturnToIdle(-1), kBad);
    for (const char* bad : {"A", "ABC", "a-", ""})
        EXPECT_EQ(ornReturnToIdleBase36(bad), kBad) << bad;
    EXPECT_EQ(ornReturnToIdleBase36(nullptr), kBad);
    EXPECT_TRUE(session.NothingSent(true));
}

TEST_F(BasicCommands, StatusCharacterBecomesTheResult) {
    session.Answer("6Z.", "A");
    EXPECT_EQ(ornReturnToIdle(1), 17);
    session.Answer("6Z.", "(");
    EXPECT_EQ(ornReturnToIdle(1), 248);  // below '0' wraps modulo 256
    session.Answer("6Z.", "");
    EXPECT_EQ(ornReturnToIdle(1), ORN_ERR_WRONG_RESPONSE_ERROR);  // no status character
    session.Answer("ER.", "3");
    EXPECT_EQ(ornReboot(), 3);
}

TEST_F(BasicCommands, GenericCommandReturnsTheWholeAnswer) {
    session.sim().SetHandler("7A.", [](const Request& r) {
        return r.payload == "ping" ? std::string("0XYZ") : std::string("9");
    });
    char response[16] = "garbage";
    EXPECT_EQ(ornGenericAsciiCommand("7A", "ping", response, sizeof response), 4);
    EXPECT_STREQ(response, "0XYZ");
    EXPECT_EQ(ornGenericAsciiCommand("7A", "ping", response, 4), -99);  // 4 + terminator > 4
    EXPECT_STREQ(response, "");
    EXPECT_EQ(ornGenericAsciiCommand("7A", "ping", response, 5), 4);
    EXPECT_EQ(ornGenericAsciiCommand("7A", "x", response, 5), 1);  // a status is not converted
    EXPECT_STREQ(response, "9");

    session.sim().ClearRecord();
    for (const char* bad : {"2A", "FA", "3a", "7", "7AB"})
        EXPECT_EQ(ornGenericAsciiCommand(bad, "", response, 16), kBad) << bad;
    EXPECT_EQ(ornGenericAsciiCommand(nullptr, "", response, 16), kBad);
    EXPECT_EQ(ornGenericAsciiCommand("7A", nullptr, response, 16), kBad);
    EXPECT_EQ(ornGenericAsciiCommand("7A", "", nullptr, 16), kBad);
    EXPECT_EQ(ornGenericAsciiCommand("7A", "", response, -1), kBad);
    EXPECT_TRUE(session.NothingSent(true));
}

TEST_F(BasicCommands, GenericCommandWithNoRoomWritesNothing) {
    session.Answer("7A.", "0");
    char guard[2] = {'x', 'y'};
    EXPECT_EQ(ornGenericAsciiCommand("7A", "", guard, 0), -99);
    EXPECT_EQ(guard[0], 'x');  // a zero-size buffer is never written
}

TEST_F(BasicCommands, PromptRegisterEncodesAccentsAndPads) {
    ASSERT_EQ(ornPromptRegister(63, "Caf\xE9", "12345678"), 0);
    auto payloads = session.Payloads("56.");
    ASSERT_EQ(payloads.size(), 1u);
    EXPECT_EQ(payloads[0], "3FCaf\0332" + std::string(28, ' ') + "12345678");
    session.sim().ClearRecord();
    EXPECT_EQ(ornPromptRegister(64, "x", "12345678"), kBad);
    EXPECT_EQ(ornPromptRegister(0, "x", "1234567"), kBad);
    EXPECT_EQ(ornPromptRegister(0, std::string(33, 'p').c_str(), "12345678"), kBad);
    EXPECT_EQ(ornPromptRegister(0, "tab\t", "12345678"), kBad);
    EXPECT_EQ(ornPromptRegister(0, nullptr, "12345678"), kBad);
    EXPECT_EQ(ornPromptRegister(0, "x", nullptr), kBad);
    EXPECT_TRUE(session.NothingSent(true));
}

TEST_F(BasicCommands, CancelEndsPendingCommandsEvenWhenItsOwnExchangeFails) {
    // A display command waits for an answer that never comes; a card-reader command waits to be
    // sent.
    session.sim().SetHandler("5B.", [](const Request&) { return std::nullopt; });
    auto beep = std::async(std::launch::async, [] { return ornBeep(1); });
    ASSERT_TRUE(session.WaitForPayloads("5B.", 1));
    auto* msr = new orn::CCommandData;
    msr->SetName("msrRead");
    msr->SetRequestId("F0.");
    msr->SetResponseId("F0.");
    msr->SetGroup(orn::kGroupMsr);
    msr->SetCancelType(orn::kCancelMsr);
    msr->SetResponseTimeout(30000);
    auto reader = std::async(std::launch::async, [msr] {
        int result = orn::Engine().SendWaitData(msr);
        orn::Engine().DoneCommand(msr);
        return result;
    });
    // The reader command stays queued behind the display command that waits for its answer.
    ASSERT_TRUE(WaitUntil([] { return orn::Engine().QueueSize() >= 2; }, 10000));
    // The cancel itself is NAKed to failure: the pending commands are cancelled all the same.
    session.sim().NakNextFrames(100);
    EXPECT_EQ(ornCancel(), ORN_ERR_GOT_NAK_ERROR);
    EXPECT_EQ(beep.get(), ORN_ERR_CANCELED_BY_USER_ERROR);
    EXPECT_EQ(reader.get(), ORN_ERR_CANCELED_BY_USER_ERROR);
}

TEST(BasicCommandsClosed, LinkTestsComeBeforeArgumentTests) {
    EXPECT_EQ(ornBeep(99), ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_EQ(ornCancel(), ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_EQ(ornPromptRegister(-1, nullptr, nullptr), ORN_ERR_COMM_PORT_NOT_OPEN);
    char response[4];
    EXPECT_EQ(ornGenericAsciiCommand(nullptr, nullptr, response, 4), ORN_ERR_COMM_PORT_NOT_OPEN);
}

}  // namespace
