// The barrier at the C boundary: no exception thrown below an export reaches the application,
// which could only end the process. The command pattern (Command::Run) stops them for the
// terminal commands; every other export runs its body through Guarded.
#pragma once

#include <exception>
#include <type_traits>
#include <utility>

#include "velquoraorn.h"

namespace orn {

// Logs at Severe "<export>: exception caught: <what>"; never throws.
void LogEscapedException(const char* exportName, const char* what) noexcept;

// Runs `body` and returns its value, or `failure` after logging an exception it threw.
template <typename Result, typename Body>
Result Guarded(const char* exportName, Result failure, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const std::exception& e) {
        LogEscapedException(exportName, e.what());
    } catch (...) {
        LogEscapedException(exportName, "unknown exception");
    }
    return failure;
}

// For an export returning a result code: ORN_ERR_UNKNOWN_ERROR after an exception.
template <typename Body>
int GuardedCode(const char* exportName, Body&& body) noexcept {
    return Guarded(exportName, static_cast<int>(ORN_ERR_UNKNOWN_ERROR), std::forward<Body>(body));
}

// The same for an export without result.
template <typename Body>
void GuardedVoid(const char* exportName, Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (const std::exception& e) {
        LogEscapedException(exportName, e.what());
    } catch (...) {
        LogEscapedException(exportName, "unknown exception");
    }
}

}  // namespace orn
