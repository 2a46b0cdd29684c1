// The answer of the debit sequence ("6B."), as the terminal lays it out after the identifier:
// status character; 10 digits of the first value; a second and a third value of 9 digits each,
// each present only when the next three characters are not "C01" or "S01"; the account type
// code character and two more characters; the 16-character PIN block; then, when anything is
// left, two texts each preceded by its 2-digit length. Read by the DEBIT callback and by the
// masks of the link dumps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orn {

struct DebitReply {
    uint32_t firstValue = 0;
    uint32_t secondValue = 0;
    uint32_t thirdValue = 0;
    char code = '0';
    size_t pinBlockPos = 0;  // where the PIN block starts in the text (0: not reached)
    std::string pinBlock;
    std::string firstText;  // as long as the terminal declared it, within the text
    std::string secondText;
    // Where the length fields of the two texts start (0: not reached).
    size_t firstLengthPos = 0;
    size_t secondLengthPos = 0;
};

// Reads `text` (`length` bytes, starting with the status character). Only an answer whose
// status is '0' is read; a short answer leaves what it does not reach at the defaults. Never
// reads outside the text.
DebitReply ParseDebitReply(const char* text, size_t length);

}  // namespace orn
