// Every callback kind's decoding of an asynchronous command's response: the record is given the
// response as the engine stores it and its callback is invoked on this thread. The callbacks
// read every text and byte range they are handed, so a decoding that hands out an unterminated
// text or a length beyond its buffer is caught.
#include <cstring>
#include <string>

#include "engine/callbacks.h"
#include "engine/command_data.h"
#include "fuzz_support.h"
#include "velquoraorn.h"

using namespace orn;

namespace {

volatile unsigned g_sink;

void Text(const char* text, size_t limit, const char* what) {
    fuzz::Check(text != nullptr && std::strlen(text) <= limit, what);
}

void Bytes(const void* data, int length, int limit, const char* what) {
    fuzz::Check(length >= 0 && length <= limit, what);
    const auto* p = static_cast<const unsigned char*>(data);
    for (int i = 0; i < length; ++i) g_sink += p[i];
}

void OnFkey(int, char) {}
void OnInput(int, int, char* text) {
    Text(text, 32, "INPUT text");
}
void OnStatus(int) {}
void OnDukpt(int, char* pinBlock, char* ksn) {
    Text(pinBlock, 16, "DUKPT PIN block");
    Text(ksn, 20, "DUKPT key serial number");
}
void OnPin(int, char* pinBlock) {
    Text(pinBlock, 16, "PIN block");
}
void OnDebit(int, uint32_t, uint32_t, uint32_t, char, char* pinBlock, char* second, char* first) {
    Text(pinBlock, 16, "DEBIT PIN block");
    Text(second, 76, "DEBIT second text");
    Text(first, 36, "DEBIT first text");
}
void OnScroll(int, int, int) {}
void OnMsr(int, int, int length1, char* track1, int, int length2, char* track2) {
    Bytes(track1, length1, 76, "MSR track 1");
    Bytes(track2, length2, 37, "MSR track 2");
}
void OnMsrDisplay(int, char* track1, char* track2, char) {
    Text(track1, 76, "MSRDISPLAY track 1");
    Text(track2, 36, "MSRDISPLAY track 2");
}
void OnAtr(int, char, unsigned char* data, int length) {
    Bytes(data, length, ORN_SMART_CARD_DATA_SIZE, "SMARTCARDATR data");
}

// The callback kind a response of `id` is decoded with; others take the kind from the variant.
int32_t KindFor(const std::string& id, uint8_t variant) {
    if (id == "58." || id == "68.") return kCallbackInput;
    if (id == "31.") return kCallbackDukpt;
    if (id == "41." || id == "69." || id == "6H.") return kCallbackPin;
    if (id == "6B.") return kCallbackDebit;
    if (id == "6C.") return kCallbackScroll;
    if (id == "67.") return kCallbackMsrDisplay;
    if (id == "57." || id == "5E.") return kCallbackFkey;
    if (id == "42." || id == "47.") return kCallbackDecryptDisplay;
    if (id == "F0.") {
        static const int32_t kReader[] = {kCallbackMsr, kCallbackSmartCard, kCallbackSmartCardAtr};
        return kReader[variant % 3];
    }
    return 1 + variant % kCallbackSmartCardAtr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::Message m = fuzz::ReadMessage(data, size);
    const int32_t kind = KindFor(m.id, m.variant);
    CCommandData* record = new CCommandData();
    record->SetName("ornDisplayAndWaitForInputReq");
    record->SetLengthField((m.variant & 0x40) == 0);  // the no-length form of keypad entry
    record->SetCallbackOption((m.variant >> 2) & 3);
    // Mostly a completed exchange; now and then a failed one, which decodes nothing.
    record->SetResult((m.variant & 0x30) == 0x30 ? -2 : 0);
    record->SetResponse(reinterpret_cast<const unsigned char*>(m.payload.data()),
                        static_cast<int>(m.payload.size()));
    switch (kind) {
        case kCallbackFkey:
            record->SetCallback(kind, OnFkey);
            break;
        case kCallbackInput:
            record->SetCallback(kind, OnInput);
            break;
        case kCallbackDecryptDisplay:
        case kCallbackSmartCard:
            record->SetCallback(kind, OnStatus);
            break;
        case kCallbackDukpt:
            record->SetCallback(kind, OnDukpt);
            break;
        case kCallbackPin:
            record->SetCallback(kind, OnPin);
            break;
        case kCallbackDebit:
            record->SetCallback(kind, OnDebit);
            break;
        case kCallbackScroll:
            record->SetCallback(kind, OnScroll);
            break;
        case kCallbackMsr:
            record->SetCallback(kind, OnMsr);
            break;
        case kCallbackMsrDisplay:
            record->SetCallback(kind, OnMsrDisplay);
            break;
        default:
            record->SetCallback(kind, OnAtr);
            break;
    }
    record->InvokeCallback();
    record->Release();
    return 0;
}
