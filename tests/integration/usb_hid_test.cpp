// The library over USB HID against the simulator's socket device, automatic selection across
// serial and HID terminals, and unplugging either kind of USB terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "answers.h"
#include "answers_cards.h"
#include "platform/platform.h"
#include "sim_session.h"
#include "velquoraorn.h"

namespace {

using orn::sim::FakeDeviceTree;
using orn::sim::Options;
using orn::sim::TerminalSimulator;
using orn::test::HidTerminal;
using orn::test::SimSession;
using orn::test::WaitUntil;
using Clock = std::chrono::steady_clock;

constexpr const char* kKey16 = "0123456789ABCDEF";
constexpr const char* kAccount = "4000001234567899";

orn::test::Recorder<int> g_States;
void OnState(int state) {
    g_States.Add(state);
}

TEST(UsbHid, EveryCommandFamilyRunsOverTheEightBitLink) {
    SimSession session({}, HidTerminal{});
    ASSERT_EQ(session.Open(), 0);
    EXPECT_STREQ(ornGetComPort(), "USBHID");

    EXPECT_EQ(ornBeep(1), 0);
    int v[6] = {};
    EXPECT_EQ(ornGetDateTime(&v[0], &v[1], &v[2], &v[3], &v[4], &v[5]), 0);
    EXPECT_EQ(ornWriteBlock("ABCDEFGH"), 0);
    EXPECT_EQ(ornDisplay("Hello", "over", "USB", "HID"), 0);
    int length = 0;
    char text[33] = {};
    EXPECT_EQ(ornDisplayAndWaitForInputWait(2, 1, 10, "Code", 255, &length, text), 0);
    char list[64] = "";
    ornAddListItem(list, "Tea", 64);
    int selection = -1, data = -1;
    EXPECT_EQ(ornScrollListWait(0, 1, 1, 0, 0, 0, 1, "Drinks", "", "", "", list, &selection, &data),
              0);
    EXPECT_EQ(ornLoadMasterSessionKey(10, 2, kKey16, nullptr, nullptr, 1), 0);
    char mac[17] = {};
    EXPECT_EQ(ornMacCalculationAsciiVarMode(0, 1, kKey16, nullptr, "x", mac), 0);
    char pin[17] = {}, ksn[21] = {};
    EXPECT_EQ(ornDukptPinWait(0, 0, 0, kAccount, nullptr, pin, ksn), 0);
    EXPECT_EQ(std::strlen(pin), 16u);

    // The binary reader channel travels unencoded, length bytes and all.
    const orn::sim::SwipeCard card = orn::sim::DefaultSwipeCard();
    int s1 = -1, l1 = -1, s2 = -1, l2 = -1;
    char d1[255] = {}, d2[255] = {};
    EXPECT_EQ(ornSwipeMagStripeCardWait(3, 600000, &s1, &l1, d1, &s2, &l2, d2), 0);
    EXPECT_EQ(std::string(d2, static_cast<size_t>(l2 > 0 ? l2 : 0)), card.track2);
    orn::sim::InsertCard(session.sim());
    unsigned char type = 0, atr[ORN_SMART_CARD_DATA_SIZE] = {};
    int atrLength = -1;
    EXPECT_EQ(ornSmartCardPowerUp(&type, atr, &atrLength), 0);
    EXPECT_GT(atrLength, 0);

    ASSERT_EQ(ornEmvOpenSession("VSDC0001", [](int, const unsigned char*, int) {}), 0);
    char version[6] = "xxxxx";
    EXPECT_EQ(ornEmvGetAppVersion("VSDC0001", version), 0);
    EXPECT_STREQ(version, "01.02");
    EXPECT_EQ(ornEmvCloseSession("VSDC0001"), 0);

    // Nothing on this link was P1.6-encoded: the swipe request carried its raw length bytes.
    const auto frames = session.sim().Snapshot().frames;
    bool rawReaderRequest = false;
    for (const auto& frame : frames)
        if (frame.id == "F0." && frame.raw.size() > 5 && frame.raw[4] == 0x00)
            rawReaderRequest = true;
    EXPECT_TRUE(rawReaderRequest);
}

TEST(UsbHid, DetailDumpsOfReceivedChunksAreMasked) {
    SimSession session({}, HidTerminal{});
    ASSERT_EQ(session.Open(ORN_LOGGER_ON), 0);
    EXPECT_EQ(ornBeep(1), 0);
    const std::string log = session.CloseAndReadLog();
    EXPECT_NE(log.find("USB HID Recv("), std::string::npos);
    // "5B.0" never shows in a raw chunk dump: only control bytes are shown there.
    EXPECT_EQ(log.find("Recv(8): 02 35 42 2E"), std::string::npos);
    EXPECT_NE(log.find("02 ** ** ** ** 03 **"), std::string::npos) << log;
}

TEST(UsbHid, AutoOpensTheOnlyHidTerminalUnderTheMakersName) {
    SimSession session({}, HidTerminal{0x1F0A});
    ASSERT_EQ(session.OpenAs("AUTO"), 0);
    EXPECT_STREQ(ornGetComPort(), "Velquora 1F0A");
    EXPECT_EQ(ornBeep(2), 0);
    // Reopened by its product id, not as a serial port of that name (the terminal itself did
    // not restart: no power-up this time).
    session.sim().SetPowerUp(orn::sim::PowerUp::None);
    EXPECT_EQ(ornReOpenPort(), 0);
    EXPECT_STREQ(ornGetComPort(), "Velquora 1F0A");
    EXPECT_EQ(ornBeep(2), 0);
}

TEST(UsbHid, UnpluggedHidTerminalEndsTheLinkAtOnceAndCanBeOpenedAgain) {
    ornSetConnectionStateCallback(OnState);
    SimSession session({}, HidTerminal{});
    // No idle link check: the read side alone notices.
    ASSERT_EQ(session.Open(ORN_LOGGER_ON | ORN_LINK_MONITOR_OFF), 0);
    session.sim().SetHandler("5B.", [](const orn::sim::Request&) { return std::nullopt; });
    auto pending = std::async(std::launch::async, [] { return ornBeep(3); });
    ASSERT_TRUE(session.sim().WaitForFrames(1, 5000));
    const auto start = Clock::now();
    session.sim().Unplug();
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(pending.get(), ORN_ERR_DEVICE_USB_DISCONNECTED);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(g_States.WaitForInOrder({-1}));
    EXPECT_EQ(ornPing(), ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_EQ(ornBeep(1), ORN_ERR_COMM_PORT_NOT_OPEN);

    // Plugged in again: the same node answers and a new ornInit opens it.
    Options options;
    options.answers = orn::sim::InstallDefaultAnswers;
    options.hidPath = session.tree()->dev() + "/hidraw0";
    TerminalSimulator again(options);
    ASSERT_TRUE(again.ok()) << again.error();
    EXPECT_EQ(ornInit("USBHID", nullptr, ORN_LOGGER_OFF), 0);
    EXPECT_EQ(ornBeep(1), 0);
    ornClose();
    ornSetConnectionStateCallback(nullptr);
}

// One report from the test's terminal: identifier 2, count, the bytes.
void SendReport(int fd, const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> report(32, 0);
    report[0] = 2;
    report[1] = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), report.begin() + 2);
    ASSERT_EQ(::send(fd, report.data(), report.size(), MSG_NOSIGNAL), 32);
}

TEST(UsbHid, AStalledDeviceNeverBlocksTheLinkTestsAndEndsTheLinkAtTheWriteLimit) {
    SimSession session({}, HidTerminal{});  // only for its tree: its simulator steps aside
    const std::string node = session.tree()->dev() + "/hidraw0";
    session.sim().Unplug();
    session.tree()->AddHidDevice(0, 0x0E7D, 0x00A2, orn::sim::LinkReportDescriptor(32, 32));
    int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, node.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);

    // The terminal's power-up: ENQ, then ACK once the host answered; after that it never
    // reads again, like an adapter whose buffers are full.
    std::atomic<bool> opened{false};
    std::thread terminal([&] {
        int fd = ::accept(listener, nullptr, nullptr);
        ASSERT_GE(fd, 0);
        SendReport(fd, {0x05});
        uint8_t answer[64];
        EXPECT_GT(::recv(fd, answer, sizeof answer, 0), 0);  // the host's answer
        SendReport(fd, {0x06});
        WaitUntil([&] { return opened.load(); }, 20000);
        // Unsolicited frames: the host acknowledges each one until its writes stall.
        const std::vector<uint8_t> frame = {
            0x02, '5', 'B', '.', '0', 0x03, static_cast<uint8_t>('5' ^ 'B' ^ '.' ^ '0' ^ 0x03)};
        std::vector<uint8_t> report(32, 0);
        report[0] = 2;
        report[1] = static_cast<uint8_t>(frame.size());
        std::copy(frame.begin(), frame.end(), report.begin() + 2);
        const auto until = Clock::now() + std::chrono::seconds(20);
        while (ornPing() != ORN_ERR_COMM_PORT_NOT_OPEN && Clock::now() < until) {
            if (::send(fd, report.data(), report.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
                orn::platform::SleepMs(1);  // the host is busy: its reads catch up
        }
        ::close(fd);
    });
    const std::string log = session.LogFile().substr(0, session.LogFile().size() - 2);
    EXPECT_EQ(ornInit("USBHID", log.c_str(), ORN_LOGGER_INFO), 0);
    opened = true;  // (on failure the loops below end at once: nothing is open)
    // While the acknowledgements wait for the device, the link tests answer at once.
    const auto start = Clock::now();
    int slowest = 0;
    while (ornPing() != ORN_ERR_COMM_PORT_NOT_OPEN &&
           Clock::now() - start < std::chrono::seconds(15)) {
        const auto before = Clock::now();
        ornPing();
        ornCheckConnectionStatus();
        slowest = std::max<int>(
            slowest, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          Clock::now() - before)
                                          .count()));
        orn::platform::SleepMs(20);
    }
    EXPECT_EQ(ornPing(), ORN_ERR_COMM_PORT_NOT_OPEN);  // lost at the write limit
    // Far below the 5 s write limit the stalled writes wait for; generous for a loaded machine.
    EXPECT_LT(slowest, 2000);
    terminal.join();
    ::close(listener);
    EXPECT_NE(session.CloseAndReadLog().find("Write Timed Out, Link Lost"), std::string::npos);
}

// A tree with the maker's USB serial port (COM33), a HID terminal and a plain serial port
// (COM1), each played by its own simulator.
class AutoSelection : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tree_.AddSerialPort("ttyUSB0", "0e7d", "00a2", "Velquora Terminal"));
        ASSERT_TRUE(tree_.AddSerialPort("ttyS0"));
        Options usbSerial;
        usbSerial.answers = orn::sim::InstallDefaultAnswers;
        usbSerial.linkDir = tree_.dev();
        usbSerial.portName = "ttyUSB0";
        Options hid;
        hid.answers = orn::sim::InstallDefaultAnswers;
        hid.hidPath = tree_.AddHidDevice(0, 0x0E7D, 0x00A2, orn::sim::LinkReportDescriptor(32, 32));
        Options plain = usbSerial;
        plain.portName = "ttyS0";
        for (const Options& options : {usbSerial, hid, plain}) {
            sims_.push_back(std::make_unique<TerminalSimulator>(options));
            ASSERT_TRUE(sims_.back()->ok()) << sims_.back()->error();
        }
    }
    void TearDown() override { ornClose(); }

    orn::test::FakeDevices devices_;
    FakeDeviceTree& tree_ = devices_.tree;
    std::vector<std::unique_ptr<TerminalSimulator>> sims_;  // COM33, HID, COM1
};

// The parameter is the number of candidates, in AUTO's order, whose terminal stays silent.
TEST_P(AutoSelection, TriesTheMakersUsbPortsThenHidThenTheRestAndKeepsTheFirstThatAnswers) {
    const int silent = GetParam();
    for (int i = 0; i < silent; ++i) sims_[i]->SetSilent(true);
    const char* const winners[] = {"COM33", "Velquora 00A2", "COM1"};
    const int result = ornInit("AUTO", nullptr, ORN_LOGGER_OFF);
    if (silent == 3) {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(ornPing(), ORN_ERR_COMM_PORT_NOT_OPEN);
    } else {
        ASSERT_EQ(result, 0);
        EXPECT_STREQ(ornGetComPort(), winners[silent]);
        EXPECT_TRUE(WaitUntil([] { return ornPing() == 0; }, 5000));
        EXPECT_EQ(ornBeep(4), 0);
    }
    // Every silent candidate was tried (and closed again); none after the winner was.
    for (int i = 0; i < 3; ++i) {
        const auto record = sims_[i]->Snapshot();
        EXPECT_EQ(record.hostOpens, i <= silent ? 1 : 0) << i;
        if (i < silent) {
            EXPECT_TRUE(sims_[i]->WaitFor([](const auto& r) { return r.hostCloses == 1; }, 5000))
                << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SilentCandidates, AutoSelection, ::testing::Values(1, 3));

TEST(UsbSerialUnplug, TheMakersSerialPortGoneFromSysfsEndsTheLinkAtTheNextWrite) {
    ornSetConnectionStateCallback(OnState);
    orn::test::FakeDevices devices;
    FakeDeviceTree& tree = devices.tree;
    ASSERT_TRUE(tree.AddSerialPort("ttyUSB0", "0e7d", "00a2"));
    Options options;
    options.answers = orn::sim::InstallDefaultAnswers;
    options.linkDir = tree.dev();
    options.portName = "ttyUSB0";
    auto sim = std::make_unique<TerminalSimulator>(options);
    ASSERT_EQ(ornInit("COM33", nullptr, ORN_LOGGER_OFF), 0);
    ASSERT_TRUE(WaitUntil([] { return ornPing() == 0; }, 5000));
    sim->SetHandler("5B.", [](const orn::sim::Request&) { return std::nullopt; });
    auto pending = std::async(std::launch::async, [] { return ornBeep(3); });
    ASSERT_TRUE(sim->WaitFor(
        [](const auto& r) { return !r.frames.empty() && r.frames.back().id == "5B."; }, 5000));

    // Unplugged: the next write (the idle link check, 2 s on) fails and the port is no longer
    // listed, so the link is lost.
    ASSERT_TRUE(tree.RemoveSerialPort("ttyUSB0"));
    sim->Unplug();
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(6)), std::future_status::ready);
    EXPECT_EQ(pending.get(), ORN_ERR_DEVICE_USB_DISCONNECTED);
    EXPECT_TRUE(g_States.WaitForInOrder({-1}));
    EXPECT_EQ(ornPing(), ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_EQ(ornBeep(1), ORN_ERR_COMM_PORT_NOT_OPEN);

    sim.reset();
    ASSERT_TRUE(tree.AddSerialPort("ttyUSB0", "0e7d", "00a2"));
    TerminalSimulator again(options);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(ornInit("COM33", nullptr, ORN_LOGGER_OFF), 0);
    EXPECT_EQ(ornBeep(1), 0);
    ornClose();
    ornSetConnectionStateCallback(nullptr);
}

}  // namespace
