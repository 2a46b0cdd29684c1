// What only the Windows backend does: the CryptoAPI cipher under the log, the COM port names
// and errors, the waits that the kernel can fail, and the log files' names, sharing and access
// rights.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "chunk_recorder.h"
#include "link/com_port.h"
#include "log/log_cipher.h"
#include "log/logger.h"
#include "platform/platform.h"
#include "platform/win32/des.h"
#include "platform/win32/files.h"
#include "platform/win32/serial_dcb.h"
#include "platform/win32/text.h"
#include "test_support.h"

namespace orn {
namespace {

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

std::string ReadBinaryFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Encrypt(const std::string& key, const std::string& plain) {
    LogCipher cipher;
    EXPECT_TRUE(cipher.SetHexKey(key));
    std::string out(plain.size(), '\0');
    EXPECT_TRUE(cipher.EncryptBlocks(reinterpret_cast<const uint8_t*>(plain.data()),
                                     reinterpret_cast<uint8_t*>(&out[0]), plain.size()));
    std::string back(out.size(), '\0');
    EXPECT_TRUE(cipher.DecryptBlocks(reinterpret_cast<const uint8_t*>(out.data()),
                                     reinterpret_cast<uint8_t*>(&back[0]), out.size()));
    EXPECT_EQ(back, plain);
    return Hex(out);
}

// The standard DES vector, two-key triple DES, and weak keys, which must be used rather than
// refused (the values are what OpenSSL gives on Linux, so logs read the same on both).
TEST(Win32CipherTest, MatchesTheKnownAnswers) {
    struct Case {
        const char* key;
        const char* cipher;
    } cases[] = {
        {"0123456789ABCDEF", "3FA40E8A984D4815"},
        {"0123456789ABCDEFFEDCBA9876543210", "D80A0D8B2BAE5E4E"},
        {"0101010101010101", "7D65484BE578DD0D"},
        {"0101010101010101FEFEFEFEFEFEFEFE", "EB346F2D513B409F"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Encrypt(c.key, "Now is t"), c.cipher) << c.key;
    }
    // Blocks are independent: two equal blocks give two equal cipher blocks.
    EXPECT_EQ(Encrypt("0123456789ABCDEF", "Now is tNow is t"), "3FA40E8A984D48153FA40E8A984D4815");
}

// An encrypted log written here; scripts/test-windows.sh reads the same file back with the
// Linux log reader (ORN_WIN32_LOG_OUT names it).
TEST(Win32CipherTest, EncryptedLogDecryptsToItsLines) {
    test::TempDir dir;
    const char* out = std::getenv("ORN_WIN32_LOG_OUT");
    std::string name = out != nullptr && out[0] != '\0' ? out : dir.File("enc.log");
    CLogger logger;
    ASSERT_EQ(logger.SetKey("0123456789ABCDEFFEDCBA9876543210"), 0);
    ASSERT_EQ(logger.OpenLogFile(name.c_str(), kLogDetail), 1);
    logger.Log(kLogInfo, "written under %s: %zu bytes", "Windows", static_cast<size_t>(42));
    std::string file = logger.CurrentFile();
    logger.Shutdown();

    std::string data = ReadBinaryFile(file);
    ASSERT_FALSE(data.empty());
    ASSERT_EQ(data.size() % 8, 0u);
    LogCipher cipher;
    ASSERT_TRUE(cipher.SetHexKey("0123456789ABCDEFFEDCBA9876543210"));
    std::string plain(data.size(), '\0');
    ASSERT_TRUE(cipher.DecryptBlocks(reinterpret_cast<const uint8_t*>(data.data()),
                                     reinterpret_cast<uint8_t*>(&plain[0]), data.size()));
    EXPECT_NE(plain.find("(Info)  written under Windows: 42 bytes\r\n"), std::string::npos);
    EXPECT_NE(plain.find("Finish Logging"), std::string::npos);
}

// What the provider is given: every byte with odd parity (a provider may refuse others), and a
// key of two equal halves as the single DES it is (a provider may refuse it as triple DES).
TEST(Win32CipherTest, KeysAreImportedWithOddParityAndEqualHalvesAsSingleDes) {
    struct Case {
        const char* key1;
        const char* key2;
        ALG_ID algorithm;
        const char* imported;
    } cases[] = {
        {"0123456789ABCDEF", nullptr, CALG_DES, "0123456789ABCDEF"},
        {"0022446688AACCEE", nullptr, CALG_DES, "0123456789ABCDEF"},
        {"0000000000000000", nullptr, CALG_DES, "0101010101010101"},
        {"0123456789ABCDEF", "FEDCBA9876543210", CALG_3DES_112, "0123456789ABCDEFFEDCBA9876543210"},
        {"0022446688AACCEE", "FFDDBB9977553311", CALG_3DES_112, "0123456789ABCDEFFEDCBA9876543210"},
        {"0123456789ABCDEF", "0123456789ABCDEF", CALG_DES, "0123456789ABCDEF"},
        {"0123456789ABCDEF", "0022446688AACCEE", CALG_DES, "0123456789ABCDEF"},
    };
    auto bytes = [](const char* hex) {
        std::vector<uint8_t> out;
        for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
            out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
        return out;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key1) + " " + (c.key2 ? c.key2 : ""));
        const std::vector<uint8_t> key1 = bytes(c.key1), key2 = c.key2 ? bytes(c.key2) : key1;
        const platform::win32::DesKeyBlob blob =
            platform::win32::ImportableDesKey(key1.data(), c.key2 ? key2.data() : nullptr);
        EXPECT_EQ(blob.algorithm, c.algorithm);
        EXPECT_EQ(Hex(std::string(reinterpret_cast<const char*>(blob.key), blob.length)),
                  c.imported);
    }
}

TEST(Win32SerialTest, MissingPortsAreNotFound) {
    for (const char* name : {"COM99", "\\\\.\\COM99", "COM250"}) {
        platform::Status error;
        EXPECT_EQ(platform::SerialDevice::Open(name, &error), nullptr) << name;
        EXPECT_EQ(error, platform::kErrNotFound) << name;
        // The log is told what failed, in the system's words.
        EXPECT_EQ(error.Text().rfind("CreateFile ", 0), 0u) << error.Text();
        EXPECT_NE(error.OsCode(), 0u) << error.Text();
        EXPECT_FALSE(platform::SerialPortPresent(name)) << name;
    }
}

bool UnderWine() {
    return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// On a COM port whose far end is the simulator (ORN_WINE_PORT, set by scripts/test-windows.sh).
class Win32ComPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* name = std::getenv("ORN_WINE_PORT");
        if (name == nullptr) GTEST_SKIP() << "no simulator (ORN_WINE_PORT)";
        port_ = name;
        ASSERT_EQ(log_.OpenLogFile(dir_.File("serial.log").c_str(), kLogInfo), 1);
    }

    test::TempDir dir_;
    CLogger log_;
    std::string port_;
    test::ChunkRecorder received_;
};

// The terminal's enquiry at open reaches the receiver (under Wine every completed event wait
// reports an error and an empty mask), a second open of a held port is refused as busy (not
// under Wine), and a close while the listener waits ends it at once.
TEST_F(Win32ComPortTest, ListenerReadsHeldPortIsBusyCloseEndsTheWait) {
    CComPort port(log_, &received_);
    ASSERT_EQ(port.Open(port_.c_str(), 2048, 2048), 0u);
    EXPECT_TRUE(test::WaitUntil(
        [this] {
            const std::vector<uint8_t> bytes = received_.Bytes();
            return std::find(bytes.begin(), bytes.end(), 0x05) != bytes.end();
        },
        10000));

    // Windows refuses a second open of a COM port; Wine does not enforce that for devices.
    if (!UnderWine()) {
        platform::Status error;
        EXPECT_EQ(platform::SerialDevice::Open(port_, &error), nullptr);
        EXPECT_EQ(error, platform::kErrAccessDenied);
    }
    EXPECT_TRUE(platform::SerialPortPresent(port_));

    auto start = std::chrono::steady_clock::now();
    port.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    log_.Shutdown();
    std::string text = test::ReadTextFile(log_.CurrentFile().empty() ? dir_.File("serial.log.0")
                                                                     : log_.CurrentFile());
    EXPECT_NE(text.find("Serial Listener Thread shutdown properly"), std::string::npos) << text;
    EXPECT_NE(text.find("Serial Listener Thread Stopped"), std::string::npos);
}

// What each handshake kind asks of the driver; Off must leave DTR and RTS raised, as the POSIX
// backend does, whatever the lines were before.
TEST(Win32SerialTest, HandshakeKindsSetTheLinesAndFlowControl) {
    struct Case {
        platform::Handshake kind;
        DWORD dtr, rts;
        bool ctsDsrFlow, xonXoff;
    } cases[] = {
        {platform::Handshake::Off, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, false, false},
        {platform::Handshake::Hardware, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, true, false},
        {platform::Handshake::Software, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, false, true},
    };
    for (const Case& c : cases) {
        for (DWORD before : {DWORD{DTR_CONTROL_DISABLE}, DWORD{DTR_CONTROL_HANDSHAKE}}) {
            DCB dcb{};
            dcb.fDtrControl = before;
            dcb.fRtsControl = before;
            dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = TRUE;
            platform::ApplyHandshake(c.kind, &dcb);
            const int kind = static_cast<int>(c.kind);
            EXPECT_EQ(dcb.fDtrControl, c.dtr) << kind;
            EXPECT_EQ(dcb.fRtsControl, c.rts) << kind;
            EXPECT_EQ(dcb.fOutxCtsFlow && dcb.fOutxDsrFlow && dcb.fDsrSensitivity, c.ctsDsrFlow)
                << kind;
            EXPECT_EQ(dcb.fOutX && dcb.fInX, c.xonXoff) << kind;
        }
    }
}

TEST(Win32WaitTest, TooManyEventsFailInsteadOfWaiting) {
    std::vector<std::unique_ptr<platform::Event>> events;
    std::vector<platform::Event*> list;
    for (int i = 0; i < 65; ++i) {
        events.push_back(std::make_unique<platform::Event>(true, true));
        list.push_back(events.back().get());
    }
    size_t index = 99;
    EXPECT_EQ(platform::WaitForAny(list.data(), list.size(), 0, &index),
              platform::WaitResult::Failed);
    EXPECT_EQ(platform::WaitForAny(list.data(), 64, 0, &index), platform::WaitResult::Signalled);
    EXPECT_EQ(index, 0u);
}

std::wstring SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) return std::wstring();
    std::wstring result = text;
    ::LocalFree(text);
    return result;
}

// A log file lets in its user and SYSTEM only, with full access, and nothing from its folder.
// (Wine keeps the entries but not the flag that stops inheritance; the descriptor the file is
// created with is checked for it instead.)
TEST(Win32FilesTest, LogFilesGrantOnlyTheUserAndSystem) {
    const std::wstring user = platform::win32::CurrentUserSid();
    ASSERT_FALSE(user.empty());
    auto isProtected = [](PSECURITY_DESCRIPTOR descriptor) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        return ::GetSecurityDescriptorControl(descriptor, &control, &revision) &&
               (control & SE_DACL_PROTECTED) != 0;
    };
    PSECURITY_DESCRIPTOR created = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        platform::win32::PrivateFileSddl(user).c_str(), SDDL_REVISION_1, &created, nullptr));
    EXPECT_TRUE(isProtected(created));
    ::LocalFree(created);

    test::TempDir dir;
    CLogger log;
    ASSERT_EQ(log.OpenLogFile(dir.File("private.log").c_str(), kLogInfo), 1);
    const std::wstring file = platform::win32::Widen(log.CurrentFile());
    log.Shutdown();
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(::GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    if (!UnderWine()) {
        EXPECT_TRUE(isProtected(descriptor)) << "the folder's entries would be inherited";
    }
    ASSERT_NE(dacl, nullptr) << "no DACL: everyone may open the file";
    std::set<std::wstring> allowed;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&header)));
        ASSERT_EQ(header->AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(header->AceFlags & INHERITED_ACE, 0);
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
        allowed.insert(SidText(&ace->SidStart));
    }
    EXPECT_EQ(dacl->AceCount, 2u);
    ::LocalFree(descriptor);
    EXPECT_EQ(allowed, (std::set<std::wstring>{L"S-1-5-18", user}));
}

// A viewer holds the oldest log open with read and write sharing (so it can be neither deleted
// nor renamed), and later the newest too: the log drops the next oldest file instead, and the
// one it writes can itself be renamed by a viewer meanwhile.
TEST(Win32FilesTest, RotationGoesOnWhileAViewerHoldsLogs) {
    test::TempDir dir;
    const std::string base = dir.File("viewed.log");
    auto numbered = [&base](int n) { return base + "." + std::to_string(n); };
    for (int n = 0; n < 10; ++n) std::ofstream(numbered(n)) << "old " << n;
    auto view = [](const std::string& path) {
        return ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    };
    HANDLE oldest = view(numbered(0));
    ASSERT_NE(oldest, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(::DeleteFileA(numbered(0).c_str()));  // what the log is up against

    CLogger log;
    ASSERT_EQ(log.OpenLogFile(base.c_str(), kLogInfo), 1);
    EXPECT_EQ(log.CurrentFile(), numbered(9));
    ASSERT_TRUE(::MoveFileA(numbered(9).c_str(), dir.File("moved").c_str())) << ::GetLastError();
    ASSERT_TRUE(::MoveFileA(dir.File("moved").c_str(), numbered(9).c_str())) << ::GetLastError();
    HANDLE newest = view(numbered(9));
    EXPECT_NE(newest, INVALID_HANDLE_VALUE) << ::GetLastError();
    log.Shutdown();
    EXPECT_EQ(test::ReadTextFile(numbered(0)), "old 0");
    for (int n = 1; n < 9; ++n)
        EXPECT_EQ(test::ReadTextFile(numbered(n)), "old " + std::to_string(n + 1));

    // The newest held too: it stays where it is and the next log goes just below it.
    ASSERT_EQ(log.OpenLogFile(base.c_str(), kLogInfo), 1);
    EXPECT_EQ(log.CurrentFile(), numbered(8));
    log.Log(kLogInfo, "still logging");
    log.Shutdown();
    EXPECT_NE(test::ReadTextFile(numbered(8)).find("still logging"), std::string::npos);
    EXPECT_NE(test::ReadTextFile(numbered(9)).find("Finish Logging"), std::string::npos);
    ::CloseHandle(newest);
    ::CloseHandle(oldest);
}

// Run as a child program from a folder named outside the ANSI code page (see below): a relative
// log name goes beside the program.
TEST(Win32FilesChild, WritesARelativeLogBesideTheProgram) {
    const char* name = std::getenv("ORN_CHILD_LOG");
    if (name == nullptr || name[0] == '\0') GTEST_SKIP() << "run by the test below";
    CLogger log;
    ASSERT_EQ(log.OpenLogFile(name, kLogInfo), 1);
    log.Log(kLogInfo, "beside the program");
    log.Shutdown();
}

// Folder names in Greek and Japanese, which no ANSI code page holds both of: an absolute log
// name in UTF-8, and a relative one beside a program in such a folder, are written there; a
// name in the ANSI code page (as an older application passes it) still works.
TEST(Win32FilesTest, LogsGoToFoldersNamedOutsideTheAnsiCodePage) {
    test::TempDir dir;
    const std::wstring folder =
        platform::win32::Widen(dir.path()) + L"\\\u039b\u03bf\u03b3 \u65e5\u8a8c";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    const std::string folderUtf8 = platform::win32::Narrow(folder);
    auto exists = [](const std::wstring& path) {
        return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    };

    CLogger log;
    ASSERT_EQ(log.OpenLogFile((folderUtf8 + "\\direct.log").c_str(), kLogInfo), 1);
    log.Shutdown();
    EXPECT_TRUE(exists(folder + L"\\direct.log.0"));

    if (::GetACP() == 1252) {
        ASSERT_EQ(log.OpenLogFile((dir.path() + "\\caf\xE9.log").c_str(), kLogInfo), 1);
        log.Shutdown();
        EXPECT_TRUE(exists(platform::win32::Widen(dir.path()) + L"\\caf\u00e9.log.0"));
    }

    wchar_t self[MAX_PATH + 1] = {};
    ASSERT_GT(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    const std::wstring program = folder + L"\\child.exe";
    ASSERT_TRUE(::CopyFileW(self, program.c_str(), TRUE)) << ::GetLastError();
    test::ScopedEnv childLog("ORN_CHILD_LOG", "child.log");
    std::wstring command = L"\"" + program + L"\" --gtest_filter=Win32FilesChild.* --gtest_brief=1";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(::CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &startup, &process))
        << ::GetLastError();
    EXPECT_EQ(::WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    DWORD exitCode = 99;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_TRUE(exists(folder + L"\\child.log.0"));
}

TEST(Win32FilesTest, LogNamesFollowTheHostProgram) {
    std::string exe = platform::ExecutablePath();
    ASSERT_GE(exe.size(), 3u);
    EXPECT_EQ(exe[1], ':');
    EXPECT_EQ(platform::PathSeparator(), '\\');
    EXPECT_TRUE(platform::IsAbsolutePath("\\\\server\\share\\pos.log"));
    EXPECT_FALSE(platform::IsAbsolutePath("trace.log"));
}

}  // namespace
}  // namespace orn
