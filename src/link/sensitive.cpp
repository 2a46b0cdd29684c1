// The masks that keep secrets out of link dumps, built from the fields the message catalogue
// marks secret.
#include "link/sensitive.h"

#include <atomic>

namespace orn {

namespace {

std::atomic<bool> g_bLogSensitiveData{false};

}  // namespace

void SetLogSensitiveData(bool on) {
    g_bLogSensitiveData.store(on);
}

bool LogSensitiveData() {
    return g_bLogSensitiveData.load();
}

std::vector<bool> SensitiveMask(LinkDirection direction, const uint8_t* message, size_t length) {
    if (LogSensitiveData() || !message || length <= 3) return {};
    // Every entry of the message's identifier contributes: a message shared by two families
    // (the "F1." channel, for one) is masked by both.
    const std::vector<catalogue::Field> fields = catalogue::FieldsOf(direction, message, length);
    const size_t idLength = catalogue::IdMatches("72", message, length) ? 2 : 3;
    const uint8_t* payload = message + idLength;
    const size_t payloadLength = length - idLength;
    std::vector<bool> payloadMask(payloadLength, false);
    bool any = false;
    for (const catalogue::Field& field : fields) {
        if (field.secrecy == catalogue::Secrecy::Secret) {
            HideRange(payloadMask, field.from, field.count);
            any = any || field.count > 0;
        } else if (field.secrecy == catalogue::Secrecy::Account) {
            HideAccountNumber(payloadMask, payload, field.from + field.count, field.from);
            any = true;
        }
    }
    if (!any) return {};
    any = false;
    for (bool hidden : payloadMask) any = any || hidden;
    if (!any) return {};
    std::vector<bool> mask(idLength, false);
    mask.insert(mask.end(), payloadMask.begin(), payloadMask.end());
    return mask;
}

std::vector<bool> EncodedMask(const std::vector<bool>& payloadMask, size_t encodedChars) {
    std::vector<bool> mask(encodedChars, false);
    // Character j carries bits 6j .. 6j + 5 of the payload; it is hidden when any byte it
    // carries bits of is.
    for (size_t j = 0; j < encodedChars; ++j) {
        const size_t first = 6 * j / 8;
        const size_t last = (6 * j + 5) / 8;
        for (size_t b = first; b <= last && b < payloadMask.size(); ++b) {
            if (payloadMask[b]) mask[j] = true;
        }
    }
    return mask;
}

void HideRange(std::vector<bool>& mask, size_t from, size_t count) {
    for (size_t i = from; i < mask.size() && i - from < count; ++i) mask[i] = true;
}

void HideAccountNumber(std::vector<bool>& mask, const uint8_t* payload, size_t length,
                       size_t from) {
    constexpr size_t kKeepFirst = 6;
    constexpr size_t kKeepLast = 4;
    size_t end = from;
    while (end < length && payload[end] >= '0' && payload[end] <= '9') ++end;
    const size_t digits = end - from;
    if (digits > kKeepFirst + kKeepLast)
        HideRange(mask, from + kKeepFirst, digits - kKeepFirst - kKeepLast);
}

}  // namespace orn
