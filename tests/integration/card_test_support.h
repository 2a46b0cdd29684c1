// Helpers of the card reader and EMV tests: byte strings and recorders for the plain-function
// callbacks.
#pragma once

#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

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

}  // namespace cards_test
