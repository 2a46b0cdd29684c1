// The diagnostic log: file naming and rotation, level filtering, line formats, key and size
// rules, encryption (checked with an independent decryption), concurrency and shutdown.
#include "log/logger.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/generic_handler.h"
#include "log/log_cipher.h"
#include "log_reader.h"
#include "platform/platform.h"
#include "test_support.h"
#include "velquoraorn.h"

namespace fs = std::filesystem;
using orn::CLogger;
using orn::test::Occurrences;
using orn::test::TempDir;
using orn::test::WaitUntil;

namespace {

constexpr const char* kKey16 = "0123456789ABCDEF";
constexpr const char* kKey32 = "0123456789abcdeffedcba9876543210";
constexpr const char* kFinish = "\n===============Finish Logging================\n\n";
constexpr const char* kProperly = "LoggerThread shutdown properly\n";

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// Decrypts with OpenSSL's two-key EDE cipher directly, not through the library: a single DES
// key is the two-key form with both halves equal.
std::string DecryptIndependently(const std::string& data, const std::string& hexKey) {
    std::vector<uint8_t> key = FromHex(hexKey);
    if (key.size() == 8) {
        std::vector<uint8_t> copy = key;
        key.insert(key.end(), copy.begin(), copy.end());
    }
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::string out(data.size(), '\0');
    int len = 0;
    bool ok = ctx &&
              EVP_DecryptInit_ex(ctx, EVP_des_ede_ecb(), nullptr, key.data(), nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char*>(&out[0]), &len,
                                reinterpret_cast<const unsigned char*>(data.data()),
                                static_cast<int>(data.size())) == 1;
    EVP_CIPHER_CTX_free(ctx);
    EXPECT_TRUE(ok);
    EXPECT_EQ(static_cast<size_t>(len), data.size());
    return out;
}

// The lines of a log without their "ORN  hh:mm:ss:mmm (Label)  " prefix.
std::vector<std::string> Messages(const std::string& text) {
    static const std::regex prefix(R"(^ORN  \d\d:\d\d:\d\d:\d{3} \([A-Za-z?]+\)  )");
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, prefix)) out.push_back(m.suffix());
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Cipher

TEST(LogCipher, MatchesPublishedDesVectorsAndAcceptsAnyKeyBytes) {
    struct Row {
        const char* key;
        const char* plain;
        const char* cipher;
    };
    // FIPS test vector, a weak key (refused by parity/weak-key checking libraries), and a
    // two-key triple DES vector.
    const Row rows[] = {
        {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
        {"0101010101010101", "0123456789ABCDEF", "617B3A0CE8F07100"},
        {"0123456789abcdeffedcba9876543210", "0123456789ABCDEF", "1A4D672DCA6CB335"},
    };
    for (const Row& row : rows) {
        orn::LogCipher cipher;
        ASSERT_TRUE(cipher.SetHexKey(row.key)) << row.key;
        std::vector<uint8_t> block = FromHex(row.plain);
        ASSERT_TRUE(cipher.EncryptBlocks(block.data(), block.data(), block.size()));
        EXPECT_EQ(block, FromHex(row.cipher)) << row.key;
        ASSERT_TRUE(cipher.DecryptBlocks(block.data(), block.data(), block.size()));
        EXPECT_EQ(block, FromHex(row.plain)) << row.key;
    }
    orn::LogCipher cipher;
    EXPECT_FALSE(cipher.SetHexKey("0123456789ABCDE"));
    EXPECT_FALSE(cipher.SetHexKey("0123456789ABCDEG"));
    uint8_t block[8] = {};
    EXPECT_FALSE(cipher.EncryptBlocks(block, block, 8));  // no key
}

// ---------------------------------------------------------------------------------------------
// Names and rotation

TEST(LoggerFiles, RepeatedOpensNumberTheFilesAndTheTenthShiftsTheOthersDown) {
    TempDir dir;
    const std::string base = dir.File("trace.log");
    CLogger log;
    ASSERT_EQ(log.OpenLogFile(base.c_str(), orn::kLogInfo), 1);
    EXPECT_EQ(log.Path(), base);
    EXPECT_EQ(log.CurrentFile(), base + ".0");
    log.Shutdown();
    ASSERT_EQ(log.OpenLogFile(base.c_str(), orn::kLogInfo), 1);
    EXPECT_EQ(log.CurrentFile(), base + ".1");
    log.Shutdown();

    // All ten present: .0 goes, each other moves one number down, the new log is .9.
    for (int n = 0; n < 10; ++n)
        WriteFile(base + "." + std::to_string(n), "old " + std::to_string(n));
    ASSERT_EQ(log.OpenLogFile(base.c_str(), orn::kLogInfo), 1);
    EXPECT_EQ(log.CurrentFile(), base + ".9");
    log.Log(orn::kLogInfo, "newest");
    log.Shutdown();
    for (int n = 0; n < 9; ++n) {
        EXPECT_EQ(orn::test::ReadTextFile(base + "." + std::to_string(n)),
                  "old " + std::to_string(n + 1));
    }
    EXPECT_NE(orn::test::ReadTextFile(base + ".9").find("newest\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(base + ".10"));
}

TEST(LoggerFiles, RelativeNamesGoBesideTheExecutableDriveAndShortNamesDoNot) {
    std::string exe = orn::platform::ExecutablePath();
    ASSERT_FALSE(exe.empty());
    std::string name =
        "logger_test_rel_" + std::to_string(orn::platform::CurrentProcessId()) + ".log";
    std::string expected = fs::path(exe).parent_path().string() + "/" + name;
    CLogger log;
    ASSERT_EQ(log.OpenLogFile(name.c_str(), orn::kLogInfo), 1);
    EXPECT_EQ(log.Path(), expected);
    log.Shutdown();
    EXPECT_TRUE(fs::remove(expected + ".0"));

    // Taken as given, so relative to the working directory.
    TempDir dir;
    fs::current_path(dir.path());
    for (const char* given : {"a.l", "x:trace.log"}) {
        ASSERT_EQ(log.OpenLogFile(given, orn::kLogInfo), 1);
        EXPECT_EQ(log.Path(), given);
        log.Shutdown();
        EXPECT_TRUE(fs::exists(dir.File(std::string(given) + ".0"))) << given;
    }
}

TEST(LoggerFiles, OpenFailsWhenNoFileCanBeMade) {
    TempDir dir;
    CLogger log;
    std::string missingDir = dir.File("no/such/dir/trace.log");
    EXPECT_EQ(log.OpenLogFile(missingDir.c_str(), orn::kLogDetail), 0);
    EXPECT_FALSE(log.HasStream());
    EXPECT_EQ(log.Path(), "");
    log.Log(orn::kLogSevere, "goes nowhere");
    EXPECT_EQ(log.OpenLogFile(nullptr, orn::kLogDetail), 0);

    log.Shutdown();  // nothing running: no effect
}

// A name that cannot be deleted or renamed onto (a directory here; a file a reader holds open on
// Windows) costs the next oldest file instead: the others still move down and the log goes on.
TEST(LoggerFiles, RotationPastANameThatCannotBeDroppedDropsTheNextOldest) {
    TempDir dir;
    const std::string base = dir.File("full.log");
    fs::create_directories(base + ".0/keep");
    for (int n = 1; n < 10; ++n)
        WriteFile(base + "." + std::to_string(n), "old " + std::to_string(n));
    CLogger log;
    ASSERT_EQ(log.OpenLogFile(base.c_str(), orn::kLogDetail), 1);
    EXPECT_EQ(log.CurrentFile(), base + ".9");
    log.Shutdown();
    EXPECT_TRUE(fs::is_directory(base + ".0/keep"));
    for (int n = 1; n < 9; ++n)
        EXPECT_EQ(orn::test::ReadTextFile(base + "." + std::to_string(n)),
                  "old " + std::to_string(n + 1));
    EXPECT_NE(orn::test::ReadTextFile(base + ".9").find("Finish Logging"), std::string::npos);
}

TEST(LoggerFiles, LinksAtLogNamesAreNeverWrittenThroughAndFilesAreOwnerOnly) {
    // A link, dangling or not, holds its name like a file: the log takes the next number and
    // leaves the link and its target alone, at the open and at a size rotation alike.
    TempDir dir;
    const std::string base = dir.File("trace.log");
    const std::string target = dir.File("target"), absent = dir.File("absent");
    WriteFile(target, "keep");
    fs::create_symlink(target, base + ".0");
    fs::create_symlink(absent, base + ".1");
    CLogger log;
    ASSERT_EQ(log.SetSizeLimit(1000000), 1);
    ASSERT_EQ(log.OpenLogFile(base.c_str(), orn::kLogInfo), 1);
    EXPECT_EQ(log.CurrentFile(), base + ".2");
    EXPECT_EQ(fs::status(base + ".2").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(target, base + ".3");
    const std::string pad(1000, 'p');
    for (int i = 0; i < 1100; ++i) log.Log(orn::kLogInfo, "%s", pad.c_str());
    EXPECT_TRUE(WaitUntil([&] { return log.CurrentFile() == base + ".4"; }, 20000));
    log.Shutdown();
    EXPECT_EQ(orn::test::ReadTextFile(target), "keep");
    EXPECT_FALSE(fs::exists(absent));
    EXPECT_TRUE(fs::is_symlink(base + ".0") && fs::is_symlink(base + ".3"));
    EXPECT_EQ(fs::status(base + ".4").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

// ---------------------------------------------------------------------------------------------
// Lines

TEST(LoggerLines, BannerStartupLineAndFinishFrameTheLog) {
    TempDir dir;
    CLogger log;
    ASSERT_EQ(log.OpenLogFile(dir.File("t.log").c_str(), orn::kLogInfo), 1);
    std::string file = log.CurrentFile();
    log.Shutdown();
    std::string text = orn::test::ReadTextFile(file);

    char ids[64];
    std::snprintf(ids, sizeof ids, "Process ID=%08X, Thread ID=%08X",
                  orn::platform::CurrentProcessId(), orn::platform::CurrentThreadId());
    std::regex banner(std::string(R"(^ORN  \d\d:\d\d:\d\d:\d{3} \(Info\)  ORN DLL API \(v1\.23\) )"
                                  "Logger Started: ") +
                      ids + R"(, (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)\d\d/\d\d\n)");
    EXPECT_TRUE(std::regex_search(text, banner)) << text;
    std::regex started(
        R"(\nORN  \d\d:\d\d:\d\d:\d{3} \(Info\)  OpenLogFile: LoggerThread signaled startup: ID=[0-9A-F]{8}\n\n)");
    EXPECT_TRUE(std::regex_search(text, started)) << text;
    // The shutdown lines are written as they are, without the line prefix.
    EXPECT_NE(text.find(std::string("\n") + kProperly + kFinish), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - std::string(kFinish).size()), kFinish);
}

TEST(LoggerLines, LevelFiltersLinesButZethLinesAlwaysPass) {
    TempDir dir;
    CLogger log;
    ASSERT_EQ(log.OpenLogFile(dir.File("lv.log").c_str(), orn::kLogInfo), 1);
    EXPECT_EQ(log.GetLevel(), orn::kLogInfo);
    log.Log(orn::kLogSevere, "severe %d", 1);
    log.Log(orn::kLogInfo, "info %s", "two");
    log.Log(orn::kLogFine, "fine");
    log.Log(orn::kLogDetail, "detail");
    log.LogZeth(orn::kLogDetail, "zeth detail");
    log.Log(7, "odd level");  // above the level: dropped
    log.SetLevel(9);
    log.Log(7, "odd level kept");
    log.SetLevel(orn::kLogOff);
    log.LogZeth(orn::kLogFine, "zeth while off");
    log.Log(orn::kLogSevere, "severe while off");
    std::string file = log.CurrentFile();
    log.Shutdown();
    std::string text = orn::test::ReadTextFile(file);

    for (const char* line :
         {"ORN  ~ (Severe)  severe 1", "ORN  ~ (Info)  info two", "ZETH ~ (Detail)  zeth detail",
          "ORN  ~ (?)  odd level kept", "ZETH ~ (Fine)  zeth while off"}) {
        const std::string pattern =
            std::regex_replace(std::regex_replace(line, std::regex(R"([()?])"), R"(\$&)"),
                               std::regex("~"), R"(\d\d:\d\d:\d\d:\d{3})");
        EXPECT_TRUE(std::regex_search(text, std::regex("\n" + pattern + "\n"))) << line;
    }
    for (const char* absent : {"  fine\n", "  detail\n", "  odd level\n", "severe while off"}) {
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
    }
    // Level 0 at shutdown: no finish line.
    EXPECT_EQ(text.find("Finish Logging"), std::string::npos);
    EXPECT_NE(text.find(kProperly), std::string::npos);
}

TEST(LoggerLines, LongMessageIsCutToTheLineLimit) {
    TempDir dir;
    CLogger log;
    ASSERT_EQ(log.OpenLogFile(dir.File("long.log").c_str(), orn::kLogDetail), 1);
    std::string big(70000, 'x');
    log.Log(orn::kLogInfo, "%s", big.c_str());
    log.Log(orn::kLogInfo, "after");
    std::string file = log.CurrentFile();
    log.Shutdown();
    std::istringstream in(orn::test::ReadTextFile(file));
    std::string line;
    bool found = false;
    while (std::getline(in, line)) {
        if (line.find("xxxx") != std::string::npos) {
            found = true;
            EXPECT_EQ(line.size() + 1, 65535u);  // with its newline
        }
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(Messages(orn::test::ReadTextFile(file)).back(), "after");
}

TEST(LoggerLines, StandardOutputTakesTheLinesInClearAndNoSizeLimit) {
    CLogger log;
    ASSERT_EQ(log.SetKey(kKey32), 0);
    testing::internal::CaptureStdout();
    ASSERT_EQ(log.OpenLogFile("STDOUT", orn::kLogInfo), 1);
    EXPECT_EQ(log.Path(), "");
    EXPECT_EQ(log.SetSizeLimit(2000000), 0);  // a stream exists
    log.Log(orn::kLogInfo, "to the console");
    log.Shutdown();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Logger Started"), std::string::npos);
    EXPECT_NE(out.find("(Info)  to the console\n"), std::string::npos);
    EXPECT_NE(out.find(std::string(kProperly) + kFinish), std::string::npos);
    // Standard output is not closed, but the log no longer holds it.
    EXPECT_FALSE(log.HasStream());
    EXPECT_EQ(log.SetSizeLimit(2000000), 1);
}

// ---------------------------------------------------------------------------------------------
// Key and size limit

TEST(LoggerSettings, KeyAndSizeLimitRulesAndRefusalWhileOpen) {
    CLogger log;
    const std::pair<const char*, int> keys[] = {{"0123456789ABCDE", 2},
                                                {"0123456789ABCDEF0", 2},
                                                {kKey16, 0},
                                                {kKey32, 0},
                                                {"", 0},
                                                {nullptr, 0}};
    for (const auto& [key, result] : keys) EXPECT_EQ(log.SetKey(key), result) << key;
    for (const auto& [limit, result] :
         {std::pair{999999, 0}, {1000000001, 0}, {-5, 0}, {1000000, 1}, {1000000000, 1}})
        EXPECT_EQ(log.SetSizeLimit(limit), result) << limit;

    // A refused key also clears the one set before: the log is written in clear.
    EXPECT_EQ(log.SetKey(kKey16), 0);
    EXPECT_EQ(log.SetKey("ABC"), 2);
    TempDir dir;
    ASSERT_EQ(log.OpenLogFile(dir.File("k.log").c_str(), orn::kLogInfo), 1);
    std::string file = log.CurrentFile();
    EXPECT_EQ(log.SetKey(kKey16), 1);
    EXPECT_EQ(log.SetKey("bad"), 1);
    EXPECT_EQ(log.SetSizeLimit(1000000), 0);
    log.Shutdown();
    EXPECT_EQ(orn::test::ReadTextFile(file).rfind("ORN  ", 0), 0u);
    EXPECT_EQ(log.SetKey(kKey16), 0);
    EXPECT_EQ(log.SetSizeLimit(1000000), 1);
}

TEST(LoggerSettings, SizeLimitRotatesToTheNextFileWithoutLosingLines) {
    TempDir dir;
    const std::string base = dir.File("big.log");
    CLogger log;
    ASSERT_EQ(log.SetSizeLimit(1000000), 1);
    ASSERT_EQ(log.OpenLogFile(base.c_str(), orn::kLogInfo), 1);
    const std::string pad(990, 'p');
    const int kLines = 1500;
    for (int i = 0; i < kLines; ++i) {
        log.Log(orn::kLogInfo, "line %04d %s", i, pad.c_str());
        // Let the writer drain now and then, so the limit is crossed mid-run.
        if (i == 1200) {
            ASSERT_TRUE(WaitUntil([&] { return log.CurrentFile() == base + ".1"; }, 20000));
        }
    }
    log.Shutdown();

    std::string first = orn::test::ReadTextFile(base + ".0");
    std::string second = orn::test::ReadTextFile(base + ".1");
    EXPECT_GT(first.size(), 1000000u);
    EXPECT_FALSE(fs::exists(base + ".2"));
    EXPECT_EQ(first.find("Finish Logging"), std::string::npos);
    EXPECT_NE(second.find(kFinish), std::string::npos);
    std::vector<std::string> lines;
    for (const std::string& text : {first, second}) {
        for (const std::string& m : Messages(text)) {
            if (m.rfind("line ", 0) == 0) lines.push_back(m.substr(5, 4));
        }
    }
    ASSERT_EQ(lines.size(), static_cast<size_t>(kLines));
    for (int i = 0; i < kLines; ++i) {
        char id[8];
        std::snprintf(id, sizeof id, "%04d", i);
        ASSERT_EQ(lines[i], id);
    }
}

// ---------------------------------------------------------------------------------------------
// Encryption

TEST(LoggerEncryption, TripleAndSingleDesFilesDecryptToTheCrLfLogWithPadding) {
    for (const char* key : {kKey32, kKey16}) {
        SCOPED_TRACE(key);
        TempDir dir;
        CLogger log;
        ASSERT_EQ(log.SetKey(key), 0);
        ASSERT_EQ(log.OpenLogFile(dir.File("enc.log").c_str(), orn::kLogDetail), 1);
        log.Log(orn::kLogInfo, "secret %d", 42);
        log.LogZeth(orn::kLogFine, "zeth text");
        std::string file = log.CurrentFile();
        log.Shutdown();

        std::string data = orn::test::ReadTextFile(file);
        ASSERT_FALSE(data.empty());
        EXPECT_EQ(data.size() % 8, 0u);
        EXPECT_EQ(data.find("secret"), std::string::npos);
        std::string plain = DecryptIndependently(data, key);
        EXPECT_EQ(plain.rfind("ORN  ", 0), 0u);
        EXPECT_NE(plain.find("(Info)  secret 42\r\n"), std::string::npos);
        EXPECT_NE(plain.find("(Fine)  zeth text\r\n"), std::string::npos);
        // Every LF has its CR; the finished log ends with 1 to 8 spaces of padding.
        EXPECT_EQ(Occurrences(plain, "\n"), Occurrences(plain, "\r\n"));
        size_t end = plain.find_last_not_of(' ');
        ASSERT_NE(end, std::string::npos);
        EXPECT_GE(plain.size() - end - 1, 1u);
        EXPECT_LE(plain.size() - end - 1, 8u);
        const std::string finish = "\r\n===============Finish Logging================\r\n\r\n";
        ASSERT_GE(end + 1, finish.size());
        EXPECT_EQ(plain.substr(end + 1 - finish.size(), finish.size()), finish);
    }
}

TEST(LoggerEncryption, EachRotatedFileIsFinishedOnItsOwn) {
    TempDir dir;
    const std::string base = dir.File("encbig.log");
    CLogger log;
    ASSERT_EQ(log.SetKey(kKey32), 0);
    ASSERT_EQ(log.SetSizeLimit(1000000), 1);
    ASSERT_EQ(log.OpenLogFile(base.c_str(), orn::kLogInfo), 1);
    const std::string pad(993, 'q');  // odd length: lines do not end on block boundaries
    for (int i = 0; i < 1100; ++i) log.Log(orn::kLogInfo, "%04d %s", i, pad.c_str());
    ASSERT_TRUE(WaitUntil([&] { return log.CurrentFile() == base + ".1"; }, 20000));
    log.Log(orn::kLogInfo, "in the second file");
    log.Shutdown();

    for (const std::string& file : {base + ".0", base + ".1"}) {
        std::string data = orn::test::ReadTextFile(file);
        ASSERT_EQ(data.size() % 8, 0u) << file;
        std::string plain = DecryptIndependently(data, kKey32);
        size_t end = plain.find_last_not_of(' ');
        ASSERT_NE(end, std::string::npos);
        EXPECT_LT(plain.size() - end - 1, 9u);
        // Whole lines only: the text before the padding ends with a line end.
        EXPECT_EQ(plain.substr(end - 1, 2), "\r\n") << file;
    }
    EXPECT_NE(DecryptIndependently(orn::test::ReadTextFile(base + ".1"), kKey32)
                  .find("in the second file"),
              std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Concurrency and shutdown

TEST(LoggerThreads, LinesStillQueuedAtCloseAreAllWrittenInEachThreadsOrder) {
    // The writer is held inside its first batch while the threads log, so every one of their
    // lines is still queued when the close comes; fewer than a full batch, so nothing but the
    // close makes the writer take them. Read back as the log reader reads it.
    TempDir dir;
    CLogger log;
    auto entered = std::make_shared<orn::platform::Event>(true);
    auto gate = std::make_shared<orn::platform::Event>(true);
    log.SetWriterHookForTest([entered, gate] {
        entered->Set();
        gate->Wait(20000);
    });
    ASSERT_EQ(log.SetKey(kKey32), 0);
    ASSERT_EQ(log.OpenLogFile(dir.File("mt.log").c_str(), orn::kLogDetail), 1);
    const std::string file = log.CurrentFile();
    ASSERT_EQ(entered->Wait(10000), orn::platform::WaitResult::Signalled);
    constexpr int kThreads = 4, kPerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kPerThread; ++i) log.Log(orn::kLogFine, "t%d n%05d", t, i);
        });
    }
    for (auto& th : threads) th.join();
    gate->Set();
    log.Shutdown();

    orn::LogCipher cipher;
    ASSERT_TRUE(orn::logread::SetKeyFromText(kKey32, &cipher));
    std::string text, error;
    ASSERT_TRUE(orn::logread::DecryptLog(cipher, orn::test::ReadTextFile(file), &text, &error))
        << error;
    std::vector<int> next(kThreads, 0);
    for (const std::string& m : Messages(text)) {
        int t = 0, n = 0;
        if (std::sscanf(m.c_str(), "t%d n%d", &t, &n) != 2) continue;
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        ASSERT_EQ(n, next[t]) << "thread " << t;
        ++next[t];
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kPerThread) << "thread " << t;
    EXPECT_LT(text.find("signaled startup"), text.find("  t0 n00000\n"));
    EXPECT_LT(text.find("  t0 n00199\n"), text.find(kProperly));
    EXPECT_EQ(text.substr(text.size() - std::string(kFinish).size()), kFinish);
}

TEST(LoggerThreads, SecondOpenFinishesTheRunningLogFirst) {
    TempDir dir;
    const std::string base = dir.File("two.log");
    CLogger log;
    ASSERT_EQ(log.OpenLogFile(base.c_str(), orn::kLogInfo), 1);
    log.Log(orn::kLogInfo, "first log");
    ASSERT_EQ(log.OpenLogFile(base.c_str(), orn::kLogInfo), 1);
    EXPECT_EQ(log.CurrentFile(), base + ".1");
    log.Log(orn::kLogInfo, "second log");
    log.Shutdown();
    std::string first = orn::test::ReadTextFile(base + ".0");
    std::string second = orn::test::ReadTextFile(base + ".1");
    EXPECT_NE(first.find("first log"), std::string::npos);
    EXPECT_NE(first.find(std::string(kProperly) + kFinish), std::string::npos);
    EXPECT_EQ(first.find("second log"), std::string::npos);
    EXPECT_NE(second.find("second log"), std::string::npos);
    EXPECT_EQ(Occurrences(second, "Logger Started"), 1u);
}

TEST(LoggerThreads, StuckWriterIsAbandonedAndFinishesTheFileWhenItReturns) {
    TempDir dir;
    auto log = std::make_unique<CLogger>();
    auto entered = std::make_shared<orn::platform::Event>(true);
    auto gate = std::make_shared<orn::platform::Event>(true);
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> alive = token;
    log->SetWriterHookForTest([entered, gate, token] {
        entered->Set();
        gate->Wait(orn::platform::kInfinite);
    });
    ASSERT_EQ(log->OpenLogFile(dir.File("stuck.log").c_str(), orn::kLogInfo), 1);
    token.reset();
    std::string file = log->CurrentFile();
    ASSERT_EQ(entered->Wait(10000), orn::platform::WaitResult::Signalled);
    log->Log(orn::kLogSevere, "before the stop");

    uint32_t t0 = orn::platform::TickCount();
    log->Shutdown();  // gives up after its bounded wait
    EXPECT_GE(orn::platform::TickCount() - t0, 4900u);
    EXPECT_FALSE(log->HasStream());
    EXPECT_EQ(log->SetKey(kKey16), 0);
    EXPECT_EQ(orn::test::ReadTextFile(file).find("Finish"), std::string::npos);

    // The logger goes away while its writer is still stuck; the writer must not need it.
    log.reset();
    gate->Set();
    ASSERT_TRUE(WaitUntil([&] { return alive.expired(); }, 20000));
    std::string text = orn::test::ReadTextFile(file);
    size_t before = text.find("(Severe)  before the stop\n");
    size_t improper = text.find("\nLoggerThread shutdown improperly, terminating thread\n");
    ASSERT_NE(before, std::string::npos) << text;
    ASSERT_NE(improper, std::string::npos) << text;
    EXPECT_LT(before, improper);
    EXPECT_EQ(text.substr(text.size() - std::string(kFinish).size()), kFinish);
}

// ---------------------------------------------------------------------------------------------
// Exported controls, on the engine's logger

TEST(LogApi, SetLogKeyValidatesAndIsRefusedWhileTheLogIsOpen) {
    for (const char* key :
         {"0123456789ABCDE", "0123456789ABCDEG", "0123456789abcdeffedcba987654321z"})
        EXPECT_EQ(ornSetLogKey(key), ORN_ERR_INVALID_PARAMETER_IN_API_CALL) << key;
    for (const char* key : {static_cast<const char*>(nullptr), "", kKey32})
        EXPECT_EQ(ornSetLogKey(key), 0);

    EXPECT_EQ(ornSetLogFileSizeLimit(999999), 0);
    EXPECT_EQ(ornSetLogFileSizeLimit(1000000), 1);

    TempDir dir;
    CLogger& log = orn::Engine().Logger();
    ASSERT_EQ(log.OpenLogFile(dir.File("api.log").c_str(), orn::kLogInfo), 1);
    std::string file = log.CurrentFile();
    EXPECT_EQ(ornSetLogKey(kKey16), 1);
    EXPECT_EQ(ornSetLogKey("123"), ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
    EXPECT_EQ(ornSetLogFileSizeLimit(1000000), 0);
    log.Shutdown();
    EXPECT_EQ(ornSetLogKey(nullptr), 0);  // the engine's logger outlives this test
    std::string data = orn::test::ReadTextFile(file);
    EXPECT_EQ(data.size() % 8, 0u);
    EXPECT_NE(DecryptIndependently(data, kKey32).find("Logger Started"), std::string::npos);
}

TEST(LogApi, ChangeLoggingStateLogsAtInfoThenStoresTheLevel) {
    TempDir dir;
    CLogger& log = orn::Engine().Logger();
    ASSERT_EQ(log.OpenLogFile(dir.File("state.log").c_str(), orn::kLogInfo), 1);
    std::string file = log.CurrentFile();
    EXPECT_EQ(ornChangeLoggingState(3), 0);
    EXPECT_EQ(log.GetLevel(), 3);
    EXPECT_EQ(ornChangeLoggingState(4), 0);  // logged: level 3 lets Info through
    EXPECT_EQ(ornChangeLoggingState(1), 0);
    EXPECT_EQ(ornChangeLoggingState(4), 0);  // not logged: level 1 holds Info back
    EXPECT_EQ(log.GetLevel(), 4);
    log.Shutdown();
    std::vector<std::string> changes;
    for (const std::string& m : Messages(orn::test::ReadTextFile(file))) {
        if (m.find("Changing State") != std::string::npos) changes.push_back(m);
    }
    EXPECT_EQ(changes, (std::vector<std::string>{
                           "++++++ Logger Changing State to ORN_LOGGER_OFF ++++++",
                           "++++++ Logger Changing State to ORN_LOGGER_ON ++++++",
                           "++++++ Logger Changing State to ORN_LOGGER_OFF ++++++",
                       }));
}
