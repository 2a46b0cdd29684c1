#include "api/command.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "api/guard.h"
#include "api/session.h"
#include "velquoraorn.h"

namespace orn {

namespace {

std::string FormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0) return {};
    std::string text(static_cast<size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

}  // namespace

void LogEscapedException(const char* exportName, const char* what) noexcept {
    try {
        Engine().Logger().Log(kLogSevere, "%s: exception caught: %s", exportName, what);
    } catch (...) {
        // Nothing more can be said.
    }
}

// --- Response
// ----------------------------------------------------------------------------------

int Response::Status() const {
    return catalogue::ReadStatus(m_Text);
}

std::string Response::From(size_t pos, size_t count) const {
    if (pos >= m_Text.size()) return {};
    return m_Text.substr(pos, count);
}

char Response::At(size_t pos, char fallback) const {
    return pos < m_Text.size() ? m_Text[pos] : fallback;
}

void Response::Warn(const char* format, ...) const {
    va_list args;
    va_start(args, format);
    Engine().Logger().LogV(kLogSevere, format, args);
    va_end(args);
}

void CopyOut(char* buffer, size_t size, const std::string& text, const char* what) {
    if (!buffer || size == 0) return;
    size_t length = text.size();
    if (length > size - 1) {
        Engine().Logger().Log(kLogSevere, "%s: reply of %zu characters cut to %zu", what, length,
                              size - 1);
        length = size - 1;
    }
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}

// --- Command
// -----------------------------------------------------------------------------------

Command::Command(std::string name, std::string id)
    : m_Name(std::move(name)),
      m_Id(id),
      m_ResponseId(std::move(id)),
      m_nGroup(kGroupDisplay),
      m_nCancelType(kCancel50) {}

Command::Command(std::string name, const catalogue::Message& message)
    : Command(std::move(name), std::string(message.id)) {}

Command Command::Unlisted(std::string name, std::string id) {
    return Command(std::move(name), std::move(id));
}

Command::~Command() = default;

Command& Command::ResponseTimeout(uint32_t ms) {
    m_bTimeoutSet = true;
    m_dwResponseTimeout = ms;
    return *this;
}

Command& Command::FrameChars(uint8_t start, uint8_t end) {
    m_byStart = start;
    m_byEnd = end;
    return *this;
}

Command& Command::CheckFirst(bool ok) {
    if (!ok) m_bFirstChecksFailed = true;
    return *this;
}

Command& Command::ClearFirst(char* text) {
    if (!m_bFirstChecksFailed && text) text[0] = '\0';
    return *this;
}

Command& Command::Require(bool ok) {
    m_Steps.push_back({ok, nullptr, nullptr});
    return *this;
}

Command& Command::Step(std::function<void()> action) {
    m_Steps.push_back({true, std::move(action), nullptr});
    return *this;
}

Command& Command::Test(std::function<int()> test) {
    m_Steps.push_back({true, nullptr, std::move(test)});
    return *this;
}

Command& Command::Payload(const std::string& text) {
    m_Payload.insert(m_Payload.end(), text.begin(), text.end());
    return *this;
}

Command& Command::Payload(const char* text) {
    return Payload(std::string(text ? text : ""));
}

Command& Command::Payload(const uint8_t* bytes, size_t length) {
    if (bytes) m_Payload.insert(m_Payload.end(), bytes, bytes + length);
    return *this;
}

Command& Command::PayloadF(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Payload(FormatV(format, args));
    va_end(args);
    return *this;
}

Command& Command::DeferredPayload(std::function<std::string()> make) {
    m_DeferredPayload = std::move(make);
    return *this;
}

Command& Command::Clear(std::function<void()> clearOutputs) {
    m_Clear = std::move(clearOutputs);
    return *this;
}

Command& Command::StatusFrom(int (*status)(const Response&)) {
    m_Status = status;
    return *this;
}

Command& Command::Parse(Parser parser) {
    m_Parser = std::move(parser);
    return *this;
}

Command& Command::Finish(Outcome outcome) {
    m_Outcome = std::move(outcome);
    return *this;
}

Command& Command::AfterExchange(std::function<void(int)> action) {
    m_AfterExchange = std::move(action);
    return *this;
}

Command& Command::AfterExchangeEvenWhenNotConnected() {
    m_bAfterWhenNotConnected = true;
    return *this;
}

Command& Command::InputAutoCancel() {
    m_bInputAutoCancel = true;
    return *this;
}

Command& Command::Exchange(Exchanger exchange) {
    m_Exchange = std::move(exchange);
    return *this;
}

// Steps 1-3: the link tests, then the argument tests; also refuses a payload
// that would not fit the record rather than cutting it.
int Command::Preamble() {
    if (m_bFirstChecksFailed) return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
    int result = CommonPreamble();
    m_bNotConnected = result == ORN_ERR_DEVICE_IS_NOT_RESPONDING_ERROR;
    if (result != 0) return result;
    for (const ArgumentStep& step : m_Steps) {
        if (!step.ok) return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
        if (step.action) step.action();
        if (step.test) {
            result = step.test();
            if (result != 0) return result;
        }
    }
    if (m_DeferredPayload) {
        Payload(m_DeferredPayload());
        m_DeferredPayload = nullptr;  // made once, even when the tests are run again
    }
    if (m_Payload.size() > static_cast<size_t>(CCommandData::kMaxPayload))
        return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
    return 0;
}

int Command::Check() {
    return GuardedCode(m_Name.c_str(), [this] { return Preamble(); });
}

// Step 4.
CCommandData* Command::BuildRecord() {
    auto* record = new CCommandData;
    record->SetName(m_Name.c_str());
    record->SetRequestId(m_Id);
    record->SetResponseId(m_ResponseId);
    record->SetGroup(m_nGroup);
    record->SetCancelType(m_nCancelType);
    if (m_bTimeoutSet) record->SetResponseTimeout(m_dwResponseTimeout);
    if (m_bySelector) record->SetResponseSelector(m_bySelector);
    if (m_byStart != 0x02 || m_byEnd != 0x03) record->SetFrameChars(m_byStart, m_byEnd);
    if (m_nCallbackOption) record->SetCallbackOption(m_nCallbackOption);
    if (m_dwAckTimeout) record->SetAckTimeout(m_dwAckTimeout);
    record->SetLengthField(m_bLengthField);
    record->AppendData(m_Payload.data(), static_cast<int>(m_Payload.size()));
    return record;
}

int Command::Run() {
    return GuardedCode(m_Name.c_str(), [this] {
        CCommandData* record = nullptr;
        try {
            return RunRecord(record);
        } catch (...) {
            // Its caller is gone: the record must not hold its group up for ever.
            if (record) Engine().DoneCommand(record);
            throw;
        }
    });
}

int Command::RunRecord(CCommandData*& record) {
    int result = Preamble();
    if (result != 0) {
        if (m_bNotConnected && m_bAfterWhenNotConnected && m_AfterExchange) m_AfterExchange(result);
        return result;
    }
    CGenericHandler& engine = Engine();
    record = BuildRecord();

    if (m_bInputAutoCancel) engine.StartInputAutoCancel();
    result = m_Exchange ? m_Exchange(engine, record) : engine.SendWaitData(record);  // step 5
    if (m_bInputAutoCancel) engine.StopInputAutoCancel();

    Response response;
    if (result == 0) {
        std::vector<unsigned char> buffer(Response::kMaxText);
        int length = engine.GetResponse(record, buffer.data());
        if (length > 0) response = Response(std::string(buffer.begin(), buffer.begin() + length));
    }
    if (m_Outcome) {
        result = m_Outcome(result, response);
    } else {
        if (m_Clear) m_Clear();                      // step 6
        if (result == 0 && !m_ResponseId.empty()) {  // step 7
            result = m_Status ? m_Status(response) : response.Status();
            if (result == 0 && m_Parser) m_Parser(response);
        }
    }
    if (m_AfterExchange) m_AfterExchange(result);
    CCommandData* done = record;
    record = nullptr;
    engine.DoneCommand(done);  // step 8
    return result;
}

int Command::RunAsyncRaw(int32_t kind, CCommandData::RawCallback callback) {
    return GuardedCode(m_Name.c_str(), [&] {
        int result = Preamble();
        if (result != 0) return result;
        CGenericHandler& engine = Engine();
        CCommandData* record = BuildRecord();
        record->SetAsync(1);
        record->SetCallback(kind, callback);
        if (m_bInputAutoCancel) engine.StartInputAutoCancel();
        result = engine.SendAsync(record);
        if (result != 0) {
            if (m_bInputAutoCancel) engine.StopInputAutoCancel();
            engine.DoneCommand(record);
        }
        return result;
    });
}

}  // namespace orn
