// Display and keypad commands: lines on the four-line display, function key prompts, clearing,
// amount confirmation and the keyboard check.
#include <cstdio>
#include <string>
#include <vector>

#include "api/command.h"
#include "api/guard.h"
#include "api/session.h"
#include "api/text.h"
#include "velquoraorn.h"

using namespace orn;

namespace {

constexpr int kDisplayLines = 4;
constexpr unsigned kDisplayColumns = 16;
// A display message is answered at once; SetResponseTimeout adds its fixed second to this.
constexpr uint32_t kDisplayTimeoutMs = 10;
// What a key output receives when the answer carries no key character (as the FKEY callback).
constexpr char kNoKey = '0';

// Keypad input waits as long as the input auto-cancel allows (0: without limit).
uint32_t InputTimeoutMs() {
    return static_cast<uint32_t>(Engine().GetInputTimeout()) * 1000;
}

// Consecutive display lines that travel in one "58." message.
struct LineRun {
    int first = 0;
    int count = 0;
    std::string text;  // the lines, each padded to 16 columns
};

// One "58." display message. `forKey` asks the terminal to wait for a function key.
Command DisplayMessage(const std::string& name, const LineRun& run, bool forKey, bool linesOk) {
    Command message(name, catalogue::kDisplay);
    message.Require(linesOk)
        .ResponseTimeout(forKey ? InputTimeoutMs() : kDisplayTimeoutMs)
        .Payload(forKey ? "10" : "00")
        .PayloadF("%d%d", run.count, run.first)
        .Payload(run.text);
    return message;
}

// The display engine behind ornDisplay and both function key prompts. A null line is left as it
// is; a non-null key or callback asks for a function key, the callback making the last message
// asynchronous. Lines with a gap between them go out as two messages: the first only displays,
// the second (named `name` + "2") carries the key request.
int DisplayLines(const char* line1, const char* line2, const char* line3, const char* line4,
                 char* key, ornFkeyCallback callback, const char* name) {
    const char* lines[kDisplayLines] = {line1, line2, line3, line4};

    // Lenient on purpose: one valid line lets the call through and bytes the display does not
    // know go out as they are. A link control byte, though, would break the message itself.
    bool anyValid = false;
    bool linkSafe = true;
    std::vector<LineRun> runs;
    for (int i = 0; i < kDisplayLines; ++i) {
        if (!lines[i]) {
            anyValid = true;
            continue;
        }
        char encoded[2 * kDisplayColumns + 1];
        EncodeDisplayText(encoded, lines[i], sizeof encoded);
        anyValid = anyValid || IsValidDisplayText(encoded);
        linkSafe = linkSafe && !HasLinkControlByte(encoded);
        if (i == 0 || !lines[i - 1]) runs.push_back(LineRun{i + 1, 0, {}});  // after a gap
        runs.back().count++;
        runs.back().text += PadDisplayText(encoded, kDisplayColumns);
    }
    const bool linesOk = anyValid && linkSafe;

    if (runs.empty()) {  // nothing to show, once the link is known to be usable
        int result = CommonPreamble();
        return result != 0 ? result : 1;
    }

    const bool forKey = key || callback;
    std::string lastName = name;
    if (runs.size() == 2) {
        int result = DisplayMessage(name, runs.front(), false, linesOk).Run();
        if (result != 0) return result;
        lastName += "2";
    }
    Command message = DisplayMessage(lastName, runs.back(), forKey, linesOk);
    if (callback) return message.RunAsync(kCallbackFkey, callback);
    if (!key) return message.Run();
    if (runs.size() == 1) {
        // The key is passed on whatever the status.
        message.Finish([key](int result, const Response& reply) {
            if (result != 0) return result;
            *key = catalogue::ReadKey(reply.Text());
            return reply.Status();
        });
    } else {
        message.Parse([key](const Response& reply) { *key = catalogue::ReadKey(reply.Text()); });
    }
    return message.Run();
}

// The "57." amount confirmation both forms send.
Command AmountConfirmation(const char* name, int mode, unsigned long amount, const char* text) {
    char digits[24];
    int width = std::snprintf(digits, sizeof digits, "%015lu", amount);
    char encoded[17];
    EncodeDisplayText(encoded, text, sizeof encoded);
    Command confirmation(name, catalogue::kAmountConfirmation);
    confirmation.Require(mode >= 1 && mode <= 4)
        .Require(width == 15)
        .Require(IsValidDisplayText(encoded) != 0)
        .ResponseTimeout(InputTimeoutMs())
        .InputAutoCancel()
        .PayloadF("0%d0%s%s", mode, digits, PadDisplayText(encoded, 8).c_str());
    return confirmation;
}

}  // namespace

extern "C" {

ORN_API int ornDisplay(const char* line1, const char* line2, const char* line3, const char* line4) {
    return orn::GuardedCode("ornDisplay", [&]() -> int {
        return DisplayLines(line1, line2, line3, line4, nullptr, nullptr, "ornDisplay");
    });
}

ORN_API int ornFunctionKeyPromptWait(const char* line1, const char* line2, const char* line3,
                                     const char* line4, char* key) {
    return orn::GuardedCode("ornFunctionKeyPromptWait", [&]() -> int {
        // The auto-cancel window spans both messages of a split display.
        Engine().StartInputAutoCancel();
        int result =
            DisplayLines(line1, line2, line3, line4, key, nullptr, "ornFunctionKeyPromptWait");
        Engine().StopInputAutoCancel();
        return result;
    });
}

ORN_API int ornFunctionKeyPromptReq(const char* line1, const char* line2, const char* line3,
                                    const char* line4, ornFkeyCallback callback) {
    return orn::GuardedCode("ornFunctionKeyPromptReq", [&]() -> int {
        if (!callback) return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
        Engine().StartInputAutoCancel();
        char keyPlaceholder = kNoKey;
        int result = DisplayLines(line1, line2, line3, line4, &keyPlaceholder, callback,
                                  "ornFunctionKeyPromptReq");
        // Once accepted, the FKEY callback stops the auto-cancel when the
        // outcome arrives.
        if (result != 0) Engine().StopInputAutoCancel();
        return result;
    });
}

ORN_API int ornClearDisplay(void) {
    return Command("ornClearDisplayLine", catalogue::kClearDisplay)
        .ResponseTimeout(kDisplayTimeoutMs)
        .Payload("0")
        .Run();
}

ORN_API int ornClearDisplayLine(int line) {
    return Command("ornClearDisplayLine", catalogue::kClearDisplay)
        .Require(line >= 1 && line <= kDisplayLines)
        .ResponseTimeout(kDisplayTimeoutMs)
        .PayloadF("%d", line)
        .Run();
}

ORN_API int ornAmountConfirmationWait(int mode, unsigned long amount, const char* text, char* key) {
    return AmountConfirmation("ornAmountConfirmationWait", mode, amount, text)
        .Finish([key](int result, const Response& reply) {
            if (result != 0) return result;
            if (key) *key = catalogue::ReadKey(reply.Text());  // whatever the status
            return reply.Status();
        })
        .Run();
}

ORN_API int ornAmountConfirmationReq(int mode, unsigned long amount, const char* text,
                                     ornFkeyCallback callback) {
    return AmountConfirmation("ornAmountConfirmationReq", mode, amount, text)
        .Require(callback != nullptr)
        .RunAsync(kCallbackFkey, callback);
}

ORN_API int ornKeyboardCheck(void) {
    return Command("ornKeyboardCheck", catalogue::kKeyboardCheck)
        .ResponseTimeout(InputTimeoutMs())
        .InputAutoCancel()
        .Run();
}

}  // extern "C"
