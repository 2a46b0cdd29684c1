// PIN entry under DUKPT or master/session keys, the PIN-entry cancel and the debit sequence.
// The terminal enciphers the PIN; the library only formats the request and hands back the PIN
// block (and, for DUKPT, the key serial number) that the terminal sends.
#include "api/pin_commands.h"

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

constexpr size_t kPinBlockBuffer = 17;
constexpr size_t kKsnBuffer = 21;

bool InRange(int value, int low, int high) {
    return value >= low && value <= high;
}

// A PIN entry's timeout in units of 5 s (0..255): the record then waits timeout × 5000 ms (it
// adds 1000 ms to what it is given); 0 waits without limit.
uint32_t PinTimeout(int timeout) {
    return timeout > 0 ? static_cast<uint32_t>(timeout) * 5000 - 1000 : 0;
}

// The 4-character prompt shown before the PIN digits: "PIN=" when none is given, otherwise the
// caller's text aligned in 4 characters and cut to 4.
std::string FourCharacterPrompt(const char* prompt, bool leftAligned) {
    if (!prompt) return "PIN=";
    std::string text(prompt);
    if (text.size() >= 4) return text.substr(0, 4);
    std::string fill(4 - text.size(), ' ');
    return leftAligned ? text + fill : fill + text;
}

// A caller's text for the display: encoded into `encodedSize` bytes (terminator included),
// tested, and padded to `columns`. False for text the display cannot show.
bool DisplayField(const char* text, unsigned encodedSize, unsigned columns, std::string* out) {
    std::string encoded(encodedSize, '\0');
    EncodeDisplayText(encoded.data(), text, encodedSize);
    if (!IsValidDisplayText(encoded.c_str())) return false;
    *out = PadDisplayText(encoded.c_str(), columns);
    return true;
}

// A display line of the with-display PIN entries and of the debit screens: 16 columns.
bool DisplayLine(const char* text, std::string* out) {
    return DisplayField(text, 33, 16, out);
}

// The primary account number the PIN is tied to: exactly 16 characters.
bool IsAccount(const char* account) {
    return HasLength(account, 16) && IsFrameSafe(account);
}

// The head of every PIN entry request: key selector 0..15, option 0..4 (sent as "%X%d") and
// the entry's timeout, 0..255 units of 5 s.
Command PinEntry(const char* name, const catalogue::Message& message, int selector, int timeout,
                 int option) {
    Command command(name, message);
    command.Require(InRange(selector, 0, 15) && InRange(timeout, 0, 255) && InRange(option, 0, 4))
        .ResponseTimeout(PinTimeout(timeout))
        .PayloadF("%X%d", selector & 0xF, option);
    return command;
}

Command::Parser PinBlockInto(char* pinBlock, const char* name) {
    return [=](const Response& reply) {
        CopyOut(pinBlock, kPinBlockBuffer, catalogue::ReadPinBlock(reply.Text()), name);
    };
}

// --- with-display PIN entry ("69." and, with PIN length limits, "6H.") ------------------------

// The fields in argument order; the PIN length limits exist in the extended form only.
struct DisplayPinFields {
    int selector, option, keyIndex;
    const char* account;
    int keyMode;
    const char* key;
    const char* checkValue;
    int minPinLength, maxPinLength;
    const char* prompt;
    int option2, option3, keyIndex2;
    const char* line1;
    const char* line2;
    const char* line3;
    int timeout;
};

// The Req and the Wait of a with-display PIN entry differ in their last argument (callback or
// PIN block buffer), which is tested before the link tests, as are the extended form's limits.
Command DisplayPinCommand(const char* name, bool extended, const DisplayPinFields& e,
                          bool lastArgumentGiven) {
    std::string prompt = "PIN=", line1, line2, line3;
    const bool promptOk = !e.prompt || DisplayField(e.prompt, 9, 4, &prompt);
    const bool line1Ok = e.line1 && DisplayLine(e.line1, &line1);
    // A missing second line ends the payload: the third is then neither tested nor sent.
    const bool line2Ok = !e.line2 || DisplayLine(e.line2, &line2);
    const bool line3Ok = !e.line2 || !e.line3 || DisplayLine(e.line3, &line3);
    const bool keySent = e.keyMode == 1 || e.keyMode == 2;

    Command command =
        PinEntry(name, extended ? catalogue::kDisplayPinLengths : catalogue::kDisplayPin,
                 e.selector, e.timeout, e.option);
    command
        .CheckFirst(lastArgumentGiven &&
                    (!extended || (InRange(e.minPinLength, 4, 12) &&
                                   InRange(e.maxPinLength, e.minPinLength, 12))))
        .Require(InRange(e.option3, 0, 4) && IsKeyIndex(e.keyIndex) && IsKeyMode(e.keyMode))
        .Require(e.keyIndex2 == 255 || IsKeyIndex(e.keyIndex2))
        .Require(IsAccount(e.account) && InRange(e.option2, 0, 3) && e.line1)
        .Require(IsKeyForMode(e.keyMode, e.key) && (!keySent || IsFrameSafe(e.key)))
        .Require(IsCheckValueFor(keySent ? e.key : nullptr, e.checkValue) &&
                 IsFrameSafe(e.checkValue))
        .Require(promptOk)
        .Require(line1Ok && line2Ok && line3Ok);
    if (extended) command.PayloadF("%X%X", e.minPinLength & 0xF, e.maxPinLength & 0xF);
    command.PayloadF("%c%s%c", KeyIndexChar(e.keyIndex), OrEmpty(e.account), KeyModeChar(e.keyMode))
        .Payload(keySent ? e.key : "")
        .Payload(e.checkValue)
        .Payload(prompt)
        .PayloadF("%d%d%02X", e.option2, e.option3, e.keyIndex2 & 0xFF)
        .Payload(line1 + catalogue::kFieldSeparator);
    if (e.line2) {
        command.Payload(line2 + catalogue::kFieldSeparator);
        if (e.line3) command.Payload(line3 + catalogue::kFieldSeparator);
    }
    return command;
}

// The exports run whole behind the exception barrier: the display fields are encoded before
// the command runs.
int DisplayPin(const char* name, bool extended, const DisplayPinFields& e,
               ornPinCallback callback) {
    return GuardedCode(name, [&] {
        return DisplayPinCommand(name, extended, e, callback != nullptr)
            .RunAsync(kCallbackPin, callback);
    });
}

int DisplayPin(const char* name, bool extended, const DisplayPinFields& e, char* pinBlock) {
    return GuardedCode(name, [&] {
        return DisplayPinCommand(name, extended, e, pinBlock != nullptr)
            .ClearFirst(pinBlock)
            .Parse(PinBlockInto(pinBlock, name))
            .Run();
    });
}

// --- DUKPT and master/session PIN entry -----------------------------------------------------

Command DukptCommand(const char* name, int selector, int timeout, int option, const char* account,
                     const char* prompt) {
    Command command = PinEntry(name, catalogue::kDukptPin, selector, timeout, option);
    command.Require(IsAccount(account) && IsFrameSafe(prompt))
        .Payload(account)
        .Payload(FourCharacterPrompt(prompt, false));
    return command;
}

Command MasterSessionCommand(const char* name, bool lastArgumentGiven, int selector, int timeout,
                             int option, int keyIndex, const char* account, const char* sessionKey,
                             const char* checkValue, const char* prompt) {
    Command command = PinEntry(name, catalogue::kPin, selector, timeout, option);
    command.CheckFirst(lastArgumentGiven)
        .Require(IsKeyIndex(keyIndex) && IsAccount(account))
        .Require(IsKeyLength(sessionKey) && IsFrameSafe(sessionKey))
        .Require(IsCheckValueFor(sessionKey, checkValue) && IsFrameSafe(checkValue))
        .Require(IsFrameSafe(prompt))
        .PayloadF("%c", KeyIndexChar(keyIndex))
        .Payload(account)
        .Payload(sessionKey)
        .Payload(checkValue)
        .Payload(FourCharacterPrompt(prompt, false));
    return command;
}

// --- debit sequence -------------------------------------------------------------------------

// The fields of the debit screens, tested and encoded in argument order.
class DebitFields {
  public:
    void Number(int value, int low, int high, const char* format) {
        Add(InRange(value, low, high), value, format);
    }
    // A digit up to `high`, then two display lines.
    void DigitLines(int value, int high, const char* line1, const char* line2) {
        Number(value, 0, high, "%d");
        Line(line1);
        Line(line2);
    }
    // A number 0..63 as two hexadecimal digits, then a display line.
    void HexLine(int value, const char* line) {
        Number(value, 0, 63, "%02X");
        Line(line);
    }
    // A key index that may also be 255 (none), then a display line.
    void IndexLine(int value, const char* line) {
        Add(value == 255 || IsKeyIndex(value), value, "%02X");
        Line(line);
    }
    // A display line followed by the field separator.
    void Line(const char* text) {
        std::string line;
        if (!text || !DisplayLine(text, &line)) m_bOk = false;
        m_Payload += line + catalogue::kFieldSeparator;
    }
    // The closing text: left-aligned in 15 characters and cut to 15, no separator.
    void Trailer(const char* text) {
        if (!text || !IsFrameSafe(text)) m_bOk = false;
        std::string trailer(OrEmpty(text));
        trailer.resize(15, ' ');
        m_Payload += trailer;
    }
    bool Ok() const { return m_bOk; }
    const std::string& Payload() const { return m_Payload; }

  private:
    void Add(bool ok, int value, const char* format) {
        if (!ok) {
            m_bOk = false;
            return;
        }
        char text[16];
        std::snprintf(text, sizeof text, format, value);
        m_Payload += text;
    }

    bool m_bOk = true;
    std::string m_Payload;
};

}  // namespace

namespace orn {

uint32_t DebitStartTimeout(int firstStageSeconds, int entryMode, int stageSeconds, int pinTimeout,
                           int extraStage1, int extraStage2, int inputTimeoutSeconds) {
    if (firstStageSeconds == 0 || stageSeconds == 0 || pinTimeout == 0)
        return static_cast<uint32_t>(inputTimeoutSeconds) * 1000;
    const uint32_t stage = static_cast<uint32_t>(stageSeconds) * 1000;
    uint32_t t = static_cast<uint32_t>(pinTimeout) * 5000 + 108000;
    if (extraStage1 == 1) t += stage + 108000;
    if (extraStage2 == 1) t += stage + 108000;
    if (extraStage1 == 1 || extraStage2 == 1) t += stage;
    if (entryMode != 0) t += static_cast<uint32_t>(firstStageSeconds) * 1000;
    return t + 2 * stage;
}

}  // namespace orn

extern "C" {

ORN_API int ornDukptPinReq(int selector, int timeout, int option, const char* account,
                           const char* prompt, ornDukptCallback callback) {
    return DukptCommand("ornDukptPinReq", selector, timeout, option, account, prompt)
        .Require(callback != nullptr)
        .RunAsync(kCallbackDukpt, callback);
}

ORN_API int ornDukptPinWait(int selector, int timeout, int option, const char* account,
                            const char* prompt, char* pinBlock, char* ksn) {
    return DukptCommand("ornDukptPinWait", selector, timeout, option, account, prompt)
        .Require(pinBlock != nullptr)
        .Step([&] { pinBlock[0] = '\0'; })
        .Require(ksn != nullptr)
        .Step([&] { ksn[0] = '\0'; })
        .Parse([&](const Response& reply) {
            const catalogue::DukptPinAnswer pin = catalogue::ReadDukptPin(reply.Text());
            CopyOut(pinBlock, kPinBlockBuffer, pin.pinBlock, "ornDukptPinWait");
            CopyOut(ksn, kKsnBuffer, pin.ksn, "ornDukptPinWait");
        })
        .Run();
}

ORN_API int ornMasterSessionPinEntryReq(int selector, int timeout, int option, int keyIndex,
                                        const char* account, const char* sessionKey,
                                        const char* checkValue, const char* prompt,
                                        ornPinCallback callback) {
    return MasterSessionCommand("ornMasterSessionPinEntryReq", callback != nullptr, selector,
                                timeout, option, keyIndex, account, sessionKey, checkValue, prompt)
        .RunAsync(kCallbackPin, callback);
}

ORN_API int ornMasterSessionPinEntryWait(int selector, int timeout, int option, int keyIndex,
                                         const char* account, const char* sessionKey,
                                         const char* checkValue, const char* prompt,
                                         char* pinBlock) {
    return MasterSessionCommand("ornMasterSessionPinEntryWait", pinBlock != nullptr, selector,
                                timeout, option, keyIndex, account, sessionKey, checkValue, prompt)
        .ClearFirst(pinBlock)
        .Parse(PinBlockInto(pinBlock, "ornMasterSessionPinEntryWait"))
        .Run();
}

// The display PIN exports come in Req (the PIN block reaches `callback`) and Wait forms over one
// parameter list; the extended forms add the PIN length bounds after the check value.
#define DISPLAY_PIN_EXPORTS(name, extended, lengthParams, minLength, maxLength)             \
    ORN_API int name##Req(DISPLAY_PIN_LEADING, lengthParams DISPLAY_PIN_TRAILING,           \
                          ornPinCallback callback) {                                        \
        return DisplayPin(#name "Req", extended, DISPLAY_PIN_FIELDS(minLength, maxLength),  \
                          callback);                                                        \
    }                                                                                       \
    ORN_API int name##Wait(DISPLAY_PIN_LEADING, lengthParams DISPLAY_PIN_TRAILING,          \
                           char* pinBlock) {                                                \
        return DisplayPin(#name "Wait", extended, DISPLAY_PIN_FIELDS(minLength, maxLength), \
                          pinBlock);                                                        \
    }
#define DISPLAY_PIN_LEADING                                                                    \
    int selector, int option, int keyIndex, const char *account, int keyMode, const char *key, \
        const char *checkValue
#define DISPLAY_PIN_LENGTHS int minPinLength, int maxPinLength,
#define DISPLAY_PIN_TRAILING                                                        \
    const char *prompt, int option2, int option3, int keyIndex2, const char *line1, \
        const char *line2, const char *line3, int timeout
#define DISPLAY_PIN_FIELDS(minLength, maxLength)                                             \
    DisplayPinFields {                                                                       \
        selector, option, keyIndex, account, keyMode, key, checkValue, minLength, maxLength, \
            prompt, option2, option3, keyIndex2, line1, line2, line3, timeout                \
    }

DISPLAY_PIN_EXPORTS(ornMSPinWithDisplay, false, , 0, 0)
DISPLAY_PIN_EXPORTS(ornMSPinWithDisplayEx, true, DISPLAY_PIN_LENGTHS, minPinLength, maxPinLength)

ORN_API int ornPinEntryCancel(void) {
    return Command("ornCancel", catalogue::kQuickCancel)
        .ResponseId("")
        .Group(kGroupCancel)
        .AfterExchange([](int result) {
            // A terminal out of reach cannot be told, but what waits on it ends all the same.
            if (result == 0 || result == ORN_ERR_DEVICE_IS_NOT_RESPONDING_ERROR)
                Engine().CancelQueued(kCancel50);
        })
        .AfterExchangeEvenWhenNotConnected()
        .Run();
}

ORN_API int ornDebitSequenceInit(int field1, const char* field2, const char* field3, int field4,
                                 const char* field5, const char* field6, int field7, int field8,
                                 const char* field9, int field10, const char* field11, int field12,
                                 int field13, const char* field14, int field15, const char* field16,
                                 int field17, const char* field18, const char* field19, int field20,
                                 const char* field21, const char* field22, int field23, int field24,
                                 const char* field25, int field26, const char* field27, int field28,
                                 const char* field29, const char* field30, const char* field31) {
    DebitFields f;
    f.DigitLines(field1, 3, field2, field3);
    f.DigitLines(field4, 3, field5, field6);
    f.Number(field7, 0, 3, "%d");
    f.HexLine(field8, field9);
    f.HexLine(field10, field11);
    f.Number(field12, 0, 3, "%d");
    f.HexLine(field13, field14);
    f.HexLine(field15, field16);
    f.DigitLines(field17, 3, field18, field19);
    f.DigitLines(field20, 2, field21, field22);
    f.Number(field23, 0, 3, "%d");
    f.IndexLine(field24, field25);
    f.IndexLine(field26, field27);
    f.DigitLines(field28, 3, field29, field30);
    f.Trailer(field31);
    return Command("ornDebitSequenceInit", catalogue::kDebitInit)
        .Require(f.Ok())
        .Payload(f.Payload())
        .Run();
}

ORN_API int ornDebitSequenceStartReq(int firstFlag, int firstStageSeconds, int entryMode,
                                     int secondFlag, int stageSeconds, int pinTimeout,
                                     const char* prompt, int amount, int extraStage1,
                                     int extraStage2, int keyIndex, int keyMode, const char* key,
                                     const char* checkValue, const char* account,
                                     ornDebitCallback callback) {
    const bool keySent = keyMode == 1 || keyMode == 2;
    const bool accountSent = entryMode == 0;
    return Command("ornDebitSequenceStartReq", catalogue::kDebitStart)
        .Require(InRange(firstFlag, 0, 1) && InRange(firstStageSeconds, 0, 99) &&
                 InRange(entryMode, 0, 2) && InRange(secondFlag, 0, 1) &&
                 InRange(stageSeconds, 0, 99) && InRange(pinTimeout, 0, 15))
        .Require(IsFrameSafe(prompt))
        .Require(InRange(amount, 0, 999999999) && InRange(extraStage1, 0, 1) &&
                 InRange(extraStage2, 0, 1) && IsKeyIndex(keyIndex) && IsKeyMode(keyMode))
        .Require(IsKeyForMode(keyMode, key) && (!keySent || IsFrameSafe(key)))
        .Require(keyMode != 2 || (HasLength(checkValue, 8) && IsFrameSafe(checkValue)))
        .Require(!accountSent || IsAccount(account))
        .Require(callback != nullptr)
        .ResponseTimeout(DebitStartTimeout(firstStageSeconds, entryMode, stageSeconds, pinTimeout,
                                           extraStage1, extraStage2, Engine().GetInputTimeout()))
        .InputAutoCancel()
        .PayloadF("%d%02d%d%d%02d%X", firstFlag, firstStageSeconds, entryMode, secondFlag,
                  stageSeconds, pinTimeout & 0xF)
        .Payload(FourCharacterPrompt(prompt, true))
        .PayloadF("%09lu%d%d%c%c", static_cast<unsigned long>(amount < 0 ? 0 : amount), extraStage1,
                  extraStage2, KeyIndexChar(keyIndex), KeyModeChar(keyMode))
        .Payload(keySent ? key : "")
        .Payload(keyMode == 2 ? checkValue : "")
        .Payload(accountSent ? account : "")
        .RunAsync(kCallbackDebit, callback);
}

}  // extern "C"
