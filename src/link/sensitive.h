// Secrets in link dumps. At Fine and Detail the link dumps every frame; frames of PIN entry, key
// loading, encryption, MAC and card reading carry PIN blocks, keys, account numbers and track
// data. Unless the application turned full dumps on (ornSetLogSensitiveData), the bytes of those
// fields are shown as '*' in both columns of every dump; layout, titles and counts stay.
//
// Which fields are secret is said once, in the message catalogue (link/catalogue.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/catalogue.h"

namespace orn {

// Full dumps on (1) or masked (0, the default at load).
void SetLogSensitiveData(bool on);
bool LogSensitiveData();

// Mask for a message (id followed by its decoded payload), one flag per message byte; empty
// when nothing is to be hidden.
std::vector<bool> SensitiveMask(LinkDirection direction, const uint8_t* message, size_t length);

// Maps a mask over decoded payload bytes onto the P1.6 characters that carry them.
std::vector<bool> EncodedMask(const std::vector<bool>& payloadMask, size_t encodedChars);

// Hide [from, from + count) clipped to the mask; keep the first 6 and last 4 digits of an
// account number that starts at `from` and runs while digits follow.
void HideRange(std::vector<bool>& mask, size_t from, size_t count);
void HideAccountNumber(std::vector<bool>& mask, const uint8_t* payload, size_t length, size_t from);

}  // namespace orn
