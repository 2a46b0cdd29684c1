// Scroll list: building the list text, the "6C." request with its titles, the answer's position
// and data, the size limit of one message, argument boundaries and the SCROLL callback.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "answers_display.h"
#include "sim_session.h"
#include "velquoraorn.h"

namespace {

using orn::sim::Request;
using orn::test::SimSession;
constexpr int kBad = ORN_ERR_INVALID_PARAMETER_IN_API_CALL;

orn::test::Recorder<std::vector<int>> g_picks;  // status, selection, data
void OnScroll(int status, int selection, int data) {
    g_picks.Add({status, selection, data});
}

TEST(ScrollListItems, ItemsAreAddedWholeOrNotAtAll) {
    char list[64] = "";
    ornAddListItem(list, "Tea", 4);
    EXPECT_STREQ(list, "");
    ornAddListItem(list, "Tea", 5);
    ornAddListItemWithData(list, "Caf\xE9", 300, 64);
    const std::string built =
        "Tea\x1E"
        "Caf\0332\x1C"
        "012C\x1E";
    EXPECT_EQ(std::string(list), built);
    // Data wider than four hex digits and null arguments change nothing.
    ornAddListItemWithData(list, "x", -1, 64);
    ornAddListItemWithData(list, "x", 0x10000, 64);
    ornAddListItem(list, nullptr, 64);
    ornAddListItem(nullptr, "x", 64);
    EXPECT_EQ(std::string(list), built);
    // An accented character is never dropped from an item to make it fit.
    char small[4] = "";
    ornAddListItem(small, "ab\xE9", sizeof small);
    EXPECT_STREQ(small, "");
}

TEST(ScrollListItems, ConcurrentAdditionsAreNotLost) {
    std::vector<char> list(4 * 100 * 3 + 1, '\0');
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i)
                ornAddListItem(list.data(), "ab", static_cast<unsigned>(list.size()));
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(std::strlen(list.data()), 4u * 100 * 3);
}

class ScrollList : public ::testing::Test {
  protected:
    void SetUp() override {
        orn::sim::ResetKeypad();
        ornAddListItemWithData(list, "Tea", 300, sizeof list);
        ornAddListItem(list, "Coffee", sizeof list);
        ASSERT_EQ(session.Open(), 0);
    }

    int Wait(const char* items, int* selection, int* data, int reserved = 0, int option1 = 1,
             int flag1 = 0, int displayTime = 0, int option3 = 1) {
        return ornScrollListWait(reserved, option1, 1, flag1, displayTime, 0, option3, "Drinks", "",
                                 "", "", items, selection, data);
    }

    char list[64] = "";
    SimSession session;
};

TEST_F(ScrollList, RequestCarriesParametersTitlesAndItems) {
    int selection = 0, data = 0;
    ASSERT_EQ(ornScrollListWait(0, 1, 2, 1, 15, 0, 20, "T1", "Title number two is long", "",
                                "T\xE9", list, &selection, &data),
              0);
    EXPECT_EQ(selection, 1);  // the simulator's default pick: the first item, with its data
    EXPECT_EQ(data, 300);
    EXPECT_EQ(session.Payloads("6C."),
              std::vector<std::string>{"0121F020T1\x1ETitle number two\x1E\x1ET\0332\x1E"
                                       "Tea\x1C"
                                       "012C\x1E"
                                       "Coffee\x1E"});
    // The Req form reports the pick once.
    orn::sim::SetNextScrollSelection(2);
    ASSERT_EQ(ornScrollListReq(0, 1, 1, 0, 0, 0, 1, "Drinks", "", "", "", list, OnScroll), 0);
    ASSERT_TRUE(g_picks.WaitFor(1));
    ASSERT_EQ(ornBeep(1), 0);
    EXPECT_EQ(g_picks.Items(), (std::vector<std::vector<int>>{{0, 2, -1}}));
}

TEST_F(ScrollList, AnswerDecoding) {
    struct Case {
        const char* answer;
        int result, selection, data;
    };
    for (Case c : {Case{"007", 0, 7, -1}, Case{"003012C", 0, 3, 300}, Case{"0031", 0, 3, 49},
                   Case{"4", 4, -1, -1}}) {
        session.sim().SetHandler("6C.", [c](const Request&) { return std::string(c.answer); });
        int selection = 99, data = 99;
        EXPECT_EQ(Wait(list, &selection, &data), c.result) << c.answer;
        EXPECT_EQ(selection, c.selection) << c.answer;
        EXPECT_EQ(data, c.data) << c.answer;
    }
    EXPECT_NE(session.CloseAndReadLog().find(
                  "Warning, expected response of 6C.0ss or 6C.0ssdddd: wrong response length"),
              std::string::npos);
}

TEST_F(ScrollList, ArgumentFaultsAndOverlongListsSendNothing) {
    // Fixed fields (8) and the titles "Drinks" and three empty ones (10) leave 1176 bytes of the
    // 1194 for the list: one byte more is refused rather than cut.
    std::string longest = std::string(1175, 'x') + "\x1E";
    int s, d;
    EXPECT_EQ(Wait(longest.c_str(), &s, &d), 0);
    session.sim().ClearRecord();
    EXPECT_EQ(Wait(("x" + longest).c_str(), &s, &d), kBad);

    EXPECT_EQ(Wait(list, &s, &d, 1), kBad);
    for (int option1 : {0, 10}) EXPECT_EQ(Wait(list, &s, &d, 0, option1), kBad);
    EXPECT_EQ(Wait(list, &s, &d, 0, 1, 2), kBad);
    for (int time : {-1, 16}) EXPECT_EQ(Wait(list, &s, &d, 0, 1, 0, time), kBad);
    for (int option3 : {0, 21}) EXPECT_EQ(Wait(list, &s, &d, 0, 1, 0, 0, option3), kBad);
    EXPECT_EQ(Wait(nullptr, &s, &d), kBad);
    EXPECT_EQ(Wait(list, nullptr, &d), kBad);
    EXPECT_EQ(Wait(list, &s, nullptr), kBad);
    EXPECT_EQ(Wait("a\x02\x1E", &s, &d), kBad);  // a link control byte would break the frame
    const char* t = "t";
    EXPECT_EQ(ornScrollListWait(0, 1, 1, 0, 0, 0, 1, t, t, nullptr, t, list, &s, &d), kBad);
    EXPECT_EQ(ornScrollListWait(0, 1, 1, 0, 0, 0, 1, "\x80", "\x81", "\x82", "\x83", list, &s, &d),
              kBad);  // no valid title
    EXPECT_EQ(ornScrollListReq(0, 1, 1, 0, 0, 0, 1, t, t, t, t, list, nullptr), kBad);
    auto record = session.sim().Snapshot();
    EXPECT_TRUE(record.frames.empty());
    EXPECT_TRUE(record.rx.empty());
}

}  // namespace
