#include "seed_recorder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace orn::test {

namespace {

namespace fs = std::filesystem;

void WriteSeed(const fs::path& dir, const std::string& content) {
    if (content.empty()) return;
    std::error_code error;
    fs::create_directories(dir, error);
    char name[32];
    std::snprintf(name, sizeof name, "%016zx", std::hash<std::string>{}(content));
    std::ofstream(dir / name, std::ios::binary) << content;
}

}  // namespace

void RecordFuzzSeeds(const orn::sim::Record& record) {
    const char* where = std::getenv("ORN_RECORD_FRAMES");
    if (!where || !*where || record.tx.empty()) return;
    const fs::path dir(where);

    // The receiver's input: a flags byte (7-bit link), then each write as one or more chunks.
    std::string chunks(1, '\0');
    size_t at = 0;
    for (size_t size : record.txWrites) {
        for (size_t left = size; left > 0 && at < record.tx.size();) {
            const size_t n = std::min<size_t>({left, 255, record.tx.size() - at});
            chunks += static_cast<char>(n);
            chunks.append(reinterpret_cast<const char*>(record.tx.data() + at), n);
            at += n;
            left -= n;
        }
    }
    WriteSeed(dir / "receiver", chunks);

    // Each frame: STX, identifier and payload, ETX, LRC.
    const std::string tx(record.tx.begin(), record.tx.end());
    for (size_t start = tx.find('\x02'); start != std::string::npos;
         start = tx.find('\x02', start + 1)) {
        const size_t end = tx.find('\x03', start + 1);
        if (end == std::string::npos) break;
        const std::string body = tx.substr(start + 1, end - start - 1);
        if (body.size() < 3) continue;
        const std::string id = body.substr(0, 3);
        const std::string payload =
            orn::sim::IsBinaryId(id) ? orn::sim::DecodeP16(body.substr(3)) : body.substr(3);
        WriteSeed(dir / "messages", std::string(1, '\0') + id + payload);
        start = end;
    }
}

}  // namespace orn::test
