// The parts of the test helpers that the Windows test programs use: waiting on a condition,
// reading a file, temporary directories and scoped environment variables. The pty and socket
// helpers have no Windows counterpart; the Windows tests reach a line through the simulator.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "test_support.h"

namespace orn::test {

bool WaitUntil(const std::function<bool()>& condition, int ms) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Text mode, as the log writes its plain files: CR LF line ends read as LF, so the shared tests
// compare the same text on both systems. Binary files need a binary read.
std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TempDir::TempDir() {
    char base[MAX_PATH + 1] = {};
    if (::GetTempPathA(sizeof base, base) == 0) {
        ADD_FAILURE() << "GetTempPath failed: " << ::GetLastError();
        return;
    }
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = std::string(base) + "orn-test-" +
                                std::to_string(::GetCurrentProcessId()) + "-" +
                                std::to_string(::GetTickCount() + attempt);
        if (::CreateDirectoryA(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    ADD_FAILURE() << "cannot create a temporary directory under " << base;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(const std::string& name) const {
    return path_ + "\\" + name;
}

ScopedEnv::ScopedEnv(const std::string& name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name.c_str())) {
        hadValue_ = true;
        oldValue_ = old;
    }
    ::_putenv_s(name.c_str(), value != nullptr ? value : "");
}

ScopedEnv::~ScopedEnv() {
    ::_putenv_s(name_.c_str(), hadValue_ ? oldValue_.c_str() : "");
}

}  // namespace orn::test
