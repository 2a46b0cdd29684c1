// ornlogread --follow: reads a log while the logger writes it, on into the numbered files the
// logger moves to when the size limit is reached.
#pragma once

#include <cstdio>
#include <string>

#include "log/log_cipher.h"
#include "log_reader.h"

namespace orn::logread {

// Prints to `out`, through `explainer`, the log file `path` and what the logger appends to it,
// decrypted with `cipher` when that is not null. When the logger moves on to the next of the
// numbered files beside it (path.0 .. path.9), the rest of the old file is printed and the new
// one followed. Returns true once the logger has written its finish line; false with `error`
// set when a file cannot be read or decrypted. Never returns otherwise: the log is polled.
bool FollowLog(const std::string& path, LogCipher* cipher, Explainer& explainer, std::FILE* out,
               std::string* error);

}  // namespace orn::logread
