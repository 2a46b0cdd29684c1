// Every command's answer parser and every Req's callback decoding, through the whole library: the
// library is opened against a terminal (fuzz_support.h: the terminal simulator on a pty, or the
// simulation's scripted terminal), and the first message a command sends is answered with the
// fuzzer's payload instead of the terminal's own. The blocking forms' outputs and the callbacks'
// arguments are checked against the buffer sizes the header gives (the buffers have exactly
// those sizes, so AddressSanitizer sees any write past them).
//
// A command whose answer the library cannot match (a reader answer routed elsewhere) is ended by
// the cancels after a short while, as a cashier would; a call that still does not return, or a
// Req whose callback never comes, fails the run.
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/platform.h"
#include "velquoraorn.h"

using namespace orn;

namespace {

constexpr uint32_t kCancelAfterMs = 50;
constexpr uint32_t kHungAfterMs = 60000;

const char* const kKey16 = "0123456789ABCDEF";
const char* const kKey32 = "0123456789ABCDEFFEDCBA9876543210";
const char* const kAccount = "4000001234567899";
constexpr uint8_t kMsr = 4;  // reader channels
constexpr uint8_t kCard = 7;

// Req callbacks.
std::atomic<int> g_nCallbacks{0};
platform::Event g_CallbackArrived(false);

void CallbackCame() {
    ++g_nCallbacks;
    g_CallbackArrived.Set();
}

// True once more than `before` callbacks came, waiting up to `ms` for each.
bool AwaitCallback(int before, uint32_t ms) {
    while (g_nCallbacks <= before)
        if (g_CallbackArrived.Wait(ms) != platform::WaitResult::Signalled)
            return g_nCallbacks > before;
    return true;
}

volatile unsigned g_Sink;

std::vector<char> Buffer(size_t size) {
    return std::vector<char>(size, '#');
}

void Text(const char* text, size_t limit, const char* what) {
    fuzz::Check(text != nullptr && std::strlen(text) <= limit, what);
}

void Bytes(const void* data, int length, int limit, const char* what) {
    fuzz::Check(length >= 0 && length <= limit, what);
    for (int i = 0; i < length; ++i) g_Sink += static_cast<const unsigned char*>(data)[i];
}

// ---- callbacks of the Req forms -------------------------------------------------------------

void OnFkey(int, char) {
    CallbackCame();
}
void OnInput(int, int, char* text) {
    Text(text, 32, "INPUT text");
    CallbackCame();
}
void OnStatus(int) {
    CallbackCame();
}
void OnDukpt(int, char* pinBlock, char* ksn) {
    Text(pinBlock, 16, "DUKPT PIN block");
    Text(ksn, 20, "DUKPT key serial number");
    CallbackCame();
}
void OnPin(int, char* pinBlock) {
    Text(pinBlock, 16, "PIN block");
    CallbackCame();
}
void OnDebit(int, uint32_t, uint32_t, uint32_t, char, char* pinBlock, char* second, char* first) {
    Text(pinBlock, 16, "DEBIT PIN block");
    Text(second, 76, "DEBIT second text");
    Text(first, 36, "DEBIT first text");
    CallbackCame();
}
void OnScroll(int, int, int) {
    CallbackCame();
}
void OnMsr(int, int, int length1, char* track1, int, int length2, char* track2) {
    Bytes(track1, length1, 76, "MSR track 1");
    Bytes(track2, length2, 37, "MSR track 2");
    CallbackCame();
}
void OnMsrDisplay(int, char* track1, char* track2, char) {
    Text(track1, 76, "MSRDISPLAY track 1");
    Text(track2, 36, "MSRDISPLAY track 2");
    CallbackCame();
}
void OnAtr(int, char, unsigned char* data, int length) {
    Bytes(data, length, ORN_SMART_CARD_DATA_SIZE, "SMARTCARDATR data");
    CallbackCame();
}

// ---- the commands ----------------------------------------------------------------------------

struct Entry {
    const char* id;  // the message the command sends first (for the recorded seeds)
    bool req;        // a Req form: 0 means a callback will come
    std::function<int(uint8_t variant)> run;
    // The byte at payload position 2 by which the engine routes a raw-data answer (reader
    // channel, MAC operation); 0 for none. The harness usually puts it there so that the answer
    // reaches the parser instead of waiting for the cancels.
    uint8_t selector = 0;
};

std::string List() {
    std::vector<char> list(512, '\0');
    ornAddListItem(list.data(), "First", 512);
    ornAddListItemWithData(list.data(), "Second", 0x1234, 512);
    return list.data();
}

const std::vector<Entry>& Commands() {
    static const std::vector<Entry> commands = {
        {"5B.", false, [](uint8_t) { return ornBeep(1); }},
        {"5B.", false,
         [](uint8_t v) {
             auto r = Buffer(1 + v % 64);
             int n = ornGenericAsciiCommand("5B", "1", r.data(), static_cast<int>(r.size()));
             Text(r.data(), r.size() - 1, "generic answer");
             return n;
         }},
        {"6T.", false,
         [](uint8_t v) {
             auto t = Buffer(30);
             int n = ornGetDateTimeString(v % 9, t.data());
             Text(t.data(), 29, "date text");
             int y, mo, d, h, mi, s;
             ornGetDateTime(&y, &mo, &d, &h, &mi, &s);
             return n;
         }},
        {"5D.", false,
         [](uint8_t v) {
             auto info = Buffer(v & 1 ? 4096 : 28);
             int n = (v & 1)   ? ornDeviceInfoAllVersions(info.data())
                     : (v & 2) ? ornDeviceInfoDetailed(info.data())
                               : ornDeviceInfo(info.data());
             if (n == 0 || (v & 1)) Text(info.data(), info.size() - 1, "device info");
             auto type = Buffer(6);
             ornDeviceInfoType(type.data());
             return n;
         }},
        {"51.", false,
         [](uint8_t) {
             auto serial = Buffer(17);
             int n = ornGetSerialNumber(serial.data());
             Text(serial.data(), 16, "serial number");
             return n;
         }},
        {"F0.", false, [](uint8_t) { return ornApplicationUpdate(); }},
        {"57.", false,
         [](uint8_t) {
             char key = 0;
             return ornAmountConfirmationWait(1, 770, "EUR", &key);
         }},
        {"5E.", false,
         [](uint8_t) {
             char key = 0;
             return ornFunctionKeyPromptWait("Receipt?", "F1 yes", nullptr, nullptr, &key);
         }},
        {"5F.", false, [](uint8_t) { return ornKeyboardCheck(); }},
        {"58.", false,
         [](uint8_t v) {
             int length = v % 33;
             auto text = Buffer(length == 0 ? 33 : length + 1);
             int n = ornDisplayAndWaitForInputWait(2, 1, 0, "Amount ?", 255, &length, text.data());
             Text(text.data(), text.size() - 1, "entered text");
             return n;
         }},
        {"68.", false,
         [](uint8_t v) {
             int length = v % 33;
             auto text = Buffer(length == 0 ? 33 : length + 1);
             int n = ornClearTextEntryWithStoredPromptWait(3, 2, 1, 4, &length, text.data());
             Text(text.data(), text.size() - 1, "entered text");
             return n;
         }},
        {"6C.", false,
         [](uint8_t) {
             int selection = 0, data = 0;
             return ornScrollListWait(0, 1, 1, 0, 1, 0, 1, "T1", "T2", "T3", "T4", List().c_str(),
                                      &selection, &data);
         }},
        {"5C.", false,
         [](uint8_t v) {
             auto block = Buffer(9), record = Buffer(301);
             int n = (v & 1) ? ornReadDataTable(record.data()) : ornReadBlock(block.data());
             Text(block[0] == '#' ? "" : block.data(), 8, "block");
             Text(record[0] == '#' ? "" : record.data(), 300, "record");
             return n;
         }},
        {"62.", false,
         [](uint8_t v) {
             int a = 0, b = 0;
             return (v & 1) ? ornDataTableInquiry(&a) : ornDataTableRecordsInquiry(&a, &b);
         }},
        {"40.", false,
         [](uint8_t) { return ornLoadMasterSessionKey(1, 2, kKey16, nullptr, nullptr, 1); }},
        {"53.", false,
         [](uint8_t v) {
             auto value = Buffer(7);
             int n = (v & 1) ? ornDiagnosticKeyRequestKeyType('T', value.data())
                             : ornDiagnosticKeyRequest('m', 3, value.data());
             Text(value.data(), 6, "key value");
             return n;
         }},
        {"42.", false,
         [](uint8_t v) {
             auto result = Buffer(17);
             int n = (v & 1) ? ornDataEncryptionCipher(1, 2, kKey16, nullptr, kKey16, result.data())
                             : ornDataEncryption(2, kKey16, nullptr, kKey16, result.data());
             Text(result.data(), 16, "encryption result");
             return n;
         }},
        {"42.", false,
         [](uint8_t v) {
             return (v & 1)
                        ? ornDecryptAndDisplayInAsciiWait(1, 1, 2, kKey16, nullptr, kKey16, "TEXT")
                        : ornDecryptAndDisplayWait(1, 1, 1, 2, kKey16, nullptr, kKey16, "TEXT");
         }},
        {"43.", false,
         [](uint8_t v) {
             auto mac = Buffer(17);
             int32_t match = 0;
             int n;
             switch (v % 4) {
                 case 0:
                     n = ornMacCalculationAsciiMode(1, kKey16, nullptr, "ABCDEFGH", mac.data());
                     break;
                 case 1:
                     n = ornMacCalculationHexMode(1, kKey16, nullptr, kKey16, mac.data());
                     break;
                 case 2:
                     n = ornMacVerificationAsciiMode(1, kKey16, nullptr, "12345678", "ABCDEFGH",
                                                     &match);
                     break;
                 default:
                     n = ornMacVerificationHexMode(1, kKey16, nullptr, "12345678", kKey16, &match);
                     break;
             }
             Text(mac[0] == '#' ? "" : mac.data(), 16, "MAC");
             return n;
         }},
        {"64.", false,
         [](uint8_t v) {
             auto mac = Buffer(17);
             int32_t match = 0;
             const std::string data(v & 2 ? 300 : 20, 'D');
             int n;
             switch (v % 4) {
                 case 0:
                     n = ornMacCalculationAsciiVarMode(1, 1, kKey16, nullptr, "DATA", mac.data());
                     break;
                 case 1:
                     n = ornMacVerificationAsciiVarMode(1, 2, kKey32, "ABCDEF12", "12345678",
                                                        "DATA", &match);
                     break;
                 case 2:
                     n = ornXmacCalculationAsciiVarMode(1, 1, kKey16, nullptr, data.c_str(),
                                                        mac.data());
                     break;
                 default:
                     n = ornXmacVerificationAsciiVarMode(1, 1, kKey16, nullptr, "12345678",
                                                         data.c_str(), &match);
                     break;
             }
             Text(mac[0] == '#' ? "" : mac.data(), 16, "MAC");
             return n;
         }},
        {"F1.", false,
         [](uint8_t v) {
             auto mac = Buffer(17);
             const std::vector<unsigned char> data(v & 2 ? 1000 : 10, 0xA5);
             int n = ornBinaryMacCalculation(1, 1, kKey16, nullptr, data.data(),
                                             static_cast<int>(data.size()), mac.data());
             Text(mac[0] == '#' ? "" : mac.data(), 16, "MAC");
             return n;
         },
         'C'},
        {"F1.", false,
         [](uint8_t v) {
             int32_t match = 0;
             const std::vector<unsigned char> data(v & 2 ? 1000 : 10, 0xA5);
             return ornBinaryMacVerification(1, 1, kKey16, nullptr, "12345678", data.data(),
                                             static_cast<int>(data.size()), &match);
         },
         'E'},
        {"31.", false,
         [](uint8_t) {
             auto pin = Buffer(17), ksn = Buffer(21);
             int n = ornDukptPinWait(0, 2, 0, kAccount, nullptr, pin.data(), ksn.data());
             Text(pin.data(), 16, "PIN block");
             Text(ksn.data(), 20, "key serial number");
             return n;
         }},
        {"41.", false,
         [](uint8_t) {
             auto pin = Buffer(17);
             int n = ornMasterSessionPinEntryWait(0, 2, 0, 1, kAccount, kKey16, nullptr, nullptr,
                                                  pin.data());
             Text(pin.data(), 16, "PIN block");
             return n;
         }},
        {"69.", false,
         [](uint8_t v) {
             auto pin = Buffer(17);
             int n = (v & 1) ? ornMSPinWithDisplayExWait(0, 0, 1, kAccount, 1, kKey16, nullptr, 4,
                                                         12, nullptr, 0, 0, 255, "Line 1", nullptr,
                                                         nullptr, 2, pin.data())
                             : ornMSPinWithDisplayWait(0, 0, 1, kAccount, 1, kKey16, nullptr,
                                                       nullptr, 0, 0, 255, "Line 1", "Line 2",
                                                       nullptr, 2, pin.data());
             Text(pin.data(), 16, "PIN block");
             return n;
         }},
        {"F0.", false,
         [](uint8_t) {
             int s1 = 0, l1 = 0, s2 = 0, l2 = 0;
             auto t1 = Buffer(255), t2 = Buffer(255);
             int n = ornSwipeMagStripeCardWait(3, 2000, &s1, &l1, t1.data(), &s2, &l2, t2.data());
             Bytes(t1.data(), l1, 255, "track 1");
             Bytes(t2.data(), l2, 255, "track 2");
             return n;
         },
         kMsr},
        {"67.", false,
         [](uint8_t) {
             auto t1 = Buffer(ORN_TRACK1_TEXT_SIZE), t2 = Buffer(ORN_TRACK2_TEXT_SIZE);
             char source = 0;
             int n = ornMsrWithDisplayHandlingWait(3, 2, 0, 0, 0, "Swipe", nullptr, nullptr,
                                                   nullptr, t1.data(), t2.data(), &source);
             Text(t1.data(), ORN_TRACK1_TEXT_SIZE - 1, "track 1 text");
             Text(t2.data(), ORN_TRACK2_TEXT_SIZE - 1, "track 2 text");
             return n;
         }},
        {"F0.", false,
         [](uint8_t v) {
             unsigned char type = 0;
             std::vector<unsigned char> atr(ORN_SMART_CARD_DATA_SIZE);
             int length = 0;
             int n = (v & 1) ? ornWaitCardAndPowerUpAtrWait(2000, &type, atr.data(), &length)
                             : ornSmartCardPowerUp(&type, atr.data(), &length);
             Bytes(atr.data(), length, ORN_SMART_CARD_DATA_SIZE, "ATR");
             return n;
         },
         kCard},
        {"F0.", false,
         [](uint8_t v) {
             std::vector<unsigned char> data(ORN_SMART_CARD_DATA_SIZE, 0x42);
             int length = v % 32;
             unsigned char b1, b2, b3;
             int n = ornAsynchCardExecution(data.data(), &length, &b1, &b2, &b3);
             Bytes(data.data(), length, ORN_SMART_CARD_DATA_SIZE, "card answer");
             return n;
         },
         kCard},
        {"F0.", false,
         [](uint8_t v) {
             unsigned char type = 0;
             switch (v % 6) {
                 case 0:
                     return ornSmartCardCompareAtr(&type);
                 case 1:
                     return ornSmartCardPowerOff();
                 case 2:
                     return ornSmartCardStatus();
                 case 3:
                     return ornIsCardPresent();
                 case 4:
                     return ornWaitForSmartCardInsertionWait(2000);
                 default:
                     return ornSmartCardPowerOffAndRemovalWait(2000);
             }
         },
         kCard},
        // Req forms.
        {"5E.", true,
         [](uint8_t v) {
             return (v & 1)
                        ? ornAmountConfirmationReq(1, 770, "EUR", OnFkey)
                        : ornFunctionKeyPromptReq("Receipt?", nullptr, nullptr, nullptr, OnFkey);
         }},
        {"58.", true,
         [](uint8_t v) {
             return (v & 1) ? ornClearTextEntryWithStoredPromptReq(2, 1, 0, 4, v % 33, OnInput)
                            : ornDisplayAndWaitForInputReq(2, 1, 0, "Tip ?", 255, v % 33, OnInput);
         }},
        {"6C.", true,
         [](uint8_t) {
             return ornScrollListReq(0, 1, 1, 0, 1, 0, 1, "T1", "T2", "T3", "T4", List().c_str(),
                                     OnScroll);
         }},
        {"42.", true,
         [](uint8_t v) {
             return (v & 1) ? ornDecryptAndDisplayInAsciiReq(1, 1, 2, kKey16, nullptr, kKey16,
                                                             "TEXT", OnStatus)
                            : ornDecryptAndDisplayReq(1, 1, 1, 2, kKey16, nullptr, kKey16, "TEXT",
                                                      OnStatus);
         }},
        {"31.", true, [](uint8_t) { return ornDukptPinReq(0, 2, 0, kAccount, nullptr, OnDukpt); }},
        {"41.", true,
         [](uint8_t v) {
             return (v & 1)
                        ? ornMSPinWithDisplayReq(0, 0, 1, kAccount, 1, kKey16, nullptr, nullptr, 0,
                                                 0, 255, "Line 1", nullptr, nullptr, 2, OnPin)
                        : ornMasterSessionPinEntryReq(0, 2, 0, 1, kAccount, kKey16, nullptr,
                                                      nullptr, OnPin);
         }},
        {"6B.", true,
         [](uint8_t v) {
             return ornDebitSequenceStartReq(0, 10, v & 1, 1, 20, 1, nullptr, 770, 0, 0, 1, 1,
                                             kKey16, nullptr, (v & 1) ? nullptr : kAccount,
                                             OnDebit);
         }},
        {"F0.", true, [](uint8_t v) { return ornSwipeMagStripeCardReq(1 + v % 3, 2000, OnMsr); },
         kMsr},
        {"67.", true,
         [](uint8_t) {
             return ornMsrWithDisplayHandlingReq(3, 2, 0, 0, 0, "Swipe", nullptr, nullptr, nullptr,
                                                 OnMsrDisplay);
         }},
        {"F0.", true,
         [](uint8_t v) {
             switch (v % 3) {
                 case 0:
                     return ornWaitForSmartCardInsertionReq(2000, OnStatus);
                 case 1:
                     return ornSmartCardPowerOffAndRemovalReq(2000, OnStatus);
                 default:
                     return ornWaitCardAndPowerUpAtrReq(2000, OnAtr);
             }
         },
         kCard},
    };
    return commands;
}

// Picks the command: among those whose first message is the input's identifier when there are
// any, else among all.
const Entry& Pick(const fuzz::Message& m) {
    const auto& all = Commands();
    std::vector<const Entry*> same;
    for (const Entry& e : all)
        if (m.id == e.id) same.push_back(&e);
    if (!same.empty()) return *same[m.variant % same.size()];
    return all[m.variant % all.size()];
}

// Ends a command that waits for an answer the library could not match, as a cashier would.
void CancelEverything() {
    ornCancel();
    ornCancelMsrCommand();
    ornSmartCardCancel();
}

// Runs `call` on this thread; if it has not returned after a while another thread cancels.
int WithCancelsAfterAWhile(const std::function<int()>& call) {
    platform::Event done(true);
    platform::Thread watchdog;
    watchdog.Start([&done]() -> uint32_t {
        if (done.Wait(kCancelAfterMs) == platform::WaitResult::Signalled) return 0;
        CancelEverything();
        fuzz::Check(done.Wait(kHungAfterMs) == platform::WaitResult::Signalled,
                    "a command did not return after the cancels");
        return 0;
    });
    const int result = call();
    done.Set();
    watchdog.Join(platform::kInfinite);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Message m = fuzz::ReadMessage(data, size);
    const Entry& entry = Pick(m);
    // A text answer cannot hold the end byte (the frame would end there and fail its LRC); the
    // raw "F0."/"F1." answers travel P1.6-encoded and may hold anything.
    std::string answer = m.payload.substr(0, 4000);
    if (std::string(entry.id)[0] != 'F')
        for (char& c : answer)
            if (c == 0x03) c = 0x04;
    if (entry.selector && answer.size() > 2 && !(m.variant & 0x80))
        answer[2] = static_cast<char>(entry.selector);
    fuzz::WithOpenLibrary(fuzz::Schedule(data, size), [&] {
        fuzz::AnswerNext(answer);
        const int before = g_nCallbacks;
        const int result = WithCancelsAfterAWhile([&] { return entry.run(m.variant); });
        fuzz::AnswerNext(std::nullopt);
        // The callback comes with the answer, or with the cancels.
        if (entry.req && result == 0 && !AwaitCallback(before, kCancelAfterMs)) {
            CancelEverything();
            fuzz::Check(AwaitCallback(before, kHungAfterMs), "a Req's callback never came");
        }
    });
    return 0;
}
