// Where the library's inner results become the codes an application sees: the open errors of
// the platform, the engine's busy answers and the outcome of bringing a link up. Exports map
// through these and nowhere else.
#pragma once

#include <cstdint>

#include "engine/generic_handler.h"

namespace orn {

// ornInit, ornInitLegacy and ornReOpenPort: the port is not left open because no terminal
// answered on it (or, for a reopen, there was no link to open again).
constexpr int kResultNoTerminal = 1;

// A platform open error: 0 -> 0, 2 -> -21, 5 -> -22, anything else -1.
int OpenResult(uint32_t error);
// ornIsBusy: 0 idle, 1 busy, -7 a device the queue does not track, -18 no such device.
int BusyResult(BusyAnswer answer);
// ornInputTimeoutAutoCancel: 0 stored, -1 while an input is timed, -18 out of range.
int InputTimeoutResult(CGenericHandler::InputTimeoutChange change);
// ornCheckConnectionStatus: the value the connection state callback gives for the state.
int ConnectionStatusResult(int32_t state);

}  // namespace orn
