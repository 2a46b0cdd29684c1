// CCommandData::InvokeCallback: turns the response of an asynchronous command into the
// arguments of its user callback and calls it. Runs on the record's callback thread with no
// engine lock held; the record's state (USER_CALLBACK) keeps everyone else away from it.
#include "engine/callbacks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/command_data.h"
#include "engine/generic_handler.h"
#include "link/debit_reply.h"
#include "velquoraorn.h"

namespace orn {

namespace {

// Bounded view of a record's response: every read past the end gives a default.
class ReplyBytes {
  public:
    explicit ReplyBytes(const CCommandData& record) {
        const unsigned char* data = nullptr;
        const int32_t length = record.GetResponseData(&data);
        if (data && length > 0) {
            m_pData = data;
            m_nSize = static_cast<size_t>(length);
        }
    }
    size_t Size() const { return m_nSize; }
    bool Has(size_t pos) const { return pos < m_nSize; }
    uint8_t Byte(size_t pos, uint8_t fallback = 0) const {
        return pos < m_nSize ? m_pData[pos] : fallback;
    }
    // Bytes from `pos` on (at most `count`); empty past the end.
    std::string From(size_t pos, size_t count = std::string::npos) const {
        if (pos >= m_nSize) return std::string();
        count = std::min(count, m_nSize - pos);
        return std::string(reinterpret_cast<const char*>(m_pData) + pos, count);
    }

  private:
    const unsigned char* m_pData = nullptr;
    size_t m_nSize = 0;
};

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

// The status digit of a response: its first character minus '0', modulo 256. A response
// without any character is a wrong response.
int StatusDigit(const ReplyBytes& reply) {
    if (!reply.Has(0)) return ORN_ERR_WRONG_RESPONSE_ERROR;
    return (reply.Byte(0) - 0x30) & 0xFF;
}

int HexDigitValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

int ParseNumber(const std::string& text, int base) {
    return static_cast<int>(std::strtol(text.c_str(), nullptr, base));
}

bool EndsWith(const char* text, const char* suffix) {
    const size_t length = std::strlen(text);
    const size_t suffixLength = std::strlen(suffix);
    return length >= suffixLength && std::strcmp(text + length - suffixLength, suffix) == 0;
}

// The last `count` characters of the response after its status character.
std::string LastCharacters(const ReplyBytes& reply, size_t count) {
    const size_t size = reply.Size();
    const size_t start = size > count + 1 ? size - count : 1;
    return reply.From(start);
}

// One track of the byte-coded reader answer: status byte, length byte, data. `remaining` is
// what is left of the answer's own byte count. Returns false when not even the status byte is
// there.
struct TrackReader {
    const ReplyBytes& reply;
    size_t pos;
    size_t remaining;

    bool Read(int32_t kind, int* status, int* length, char* buffer, size_t size) {
        if (remaining == 0 || !reply.Has(pos)) return false;
        *status = reply.Byte(pos++);
        --remaining;
        size_t declared = 0;
        if (remaining > 0 && reply.Has(pos)) {
            declared = reply.Byte(pos++);
            --remaining;
        }
        // The data ends where the answer or its count ends, whichever comes first.
        const size_t present =
            std::min({declared, remaining, reply.Size() > pos ? reply.Size() - pos : 0});
        size_t kept = present;
        if (kept > size - 1) {
            LogCut(kind, present, size - 1);
            kept = size - 1;
        }
        std::memcpy(buffer, reply.From(pos, kept).data(), kept);
        pos += present;
        remaining -= present;
        *length = static_cast<int>(kept);
        return true;
    }
};

void InvokeMsr(const CCommandData& record, const ReplyBytes& reply) {
    int status = record.GetResult();
    int track1Status = 0, track1Length = 0, track2Status = 0, track2Length = 0;
    char track1[kMsrTrack1BufferSize] = {};
    char track2[kMsrTrack2BufferSize] = {};
    const int32_t option = record.GetCallbackOption();
    if (status == 0 && option != 0) {
        // A 16-bit big-endian count of what follows it, then a byte that is skipped.
        size_t count = (static_cast<size_t>(reply.Byte(0)) << 8) | reply.Byte(1);
        TrackReader reader{reply, 3, count > 0 ? count - 1 : 0};
        const int32_t kind = kCallbackMsr;
        if (option == 1) {
            if (reader.Read(kind, &track1Status, &track1Length, track1, sizeof track1))
                status = track1Status;
            else
                status = ORN_ERR_WRONG_RESPONSE_ERROR;
        } else {
            if (reader.Read(kind, &track2Status, &track2Length, track2, sizeof track2))
                status = track2Status;
            else
                status = ORN_ERR_WRONG_RESPONSE_ERROR;
            if (option == 3 && reader.remaining > 0)
                reader.Read(kind, &track1Status, &track1Length, track1, sizeof track1);
        }
    }
    reinterpret_cast<ornMsrCallback>(record.GetCallback())(
        status, track1Status, track1Length, track1, track2Status, track2Length, track2);
}

void InvokeMsrDisplay(const CCommandData& record, const ReplyBytes& reply, int status) {
    char track1[kMsrTrack1BufferSize] = {};
    char track2[kMsrDisplayTrack2BufferSize] = {};
    char flag = 0;
    if (status == 0) {
        flag = static_cast<char>(reply.Byte(1));
        if (flag == '0') {
            size_t pos = 2;
            // Two decimal digits of length, then that many characters: track 2, then track 1.
            auto readTrack = [&](char* buffer, size_t size) {
                const int declared = ParseNumber(reply.From(pos, 2), 10);
                pos += 2;
                const std::string data =
                    reply.From(pos, declared > 0 ? static_cast<size_t>(declared) : 0);
                pos += data.size();
                CopyText(kCallbackMsrDisplay, buffer, size, data);
            };
            readTrack(track2, sizeof track2);
            readTrack(track1, sizeof track1);
        }
    }
    reinterpret_cast<ornMsrDisplayCallback>(record.GetCallback())(status, track1, track2, flag);
}

void InvokeSmartCardAtr(const CCommandData& record, const ReplyBytes& reply) {
    int status = record.GetResult();
    char type = 0;
    unsigned char data[kAtrBufferSize] = {};
    int length = 0;
    if (status == 0) status = reply.Has(3) ? reply.Byte(3) : ORN_ERR_WRONG_RESPONSE_ERROR;
    if (status == 0 && reply.Has(4)) {
        size_t pos = 4;
        size_t count = reply.Byte(pos++);
        // 255 escapes to a two-byte big-endian count.
        if (count == 255) {
            count = (static_cast<size_t>(reply.Byte(pos)) << 8) | reply.Byte(pos + 1);
            pos += 2;
        }
        if (reply.Has(pos)) {
            type = static_cast<char>(reply.Byte(pos++));
            const size_t declared = count > 0 ? count - 1 : 0;
            const std::string bytes = reply.From(pos, declared);
            size_t kept = bytes.size();
            if (kept > sizeof data) {
                LogCut(kCallbackSmartCardAtr, kept, sizeof data);
                kept = sizeof data;
            }
            std::memcpy(data, bytes.data(), kept);
            length = static_cast<int>(kept);
        }
    }
    reinterpret_cast<ornSmartCardAtrCallback>(record.GetCallback())(status, type, data, length);
}

}  // namespace

void DecodeDebitCallback(const std::string& response, DebitCallbackArgs* args) {
    const DebitReply reply = ParseDebitReply(response.data(), response.size());
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

    const ReplyBytes reply(*this);
    // The general rule; the MSR, SMARTCARD and SMARTCARDATR kinds take their status elsewhere.
    int status = m_nResult;
    if (status == 0) status = StatusDigit(reply);

    switch (kind) {
        case kCallbackFkey: {
            char key = '0';
            if (status == 0 && reply.Has(1)) key = static_cast<char>(reply.Byte(1));
            reinterpret_cast<ornFkeyCallback>(m_pCallback)(status, key);
            break;
        }
        case kCallbackInput: {
            int length = -1;
            char text[kInputTextBufferSize] = {};
            if (status == 0) {
                if (EndsWith(m_szName, "NoLength")) {
                    length = static_cast<int>(CopyText(kind, text, sizeof text, reply.From(1)));
                } else if (reply.Has(2)) {
                    // The terminal's length field: the first digit goes 8 bits up, not 4.
                    length = (HexDigitValue(reply.Byte(1)) << 8) | HexDigitValue(reply.Byte(2));
                    CopyText(kind, text, sizeof text, reply.From(3));
                }
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
                CopyText(kind, pinBlock, sizeof pinBlock, reply.From(1, 16));
                CopyText(kind, ksn, sizeof ksn, LastCharacters(reply, 20));
            }
            reinterpret_cast<ornDukptCallback>(m_pCallback)(status, pinBlock, ksn);
            break;
        }
        case kCallbackPin: {
            char pinBlock[kPinBlockBufferSize] = {};
            if (status == 0) CopyText(kind, pinBlock, sizeof pinBlock, LastCharacters(reply, 16));
            reinterpret_cast<ornPinCallback>(m_pCallback)(status, pinBlock);
            break;
        }
        case kCallbackDebit: {
            DebitCallbackArgs args;
            if (status == 0) DecodeDebitCallback(reply.From(0), &args);
            reinterpret_cast<ornDebitCallback>(m_pCallback)(
                status, args.firstValue, args.secondValue, args.thirdValue, args.code,
                args.pinBlock, args.secondText, args.firstText);
            break;
        }
        case kCallbackScroll: {
            int selection = 0;
            int data = -1;
            if (status == 0 && !DecodeScrollAnswer(reply.From(1), &selection, &data))
                Engine().Logger().Log(kLogSevere, "%s", kScrollLengthWarning);
            reinterpret_cast<ornScrollCallback>(m_pCallback)(status, selection, data);
            break;
        }
        case kCallbackMsr:
            InvokeMsr(*this, reply);
            break;
        case kCallbackMsrDisplay:
            InvokeMsrDisplay(*this, reply, status);
            break;
        case kCallbackSmartCard: {
            int cardStatus = m_nResult;
            if (cardStatus == 0)
                cardStatus = reply.Has(3) ? reply.Byte(3) : ORN_ERR_WRONG_RESPONSE_ERROR;
            reinterpret_cast<ornSmartCardCallback>(m_pCallback)(cardStatus);
            break;
        }
        case kCallbackSmartCardAtr:
            InvokeSmartCardAtr(*this, reply);
            break;
        default:
            // EMV, power-up and connection state callbacks do not go through a record.
            break;
    }
}

bool DecodeScrollAnswer(const std::string& s, int* selection, int* data) {
    *selection = ParseNumber(s.substr(0, 2), 10);
    if (s.size() == 2) return true;
    *data = ParseNumber(s.size() > 4 ? s.substr(s.size() - 4) : s, 16) & 0xFFFF;
    return s.size() == 6;
}

}  // namespace orn
