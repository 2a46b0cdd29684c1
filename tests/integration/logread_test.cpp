// ornlogread on logs written by the logger: decryption back to the plain LF log, clear logs
// passed through, the error cases, and the explanation and filtering of a log the library wrote
// while it drove the simulator.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "log/logger.h"
#include "sim_session.h"
#include "test_support.h"
#include "velquoraorn.h"

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

TEST(LogRead, TakesTheKeyFromAFileOrTheEnvironment) {
    TempDir dir;
    std::string encrypted = WriteLog(dir, "e.log", kKey32);
    std::ofstream(dir.File("log.key")) << "  " << kKey32 << "\n";
    RunResult fromFile =
        RunLogRead(dir, "--key-file '" + dir.File("log.key") + "' '" + encrypted + "'");
    ASSERT_EQ(fromFile.status, 0) << fromFile.err;
    // The plain log: LF line ends, trailing blanks kept, the cipher's padding removed.
    EXPECT_EQ(fromFile.out.rfind("ORN  ", 0), 0u);
    EXPECT_NE(fromFile.out.find("(Info)  card inserted\n"), std::string::npos) << fromFile.out;
    EXPECT_NE(fromFile.out.find("(Severe)  line with trailing blanks  \n"), std::string::npos);
    EXPECT_EQ(fromFile.out.find('\r'), std::string::npos);
    const std::string finish = "\n===============Finish Logging================\n\n";
    ASSERT_GE(fromFile.out.size(), finish.size());
    EXPECT_EQ(fromFile.out.substr(fromFile.out.size() - finish.size()), finish);
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

// A file that is no log as read (an encrypted log without its key or under another, any other
// file) is refused with exit status 1 and nothing printed of it, followed or not.
TEST(LogRead, RefusesWhatIsNoLogAsRead) {
    TempDir dir;
    const std::string encrypted = WriteLog(dir, "n.log", kKey16);
    std::string noise;
    for (int i = 0; i < 64; ++i) noise.push_back(static_cast<char>((i * 97 + 13) & 0xFF));
    std::ofstream(dir.File("noise.bin"), std::ios::binary) << noise;
    const std::string wrongKey = std::string("-k ") + kKey32 + " ";
    struct Case {
        std::string args;
        const char* error;
    } const cases[] = {
        {wrongKey + "'" + encrypted + "'", "does not decrypt to a log"},
        {"'" + encrypted + "'", "not a log of the library"},
        {"'" + dir.File("noise.bin") + "'", "not a log of the library"},
        {wrongKey + "'" + dir.File("noise.bin") + "'", "does not decrypt to a log"},
        {wrongKey + "--follow '" + encrypted + "'", "does not decrypt to a log"},
    };
    for (const Case& c : cases) {
        RunResult r = RunLogRead(dir, c.args);
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1) << c.args;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << c.args << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.args;
    }
}

namespace {

// A log of a beep, a scroll list and a DUKPT PIN entry at the Detail level.
std::string WriteSessionLog(const TempDir& dir) {
    orn::test::SimSession session;
    EXPECT_EQ(session.Open(orn::kLogDetail), 0);
    EXPECT_EQ(ornBeep(7), 0);
    char list[64] = "";
    for (const char* item : {"Tea", "Coffee", "Milk"}) ornAddListItem(list, item, sizeof list);
    int selection = 0, data = 0;
    EXPECT_EQ(ornScrollListWait(0, 1, 1, 0, 0, 0, 1, "Drinks", "", "", "", list, &selection, &data),
              0);
    char pin[17] = "", ksn[21] = "";
    EXPECT_EQ(ornDukptPinWait(0, 0, 0, "4761739001010119", nullptr, pin, ksn), 0);
    std::ofstream(dir.File("session.log")) << session.CloseAndReadLog();
    return dir.File("session.log");
}

// All a follower prints until it ends, which must be with success.
std::string ReadToEnd(std::FILE* follower) {
    std::string out;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, follower)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(follower), 0);
    return out;
}

}  // namespace

TEST(LogRead, ExplainsEveryFrameOfALogTheLibraryWrote) {
    TempDir dir;
    const std::string log = WriteSessionLog(dir);
    RunResult all = RunLogRead(dir, "'" + log + "'");
    ASSERT_EQ(all.status, 0) << all.err;
    for (const char* line : {
             "    = 5B. beep: tone 7\n",
             "    = 5B. beep: status 0\n",
             "    = 6C. scroll list: items 3, parameters 1100001, titles and items Drinks<1E>",
             "    = 6C. scroll list: status 0, selection 01\n",
             "    = 31. DUKPT PIN entry: selector 0, option 0, account 476173******0119, prompt",
             "    = 31. DUKPT PIN entry: status 0, value ****",
             "    = ACK\n",
         })
        EXPECT_NE(all.out.find(line), std::string::npos) << line << "\n" << all.out;
    // Every frame the library sent or received is in the catalogue, and the secrets stay masked.
    EXPECT_EQ(all.out.find("(unknown)"), std::string::npos) << all.out;
    EXPECT_EQ(all.out.find("739001"), std::string::npos);
    // Without explanations the log is printed as it was written.
    EXPECT_EQ(RunLogRead(dir, "--raw '" + log + "'").out, orn::test::ReadTextFile(log));
}

TEST(LogRead, FiltersByKindLevelAndTime) {
    TempDir dir;
    const std::string log = WriteSessionLog(dir);
    const std::string text = orn::test::ReadTextFile(log);
    const size_t dumps = orn::test::Occurrences(text, " Data (");
    ASSERT_GT(dumps, 6u);
    struct Case {
        std::string options;
        bool dumpsKept;
        bool infoKept;
    };
    const Case cases[] = {
        {"--frames", true, false},           {"--level info", false, true},
        {"--level DETAIL", true, true},      {"--from 00:00 --to 23:59:59.999", true, true},
        {"--to 00:00:00.000", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        RunResult r = RunLogRead(dir, c.options + " '" + log + "'");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(orn::test::Occurrences(r.out, " Data ("), c.dumpsKept ? dumps : 0u);
        EXPECT_EQ(r.out.find("(Info)") != std::string::npos, c.infoKept);
    }
    for (const char* bad : {"--level loud", "--from 25:00", "--to", "--from 1:2:3:4:5"})
        EXPECT_NE(RunLogRead(dir, std::string(bad) + " '" + log + "'").status, 0) << bad;
}

TEST(LogRead, FollowsAGrowingEncryptedLogUntilItIsFinished) {
    TempDir dir;
    CLogger logger;
    ASSERT_EQ(logger.SetKey(kKey16), 0);
    ASSERT_EQ(logger.OpenLogFile(dir.File("f.log").c_str(), orn::kLogInfo), 1);
    const std::string file = logger.CurrentFile();
    const std::string command =
        std::string("ORN_LOG_KEY=") + kKey16 + " '" + ORNLOGREAD_PATH + "' --follow '" + file + "'";
    std::FILE* follower = popen(command.c_str(), "r");
    ASSERT_NE(follower, nullptr);
    // The follower reads what comes after it started, and stops at the finish line.
    logger.Log(orn::kLogInfo, "first after start");
    logger.Log(orn::kLogSevere, "second after start");
    logger.Shutdown();
    const std::string out = ReadToEnd(follower);
    EXPECT_NE(out.find("(Info)  first after start\n"), std::string::npos) << out;
    EXPECT_NE(out.find("(Severe)  second after start\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Finish Logging"), std::string::npos) << out;
}

TEST(LogRead, FollowsTheLogIntoTheNextNumberedFilesWithoutLosingALine) {
    struct Case {
        const char* key;
        bool namesTaken;  // all ten names in use: each move drops .0 and renumbers the others
    };
    for (const Case& c : {Case{"", false}, Case{kKey16, true}}) {
        SCOPED_TRACE(c.key);
        TempDir dir;
        const std::string base = dir.File("r.log");
        for (int n = 0; c.namesTaken && n < 9; ++n)
            std::ofstream(base + "." + std::to_string(n)) << "stale\n";
        CLogger logger;
        ASSERT_EQ(logger.SetKey(c.key), 0);
        ASSERT_EQ(logger.SetSizeLimit(1000000), 1);
        ASSERT_EQ(logger.OpenLogFile(base.c_str(), orn::kLogInfo), 1);
        // A follower that misses the move would wait forever: `timeout` ends it and the test
        // fails instead of hanging.
        const std::string command = std::string("ORN_LOG_KEY='") + c.key + "' timeout 45 '" +
                                    ORNLOGREAD_PATH + "' --follow '" + logger.CurrentFile() + "'";
        std::FILE* follower = popen(command.c_str(), "r");
        ASSERT_NE(follower, nullptr);
        // The banner is printed once the follower has noted the files already there.
        char first[4096] = "";
        EXPECT_NE(std::fgets(first, sizeof first, follower), nullptr);
        EXPECT_NE(std::string(first).find("Logger Started"), std::string::npos) << first;
        // About 2.5 MB: more than two files' worth, whatever the batches the logger writes.
        constexpr int kLines = 2500;
        const std::string filler(1000, 'x');
        for (int i = 0; i < kLines; ++i)
            logger.Log(orn::kLogInfo, "payload %05d %s", i, filler.c_str());
        logger.Shutdown();
        const std::string out = ReadToEnd(follower);

        int written = 0;
        for (int k = 0; k < 10; ++k) {
            const std::string text = orn::test::ReadTextFile(base + "." + std::to_string(k));
            written += !text.empty() && text.rfind("stale", 0) != 0;
        }
        EXPECT_GE(written, 2);
        // Every line once and in order, each whole: no padding of a finished encrypted file
        // before it, nothing of the files that were there before.
        int next = 0;
        for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
            const std::string line = out.substr(at, end - at);
            const size_t payload = line.find("payload ");
            if (payload == std::string::npos) continue;
            char expected[32];
            std::snprintf(expected, sizeof expected, "payload %05d ", next);
            ASSERT_EQ(line.rfind("ORN  ", 0), 0u) << line.substr(0, 60);
            ASSERT_EQ(line.substr(payload), expected + filler) << line.substr(0, 60);
            ++next;
        }
        EXPECT_EQ(next, kLines);
        EXPECT_EQ(orn::test::Occurrences(out, "Finish Logging"), 1u);
        EXPECT_EQ(out.find("stale"), std::string::npos);
    }
}
