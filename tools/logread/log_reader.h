// What ornlogread does with a key and a file, apart from its command line: the key text from any
// of its sources, and the decryption of a whole log file back to its LF text.
#pragma once

#include <string>

#include "log/log_cipher.h"

namespace orn::logread {

// Sets `cipher` from a key text as read from the command line, a key file or the environment:
// white space around it (a key file's final line feed) is dropped, then 16 or 32 hexadecimal
// digits are required. False for anything else; the text is never echoed.
bool SetKeyFromText(const std::string& text, LogCipher* cipher);

// Decrypts a whole encrypted log (a multiple of 8 bytes) into its text: CR LF becomes LF and
// the space padding of the last block goes. False with `error` set otherwise.
bool DecryptLog(LogCipher& cipher, const std::string& data, std::string* text, std::string* error);

}  // namespace orn::logread
