// The one pattern every terminal command follows. A command reads like its table row:
//
//     return Command("ornBeep", "5B.")
//         .Require(beepCode >= 0 && beepCode <= 15)
//         .Payload(HexDigits(beepCode, 1))
//         .Run();
//
// Run() performs, in order: the link tests (-1 not open, -11 not connected), the argument tests
// (-18 at the first that fails; nothing is built or sent), the record, the exchange, clearing
// the outputs, reading the status digit and parsing the response, and releasing the record.
// Arguments are evaluated by C++ when the builder calls are made, so a test that dereferences a
// pointer must guard it itself (`p && std::strlen(p) == 2`); payload helpers accept null.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/command_data.h"

namespace orn {

// Result of an answer that carries no status character: the terminal's reply had the right
// identifier but nothing after it.
constexpr int kResultNoStatus = -10;  // ORN_ERR_WRONG_RESPONSE_ERROR

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
    void Warn(const char* format, ...) const __attribute__((format(printf, 2, 3)));

  private:
    std::string m_Text;
};

// Copies `text` into a caller's buffer of `size` bytes (terminator included), cutting what does
// not fit and logging the cut under `what`. A null buffer is left alone.
void CopyOut(char* buffer, size_t size, const std::string& text, const char* what);

class Command {
  public:
    using Parser = std::function<void(const Response&)>;
    using Outcome = std::function<int(int result, const Response&)>;

    // Request and expected response id `id`; group DISPLAY, cancel type "50".
    Command(std::string name, std::string id);
    Command(Command&&) = default;
    ~Command();

    Command& Group(int32_t group);
    Command& Cancel(int32_t cancelType);
    Command& ResponseId(std::string id);  // "" = completes on ACK
    Command& ResponseTimeout(uint32_t ms);
    Command& ResponseSelector(uint8_t selector);
    Command& FrameChars(uint8_t start, uint8_t end);
    Command& CallbackOption(int32_t option);

    // An argument test made before the link tests (a few commands check pointers first).
    Command& CheckFirst(bool ok);
    // An argument test of step 3; the first failing one gives -18.
    Command& Require(bool ok);

    Command& Payload(const std::string& text);
    Command& Payload(const char* text);
    Command& Payload(const uint8_t* bytes, size_t length);
    Command& PayloadF(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Step 6: clears the outputs, whatever the result.
    Command& Clear(std::function<void()> clearOutputs);
    // Step 7: parses the response when the status is 0.
    Command& Parse(Parser parser);
    // Replaces steps 6-7: computes the result from the exchange's result and the response
    // (empty unless the exchange succeeded).
    Command& Finish(Outcome outcome);
    // Runs after the exchange and before the release, whatever the result.
    Command& AfterExchange(std::function<void(int result)> action);
    // The command waits for keypad input: the input auto-cancel runs around the exchange.
    Command& InputAutoCancel();

    // Synchronous form (a command or the Wait of a Req/Wait pair).
    int Run();
    // Asynchronous form (a Req): returns once the terminal acknowledged; the outcome reaches
    // `callback` later, exactly once.
    template <typename Fn>
    int RunAsync(int32_t kind, Fn* callback) {
        return RunAsyncRaw(kind, reinterpret_cast<CCommandData::RawCallback>(callback));
    }

  private:
    int Preamble();
    CCommandData* BuildRecord();
    int RunAsyncRaw(int32_t kind, CCommandData::RawCallback callback);

    std::string m_Name, m_Id, m_ResponseId;
    int32_t m_nGroup;
    int32_t m_nCancelType;
    bool m_bTimeoutSet = false;
    uint32_t m_dwResponseTimeout = 0;
    uint8_t m_bySelector = 0;
    uint8_t m_byStart = 0x02, m_byEnd = 0x03;
    int32_t m_nCallbackOption = 0;
    bool m_bFirstChecksFailed = false;
    bool m_bArgumentsFailed = false;
    bool m_bInputAutoCancel = false;
    std::vector<uint8_t> m_Payload;
    std::function<void()> m_Clear;
    Parser m_Parser;
    Outcome m_Outcome;
    std::function<void(int)> m_AfterExchange;
};

}  // namespace orn
