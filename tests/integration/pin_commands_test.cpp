// PIN entry and the debit sequence against the simulated PIN pad: payloads on the wire and the
// order of the argument tests, outputs, callbacks (DUKPT, PIN, DEBIT) delivered once with their
// decoded values, the PIN-entry cancel and the timeouts.
#include "api/pin_commands.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "answers_cards.h"
#include "sim_session.h"
#include "test_support.h"
#include "velquoraorn.h"

namespace {

using orn::sim::Request;
using orn::test::SimSession;
using Clock = std::chrono::steady_clock;

constexpr int kDeadline = 10000;
constexpr int32_t kQuiet = ORN_LOGGER_FINE | ORN_LINK_MONITOR_OFF;
constexpr int kBad = ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
constexpr const char* kAccount = "4000001234567899";
constexpr const char* kKey16 = "0123456789ABCDEF";
constexpr const char* kKey32 = "0123456789ABCDEFFEDCBA9876543210";
const std::string kFs(1, '\x1C');

// What the callbacks delivered, in order.
struct Seen {
    int status = 0;
    std::string pinBlock, ksn, firstText, secondText;
    std::array<uint32_t, 3> values{};
    char code = 0;
};
orn::test::Recorder<Seen> g_seen;
Seen Last() {
    return g_seen.Items().back();
}
// A debit callback's arguments in one line: status, values, code, PIN block length and block,
// first|second text.
std::string Debit(const Seen& d) {
    return std::to_string(d.status) + " " + std::to_string(d.values[0]) + "/" +
           std::to_string(d.values[1]) + "/" + std::to_string(d.values[2]) + " " + d.code + " " +
           std::to_string(d.pinBlock.size()) + " " + d.pinBlock + " " + d.firstText + "|" +
           d.secondText;
}

void OnDukpt(int status, char* pinBlock, char* ksn) {
    g_seen.Add({status, pinBlock, ksn, "", "", {}, 0});
}
void OnPin(int status, char* pinBlock) {
    g_seen.Add({status, pinBlock, "", "", "", {}, 0});
}
void OnSwipe(int status, int, int, char*, int, int, char*) {
    g_seen.Add({status, "", "", "", "", {}, 0});
}
void OnDebit(int status, uint32_t first, uint32_t second, uint32_t third, char code, char* pinBlock,
             char* secondText, char* firstText) {
    g_seen.Add({status, pinBlock, "", firstText, secondText, {first, second, third}, code});
}

class PinCommands : public ::testing::Test {
  protected:
    void SetUp() override { g_seen.Clear(); }
    void Open(int32_t level = kQuiet) { ASSERT_EQ(session.Open(level), 0); }

    SimSession session;
};

// ---- DUKPT ---------------------------------------------------------------------------------

TEST_F(PinCommands, DukptWaitSendsItsFieldsAndFillsBothOutputs) {
    Open();
    char pin[17] = "x", ksn[21] = "x";
    EXPECT_EQ(ornDukptPinWait(15, 0, 4, kAccount, "AB", pin, ksn), 0);
    EXPECT_EQ(ornDukptPinWait(0, 255, 0, kAccount, nullptr, pin, ksn), 0);
    EXPECT_EQ(ornDukptPinWait(1, 1, 1, kAccount, "PINPAD", pin, ksn), 0);
    // The prompt is right-aligned in 4 characters and cut to 4; none gives "PIN=".
    EXPECT_EQ(session.Payloads("31."),
              (std::vector<std::string>{
                  std::string("F4") + kAccount + "  AB",
                  std::string("00") + kAccount + "PIN=", std::string("11") + kAccount + "PINP"}));
    EXPECT_EQ(std::strlen(pin), 16u);
    EXPECT_EQ(std::string(ksn).substr(0, 15), "FFFF9876543210E");
    EXPECT_EQ(std::strlen(ksn), 20u);

    // The PIN block follows the status; the key serial number is the last 20 characters.
    session.Answer("31.", "0" + std::string("0123456789ABCDEF") + "K000000000000000000K");
    EXPECT_EQ(ornDukptPinWait(0, 0, 0, kAccount, nullptr, pin, ksn), 0);
    EXPECT_STREQ(pin, "0123456789ABCDEF");
    EXPECT_STREQ(ksn, "K000000000000000000K");
    session.Answer("31.", std::string("4"));
    EXPECT_EQ(ornDukptPinWait(0, 0, 0, kAccount, nullptr, pin, ksn), 4);
    EXPECT_STREQ(pin, "");
    EXPECT_STREQ(ksn, "");
}

TEST_F(PinCommands, DukptArgumentTestsSendNothingAndEmptyOutputsOnlyWhenReached) {
    Open();
    char pin[17] = "keep", ksn[21] = "keep";
    EXPECT_EQ(ornDukptPinWait(16, 0, 0, kAccount, nullptr, pin, ksn), kBad);
    EXPECT_EQ(ornDukptPinWait(0, 256, 0, kAccount, nullptr, pin, ksn), kBad);
    EXPECT_EQ(ornDukptPinWait(0, 0, 5, kAccount, nullptr, pin, ksn), kBad);
    EXPECT_EQ(ornDukptPinWait(0, 0, 0, "400000123456789", nullptr, pin, ksn), kBad);
    EXPECT_EQ(ornDukptPinWait(0, 0, 0, nullptr, nullptr, pin, ksn), kBad);
    EXPECT_STREQ(pin, "keep");  // emptied only after the account and prompt tests
    EXPECT_STREQ(ksn, "keep");
    EXPECT_EQ(ornDukptPinWait(0, 0, 0, kAccount, nullptr, nullptr, ksn), kBad);
    EXPECT_STREQ(ksn, "keep");
    EXPECT_EQ(ornDukptPinWait(0, 0, 0, kAccount, nullptr, pin, nullptr), kBad);
    EXPECT_STREQ(pin, "");  // emptied before the key serial number buffer was tested
    EXPECT_EQ(ornDukptPinReq(0, 0, 0, kAccount, nullptr, nullptr), kBad);
    // A byte that would end the frame early cannot travel in the account or prompt.
    EXPECT_EQ(ornDukptPinReq(0, 0, 0, "40000012345\0037899", nullptr, OnDukpt), kBad);
    EXPECT_EQ(ornDukptPinReq(0, 0, 0, kAccount, "\x02", OnDukpt), kBad);
    EXPECT_TRUE(session.NothingSent());
}

TEST_F(PinCommands, DukptReqDeliversPinBlockAndSerialNumberOnce) {
    Open();
    session.Answer("31.", "0" + std::string("FEDCBA9876543210") + "FFFF9876543210E00042");
    ASSERT_EQ(ornDukptPinReq(3, 2, 1, kAccount, "PIN", OnDukpt), 0);
    ASSERT_TRUE(g_seen.WaitFor(1));
    EXPECT_EQ(Last().status, 0);
    EXPECT_EQ(Last().pinBlock, "FEDCBA9876543210");
    EXPECT_EQ(Last().ksn, "FFFF9876543210E00042");
    EXPECT_EQ(session.Payloads("31."),
              std::vector<std::string>{std::string("31") + kAccount + " PIN"});
    // A later exchange completes after the callback's; no second callback came.
    EXPECT_EQ(ornBeep(1), 0);
    EXPECT_EQ(g_seen.Count(), 1u);

    session.Answer("31.", std::string("7"));
    ASSERT_EQ(ornDukptPinReq(3, 2, 1, kAccount, nullptr, OnDukpt), 0);
    ASSERT_TRUE(g_seen.WaitFor(2));
    EXPECT_EQ(Last().status, 7);
    EXPECT_EQ(Last().pinBlock, "");
    EXPECT_EQ(Last().ksn, "");
}

// ---- master/session --------------------------------------------------------------------------

TEST(PinCommandsClosed, LastArgumentIsTestedBeforeTheLink) {
    char pin[17] = "keep";
    EXPECT_EQ(ornMasterSessionPinEntryReq(0, 0, 0, 0, kAccount, kKey16, nullptr, nullptr, nullptr),
              ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
    EXPECT_EQ(ornMasterSessionPinEntryReq(0, 0, 0, 0, kAccount, kKey16, nullptr, nullptr, OnPin),
              ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_EQ(ornMasterSessionPinEntryWait(0, 0, 0, 0, kAccount, kKey16, nullptr, nullptr, pin),
              ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_STREQ(pin, "");  // emptied before the link tests
    EXPECT_EQ(ornMSPinWithDisplayReq(0, 0, 0, kAccount, 0, nullptr, nullptr, nullptr, 0, 0, 0, "x",
                                     nullptr, nullptr, 0, nullptr),
              ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
    // The PIN length limits come before the link too; the buffer stays as it was.
    std::strcpy(pin, "keep");
    EXPECT_EQ(ornMSPinWithDisplayExWait(0, 0, 0, kAccount, 0, nullptr, nullptr, 6, 4, nullptr, 0, 0,
                                        0, "x", nullptr, nullptr, 0, pin),
              ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
    EXPECT_STREQ(pin, "keep");
    EXPECT_EQ(ornMSPinWithDisplayExWait(0, 0, 0, kAccount, 0, nullptr, nullptr, 4, 12, nullptr, 0,
                                        0, 0, "x", nullptr, nullptr, 0, pin),
              ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_STREQ(pin, "");
    EXPECT_EQ(ornDukptPinWait(16, 0, 0, kAccount, nullptr, nullptr, nullptr),
              ORN_ERR_COMM_PORT_NOT_OPEN);  // the DUKPT tests all follow the link tests
}

TEST_F(PinCommands, MasterSessionPayloadsAndKeyRules) {
    Open();
    char pin[17] = "x";
    EXPECT_EQ(ornMasterSessionPinEntryWait(10, 3, 2, 63, kAccount, kKey16, "", "AB", pin), 0);
    EXPECT_EQ(ornMasterSessionPinEntryWait(0, 0, 0, 1, kAccount, kKey32, "1A2B3C4D", "ABCDEF", pin),
              0);
    EXPECT_EQ(
        session.Payloads("41."),
        (std::vector<std::string>{std::string("A2o") + kAccount + kKey16 + "  AB",
                                  std::string("001") + kAccount + kKey32 + "1A2B3C4D" + "ABCD"}));
    EXPECT_EQ(std::strlen(pin), 16u);

    session.sim().ClearRecord();
    EXPECT_EQ(ornMasterSessionPinEntryWait(0, 0, 0, 0, kAccount, kKey32, nullptr, nullptr, pin),
              kBad);  // a double-length key needs its check value
    EXPECT_EQ(ornMasterSessionPinEntryWait(0, 0, 0, 0, kAccount, kKey16, "1234567", nullptr, pin),
              kBad);
    EXPECT_EQ(ornMasterSessionPinEntryWait(0, 0, 0, 64, kAccount, kKey16, nullptr, nullptr, pin),
              kBad);
    EXPECT_EQ(ornMasterSessionPinEntryWait(0, 0, 0, 0, kAccount, "0123", nullptr, nullptr, pin),
              kBad);
    EXPECT_EQ(ornMasterSessionPinEntryWait(0, 0, 0, 0, kAccount, nullptr, nullptr, nullptr, pin),
              kBad);
    EXPECT_TRUE(session.NothingSent());

    // The PIN block is the answer's last 16 characters.
    session.Answer("41.", std::string("0xx0011223344556677"));
    EXPECT_EQ(ornMasterSessionPinEntryWait(0, 0, 0, 0, kAccount, kKey16, nullptr, nullptr, pin), 0);
    EXPECT_STREQ(pin, "0011223344556677");
    ASSERT_EQ(ornMasterSessionPinEntryReq(0, 0, 0, 0, kAccount, kKey16, nullptr, nullptr, OnPin),
              0);
    ASSERT_TRUE(g_seen.WaitFor(1));
    EXPECT_EQ(Last().status, 0);
    EXPECT_EQ(Last().pinBlock, "0011223344556677");
}

// ---- with display --------------------------------------------------------------------------

TEST_F(PinCommands, DisplayPinPayloadsLinesAndLimits) {
    Open();
    char pin[17];
    // Mode 1 with its 16-character key and no check value; the prompt padded on the right; no
    // second line, so the third is not sent either.
    EXPECT_EQ(ornMSPinWithDisplayWait(10, 2, 1, kAccount, 1, kKey16, "", "AB", 3, 4, 255,
                                      "Enter PIN", nullptr, "ignored", 0, pin),
              0);
    // Mode 0 sends no key; the Windows-1252 accent is sent as its escape pair.
    EXPECT_EQ(ornMSPinWithDisplayWait(0, 0, 0, kAccount, 0, kKey16, nullptr, nullptr, 0, 0, 63,
                                      "Caf\xE9", "two", "three", 0, pin),
              0);
    EXPECT_EQ(session.Payloads("69."),
              (std::vector<std::string>{std::string("A21") + kAccount + "S" + kKey16 + "AB  " +
                                            "34FF" + "Enter PIN       " + kFs,
                                        std::string("000") + kAccount + "0" + "PIN=" + "003F" +
                                            "Caf\0332" + std::string(12, ' ') + kFs + "two" +
                                            std::string(13, ' ') + kFs + "three" +
                                            std::string(11, ' ') + kFs}));
    EXPECT_EQ(std::strlen(pin), 16u);

    // The extended form puts both PIN length limits after the option, as single hex digits.
    EXPECT_EQ(ornMSPinWithDisplayExWait(1, 0, 2, kAccount, 2, kKey32, "1A2B3C4D", 4, 12, "PIN:", 1,
                                        0, 7, "line", nullptr, nullptr, 1, pin),
              0);
    EXPECT_EQ(session.Payloads("6H."),
              std::vector<std::string>{std::string("104C2") + kAccount + "D" + kKey32 + "1A2B3C4D" +
                                       "PIN:" + "1007" + "line" + std::string(12, ' ') + kFs});

    session.sim().ClearRecord();
    auto wait = [&](int keyMode, const char* key, const char* checkValue, int keyIndex2,
                    const char* line1, const char* line2) {
        return ornMSPinWithDisplayWait(0, 0, 0, kAccount, keyMode, key, checkValue, nullptr, 0, 0,
                                       keyIndex2, line1, line2, nullptr, 0, pin);
    };
    EXPECT_EQ(wait(1, kKey32, nullptr, 0, "x", nullptr), kBad);  // mode 1 takes 16 characters
    EXPECT_EQ(wait(2, kKey32, nullptr, 0, "x", nullptr), kBad);  // mode 2 needs a check value
    EXPECT_EQ(wait(3, kKey16, nullptr, 0, "x", nullptr), kBad);
    EXPECT_EQ(wait(0, nullptr, nullptr, 64, "x", nullptr), kBad);
    EXPECT_EQ(wait(0, nullptr, nullptr, 0, nullptr, nullptr), kBad);
    EXPECT_EQ(wait(0, nullptr, nullptr, 0, "x", "bad\x01"), kBad);  // not display text
    EXPECT_EQ(ornMSPinWithDisplayExReq(0, 0, 0, kAccount, 0, nullptr, nullptr, 4, 13, nullptr, 0, 0,
                                       0, "x", nullptr, nullptr, 0, OnPin),
              kBad);
    EXPECT_TRUE(session.NothingSent());

    ASSERT_EQ(ornMSPinWithDisplayReq(0, 0, 0, kAccount, 0, nullptr, nullptr, nullptr, 0, 0, 0, "x",
                                     nullptr, nullptr, 0, OnPin),
              0);
    ASSERT_TRUE(g_seen.WaitFor(1));
    EXPECT_EQ(Last().status, 0);
    EXPECT_EQ(Last().pinBlock.size(), 16u);
}

// ---- cancel and timeouts -------------------------------------------------------------------

TEST_F(PinCommands, PinEntryCancelEndsPendingEntriesWithMinus5) {
    Open();
    session.Answer("41.", std::nullopt);  // the cardholder never finishes
    ASSERT_EQ(ornMasterSessionPinEntryReq(0, 0, 0, 0, kAccount, kKey16, nullptr, nullptr, OnPin),
              0);
    EXPECT_EQ(ornPinEntryCancel(), 0);
    ASSERT_TRUE(g_seen.WaitFor(1));
    EXPECT_EQ(Last().status, ORN_ERR_CANCELED_BY_USER_ERROR);
    EXPECT_EQ(Last().pinBlock, "");
    // "72" with no dot and nothing after it, acknowledged only.
    auto frames = session.sim().Snapshot().frames;
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().id, "72");
    EXPECT_EQ(frames.back().payload, "");

    // A blocked Wait is woken the same way.
    char pin[17] = "x";
    auto waiting = std::async(std::launch::async, [&] {
        return ornMasterSessionPinEntryWait(0, 0, 0, 0, kAccount, kKey16, nullptr, nullptr, pin);
    });
    ASSERT_TRUE(session.WaitForPayloads("41.", 2));
    EXPECT_EQ(ornPinEntryCancel(), 0);
    ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(kDeadline)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), ORN_ERR_CANCELED_BY_USER_ERROR);
    EXPECT_STREQ(pin, "");
}

// A terminal gone silent: the cancels report it (-11) and still end the pending request, so the
// application is not left waiting on a terminal that may never answer again.
TEST_F(PinCommands, CancelsEndPendingRequestsWhileTheTerminalIsDisconnected) {
    Open(ORN_LOGGER_FINE);  // link monitoring on: the unanswered link check disconnects
    session.Answer("41.", std::nullopt);
    orn::sim::SetAutoSwipe(false);
    struct Case {
        const char* name;
        int (*request)();
        int (*cancel)();
    };
    auto pinEntry = [] {
        return ornMasterSessionPinEntryReq(0, 0, 0, 0, kAccount, kKey16, nullptr, nullptr, OnPin);
    };
    auto swipe = [] { return ornSwipeMagStripeCardReq(1, 0, OnSwipe); };
    int row = 0;
    for (const Case& c : {Case{"ornCancel", pinEntry, ornCancel},
                          Case{"ornPinEntryCancel", pinEntry, ornPinEntryCancel},
                          Case{"ornCancelMsrCommand", swipe, ornCancelMsrCommand}}) {
        SCOPED_TRACE(c.name);
        ++row;
        session.sim().SetSilent(false);
        ASSERT_TRUE(
            orn::test::WaitUntil([] { return ornCheckConnectionStatus() == 0; }, kDeadline));
        ASSERT_EQ(c.request(), 0);
        session.sim().SetSilent(true);
        ASSERT_TRUE(
            orn::test::WaitUntil([] { return ornCheckConnectionStatus() == 1; }, kDeadline));
        EXPECT_EQ(c.cancel(), ORN_ERR_DEVICE_IS_NOT_RESPONDING_ERROR);
        ASSERT_TRUE(g_seen.WaitFor(row));
        EXPECT_EQ(Last().status, ORN_ERR_CANCELED_BY_USER_ERROR);
    }
    orn::sim::SetAutoSwipe(true);
}

TEST_F(PinCommands, PinTimeoutCountsInUnitsOfFiveSeconds) {
    Open();
    session.Answer("31.", std::nullopt);
    char pin[17], ksn[21];
    const auto start = Clock::now();
    EXPECT_EQ(ornDukptPinWait(0, 1, 0, kAccount, nullptr, pin, ksn), ORN_ERR_API_TIMEOUT);
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(waited, 4900);   // 1 × 5000 ms after the ACK
    EXPECT_LT(waited, 12000);  // not the default, not without limit
}

// ---- debit sequence ------------------------------------------------------------------------

int DebitInit(int field8, int field24, const char* field9, const char* field31) {
    return ornDebitSequenceInit(3, "Line 2", "Line 3", 2, "Line 5", "Line 6", 1, field8, field9, 63,
                                "Line 11", 0, 1, "Line 14", 2, "Line 16", 3, "Line 18", "Line 19",
                                2, "Line 21", "Line 22", 1, field24, "Line 25", 255, "Line 27", 0,
                                "Line 29", "Line 30", field31);
}

TEST_F(PinCommands, DebitInitSendsEveryFieldInOrder) {
    Open();
    EXPECT_EQ(DebitInit(10, 5, "Line 9", "MERCHANT"), 0);
    auto line = [](const std::string& text) {
        return text + std::string(16 - text.size(), ' ') + kFs;
    };
    const std::string expected =
        "3" + line("Line 2") + line("Line 3") + "2" + line("Line 5") + line("Line 6") + "1" + "0A" +
        line("Line 9") + "3F" + line("Line 11") + "0" + "01" + line("Line 14") + "02" +
        line("Line 16") + "3" + line("Line 18") + line("Line 19") + "2" + line("Line 21") +
        line("Line 22") + "1" + "05" + line("Line 25") + "FF" + line("Line 27") + "0" +
        line("Line 29") + line("Line 30") + "MERCHANT       ";
    EXPECT_EQ(session.Payloads("6A."), std::vector<std::string>{expected});

    session.sim().ClearRecord();
    EXPECT_EQ(DebitInit(64, 5, "Line 9", "M"), kBad);
    EXPECT_EQ(DebitInit(0, 254, "Line 9", "M"), kBad);
    EXPECT_EQ(DebitInit(0, 5, nullptr, "M"), kBad);
    EXPECT_EQ(DebitInit(0, 5, "\x7", "M"), kBad);
    EXPECT_EQ(DebitInit(0, 5, "Line 9", nullptr), kBad);
    EXPECT_TRUE(session.NothingSent());
    EXPECT_EQ(DebitInit(0, 5, "Line 9", "A TEXT OF TWENTY CHRS"), 0);
    EXPECT_EQ(session.Payloads("6A.").back().substr(session.Payloads("6A.").back().size() - 15),
              "A TEXT OF TWENT");  // cut to 15
}

TEST_F(PinCommands, DebitStartPayloadAndCallbackDecoding) {
    Open();
    // Entry mode 0 sends the account; mode 2 sends key and check value.
    ASSERT_EQ(ornDebitSequenceStartReq(1, 30, 0, 0, 45, 6, "AB", 1234, 1, 0, 5, 2, kKey32,
                                       "1A2B3C4D", kAccount, OnDebit),
              0);
    ASSERT_TRUE(g_seen.WaitFor(1));
    EXPECT_EQ(session.Payloads("6B."),
              std::vector<std::string>{std::string("13000456") + "AB  " + "000001234" + "10" +
                                       "5D" + kKey32 + "1A2B3C4D" + kAccount});
    // The simulated PIN pad approves the amount on a chequing account.
    EXPECT_EQ(Debit(Last()).substr(0, 16), "0 1234/0/0 C 16 ");
    EXPECT_EQ(Last().firstText, "APPROVED");

    // All fields of the answer: three values, the account type code, the PIN block, two texts.
    session.Answer("6B.", "0" + std::string("0000001234") + "000000500" + "000000025" + "S01" +
                              "0011223344556677" + "05HELLO" + "03BYE");
    ASSERT_EQ(ornDebitSequenceStartReq(0, 10, 1, 1, 20, 1, "LONGPROMPT", 0, 0, 0, 0, 0, nullptr,
                                       nullptr, nullptr, OnDebit),
              0);
    ASSERT_TRUE(g_seen.WaitFor(2));
    EXPECT_EQ(session.Payloads("6B.").back(),
              "0101120"
              "1"
              "LONG"
              "000000000"
              "00"
              "00");
    EXPECT_EQ(Debit(Last()), "0 1234/500/25 S 16 0011223344556677 HELLO|BYE");

    // "C01" right after the first value: no second and third value. A first text longer than
    // its 36 characters is cut; a missing second text is empty.
    session.Answer("6B.", "0" + std::string("0000000001") + "C01" + "FFEEDDCCBBAA9988" + "40" +
                              std::string(36, 'T') + "CUT!");
    ASSERT_EQ(ornDebitSequenceStartReq(0, 10, 1, 1, 20, 1, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr,
                                       nullptr, OnDebit),
              0);
    ASSERT_TRUE(g_seen.WaitFor(3));
    EXPECT_EQ(Debit(Last()), "0 1/0/0 C 16 FFEEDDCCBBAA9988 " + std::string(36, 'T') + "|");
    EXPECT_EQ(ornBeep(0), 0);
    EXPECT_EQ(g_seen.Count(), 3u);

    session.sim().ClearRecord();
    auto start = [&](int amount, int keyMode, const char* key, const char* checkValue,
                     int entryMode, const char* account, ornDebitCallback callback) {
        return ornDebitSequenceStartReq(0, 10, entryMode, 0, 20, 1, nullptr, amount, 0, 0, 0,
                                        keyMode, key, checkValue, account, callback);
    };
    EXPECT_EQ(start(1000000000, 0, nullptr, nullptr, 1, nullptr, OnDebit), kBad);
    EXPECT_EQ(start(1, 1, kKey32, nullptr, 1, nullptr, OnDebit), kBad);
    EXPECT_EQ(start(1, 2, kKey32, nullptr, 1, nullptr, OnDebit), kBad);
    EXPECT_EQ(start(1, 0, nullptr, nullptr, 0, "123", OnDebit), kBad);
    EXPECT_EQ(start(1, 0, nullptr, nullptr, 1, nullptr, nullptr), kBad);
    EXPECT_TRUE(session.NothingSent());
}

TEST(DebitStartTimeout, StageTimesAddUp) {
    using orn::DebitStartTimeout;
    // Arguments: first stage, entry mode, stage, PIN timeout, extra stages, input auto-cancel.
    EXPECT_EQ(DebitStartTimeout(10, 0, 30, 6, 0, 0, 99), 198000u);  // 30000 + 108000 + 60000
    EXPECT_EQ(DebitStartTimeout(10, 1, 30, 6, 0, 0, 99), 208000u);  // + the first stage
    EXPECT_EQ(DebitStartTimeout(10, 0, 30, 6, 1, 0, 99), 198000u + 138000u + 30000u);
    EXPECT_EQ(DebitStartTimeout(10, 0, 30, 6, 1, 1, 99), 198000u + 2 * 138000u + 30000u);
    // Any stage time 0: the input auto-cancel time decides (0: no limit).
    EXPECT_EQ(DebitStartTimeout(0, 0, 30, 6, 1, 1, 45), 45000u);
    EXPECT_EQ(DebitStartTimeout(10, 0, 0, 6, 0, 0, 0), 0u);
    EXPECT_EQ(DebitStartTimeout(10, 0, 30, 0, 0, 0, 7), 7000u);
}

}  // namespace
