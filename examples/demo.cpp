// examples/ owns programs that use the library as an application does: this demo, the checkout
// walk-through of the README (checkout.cpp with its ornsim script) and consumer/, a C program
// built against the installed header and library.
//
// Sample POS session: opens the terminal link with a log file, walks through a sale (display,
// amount confirmation, keypad entry, function keys, a cancelled input, card swipe, PIN, MAC and
// an EMV exchange) and prints each step with its result code and text. Run it against the
// terminal simulator (ornsim) with ORN_PORT_DIR set, or against a real terminal with the port
// name as the first argument. Exits non-zero when a step fails.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "velquoraorn.h"

namespace {

// How long the demo waits for a callback before counting the step as failed.
constexpr auto kCallbackWait = std::chrono::seconds(15);
const char* const kFallbackAccount = "4000001234567899";
const char* const kMacKey = "0123456789ABCDEF";
const char* const kEmvApp = "POSDEMO1";

int g_failures = 0;

// Prints one step; `ok` says whether the result is what the step expects.
int Step(const char* what, int result, bool ok) {
    std::printf("%-44s %4d  %s%s\n", what, result, ornGetErrorString(result),
                ok ? "" : "   <-- FAILED");
    if (!ok) ++g_failures;
    return result;
}

// A line of detail under the step before.
void Detail(const std::string& text) {
    std::printf("%-44s       %s\n", "", text.c_str());
}

// The outcome of a ...Req command. The library calls back on its own thread; main waits here.
template <typename T>
class Outcome {
  public:
    void Set(int status, T value) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            status_ = status;
            value_ = std::move(value);
            done_ = true;
        }
        changed_.notify_all();
    }
    // Waits until the callback came or the deadline passed; false on timeout.
    bool Wait(int& status, T& value) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto deadline = std::chrono::steady_clock::now() + kCallbackWait;
        if (!changed_.wait_until(lock, deadline, [this] { return done_; })) return false;
        status = status_;
        value = value_;
        return true;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    int status_ = 0;
    T value_{};
};

Outcome<char> g_functionKey;
Outcome<std::string> g_tipEntry;

void OnFunctionKey(int status, char key) {
    g_functionKey.Set(status, key);
}

void OnTipEntry(int status, int length, char* text) {
    g_tipEntry.Set(status, status == 0 && text && length >= 0 ? std::string(text) : std::string());
}

// Data a terminal application sends on its own; this sale expects none.
void OnEmvData(int, const unsigned char*, int) {}

// The account number on a track 2 ("PAN=expiry..."), or "" when there is none.
std::string AccountFromTrack2(const std::string& track2) {
    size_t end = track2.find('=');
    if (end == std::string::npos) return "";
    size_t start = !track2.empty() && (track2[0] == ';' || track2[0] == 'B') ? 1 : 0;
    return track2.substr(start, end - start);
}

// The account number with all but the first six and the last four digits hidden.
std::string Masked(const std::string& account) {
    if (account.size() <= 10) return std::string(account.size(), '*');
    return account.substr(0, 6) + std::string(account.size() - 10, '*') +
           account.substr(account.size() - 4);
}

void RunSale(const std::string& port) {
    int result = ornCheckConnectionStatus();
    Step("ornCheckConnectionStatus", result, result == 0);
    result = ornBeep(7);
    Step("ornBeep(7)", result, result == 0);
    result = ornPromptRegister(5, "Montant OK? Caf\xE9", "00000000");
    Step("ornPromptRegister(5, accented prompt)", result, result == 0);

    char response[64] = "";
    result = ornGenericAsciiCommand("5B", "1", response, static_cast<int>(sizeof response));
    Step("ornGenericAsciiCommand(\"5B\", \"1\")", result, result >= 0);
    if (result >= 0) Detail("answer \"" + std::string(response) + "\"");

    char clock[30] = "";
    result = ornGetDateTimeString(2, clock);
    Step("ornGetDateTimeString(2)", result, result == 0);
    if (result == 0) Detail(std::string("terminal clock: ") + clock);

    result = ornDisplay("Caf\xE9 du Port", "1 cr\xE8me    3.50", "1 g\xE2teau   4.20",
                        "Total       7.70");
    Step("ornDisplay(the basket, accented)", result, result == 0);

    char key = 0;
    result = ornAmountConfirmationWait(1, 770, "EUR", &key);
    Step("ornAmountConfirmationWait(7.70 EUR)", result, result == 0);
    if (result == 0) Detail(std::string("cardholder pressed '") + key + "'");

    int length = 8;
    char postcode[9] = "";
    result = ornDisplayAndWaitForInputWait(2, 1, 0, "Code postal ?", 255, &length, postcode);
    Step("ornDisplayAndWaitForInputWait(postcode)", result, result == 0);
    if (result == 0) Detail("entered \"" + std::string(postcode) + "\"");

    // A request with a callback: the call returns once the terminal took it; the key comes later.
    auto asked = std::chrono::steady_clock::now();
    result =
        ornFunctionKeyPromptReq("Ticket ?", "F1 oui   F4 non", nullptr, nullptr, OnFunctionKey);
    Step("ornFunctionKeyPromptReq(receipt?)", result, result == 0);
    if (result == 0) {
        int status = ORN_ERR_API_TIMEOUT;
        char pressed = 0;
        bool called = g_functionKey.Wait(status, pressed);
        Step("  its callback", status, called && status == 0);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - asked)
                      .count();
        if (called && status == 0)
            Detail(std::string("key '") + pressed + "' after " + std::to_string(ms) + " ms");
    }

    // A second request the cardholder has not answered yet: the cashier cancels it.
    result = ornDisplayAndWaitForInputReq(2, 1, 0, "Pourboire ?", 255, 4, OnTipEntry);
    Step("ornDisplayAndWaitForInputReq(tip)", result, result == 0);
    if (result == 0) {
        result = ornCancel();
        Step("ornCancel while the tip entry is pending", result, result == 0);
        int status = 0;
        std::string tip;
        bool called = g_tipEntry.Wait(status, tip);
        Step("  tip entry callback reports the cancel", called ? status : ORN_ERR_API_TIMEOUT,
             called && status == ORN_ERR_CANCELED_BY_USER_ERROR);
    }

    int t1Status = -1, t1Length = 0, t2Status = -1, t2Length = 0;
    char track1[255] = {}, track2[255] = {};
    result = ornSwipeMagStripeCardWait(3, 30000, &t1Status, &t1Length, track1, &t2Status, &t2Length,
                                       track2);
    Step("ornSwipeMagStripeCardWait(both tracks)", result, result == 0);
    std::string account;
    if (result == 0) {
        account = AccountFromTrack2(std::string(track2, static_cast<size_t>(t2Length)));
        Detail("track 1: " + std::to_string(t1Length) +
               " bytes, track 2: " + std::to_string(t2Length) + " bytes, card " + Masked(account));
    }
    if (account.size() != 16) account = kFallbackAccount;

    char pinBlock[17] = "", ksn[21] = "";
    result = ornDukptPinWait(0, 6, 0, account.c_str(), nullptr, pinBlock, ksn);
    Step("ornDukptPinWait(card account)", result, result == 0);
    if (result == 0) Detail("PIN block received, KSN " + std::string(ksn));

    const char* macData = "SALE;AMOUNT=7.70;CUR=EUR;PORT=";
    const std::string macText = macData + port;
    char mac[17] = "";
    result = ornMacCalculationAsciiVarMode(0, 1, kMacKey, nullptr, macText.c_str(), mac);
    Step("ornMacCalculationAsciiVarMode", result, result == 0);
    if (result == 0) {
        Detail("MAC " + std::string(mac));
        int32_t match = 0;
        result =
            ornMacVerificationAsciiVarMode(0, 1, kMacKey, nullptr, mac, macText.c_str(), &match);
        Step("ornMacVerificationAsciiVarMode", result, result == 0 && match == 1);
    }

    result = ornEmvRegisterZeth(kEmvApp);
    Step("ornEmvRegisterZeth(POSDEMO1)", result, result == 0);
    result = ornEmvOpenSession(kEmvApp, OnEmvData);
    Step("ornEmvOpenSession(POSDEMO1)", result, result == 0);
    if (result == 0) {
        const unsigned char request[] = {0x9F, 0x02, 0x06, 0x00, 0x00, 0x00, 0x00, 0x07, 0x70};
        result = ornEmvSendAsync(kEmvApp, request, static_cast<int>(sizeof request));
        Step("ornEmvSendAsync(amount, 9 bytes)", result, result == 0);
        result = ornEmvCloseSession(kEmvApp);
        Step("ornEmvCloseSession(POSDEMO1)", result, result == 0);
    }

    result = ornBeep(16);
    Step("ornBeep(16) is refused, nothing sent", result,
         result == ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
    result = ornReturnToIdle(0);
    Step("ornReturnToIdle(0)", result, result == 0);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string port = argc > 1 ? argv[1] : "COM7";
    const std::string log = argc > 2 ? argv[2] : "orn_demo.log";

    std::printf("VelquoraORN %s demo on %s\n\n", ornGetVersion(), port.c_str());

    int result = ornInit(port.c_str(), log.c_str(), ORN_LOGGER_FINE);
    Step("ornInit (open link, log, ready check)", result, result == 0);
    if (result != 0) {
        std::printf("\nNo terminal answered on %s. Start the simulator first (see README).\n",
                    port.c_str());
        return 1;
    }
    RunSale(port);
    ornClose();
    result = ornPing();
    Step("ornClose; ornPing afterwards", result, result == ORN_ERR_COMM_PORT_NOT_OPEN);

    // The log rotates through name.0 .. name.9; the newest file has the highest number.
    for (int n = 9; n >= 0; --n) {
        const std::string path = log + "." + std::to_string(n);
        if (std::FILE* file = std::fopen(path.c_str(), "r")) {
            std::fclose(file);
            std::printf("\nLog file: %s\n", path.c_str());
            break;
        }
    }
    std::printf("%s\n", g_failures == 0 ? "Demo succeeded." : "Demo FAILED.");
    return g_failures == 0 ? 0 : 1;
}
