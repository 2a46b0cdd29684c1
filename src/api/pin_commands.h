// Internals of the PIN entry and debit sequence commands that tests reach directly.
#pragma once

#include <cstdint>

namespace orn {

// Response timeout (ms, as given to the record's timeout setter) of the debit sequence start,
// from its stage times: with any of them 0 it is the input auto-cancel time (`inputTimeoutSeconds`
// × 1000); otherwise the sum of the PIN timeout, the terminal's fixed 108 s per stage and the
// stage times that the entry mode and the extra stages add.
uint32_t DebitStartTimeout(int firstStageSeconds, int entryMode, int stageSeconds, int pinTimeout,
                           int extraStage1, int extraStage2, int inputTimeoutSeconds);

}  // namespace orn
