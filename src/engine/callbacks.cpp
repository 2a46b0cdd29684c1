// CCommandData::InvokeCallback: turns the response of an asynchronous command into the
// arguments of its user callback and calls it. Runs on the record's callback thread with no
// engine lock held; the record's state (USER_CALLBACK) keeps everyone else away from it.
#include "engine/callbacks.h"

#include <algorithm>
#include <cstring>

#include "engine/command_data.h"
#include "engine/generic_handler.h"
#include "link/catalogue.h"
#include "velquoraorn.h"

namespace orn {

namespace {

void LogCut(int32_t kind, size_t length, size_t kept) {
    Engine().Logger().Log(kLogSevere, "%s callback: reply of %u bytes cut to %u",
                          GetCallbackKindName(kind), static_cast<unsigned>(length),
                          static_cast<unsigned>(kept));
}

// Copies `text` into a terminated buffer of `size` bytes, cutting what does not fit. Returns the
// number of characters stored.
size_t CopyText(int32_t kind, char* buffer, size_t size, const std::string& text) {
    size_t length = text.size();
    if (length > size - 1) {
        LogCut(kind, length, size - 1);
        length = size - 1;
    }
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return length;
}

// Copies what arrived of a reader-channel track into its buffer, cut to it.
int CopyTrack(int32_t kind, const catalogue::ReaderTrack& track, char* buffer, size_t size) {
    size_t kept = track.data.size();
    if (kept > size - 1) {
        LogCut(kind, kept, size - 1);
        kept = size - 1;
    }
    std::memcpy(buffer, track.data.data(), kept);
    return static_cast<int>(kept);
}

void InvokeMsr(const CCommandData& record, const std::string& answer) {
    int status = record.GetResult();
    int track1Status = 0, track1Length = 0, track2Status = 0, track2Length = 0;
    char track1[kMsrTrack1BufferSize] = {};
    char track2[kMsrTrack2BufferSize] = {};
    const int32_t option = record.GetCallbackOption();
    if (status == 0 && option != 0) {
        const catalogue::ReaderSwipe swipe = catalogue::ReadReaderSwipe(answer, option == 3);
        const int32_t kind = kCallbackMsr;
        status = swipe.blocks > 0 ? swipe.first.status : ORN_ERR_WRONG_RESPONSE_ERROR;
        if (option == 1) {
            track1Status = swipe.first.status;
            track1Length = CopyTrack(kind, swipe.first, track1, sizeof track1);
        } else {
            track2Status = swipe.first.status;
            track2Length = CopyTrack(kind, swipe.first, track2, sizeof track2);
            track1Status = swipe.second.status;
            track1Length = CopyTrack(kind, swipe.second, track1, sizeof track1);
        }
    }
    reinterpret_cast<ornMsrCallback>(record.GetCallback())(
        status, track1Status, track1Length, track1, track2Status, track2Length, track2);
}

void InvokeMsrDisplay(const CCommandData& record, const std::string& answer, int status) {
    char track1[kMsrTrack1BufferSize] = {};
    char track2[kMsrDisplayTrack2BufferSize] = {};
    char flag = 0;
    if (status == 0) {
        const catalogue::SwipeAnswer swipe = catalogue::ReadSwipe(answer);
        flag = swipe.source;
        CopyText(kCallbackMsrDisplay, track2, sizeof track2, swipe.track2);
        CopyText(kCallbackMsrDisplay, track1, sizeof track1, swipe.track1);
    }
    reinterpret_cast<ornMsrDisplayCallback>(record.GetCallback())(status, track1, track2, flag);
}

void InvokeSmartCardAtr(const CCommandData& record, const std::string& answer) {
    int status = record.GetResult();
    char type = 0;
    unsigned char data[kAtrBufferSize] = {};
    int length = 0;
    if (status == 0) status = catalogue::ReadReaderStatus(answer);
    catalogue::ReaderBlock block;
    if (status == 0 && catalogue::ReadReaderBlock(answer, &block) && !block.bytes.empty()) {
        type = block.bytes[0];
        size_t kept = block.bytes.size() - 1;
        if (kept > sizeof data) {
            LogCut(kCallbackSmartCardAtr, kept, sizeof data);
            kept = sizeof data;
        }
        std::memcpy(data, block.bytes.data() + 1, kept);
        length = static_cast<int>(kept);
    }
    reinterpret_cast<ornSmartCardAtrCallback>(record.GetCallback())(status, type, data, length);
}

}  // namespace

void DecodeDebitCallback(const std::string& response, DebitCallbackArgs* args) {
    const catalogue::DebitAnswer reply = catalogue::ReadDebit(response);
    args->firstValue = reply.firstValue;
    args->secondValue = reply.secondValue;
    args->thirdValue = reply.thirdValue;
    args->code = reply.code;
    CopyText(kCallbackDebit, args->pinBlock, sizeof args->pinBlock, reply.pinBlock);
    CopyText(kCallbackDebit, args->firstText, sizeof args->firstText, reply.firstText);
    CopyText(kCallbackDebit, args->secondText, sizeof args->secondText, reply.secondText);
}

void CCommandData::InvokeCallback() {
    const int32_t kind = m_nCallbackKind;
    // An input that ended no longer needs its auto-cancel timer, whether or not anybody is
    // told. The debit sequence waits for keypad input too: a timer left running would cancel
    // whatever command happens to be pending when it fires.
    if (kind == kCallbackFkey || kind == kCallbackInput || kind == kCallbackDebit)
        Engine().StopInputAutoCancel();
    if (!m_pCallback) return;

    std::string answer;
    const unsigned char* data = nullptr;
    const int32_t size = GetResponseData(&data);
    if (data && size > 0) answer.assign(reinterpret_cast<const char*>(data), size);
    // The general rule; the MSR, SMARTCARD and SMARTCARDATR kinds take their status elsewhere.
    int status = m_nResult;
    if (status == 0) status = catalogue::ReadStatus(answer);

    switch (kind) {
        case kCallbackFkey:
            reinterpret_cast<ornFkeyCallback>(m_pCallback)(
                status, status == 0 ? catalogue::ReadKey(answer) : '0');
            break;
        case kCallbackInput: {
            int length = -1;
            char text[kInputTextBufferSize] = {};
            if (status == 0) {
                const catalogue::EntryAnswer entry = catalogue::ReadEntry(answer, m_bLengthField);
                const size_t copied = CopyText(kind, text, sizeof text, entry.text);
                length = m_bLengthField ? entry.length : static_cast<int>(copied);
            }
            reinterpret_cast<ornInputCallback>(m_pCallback)(status, length, text);
            break;
        }
        case kCallbackDecryptDisplay:
            reinterpret_cast<ornDecryptDisplayCallback>(m_pCallback)(status);
            break;
        case kCallbackDukpt: {
            char pinBlock[kPinBlockBufferSize] = {};
            char ksn[kKsnBufferSize] = {};
            if (status == 0) {
                const catalogue::DukptPinAnswer pin = catalogue::ReadDukptPin(answer);
                CopyText(kind, pinBlock, sizeof pinBlock, pin.pinBlock);
                CopyText(kind, ksn, sizeof ksn, pin.ksn);
            }
            reinterpret_cast<ornDukptCallback>(m_pCallback)(status, pinBlock, ksn);
            break;
        }
        case kCallbackPin: {
            char pinBlock[kPinBlockBufferSize] = {};
            if (status == 0)
                CopyText(kind, pinBlock, sizeof pinBlock, catalogue::ReadPinBlock(answer));
            reinterpret_cast<ornPinCallback>(m_pCallback)(status, pinBlock);
            break;
        }
        case kCallbackDebit: {
            DebitCallbackArgs args;
            if (status == 0) DecodeDebitCallback(answer, &args);
            reinterpret_cast<ornDebitCallback>(m_pCallback)(
                status, args.firstValue, args.secondValue, args.thirdValue, args.code,
                args.pinBlock, args.secondText, args.firstText);
            break;
        }
        case kCallbackScroll: {
            catalogue::ScrollAnswer scroll;
            if (status == 0) {
                scroll = catalogue::ReadScroll(answer);
                if (!scroll.expectedLength)
                    Engine().Logger().Log(kLogSevere, "%s", catalogue::kScrollLengthWarning);
            }
            reinterpret_cast<ornScrollCallback>(m_pCallback)(status, scroll.selection, scroll.data);
            break;
        }
        case kCallbackMsr:
            InvokeMsr(*this, answer);
            break;
        case kCallbackMsrDisplay:
            InvokeMsrDisplay(*this, answer, status);
            break;
        case kCallbackSmartCard:
            reinterpret_cast<ornSmartCardCallback>(m_pCallback)(
                m_nResult != 0 ? m_nResult : catalogue::ReadReaderStatus(answer));
            break;
        case kCallbackSmartCardAtr:
            InvokeSmartCardAtr(*this, answer);
            break;
        default:
            // EMV, power-up and connection state callbacks do not go through a record.
            break;
    }
}

}  // namespace orn
