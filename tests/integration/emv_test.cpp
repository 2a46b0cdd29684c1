// The EMV channel against the simulator's EMV applications: session requests, sequenced data
// messages with their acknowledgements, incoming data delivered to the session callbacks, the
// session table's matching and the busy rules.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "answers_cards.h"
#include "card_test_support.h"
#include "sim_session.h"
#include "velquoraorn.h"

namespace {

constexpr int kBad = ORN_ERR_INVALID_PARAMETER_IN_API_CALL;

using cards_test::Bytes;
using orn::test::Recorder;
using orn::test::SimSession;
using orn::test::WaitUntil;
namespace sim = orn::sim;

struct Delivery {
    int session;  // which callback
    int subType;
    std::string data;
    std::thread::id thread;
};
Recorder<Delivery> g_Deliveries;

template <int N>
void SessionCallback(int subType, const unsigned char* data, int length) {
    g_Deliveries.Add({N, subType,
                      std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(length)),
                      std::this_thread::get_id()});
}

// The name fields of a message from this library on COM7 for application `app`.
std::string Names(const std::string& app) {
    std::string field = app.substr(0, 12);
    field.resize(12, '\0');
    return "DLLAPI_COM7_" + field;
}

class EmvChannel : public ::testing::Test {
  protected:
    void SetUp() override {
        g_Deliveries.Clear();
        ASSERT_EQ(session.Open(), 0);
    }

    // Payloads of the "F1." messages of `type` the terminal received.
    std::vector<std::string> Messages(int type) {
        std::vector<std::string> found;
        for (const std::string& payload : session.Payloads("F1."))
            if (payload.size() > 2 && static_cast<unsigned char>(payload[2]) == type)
                found.push_back(payload);
        return found;
    }

    SimSession session;
};

TEST(EmvWithoutLink, ByteOrderHelpersNeedNoLinkAndTheRestDoes) {
    unsigned char out[4] = {};
    EXPECT_EQ(ornEmvWin32Short2uint16(0x1234, out), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 2), Bytes({0x34, 0x12}));
    EXPECT_EQ(ornEmvWin32Long2uint32(0x12345678L, out), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), Bytes({0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(ornEmvWin32Short2uint16(1, nullptr), kBad);
    EXPECT_EQ(ornEmvWin32Long2uint32(1, nullptr), kBad);
    // The link tests come before the argument tests and the special lengths.
    EXPECT_EQ(ornEmvOpenSession(nullptr, nullptr), ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_EQ(ornEmvSendAsync("APP1", nullptr, -9999), ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_EQ(ornEmvSessionIsOpen(nullptr), ORN_ERR_COMM_PORT_NOT_OPEN);
}

TEST_F(EmvChannel, SessionRequestsCarryTypeSequenceAndNames) {
    ASSERT_EQ(ornEmvOpenSession("VSDC0001", SessionCallback<0>), 0);
    char version[6] = "xxxxx";
    EXPECT_EQ(ornEmvGetAppVersion("VSDC0001", version), 0);
    EXPECT_STREQ(version, "01.02");
    EXPECT_EQ(ornEmvRegisterZeth("VSDC0001"), 0);
    EXPECT_EQ(ornEmvSessionIsOpen("VSDC0001"), 1);
    EXPECT_EQ(ornEmvCloseSession("VSDC0001"), 0);
    EXPECT_EQ(ornEmvSessionIsOpen("VSDC0001"), 0);

    const std::vector<std::string> requests = session.Payloads("F1.");
    ASSERT_EQ(requests.size(), 4u);
    const int types[] = {2, 1, 16, 3};
    for (size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(requests[i].size(), 29u);
        EXPECT_EQ(requests[i].substr(0, 3), Bytes({0x00, 27, types[i]}));
        // The request sequence goes up by one with every request.
        EXPECT_EQ(static_cast<unsigned char>(requests[i][3]),
                  static_cast<unsigned char>(requests[0][3] + i));
        EXPECT_EQ(requests[i].substr(4), "\x01" + Names("VSDC0001"));
    }

    // The terminal's status is the result; a refused open records nothing, a close forgets the
    // session whatever the terminal says.
    sim::SetEmvAnswerStatus(2, 3);
    EXPECT_EQ(ornEmvOpenSession("VSDC0002", SessionCallback<0>), 3);
    EXPECT_EQ(ornEmvSessionIsOpen("VSDC0002"), 0);
    sim::SetEmvAnswerStatus(2, 0);
    sim::SetEmvAnswerStatus(3, 5);
    ASSERT_EQ(ornEmvOpenSession("VSDC0002", SessionCallback<0>), 0);
    EXPECT_EQ(ornEmvCloseSession("VSDC0002"), 5);
    EXPECT_EQ(ornEmvSessionIsOpen("VSDC0002"), 0);
    sim::SetEmvAnswerStatus(1, 4);
    EXPECT_EQ(ornEmvGetAppVersion("VSDC0002", version), 4);
    EXPECT_STREQ(version, "");

    // Refused without a message: an open session's name, and bad arguments.
    ASSERT_EQ(ornEmvOpenSession("VSDC0003", SessionCallback<0>), 0);
    session.sim().ClearRecord();
    EXPECT_EQ(ornEmvOpenSession("VSDC0003", SessionCallback<0>), 7);
    EXPECT_EQ(ornEmvOpenSession("ABC", SessionCallback<0>), kBad);
    EXPECT_EQ(ornEmvOpenSession(nullptr, SessionCallback<0>), kBad);
    EXPECT_EQ(ornEmvOpenSession("ABCD", nullptr), kBad);
    EXPECT_EQ(ornEmvCloseSession("ABC"), kBad);
    EXPECT_EQ(ornEmvGetAppVersion("ABCD", nullptr), kBad);
    EXPECT_EQ(ornEmvRegisterZeth(nullptr), kBad);
    EXPECT_EQ(ornEmvSessionIsOpen(nullptr), kBad);
    EXPECT_TRUE(session.NothingSent());
}

TEST_F(EmvChannel, DataMessagesCarryTheSendSequenceAndEndWithTheAcknowledgement) {
    ASSERT_EQ(ornEmvOpenSession("APP1", SessionCallback<0>), 0);
    const unsigned char hello[] = "hello";
    EXPECT_EQ(ornEmvSendAsync("APP1", hello, 5), 0);  // number 0, type 5 answer
    EXPECT_EQ(ornEmvSendAsync("APP1", hello, 5), 0);  // number 1
    sim::QueueEmvAck({6, 9, std::nullopt, false});
    EXPECT_EQ(ornEmvSendAsync("APP1", hello, 5), 9);  // number 2: a problem report's status
    sim::QueueEmvAck({6, 0, uint8_t{77}, false});
    // Out of sequence: the send ends with 6 and the number is not used up.
    EXPECT_EQ(ornEmvSendAsync("APP1", hello, 5), 6);    // number 3
    EXPECT_EQ(ornEmvSendAsync("APP1", nullptr, 0), 0);  // number 3 again, no data

    const std::vector<std::string> sent = Messages(4);
    ASSERT_EQ(sent.size(), 5u);
    const int numbers[] = {0, 1, 2, 3, 3};
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(static_cast<unsigned char>(sent[i][3]), numbers[i]) << i;
    EXPECT_EQ(sent[0], Bytes({0x00, 33, 4, 0, 0x00, 0x01}) + Names("APP1") + "hello");
    EXPECT_EQ(sent[4], Bytes({0x00, 28, 4, 3, 0x00, 0x01}) + Names("APP1"));
    EXPECT_EQ(sim::EmvDataFromHost("APP1").back(), "");

    // A successful open starts the numbers again.
    ASSERT_EQ(ornEmvCloseSession("APP1"), 0);
    ASSERT_EQ(ornEmvOpenSession("APP1", SessionCallback<0>), 0);
    EXPECT_EQ(ornEmvSendAsync("APP1", hello, 5), 0);
    EXPECT_EQ(static_cast<unsigned char>(Messages(4).back()[3]), 0);

    // Answered by the library alone: the special lengths, a missing session, bad arguments.
    session.sim().ClearRecord();
    const unsigned char info = 2;
    EXPECT_EQ(ornEmvSendAsync("component says hi", &info, -9999), -9999);
    EXPECT_EQ(ornEmvSendAsync("APP1", nullptr, -9998), static_cast<int>(ornGetVersionDWORD()));
    EXPECT_EQ(ornEmvSendAsync("NOPE", hello, 5), ORN_ERR_EMV_NOT_IN_SESSION_TABLE);
    EXPECT_EQ(ornEmvSendAsync("APP1", hello, -1), kBad);
    EXPECT_EQ(ornEmvSendAsync("APP1", nullptr, 5), kBad);
    EXPECT_EQ(ornEmvSendAsync("AP1", hello, 5), kBad);
    EXPECT_EQ(ornEmvSendAsync(nullptr, hello, -9999), kBad);
    EXPECT_TRUE(session.NothingSent());
    const std::string log = session.CloseAndReadLog();
    EXPECT_NE(log.find("(Info)  component says hi\n"), std::string::npos);
    EXPECT_NE(log.find("EmvAsyncReceiveHandler: Received EMV Problem Report ACK with status=9"),
              std::string::npos);
    EXPECT_NE(log.find("EmvAsyncReceiveHandler: Received Out of Sequence ACK"), std::string::npos);
}

TEST_F(EmvChannel, ConcurrentDataMessagesTakeConsecutiveNumbers) {
    ASSERT_EQ(ornEmvOpenSession("APP1", SessionCallback<0>), 0);
    constexpr int kThreads = 3, kSends = 3;
    std::vector<std::thread> senders;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&failures] {
            const unsigned char data[] = "x";
            for (int i = 0; i < kSends; ++i)
                if (ornEmvSendAsync("APP1", data, 1) != 0) ++failures;
        });
    for (std::thread& sender : senders) sender.join();
    EXPECT_EQ(failures.load(), 0);
    const std::vector<std::string> sent = Messages(4);
    ASSERT_EQ(sent.size(), static_cast<size_t>(kThreads * kSends));
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(static_cast<unsigned char>(sent[i][3]), i) << i;
}

TEST_F(EmvChannel, IncomingDataReachesItsSessionOnceAndIsAcknowledged) {
    ASSERT_EQ(ornEmvOpenSession("APPX", SessionCallback<0>), 0);
    sim::TerminalSimulator& terminal = session.sim();
    // The link ACK of the open's answer is the last before the test's traffic.
    ASSERT_TRUE(terminal.WaitFor([](const sim::Record& r) { return r.hostAcks == 1; }, 5000));
    terminal.ClearRecord();

    EXPECT_EQ(sim::PushEmvData(terminal, "APPX", "abc", 1), 128);
    ASSERT_TRUE(g_Deliveries.WaitFor(1));
    Delivery first = g_Deliveries.Items()[0];
    EXPECT_EQ(first.session, 0);
    EXPECT_EQ(first.subType, 1);
    EXPECT_EQ(first.data, "abc");
    EXPECT_NE(first.thread, std::this_thread::get_id());

    // Acknowledged by an EMV acknowledgement frame in its 7-bit form, not by a link ACK.
    ASSERT_TRUE(WaitUntil([] { return sim::EmvAcksFromHost().size() == 1; }, 5000));
    const std::string ackPayload = Bytes({0x00, 0x02, 0x05, 0x80});
    bool seen = false;
    for (const sim::Frame& frame : terminal.Snapshot().frames) {
        if (frame.id != "F1." || frame.payload != ackPayload) continue;
        seen = true;
        EXPECT_EQ(frame.raw, sim::BuildFrame("F1.", ackPayload));
        EXPECT_EQ(frame.raw.size(), 12u);
    }
    EXPECT_TRUE(seen);
    EXPECT_EQ(terminal.Snapshot().hostAcks, 0);

    // A repeat is acknowledged again but not delivered; a number out of order, and data for an
    // application without session, are dropped. Each later delivery shows the drop came first.
    sim::PushEmvData(terminal, "APPX", "abc", 1, uint8_t{128});
    sim::PushEmvData(terminal, "APPX", "def", 2);  // 129
    ASSERT_TRUE(g_Deliveries.WaitFor(2));
    sim::PushEmvData(terminal, "APPX", "lost", 1, uint8_t{200});
    sim::PushEmvData(terminal, "NOPE", "nobody", 1);  // 130
    sim::PushEmvData(terminal, "APPX", "ghi", 3);     // 131
    ASSERT_TRUE(g_Deliveries.WaitFor(3));
    std::vector<Delivery> items = g_Deliveries.Items();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1].data, "def");
    EXPECT_EQ(items[2].data, "ghi");
    ASSERT_TRUE(WaitUntil([] { return sim::EmvAcksFromHost().size() == 6; }, 5000));
    EXPECT_EQ(sim::EmvAcksFromHost(), (std::vector<uint8_t>{128, 128, 129, 200, 130, 131}));

    // Sub-type 4 is delivered and ends the session.
    sim::PushEmvData(terminal, "APPX", "bye", 4);
    ASSERT_TRUE(g_Deliveries.WaitFor(4));
    EXPECT_EQ(g_Deliveries.Items()[3].subType, 4);
    EXPECT_TRUE(WaitUntil([] { return ornEmvSessionIsOpen("APPX") == 0; }, 5000));
    EXPECT_NE(session.CloseAndReadLog().find(
                  "EMV Session Receive Sequence IDs are out of Sequence -- Close EMV Session to "
                  "repair"),
              std::string::npos);
}

TEST_F(EmvChannel, EverySessionIsReachableWhateverTheNamesBeforeIt) {
    // A shorter name earlier in the table must not hide a later session.
    ASSERT_EQ(ornEmvOpenSession("WXYZ", SessionCallback<0>), 0);
    ASSERT_EQ(ornEmvOpenSession("ABCDEFGH", SessionCallback<1>), 0);
    EXPECT_EQ(ornEmvSessionIsOpen("ABCDEFGH"), 1);
    sim::PushEmvData(session.sim(), "ABCDEFGH", "for the second", 1);
    ASSERT_TRUE(g_Deliveries.WaitFor(1));
    EXPECT_EQ(g_Deliveries.Items()[0].session, 1);
    EXPECT_EQ(ornEmvCloseSession("ABCDEFGH"), 0);
    EXPECT_EQ(ornEmvSessionIsOpen("ABCDEFGH"), 0);
    EXPECT_EQ(ornEmvSessionIsOpen("WXYZ"), 1);

    // An open session stands for every name it begins: "ABCD" covers "ABCDEFGH", not the
    // other way round.
    ASSERT_EQ(ornEmvOpenSession("ABCDEFGH", SessionCallback<1>), 0);
    EXPECT_EQ(ornEmvSessionIsOpen("ABCD"), 0);
    ASSERT_EQ(ornEmvOpenSession("ABCD", SessionCallback<0>), 0);
    EXPECT_EQ(ornEmvOpenSession("ABCDXY", SessionCallback<0>), 7);

    // The terminal knows an application by its first 12 characters; so does the table.
    ASSERT_EQ(ornEmvOpenSession("LONGAPPLICATION1", SessionCallback<2>), 0);
    sim::PushEmvData(session.sim(), "LONGAPPLICATION1", "long", 1);
    ASSERT_TRUE(g_Deliveries.WaitFor(2));
    EXPECT_EQ(g_Deliveries.Items()[1].session, 2);
    EXPECT_EQ(ornEmvSessionIsOpen("LONGAPPLICATION1"), 1);
}

TEST_F(EmvChannel, AFullTableRefusesTheOpenBeforeAskingTheTerminal) {
    // A session the table cannot hold would be open at the terminal with nobody to hear it.
    char name[8];
    for (int i = 0; i < 20; ++i) {
        std::snprintf(name, sizeof name, "AP%02d", i);
        ASSERT_EQ(ornEmvOpenSession(name, SessionCallback<0>), 0) << name;
    }
    session.sim().ClearRecord();
    EXPECT_EQ(ornEmvOpenSession("BQ00", SessionCallback<1>), ORN_ERR_EMV_SESSION_TABLE_FULL);
    EXPECT_TRUE(session.NothingSent());
    EXPECT_EQ(ornEmvSessionIsOpen("BQ00"), 0);
    ASSERT_EQ(ornEmvCloseSession("AP07"), 0);
    EXPECT_EQ(ornEmvOpenSession("BQ00", SessionCallback<1>), 0);
    EXPECT_EQ(ornEmvSessionIsOpen("BQ00"), 1);
}

TEST_F(EmvChannel, AnOpenWhileTheSameNameIsBeingOpenedFindsItOpen) {
    session.sim().SetResponseDelay(300);
    std::thread first([] { EXPECT_EQ(ornEmvOpenSession("APP1", SessionCallback<0>), 0); });
    ASSERT_TRUE(WaitUntil([this] { return Messages(2).size() == 1; }, 10000));
    EXPECT_EQ(ornEmvOpenSession("APP1", SessionCallback<1>), ORN_EMV_SESSION_ALREADY_OPEN);
    first.join();
    EXPECT_EQ(Messages(2).size(), 1u);
}

TEST_F(EmvChannel, OpenSessionsMakeTheSmartCardBusyUntilPowerUp) {
    EXPECT_EQ(ornIsBusy(3), 0);
    ASSERT_EQ(ornEmvOpenSession("APPX", SessionCallback<0>), 0);
    EXPECT_EQ(ornIsBusy(3), 1);
    EXPECT_EQ(ornIsBusy(2), 1);
    session.sim().ClearRecord();
    EXPECT_EQ(ornIsCardPresent(), 2);
    EXPECT_EQ(ornSmartCardPowerOff(), ORN_ERR_DEVICE_IS_BUSY_ERROR);
    EXPECT_TRUE(session.NothingSent());

    session.sim().TriggerPowerUp();
    EXPECT_TRUE(WaitUntil([] { return ornEmvSessionIsOpen("APPX") == 0; }, 10000));
    EXPECT_EQ(ornIsBusy(3), 0);
    EXPECT_EQ(ornIsBusy(2), 0);
}

}  // namespace
