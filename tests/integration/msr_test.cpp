// The magnetic stripe commands against the simulator's card reader: binary and display-driven
// swipes, their payloads and boundaries, track data cut to the buffers, the cancel, the combined
// swipe-or-card command.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "answers_cards.h"
#include "card_test_support.h"
#include "engine/generic_handler.h"
#include "sim_session.h"
#include "velquoraorn.h"

namespace {

constexpr int kBad = ORN_ERR_INVALID_PARAMETER_IN_API_CALL;

using cards_test::Bytes;
using cards_test::Repeat;
using orn::sim::Request;
using orn::test::Recorder;
using orn::test::SimSession;
using orn::test::WaitUntil;
namespace sim = orn::sim;

struct Swiped {
    int status;
    int track1Status, track1Length;
    std::string track1;
    int track2Status, track2Length;
    std::string track2;
};
Recorder<Swiped> g_Swipes;
void OnSwipe(int status, int t1Status, int t1Length, char* t1, int t2Status, int t2Length,
             char* t2) {
    g_Swipes.Add({status, t1Status, t1Length, t1, t2Status, t2Length, t2});
}

struct DisplaySwiped {
    int status;
    std::string track1, track2;
    char flag;
};
Recorder<DisplaySwiped> g_DisplaySwipes;
void OnDisplaySwipe(int status, char* track1, char* track2, char flag) {
    g_DisplaySwipes.Add({status, track1, track2, flag});
}

const std::string kFs = "\x1C";

std::string Line(const std::string& text) {
    return text + std::string(16 - text.size(), ' ') + kFs;
}

class Msr : public ::testing::Test {
  protected:
    void SetUp() override {
        g_Swipes.Clear();
        g_DisplaySwipes.Clear();
        ASSERT_EQ(session.Open(), 0);
    }
    SimSession session;
};

TEST_F(Msr, BinarySwipeReadsTheTracksAskedFor) {
    const sim::SwipeCard card = sim::DefaultSwipeCard();
    int s1 = -1, l1 = -1, s2 = -1, l2 = -1;
    char d1[255] = {}, d2[255] = {};
    EXPECT_EQ(ornSwipeMagStripeCardWait(3, 600000, &s1, &l1, d1, &s2, &l2, d2), 0);
    EXPECT_EQ(std::string(d1, static_cast<size_t>(l1)), card.track1);
    EXPECT_EQ(std::string(d2, static_cast<size_t>(l2)), card.track2);
    EXPECT_EQ(s1, 0);
    EXPECT_EQ(s2, 0);
    // Track 2 alone, without any first-track arguments.
    l2 = -1;
    EXPECT_EQ(ornSwipeMagStripeCardWait(2, 0, nullptr, nullptr, nullptr, &s2, &l2, d2), 0);
    EXPECT_EQ(l2, static_cast<int>(card.track2.size()));
    EXPECT_EQ(session.Payloads("F0."), (std::vector<std::string>{Bytes({0, 4, 4, 0xEA, 0x60, 3}),
                                                                 Bytes({0, 4, 4, 0, 0, 2})}));

    // A reader status is the result; the track's status too.
    sim::SetSwipeCard({"", "BAD", 0, 0x23});
    EXPECT_EQ(ornSwipeMagStripeCardWait(2, 100, nullptr, nullptr, nullptr, &s2, &l2, d2), 0x23);
    EXPECT_EQ(s2, 0x23);

    // The Req form: the callback gets the tracks (the selection rides in the record).
    sim::SetSwipeCard(card);
    ASSERT_EQ(ornSwipeMagStripeCardReq(3, 5000, OnSwipe), 0);
    ASSERT_TRUE(g_Swipes.WaitFor(1));
    Swiped got = g_Swipes.Items()[0];
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.track1, card.track1);
    EXPECT_EQ(got.track1Length, static_cast<int>(card.track1.size()));
    EXPECT_EQ(got.track2, card.track2);

    session.sim().ClearRecord();
    EXPECT_EQ(ornSwipeMagStripeCardReq(3, 600001, OnSwipe), kBad);
    EXPECT_EQ(ornSwipeMagStripeCardReq(0, 0, OnSwipe), kBad);
    EXPECT_EQ(ornSwipeMagStripeCardReq(1, 0, nullptr), kBad);
    EXPECT_EQ(ornSwipeMagStripeCardWait(4, 0, &s1, &l1, d1, &s2, &l2, d2), kBad);
    EXPECT_EQ(ornSwipeMagStripeCardWait(1, 0, &s1, &l1, nullptr, &s2, &l2, d2), kBad);
    EXPECT_EQ(ornSwipeMagStripeCardWait(3, 0, &s1, &l1, d1, nullptr, &l2, d2), kBad);
    EXPECT_EQ(ornSwipeMagStripeCardWait(2, -1, nullptr, nullptr, nullptr, &s2, &l2, d2), kBad);
    EXPECT_TRUE(session.NothingSent());
}

TEST_F(Msr, TrackDataNeverPassesTheBuffersOrTheAnswer) {
    // A reader that announces more track bytes than it sends: only what came is taken.
    const sim::TerminalSimulator::Handler reader = session.sim().GetHandler("F0.");
    session.sim().SetHandler("F0.", [](const Request&) {
        return std::optional<std::string>(Bytes({0, 13, 4, 0, 40}) + "ABCDEFGHIJK");
    });
    int s2 = -1, l2 = -1;
    char d2[255];
    std::memset(d2, '#', sizeof d2);
    EXPECT_EQ(ornSwipeMagStripeCardWait(2, 0, nullptr, nullptr, nullptr, &s2, &l2, d2), 0);
    EXPECT_EQ(l2, 10);  // the length field covers 10 of the 11 characters
    EXPECT_EQ(std::string(d2, 11), "ABCDEFGHIJ#");
    session.sim().SetHandler("F0.", reader);

    // Display-driven swipe of tracks longer than the caller's buffers: cut, terminated.
    sim::SetSwipeCard({Repeat("1", 90), Repeat("2", 50), 0, 0});
    char track1[ORN_TRACK1_TEXT_SIZE + 8];
    char track2[ORN_TRACK2_TEXT_SIZE + 8];
    std::memset(track1, '#', sizeof track1);
    std::memset(track2, '#', sizeof track2);
    char source = 'x';
    EXPECT_EQ(ornMsrWithDisplayHandlingWait(3, 10, 1, 0, 0, "Swipe card", nullptr, nullptr, nullptr,
                                            track1, track2, &source),
              0);
    EXPECT_EQ(std::string(track1), Repeat("1", ORN_TRACK1_TEXT_SIZE - 1));
    EXPECT_EQ(std::string(track2), Repeat("2", ORN_TRACK2_TEXT_SIZE - 1));
    EXPECT_EQ(track1[ORN_TRACK1_TEXT_SIZE], '#');
    EXPECT_EQ(track2[ORN_TRACK2_TEXT_SIZE], '#');
    EXPECT_EQ(source, '0');

    // Without a second-track buffer, a second track the terminal sends anyway is stepped over.
    session.Answer("67.", "0003XYZ04ABCD");
    EXPECT_EQ(ornMsrWithDisplayHandlingWait(1, 10, 0, 0, 0, "Swipe card", nullptr, nullptr, nullptr,
                                            track1, nullptr, nullptr),
              0);
    EXPECT_STREQ(track1, "ABCD");
}

TEST_F(Msr, DisplaySwipePromptsAndAnswers) {
    char track1[ORN_TRACK1_TEXT_SIZE], track2[ORN_TRACK2_TEXT_SIZE];
    char source = 'x';
    const sim::SwipeCard card = sim::DefaultSwipeCard();
    EXPECT_EQ(ornMsrWithDisplayHandlingWait(3, 5, 1, 2, 4, "Swipe", nullptr, nullptr, "Thanks",
                                            track1, track2, &source),
              0);
    EXPECT_EQ(track1, card.track1);
    EXPECT_EQ(track2, card.track2);
    EXPECT_EQ(source, '0');
    // The Req form leaves an empty field for each missing line before line 4; the Wait form
    // sends line 4 right after line 1. Line 3 without line 2 gets one empty field in both.
    ASSERT_EQ(ornMsrWithDisplayHandlingReq(1, 0, 0, 0, 0, "Swipe", nullptr, nullptr, "Thanks",
                                           OnDisplaySwipe),
              0);
    ASSERT_TRUE(g_DisplaySwipes.WaitFor(1));
    EXPECT_EQ(g_DisplaySwipes.Items()[0].track1, card.track1);
    EXPECT_EQ(g_DisplaySwipes.Items()[0].flag, '0');
    EXPECT_EQ(ornMsrWithDisplayHandlingWait(2, 99, 0, 0, 0, "Caf\xE9", nullptr, "3rd", nullptr,
                                            nullptr, track2, nullptr),
              0);
    EXPECT_EQ(session.Payloads("67."),
              (std::vector<std::string>{"305124" + Line("Swipe") + Line("Thanks"),
                                        "100000" + Line("Swipe") + kFs + kFs + Line("Thanks"),
                                        "299000" + std::string("Caf\0332") + std::string(12, ' ') +
                                            kFs + kFs + Line("3rd")}));

    // A failed swipe leaves the source character '0' and the tracks empty.
    session.Answer("67.", "4");
    source = 'x';
    EXPECT_EQ(ornMsrWithDisplayHandlingWait(3, 5, 1, 0, 0, "Swipe", nullptr, nullptr, nullptr,
                                            track1, track2, &source),
              4);
    EXPECT_EQ(source, '0');
    EXPECT_STREQ(track1, "");
    EXPECT_STREQ(track2, "");

    session.sim().ClearRecord();
    for (int option0 : {-1, 2})
        EXPECT_EQ(ornMsrWithDisplayHandlingWait(3, 5, option0, 0, 0, "Swipe", nullptr, nullptr,
                                                nullptr, track1, track2, &source),
                  kBad);
    EXPECT_EQ(ornMsrWithDisplayHandlingWait(3, 100, 0, 0, 0, "Swipe", nullptr, nullptr, nullptr,
                                            track1, track2, &source),
              kBad);
    EXPECT_EQ(ornMsrWithDisplayHandlingWait(3, 5, 1, 0, 0, "Swipe", nullptr, nullptr, nullptr,
                                            track1, track2, nullptr),
              kBad);
    EXPECT_EQ(ornMsrWithDisplayHandlingReq(3, 5, 0, 5, 0, "Swipe", nullptr, nullptr, nullptr,
                                           OnDisplaySwipe),
              kBad);
    EXPECT_EQ(ornMsrWithDisplayHandlingReq(3, 5, 0, 0, 0, "Swipe", "\x80", nullptr, nullptr,
                                           OnDisplaySwipe),
              kBad);
    EXPECT_EQ(ornMsrScInsertWithDisplayReq(3, 5, 0, 0, 0, "Swipe", nullptr, "\x01", nullptr,
                                           OnDisplaySwipe),
              kBad);
    EXPECT_EQ(ornMsrScInsertWithDisplayWait(3, 5, 0, 0, 0, nullptr, nullptr, nullptr, nullptr,
                                            track1, track2, &source),
              kBad);
    EXPECT_TRUE(session.sim().Snapshot().frames.empty());
}

TEST_F(Msr, CancelEndsThePendingSwipe) {
    sim::SetAutoSwipe(false);
    ASSERT_EQ(ornSwipeMagStripeCardReq(1, 0, OnSwipe), 0);
    ASSERT_TRUE(session.WaitForPayloads("F0.", 1));
    EXPECT_EQ(ornIsBusy(1), 1);
    EXPECT_EQ(ornCancelMsrCommand(), 0);
    ASSERT_TRUE(g_Swipes.WaitFor(1));
    EXPECT_EQ(g_Swipes.Items()[0].status, ORN_ERR_CANCELED_BY_USER_ERROR);
    EXPECT_EQ(session.Payloads("F0.").back(), Bytes({0, 4, 4, 0x17, 0x70, 0x12}));
    EXPECT_EQ(sim::Swipe(session.sim()), 0);  // the reader dropped the request
}

TEST_F(Msr, CombinedCommandReportsWhicheverComesFirst) {
    using orn::Engine;
    auto settled = [] {
        return WaitUntil([] { return !Engine().HasQueuedRecordNamed("ornMsrScInsert"); }, 10000);
    };
    // A card already in the reader: only the insertion wait is queued, and it answers at once.
    sim::InsertCard(session.sim());
    ASSERT_EQ(ornMsrScInsertWithDisplayReq(3, 10, 0, 0, 0, "Swipe or insert", nullptr, nullptr,
                                           nullptr, OnDisplaySwipe),
              0);
    ASSERT_TRUE(g_DisplaySwipes.WaitFor(1));
    EXPECT_EQ(g_DisplaySwipes.Items()[0].status, 0);
    EXPECT_EQ(g_DisplaySwipes.Items()[0].flag, '%');
    EXPECT_EQ(g_DisplaySwipes.Items()[0].track1, "");
    EXPECT_TRUE(session.Payloads("67.").empty());
    EXPECT_EQ(session.Payloads("F0."),
              (std::vector<std::string>{Bytes({0, 4, 7, 0, 1, 4}), Bytes({0, 4, 7, 0, 0, 4})}));
    ASSERT_TRUE(settled());

    // No card: both wait; a second command meanwhile is busy; the card ends the swipe.
    sim::RemoveCard(session.sim());
    sim::SetAutoSwipe(false);
    ASSERT_EQ(ornMsrScInsertWithDisplayReq(3, 10, 0, 0, 0, "Swipe or insert", nullptr, nullptr,
                                           nullptr, OnDisplaySwipe),
              0);
    ASSERT_TRUE(session.WaitForPayloads("67.", 1));
    EXPECT_EQ(ornMsrScInsertWithDisplayReq(3, 10, 0, 0, 0, "Again", nullptr, nullptr, nullptr,
                                           OnDisplaySwipe),
              ORN_ERR_DEVICE_IS_BUSY_ERROR);
    sim::InsertCard(session.sim());
    ASSERT_TRUE(g_DisplaySwipes.WaitFor(2));
    EXPECT_EQ(g_DisplaySwipes.Items()[1].flag, '%');
    ASSERT_TRUE(session.WaitForPayloads("50.", 1));
    ASSERT_TRUE(settled());
    EXPECT_EQ(g_DisplaySwipes.Count(), 2u);  // the cancelled swipe reports nothing

    // The swipe first: it reports its tracks and ends the card wait.
    sim::RemoveCard(session.sim());
    ASSERT_EQ(ornMsrScInsertWithDisplayReq(3, 10, 0, 0, 0, "Swipe or insert", nullptr, nullptr,
                                           nullptr, OnDisplaySwipe),
              0);
    ASSERT_TRUE(session.WaitForPayloads("67.", 2));
    EXPECT_EQ(sim::Swipe(session.sim()), 1);
    ASSERT_TRUE(g_DisplaySwipes.WaitFor(3));
    EXPECT_EQ(g_DisplaySwipes.Items()[2].track2, sim::DefaultSwipeCard().track2);
    EXPECT_EQ(g_DisplaySwipes.Items()[2].flag, '0');
    ASSERT_TRUE(settled());
    EXPECT_EQ(session.Payloads("F0.").back(), Bytes({0, 4, 7, 0x17, 0x70, 0x12}));
    EXPECT_EQ(g_DisplaySwipes.Count(), 3u);

    // The blocking form, the card arriving while the swipe waits.
    char track1[ORN_TRACK1_TEXT_SIZE] = "x", track2[ORN_TRACK2_TEXT_SIZE] = "x";
    char source = 'x';
    auto waiting = std::async(std::launch::async, [&] {
        return ornMsrScInsertWithDisplayWait(3, 30, 0, 0, 0, "Swipe or insert", nullptr, nullptr,
                                             nullptr, track1, track2, &source);
    });
    ASSERT_TRUE(session.WaitForPayloads("67.", 3));
    sim::InsertCard(session.sim());
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 0);
    EXPECT_EQ(source, '%');
    EXPECT_STREQ(track1, "");

    // The blocking form with a swipe: the tracks, and the card wait is cancelled.
    sim::RemoveCard(session.sim());
    ASSERT_TRUE(settled());
    sim::SetAutoSwipe(true);
    EXPECT_EQ(ornMsrScInsertWithDisplayWait(3, 30, 0, 0, 0, "Swipe or insert", nullptr, nullptr,
                                            nullptr, track1, track2, &source),
              0);
    EXPECT_EQ(source, '0');
    EXPECT_EQ(track1, sim::DefaultSwipeCard().track1);
    EXPECT_TRUE(settled());
}

}  // namespace
