// ornlogread on logs written by the logger: decryption back to the plain LF log, clear logs
// passed through, and the error cases.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "log/logger.h"
#include "test_support.h"

#ifndef ORNLOGREAD_PATH
#error "ORNLOGREAD_PATH must name the built ornlogread"
#endif

using orn::CLogger;
using orn::test::TempDir;

namespace {

constexpr const char* kKey16 = "0011223344556677";
constexpr const char* kKey32 = "00112233445566778899AABBCCDDEEFF";

struct RunResult {
    int status = -1;  // raw wait status; 0 only for a clean exit 0
    std::string out;
    std::string err;
};

// Runs ornlogread with `args`, and ORN_LOG_KEY set to `keyVariable` when it is not null.
RunResult RunLogRead(const TempDir& dir, const std::string& args,
                     const char* keyVariable = nullptr) {
    std::string out = dir.File("stdout.txt"), err = dir.File("stderr.txt");
    std::string command = keyVariable ? std::string("ORN_LOG_KEY='") + keyVariable + "' "
                                      : std::string("env -u ORN_LOG_KEY ");
    command += std::string("'") + ORNLOGREAD_PATH + "' " + args + " >'" + out + "' 2>'" + err + "'";
    RunResult r;
    r.status = std::system(command.c_str());
    r.out = orn::test::ReadTextFile(out);
    r.err = orn::test::ReadTextFile(err);
    return r;
}

// Writes a log with `key` (may be empty) and returns the numbered file.
std::string WriteLog(const TempDir& dir, const char* name, const char* key) {
    CLogger log;
    EXPECT_EQ(log.SetKey(key), 0);
    EXPECT_EQ(log.OpenLogFile(dir.File(name).c_str(), orn::kLogInfo), 1);
    log.Log(orn::kLogInfo, "card inserted");
    log.Log(orn::kLogSevere, "line with trailing blanks  ");
    std::string file = log.CurrentFile();
    log.Shutdown();
    return file;
}

}  // namespace

TEST(LogRead, DecryptsLogsOfBothKeyLengthsToThePlainLog) {
    TempDir dir;
    for (const char* key : {kKey32, kKey16}) {
        SCOPED_TRACE(key);
        std::string encrypted = WriteLog(dir, key == kKey32 ? "a.log" : "b.log", key);
        RunResult r = RunLogRead(dir, std::string("-k ") + key + " '" + encrypted + "'");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.rfind("ORN  ", 0), 0u);
        EXPECT_NE(r.out.find("(Info)  card inserted\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("(Severe)  line with trailing blanks  \n"), std::string::npos);
        EXPECT_EQ(r.out.find('\r'), std::string::npos);
        const std::string finish = "\n===============Finish Logging================\n\n";
        ASSERT_GE(r.out.size(), finish.size());
        EXPECT_EQ(r.out.substr(r.out.size() - finish.size()), finish);  // padding removed
    }
}

TEST(LogRead, TakesTheKeyFromAFileOrTheEnvironment) {
    TempDir dir;
    std::string encrypted = WriteLog(dir, "e.log", kKey32);
    std::ofstream(dir.File("log.key")) << "  " << kKey32 << "\n";
    RunResult fromFile =
        RunLogRead(dir, "--key-file '" + dir.File("log.key") + "' '" + encrypted + "'");
    ASSERT_EQ(fromFile.status, 0) << fromFile.err;
    EXPECT_NE(fromFile.out.find("(Info)  card inserted\n"), std::string::npos) << fromFile.out;
    RunResult fromVariable = RunLogRead(dir, "'" + encrypted + "'", kKey32);
    ASSERT_EQ(fromVariable.status, 0) << fromVariable.err;
    EXPECT_EQ(fromVariable.out, fromFile.out);
    // The command line wins over the variable; two keys on the command line are refused.
    EXPECT_EQ(RunLogRead(dir, std::string("-k ") + kKey32 + " '" + encrypted + "'", "12").out,
              fromFile.out);
    EXPECT_NE(RunLogRead(dir, std::string("-k ") + kKey32 + " --key-file '" + dir.File("log.key") +
                                  "' '" + encrypted + "'")
                  .status,
              0);
    RunResult missing =
        RunLogRead(dir, "--key-file '" + dir.File("none.key") + "' '" + encrypted + "'");
    EXPECT_NE(missing.status, 0);
    EXPECT_NE(missing.err.find("none.key"), std::string::npos) << missing.err;
}

TEST(LogRead, PrintsClearLogsUnchangedAndSeveralFilesInOrder) {
    TempDir dir;
    std::string first = WriteLog(dir, "c.log", "");
    std::string second = WriteLog(dir, "c.log", "");
    RunResult r = RunLogRead(dir, "'" + first + "' '" + second + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, orn::test::ReadTextFile(first) + orn::test::ReadTextFile(second));
}

TEST(LogRead, ReportsBadInputWithNonZeroExit) {
    TempDir dir;
    std::string encrypted = WriteLog(dir, "d.log", kKey16);

    RunResult missing =
        RunLogRead(dir, "-k " + std::string(kKey16) + " '" + dir.File("none") + "'");
    EXPECT_NE(missing.status, 0);
    EXPECT_NE(missing.err.find("none"), std::string::npos) << missing.err;

    // A bad key is refused without being echoed, whatever its source.
    std::ofstream(dir.File("bad.key")) << "001122334455667Z\n";
    for (const std::string& args :
         {std::string("-k 001122334455667Z"), "--key-file '" + dir.File("bad.key") + "'",
          std::string("-k001122334455667Z")}) {
        RunResult badKey = RunLogRead(dir, args + " '" + encrypted + "'");
        EXPECT_NE(badKey.status, 0) << args;
        EXPECT_EQ(badKey.err.find("2334455667"), std::string::npos) << badKey.err;
        EXPECT_EQ(badKey.out.find("2334455667"), std::string::npos) << badKey.out;
    }
    RunResult badEnv = RunLogRead(dir, "'" + encrypted + "'", "12345");
    EXPECT_NE(badEnv.status, 0);
    EXPECT_NE(badEnv.err.find("bad key (ORN_LOG_KEY)"), std::string::npos) << badEnv.err;
    EXPECT_EQ(badEnv.err.find("12345"), std::string::npos) << badEnv.err;

    std::ofstream(dir.File("odd.bin"), std::ios::binary) << "0123456789";
    RunResult odd = RunLogRead(dir, "-k " + std::string(kKey16) + " '" + dir.File("odd.bin") + "'");
    EXPECT_NE(odd.status, 0);
    EXPECT_NE(odd.err.find("multiple of 8"), std::string::npos) << odd.err;

    RunResult noFile = RunLogRead(dir, "");
    EXPECT_NE(noFile.status, 0);
    EXPECT_NE(noFile.err.find("usage"), std::string::npos);

    RunResult help = RunLogRead(dir, "-h");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: ornlogread"), std::string::npos);
}
