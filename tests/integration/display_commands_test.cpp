// Display and keypad commands against the simulator: the messages of the display engine (runs of
// lines, accents, cutting), key outputs, amount confirmation, clearing, timeouts and the Req
// callbacks.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "answers_display.h"
#include "sim_session.h"
#include "velquoraorn.h"

namespace {

using orn::sim::Request;
using orn::test::SimSession;
using Strings = std::vector<std::string>;
constexpr int kBad = ORN_ERR_INVALID_PARAMETER_IN_API_CALL;

std::string Pad16(const std::string& text) {
    return text + std::string(16 - text.size(), ' ');
}

orn::test::Recorder<std::pair<int, char>> g_keys;  // status and key of each callback

void OnKey(int status, char key) {
    g_keys.Add({status, key});
}

class DisplayCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        orn::sim::ResetKeypad();
        g_keys.Clear();
        ASSERT_EQ(session.Open(), 0);
    }
    void TearDown() override { ornInputTimeoutAutoCancel(0); }

    // Waits for the callback of a Req; a further command run to completion shows no second one.
    void ExpectOneCallback(int status, char key) {
        ASSERT_TRUE(g_keys.WaitFor(1));
        EXPECT_EQ(ornBeep(1), 0);
        EXPECT_EQ(g_keys.Items(), (std::vector<std::pair<int, char>>{{status, key}}));
        g_keys.Clear();
    }

    SimSession session;
};

TEST_F(DisplayCommands, LinesTravelAsRunsOfConsecutiveLines) {
    ASSERT_EQ(ornDisplay(nullptr, nullptr, "three", nullptr), 0);
    ASSERT_EQ(ornDisplay("one", "two", nullptr, "four"), 0);
    ASSERT_EQ(ornDisplay(nullptr, "two", nullptr, "four"), 0);
    // Accented characters become escape pairs; a long line is cut at 16 columns.
    ASSERT_EQ(ornDisplay("R\xE9sum\xE9", nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(ornDisplay("ABCDEFGHIJKLMNOPQRST", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(session.Payloads("58."),
              (Strings{"0013" + Pad16("three"), "0021" + Pad16("one") + Pad16("two"),
                       "0014" + Pad16("four"), "0012" + Pad16("two"), "0014" + Pad16("four"),
                       "0011R\0332sum\0332" + std::string(10, ' '), "0011ABCDEFGHIJKLMNOP"}));
    // The second message of a split display is a record of its own.
    EXPECT_NE(session.CloseAndReadLog().find("Sending Data for ornDisplay2"), std::string::npos);
}

TEST_F(DisplayCommands, ArgumentFaultsSendNothing) {
    // One valid line lets an unknown byte through as it is...
    ASSERT_EQ(ornDisplay("ok", "\x80", nullptr, nullptr), 0);
    EXPECT_EQ(session.Payloads("58.").back(), "0021" + Pad16("ok") + Pad16("\x80"));
    session.sim().ClearRecord();
    // ...but not when no line is valid, nor a byte that would break the frame.
    EXPECT_EQ(ornDisplay("\x80", "\x81", "\x82", "\x83"), kBad);
    EXPECT_EQ(ornDisplay("ok", "a\x03z", nullptr, nullptr), kBad);
    EXPECT_EQ(ornDisplay(nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(ornFunctionKeyPromptReq("x", nullptr, nullptr, nullptr, nullptr), kBad);
    EXPECT_EQ(ornClearDisplayLine(0), kBad);
    EXPECT_EQ(ornClearDisplayLine(5), kBad);
    char key;
    EXPECT_EQ(ornAmountConfirmationWait(0, 1, "OK", &key), kBad);
    EXPECT_EQ(ornAmountConfirmationWait(5, 1, "OK", &key), kBad);
    EXPECT_EQ(ornAmountConfirmationWait(1, 1000000000000000ul, "OK", &key), kBad);  // 16 digits
    EXPECT_EQ(ornAmountConfirmationWait(1, 1, "\x80", &key), kBad);
    EXPECT_EQ(ornAmountConfirmationReq(1, 1, "OK", nullptr), kBad);
    auto record = session.sim().Snapshot();
    EXPECT_TRUE(record.frames.empty());
    EXPECT_TRUE(record.rx.empty());
}

TEST_F(DisplayCommands, KeyPromptsAmountConfirmationAndClearing) {
    orn::sim::SetNextKey('7');
    orn::sim::SetNextKey('9');
    orn::sim::SetNextKey('E');
    char key = 0, split = 0, amount = 0;
    ASSERT_EQ(ornFunctionKeyPromptWait("Press", nullptr, nullptr, nullptr, &key), 0);
    ASSERT_EQ(ornFunctionKeyPromptWait("Show", nullptr, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(ornFunctionKeyPromptWait("a", nullptr, "c", nullptr, &split), 0);
    ASSERT_EQ(ornAmountConfirmationWait(2, 1234, "OK", &amount), 0);
    ASSERT_EQ(ornClearDisplay(), 0);
    ASSERT_EQ(ornClearDisplayLine(4), 0);
    ASSERT_EQ(ornKeyboardCheck(), 0);
    EXPECT_EQ(std::string({key, split, amount}), "79E");
    // A null key only displays; of a split display only the second message waits for a key.
    EXPECT_EQ(session.Payloads("58."), (Strings{"1011" + Pad16("Press"), "0011" + Pad16("Show"),
                                                "0011" + Pad16("a"), "1013" + Pad16("c")}));
    EXPECT_EQ(session.Payloads("57."), (Strings{"020000000000001234OK      "}));
    EXPECT_EQ(session.Payloads("59."), (Strings{"0", "4"}));
    EXPECT_EQ(session.Payloads("5F."), (Strings{""}));
}

TEST_F(DisplayCommands, KeyOutputFollowsTheStatus) {
    // One message: the key is passed on whatever the status; '0' when the answer has none.
    char key = 0;
    session.Answer("58.", "3X");
    EXPECT_EQ(ornFunctionKeyPromptWait("x", nullptr, nullptr, nullptr, &key), 3);
    EXPECT_EQ(key, 'X');
    session.Answer("57.", "0");
    EXPECT_EQ(ornAmountConfirmationWait(1, 1, nullptr, &key), 0);
    EXPECT_EQ(key, '0');
    // Split: a failing first message ends the call; the key is taken only on status 0.
    session.sim().ClearRecord();
    session.sim().SetHandler(
        "58.", [](const Request& r) { return std::string(r.payload[0] == '0' ? "5" : "0K"); });
    key = 'x';
    EXPECT_EQ(ornFunctionKeyPromptWait("a", nullptr, "c", nullptr, &key), 5);
    EXPECT_EQ(session.Payloads("58.").size(), 1u);
    EXPECT_EQ(key, 'x');
}

TEST_F(DisplayCommands, ReqFormsReportTheKeyOnce) {
    orn::sim::SetNextKey('4');
    orn::sim::SetNextKey('C');
    ASSERT_EQ(ornFunctionKeyPromptReq("a", nullptr, "c", nullptr, OnKey), 0);
    ExpectOneCallback(0, '4');
    ASSERT_EQ(ornAmountConfirmationReq(1, 50, "Total", OnKey), 0);
    ExpectOneCallback(0, 'C');
    EXPECT_EQ(session.Payloads("58."), (Strings{"0011" + Pad16("a"), "1013" + Pad16("c")}));
}

TEST_F(DisplayCommands, DisplayTimesOutQuicklyAndKeyPromptsAreAutoCancelled) {
    session.sim().SetHandler("58.", [](const Request&) { return std::nullopt; });
    EXPECT_EQ(ornDisplay("x", nullptr, nullptr, nullptr), ORN_ERR_API_TIMEOUT);
    ASSERT_EQ(ornInputTimeoutAutoCancel(1), 0);
    char key = 'x';
    EXPECT_EQ(ornFunctionKeyPromptWait("x", nullptr, nullptr, nullptr, &key),
              ORN_ERR_CANCELED_BY_USER_ERROR);
    ASSERT_EQ(ornFunctionKeyPromptReq("x", nullptr, nullptr, nullptr, OnKey), 0);
    ExpectOneCallback(ORN_ERR_CANCELED_BY_USER_ERROR, '0');
    EXPECT_EQ(session.Payloads("50.").size(), 2u);
}

}  // namespace
