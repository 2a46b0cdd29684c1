// Keypad text entry against the simulator: the request fields, the length field and its
// "NoLength" form, cutting an over-long entry to the caller's buffer, argument boundaries and the
// INPUT callbacks of the Req forms.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "answers_display.h"
#include "sim_session.h"
#include "velquoraorn.h"

namespace {

using orn::sim::Request;
using orn::test::SimSession;
using Strings = std::vector<std::string>;
constexpr int kBad = ORN_ERR_INVALID_PARAMETER_IN_API_CALL;

struct Entry {
    int status, length;
    std::string text;
};
orn::test::Recorder<Entry> g_entries;

void OnInput(int status, int length, char* text) {
    g_entries.Add({status, length, text});
}

class TextEntry : public ::testing::Test {
  protected:
    void SetUp() override {
        orn::sim::ResetKeypad();
        ASSERT_EQ(session.Open(), 0);
    }

    // Waits for the callback of a Req; a further command run to completion shows no second one.
    void ExpectOneCallback(int status, int length, const std::string& text) {
        ASSERT_TRUE(g_entries.WaitFor(1));
        ASSERT_EQ(ornBeep(1), 0);
        const std::vector<Entry> entries = g_entries.Items();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].status, status);
        EXPECT_EQ(entries[0].length, length);
        EXPECT_EQ(entries[0].text, text);
        g_entries.Clear();
    }

    SimSession session;
};

TEST_F(TextEntry, RequestFieldsAndLengthField) {
    int length = 5;
    char text[33];
    ASSERT_EQ(ornDisplayAndWaitForInputWait(2, 1, 10, "Caf\xE9", 255, &length, text), 0);
    EXPECT_EQ(length, 4);  // the simulator's default entry
    EXPECT_STREQ(text, "1234");
    // Twenty characters come with the length field 14, which reads as 1 << 8 | 4.
    orn::sim::SetNextText("ABCDEFGHIJKLMNOPQRST");
    length = 32;
    ASSERT_EQ(ornClearTextEntryWithStoredPromptWait(6, 6, 0, 63, &length, text), 0);
    EXPECT_EQ(length, 260);
    EXPECT_STREQ(text, "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(session.Payloads("58."), (Strings{"21ACaf\0332" + std::string(28, ' ') + "FF05"}));
    // The stored-prompt form has no prompt field: the index follows the option digit.
    EXPECT_EQ(session.Payloads("68."), (Strings{"660"
                                                "3F20"}));
}

TEST_F(TextEntry, NoMaximumSendsNoLengthField) {
    orn::sim::SetNextText("42");
    int length = 0;
    char text[33];
    ASSERT_EQ(ornDisplayAndWaitForInputWait(3, 2, 15, "", 7, &length, text), 0);
    EXPECT_EQ(length, 2);
    EXPECT_STREQ(text, "42");
    EXPECT_EQ(session.Payloads("58."), (Strings{"32F" + std::string(32, ' ') + "07"}));
    EXPECT_NE(
        session.CloseAndReadLog().find("Sending Data for ornDisplayAndWaitForInputWaitNoLength"),
        std::string::npos);
}

TEST_F(TextEntry, EntryIsCutToTheBufferAndClearedOnFailure) {
    const std::string answer(40, 'x');
    session.sim().SetHandler("58.", [answer](const Request&) { return "0" + answer; });
    char text[40];
    std::memset(text, '#', sizeof text);
    int length = 0;
    ASSERT_EQ(ornDisplayAndWaitForInputWait(2, 1, 0, "", 255, &length, text), 0);
    EXPECT_EQ(std::string(text), std::string(32, 'x'));
    EXPECT_EQ(length, 32);
    EXPECT_EQ(text[33], '#');
    // With a maximum the caller's buffer holds that many characters.
    session.sim().SetHandler("58.", [answer](const Request&) { return "005" + answer; });
    std::memset(text, '#', sizeof text);
    length = 5;
    ASSERT_EQ(ornDisplayAndWaitForInputWait(2, 1, 0, "", 255, &length, text), 0);
    EXPECT_EQ(length, 5);
    EXPECT_STREQ(text, "xxxxx");
    EXPECT_EQ(text[6], '#');
    // A failure leaves no entry.
    session.Answer("58.", "3041234");
    EXPECT_EQ(ornDisplayAndWaitForInputWait(2, 1, 0, "", 255, &length, text), 3);
    EXPECT_EQ(length, -1);
    EXPECT_STREQ(text, "");
}

TEST_F(TextEntry, ArgumentFaultsSendNothing) {
    char text[33];
    struct Case {
        int mode, type, option, index, max;
    };
    for (Case c : {Case{4, 1, 0, 255, 4}, Case{1, 1, 0, 255, 4}, Case{2, 4, 0, 255, 4},
                   Case{2, 7, 0, 255, 4}, Case{2, 0, 0, 255, 4}, Case{2, 1, 16, 255, 4},
                   Case{2, 1, -1, 255, 4}, Case{2, 1, 0, 64, 4}, Case{2, 1, 0, 254, 4},
                   Case{2, 1, 0, -1, 4}, Case{2, 1, 0, 255, 33}, Case{2, 1, 0, 255, -1}}) {
        int length = c.max;
        EXPECT_EQ(
            ornDisplayAndWaitForInputWait(c.mode, c.type, c.option, "p", c.index, &length, text),
            kBad)
            << c.mode << c.type << c.option << " " << c.index << " " << c.max;
    }
    int length = 4;
    EXPECT_EQ(ornDisplayAndWaitForInputWait(2, 1, 0, nullptr, 255, &length, text), kBad);
    EXPECT_EQ(ornDisplayAndWaitForInputWait(2, 1, 0, "\x01", 255, &length, text), kBad);
    EXPECT_EQ(ornDisplayAndWaitForInputWait(2, 1, 0, "p", 255, nullptr, text), kBad);
    EXPECT_EQ(ornClearTextEntryWithStoredPromptWait(2, 1, 0, 255, &length, nullptr), kBad);
    EXPECT_EQ(ornDisplayAndWaitForInputReq(2, 1, 0, nullptr, 255, 4, OnInput), kBad);
    EXPECT_EQ(ornDisplayAndWaitForInputReq(2, 1, 0, "p", 255, 4, nullptr), kBad);
    EXPECT_EQ(ornClearTextEntryWithStoredPromptReq(2, 1, 0, 64, 4, OnInput), kBad);
    auto record = session.sim().Snapshot();
    EXPECT_TRUE(record.frames.empty());
    EXPECT_TRUE(record.rx.empty());
}

TEST_F(TextEntry, ReqFormsReportTheEntryOnce) {
    orn::sim::SetNextText("987");
    orn::sim::SetNextText("hello");
    ASSERT_EQ(ornDisplayAndWaitForInputReq(5, 3, 1, "PIN?", 255, 8, OnInput), 0);
    ExpectOneCallback(0, 3, "987");
    ASSERT_EQ(ornClearTextEntryWithStoredPromptReq(2, 5, 0, 1, 0, OnInput), 0);
    ExpectOneCallback(0, 5, "hello");  // no length field: the length of the text
    EXPECT_EQ(session.Payloads("58."), (Strings{"531PIN?" + std::string(28, ' ') + "FF08"}));
    EXPECT_EQ(session.Payloads("68."), (Strings{"25001"}));
}

TEST_F(TextEntry, UnansweredEntryIsAutoCancelled) {
    ASSERT_EQ(ornInputTimeoutAutoCancel(1), 0);
    session.sim().SetHandler("68.", [](const Request&) { return std::nullopt; });
    int length = 4;
    char text[33];
    EXPECT_EQ(ornClearTextEntryWithStoredPromptWait(2, 1, 0, 255, &length, text),
              ORN_ERR_CANCELED_BY_USER_ERROR);
    EXPECT_EQ(ornInputTimeoutAutoCancel(0), 0);
}

}  // namespace
