// Helpers of the card reader and EMV tests: byte strings, recorders for the plain-function
// callbacks, and checks that a dump in the log does (not) show some bytes.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "sim.h"
#include "test_support.h"

namespace cards_test {

inline std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int value : values) bytes += static_cast<char>(value);
    return bytes;
}

inline std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

// Values a callback received, kept for the test thread.
template <typename T>
class Recorder {
  public:
    void Add(T value) {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(value));
    }
    std::vector<T> Items() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }
    size_t Count() { return Items().size(); }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.clear();
    }
    bool WaitFor(size_t count, int ms = 10000) {
        return orn::test::WaitUntil([&] { return Count() >= count; }, ms);
    }

  private:
    std::mutex mutex_;
    std::vector<T> items_;
};

// Whether a hex dump in `log` shows three consecutive bytes of `secret`, in the text column
// (printable ones) or in the hex column.
inline bool DumpShows(const std::string& log, const std::string& secret) {
    for (size_t i = 0; i + 3 <= secret.size(); ++i) {
        const std::string window = secret.substr(i, 3);
        bool printable = true;
        for (char c : window) printable = printable && c >= 0x20 && c <= 0x7E;
        if (printable && log.find(window) != std::string::npos) return true;
        char hex[16];
        std::snprintf(hex, sizeof hex, "%02X %02X %02X", static_cast<unsigned char>(window[0]),
                      static_cast<unsigned char>(window[1]), static_cast<unsigned char>(window[2]));
        if (log.find(hex) != std::string::npos) return true;
    }
    return false;
}

// Whether a dump of the P1.6 form of `payload` shows four consecutive characters that carry
// only bits of its bytes [from, from + count).
inline bool EncodedDumpShows(const std::string& log, const std::string& payload, size_t from,
                             size_t count) {
    const std::string chars = orn::sim::EncodeP16(payload);
    const size_t first = (8 * from + 5) / 6;      // first character starting inside the range
    const size_t end = (8 * (from + count)) / 6;  // characters before it end inside the range
    for (size_t j = first; j + 4 <= end && j + 4 <= chars.size(); ++j)
        if (log.find(chars.substr(j, 4)) != std::string::npos) return true;
    return false;
}

}  // namespace cards_test
