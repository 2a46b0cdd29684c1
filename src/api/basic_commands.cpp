// The commands that are the command pattern and nothing more.
#include <cctype>
#include <cstring>

#include "api/command.h"
#include "api/session.h"
#include "api/text.h"
#include "velquoraorn.h"

using namespace orn;

namespace {

char Base36Digit(int value) {
    return static_cast<char>(value < 10 ? '0' + value : 'A' + (value - 10));
}

bool IsBase36Char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

bool IsValidGenericId(const char* id) {
    if (std::strlen(id) != 2) return false;
    char first = id[0], second = id[1];
    bool firstOk = (first >= '3' && first <= '9') || (first >= 'A' && first <= 'E');
    bool secondOk = (second >= '0' && second <= '9') || (second >= 'A' && second <= 'Z');
    return firstOk && secondOk;
}

}  // namespace

extern "C" {

ORN_API int ornBeep(int beepCode) {
    return Command("ornBeep", catalogue::kBeep)
        .Require(beepCode >= 0 && beepCode <= 15)
        .Payload(HexDigits(beepCode, 1))
        .Run();
}

ORN_API int ornCancel(void) {
    return Command("ornCancel", catalogue::kCancel)
        .Group(kGroupCancel)
        .AfterExchange([](int) { Engine().CancelQueued(kCancel50); })
        .AfterExchangeEvenWhenNotConnected()
        .Run();
}

ORN_API int ornReboot(void) {
    return Command("ornReboot", catalogue::kReboot).Group(kGroupReboot).Run();
}

ORN_API int ornReturnToIdle(int value) {
    bool ok = value >= 0 && value <= 1295;
    return Command("ornReturnToIdle", catalogue::kReturnToIdle)
        .Require(ok)
        .Payload(ok ? std::string{Base36Digit(value / 36), Base36Digit(value % 36)} : "")
        .Run();
}

ORN_API int ornReturnToIdleBase36(const char* code) {
    return Command("ornReturnToIdleBase36", catalogue::kReturnToIdle)
        .Require(code && std::strlen(code) == 2 && IsBase36Char(code[0]) && IsBase36Char(code[1]))
        .Payload(code)
        .Run();
}

ORN_API int ornGenericAsciiCommand(const char* id, const char* data, char* response,
                                   int responseSize) {
    bool ok = id && data && response && responseSize >= 0 && IsValidGenericId(id);
    std::string code = ok ? std::string(id, 2) : "";
    return Command::Unlisted("Generic_Command_" + code, code + ".")
        .Require(ok)
        .Payload(data)
        .Finish([&](int result, const Response& reply) {
            if (responseSize > 0) response[0] = '\0';
            if (result != 0) return result;
            // The whole answer, status character included; its length is the
            // result. An answer that does not fit with its terminator is refused,
            // not cut.
            if (reply.Size() + 1 > static_cast<size_t>(responseSize)) return -99;
            CopyResponseText(response, reply.Text().data(), static_cast<unsigned>(reply.Size()));
            return static_cast<int>(reply.Size());
        })
        .Run();
}

ORN_API int ornPromptRegister(int index, const char* prompt, const char* tail) {
    std::string encoded = EncodeDisplayText(prompt);
    bool ok = prompt && tail && index >= 0 && index <= 63 && std::strlen(prompt) <= 32 &&
              std::strlen(tail) == 8 && IsValidDisplayText(encoded.c_str());
    return Command("ornPromptRegister", catalogue::kPromptRegister)
        .Require(ok)
        .Payload(HexDigits(index, 2))
        .Payload(PadDisplayText(encoded.c_str(), 32))
        .Payload(tail)
        .Run();
}

}  // extern "C"
