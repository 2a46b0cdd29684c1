// The one pattern every terminal command follows. A command reads like its table row:
//
//     return Command("ornBeep", catalogue::kBeep)
//         .Require(beepCode >= 0 && beepCode <= 15)
//         .Payload(HexDigits(beepCode, 1))
//         .Run();
//
// Run() takes these steps, in order (the options below name them by number):
//   1. the port test: -1 when no port is open;
//   2. the connection test: -11 when the terminal is not connected;
//   3. the argument tests: -18 at the first that fails, and nothing is built or sent;
//   4. building the record;
//   5. the exchange (SendWaitData);
//   6. clearing the outputs;
//   7. reading the status (the status digit unless told otherwise) and, on status 0, parsing
//      the response;
//   8. releasing the record.
// Arguments are evaluated by C++ when the builder calls are made, so a test that dereferences a
// pointer must guard it itself (`p && std::strlen(p) == 2`); payload helpers accept null.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/command_data.h"
#include "link/catalogue.h"
#include "log/logger.h"

namespace orn {

// Result of an answer that carries no status character: the terminal's reply had the right
// identifier but nothing after it.
constexpr int kResultNoStatus = catalogue::kNoStatus;  // ORN_ERR_WRONG_RESPONSE_ERROR

// The response text of a completed command (what follows the identifier), at most 4096 bytes.
class Response {
  public:
    static constexpr size_t kMaxText = 4096;

    explicit Response(std::string text = {}) : m_Text(std::move(text)) {}
    const std::string& Text() const { return m_Text; }
    size_t Size() const { return m_Text.size(); }
    bool Empty() const { return m_Text.empty(); }
    // Status digit of the first character, (c - '0') modulo 256; kResultNoStatus when empty.
    int Status() const;
    // Bytes from `pos` on (at most `count`); empty past the end. Never reads outside the text.
    std::string From(size_t pos, size_t count = std::string::npos) const;
    // The byte at `pos`, or `fallback` past the end.
    char At(size_t pos, char fallback = '\0') const;
    // Logs a response warning at Severe.
    void Warn(const char* format, ...) const ORN_PRINTF_FORMAT(2, 3);

  private:
    std::string m_Text;
};

// Copies `text` into a caller's buffer of `size` bytes (terminator included), cutting what does
// not fit and logging the cut under `what`. A null buffer is left alone.
void CopyOut(char* buffer, size_t size, const std::string& text, const char* what);

class CGenericHandler;

class Command {
  public:
    using Parser = std::function<void(const Response&)>;
    using Outcome = std::function<int(int result, const Response&)>;
    using Exchanger = std::function<int(CGenericHandler& engine, CCommandData* record)>;

    // The message `message` of the catalogue, answered by the same identifier; group DISPLAY,
    // cancel type "50".
    Command(std::string name, const catalogue::Message& message);
    // A message the catalogue does not list: the identifier is the caller's own.
    static Command Unlisted(std::string name, std::string id);
    Command(Command&&) = default;
    ~Command();

    Command& Group(int32_t group) { return Set(m_nGroup, group); }
    Command& Cancel(int32_t cancelType) { return Set(m_nCancelType, cancelType); }
    // "" = completes on ACK
    Command& ResponseId(std::string id) { return Set(m_ResponseId, std::move(id)); }
    Command& ResponseTimeout(uint32_t ms);
    Command& ResponseSelector(uint8_t selector) { return Set(m_bySelector, selector); }
    Command& FrameChars(uint8_t start, uint8_t end);
    Command& CallbackOption(int32_t option) { return Set(m_nCallbackOption, option); }
    // ACK timeout of the record in ms (default 1500).
    Command& AckTimeout(uint32_t ms) { return Set(m_dwAckTimeout, ms); }
    // Whether the answer carries a length field (a text entry asked without a maximum does not).
    Command& LengthField(bool present) { return Set(m_bLengthField, present); }

    // An argument test made before the link tests (a few commands check pointers first).
    Command& CheckFirst(bool ok);
    // Empties an output text (when given) once the tests made before the link tests passed: a
    // Wait whose output is tested there empties it before the link tests too.
    Command& ClearFirst(char* text);
    // An argument test of step 3; the first failing one gives -18.
    Command& Require(bool ok);
    // A step-3 test evaluated when its turn comes, in order with Require: a non-zero value is
    // the command's result and nothing is sent (a state test such as "already open" or a
    // special argument value answered without the terminal).
    Command& Test(std::function<int()> test);
    // An action at this point of the argument tests, run only when the link tests and every
    // test before it passed (some commands empty an output between two of their tests).
    Command& Step(std::function<void()> action);

    Command& Payload(const std::string& text);
    Command& Payload(const char* text);
    Command& Payload(const uint8_t* bytes, size_t length);
    Command& PayloadF(const char* format, ...) ORN_PRINTF_FORMAT(2, 3);
    // Payload made only once every test has passed, after the payload given so far: for fields
    // such as sequence numbers that only a message actually sent may consume.
    Command& DeferredPayload(std::function<std::string()> make);

    // Step 6: clears the outputs, whatever the result.
    Command& Clear(std::function<void()> clearOutputs);
    // Step 7: how the status is read from the response (the status digit unless set).
    Command& StatusFrom(int (*status)(const Response&));
    // Step 7: parses the response when the status is 0.
    Command& Parse(Parser parser);
    // Replaces steps 6-7: computes the result from the exchange's result and the response
    // (empty unless the exchange succeeded).
    Command& Finish(Outcome outcome);
    // Runs after the exchange and before the release, whatever the result.
    Command& AfterExchange(std::function<void(int result)> action);
    // The AfterExchange action also runs, with -11, when the link tests find the terminal not
    // connected (nothing is sent): a cancel ends the pending requests even then.
    Command& AfterExchangeEvenWhenNotConnected();
    // The command waits for keypad input: the input auto-cancel runs around the exchange.
    Command& InputAutoCancel();
    // Replaces the SendWaitData of step 5 by `exchange` on the built record, for a message that
    // travels in several link packets; it returns the exchange's result, and the response is
    // read from the record afterwards as usual.
    Command& Exchange(Exchanger exchange);

    // Steps 1-3 only: 0 when the link and argument tests pass, else their result. For a command
    // made of several records, which tests its arguments once and then runs one Command each.
    int Check();

    // Synchronous form (a command or the Wait of a Req/Wait pair).
    int Run();
    // Asynchronous form (a Req): returns once the terminal acknowledged; the outcome reaches
    // `callback` later, exactly once.
    template <typename Fn>
    int RunAsync(int32_t kind, Fn* callback) {
        return RunAsyncRaw(kind, reinterpret_cast<CCommandData::RawCallback>(callback));
    }

  private:
    Command(std::string name, std::string id);
    // What every plain setter does: store the value and hand the builder back.
    template <typename T>
    Command& Set(T& field, T value) {
        field = std::move(value);
        return *this;
    }
    int Preamble();
    CCommandData* BuildRecord();
    int RunAsyncRaw(int32_t kind, CCommandData::RawCallback callback);
    // Run's steps; `record` is the built record until it has been released.
    int RunRecord(CCommandData*& record);

    std::string m_Name, m_Id, m_ResponseId;
    int32_t m_nGroup;
    int32_t m_nCancelType;
    bool m_bTimeoutSet = false;
    uint32_t m_dwResponseTimeout = 0;
    uint8_t m_bySelector = 0;
    uint8_t m_byStart = 0x02, m_byEnd = 0x03;
    int32_t m_nCallbackOption = 0;
    bool m_bLengthField = true;
    uint32_t m_dwAckTimeout = 0;  // 0: the record's default
    bool m_bFirstChecksFailed = false;
    // Step 3 in order: a test (no action), an action, or a test evaluated when reached.
    struct ArgumentStep {
        bool ok;
        std::function<void()> action;
        std::function<int()> test;
    };
    std::function<std::string()> m_DeferredPayload;
    std::vector<ArgumentStep> m_Steps;
    bool m_bInputAutoCancel = false;
    std::vector<uint8_t> m_Payload;
    std::function<void()> m_Clear;
    int (*m_Status)(const Response&) = nullptr;
    Parser m_Parser;
    Outcome m_Outcome;
    std::function<void(int)> m_AfterExchange;
    bool m_bAfterWhenNotConnected = false;
    bool m_bNotConnected = false;  // set by the link tests
    Exchanger m_Exchange;
};

}  // namespace orn
