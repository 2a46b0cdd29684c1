// src/api/ owns the exported functions: each checks its arguments, builds its request through
// the command pattern (command.h), hands it to the engine and turns the answer into outputs and a
// result code. No exception leaves this folder (guard.h).
//
// Process-wide session objects shared by the exported functions.
#pragma once

#include <string>

#include "engine/generic_handler.h"
#include "platform/platform.h"

namespace orn {

// Serialises open, close and discovery calls. Recursive: an open may close on failure.
platform::RecursiveLock& PortLock();

// Takes the port lock; false, without it, on a callback thread while another thread closes
// the link. That close waits for this very callback to end, so the callback must not wait for
// the lock, and whatever it would do under it would only outlive the close.
bool LockPortUnlessClosing(CGenericHandler& engine) TRY_ACQUIRE(true, PortLock());

// Runs `body` under the port lock, or, from a callback while another thread closes the link,
// logs that the library is closing and returns `closing` without running it.
template <typename Result, typename Body>
Result UnlessClosing(const char* exportName, Result closing, Body&& body) {
    CGenericHandler& engine = Engine();
    if (!LockPortUnlessClosing(engine)) {
        engine.Logger().Log(kLogSevere, "%s: the library is closing, call refused", exportName);
        return closing;
    }
    platform::LockGuard hold(PortLock(), platform::kAdoptLock);
    return body();
}

// Name under which the link was last opened by ornInit, ornInitLegacy or automatic selection.
std::string StoredPortName();
void SetStoredPortName(const std::string& name);

// The start of every terminal command: -1 with no transport open, -11 unless the terminal is
// connected, else 0. Argument checks (-18) follow it.
int CommonPreamble();

// Opens the link again under a stored port name: "USBHID" and "Velquora PPPP" as USB HID
// terminals, anything else as "\\.\" + the name. Returns the platform error.
uint32_t ReopenStoredPort(CGenericHandler& engine, const std::string& stored);

// "COMn" with n > 9 is opened as "\\.\COMn"; other names unchanged.
std::string SerialDeviceName(const std::string& portName);

}  // namespace orn
