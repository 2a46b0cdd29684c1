// Key management and encryption: loading a key into the terminal's key table, reading a key's
// diagnostic value, having the terminal encrypt a data block, and having it decrypt a block and
// show the result. The terminal does the cryptography; keys and data travel as hexadecimal text.
#include <cstdio>
#include <string>

#include "api/command.h"
#include "api/guard.h"
#include "api/key_fields.h"
#include "api/session.h"
#include "api/text.h"
#include "velquoraorn.h"

using namespace orn;

namespace {

// The 16-hexadecimal-character field of a key load when the caller gives none.
constexpr const char* kDefaultLoadField = "7C41A9E3058BD26F";
constexpr size_t kEncryptionResultBuffer = 17;  // 16 hexadecimal characters
constexpr size_t kDiagnosticValueBuffer = 7;    // 6 characters

bool InRange(int value, int low, int high) {
    return value >= low && value <= high;
}

// The tests of the encryption and decrypt-and-display commands on key index, key, check value
// and data block, in their order.
Command& RequireKeyAndBlock(Command& command, int keyIndex, const char* key, const char* checkValue,
                            const char* data) {
    return command.Require(IsKeyIndex(keyIndex))
        .Require(IsKeyLength(key))
        .Require(IsCheckValueFor(key, checkValue))
        .Require(IsHexText(key))
        .Require(IsHexString(OrEmpty(checkValue)) != 0)
        .Require(HasLength(data, 16))
        .Require(IsHexText(data));
}

// "53.": the answer "0cccccccc" gives the six characters after the status; "1" and "2" are a
// status alone. A length warning is logged at `warningLevel`.
int DiagnosticKeyRequest(bool ok, const std::string& payload, char* value, int32_t warningLevel) {
    return Command("ornDiagnosticKeyRequest", catalogue::kDiagnosticKeyRequest)
        .Require(ok)
        .Step([&] { value[0] = '\0'; })
        .Payload(payload)
        .Finish([&](int result, const Response& reply) {
            if (result != 0) return result;
            if (reply.Size() != 1 && reply.Size() != 9)
                Engine().Logger().Log(warningLevel,
                                      "Warning, expected response of 53.0cccccccc, or 53.1, or "
                                      "53.2: wrong response length");
            const int status = reply.Status();
            if (status == 0 && reply.Size() > 3)
                CopyOut(value, kDiagnosticValueBuffer, reply.From(1, reply.Size() - 3),
                        "ornDiagnosticKeyRequest");
            return status;
        })
        .Run();
}

// "42." encryption, `form` being the characters before the key index.
int DataEncryption(bool cipherOk, const std::string& form, int keyIndex, const char* key,
                   const char* checkValue, const char* data, char* result) {
    Command command("ornDataEncryption", catalogue::kEncryption);
    command.Require(cipherOk).Require(key && data && result);
    return RequireKeyAndBlock(command, keyIndex, key, checkValue, data)
        .Step([&] { result[0] = '\0'; })
        .Payload(form + KeyIndexChar(keyIndex))
        .Payload(key)
        .Payload(checkValue)
        .Payload(data)
        .Parse([&](const Response& reply) {
            // The result block is the answer's last 16 characters, never its status.
            const size_t size = reply.Size();
            CopyOut(result, kEncryptionResultBuffer, reply.From(size > 17 ? size - 16 : 1),
                    "ornDataEncryption");
        })
        .Run();
}

// Decrypt and display ("42." with `mode` 1 or 3, "47." with mode 1): the terminal shows the
// decrypted block for displayTime × 5 s, so the answer may take that long.
Command DecryptAndDisplay(const catalogue::Message& message, int mode, int digit, int displayTime,
                          int keyIndex, const char* key, const char* checkValue, const char* data,
                          const char* text) {
    std::string shown(OrEmpty(text));
    shown.resize(8, ' ');
    Command command("ornDataEncryption", message);
    command.Require(InRange(digit, 0, 9))
        .Require(InRange(displayTime, 0, 15))
        .Require(key && data && text);
    RequireKeyAndBlock(command, keyIndex, key, checkValue, data)
        .Require(IsFrameSafe(text))
        .ResponseTimeout(static_cast<uint32_t>(InRange(displayTime, 0, 15) ? displayTime : 0) *
                         5000)
        .PayloadF("%d%d%X%c", mode, digit, displayTime & 0xF, KeyIndexChar(keyIndex))
        .Payload(key)
        .Payload(checkValue)
        .Payload(data)
        .Payload(shown);
    return command;
}

}  // namespace

extern "C" {

ORN_API int ornLoadMasterSessionKey(int keyIndex, int keyType, const char* key,
                                    const char* checkValue, const char* extra, int flag) {
    const size_t keyLength = TextLength(key);
    const size_t checkLength = TextLength(checkValue);
    std::string finalFlag;
    if (flag == 1) finalFlag = keyLength == 32 ? "0" : "00";
    return Command("ornLoadMasterSessionKey", catalogue::kKeyLoad)
        .Require(key != nullptr)
        .Require(IsKeyIndex(keyIndex) && InRange(keyType, 0, 4))
        .Require(keyLength == 16 || keyLength == 32)
        .Require(checkLength == 8 || (checkLength == 0 && keyLength == 16))
        .Require(!extra || std::strlen(extra) == 16)
        .Require(flag == 0 || flag == 1)
        .Require(IsHexText(key) && IsHexString(OrEmpty(checkValue)) &&
                 (!extra || IsHexString(extra)))
        .PayloadF("%c%c", KeyIndexChar(keyIndex), '0' + (keyType & 7))
        .Payload(key)
        .Payload(checkValue)
        .Payload(extra ? extra : kDefaultLoadField)
        .Payload(finalFlag)
        .Run();
}

ORN_API int ornDiagnosticKeyRequest(char request, int keyIndex, char* value) {
    return orn::GuardedCode("ornDiagnosticKeyRequest", [&]() -> int {
        std::string payload;
        if (request == 'T' || request == 'M' || request == 'K' || request == 'P') {
            payload = request;
        } else if ((request == 'm' || request == 's') && IsKeyIndex(keyIndex)) {
            char text[8];
            std::snprintf(text, sizeof text, "%02X%c", keyIndex + 48, request == 'm' ? 'M' : 'S');
            payload = text;
        }
        return DiagnosticKeyRequest(value && IsKeyIndex(keyIndex) && !payload.empty(), payload,
                                    value, kLogSevere);
    });
}

ORN_API int ornDiagnosticKeyRequestKeyType(char keyType, char* value) {
    return orn::GuardedCode("ornDiagnosticKeyRequestKeyType", [&]() -> int {
        const bool known = keyType == 'T' || keyType == 'M' || keyType == 'K' ||
                           (keyType >= '0' && keyType <= '5');
        return DiagnosticKeyRequest(value && known, known ? std::string(1, keyType) : "", value,
                                    kLogInfo);
    });
}

ORN_API int ornDataEncryption(int keyIndex, const char* key, const char* checkValue,
                              const char* data, char* result) {
    return orn::GuardedCode("ornDataEncryption", [&]() -> int {
        return DataEncryption(true, "002", keyIndex, key, checkValue, data, result);
    });
}

ORN_API int ornDataEncryptionCipher(int cipher, int keyIndex, const char* key,
                                    const char* checkValue, const char* data, char* result) {
    return orn::GuardedCode("ornDataEncryptionCipher", [&]() -> int {
        const bool cipherOk = cipher == 0 || cipher == 1;
        return DataEncryption(cipherOk, "2" + std::to_string(cipherOk ? cipher : 0) + "2", keyIndex,
                              key, checkValue, data, result);
    });
}

ORN_API int ornDecryptAndDisplayReq(int flag, int digit, int displayTime, int keyIndex,
                                    const char* key, const char* checkValue, const char* data,
                                    const char* text, ornDecryptDisplayCallback callback) {
    return DecryptAndDisplay(catalogue::kEncryption, flag == 0 ? 1 : 3, digit, displayTime,
                             keyIndex, key, checkValue, data, text)
        .RunAsync(kCallbackDecryptDisplay, callback);
}

ORN_API int ornDecryptAndDisplayWait(int flag, int digit, int displayTime, int keyIndex,
                                     const char* key, const char* checkValue, const char* data,
                                     const char* text) {
    return DecryptAndDisplay(catalogue::kEncryption, flag == 0 ? 1 : 3, digit, displayTime,
                             keyIndex, key, checkValue, data, text)
        .Run();
}

ORN_API int ornDecryptAndDisplayInAsciiReq(int digit, int displayTime, int keyIndex,
                                           const char* key, const char* checkValue,
                                           const char* data, const char* text,
                                           ornDecryptDisplayCallback callback) {
    return DecryptAndDisplay(catalogue::kAsciiDisplay, 1, digit, displayTime, keyIndex, key,
                             checkValue, data, text)
        .RunAsync(kCallbackDecryptDisplay, callback);
}

ORN_API int ornDecryptAndDisplayInAsciiWait(int digit, int displayTime, int keyIndex,
                                            const char* key, const char* checkValue,
                                            const char* data, const char* text) {
    return DecryptAndDisplay(catalogue::kAsciiDisplay, 1, digit, displayTime, keyIndex, key,
                             checkValue, data, text)
        .Run();
}

}  // extern "C"
