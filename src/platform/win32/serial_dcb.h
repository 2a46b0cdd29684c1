// The line control a handshake kind stands for, as the Win32 device state (DCB) holds it; kept
// apart from the device so that it can be checked on its own.
#pragma once

#include <windows.h>

#include "platform/platform.h"

namespace orn::platform {

// Sets the flow control and modem line fields of `dcb` for `kind`; the rest is left as it is.
// Off: no flow control, DTR and RTS raised. Hardware: CTS/DSR output flow control, DTR and RTS
// in handshake mode, DSR sensitivity. Software: XON/XOFF both ways, DTR and RTS lowered.
void ApplyHandshake(Handshake kind, DCB* dcb);

}  // namespace orn::platform
