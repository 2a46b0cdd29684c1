// Seeds for the fuzz targets (tests/fuzz), recorded from the simulator's traffic of the tests:
// with ORN_RECORD_FRAMES naming a directory, every SimSession writes, when it closes, what the
// simulated terminal sent, in the fuzz targets' input layouts (tests/fuzz/fuzz_support.h):
//   DIR/receiver/  the bytes as the library read them, chunk by chunk;
//   DIR/messages/  each frame as the library hands it on (variant 0, identifier, payload).
// Files are named after their content, so repeated traffic is kept once. scripts/fuzz.sh
// --record-seeds runs the integration tests this way and merges the result into the corpora.
#pragma once

#include "sim.h"

namespace orn::test {

// Writes the seeds of `record` when ORN_RECORD_FRAMES is set; nothing otherwise.
void RecordFuzzSeeds(const orn::sim::Record& record);

}  // namespace orn::test
