// Decoding of the responses of asynchronous commands into the arguments of their user
// callbacks (CCommandData::InvokeCallback), and the fixed sizes of the buffers handed to them.
// A reply that does not fit a buffer is cut to it (and the cut logged at Severe); a short reply
// leaves the arguments it does not reach at their defaults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orn {

// Buffer sizes in bytes, terminator included where the buffer holds text.
constexpr size_t kInputTextBufferSize = 33;         // INPUT: 32 characters
constexpr size_t kPinBlockBufferSize = 17;          // DUKPT, PIN, DEBIT: 16 characters
constexpr size_t kKsnBufferSize = 21;               // DUKPT: 20 characters
constexpr size_t kMsrTrack1BufferSize = 77;         // MSR and MSRDISPLAY track 1
constexpr size_t kMsrTrack2BufferSize = 38;         // MSR track 2
constexpr size_t kMsrDisplayTrack2BufferSize = 37;  // MSRDISPLAY track 2
constexpr size_t kAtrBufferSize = 512;              // SMARTCARDATR data (binary, no terminator)
constexpr size_t kDebitFirstTextBufferSize = 37;    // DEBIT first text: 36 characters
constexpr size_t kDebitSecondTextBufferSize = 77;   // DEBIT second text: 76 characters

// The arguments of the DEBIT callback after the status, at their defaults.
struct DebitCallbackArgs {
    uint32_t firstValue = 0;
    uint32_t secondValue = 0;
    uint32_t thirdValue = 0;
    char code = '0';
    char pinBlock[kPinBlockBufferSize] = {};
    char secondText[kDebitSecondTextBufferSize] = {};
    char firstText[kDebitFirstTextBufferSize] = {};
};

// Fills `args` from the response of a debit sequence whose status character is '0' (`response`
// starts with that character); read by the catalogue's debit reader. Texts longer than their
// buffers are cut.
void DecodeDebitCallback(const std::string& response, DebitCallbackArgs* args);

}  // namespace orn
