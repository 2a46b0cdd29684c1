#include "fault_plan.h"

#include <tuple>

namespace orn::sim {

namespace {

auto Tie(const FaultPlan& p) {
    return std::tie(p.silent, p.nakNext, p.ackMode, p.withholdRespond, p.withholdNext,
                    p.withholdNextRespond, p.ackDelayMs, p.responseDelayMs, p.corruptNext,
                    p.chunkSize, p.chunkGapMs, p.coalesce);
}

}  // namespace

bool FaultPlan::operator==(const FaultPlan& other) const {
    return Tie(*this) == Tie(other);
}

}  // namespace orn::sim
