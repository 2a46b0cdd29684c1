#include "engine/command_data.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "engine/generic_handler.h"
#include "link/frame.h"

namespace orn {

namespace {

const char* const kStateNames[] = {
    "UNINTIALIZED", "SEND",          "WAIT_ACK",  "WAIT_RESPONSE",
    "COMPLETE",     "USER_CALLBACK", "CANCELLED", "REMOVE_FROM_QUEUE"};

// Index 15 has no name of its own; 16 marks the end of the table.
const char* const kGroupNames[] = {
    "UNKNOWN", "ENQ_TEST", "CANCEL", "DISPLAY", "MAC",  "MSR", "SC",  "EMV",           "EMV_ASYNC",
    "PCD",     "SAM0",     "SAM1",   "SAM2",    "SAM3", "E",   "???", "END_OF_LIST???"};

const char* const kCancelTypeNames[] = {"NONE", "50", "SC", "MSR"};

const char* const kCallbackKindNames[] = {
    "",      "FKEY",       "INPUT",           "DECRYPT&DISPLAY",
    "DUKPT", "PIN",        "DEBIT",           "SCROLL",
    "MSR",   "MSRDISPLAY", "SMARTCARD",       "SMARTCARDATR",
    "EMV",   "POWERUP",    "CONNECTION_STATE"};

template <size_t N>
const char* NameOf(const char* const (&table)[N], int32_t value, const char* other) {
    return value >= 0 && static_cast<size_t>(value) < N ? table[value] : other;
}

// An event the record cannot get is logged and left null; a wait on it then fails and the
// engine's wait steps report that.
std::unique_ptr<platform::Event> CreateManualEvent(const char* failureLine) {
    std::unique_ptr<platform::Event> event(new (std::nothrow) platform::Event(true, false));
    if (!event) Engine().Logger().Log(kLogSevere, "%s", failureLine);
    return event;
}

}  // namespace

const char* GetStateName(int32_t state) {
    return NameOf(kStateNames, state, "???");
}
const char* GetGroupName(int32_t group) {
    return NameOf(kGroupNames, group, "???");
}
const char* GetCancelTypeName(int32_t cancelType) {
    return NameOf(kCancelTypeNames, cancelType, "???");
}
const char* GetCallbackKindName(int32_t kind) {
    return NameOf(kCallbackKindNames, kind, "");
}

CCommandData::CCommandData()
    : m_hSignalEvent(CreateManualEvent("CCommandData: Could not Create Signal Event\n")),
      m_hAckEvent(CreateManualEvent("CCommandData: Could not Create ACK Event\n")),
      m_hSendEvent(CreateManualEvent("CCommandData: Could not Create Send Event\n")) {}

CCommandData::~CCommandData() = default;

void CCommandData::Release() {
    if (m_nRefs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void CCommandData::SetName(const char* name) {
    std::snprintf(m_szName, sizeof m_szName, "%s", name ? name : "");
}

void CCommandData::SetRequestId(const std::string& id) {
    m_strRequestId = id.substr(0, kMaxRequestId);
}

bool CCommandData::AppendData(const std::string& text) {
    return AppendData(reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
}

bool CCommandData::AppendData(const unsigned char* bytes, int length) {
    if (length <= 0) return length == 0;
    if (!bytes || length > kMaxPayload - m_nPayloadLength) return false;
    std::memcpy(m_FrameBuffer + kPayloadStart + m_nPayloadLength, bytes,
                static_cast<size_t>(length));
    m_nPayloadLength += length;
    return true;
}

void CCommandData::SetResponseId(const std::string& id) {
    m_nResponseIdLength = static_cast<int32_t>(std::min<size_t>(id.size(), kMaxResponseId));
    std::memcpy(m_ResponseId, id.data(), static_cast<size_t>(m_nResponseIdLength));
}

int32_t CCommandData::GetResponseId(const unsigned char** id) const {
    if (id) *id = m_ResponseId;
    return m_nResponseIdLength;
}

void CCommandData::SetResponse(const unsigned char* bytes, int length) {
    if (!bytes) return;
    if (length < 0) length = 0;
    m_pResponse.reset(new uint8_t[static_cast<size_t>(length) + 1]);
    std::memcpy(m_pResponse.get(), bytes, static_cast<size_t>(length));
    m_pResponse[length] = 0;
    m_nResponseLength = length;
}

int32_t CCommandData::GetResponseData(const unsigned char** data) const {
    if (data) *data = m_pResponse.get();
    return m_nResponseLength;
}

std::string CCommandData::GetResponseString() const {
    if (m_nResponseLength <= 0) return std::string();
    return std::string(reinterpret_cast<const char*>(m_pResponse.get()),
                       static_cast<size_t>(m_nResponseLength));
}

bool CCommandData::BuildFrame(bool eightBitLink) {
    m_EncodedFrame.clear();
    m_nEncodedFrameLength = -1;

    if (m_nLinkCheck) {
        m_FrameBuffer[0] = kENQ;
        m_nFrameStart = 0;
        m_nFrameLength = 1;
        return false;
    }

    // Start byte and id go right-aligned in front of the payload, which always begins at index
    // 4: with a three-character id the frame starts at index 0.
    const int idLength = static_cast<int>(m_strRequestId.size());
    m_nFrameStart = kPayloadStart - idLength - 1;
    uint8_t* frame = m_FrameBuffer + m_nFrameStart;
    frame[0] = m_byStart;
    std::memcpy(frame + 1, m_strRequestId.data(), static_cast<size_t>(idLength));
    uint8_t* end = m_FrameBuffer + kPayloadStart + m_nPayloadLength;
    end[0] = m_byEnd;
    const int lrcSpan = 1 + idLength + m_nPayloadLength + 1;  // start byte .. end byte
    end[1] = Lrc(frame, static_cast<size_t>(lrcSpan));
    m_nFrameLength = lrcSpan + 1;

    const auto* id = reinterpret_cast<const uint8_t*>(m_strRequestId.data());
    if (eightBitLink || !IsRawDataId(id, m_strRequestId.size())) return false;

    m_EncodedFrame.resize(
        EncodedFrameLength(static_cast<size_t>(idLength), static_cast<size_t>(m_nPayloadLength)));
    size_t length = orn::BuildEncodedFrame(m_EncodedFrame.data(), m_EncodedFrame.size(), m_byStart,
                                           id, static_cast<size_t>(idLength), GetPayload(),
                                           static_cast<size_t>(m_nPayloadLength), m_byEnd);
    m_EncodedFrame.resize(length);
    m_nEncodedFrameLength = static_cast<int32_t>(length);
    return true;
}

int32_t CCommandData::GetFrame(const unsigned char** frame) const {
    if (frame) *frame = m_FrameBuffer + m_nFrameStart;
    return m_nFrameLength;
}

int32_t CCommandData::GetEncodedFrame(const unsigned char** frame) const {
    if (frame) *frame = m_nEncodedFrameLength >= 0 ? m_EncodedFrame.data() : nullptr;
    return m_nEncodedFrameLength;
}

void CCommandData::StartTimer(uint32_t now) {
    if (m_dwResponseTimeout == 0) return;
    m_bTimerRunning = true;
    m_dwTimerStart = now;
}

bool CCommandData::TimerExpired(uint32_t now) {
    if (!m_bTimerRunning) return false;
    // Unsigned difference: correct across the wrap of the tick counter.
    if (now - m_dwTimerStart <= m_dwResponseTimeout) return false;
    m_bTimerRunning = false;
    return true;
}

uint32_t CCommandData::TimerRemaining(uint32_t now) const {
    if (!m_bTimerRunning) return platform::kInfinite;
    uint32_t elapsed = now - m_dwTimerStart;
    // Expiry needs strictly more than the timeout to have passed.
    return elapsed > m_dwResponseTimeout ? 0 : m_dwResponseTimeout - elapsed + 1;
}

int32_t CCommandData::DecrementRetries() {
    if (m_nRetriesLeft > 0) --m_nRetriesLeft;
    return m_nRetriesLeft;
}

void CCommandData::SetCurrentEvent() {
    platform::Event* event = nullptr;
    switch (m_nState) {
        case kStateSend:
            event = m_hSendEvent.get();
            break;
        case kStateWaitAck:
            event = m_hAckEvent.get();
            break;
        case kStateWaitResponse:
            event = m_hSignalEvent.get();
            break;
        default:
            Engine().Logger().Log(kLogInfo, "CCommandData::SetCurrentEvent: No Event - State is %d",
                                  m_nState);
            return;
    }
    if (event) event->Set();
}

void CCommandData::SetAllEvents() {
    for (platform::Event* event : {GetSendEvent(), GetAckEvent(), GetSignalEvent()})
        if (event) event->Set();
}

void CCommandData::ResetAllEvents() {
    for (platform::Event* event : {GetSendEvent(), GetAckEvent(), GetSignalEvent()})
        if (event) event->Reset();
}

}  // namespace orn
