// The smart-card commands against the simulator's card reader: power-up with the answer to
// reset, the command exchange (with the long length form and buffers cut), insertion and removal
// waits in both forms, presence, status and cancel.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <string>
#include <utility>
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
using orn::test::Recorder;
using orn::test::SimSession;
namespace sim = orn::sim;

Recorder<int> g_Statuses;
void OnSmartCard(int status) {
    g_Statuses.Add(status);
}

struct AtrSeen {
    int status;
    char type;
    std::string atr;
};
Recorder<AtrSeen> g_Atrs;
void OnAtr(int status, char type, unsigned char* data, int length) {
    g_Atrs.Add(
        {status, type, std::string(reinterpret_cast<char*>(data), static_cast<size_t>(length))});
}

const std::string kAtr = Bytes({0x3B, 0x02, 0x14, 0x50});

class SmartCard : public ::testing::Test {
  protected:
    void SetUp() override {
        g_Statuses.Clear();
        g_Atrs.Clear();
        ASSERT_EQ(session.Open(), 0);
        sim::SetCardAtr(0x21, kAtr);
    }
    sim::TerminalSimulator& terminal() { return session.sim(); }
    SimSession session;
};

TEST_F(SmartCard, PowerUpReadsTheAnswerToReset) {
    unsigned char type = 0, atr[ORN_SMART_CARD_DATA_SIZE] = {};
    int length = -1;
    EXPECT_EQ(ornSmartCardPowerUp(&type, atr, &length), 1);  // no card
    EXPECT_EQ(length, -1);                                   // nothing written
    sim::InsertCard(terminal());
    EXPECT_EQ(ornSmartCardPowerUp(&type, atr, &length), 0);
    EXPECT_EQ(type, 0x21);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(atr), static_cast<size_t>(length)), kAtr);
    type = 0;
    EXPECT_EQ(ornSmartCardCompareAtr(&type), 0);
    EXPECT_EQ(type, 0x21);
    EXPECT_EQ(ornSmartCardPowerOff(), 0);
    EXPECT_EQ(session.Payloads("F0."),
              (std::vector<std::string>{
                  Bytes({0, 4, 7, 0x17, 0x70, 0x05}), Bytes({0, 4, 7, 0x17, 0x70, 0x05}),
                  Bytes({0, 4, 7, 0x17, 0x70, 0x08}), Bytes({0, 4, 7, 0x17, 0x70, 0x0A})}));

    // An answer to reset longer than the buffer is cut; the bytes after it stay untouched.
    const std::string longAtr = Repeat(Bytes({0x3B, 0x99}), 300);
    sim::SetCardAtr(0x01, longAtr);
    std::vector<unsigned char> big(ORN_SMART_CARD_DATA_SIZE + 16, 0xEE);
    EXPECT_EQ(ornWaitCardAndPowerUpAtrWait(0, &type, big.data(), &length), 0);
    EXPECT_EQ(length, ORN_SMART_CARD_DATA_SIZE);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(big.data()), ORN_SMART_CARD_DATA_SIZE),
              longAtr.substr(0, ORN_SMART_CARD_DATA_SIZE));
    EXPECT_EQ(big[ORN_SMART_CARD_DATA_SIZE], 0xEE);

    terminal().ClearRecord();
    EXPECT_EQ(ornSmartCardPowerUp(nullptr, atr, &length), kBad);
    EXPECT_EQ(ornSmartCardPowerUp(&type, nullptr, &length), kBad);
    EXPECT_EQ(ornSmartCardCompareAtr(nullptr), kBad);
    EXPECT_EQ(ornWaitCardAndPowerUpAtrWait(600001, &type, atr, &length), kBad);
    EXPECT_EQ(ornWaitCardAndPowerUpAtrWait(0, &type, atr, nullptr), kBad);
    EXPECT_TRUE(session.NothingSent());
}

TEST_F(SmartCard, CommandExchangeWithShortAndLongAnswers) {
    sim::InsertCard(terminal());
    unsigned char type, atr[ORN_SMART_CARD_DATA_SIZE];
    int atrLength;
    ASSERT_EQ(ornSmartCardPowerUp(&type, atr, &atrLength), 0);

    // SELECT: the reader's three leading bytes apart, the card's answer in place of the command.
    std::vector<unsigned char> data(ORN_SMART_CARD_DATA_SIZE + 16, 0xEE);
    const std::string select = Bytes({0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00});
    std::memcpy(data.data(), select.data(), select.size());
    int length = static_cast<int>(select.size());
    unsigned char b1 = 0xAA, b2 = 0xAA, b3 = 0xAA;
    EXPECT_EQ(ornAsynchCardExecution(data.data(), &length, &b1, &b2, &b3), 0);
    EXPECT_EQ(b1 | b2 | b3, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data.data()), static_cast<size_t>(length)),
              Bytes({0x6F, 0x08, 0x84, 0x06, 0xA0, 0x00, 0x00, 0x00, 0x03, 0x10, 0x90, 0x00}));
    EXPECT_EQ(sim::ApduCommands().back(), select);
    EXPECT_EQ(session.Payloads("F0.").back(), Bytes({0, 12, 7, 0, 0, 0x0D, 7}) + select);

    // An empty command: seven bytes on the wire.
    length = 0;
    EXPECT_EQ(ornAsynchCardExecution(data.data(), &length, &b1, &b2, &b3), 0);
    EXPECT_EQ(session.Payloads("F0.").back(), Bytes({0, 5, 7, 0, 0, 0x0D, 0}));

    // Answers of 255 bytes and more use the long length form; past the buffer they are cut.
    for (size_t size : {size_t{300}, size_t{700}}) {
        SCOPED_TRACE(size);
        const std::string answer = Repeat(Bytes({0x5A}), static_cast<int>(size));
        sim::SetApduHandler([answer](const std::string&) { return Bytes({1, 2, 3}) + answer; });
        std::fill(data.begin(), data.end(), 0xEE);
        length = 1;
        EXPECT_EQ(ornAsynchCardExecution(data.data(), &length, &b1, &b2, &b3), 0);
        const size_t kept = std::min<size_t>(size, ORN_SMART_CARD_DATA_SIZE);
        EXPECT_EQ(length, static_cast<int>(kept));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(data.data()), kept), answer.substr(0, kept));
        EXPECT_EQ(data[kept], 0xEE);
        EXPECT_EQ(b1 * 100 + b2 * 10 + b3, 123);
    }

    // A card that is not powered: the reader's status, no output.
    ASSERT_EQ(ornSmartCardPowerOff(), 0);
    length = 1;
    EXPECT_EQ(ornAsynchCardExecution(data.data(), &length, &b1, &b2, &b3), 2);
    EXPECT_EQ(length, 1);

    terminal().ClearRecord();
    length = 256;
    EXPECT_EQ(ornAsynchCardExecution(data.data(), &length, &b1, &b2, &b3), kBad);
    length = -1;
    EXPECT_EQ(ornAsynchCardExecution(data.data(), &length, &b1, &b2, &b3), kBad);
    length = 1;
    EXPECT_EQ(ornAsynchCardExecution(nullptr, &length, &b1, &b2, &b3), kBad);
    EXPECT_EQ(ornAsynchCardExecution(data.data(), &length, &b1, nullptr, &b3), kBad);
    EXPECT_TRUE(session.NothingSent());
}

TEST_F(SmartCard, InsertionAndRemovalEvents) {
    EXPECT_EQ(ornIsCardPresent(), 0);
    EXPECT_EQ(ornSmartCardStatus(), 0xFF);
    ASSERT_EQ(ornWaitForSmartCardInsertionReq(600000, OnSmartCard), 0);
    ASSERT_TRUE(session.WaitForPayloads("F0.", 3));
    EXPECT_EQ(session.Payloads("F0.")[2], Bytes({0, 4, 7, 0xEA, 0x60, 0x04}));
    EXPECT_EQ(ornIsBusy(2), 1);
    sim::InsertCard(terminal());
    ASSERT_TRUE(g_Statuses.WaitFor(1));
    EXPECT_EQ(g_Statuses.Items()[0], 0);
    EXPECT_EQ(ornIsCardPresent(), 1);
    EXPECT_EQ(ornSmartCardStatus(), 0x05);
    EXPECT_EQ(ornWaitForSmartCardInsertionWait(1000), 0);  // already there

    ASSERT_EQ(ornWaitForSmartCardRemovalReq(0, OnSmartCard), 0);
    ASSERT_TRUE(session.WaitForPayloads("F0.", 7));
    sim::RemoveCard(terminal());
    ASSERT_TRUE(g_Statuses.WaitFor(2));
    EXPECT_EQ(g_Statuses.Items()[1], 0);
    EXPECT_EQ(ornWaitForSmartCardRemovalWait(500), 0);    // already out
    EXPECT_EQ(ornWaitForSmartCardInsertionWait(500), 1);  // the limit passed

    ASSERT_EQ(ornWaitCardAndPowerUpAtrReq(0, OnAtr), 0);
    ASSERT_TRUE(session.WaitForPayloads("F0.", 10));
    sim::InsertCard(terminal());
    ASSERT_TRUE(g_Atrs.WaitFor(1));
    EXPECT_EQ(g_Atrs.Items()[0].status, 0);
    EXPECT_EQ(g_Atrs.Items()[0].type, 0x21);
    EXPECT_EQ(g_Atrs.Items()[0].atr, kAtr);

    ASSERT_EQ(ornSmartCardPowerOffAndRemovalReq(0, OnSmartCard), 0);
    ASSERT_TRUE(session.WaitForPayloads("F0.", 11));
    EXPECT_EQ(session.Payloads("F0.")[10], Bytes({0, 4, 7, 0, 0, 0x0C}));
    sim::RemoveCard(terminal());
    ASSERT_TRUE(g_Statuses.WaitFor(3));
    EXPECT_EQ(ornSmartCardPowerOffAndRemovalWait(0), 0);

    terminal().ClearRecord();
    EXPECT_EQ(ornWaitForSmartCardInsertionReq(600001, OnSmartCard), kBad);
    EXPECT_EQ(ornWaitForSmartCardInsertionReq(0, nullptr), kBad);
    EXPECT_EQ(ornWaitForSmartCardRemovalWait(-1), kBad);
    EXPECT_EQ(ornWaitCardAndPowerUpAtrReq(0, nullptr), kBad);
    EXPECT_EQ(ornSmartCardPowerOffAndRemovalReq(600001, OnSmartCard), kBad);
    EXPECT_TRUE(session.NothingSent());
}

TEST_F(SmartCard, CancelEndsThePendingWait) {
    sim::InsertCard(terminal());
    ASSERT_EQ(ornWaitForSmartCardRemovalReq(0, OnSmartCard), 0);
    ASSERT_TRUE(session.WaitForPayloads("F0.", 1));
    EXPECT_EQ(ornSmartCardCancel(), 0);
    ASSERT_TRUE(g_Statuses.WaitFor(1));
    EXPECT_EQ(g_Statuses.Items()[0], ORN_ERR_CANCELED_BY_USER_ERROR);
    EXPECT_EQ(session.Payloads("F0.").back(), Bytes({0, 4, 7, 0x17, 0x70, 0x12}));
    EXPECT_EQ(ornIsBusy(2), 0);

    // A cancel the terminal refuses (NAKed until the engine gives up) still ends the wait.
    ASSERT_EQ(ornWaitForSmartCardRemovalReq(0, OnSmartCard), 0);
    ASSERT_TRUE(session.WaitForPayloads("F0.", 3));
    terminal().NakNextFrames(6);
    EXPECT_EQ(ornSmartCardCancel(), ORN_ERR_GOT_NAK_ERROR);
    ASSERT_TRUE(g_Statuses.WaitFor(2));
    EXPECT_EQ(g_Statuses.Items()[1], ORN_ERR_CANCELED_BY_USER_ERROR);
    EXPECT_EQ(ornIsBusy(2), 0);
}

TEST_F(SmartCard, AStrayStatusAnswerLeavesAStatusRequestNotYetSentAlone) {
    // An insertion wait holds the reader; a status request queues behind it, unsent.
    auto insertion =
        std::async(std::launch::async, [] { return ornWaitForSmartCardInsertionWait(0); });
    ASSERT_TRUE(session.WaitForPayloads("F0.", 1));
    auto status = std::async(std::launch::async, [this] {
        const int result = ornSmartCardStatus();
        return std::make_pair(result, session.Payloads("F0.").size());
    });
    ASSERT_TRUE(orn::test::WaitUntil([] { return orn::Engine().QueueSize() == 2; }, 10000));
    // "Card present", late from some earlier question; no card is in.
    terminal().SendFrame("F0.", Bytes({0, 2, 7, 5}));
    ASSERT_EQ(status.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto [result, sentBefore] = status.get();
    EXPECT_EQ(sentBefore, 2u);                // it was asked before it was answered
    EXPECT_EQ(result, ornSmartCardStatus());  // and its answer is the terminal's
    EXPECT_NE(result, 5);
    ASSERT_EQ(insertion.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

}  // namespace
