// CCommandData: one command in flight. It holds the request to send, the rules for matching its
// answer, its state in the engine, its result, the response bytes, the three events its caller
// waits on and, for asynchronous commands, the user callback that reports the outcome.
//
// The record builds its own wire frame on request and wakes its waiters through its events; it
// knows nothing of the queue or the link. None of its operations lock: the engine reads and
// writes state, result and response only under its queue lock, and builders fill the record
// before it is queued.
//
// Lifetime: a record is reference counted. Its builder allocates it with new and holds the first
// reference; the engine takes a second one while the record sits in its queue and a callback
// thread holds one while it runs. `CGenericHandler::DoneCommand` drops the builder's reference,
// so a record that the engine has already dropped (for example when the link was closed under a
// waiting caller) is freed only then, never under the caller's feet. An asynchronous request
// that `SendAsync` accepted hands the builder's reference to the engine: its builder neither
// touches nor releases it again.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace orn {

class CGenericHandler;

// Command states. The log names are those the queue monitor prints.
enum CommandState : int32_t {
    kStateUninitialized = 0,    // "UNINTIALIZED": built, not yet queued
    kStateSend = 1,             // queued, waiting to be sent
    kStateWaitAck = 2,          // frame written, waiting for ACK
    kStateWaitResponse = 3,     // ACK received, waiting for the response
    kStateComplete = 4,         // outcome known
    kStateUserCallback = 5,     // asynchronous record whose callback thread runs
    kStateCancelled = 6,        // refused as busy, or cancelled
    kStateRemoveFromQueue = 7,  // released; the queue thread drops it
};

// Command groups. A group indexes the queue thread's 16 blocked-group flags, so it stays below 16.
enum CommandGroup : int32_t {
    kGroupUnknown = 0,
    kGroupEnqTest = 1,
    kGroupCancel = 2,
    kGroupDisplay = 3,
    kGroupMac = 4,
    kGroupMsr = 5,
    kGroupSc = 6,
    kGroupEmv = 7,
    kGroupEmvAsync = 8,
    kGroupPcd = 9,
    kGroupSam0 = 10,
    kGroupSam1 = 11,
    kGroupSam2 = 12,
    kGroupSam3 = 13,
    kGroupReboot = 14,  // "E"
    kGroupCount = 16,
};

// Which cancel command cancels a record.
enum CancelType : int32_t {
    kCancelNone = 0,
    kCancel50 = 1,  // the "50." cancel and the PIN-entry cancel; also cancels kCancelMsr records
    kCancelSc = 2,
    kCancelMsr = 3,
    kCancelPcd = 4,  // used by the busy query only
};

// Shapes of the user callback of an asynchronous record.
enum CallbackKind : int32_t {
    kCallbackNone = 0,
    kCallbackFkey = 1,
    kCallbackInput = 2,
    kCallbackDecryptDisplay = 3,
    kCallbackDukpt = 4,
    kCallbackPin = 5,
    kCallbackDebit = 6,
    kCallbackScroll = 7,
    kCallbackMsr = 8,
    kCallbackMsrDisplay = 9,
    kCallbackSmartCard = 10,
    kCallbackSmartCardAtr = 11,
    kCallbackEmv = 12,
    kCallbackPowerUp = 13,
    kCallbackConnectionState = 14,
};

// Log names of the enumerations above ("???" for values outside the tables).
const char* GetStateName(int32_t state);
const char* GetGroupName(int32_t group);
const char* GetCancelTypeName(int32_t cancelType);
// Empty string for a kind outside 1..14.
const char* GetCallbackKindName(int32_t kind);

class CCommandData {
  public:
    static constexpr int kFrameBufferSize = 1200;
    static constexpr int kPayloadStart = 4;
    static constexpr int kMaxPayload = kFrameBufferSize - kPayloadStart - 2;  // 1194
    static constexpr int kMaxName = 255;
    static constexpr int kMaxRequestId = 3;
    static constexpr int kMaxResponseId = 64;
    static constexpr uint32_t kDefaultAckTimeout = 1500;
    static constexpr uint32_t kDefaultResponseTimeout = 8000;
    static constexpr int32_t kDefaultRetries = 3;

    // The user callback is kept untyped; its kind tells the decoding which shape it has.
    using RawCallback = void (*)();

    CCommandData();
    ~CCommandData();
    CCommandData(const CCommandData&) = delete;
    CCommandData& operator=(const CCommandData&) = delete;

    // Reference counting (see the header comment). Release deletes the record at zero.
    void AddRef() { m_nRefs.fetch_add(1, std::memory_order_relaxed); }
    void Release();

    // --- building a request ------------------------------------------------------------------
    void SetName(const char* name);  // cut at 255 characters
    const char* GetName() const { return m_szName; }
    void SetRequestId(const std::string& id);  // at most three characters are kept
    const std::string& GetRequestId() const { return m_strRequestId; }
    // Append to the payload; false (nothing appended) when it would pass kMaxPayload.
    bool AppendData(const std::string& text);
    bool AppendData(const unsigned char* bytes, int length);
    int GetPayloadLength() const { return m_nPayloadLength; }
    const uint8_t* GetPayload() const { return m_FrameBuffer + kPayloadStart; }
    // Expected response id (at most 64 characters); empty: the command completes on its ACK.
    void SetResponseId(const std::string& id);
    int32_t GetResponseId(const unsigned char** id) const;
    void SetGroup(int32_t group) { m_nGroup = group; }
    int32_t GetGroup() const { return m_nGroup; }
    void SetCancelType(int32_t type) { m_nCancelType = type; }
    int32_t GetCancelType() const { return m_nCancelType; }
    void SetAsync(int32_t async) { m_nAsync = async; }
    int32_t IsAsync() const { return m_nAsync; }
    void SetAckTimeout(uint32_t ms) { m_dwAckTimeout = ms; }
    uint32_t GetAckTimeout() const { return m_dwAckTimeout; }
    // Stores ms + 1000 (a margin for the terminal) when ms is non-zero; 0 waits without limit.
    void SetResponseTimeout(uint32_t ms) { m_dwResponseTimeout = ms != 0 ? ms + 1000 : 0; }
    uint32_t GetResponseTimeout() const { return m_dwResponseTimeout; }
    void SetCallback(int32_t kind, RawCallback callback) {
        m_nCallbackKind = kind;
        m_pCallback = callback;
    }
    template <typename Fn>
    void SetCallback(int32_t kind, Fn* callback) {
        SetCallback(kind, reinterpret_cast<RawCallback>(callback));
    }
    int32_t GetCallbackKind() const { return m_nCallbackKind; }
    RawCallback GetCallback() const { return m_pCallback; }
    void SetFrameChars(uint8_t start, uint8_t end) {
        m_byStart = start;
        m_byEnd = end;
    }
    uint8_t GetStartByte() const { return m_byStart; }
    void SetResponseSelector(uint8_t selector) { m_byResponseSelector = selector; }
    uint8_t GetResponseSelector() const { return m_byResponseSelector; }
    void SetCallbackOption(int32_t option) { m_nCallbackOption = option; }
    int32_t GetCallbackOption() const { return m_nCallbackOption; }
    // A text entry asked without a maximum length is answered without a length field (INPUT).
    void SetLengthField(bool present) { m_bLengthField = present; }
    bool HasLengthField() const { return m_bLengthField; }
    void SetEnqTest() { m_nLinkCheck = 1; }
    bool IsEnqTest() const { return m_nLinkCheck != 0; }

    // --- engine side ---------------------------------------------------------------------------
    void SetState(int32_t state) { m_nState = state; }
    int32_t GetState() const { return m_nState; }
    void SetResult(int32_t result) { m_nResult = result; }
    int32_t GetResult() const { return m_nResult; }
    // Replaces the response with a copy of `length` bytes; a null pointer changes nothing.
    void SetResponse(const unsigned char* bytes, int length);
    // Response length, -1 when there is none; *data (when non-null) receives the bytes.
    int32_t GetResponseData(const unsigned char** data) const;
    std::string GetResponseString() const;

    // Builds the frame into the frame buffer; on a 7-bit link an "F0."/"F1." record also gets a
    // P1.6-encoded frame. True when an encoded frame was built.
    bool BuildFrame(bool eightBitLink);
    int32_t GetFrame(const unsigned char** frame) const;
    // Encoded frame length, -1 when there is none.
    int32_t GetEncodedFrame(const unsigned char** frame) const;

    // Response timer: runs only with a non-zero response timeout; each start expires once.
    // `now` is the engine clock's tick.
    void StartTimer(uint32_t now);
    bool TimerExpired(uint32_t now);
    bool TimerRunning() const { return m_bTimerRunning; }
    // Milliseconds until a running timer expires (0 when already due); kInfinite when stopped.
    uint32_t TimerRemaining(uint32_t now) const;

    // Decrements the retries left (not below 0) and returns the new count: 2, 1, 0.
    int32_t DecrementRetries();
    int32_t GetRetriesLeft() const { return m_nRetriesLeft; }

    void SetCallbackThread(std::shared_ptr<platform::Thread> thread) {
        m_pCallbackThread = std::move(thread);
    }
    const std::shared_ptr<platform::Thread>& GetCallbackThread() const { return m_pCallbackThread; }

    // Wakes whoever waits in the current state: SEND the Send event, WAIT_ACK the ACK event,
    // WAIT_RESPONSE the Signal event; any other state only logs.
    void SetCurrentEvent();
    // Sets or resets all three events.
    void SetAllEvents();
    void ResetAllEvents();
    platform::Event* GetSignalEvent() const { return m_hSignalEvent.get(); }
    platform::Event* GetAckEvent() const { return m_hAckEvent.get(); }
    platform::Event* GetSendEvent() const { return m_hSendEvent.get(); }

    // Decodes the response according to the callback kind and calls the user callback
    // (engine/callbacks.cpp). The FKEY, INPUT and DEBIT kinds stop the input auto-cancel first.
    void InvokeCallback();

  private:
    friend class CCommandQueue;

    int32_t m_nFrameLength = 0;
    int32_t m_nFrameStart = 0;
    int32_t m_nPayloadLength = 0;
    int32_t m_nEncodedFrameLength = -1;
    std::vector<uint8_t> m_EncodedFrame;
    std::string m_strRequestId;
    char m_szName[kMaxName + 1] = {};
    int32_t m_nState = kStateUninitialized;
    int32_t m_nAsync = 0;
    int32_t m_nGroup = kGroupUnknown;
    int32_t m_nCancelType = kCancelNone;
    uint8_t m_ResponseId[kMaxResponseId] = {};
    int32_t m_nResponseIdLength = 0;
    uint32_t m_dwAckTimeout = kDefaultAckTimeout;
    uint32_t m_dwResponseTimeout = kDefaultResponseTimeout;
    int32_t m_nResult = 0;
    uint8_t m_FrameBuffer[kFrameBufferSize] = {};
    std::unique_ptr<platform::Event> m_hSignalEvent;
    std::unique_ptr<platform::Event> m_hAckEvent;
    std::unique_ptr<platform::Event> m_hSendEvent;
    int32_t m_nResponseLength = -1;
    std::unique_ptr<uint8_t[]> m_pResponse;
    int32_t m_nLinkCheck = 0;
    int32_t m_nCallbackKind = kCallbackNone;
    RawCallback m_pCallback = nullptr;
    uint8_t m_byStart = 0x02;
    uint8_t m_byEnd = 0x03;
    int32_t m_nCallbackOption = 0;
    bool m_bLengthField = true;
    uint8_t m_byResponseSelector = 0;
    int32_t m_nRetriesLeft = kDefaultRetries;
    std::shared_ptr<platform::Thread> m_pCallbackThread;
    bool m_bTimerRunning = false;
    uint32_t m_dwTimerStart = 0;

    // Queue bookkeeping, under the command queue's lock.
    bool m_bQueued = false;  // the engine holds its reference (the record is in the queue)
    // Refused as busy at admission, or an asynchronous request that failed before its ACK: no
    // callback, its caller releases it.
    bool m_bRefused = false;
    // An asynchronous request its Req reported accepted: it is owed exactly one callback.
    bool m_bAccepted = false;

    std::atomic<int32_t> m_nRefs{1};
};

}  // namespace orn
