// Decoding of asynchronous responses into user callback arguments: records are built with a
// response, a result and a callback, and InvokeCallback is called directly. Each test callback
// prints its arguments as "a|b|c|".
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "engine/command_data.h"
#include "engine/generic_handler.h"
#include "sim_session.h"
#include "test_support.h"
#include "velquoraorn.h"

namespace {

using namespace orn;

std::string g_out;
template <typename... Args>
void Out(Args... args) {
    std::ostringstream text;
    ((text << args << '|'), ...);
    g_out = text.str();
}

void OnFkey(int status, char key) {
    Out(status, key);
}
void OnInput(int status, int length, char* text) {
    Out(status, length, text);
}
void OnStatus(int status) {
    Out(status);
}
void OnDukpt(int status, char* pinBlock, char* ksn) {
    Out(status, pinBlock, ksn);
}
void OnPin(int status, char* pinBlock) {
    Out(status, pinBlock);
}
void OnDebit(int status, uint32_t a, uint32_t b, uint32_t c, char code, char* pin, char* t2,
             char* t1) {
    Out(status, a + b + c, code, pin, t2, t1);
}
void OnScroll(int status, int selection, int data) {
    Out(status, selection, data);
}
void OnMsr(int status, int s1, int l1, char* t1, int s2, int l2, char* t2) {
    Out(status, s1, l1, t1, s2, l2, t2);  // printed as text: the buffers must be terminated
}
void OnMsrDisplay(int status, char* t1, char* t2, char flag) {
    Out(status, t1, t2, static_cast<int>(flag));
}
void OnAtr(int status, char type, unsigned char* data, int length) {
    Out(status, static_cast<int>(type), length,
        length > 0 ? static_cast<int>(data[length - 1]) : -1);
}

class CallbackDecode : public ::testing::Test {
  protected:
    void SetUp() override { Engine().Logger().OpenLogFile(log_.c_str(), kLogDetail); }
    void TearDown() override { Engine().Logger().Shutdown(); }

    template <typename Fn>
    std::string Run(int32_t kind, Fn* callback, const std::string& response, int32_t result = 0,
                    const char* name = "someReq", int32_t option = 0) {
        g_out = "not called";
        auto* record = new CCommandData;
        record->SetName(name);
        record->SetCallback(kind, callback);
        record->SetCallbackOption(option);
        record->SetLengthField(lengthField_);
        record->SetResponse(reinterpret_cast<const unsigned char*>(response.data()),
                            static_cast<int>(response.size()));
        record->SetResult(result);
        record->InvokeCallback();
        record->Release();
        return g_out;
    }
    // Finishes the log and returns its text (once, at the end of a test).
    std::string Log() {
        Engine().Logger().Shutdown();
        return test::ReadTextFile(log_ + ".0");
    }

    bool lengthField_ = true;  // false: a text entry asked without a maximum length
    test::TempDir dir_;
    std::string log_ = dir_.File("decode.log");
};

// The byte-coded reader answer: count of what follows it, a skipped byte, then `body`.
std::string Reader(const std::string& body) {
    const size_t count = body.size() + 1;
    return std::string{static_cast<char>(count >> 8), static_cast<char>(count & 0xFF), 0x04} + body;
}
std::string Track(const std::string& data, char status = 0) {
    return std::string{status, static_cast<char>(data.size())} + data;
}

TEST_F(CallbackDecode, StatusDigitAndFunctionKey) {
    EXPECT_EQ(Run(kCallbackFkey, OnFkey, "0A"), "0|A|");
    EXPECT_EQ(Run(kCallbackFkey, OnFkey, "3B"), "3|0|");  // arguments only on status 0
    EXPECT_EQ(Run(kCallbackFkey, OnFkey, "", ORN_ERR_CANCELED_BY_USER_ERROR), "-5|0|");
    EXPECT_EQ(Run(kCallbackFkey, OnFkey, "0"), "0|0|");
    EXPECT_EQ(Run(kCallbackDecryptDisplay, OnStatus, "/"), "255|");  // modulo 256
    EXPECT_EQ(Run(kCallbackEmv, OnStatus, "0"), "not called");
}

TEST_F(CallbackDecode, InputLengthFieldNoLengthFormAndCut) {
    EXPECT_EQ(Run(kCallbackInput, OnInput, "01FABC"), "0|271|ABC|");  // 0x1 << 8 | 0xF
    EXPECT_EQ(Run(kCallbackInput, OnInput, "2"), "2|-1||");
    const std::string x40(40, 'x'), x32(32, 'x');
    EXPECT_EQ(Run(kCallbackInput, OnInput, "028" + x40), "0|520|" + x32 + "|");
    lengthField_ = false;
    EXPECT_EQ(Run(kCallbackInput, OnInput, "0ABC"), "0|3|ABC|");
    EXPECT_EQ(Run(kCallbackInput, OnInput, "0" + x40), "0|32|" + x32 + "|");
    EXPECT_NE(Log().find("(Severe)  INPUT callback: reply of 40 bytes cut to 32"),
              std::string::npos);
}

TEST_F(CallbackDecode, ScrollSelectionDataAndLengthWarning) {
    EXPECT_EQ(Run(kCallbackScroll, OnScroll, "005"), "0|5|-1|");
    EXPECT_EQ(Run(kCallbackScroll, OnScroll, "00500FF"), "0|5|255|");
    EXPECT_EQ(Run(kCallbackScroll, OnScroll, "0121234F"), "0|12|9039|");  // last four: 0x234F
    // A tail shorter than four characters is read whole as the data, as the Wait form does.
    EXPECT_EQ(Run(kCallbackScroll, OnScroll, "0031"), "0|3|49|");
    EXPECT_EQ(Run(kCallbackScroll, OnScroll, "100FF"), "1|0|-1|");
    const std::string log = Log();
    const std::string warning =
        "(Severe)  Warning, expected response of 6C.0ss or 6C.0ssdddd: wrong response length";
    size_t warnings = 0;
    for (size_t at = log.find(warning); at != std::string::npos; at = log.find(warning, at + 1))
        ++warnings;
    EXPECT_EQ(warnings, 2u);  // the seven- and three-character answers
}

TEST_F(CallbackDecode, PinBlocksAndDebitDefaults) {
    const std::string pin = "0123456789ABCDEF", ksn = "FFFF9876543210E00001";
    EXPECT_EQ(Run(kCallbackDukpt, OnDukpt, "0" + pin + ksn), "0|" + pin + "|" + ksn + "|");
    EXPECT_EQ(Run(kCallbackDukpt, OnDukpt, "5" + pin + ksn), "5|||");
    EXPECT_EQ(Run(kCallbackPin, OnPin, "0xx" + pin), "0|" + pin + "|");
    EXPECT_EQ(Run(kCallbackPin, OnPin, "0ABC"), "0|ABC|");  // never before the status
    EXPECT_EQ(Run(kCallbackDebit, OnDebit, "", ORN_ERR_API_TIMEOUT), "-19|0|0||||");
}

TEST_F(CallbackDecode, MsrOptionsTrackStatusAndCuts) {
    const std::string t1 = "B4111111111111111^CARD/TEST^2512", t2 = "4111111111111111=2512";
    EXPECT_EQ(Run(kCallbackMsr, OnMsr, Reader(Track(t1)), 0, "msr", 1), "0|0|32|" + t1 + "|0|0||");
    EXPECT_EQ(Run(kCallbackMsr, OnMsr, Reader(Track(t2)), 0, "msr", 2), "0|0|0||0|21|" + t2 + "|");
    EXPECT_EQ(Run(kCallbackMsr, OnMsr, Reader(Track(t2) + Track(t1)), 0, "msr", 3),
              "0|0|32|" + t1 + "|0|21|" + t2 + "|");
    EXPECT_EQ(Run(kCallbackMsr, OnMsr, Reader(Track(t2)), 0, "msr", 3), "0|0|0||0|21|" + t2 + "|");
    // The track's status byte is the status; option 0 decodes nothing.
    EXPECT_EQ(Run(kCallbackMsr, OnMsr, Reader(Track("", 7)), 0, "msr", 2), "7|0|0||7|0||");
    EXPECT_EQ(Run(kCallbackMsr, OnMsr, Reader(Track(t1)), 0, "msr", 0), "0|0|0||0|0||");
    EXPECT_EQ(Run(kCallbackMsr, OnMsr, Reader(Track(t1)), -5, "msr", 1), "-5|0|0||0|0||");
    // Cut to the buffer; a length byte or count beyond the answer stops at its end.
    EXPECT_EQ(Run(kCallbackMsr, OnMsr, Reader(Track(std::string(50, '7'))), 0, "msr", 2),
              "0|0|0||0|37|" + std::string(37, '7') + "|");
    EXPECT_EQ(Run(kCallbackMsr, OnMsr, Reader(std::string{0, 60} + "ABC"), 0, "msr", 1),
              "0|0|3|ABC|0|0||");
    EXPECT_EQ(Run(kCallbackMsr, OnMsr, std::string{0x7F, 0x7F, 4, 0, 2, 'Z'}, 0, "msr", 1),
              "0|0|1|Z|0|0||");
    EXPECT_EQ(Run(kCallbackMsr, OnMsr, std::string{0}, 0, "msr", 1), "-10|0|0||0|0||");
    EXPECT_NE(Log().find("MSR callback: reply of 50 bytes cut to 37"), std::string::npos);
}

TEST_F(CallbackDecode, MsrDisplayTracks) {
    EXPECT_EQ(Run(kCallbackMsrDisplay, OnMsrDisplay,
                  "000512345"
                  "03ABC"),
              "0|ABC|12345|48|");
    EXPECT_EQ(Run(kCallbackMsrDisplay, OnMsrDisplay, "01"), "0|||49|");
    EXPECT_EQ(Run(kCallbackMsrDisplay, OnMsrDisplay, "4"), "4|||0|");
    // Track 2 has room for 36 characters; a length beyond the answer stops at its end.
    EXPECT_EQ(Run(kCallbackMsrDisplay, OnMsrDisplay, "0040" + std::string(40, '2') + "99AB"),
              "0|AB|" + std::string(36, '2') + "|48|");
}

TEST_F(CallbackDecode, SmartCardStatusAndAtrLengthEscape) {
    const std::string head{0, 0x10, 7, 0};
    EXPECT_EQ(Run(kCallbackSmartCard, OnStatus, std::string{0, 2, 7, 5}), "5|");
    EXPECT_EQ(Run(kCallbackSmartCard, OnStatus, "", -9), "-9|");
    EXPECT_EQ(Run(kCallbackSmartCardAtr, OnAtr, head + std::string{4, 0x3B, 0x11, 0x22, 0x33}),
              "0|59|3|51|");
    // 255: the count follows in two big-endian bytes (300 = type + 299 data bytes).
    EXPECT_EQ(Run(kCallbackSmartCardAtr, OnAtr,
                  head + std::string{'\xFF', 0x01, 0x2C, 0x3F} + std::string(299, '\x05')),
              "0|63|299|5|");
    EXPECT_EQ(Run(kCallbackSmartCardAtr, OnAtr,
                  head + std::string{'\xFF', 0x02, 0x59, 0x3B} + std::string(600, '\x06')),
              "0|59|512|6|");
    EXPECT_EQ(Run(kCallbackSmartCardAtr, OnAtr, std::string{0, 2, 7, 2, 4, 0x3B}), "2|0|0|-1|");
    EXPECT_NE(Log().find("SMARTCARDATR callback: reply of 600 bytes cut to 512"),
              std::string::npos);
}

}  // namespace
