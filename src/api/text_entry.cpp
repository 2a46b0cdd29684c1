// Keypad text entry: a prompt (the caller's text or one stored in the terminal) and the text or
// number the cardholder types.
#include <cstring>
#include <string>

#include "api/command.h"
#include "api/guard.h"
#include "api/session.h"
#include "api/text.h"
#include "velquoraorn.h"

using namespace orn;

namespace {

constexpr int kMaxEntryLength = 32;
constexpr int kNoStoredPrompt = 255;
constexpr unsigned kPromptColumns = 32;
constexpr char kNoLengthSuffix[] = "NoLength";

uint32_t InputTimeoutMs() {
    return static_cast<uint32_t>(Engine().GetInputTimeout()) * 1000;
}

// A request without a maximum length is answered without a length field; its record also
// carries "NoLength" in its name, which is what the log shows.
std::string EntryRecordName(const char* name, int maxLength) {
    return maxLength == 0 ? std::string(name) + kNoLengthSuffix : std::string(name);
}

// The request shared by the four entry commands: "58." with the caller's prompt, "68." with a
// stored prompt only (null prompt). The range tests come in the order the terminal's fields do.
Command BuildEntryRequest(int mode, int type, int option, const char* prompt, int promptIndex,
                          int maxLength, const catalogue::Message& message, const char* name) {
    std::string promptField;
    bool promptOk = true;
    if (prompt) {
        char encoded[2 * kPromptColumns + 1];
        EncodeDisplayText(encoded, prompt, sizeof encoded);
        promptOk = IsValidDisplayText(encoded) != 0;
        promptField = PadDisplayText(encoded, kPromptColumns);
    }
    Command request(EntryRecordName(name, maxLength), message);
    request.LengthField(maxLength != 0)
        .Require(mode == 2 || mode == 3 || mode == 5 || mode == 6)
        .Require(type >= 1 && type <= 6 && type != 4)
        .Require(option >= 0 && option <= 15)
        .Require(promptOk)
        .Require(promptIndex == kNoStoredPrompt || (promptIndex >= 0 && promptIndex <= 63))
        .Require(maxLength >= 0 && maxLength <= kMaxEntryLength)
        .ResponseTimeout(InputTimeoutMs())
        .InputAutoCancel()
        .PayloadF("%d%d%X%s%02X", mode, type, option, promptField.c_str(), promptIndex);
    if (maxLength != 0) request.PayloadF("%02X", maxLength);
    return request;
}

// The blocking form of both entries: *length carries the maximum in and the entered length out.
int WaitForEntry(int mode, int type, int option, const char* prompt, bool promptNeeded,
                 int promptIndex, int* length, char* text, const catalogue::Message& message) {
    const char* name = "ornDisplayAndWaitForInputWait";
    const int maxLength = length ? *length : 0;
    // The entry cannot be longer than the maximum asked for, and the caller's buffer is sized
    // for that; without a maximum the library's own limit applies.
    const size_t textSize = maxLength > 0 && maxLength <= kMaxEntryLength
                                ? static_cast<size_t>(maxLength) + 1
                                : kMaxEntryLength + 1;
    return BuildEntryRequest(mode, type, option, prompt, promptIndex, maxLength, message, name)
        .Require((prompt || !promptNeeded) && length && text)
        .Clear([=] {
            *length = -1;
            text[0] = '\0';
        })
        .Parse([=](const Response& reply) {
            const catalogue::EntryAnswer entry = catalogue::ReadEntry(reply.Text(), maxLength != 0);
            CopyOut(text, textSize, entry.text, name);
            *length = entry.length != -1 ? entry.length : static_cast<int>(std::strlen(text));
        })
        .Run();
}

}  // namespace

extern "C" {

ORN_API int ornDisplayAndWaitForInputWait(int mode, int type, int option, const char* prompt,
                                          int promptIndex, int* length, char* text) {
    return orn::GuardedCode("ornDisplayAndWaitForInputWait", [&]() -> int {
        return WaitForEntry(mode, type, option, prompt, true, promptIndex, length, text,
                            catalogue::kDisplay);
    });
}

ORN_API int ornDisplayAndWaitForInputReq(int mode, int type, int option, const char* prompt,
                                         int promptIndex, int maxLength,
                                         ornInputCallback callback) {
    return BuildEntryRequest(mode, type, option, prompt, promptIndex, maxLength,
                             catalogue::kDisplay, "ornDisplayAndWaitForInputReq")
        .Require(prompt && callback)
        .RunAsync(kCallbackInput, callback);
}

ORN_API int ornClearTextEntryWithStoredPromptWait(int mode, int type, int option, int promptIndex,
                                                  int* length, char* text) {
    return orn::GuardedCode("ornClearTextEntryWithStoredPromptWait", [&]() -> int {
        return WaitForEntry(mode, type, option, nullptr, false, promptIndex, length, text,
                            catalogue::kStoredPromptEntry);
    });
}

ORN_API int ornClearTextEntryWithStoredPromptReq(int mode, int type, int option, int promptIndex,
                                                 int maxLength, ornInputCallback callback) {
    return BuildEntryRequest(mode, type, option, nullptr, promptIndex, maxLength,
                             catalogue::kStoredPromptEntry, "ornDisplayAndWaitForInputReq")
        .Require(callback != nullptr)
        .RunAsync(kCallbackInput, callback);
}

}  // extern "C"
