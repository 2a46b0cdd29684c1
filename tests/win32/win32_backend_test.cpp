// What only the Windows backend does: the CryptoAPI cipher under the log, the COM port names
// and errors, and the waits that the kernel can fail.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "link/com_port.h"
#include "log/log_cipher.h"
#include "log/logger.h"
#include "platform/platform.h"
#include "platform/win32/serial_dcb.h"
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

TEST(Win32SerialTest, MissingPortsAreNotFound) {
    for (const char* name : {"COM99", "\\\\.\\COM99", "COM250"}) {
        uint32_t error = 0;
        EXPECT_EQ(platform::SerialDevice::Open(name, &error), nullptr) << name;
        EXPECT_EQ(error, platform::kErrNotFound) << name;
        EXPECT_FALSE(platform::SerialPortPresent(name)) << name;
    }
}

bool UnderWine() {
    return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// On a COM port whose far end is the simulator (ORN_WINE_PORT, set by scripts/test-windows.sh).
class Win32ComPortTest : public ::testing::Test, public IChunkSink {
  protected:
    void SetUp() override {
        const char* name = std::getenv("ORN_WINE_PORT");
        if (name == nullptr) GTEST_SKIP() << "no simulator (ORN_WINE_PORT)";
        port_ = name;
        ASSERT_EQ(log_.OpenLogFile(dir_.File("serial.log").c_str(), kLogInfo), 1);
    }
    void Receive(const uint8_t* data, uint32_t count) override {
        std::lock_guard<std::mutex> hold(lock_);
        received_.append(reinterpret_cast<const char*>(data), count);
    }
    std::string Received() {
        std::lock_guard<std::mutex> hold(lock_);
        return received_;
    }

    test::TempDir dir_;
    CLogger log_;
    std::string port_;
    std::mutex lock_;
    std::string received_;
};

// The terminal's enquiry at open reaches the receiver (under Wine every completed event wait
// reports an error and an empty mask), a second open of a held port is refused as busy (not
// under Wine), and a close while the listener waits ends it at once.
TEST_F(Win32ComPortTest, ListenerReadsHeldPortIsBusyCloseEndsTheWait) {
    CComPort port(log_, this);
    ASSERT_EQ(port.Open(port_.c_str(), 2048, 2048), 0u);
    EXPECT_TRUE(
        test::WaitUntil([this] { return Received().find('\x05') != std::string::npos; }, 10000));

    // Windows refuses a second open of a COM port; Wine does not enforce that for devices.
    if (!UnderWine()) {
        uint32_t error = 0;
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
