// Frames as trace entries: named and split into fields by the message catalogue, with the
// secrets masked the way the library's log masks them.
#include <algorithm>
#include <string>
#include <vector>

#include "link/catalogue.h"
#include "link/sensitive.h"
#include "sim.h"

namespace orn::sim {

namespace {

std::string Hex(unsigned char c) {
    static const char kDigits[] = "0123456789ABCDEF";
    return {kDigits[c >> 4], kDigits[c & 0xF]};
}

// A field's text as the trace shows it: hidden bytes as '*' ("**" in hexadecimal).
std::string FieldValue(const catalogue::Field& field, const std::string& message, size_t at,
                       const std::vector<bool>& hidden) {
    if (field.format == catalogue::Format::Note) return field.note;
    const size_t end = std::min(message.size(), at + field.count);
    bool secret = false;
    for (size_t i = at; i < end && i < hidden.size(); ++i) secret = secret || hidden[i];
    if (field.format == catalogue::Format::Number && !secret) {
        unsigned long value = 0;
        for (size_t i = at; i < end; ++i)
            value = value << 8 | static_cast<unsigned char>(message[i]);
        return std::to_string(value);
    }
    std::string text;
    for (size_t i = at; i < end; ++i) {
        const bool mask = i < hidden.size() && hidden[i];
        const auto c = static_cast<unsigned char>(message[i]);
        if (field.format != catalogue::Format::Text) {
            text += mask ? "**" : Hex(c);
        } else if (mask) {
            text += '*';
        } else if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            text += "<" + Hex(c) + ">";
        }
    }
    return text;
}

}  // namespace

TraceEntry MakeTraceEntry(bool fromTerminal, const std::string& id, const std::string& payload) {
    TraceEntry entry;
    entry.fromTerminal = fromTerminal;
    entry.id = id;
    if (id.empty()) {
        entry.text = "(block) " + std::to_string(payload.size()) + " bytes";
        return entry;
    }
    const LinkDirection direction =
        fromTerminal ? LinkDirection::FromTerminal : LinkDirection::ToTerminal;
    const std::string message = id + payload;
    const auto* bytes = reinterpret_cast<const uint8_t*>(message.data());
    if (const catalogue::Message* known = catalogue::Find(bytes, message.size()))
        entry.name = known->name;
    const std::vector<bool> hidden = SensitiveMask(direction, bytes, message.size());
    entry.text = catalogue::Describe(direction, bytes, message.size(), hidden);
    for (const catalogue::Field& field : catalogue::FieldsOf(direction, bytes, message.size())) {
        entry.fields.emplace_back(field.name,
                                  FieldValue(field, message, id.size() + field.from, hidden));
    }
    return entry;
}

}  // namespace orn::sim
