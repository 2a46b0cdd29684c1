#include "answers.h"

#include <optional>
#include <string>

#include "sim.h"

namespace orn::sim {

RequestFields::RequestFields(const Request& request) : RequestFields(request.id, request.payload) {}

RequestFields::RequestFields(const std::string& id, const std::string& payload)
    : payload_(payload) {
    const std::string message = id + payload;
    const auto* bytes = reinterpret_cast<const uint8_t*>(message.data());
    if (const catalogue::Message* entry = catalogue::Find(bytes, message.size()))
        message_ = entry->name;
    fields_ = catalogue::FieldsOf(LinkDirection::ToTerminal, bytes, message.size());
}

std::string RequestFields::Text(const char* name) const {
    return catalogue::FieldText(fields_, payload_, name);
}

char RequestFields::Char(const char* name) const {
    const std::string text = Text(name);
    return text.empty() ? '\0' : text[0];
}

uint32_t RequestFields::Number(const char* name) const {
    uint32_t value = 0;
    for (unsigned char c : Text(name)) value = value << 8 | c;
    return value;
}

void InstallDefaultAnswers(TerminalSimulator& sim) {
    InstallBasicAnswers(sim);
    InstallDeviceAnswers(sim);
    InstallDataStorageAnswers(sim);
    InstallDisplayAnswers(sim);
    InstallCardsAnswers(sim);
    InstallPinAnswers(sim);
}

// Beep, cancel, reboot, return to idle and prompt registration: plain success.
void InstallBasicAnswers(TerminalSimulator& sim) {
    for (const char* id : {"5B.", "50.", "ER.", "6Z.", "56."})
        sim.SetHandler(id, [](const Request&) { return std::optional<std::string>("0"); });
}

}  // namespace orn::sim
