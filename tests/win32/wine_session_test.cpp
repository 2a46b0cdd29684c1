// The DLL as a Windows application uses it, against the terminal simulator at the other end of
// a COM port: one command of every family, the link faults the simulator injects on request,
// and closing in the awkward moments. scripts/test-windows.sh starts the simulator natively,
// links the Wine COM port to its pty and names both here:
//   ORN_WINE_PORT     the COM port ("COM7")
//   ORN_SIM_CONTROL   the simulator's control port on 127.0.0.1 (see tools/sim/cli.cpp)
// Without them the tests are skipped.
#include <gtest/gtest.h>
// winsock2.h before windows.h, which would otherwise bring in the old winsock.h
#include <winsock2.h>
// (keep the order)
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "velquoraorn.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDeadlineMs = 15000;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

template <typename Condition>
bool WaitUntil(Condition condition, int ms) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (Clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// One line to the simulator's control channel, its one-line answer back.
std::string Control(const std::string& command) {
    const char* port = std::getenv("ORN_SIM_CONTROL");
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (port == nullptr || s == INVALID_SOCKET) return "error no control channel";
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    std::string reply;
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        std::string line = command + "\n";
        ::send(s, line.data(), static_cast<int>(line.size()), 0);
        char c;
        while (::recv(s, &c, 1, 0) == 1 && c != '\n') reply += c;
    }
    ::closesocket(s);
    return reply;
}

int Frames(const std::string& id) {
    std::string reply = Control("frames " + id);
    return reply.compare(0, 3, "ok ") == 0 ? std::atoi(reply.c_str() + 3) : -1;
}

class WineSessionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }

    void SetUp() override {
        const char* port = std::getenv("ORN_WINE_PORT");
        if (port == nullptr || std::getenv("ORN_SIM_CONTROL") == nullptr) {
            GTEST_SKIP() << "no simulator (ORN_WINE_PORT, ORN_SIM_CONTROL)";
        }
        for (const char* reset : {"nak 0", "withhold-acks 0", "silent 0", "keypad-delay 0"}) {
            ASSERT_EQ(Control(reset), "ok") << reset;
        }
        ASSERT_EQ(ornInit(port, nullptr, ORN_LOGGER_OFF), 0);
        ASSERT_EQ(Control("clear"), "ok");
    }

    void TearDown() override { ornClose(); }
};

void ORN_CALL OnEmv(int, const unsigned char*, int) {}

// One command of every family, each through the whole round trip.
TEST_F(WineSessionTest, EveryCommandFamilyAnswers) {
    char text[600] = "";
    int a = 0, b = 0, c = 0, d = 0;
    unsigned char type = 0, atr[ORN_SMART_CARD_DATA_SIZE] = {};
    char track1[ORN_TRACK1_TEXT_SIZE + 1] = "", track2[ORN_TRACK2_TEXT_SIZE + 1] = "";
    char list[64] = "";
    ornAddListItem(list, "Tea", sizeof list);
    ornAddListItem(list, "Coffee", sizeof list);
    struct Case {
        const char* family;
        int result;
        int expected;
    } cases[] = {
        {"basic", ornBeep(7), 0},
        {"device", ornGetDateTimeString(2, text), 0},
        {"data storage", ornWriteBlock("ABCDEFGH"), 0},
        {"display", ornDisplay("Wine", "line 2", nullptr, nullptr), 0},
        {"text entry", (a = 8, ornDisplayAndWaitForInputWait(2, 1, 0, "Code ?", 255, &a, text)), 0},
        {"scroll list", ornScrollListWait(0, 1, 1, 0, 0, 0, 1, "Drinks", "", "", "", list, &a, &b),
         0},
        {"keys", ornLoadMasterSessionKey(10, 2, "0123456789ABCDEF", nullptr, nullptr, 1), 0},
        {"MAC", ornMacCalculationAsciiVarMode(0, 1, "0123456789ABCDEF", nullptr, "DATA", text), 0},
        {"PIN", ornDukptPinWait(0, 6, 0, "4000001234567899", nullptr, text, text + 20), 0},
        {"magnetic stripe", ornSwipeMagStripeCardWait(3, 30000, &a, &b, track1, &c, &d, track2), 0},
        {"smart card (no card)", (a = sizeof atr, ornSmartCardPowerUp(&type, atr, &a)), 1},
        {"EMV", (ornEmvRegisterZeth("WINEAPP1"), ornEmvOpenSession("WINEAPP1", OnEmv)), 0},
    };
    for (const Case& k : cases) EXPECT_EQ(k.result, k.expected) << k.family;
    EXPECT_EQ(ornEmvCloseSession("WINEAPP1"), 0);
}

TEST_F(WineSessionTest, LostAckIsRetried) {
    ASSERT_EQ(Control("withhold-acks 1"), "ok");
    EXPECT_EQ(ornBeep(7), 0);
    EXPECT_EQ(Frames("5B."), 2);
}

TEST_F(WineSessionTest, NakResendsAndTheSixthFails) {
    ASSERT_EQ(Control("nak 2"), "ok");
    EXPECT_EQ(ornBeep(7), 0);
    EXPECT_EQ(Frames("5B."), 3);
    ASSERT_EQ(Control("nak 6"), "ok");
    EXPECT_EQ(ornBeep(3), ORN_ERR_GOT_NAK_ERROR);
    EXPECT_EQ(ornBeep(4), 0);
}

std::atomic<int> g_calls{0};
std::atomic<int> g_status{0};
std::atomic<bool> g_closeReturned{false};

void ORN_CALL OnKey(int status, char) {
    g_status = status;
    ++g_calls;
}

void ORN_CALL CloseFromCallback(int status, char) {
    g_status = status;
    ornClose();
    g_closeReturned = true;
}

TEST_F(WineSessionTest, CloseDuringAPendingRequest) {
    g_calls = 0;
    ASSERT_EQ(Control("ack-only 57."), "ok");  // acknowledged, never answered
    ASSERT_EQ(ornAmountConfirmationReq(1, 770, "EUR", OnKey), 0);
    Clock::time_point start = Clock::now();
    ornClose();
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_EQ(ornPing(), ORN_ERR_COMM_PORT_NOT_OPEN);
    // A callback, if any, reports a failure, never a success.
    EXPECT_TRUE(g_calls == 0 || g_status < 0);
}

TEST_F(WineSessionTest, CloseFromInsideACallback) {
    g_closeReturned = false;
    ASSERT_EQ(ornFunctionKeyPromptReq("Close?", nullptr, nullptr, nullptr, CloseFromCallback), 0);
    ASSERT_TRUE(WaitUntil([] { return g_closeReturned.load(); }, kDeadlineMs));
    EXPECT_EQ(g_status.load(), 0);
    EXPECT_EQ(ornCheckConnectionStatus(), ORN_ERR_COMM_PORT_NOT_OPEN);
    // Nothing was left hanging: the link opens and works again.
    ASSERT_EQ(ornInit(std::getenv("ORN_WINE_PORT"), nullptr, ORN_LOGGER_OFF), 0);
    EXPECT_EQ(ornBeep(1), 0);
}

// The terminal greets every new opener with its power-up handshake, a re-open included: bytes
// that wait in the port before the listener's first wait are read all the same.
TEST_F(WineSessionTest, ReOpenedPortCarriesCommands) {
    for (int round = 0; round < 3; ++round) {
        Clock::time_point start = Clock::now();
        ASSERT_EQ(ornReOpenPort(), 0) << round;
        EXPECT_LT(MsSince(start), 2000) << round;
        // Commands work once the handshake is through (a command may meet it and get -11).
        EXPECT_TRUE(WaitUntil([] { return ornBeep(1) == 0 && ornBeep(2) == 0 && ornBeep(3) == 0; },
                              kDeadlineMs))
            << round;
    }
}

// Opens and closes take what they take on every platform: the ready check's 3.5 s and the
// quick cancel's ACK waits for a terminal that never answers; a few milliseconds for a close,
// whether or not a command went over the link in between.
TEST_F(WineSessionTest, OpenAndCloseEndAtTheirLimits) {
    const char* port = std::getenv("ORN_WINE_PORT");
    for (int round = 0; round < 3; ++round) {
        if (round > 0) {
            ASSERT_EQ(ornInit(port, nullptr, ORN_LOGGER_OFF), 0);
        }
        Clock::time_point start = Clock::now();
        ornClose();
        EXPECT_LT(MsSince(start), 2000) << "close " << round;
    }
    ASSERT_EQ(Control("silent 1"), "ok");
    Clock::time_point start = Clock::now();
    EXPECT_EQ(ornInit(port, nullptr, ORN_LOGGER_OFF), 1);
    EXPECT_LT(MsSince(start), 9500) << "a silent terminal";
}

// Run last and on its own: the simulator process ends, its pty hangs up under Wine's COM port.
TEST_F(WineSessionTest, TerminalGoesAwayMidCommand) {
    g_calls = 0;
    ASSERT_EQ(Control("ack-only 57."), "ok");
    ASSERT_EQ(ornAmountConfirmationReq(1, 770, "EUR", OnKey), 0);
    ASSERT_EQ(Control("exit"), "ok");
    // Nobody there: the idle link check finds the terminal Disconnected, or (Wine's COM port
    // on a hung-up pty cannot even report its state, as a USB port that was pulled) the link
    // is lost with the device and closed.
    EXPECT_TRUE(WaitUntil(
        [] {
            const int status = ornCheckConnectionStatus();
            return status == 1 || status == ORN_ERR_COMM_PORT_NOT_OPEN;
        },
        kDeadlineMs));
    EXPECT_NE(ornBeep(1), 0);
    Clock::time_point start = Clock::now();
    ornClose();
    EXPECT_LT(MsSince(start), 6000);
    EXPECT_TRUE(g_calls == 0 || g_status < 0);
}

}  // namespace
