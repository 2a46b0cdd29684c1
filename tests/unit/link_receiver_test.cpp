// The link receiver against a fake engine that records every write and notification in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "link/frame.h"
#include "link/receiver.h"
#include "log/logger.h"
#include "test_support.h"

namespace orn {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t* data, size_t length) {
    std::string text;
    char buf[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
        text += buf;
    }
    return text;
}

class FakeEngine : public ILinkEngine {
  public:
    CLogger& Logger() override { return logger; }
    bool EngineStarted() override { return started; }
    int DataWidth() override { return width; }
    bool QuickCancelMode() override { return quickCancel; }
    void SetPowerUpSeen() override { Record("PowerUpSeen"); }
    void SetStrayCancelExpected() override { Record("StrayCancel"); }
    int32_t GetConnectionState() override { return connection; }
    void SetConnectionState(int32_t state) override {
        connection = state;
        Record("State " + std::to_string(state));
    }
    int32_t& EnquiryCount() override { return enquiries; }
    uint32_t Write(const uint8_t* data, uint32_t length) override {
        Record("Write " + Hex(data, length));
        return 0;
    }
    void SendRawCancel() override { Record("Cancel"); }
    void OnAck() override { Record("OnAck"); }
    void OnNak() override { Record("OnNak"); }
    void OnPowerUp() override {
        Record("OnPowerUp");
        // The engine resets the receiver from inside its power-up handling.
        if (receiver) receiver->Reset();
    }
    void OnLinkCheckAnswered() override { Record("LinkCheck"); }
    void ProcessResponse(const uint8_t* message, uint32_t length) override {
        ++delivered;
        lastMessage.assign(message, message + length);
        Record("Response " + std::string(message, message + std::min<uint32_t>(length, 40)));
    }
    void EmvAsyncReceiveHandler(const uint8_t* message, uint32_t length) override {
        ++delivered;
        lastMessage.assign(message, message + length);
        Record("Emv " + Hex(message, length));
    }

    // Returns and clears the calls recorded so far.
    std::vector<std::string> Take() {
        std::vector<std::string> out;
        out.swap(calls);
        return out;
    }

    CLogger logger;
    bool started = true;
    int width = 7;
    bool quickCancel = false;
    int32_t connection = 4;
    int32_t enquiries = 0;
    bool record = true;
    size_t delivered = 0;
    Bytes lastMessage;
    std::vector<std::string> calls;
    CLinkReceiver* receiver = nullptr;

  private:
    void Record(std::string call) {
        if (record) calls.push_back(std::move(call));
    }
};

using Calls = std::vector<std::string>;

class ReceiverTest : public ::testing::Test {
  protected:
    ReceiverTest() : rx(engine) { engine.receiver = &rx; }

    int Feed(const Bytes& bytes) {
        return rx.Receive(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }

    FakeEngine engine;
    CLinkReceiver rx;
};

Bytes TextFrame(const std::string& id, const std::string& payload) {
    return BuildFrame(kSTX, id, payload, kETX);
}

Bytes Corrupt(Bytes frame) {
    frame.back() ^= 0x01;
    return frame;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST_F(ReceiverTest, GoodFrameIsAckedThenDelivered) {
    engine.connection = 2;
    engine.enquiries = 2;
    EXPECT_EQ(Feed(TextFrame("5B.", "0")), 4);
    EXPECT_EQ(engine.Take(), (Calls{"Write 06", "Response 5B.0", "LinkCheck", "State 4"}));
    EXPECT_EQ(engine.lastMessage, (Bytes{0x35, 0x42, 0x2E, 0x30}));
    EXPECT_EQ(engine.enquiries, 0);
    EXPECT_FALSE(rx.FrameInProgress());
    // Already OK: the state is not set again.
    EXPECT_EQ(Feed(TextFrame("5b.", "1")), 4);
    EXPECT_EQ(engine.Take(), (Calls{"Write 06", "Response 5b.1", "LinkCheck"}));
}

TEST_F(ReceiverTest, BadFramesAreNakedUntilTheFifthWhichRestartsTheCount) {
    Bytes bad = Corrupt(TextFrame("5B.", "0"));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Feed(bad), -1);
        EXPECT_EQ(engine.Take(), Calls{"Write 15"}) << i;
    }
    EXPECT_EQ(Feed(bad), -1);
    EXPECT_TRUE(engine.Take().empty());
    EXPECT_EQ(rx.BadFrameCount(), 0);
    EXPECT_EQ(Feed(bad), -1);
    EXPECT_EQ(engine.Take(), Calls{"Write 15"});
    // A good frame leaves the count where it is.
    Feed(bad);
    Feed(TextFrame("5B.", "0"));
    EXPECT_EQ(rx.BadFrameCount(), 2);
}

TEST_F(ReceiverTest, AckAndNakInIdleReachTheEngine) {
    engine.connection = 1;
    EXPECT_EQ(Feed({kACK}), -1);
    EXPECT_EQ(engine.Take(), (Calls{"OnAck", "State 4"}));
    EXPECT_EQ(Feed({kNAK, 'x', kACK}), -1);
    EXPECT_EQ(engine.Take(), (Calls{"OnNak", "OnAck"}));
}

TEST_F(ReceiverTest, EnquiryIsAnsweredOnlyAtTheEndOfItsChunk) {
    Bytes frame = TextFrame("5B.", "0");
    EXPECT_EQ(Feed(Join({{kENQ}, frame})), 4);
    EXPECT_EQ(engine.Take(), (Calls{"Write 06", "Response 5B.0", "LinkCheck"}));
    EXPECT_EQ(engine.enquiries, 0);

    EXPECT_EQ(Feed({'x', kENQ}), -1);
    EXPECT_EQ(engine.Take(), (Calls{"Write 06", "State 2"}));
    EXPECT_EQ(engine.enquiries, 1);
    EXPECT_EQ(rx.GetState(), CLinkReceiver::kEnquiryAnswered);
    // While the enquiry is answered, frames are ignored until the terminal's ACK.
    EXPECT_EQ(Feed(frame), -1);
    EXPECT_TRUE(engine.Take().empty());
}

TEST_F(ReceiverTest, QuickCancelModeAnswersEnquiriesWithTheCancelFrame) {
    engine.quickCancel = true;
    Feed({kENQ});
    Feed({kENQ});
    EXPECT_EQ(engine.Take(), (Calls{"Cancel", "State 2", "Cancel"}));
    EXPECT_EQ(engine.enquiries, 0);
    EXPECT_EQ(rx.GetState(), CLinkReceiver::kEnquiryAnswered);
    // The terminal's ACK still completes the handshake.
    Feed({kACK});
    EXPECT_EQ(engine.Take(), (Calls{"PowerUpSeen", "OnPowerUp", "StrayCancel"}));
}

TEST_F(ReceiverTest, EnquiryThenAckIsAPowerUp) {
    Feed({kENQ});
    EXPECT_EQ(engine.Take(), (Calls{"Write 06", "State 2"}));
    Feed({kACK});
    EXPECT_EQ(engine.Take(), (Calls{"PowerUpSeen", "OnPowerUp", "StrayCancel"}));
    EXPECT_EQ(engine.enquiries, 0);
    EXPECT_EQ(rx.GetState(), CLinkReceiver::kIdle);
}

TEST_F(ReceiverTest, ThreeEnquiriesAreAPowerUpAndLaterOnesKeepCounting) {
    Feed({kENQ});
    Feed({kENQ});
    Feed({kENQ});
    EXPECT_EQ(engine.Take(),
              (Calls{"Write 06", "State 2", "Write 06", "Write 06", "PowerUpSeen", "OnPowerUp"}));
    EXPECT_EQ(engine.enquiries, 3);
    EXPECT_EQ(rx.GetState(), CLinkReceiver::kIdle);
    // The count was not reset: a terminal enquiring again powers up after two more.
    Feed({kENQ});
    Feed({kENQ});
    EXPECT_EQ(engine.Take(),
              (Calls{"Write 06", "State 2", "Write 06", "PowerUpSeen", "OnPowerUp"}));
    EXPECT_EQ(engine.enquiries, 5);
}

TEST_F(ReceiverTest, F1OnSevenBitLinkIsDecodedAndNotAcked) {
    Bytes frame = BuildEmvAckFrame(7, false);  // 02 "F1." 40 40 48 45 41 70 03 66
    engine.connection = 2;
    EXPECT_EQ(Feed(frame), 9);  // stored length before decoding
    EXPECT_EQ(engine.Take(), (Calls{"Emv 46 31 2E 00 02 05 07", "LinkCheck", "State 4"}));
}

TEST_F(ReceiverTest, F0OnEightBitLinkFollowsItsLengthField) {
    engine.width = 8;
    // The data holds ETX and STX bytes: only the length decides where it ends.
    const uint8_t payload[] = {0x00, 0x03, 0x03, 0x05, 0x02};
    Bytes frame = BuildFrame(kSTX, "F0.", payload, sizeof payload, kETX);
    EXPECT_EQ(Feed(frame), 9);
    EXPECT_EQ(engine.Take().front(), "Write 06");
    EXPECT_EQ(engine.lastMessage, (Bytes{'F', '0', '.', 0x00, 0x03, 0x03, 0x05, 0x02, kETX}));
    // Zero length: the end byte follows the length field at once.
    const uint8_t empty[] = {0x00, 0x00};
    EXPECT_EQ(Feed(BuildFrame(kSTX, "f0.", empty, 2, kETX)), 6);
    engine.Take();
    // A wrong end byte after the data is a bad frame.
    Bytes wrongEnd = frame;
    wrongEnd[wrongEnd.size() - 2] = 'x';
    EXPECT_EQ(Feed(wrongEnd), -1);
    EXPECT_EQ(engine.Take(), Calls{"Write 15"});
    EXPECT_FALSE(rx.FrameInProgress());
    // Text frames still work on the 8-bit link.
    EXPECT_EQ(Feed(TextFrame("5B.", "0")), 4);
    EXPECT_EQ(engine.Take(), (Calls{"Write 06", "Response 5B.0", "LinkCheck"}));
}

TEST_F(ReceiverTest, OversizedFrameIsDeliveredCut) {
    std::string payload(4997, 'A');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('A' + i % 26);
    Bytes frame = TextFrame("5B.", payload);
    EXPECT_EQ(Feed(frame), 4095);
    ASSERT_EQ(engine.lastMessage.size(), 4095u);
    EXPECT_EQ(engine.lastMessage, Bytes(frame.begin() + 1, frame.begin() + 1 + 4095));
    EXPECT_EQ(engine.Take()[0], "Write 06");
}

TEST_F(ReceiverTest, InputIsDroppedBeforeTheEngineStarted) {
    engine.started = false;
    Bytes frame = TextFrame("5B.", "0");
    EXPECT_EQ(Feed(Bytes(frame.begin(), frame.begin() + 3)), -1);
    EXPECT_EQ(Feed({kENQ}), -1);
    EXPECT_TRUE(engine.Take().empty());
    EXPECT_FALSE(rx.FrameInProgress());
    engine.started = true;
    EXPECT_EQ(Feed(Bytes(frame.begin() + 3, frame.end())), -1);  // the rest alone is no frame
    EXPECT_EQ(Feed(frame), 4);
}

TEST_F(ReceiverTest, SplitAndMultiFrameChunks) {
    Bytes a = TextFrame("5B.", "0");
    Bytes b = TextFrame("6T.", "0123");
    // Byte by byte: only the chunk with the LRC completes the frame.
    for (size_t i = 0; i < b.size(); ++i) {
        EXPECT_EQ(rx.Receive(&b[i], 1), i + 1 == b.size() ? 7 : -1);
        EXPECT_EQ(rx.FrameInProgress(), i + 1 < b.size());
    }
    engine.Take();
    // Two frames and a stray ACK in one chunk: the last good frame's length is returned.
    EXPECT_EQ(Feed(Join({b, {kACK}, a})), 4);
    EXPECT_EQ(engine.Take(), (Calls{"Write 06", "Response 6T.0123", "LinkCheck", "OnAck",
                                    "Write 06", "Response 5B.0", "LinkCheck"}));
    // A chunk ending in a bad frame still reports the good one before it.
    EXPECT_EQ(Feed(Join({a, Corrupt(b)})), 4);
}

TEST_F(ReceiverTest, ResetDropsAFrameInProgress) {
    Bytes frame = TextFrame("5B.", "0");
    Feed(Bytes(frame.begin(), frame.begin() + 3));
    EXPECT_TRUE(rx.FrameInProgress());
    EXPECT_EQ(rx.Receive(nullptr, CLinkReceiver::kResetCount), 0);
    EXPECT_FALSE(rx.FrameInProgress());
    EXPECT_EQ(Feed(Bytes(frame.begin() + 3, frame.end())), -1);
    EXPECT_TRUE(engine.Take().empty());
}

TEST_F(ReceiverTest, WatchdogDropsAStalledFrame) {
    Bytes frame = TextFrame("5B.", "0");
    Feed(Bytes(frame.begin(), frame.begin() + 3));
    rx.CheckFrameWatchdog();  // the 3000 ms limit is far away
    EXPECT_TRUE(rx.FrameInProgress());

    rx.SetFrameTimeLimit(50);
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            rx.CheckFrameWatchdog();
            return !rx.FrameInProgress();
        },
        10000));
    EXPECT_EQ(rx.GetState(), CLinkReceiver::kIdle);
    // Without the watchdog the next STX would have been taken as data of the stalled frame.
    EXPECT_EQ(Feed(frame), 4);
    EXPECT_EQ(engine.Take(), (Calls{"Write 06", "Response 5B.0", "LinkCheck"}));
}

// QueueThread polls the mark and the watchdog while the listener thread receives.
TEST_F(ReceiverTest, WatchdogPollingDoesNotDisturbReception) {
    Bytes frame = TextFrame("6T.", "0123456789");
    std::atomic<bool> done{false};
    std::thread poller([&] {
        while (!done.load()) {
            rx.FrameInProgress();
            rx.CheckFrameWatchdog();
        }
    });
    const int kFrames = 2000;
    for (int i = 0; i < kFrames; ++i) {
        size_t cut = 1 + i % (frame.size() - 1);
        rx.Receive(frame.data(), static_cast<uint32_t>(cut));
        rx.Receive(frame.data() + cut, static_cast<uint32_t>(frame.size() - cut));
    }
    done = true;
    poller.join();
    EXPECT_EQ(engine.delivered, static_cast<size_t>(kFrames));
}

TEST_F(ReceiverTest, TrafficIsDumpedAtLevelFine) {
    test::TempDir dir;
    ASSERT_EQ(engine.logger.OpenLogFile(dir.File("rx.log").c_str(), kLogFine), 1);
    std::string file = engine.logger.CurrentFile();
    Feed(BuildEmvAckFrame(7, false));
    Feed(TextFrame("5B.", "0"));
    engine.logger.Shutdown();
    std::string log = orn::test::ReadTextFile(file);
    const char* expected[] = {
        "(Fine)  RX Data (P1.6 encoded) (12):\n02 46 31 2E 40 40 48 45 41 70 03 66 ",
        "(Fine)  RX Data (decoded) (10):\n02 46 31 2E 00 02 05 07 03 66 ",
        "(Fine)  RX Data (7):\n02 35 42 2E 30 03 6A ",
        "(Fine)  TX Data (1):\n06 ",
    };
    size_t at = 0;
    for (const char* line : expected) {
        size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n--- log:\n" << log;
        at = found;
    }
}

}  // namespace
}  // namespace orn
