// The terminal simulator seen from the host's side of its pty: the test opens the slave and
// plays the host byte by byte. Expected frames are written out in hex here rather than built
// with the simulator's codec, so that a codec fault cannot hide behind itself.
#include "sim.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "answers.h"
#include "answers_cards.h"
#include "answers_display.h"
#include "commands.h"
#include "link/catalogue.h"
#include "terminal.h"
#include "test_support.h"
#include "wire.h"

namespace {

using orn::sim::BuildFrame;
using orn::sim::BuildRawFrame;
using orn::sim::Options;
using orn::sim::PowerUp;
using orn::sim::Record;
using orn::sim::TerminalSimulator;
using Bytes = std::vector<uint8_t>;

constexpr int kWait = 5000;
const Bytes kAck = {0x06};
const Bytes kNak = {0x15};
const Bytes kEnq = {0x05};
const Bytes kBeep7 = {0x02, '5', 'B', '.', '7', 0x03, 0x6D};         // "5B.7"
const Bytes kBeepAnswer = {0x02, '5', 'B', '.', '0', 0x03, 0x6A};    // "5B.0"
const Bytes kCancel = {0x02, '5', '0', '.', 0x03, 0x28};             // "50."
const Bytes kCancelAnswer = {0x02, '5', '0', '.', '0', 0x03, 0x18};  // "50.0"

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Options NoPowerUp() {
    Options options;
    options.answers = orn::sim::InstallDefaultAnswers;
    options.powerUp = PowerUp::None;
    return options;
}

// The host's end: the slave opened raw.
class Host : public orn::test::StreamEnd {
  public:
    explicit Host(const TerminalSimulator& sim)
        : orn::test::StreamEnd(orn::sim::OpenRawTty(sim.slavePath())) {}
};

// Answered frames are seen in every test of the library against the simulator; these are the
// frames it must acknowledge and leave unanswered.
TEST(SimLink, AcknowledgesWithoutAnAnswerWhatHasNone) {
    TerminalSimulator sim(NoPowerUp());
    ASSERT_TRUE(sim.ok()) << sim.error();
    Host host(sim);
    ASSERT_TRUE(host.ok());

    // The quick cancel and unknown messages get an ACK and no answer: the link test's ACK
    // comes straight after theirs.
    ASSERT_TRUE(host.Write(Cat(Cat(BuildRawFrame("72"), BuildFrame("9Z.", "x")), kEnq)));
    EXPECT_EQ(host.Read(3), (Bytes{0x06, 0x06, 0x06}));
    // The host's acknowledgement of EMV data is not acknowledged: the link test's ACK is next.
    ASSERT_TRUE(host.Write(Cat(BuildFrame("F1.", std::string("\x00\x02\x05\x07", 4)), kEnq)));
    EXPECT_EQ(host.Read(1), kAck);

    Record rec = sim.Snapshot();
    ASSERT_EQ(rec.frames.size(), 3u);
    EXPECT_EQ(rec.frames[0].id, "72");
    EXPECT_EQ(rec.frames[2].reply, orn::sim::Reply::None);
    EXPECT_EQ(rec.linkTests, 2);
    EXPECT_EQ(rec.badFrames, 0);
}

TEST(SimLink, ReassemblesChunksAndRejectsBadLrc) {
    TerminalSimulator sim(NoPowerUp());
    ASSERT_TRUE(sim.ok()) << sim.error();
    Host host(sim);
    ASSERT_TRUE(host.ok());

    Bytes bad = kBeep7;
    bad.back() ^= 0x01;
    ASSERT_TRUE(host.Write(bad));
    EXPECT_EQ(host.Read(1), kNak);

    // One byte per read on the simulator's side: wait until it has each before the next.
    for (size_t i = 0; i < kBeep7.size(); ++i) {
        ASSERT_TRUE(host.Write(Bytes{kBeep7[i]}));
        size_t want = bad.size() + i + 1;
        ASSERT_TRUE(sim.WaitForRaw([&](const Bytes& rx) { return rx.size() >= want; }, kWait));
    }
    EXPECT_EQ(host.Read(8), Cat(kAck, kBeepAnswer));

    // A multi-block message reaches its handler once, joined; each block is acknowledged.
    sim.SetHandler("43.", [](const orn::sim::Request& r) { return "0" + r.payload; });
    ASSERT_TRUE(
        host.Write(Cat(BuildRawFrame("43.AB", 0x02, 0x17), BuildRawFrame("CD", 0x01, 0x17))));
    ASSERT_TRUE(host.Write(BuildRawFrame("EF", 0x01, 0x03)));
    EXPECT_EQ(host.Read(3 + 13), Cat(Bytes{0x06, 0x06, 0x06}, BuildRawFrame("43.0ABCDEF")));

    Record rec = sim.Snapshot();
    EXPECT_EQ(rec.badFrames, 1);
    ASSERT_EQ(rec.frames.size(), 4u);
    EXPECT_EQ(rec.frames[2].start, 0x01);
    EXPECT_EQ(rec.frames[2].id, "");
    EXPECT_EQ(rec.rx.size(), 2 * kBeep7.size() + 8 + 5 + 5);
}

class SimPowerUp : public ::testing::TestWithParam<bool> {
  protected:
    Options WithWatch(PowerUp mode) {
        Options options;
        options.answers = orn::sim::InstallDefaultAnswers;
        options.powerUp = mode;
        options.watchOpens = GetParam();
        return options;
    }
};

TEST_P(SimPowerUp, EnqAckOnEveryOpen) {
    TerminalSimulator sim(WithWatch(PowerUp::EnqAck));
    ASSERT_TRUE(sim.ok()) << sim.error();
    for (int round = 1; round <= 3; ++round) {
        Host host(sim);
        ASSERT_TRUE(host.ok());
        EXPECT_EQ(host.Read(1), kEnq) << round;
        ASSERT_TRUE(host.Write(kAck));
        EXPECT_EQ(host.Read(1), kAck) << round;
        EXPECT_TRUE(sim.WaitForHandshakes(round, kWait)) << round;
        host.Close();
        if (!GetParam()) {
            // Polling hang-ups cannot see a close followed at once by an open.
            ASSERT_TRUE(sim.WaitFor([&](const Record& r) { return r.hostCloses == round; }, kWait));
        }
    }
    Record rec = sim.Snapshot();
    EXPECT_EQ(rec.hostOpens, 3);
    EXPECT_EQ(rec.enqsSent, 3);
}

TEST_P(SimPowerUp, QuickCancelAnswerCompletesTheHandshake) {
    TerminalSimulator sim(WithWatch(PowerUp::EnqAck));
    ASSERT_TRUE(sim.ok()) << sim.error();
    Host host(sim);
    ASSERT_TRUE(host.ok());
    EXPECT_EQ(host.Read(1), kEnq);
    ASSERT_TRUE(host.Write(kCancel));
    EXPECT_EQ(host.Read(8), Cat(kAck, kCancelAnswer));
    EXPECT_TRUE(sim.WaitForHandshakes(1, kWait));
}

TEST_P(SimPowerUp, ThreeEnquiries) {
    TerminalSimulator sim(WithWatch(PowerUp::ThreeEnq));
    ASSERT_TRUE(sim.ok()) << sim.error();
    Host host(sim);
    ASSERT_TRUE(host.ok());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(host.Read(1), kEnq) << i;
        ASSERT_TRUE(host.Write(kAck));
    }
    EXPECT_TRUE(sim.WaitForHandshakes(1, kWait));
    // No closing ACK of its own: the next byte is the ACK of the next frame.
    ASSERT_TRUE(host.Write(kBeep7));
    EXPECT_EQ(host.Read(8), Cat(kAck, kBeepAnswer));
    EXPECT_EQ(sim.Snapshot().enqsSent, 3);
}

INSTANTIATE_TEST_SUITE_P(Detection, SimPowerUp, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return p.param ? "FileEvents" : "HangupPolling";
                         });

TEST(SimPowerUpDetails, SeesWhatTheHostWroteJustBeforeClosingAndLinksThePort) {
    orn::test::TempDir dir;
    Options options;
    options.answers = orn::sim::InstallDefaultAnswers;
    options.linkDir = dir.path();
    options.portName = "COM9";
    std::string link;
    {
        TerminalSimulator sim(options);
        ASSERT_TRUE(sim.ok()) << sim.error();
        link = sim.linkPath();
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.slavePath());
        // Silent, so that nothing is left in the line for the next opener.
        sim.SetSilent(true);
        {
            Host host(sim);
            ASSERT_TRUE(host.ok());
            ASSERT_TRUE(host.Write(kBeep7));
        }
        EXPECT_TRUE(sim.WaitFor([](const Record& r) { return r.hostCloses == 1; }, kWait));
        EXPECT_TRUE(sim.WaitForFrames(1, kWait));
        sim.SetSilent(false);

        // Opened by its COM name, the port greets with ENQ.
        orn::test::StreamEnd viaLink(orn::sim::OpenRawTty(link));
        ASSERT_TRUE(viaLink.ok());
        EXPECT_EQ(viaLink.Read(1), kEnq);
    }
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST(SimPowerUpDetails, AnswersANewOpenerWhoseBytesArrivedBeforeTheCloseWasSeen) {
    TerminalSimulator sim(NoPowerUp());
    ASSERT_TRUE(sim.ok()) << sim.error();
    // The simulator is held inside a handler while one host closes, the next opens and writes:
    // it then sees the close, the open and the new bytes all at once.
    std::atomic<bool> entered{false}, released{false};
    sim.SetHandler("5B.", [&](const orn::sim::Request&) -> std::optional<std::string> {
        entered = true;
        orn::test::WaitUntil([&] { return released.load(); }, kWait);
        return std::string("0");
    });
    {
        Host first(sim);
        ASSERT_TRUE(first.ok());
        ASSERT_TRUE(first.Write(kBeep7));
        ASSERT_TRUE(orn::test::WaitUntil([&] { return entered.load(); }, kWait));
    }
    Host second(sim);
    ASSERT_TRUE(second.ok());
    ASSERT_TRUE(second.Write(kCancel));
    released = true;
    // The first host's late ACK and answer may come first; the cancel must be answered.
    const Bytes wanted = Cat(kAck, kCancelAnswer);
    Bytes got;
    EXPECT_TRUE(orn::test::WaitUntil(
        [&] {
            Bytes more = second.Read(1, 100);
            got.insert(got.end(), more.begin(), more.end());
            return got.size() >= wanted.size() &&
                   std::equal(wanted.rbegin(), wanted.rend(), got.rbegin());
        },
        kWait))
        << got.size() << " bytes";
}

// The slow cardholder: keypad answers come the keypad delay after the ACK, without holding up
// the I/O thread, and a cancel in between aborts the input.
TEST(SimKeypad, DelayedAnswerAndCancelAbortingIt) {
    // Long enough that the cancel reaches the simulator first even on a loaded machine.
    constexpr int kDelayMs = 1000;
    orn::sim::ResetKeypad();
    orn::sim::SetKeypadDelay(kDelayMs);
    TerminalSimulator sim(NoPowerUp());
    ASSERT_TRUE(sim.ok()) << sim.error();
    Host host(sim);
    ASSERT_TRUE(host.ok());
    const Bytes amount = BuildRawFrame("57.1000000000100");

    orn::sim::SetNextKey('7');
    auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(host.Write(amount));
    EXPECT_EQ(host.Read(1), kAck);
    // Other messages are answered while the keypad answer waits: the I/O thread is not held.
    ASSERT_TRUE(host.Write(kBeep7));
    EXPECT_EQ(host.Read(8), Cat(kAck, kBeepAnswer));
    EXPECT_EQ(host.Read(8), BuildRawFrame("57.07"));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(kDelayMs));
    ASSERT_TRUE(host.Write(kAck));

    // Cancelled: key '8' is never answered. The next prompt's answer, due later than the
    // cancelled one would have been, is the next frame to arrive.
    orn::sim::SetNextKey('8');
    orn::sim::SetNextKey('9');
    ASSERT_TRUE(host.Write(amount));
    EXPECT_EQ(host.Read(1), kAck);
    ASSERT_TRUE(host.Write(kCancel));
    EXPECT_EQ(host.Read(8), Cat(kAck, kCancelAnswer));
    ASSERT_TRUE(host.Write(Cat(kAck, amount)));
    EXPECT_EQ(host.Read(1), kAck);
    EXPECT_EQ(host.Read(8), BuildRawFrame("57.09"));

    // The quick cancel "72" aborts it too, and is only ACKed.
    orn::sim::SetNextKey('5');
    orn::sim::SetNextKey('6');
    ASSERT_TRUE(host.Write(Cat(kAck, amount)));
    EXPECT_EQ(host.Read(1), kAck);
    ASSERT_TRUE(host.Write(BuildRawFrame("72")));
    EXPECT_EQ(host.Read(1), kAck);
    ASSERT_TRUE(host.Write(amount));
    EXPECT_EQ(host.Read(1), kAck);
    EXPECT_EQ(host.Read(8), BuildRawFrame("57.06"));

    // Without a delay the answer comes with the ACK.
    orn::sim::ResetKeypad();
    ASSERT_TRUE(host.Write(Cat(kAck, amount)));
    EXPECT_EQ(host.Read(9), Cat(kAck, BuildRawFrame("57.01")));
}

// The model the functions without a simulator act on stays usable while held, though its
// simulator stops meanwhile; its changes then reach nothing of the simulator gone.
TEST(SimKeypad, TheCurrentTerminalOutlivesItsSimulator) {
    auto sim = std::make_unique<TerminalSimulator>(NoPowerUp());
    ASSERT_TRUE(sim->ok()) << sim->error();
    sim->AddObserver([] {});
    const auto terminal = orn::sim::CurrentTerminal();
    ASSERT_EQ(terminal.get(), &sim->Terminal());
    sim.reset();
    orn::sim::SetAutoSwipe(*terminal, false);  // a change, seen by no observer
    orn::sim::SetNextKey(*terminal, '7');
    EXPECT_EQ(terminal->TakeKey(), '7');
}

// Input queued on one simulator's terminal reaches that terminal only, the older of two too.
TEST(SimKeypad, EachSimulatorTakesOnlyItsOwnQueuedKey) {
    TerminalSimulator first(NoPowerUp());
    TerminalSimulator second(NoPowerUp());
    ASSERT_TRUE(first.ok() && second.ok());
    orn::sim::SetNextKey(first.Terminal(), '7');
    const Bytes amount = BuildRawFrame("57.1000000000100");
    for (auto [sim, answer] : {std::pair{&second, "57.01"}, std::pair{&first, "57.07"}}) {
        Host host(*sim);
        ASSERT_TRUE(host.ok());
        ASSERT_TRUE(host.Write(amount));
        EXPECT_EQ(host.Read(9), Cat(kAck, BuildRawFrame(answer)));
    }
}

// --verbose shows an answer as it goes on the wire, after a `status N` changed it.
TEST(SimTrace, ShowsTheAnswerAsSent) {
    std::mutex mu;
    std::vector<std::string> lines;
    Options options = NoPowerUp();
    options.trace = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mu);
        lines.push_back(line);
    };
    TerminalSimulator sim(options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    Host host(sim);
    orn::sim::CommandRunner runner(sim, true);
    ASSERT_EQ(runner.Run("status 5 5B"), "ok");
    ASSERT_TRUE(host.Write(kBeep7));
    EXPECT_EQ(host.Read(8), Cat(kAck, BuildRawFrame("5B.5")));
    const std::string sent = "5B.5";
    const std::string expected =
        "answer " + orn::catalogue::Describe(orn::LinkDirection::FromTerminal,
                                             reinterpret_cast<const uint8_t*>(sent.data()),
                                             sent.size());
    EXPECT_TRUE(orn::test::WaitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(mu);
            return std::find(lines.begin(), lines.end(), expected) != lines.end();
        },
        kWait))
        << expected;
}

// The display as the terminal renders it after each display or clear message: lines cut at 16
// columns, an escape pair one accented character, a short text padded, cleared lines blank; and
// each change is told to the observers.
TEST(SimScreen, RendersTheDisplayMessages) {
    TerminalSimulator sim(NoPowerUp());
    ASSERT_TRUE(sim.ok()) << sim.error();
    Host host(sim);
    const std::string blank(16, ' ');
    const std::string abc = "ABCDEFGHIJKLMNOP", xyz = "QRSTUVWXYZ012345";
    const std::string resume = "R\xC3\xA9sum\xC3\xA9          ";  // Résumé in UTF-8
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"58.0022" + abc + xyz, {blank, abc, xyz, blank}},
        {"58.0014R\x1B"
         "2sum\x1B"
         "2          ",
         {blank, abc, xyz, resume}},
        {"58.0011Hi", {"Hi" + std::string(14, ' '), abc, xyz, resume}},
        {"59.2", {"Hi" + std::string(14, ' '), blank, xyz, resume}},
        {"59.0", {blank, blank, blank, blank}},
    };
    std::atomic<int> changes{0};
    sim.AddObserver([&] { ++changes; });
    for (const auto& [message, lines] : cases) {
        const int before = changes.load();
        ASSERT_TRUE(host.Write(BuildRawFrame(message)));
        EXPECT_EQ(host.Read(8), Cat(kAck, BuildRawFrame(message.substr(0, 3) + "0"))) << message;
        ASSERT_TRUE(host.Write(kAck));
        std::vector<std::string> shown;
        for (const auto& line : sim.Screen().lines) shown.push_back(line.text);
        EXPECT_EQ(shown, lines) << message;
        EXPECT_GT(changes.load(), before) << message;  // whoever watches the screen is told
    }
}

// `wait-for` by reader channel and function waits for that step of a card exchange only.
TEST(SimScreen, WaitForTakesAReaderChannelAndFunction) {
    TerminalSimulator sim(NoPowerUp());
    ASSERT_TRUE(sim.ok()) << sim.error();
    Host host(sim);
    // Channel 7 (the smart card), function 05 (power up).
    ASSERT_TRUE(host.Write(BuildFrame("F0.", std::string("\x00\x04\x07\x00\x00\x05", 6))));
    ASSERT_TRUE(sim.WaitForFramesSeen("F0.", 1, kWait));
    orn::sim::CommandRunner runner(sim, true);
    const std::pair<const char*, const char*> cases[] = {
        {"wait-for F0 7 0D 100", "error no F0. 7 0D frame within 100 ms"},
        {"wait-for F0 4 05 100", "error no F0. 4 05 frame within 100 ms"},
        {"wait-for F0 7 05 100", "ok"},
        {"wait-for F0 7 XY", "error the function is a hexadecimal byte"},
    };
    for (const auto& [line, reply] : cases) EXPECT_EQ(runner.Run(line), reply) << line;
}

// The PIN pad's cryptography against published tables: the DUKPT sequence of ANSI X9.24-1
// (test base key, PIN 1234, account 4012345678909), the DES CBC-MAC of FIPS 113 / X9.9 and the
// retail MAC of X9.19 / ISO 9797-1 (MAC algorithm 3, padding method 1).
TEST(SimCrypto, MatchesThePublishedVectors) {
    const std::string bdk = "0123456789ABCDEFFEDCBA9876543210";
    const std::pair<const char*, const char*> dukpt[] = {
        {"FFFF9876543210E00001", "1B9C1845EB993A7A"}, {"FFFF9876543210E00002", "10A01C8D02C69107"},
        {"FFFF9876543210E00003", "18DC07B94797B466"}, {"FFFF9876543210E00004", "0BC79509D5645DF7"},
        {"FFFF9876543210E00005", "5BC0AF22AD87B327"}, {"FFFF9876543210E00006", "A16DF70AE36158D8"},
        {"FFFF9876543210E00007", "27711C16CB257F8E"}, {"FFFF9876543210E00008", "50E55547A5027551"},
        {"FFFF9876543210E00009", "536CF7F678ACFC8D"}, {"FFFF9876543210E0000A", "EDABBA23221833FE"},
    };
    for (const auto& [ksn, block] : dukpt)
        EXPECT_EQ(orn::sim::DukptPinBlock(bdk, ksn, "1234", "4012345678909"), block) << ksn;

    EXPECT_EQ(orn::sim::MacOf("0123456789ABCDEF", "7654321 Now is the time for "), "F1D30F68");
    EXPECT_EQ(orn::sim::MacOf(bdk, "Now is the time for all "), "A1C72E74");
    EXPECT_EQ(orn::sim::MacOf(bdk, "Now is the time for it"), "2E2B1428");
}

// A host that stopped reading its HID connection holds a write for one deadline, not one per
// report, and a host that reads gets the whole write all the same.
TEST(SimHidWire, AStalledHostHoldsAWriteForOneDeadline) {
    struct Link : orn::sim::Wire::Link {
        void OnHostOpen() override { open = true; }
        void OnHostClose() override {}
        void OnBytes(const uint8_t*, size_t) override {}
        bool HostOpen() override { return open; }
        int TimeoutMs() override { return 100; }
        bool open = false;
    } link;
    orn::test::TempDir dir;
    auto wire = orn::sim::MakeHidWire(dir.File("hidraw0"), 32);
    std::string error;
    ASSERT_TRUE(wire->Open(error)) << error;
    orn::sim::WakePipe wake;
    ASSERT_TRUE(wake.Open(error)) << error;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", wire->Path().c_str());
    int hosts[2];  // the first never reads, the second reads everything
    for (int& host : hosts) {
        host = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::connect(host, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        for (int i = 0; i < 3; ++i) wire->Wait(wake.ReadFd(), link);  // accepts it
    }
    ASSERT_TRUE(link.open);
    // Far more reports than a connection buffers.
    constexpr int kReports = 4000;
    const std::vector<uint8_t> bytes(30 * kReports, 'x');
    auto reader = std::async(std::launch::async, [&] {
        int reports = 0;
        uint8_t report[32];
        pollfd p{hosts[1], POLLIN, 0};
        while (reports<kReports&& ::poll(&p, 1, 10000)> 0 &&
               ::recv(hosts[1], report, sizeof report, 0) == 32)
            ++reports;
        return reports;
    });
    auto write =
        std::async(std::launch::async, [&] { return wire->Write(bytes.data(), bytes.size()); });
    EXPECT_EQ(write.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(reader.get(), kReports);
    for (int host : hosts) ::close(host);  // ends a write still waiting
    EXPECT_EQ(write.get(), bytes.size());
}

}  // namespace
