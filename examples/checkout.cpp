// A checkout as a POS application runs it, for developing against the driven terminal
// simulator (see the README and examples/checkout.ornsim): the cardholder swipes, enters the
// PIN, and the debit runs until the terminal approves it (a declined debit is tried again, at
// most three times). Prints each step; exits 0 once a debit was approved.
//
//   checkout [PORT]   (default COM7, found through ORN_PORT_DIR)
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "velquoraorn.h"

namespace {

const char* const kPinKey = "0123456789ABCDEF";  // the session key the PIN block comes under
const int kAmountCents = 2495;

// The debit's outcome, from the library's callback thread.
std::mutex g_mutex;
std::condition_variable g_changed;
bool g_done = false;
int g_status = 0;
std::string g_text;

void ORN_CALL OnDebit(int status, uint32_t, uint32_t, uint32_t, char, char*, char*,
                      char* firstText) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_status = status;
    g_text = firstText ? firstText : "";
    g_done = true;
    g_changed.notify_all();
}

// The account number of a track 2 ("PAN=expiry...").
std::string AccountOf(const std::string& track2) {
    return track2.substr(0, track2.find('='));
}

}  // namespace

int main(int argc, char** argv) {
    const char* port = argc > 1 ? argv[1] : "COM7";
    int result = ornInit(port, nullptr, 0);
    std::printf("open %s: %s\n", port, ornGetErrorString(result));
    if (result != 0) return 1;

    ornDisplay("Total     24.95", "Swipe your card", nullptr, nullptr);
    int status2 = 0, length2 = 0;
    char track2[255];
    result =
        ornSwipeMagStripeCardWait(2, 60000, nullptr, nullptr, nullptr, &status2, &length2, track2);
    if (result != 0) {
        std::printf("swipe: %s\n", ornGetErrorString(result));
        ornClose();
        return 1;
    }
    const std::string account = AccountOf(std::string(track2, static_cast<size_t>(length2)));
    std::printf("card swiped: account ending %s\n", account.substr(account.size() - 4).c_str());

    char pinBlock[17] = "";
    result = ornMasterSessionPinEntryWait(0, 6, 0, 0, account.c_str(), kPinKey, nullptr, nullptr,
                                          pinBlock);
    std::printf("PIN entered: status %d, PIN block %s\n", result, pinBlock);

    bool approved = false;
    for (int attempt = 1; attempt <= 3 && !approved && result == 0; ++attempt) {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_done = false;
        }
        result = ornDebitSequenceStartReq(0, 30, 0, 0, 30, 6, nullptr, kAmountCents, 0, 0, 0, 1,
                                          kPinKey, nullptr, account.c_str(), OnDebit);
        if (result != 0) break;
        std::unique_lock<std::mutex> lock(g_mutex);
        if (!g_changed.wait_for(lock, std::chrono::seconds(60), [] { return g_done; })) break;
        approved = g_status == 0;
        if (approved)
            std::printf("debit %d: approved (%s)\n", attempt, g_text.c_str());
        else
            std::printf("debit %d: declined, status %d\n", attempt, g_status);
    }
    ornDisplay(approved ? "Approved" : "Not approved", "Thank you", nullptr, nullptr);
    ornClose();
    return approved ? 0 : 1;
}
