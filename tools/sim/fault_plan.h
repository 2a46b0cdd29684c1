// The link faults a simulated terminal plays, in one struct. The simulator's API, the console,
// scripts and the control socket all read and change the same plan (TerminalSimulator::Faults,
// SetFaults, ChangeFaults); the counted faults count down as frames go by.
#pragma once

#include <cstddef>

namespace orn::sim {

// How the terminal acknowledges what the host sends (frames and link-test ENQs).
enum class AckMode { Normal, Withhold };

struct FaultPlan {
    // Silent: the terminal is absent; it records but writes nothing at all.
    bool silent = false;
    int nakNext = 0;  // answer the next good frames with NAK and drop them
    // Withhold: no ACK for frames and link tests; `withholdRespond`: still answer them.
    AckMode ackMode = AckMode::Normal;
    bool withholdRespond = false;
    int withholdNext = 0;  // no ACK for the next frames (or link tests)
    bool withholdNextRespond = false;
    int ackDelayMs = 0;
    int responseDelayMs = 0;  // counted from the ACK
    int corruptNext = 0;      // a wrong LRC on the next frames written
    // Frames written in pieces of `chunkSize` bytes, `chunkGapMs` apart (0: whole).
    size_t chunkSize = 0;
    int chunkGapMs = 2;
    // Everything due at the same moment (ACK + answer, several frames) in one write.
    bool coalesce = false;

    bool operator==(const FaultPlan& other) const;
    bool operator!=(const FaultPlan& other) const { return !(*this == other); }
};

}  // namespace orn::sim
