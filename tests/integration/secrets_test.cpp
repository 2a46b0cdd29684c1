// End to end: a sale's flows (PIN entry, MAC, key load and encryption, swipe, smart card, EMV,
// keyed entry, debit sequence) run against the simulator at the Detail level with known test
// secrets, and no log file may show any of them: not in clear, not as hex with or without
// spaces, not in the P1.6 form the 7-bit link gives raw data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "answers_cards.h"
#include "answers_display.h"
#include "card_test_support.h"
#include "sim_session.h"
#include "velquoraorn.h"

namespace {

namespace fs = std::filesystem;
using cards_test::Bytes;
namespace sim = orn::sim;
using orn::test::SimSession;

constexpr const char* kAccount = "4761739001010119";
constexpr const char* kSessionKey = "8F3A5C7E91B2D4F60E1D2C3B4A596877";
constexpr const char* kSessionCheck = "5EC2E7C4";
constexpr const char* kMacKey = "C4D1A7E2B9F03865";
constexpr const char* kMacData = "SALE;AMOUNT=7.70;CARD=VQ7731";
constexpr const char* kLoadKey = "D2E4F6A8B0C1D3E5F7A9B2C4D6E8F0A1";
constexpr const char* kLoadCheck = "9A7B3C1D";
constexpr const char* kLoadField = "6E5F4A3B2C1D0E9F";
constexpr const char* kDataKey = "A1B2C3D4E5F60718";
constexpr const char* kClearBlock = "3141592653589793";
constexpr const char* kTrack1 = "B4761739001010119^VELQ/TESTCARD^25121011000012300000";
constexpr const char* kTrack2 = "4761739001010119=25121011000012300";
constexpr const char* kTypedPan = "5413330089604111";
constexpr const char* kTypedCode = "97312612";
constexpr const char* kTypedByCallback = "6011000990139424";
constexpr const char* kDebitTrack2 = "6011000990139424=27081011";
constexpr const char* kDebitTrack1 = "B6011000990139424^DEBIT/TESTCARD^27081011000";

// ---- What a log shows -------------------------------------------------------------------

// The byte runs of the hex columns: the body lines of each dump joined in order, and each raw
// "Serial Recv" line on its own. A hidden byte ("**") is -1.
std::vector<std::vector<int>> HexRuns(const std::string& log) {
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    std::vector<std::vector<int>> runs(1);
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        size_t pos = 0;
        const size_t recv = line.find("Serial Recv(");
        if (recv != std::string::npos) {
            runs.emplace_back();
            pos = line.find("): ", recv);
            pos = pos == std::string::npos ? line.size() : pos + 3;
        } else if (line.size() < 3 || line[2] != ' ' ||
                   !((hex(line[0]) && hex(line[1])) || line.compare(0, 2, "**") == 0)) {
            if (!runs.back().empty()) runs.emplace_back();
            continue;
        }
        for (; pos + 3 <= line.size() && line[pos + 2] == ' '; pos += 3) {
            if (line.compare(pos, 2, "**") == 0) {
                runs.back().push_back(-1);
            } else if (hex(line[pos]) && hex(line[pos + 1])) {
                runs.back().push_back(std::stoi(line.substr(pos, 2), nullptr, 16));
            } else {
                break;
            }
        }
        if (recv != std::string::npos) runs.emplace_back();
    }
    return runs;
}

// P1.6 decoding of a run from character `offset` on; a hidden character breaks the bits.
std::vector<int> DecodeP16(const std::vector<int>& run, size_t offset) {
    std::vector<int> out;
    unsigned bits = 0, count = 0;
    for (size_t i = offset; i < run.size(); ++i) {
        if (run[i] < 0) {
            out.push_back(-1);
            bits = count = 0;
            continue;
        }
        bits = (bits << 6) | (static_cast<unsigned>(run[i]) & 0x3F);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<int>((bits >> count) & 0xFF));
        }
    }
    return out;
}

bool Contains(const std::vector<int>& run, const std::string& piece) {
    for (size_t i = 0; i + piece.size() <= run.size(); ++i) {
        size_t k = 0;
        while (k < piece.size() && run[i + k] == static_cast<unsigned char>(piece[k])) ++k;
        if (k == piece.size()) return true;
    }
    return false;
}

std::string HexOf(const std::string& bytes, bool upper) {
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, upper ? "%02X" : "%02x", c);
        out += two;
    }
    return out;
}

// The forms in which the log shows any 8 consecutive bytes of `secret` (all of it when
// shorter): "clear", "hex", "dump" (the hex columns), "p16" (the hex columns decoded). Empty
// when it shows none.
std::string Shows(const std::string& log, const std::vector<std::vector<int>>& runs,
                  const std::string& secret) {
    const size_t width = std::min<size_t>(8, secret.size());
    bool clear = false, hex = false, dump = false, p16 = false;
    for (size_t at = 0; at + width <= secret.size(); ++at) {
        const std::string piece = secret.substr(at, width);
        clear = clear || log.find(piece) != std::string::npos;
        hex = hex || log.find(HexOf(piece, true)) != std::string::npos ||
              log.find(HexOf(piece, false)) != std::string::npos;
        for (const auto& run : runs) {
            dump = dump || Contains(run, piece);
            for (size_t offset = 0; offset < 4 && !p16; ++offset)
                p16 = Contains(DecodeP16(run, offset), piece);
        }
    }
    std::string forms;
    for (auto [found, name] :
         {std::pair{clear, "clear "}, {hex, "hex "}, {dump, "dump "}, {p16, "p16 "}})
        if (found) forms += name;
    return forms;
}

// Every file the log wrote (name.0, name.1, ...), joined.
std::string AllLogFiles(const std::string& firstFile) {
    const fs::path first(firstFile);
    const std::string stem = first.stem().string();  // "session.log"
    std::string text;
    for (const auto& entry : fs::directory_iterator(first.parent_path())) {
        if (entry.path().filename().string().rfind(stem + ".", 0) != 0) continue;
        text += orn::test::ReadTextFile(entry.path().string());
    }
    return text;
}

// ---- Callbacks --------------------------------------------------------------------------

orn::test::Recorder<std::string> g_typed, g_debits;
orn::test::Recorder<int> g_emvDeliveries;

void OnInput(int status, int, char* text) {
    g_typed.Add(status == 0 ? text : "failed");
}
void OnDebit(int status, unsigned, unsigned, unsigned, char, char*, char* second, char* first) {
    g_debits.Add(std::to_string(status) + " " + first + "|" + second);
}
void OnEmv(int, const unsigned char*, int) {
    g_emvDeliveries.Add(0);
}

TEST(Secrets, NoLogFileShowsAnySecretOfASale) {
    sim::ResetKeypad();
    sim::ResetCardTerminal();
    SimSession session;
    ASSERT_EQ(session.Open(ORN_LOGGER_ON), 0);
    std::vector<std::string> secrets = {
        kAccount,   kSessionKey, kSessionCheck,    kMacKey,      kMacData,    kLoadKey,
        kLoadCheck, kLoadField,  kDataKey,         kClearBlock,  kTrack1,     kTrack2,
        kTypedPan,  kTypedCode,  kTypedByCallback, kDebitTrack2, kDebitTrack1};

    // PIN entry: DUKPT and master/session; their PIN blocks and key serial number.
    char pin[17], ksn[21], msPin[17];
    ASSERT_EQ(ornDukptPinWait(0, 6, 0, kAccount, nullptr, pin, ksn), 0);
    ASSERT_EQ(ornMasterSessionPinEntryWait(0, 6, 0, 1, kAccount, kSessionKey, kSessionCheck,
                                           nullptr, msPin),
              0);
    secrets.insert(secrets.end(), {pin, ksn, msPin});

    // MAC, key load and encryption.
    char mac[17], result[17];
    ASSERT_EQ(ornMacCalculationAsciiVarMode(0, 1, kMacKey, nullptr, kMacData, mac), 0);
    ASSERT_EQ(ornLoadMasterSessionKey(3, 4, kLoadKey, kLoadCheck, kLoadField, 1), 0);
    ASSERT_EQ(ornDataEncryption(5, kDataKey, nullptr, kClearBlock, result), 0);
    secrets.push_back(result);

    // Swipes: the byte-coded answer and the display-driven one.
    sim::SetSwipeCard({kTrack1, kTrack2, 0, 0});
    int s1, l1, s2, l2;
    char t1[255], t2[255];
    ASSERT_EQ(ornSwipeMagStripeCardWait(3, 0, &s1, &l1, t1, &s2, &l2, t2), 0);
    ASSERT_EQ(std::string(t2, l2), kTrack2);
    char track1[ORN_TRACK1_TEXT_SIZE], track2[ORN_TRACK2_TEXT_SIZE];
    ASSERT_EQ(ornMsrWithDisplayHandlingWait(3, 5, 0, 0, 0, "Swipe", nullptr, nullptr, nullptr,
                                            track1, track2, nullptr),
              0);

    // Smart card: a command and the card's answer, with bytes outside the printable range.
    const std::string apdu = Bytes({0x80, 0xCA, 0x9F, 0x17, 0x00}) + "PINTRY\x01\xFE";
    const std::string cardAnswer = Bytes({0x5F, 0x34, 0xE1}) + "ICCDATA\x02\x9D";
    secrets.insert(secrets.end(), {apdu, cardAnswer});
    sim::InsertCard(session.sim());
    unsigned char type, atr[ORN_SMART_CARD_DATA_SIZE];
    int atrLength;
    ASSERT_EQ(ornSmartCardPowerUp(&type, atr, &atrLength), 0);
    sim::SetApduHandler([cardAnswer](const std::string&) { return Bytes({0, 0, 0}) + cardAnswer; });
    unsigned char data[ORN_SMART_CARD_DATA_SIZE];
    std::memcpy(data, apdu.data(), apdu.size());
    int length = static_cast<int>(apdu.size());
    unsigned char b1, b2, b3;
    ASSERT_EQ(ornAsynchCardExecution(data, &length, &b1, &b2, &b3), 0);
    ASSERT_EQ(ornSmartCardPowerOff(), 0);

    // EMV: data both ways.
    const std::string toCard = Bytes({0x5A, 0x08, 0x47, 0x61, 0x73, 0x90, 0x01, 0x01, 0x01, 0x19});
    const std::string fromCard = Bytes({0x57, 0x0B, 0x9F, 0x26, 0xC3, 0x11, 0x7E, 0x42, 0x08});
    secrets.insert(secrets.end(), {toCard, fromCard});
    ASSERT_EQ(ornEmvOpenSession("POSDEMO1", OnEmv), 0);
    ASSERT_EQ(ornEmvSendAsync("POSDEMO1", reinterpret_cast<const unsigned char*>(toCard.data()),
                              static_cast<int>(toCard.size())),
              0);
    sim::PushEmvData(session.sim(), "POSDEMO1", fromCard, 1);
    ASSERT_TRUE(g_emvDeliveries.WaitFor(1));
    ASSERT_EQ(ornEmvCloseSession("POSDEMO1"), 0);

    // Keyed entry: with a length field, without one, and through the INPUT callback.
    char typed[33];
    sim::SetNextText(kTypedPan);
    length = 16;
    ASSERT_EQ(ornDisplayAndWaitForInputWait(2, 1, 0, "Card number ?", 255, &length, typed), 0);
    ASSERT_STREQ(typed, kTypedPan);
    sim::SetNextText(kTypedCode);
    length = 0;
    ASSERT_EQ(ornClearTextEntryWithStoredPromptWait(2, 1, 0, 5, &length, typed), 0);
    ASSERT_STREQ(typed, kTypedCode);
    sim::SetNextText(kTypedByCallback);
    ASSERT_EQ(ornDisplayAndWaitForInputReq(2, 1, 0, "Card number ?", 255, 16, OnInput), 0);
    ASSERT_TRUE(g_typed.WaitFor(1));
    ASSERT_EQ(g_typed.Items()[0], kTypedByCallback);

    // Debit sequence: the card the terminal read comes back as the answer's two texts.
    session.sim().SetHandler("6B.", [](const sim::Request&) {
        return "0" + std::string("0000000770") + "C01" + "A1B2C3D4E5F60789" + "25" + kDebitTrack2 +
               "44" + kDebitTrack1;
    });
    secrets.push_back("A1B2C3D4E5F60789");
    ASSERT_EQ(ornDebitSequenceStartReq(0, 10, 1, 1, 20, 1, nullptr, 770, 0, 0, 2, 2, kSessionKey,
                                       kSessionCheck, nullptr, OnDebit),
              0);
    ASSERT_TRUE(g_debits.WaitFor(1));
    ASSERT_EQ(g_debits.Items()[0], std::string("0 ") + kDebitTrack2 + "|" + kDebitTrack1);

    // The check sees what it looks for: with full dumps on, EMV data shows in every form.
    const std::string control = "CONTROL-7Q";
    ASSERT_EQ(ornEmvOpenSession("POSDEMO1", OnEmv), 0);
    ornSetLogSensitiveData(1);
    ASSERT_EQ(ornEmvSendAsync("POSDEMO1", reinterpret_cast<const unsigned char*>(control.data()),
                              static_cast<int>(control.size())),
              0);
    ornSetLogSensitiveData(0);
    ASSERT_EQ(ornEmvCloseSession("POSDEMO1"), 0);

    session.Close();
    const std::string log = AllLogFiles(session.LogFile());
    const auto runs = HexRuns(log);
    EXPECT_EQ(Shows(log, runs, control), "clear dump p16 ");
    for (const std::string& secret : secrets)
        EXPECT_EQ(Shows(log, runs, secret), "") << "secret " << HexOf(secret, true);
}

}  // namespace
