#include "log_reader.h"

#include <cstdint>

namespace orn::logread {

bool SetKeyFromText(const std::string& text, LogCipher* cipher) {
    const char* const kBlank = " \t\r\n";
    const size_t first = text.find_first_not_of(kBlank);
    if (first == std::string::npos) return false;
    const size_t last = text.find_last_not_of(kBlank);
    return cipher->SetHexKey(text.substr(first, last - first + 1));
}

bool DecryptLog(LogCipher& cipher, const std::string& data, std::string* text, std::string* error) {
    if (data.size() % LogCipher::kBlock != 0) {
        *error = "length " + std::to_string(data.size()) +
                 " is not a multiple of 8: not an encrypted log, or a truncated one";
        return false;
    }
    std::string plain(data.size(), '\0');
    if (!plain.empty() &&
        !cipher.DecryptBlocks(reinterpret_cast<const uint8_t*>(data.data()),
                              reinterpret_cast<uint8_t*>(&plain[0]), plain.size())) {
        *error = "decryption failed";
        return false;
    }
    // The last block was padded with spaces when the file was finished.
    size_t end = plain.size();
    const size_t lastBlock = end >= LogCipher::kBlock ? end - LogCipher::kBlock : 0;
    while (end > lastBlock && plain[end - 1] == ' ') --end;
    plain.resize(end);

    text->clear();
    text->reserve(plain.size());
    for (size_t i = 0; i < plain.size(); ++i) {
        if (plain[i] == '\r' && i + 1 < plain.size() && plain[i + 1] == '\n') continue;
        text->push_back(plain[i]);
    }
    return true;
}

}  // namespace orn::logread
