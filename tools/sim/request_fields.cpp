#include "request_fields.h"

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

}  // namespace orn::sim
