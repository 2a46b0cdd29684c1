// Key management and encryption against the simulated PIN pad: the key load's payload and the
// order of its tests, the diagnostic request's forms and answer rules, encryption results, and
// decrypt and display with its callback and display-time timeout.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "answers.h"
#include "sim_session.h"
#include "test_support.h"
#include "velquoraorn.h"

namespace {

using orn::sim::Request;
using orn::test::SimSession;
using Clock = std::chrono::steady_clock;

constexpr int32_t kQuiet = ORN_LOGGER_FINE | ORN_LINK_MONITOR_OFF;
constexpr int kBad = ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
constexpr const char* kKey16 = "0123456789ABCDEF";
constexpr const char* kKey32 = "0123456789ABCDEFFEDCBA9876543210";
// DES of "Now is t" under 0123456789ABCDEF.
constexpr const char* kPlain = "4E6F772069732074";
constexpr const char* kCipher = "3FA40E8A984D4815";

orn::test::Recorder<int> g_statuses;
void OnDecryptDisplay(int status) {
    g_statuses.Add(status);
}

class KeyCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        g_statuses.Clear();
        ASSERT_EQ(session.Open(kQuiet), 0);
    }

    SimSession session;
};

TEST_F(KeyCommands, LoadKeyPayloadsAndTests) {
    EXPECT_EQ(ornLoadMasterSessionKey(10, 2, kKey16, nullptr, nullptr, 1), 0);
    EXPECT_EQ(ornLoadMasterSessionKey(0, 4, kKey32, "1a2b3c4d", "00112233445566aa", 1), 0);
    EXPECT_EQ(ornLoadMasterSessionKey(63, 0, kKey16, "ABCDEF12", nullptr, 0), 0);
    EXPECT_EQ(session.Payloads("40."),
              (std::vector<std::string>{
                  std::string(":2") + kKey16 + "7C41A9E3058BD26F" + "00",
                  std::string("04") + kKey32 + "1a2b3c4d" + "00112233445566aa" + "0",
                  std::string("o0") + kKey16 + "ABCDEF12" + "7C41A9E3058BD26F"}));

    session.sim().ClearRecord();
    EXPECT_EQ(ornLoadMasterSessionKey(0, 0, nullptr, nullptr, nullptr, 0), kBad);
    EXPECT_EQ(ornLoadMasterSessionKey(64, 0, kKey16, nullptr, nullptr, 0), kBad);
    EXPECT_EQ(ornLoadMasterSessionKey(0, 5, kKey16, nullptr, nullptr, 0), kBad);
    EXPECT_EQ(ornLoadMasterSessionKey(0, 0, "0123456789ABCDEF0123", nullptr, nullptr, 0), kBad);
    EXPECT_EQ(ornLoadMasterSessionKey(0, 0, kKey32, nullptr, nullptr, 0), kBad);
    EXPECT_EQ(ornLoadMasterSessionKey(0, 0, kKey16, "ABCDEF1", nullptr, 0), kBad);
    EXPECT_EQ(ornLoadMasterSessionKey(0, 0, kKey16, nullptr, "00112233445566A", 0), kBad);
    EXPECT_EQ(ornLoadMasterSessionKey(0, 0, kKey16, nullptr, nullptr, 2), kBad);
    EXPECT_EQ(ornLoadMasterSessionKey(0, 0, "0123456789ABCDEG", nullptr, nullptr, 0), kBad);
    EXPECT_EQ(ornLoadMasterSessionKey(0, 0, kKey16, "ABCDEF1G", nullptr, 0), kBad);
    EXPECT_EQ(ornLoadMasterSessionKey(0, 0, kKey16, nullptr, "00112233445566GG", 0), kBad);
    EXPECT_TRUE(session.NothingSent());
}

TEST_F(KeyCommands, DiagnosticRequestFormsAndAnswers) {
    char value[7] = "x";
    // The simulated PIN pad reports the check value of the key it holds at an index.
    ASSERT_EQ(ornLoadMasterSessionKey(5, 0, kKey16, nullptr, nullptr, 0), 0);
    EXPECT_EQ(ornDiagnosticKeyRequest('m', 5, value), 0);
    EXPECT_EQ(std::string(value), orn::sim::KeyCheckValue(kKey16).substr(0, 6));
    EXPECT_EQ(ornDiagnosticKeyRequest('s', 63, value), 2);  // nothing loaded there
    EXPECT_STREQ(value, "");
    EXPECT_EQ(ornDiagnosticKeyRequest('T', 99, value), kBad);  // the index is always tested
    EXPECT_EQ(ornDiagnosticKeyRequest('T', 0, value), 0);
    EXPECT_EQ(std::strlen(value), 6u);
    EXPECT_EQ(ornDiagnosticKeyRequestKeyType('5', value), 0);
    EXPECT_EQ(ornDiagnosticKeyRequestKeyType('K', value), 0);
    EXPECT_EQ(session.Payloads("53."), (std::vector<std::string>{"35M", "6FS", "T", "5", "K"}));

    session.sim().ClearRecord();
    EXPECT_EQ(ornDiagnosticKeyRequest('x', 0, value), kBad);
    EXPECT_EQ(ornDiagnosticKeyRequest('m', 64, value), kBad);
    EXPECT_EQ(ornDiagnosticKeyRequest('m', 0, nullptr), kBad);
    EXPECT_EQ(ornDiagnosticKeyRequestKeyType('6', value), kBad);
    EXPECT_EQ(ornDiagnosticKeyRequestKeyType('t', value), kBad);
    EXPECT_TRUE(session.NothingSent());

    // The value is what follows the status less the last two characters; a wrong length is
    // logged (Severe, Info for the key-type form) and changes nothing else.
    session.Answer("53.", std::string("0123456789"));
    EXPECT_EQ(ornDiagnosticKeyRequest('M', 0, value), 0);
    EXPECT_STREQ(value, "123456");  // seven characters, cut to the 7-byte buffer
    session.Answer("53.", std::string("0123"));
    EXPECT_EQ(ornDiagnosticKeyRequestKeyType('M', value), 0);
    EXPECT_STREQ(value, "1");
    session.Answer("53.", std::string("1"));
    EXPECT_EQ(ornDiagnosticKeyRequest('M', 0, value), 1);
    EXPECT_STREQ(value, "");
    const std::string log = session.CloseAndReadLog();
    const std::string warning =
        "Warning, expected response of 53.0cccccccc, or 53.1, or 53.2: wrong response length";
    const size_t severe = log.find("(Severe)  " + warning);
    const size_t info = log.find("(Info)  " + warning);
    ASSERT_NE(severe, std::string::npos) << log;
    ASSERT_NE(info, std::string::npos) << log;
    EXPECT_LT(severe, info);
    // One for each answer of a wrong length ("0123456789", "0123"), none for the answer "1".
    EXPECT_EQ(log.find(warning, info + 8 + warning.size()), std::string::npos);
    EXPECT_EQ(log.find(warning, severe + 10 + warning.size()), info + 8);
}

TEST_F(KeyCommands, EncryptionResultsAndTests) {
    char result[17] = "x";
    EXPECT_EQ(ornDataEncryption(3, kKey16, nullptr, kPlain, result), 0);
    EXPECT_STREQ(result, kCipher);
    EXPECT_EQ(ornDataEncryptionCipher(1, 3, kKey16, "", kCipher, result), 0);
    EXPECT_STREQ(result, kPlain);
    const std::string check = orn::sim::KeyCheckValue(kKey32);
    EXPECT_EQ(ornDataEncryptionCipher(0, 10, kKey32, check.c_str(), kPlain, result), 0);
    const std::string enciphered = result;
    EXPECT_EQ(ornDataEncryptionCipher(1, 10, kKey32, check.c_str(), enciphered.c_str(), result), 0);
    EXPECT_STREQ(result, kPlain);
    EXPECT_EQ(session.Payloads("42."),
              (std::vector<std::string>{std::string("0023") + kKey16 + kPlain,
                                        std::string("2123") + kKey16 + kCipher,
                                        std::string("202:") + kKey32 + check + kPlain,
                                        std::string("212:") + kKey32 + check + enciphered}));

    session.sim().ClearRecord();
    EXPECT_EQ(ornDataEncryption(0, kKey16, "ABCDEF1", kPlain, result), kBad);
    EXPECT_EQ(ornDataEncryption(0, kKey32, nullptr, kPlain, result), kBad);
    EXPECT_EQ(ornDataEncryption(0, kKey16, nullptr, "4E6F77206973207", result), kBad);
    EXPECT_EQ(ornDataEncryption(0, kKey16, nullptr, "4E6F77206973207X", result), kBad);
    EXPECT_EQ(ornDataEncryption(0, kKey16, nullptr, kPlain, nullptr), kBad);
    EXPECT_EQ(ornDataEncryption(64, kKey16, nullptr, kPlain, result), kBad);
    EXPECT_EQ(ornDataEncryptionCipher(2, 0, kKey16, nullptr, kPlain, result), kBad);
    EXPECT_TRUE(session.NothingSent());

    session.Answer("42.", std::string("3"));
    EXPECT_EQ(ornDataEncryption(0, kKey16, nullptr, kPlain, result), 3);
    EXPECT_STREQ(result, "");
    // A longer answer gives its last 16 characters.
    session.Answer("42.", std::string("0XX") + kCipher);
    EXPECT_EQ(ornDataEncryption(0, kKey16, nullptr, kPlain, result), 0);
    EXPECT_STREQ(result, kCipher);
}

TEST_F(KeyCommands, DecryptAndDisplayFormsAndCallback) {
    EXPECT_EQ(ornDecryptAndDisplayWait(0, 5, 15, 10, kKey16, nullptr, kPlain, "0123456789"), 0);
    EXPECT_EQ(ornDecryptAndDisplayWait(7, 0, 0, 0, kKey16, "", kPlain, "abc"), 0);
    EXPECT_EQ(session.Payloads("42."),
              (std::vector<std::string>{std::string("15F:") + kKey16 + kPlain + "01234567",
                                        std::string("3000") + kKey16 + kPlain + "abc     "}));
    EXPECT_EQ(ornDecryptAndDisplayInAsciiWait(9, 1, 63, kKey32, "1A2B3C4D", kPlain, "X"), 0);
    EXPECT_EQ(session.Payloads("47."), std::vector<std::string>{std::string("191o") + kKey32 +
                                                                "1A2B3C4D" + kPlain + "X       "});

    ASSERT_EQ(ornDecryptAndDisplayReq(0, 1, 2, 3, kKey16, nullptr, kPlain, "T", OnDecryptDisplay),
              0);
    ASSERT_TRUE(g_statuses.WaitFor(1));
    session.Answer("47.", std::string("4"));
    ASSERT_EQ(
        ornDecryptAndDisplayInAsciiReq(1, 2, 3, kKey16, nullptr, kPlain, "T", OnDecryptDisplay), 0);
    ASSERT_TRUE(g_statuses.WaitFor(2));
    // Without a callback the outcome is not reported, and nothing breaks.
    EXPECT_EQ(ornDecryptAndDisplayReq(0, 1, 2, 3, kKey16, nullptr, kPlain, "T", nullptr), 0);
    ASSERT_TRUE(orn::test::WaitUntil([] { return ornIsBusy(0) == 0; }, 10000));
    EXPECT_EQ(g_statuses.Items(), (std::vector<int>{0, 4}));

    session.sim().ClearRecord();
    EXPECT_EQ(ornDecryptAndDisplayWait(0, 10, 0, 0, kKey16, nullptr, kPlain, "T"), kBad);
    EXPECT_EQ(ornDecryptAndDisplayWait(0, 0, 16, 0, kKey16, nullptr, kPlain, "T"), kBad);
    EXPECT_EQ(ornDecryptAndDisplayWait(0, 0, 0, 0, kKey16, nullptr, kPlain, nullptr), kBad);
    EXPECT_EQ(ornDecryptAndDisplayWait(0, 0, 0, 0, kKey16, nullptr, nullptr, "T"), kBad);
    EXPECT_EQ(ornDecryptAndDisplayInAsciiReq(0, 0, 0, kKey16, "1234", kPlain, "T", nullptr), kBad);
    EXPECT_EQ(ornDecryptAndDisplayInAsciiWait(0, 0, 0, kKey16, nullptr, kPlain, "\x03"), kBad);
    EXPECT_TRUE(session.NothingSent());
}

TEST_F(KeyCommands, DecryptAndDisplayWaitsForTheDisplayTime) {
    session.Answer("42.", std::nullopt);
    const auto start = Clock::now();
    EXPECT_EQ(ornDecryptAndDisplayWait(0, 0, 1, 0, kKey16, nullptr, kPlain, "T"),
              ORN_ERR_API_TIMEOUT);
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(waited, 5900);  // 1 × 5000 ms and the record's 1000 ms after the ACK
    EXPECT_LT(waited, 12000);
}

}  // namespace
