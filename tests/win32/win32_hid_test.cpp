// The Windows HID device and enumeration. Wine has no HID devices, so what is tested is what it
// can show: the searches find nothing without a complaint when the system's services are
// there, the exact Severe lines when a library or one of its functions is missing, and the
// report traffic of CUsbHidPort over a message pipe standing in for a device.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

#include "link/port_discovery.h"
#include "link/usb_hid_port.h"
#include "log/logger.h"
#include "platform/platform.h"
#include "platform/win32/service_library.h"
#include "test_support.h"

namespace orn {
namespace {

// A loader that hides one library or one function.
const char* g_hiddenLibrary = nullptr;
const char* g_hiddenFunction = nullptr;

HMODULE HidingLoad(const char* name) {
    if (g_hiddenLibrary != nullptr && ::_stricmp(name, g_hiddenLibrary) == 0) return nullptr;
    return platform::win32::LoadSystemLibrary(name);
}

FARPROC HidingFind(HMODULE module, const char* function) {
    if (g_hiddenFunction != nullptr && std::strcmp(function, g_hiddenFunction) == 0) return nullptr;
    return ::GetProcAddress(module, function);
}

class Hiding {
  public:
    Hiding(const char* library, const char* function) {
        g_hiddenLibrary = library;
        g_hiddenFunction = function;
        static const platform::win32::LibraryLoader loader = {HidingLoad, HidingFind};
        platform::win32::SetLibraryLoader(&loader);
    }
    ~Hiding() {
        platform::win32::SetLibraryLoader(nullptr);
        g_hiddenLibrary = g_hiddenFunction = nullptr;
    }
};

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The HID search and the HID open, each with a library or a function missing: the search finds
// nothing and has not failed, the open fails with 2250, and the log holds the line exactly once.
TEST(Win32HidServiceTest, MissingLibrariesAndFunctionsGiveTheirSevereLines) {
    enum Operation { Search, Open };
    struct Case {
        Operation operation;
        const char* library;
        const char* function;
        const char* line;  // null: no such line at all
    } cases[] = {
        {Search, nullptr, nullptr, nullptr},
        {Search, "SETUPAPI.DLL", nullptr, "Unable to find SETUPAPI.DLL in execution path"},
        {Search, "HID.DLL", nullptr, "Unable to find HID.DLL in execution path"},
        {Search, nullptr, "SetupDiGetClassDevsA",
         "Unable to find SETUPAPI.DLL function SetupDiGetClassDevsA"},
        {Search, nullptr, "SetupDiEnumDeviceInterfaces",
         "Unable to find SETUPAPI.DLL function SetupDiEnumDeviceInterfaces"},
        {Search, nullptr, "SetupDiGetDeviceInterfaceDetailA",
         "Unable to find SETUPAPI.DLL function SetupDiGetDeviceInterfaceDetail"},
        {Search, nullptr, "SetupDiDestroyDeviceInfoList",
         "Unable to find SETUPAPI.DLL function SetupDiDestroyDeviceInfoList"},
        {Search, nullptr, "HidD_GetAttributes",
         "Unable to find HID.DLL function SHidD_GetAttributes"},
        {Search, nullptr, "HidD_GetHidGuid", "Unable to find HID.DLL function SHidD_GetHidGuid"},
        // An existing file that is no HID device: the device opens, its capabilities do not.
        {Open, nullptr, nullptr, nullptr},
        {Open, "HID.DLL", nullptr, "Unable to find HID.DLL function HidD_GetPreparsedData"},
        {Open, nullptr, "HidD_GetPreparsedData",
         "Unable to find HID.DLL function HidD_GetPreparsedData"},
        {Open, nullptr, "HidP_GetCaps", "Unable to find HID.DLL function HidD_GetPreparsedData"},
        {Open, nullptr, "HidD_FreePreparsedData",
         "Unable to find HID.DLL function HidD_FreePreparsedData"},
    };
    test::TempDir dir;
    const std::string device = dir.File("not-a-hid-device");
    { std::ofstream(device) << "x"; }
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.library ? c.library : "") + (c.function ? c.function : ""));
        CLogger log;
        ASSERT_EQ(log.OpenLogFile(dir.File("hid" + std::to_string(n++) + ".log").c_str(), kLogInfo),
                  1);
        const std::string file = log.CurrentFile();
        {
            Hiding hiding(c.library, c.function);
            if (c.operation == Search) {
                std::vector<platform::HidDeviceInfo> devices{{"stale", 1, 2}};
                EXPECT_TRUE(FindUsbHidDevices(log, &devices));
                EXPECT_TRUE(devices.empty());
            } else {
                CUsbHidPort port(log, nullptr);
                EXPECT_EQ(port.Open(device), platform::kErrHidOpenFailed);
                EXPECT_FALSE(port.IsOpen());
            }
        }
        log.Shutdown();
        const std::string text = test::ReadTextFile(file);
        if (c.line == nullptr) {
            EXPECT_EQ(Count(text, "Unable to find"), 0u) << text;
            if (c.operation == Search) {
                EXPECT_EQ(Count(text, "(Severe)"), 0u) << text;
            }
        } else {
            EXPECT_EQ(Count(text, "Unable to find"), 1u) << text;
            EXPECT_EQ(Count(text, std::string("(Severe)  ") + c.line + "\n"), 1u) << text;
        }
    }
    uint32_t error = 0;
    EXPECT_EQ(platform::HidDevice::Open(dir.File("missing"), &error), nullptr);
    EXPECT_EQ(error, platform::kErrNotFound);
}

// Without the device-setup service the same COM ports are found, by their DOS names. (Wine
// lists only the ports it set up at its start, so the simulator's port is not among them.)
TEST(Win32HidServiceTest, ComPortsAreListedWithOrWithoutTheDeviceSetupService) {
    std::vector<std::string> names[2];
    for (int hide = 0; hide < 2; ++hide) {
        Hiding hiding(hide ? "SETUPAPI.DLL" : nullptr, nullptr);
        std::vector<platform::SerialPortInfo> ports;
        std::string text;
        ASSERT_EQ(platform::EnumerateSerialPorts(&ports, &text), 0u) << text;
        EXPECT_LE(ports.size(), platform::kMaxSerialPorts);
        unsigned last = 0;
        for (const platform::SerialPortInfo& port : ports) {
            names[hide].push_back(port.portName);
            const unsigned number = std::strtoul(port.portName.c_str() + 3, nullptr, 10);
            EXPECT_GT(number, last) << port.portName;
            last = number;
            EXPECT_FALSE(port.friendlyName.empty());
            EXPECT_FALSE(port.description.empty());
            EXPECT_EQ(port.usb, !port.vendorId.empty()) << port.portName;
            if (hide) {
                EXPECT_FALSE(port.usb);
            }
        }
    }
    EXPECT_EQ(names[0], names[1]);
}

class RecordingSink : public IChunkSink {
  public:
    void Receive(const uint8_t* data, uint32_t count) override {
        std::lock_guard<std::mutex> lock(mutex_);
        chunks_.emplace_back(data, data + count);
    }
    void OnDeviceGone() override {
        std::lock_guard<std::mutex> lock(mutex_);
        goneAfter_ = static_cast<int>(chunks_.size());
    }
    std::vector<std::vector<uint8_t>> Chunks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return chunks_;
    }
    size_t Bytes() {
        size_t n = 0;
        for (const auto& chunk : Chunks()) n += chunk.size();
        return n;
    }
    int GoneAfter() {
        std::lock_guard<std::mutex> lock(mutex_);
        return goneAfter_;
    }

  private:
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> chunks_;
    int goneAfter_ = -1;
};

// CUsbHidPort on the Windows device, over a message pipe: one message is one 32-byte report.
// The port gets the overlapped client end; the test keeps the server end.
class Win32HidPipeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static int pipes = 0;
        const std::string name = "\\\\.\\pipe\\orn-hid-" + std::to_string(::GetCurrentProcessId()) +
                                 "-" + std::to_string(++pipes);
        peer_ = ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096,
                                   4096, 0, nullptr);
        ASSERT_NE(peer_, INVALID_HANDLE_VALUE);
        HANDLE client = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(client, INVALID_HANDLE_VALUE);
        DWORD mode = PIPE_READMODE_MESSAGE;
        ASSERT_TRUE(::SetNamedPipeHandleState(client, &mode, nullptr, nullptr));
        ASSERT_TRUE(::ConnectNamedPipe(peer_, nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED);
        native_ = reinterpret_cast<intptr_t>(client);
    }
    void TearDown() override {
        port_.Close();
        if (peer_ != INVALID_HANDLE_VALUE) ::CloseHandle(peer_);
    }
    void Attach() { ASSERT_EQ(port_.Attach(platform::HidDevice::FromNative(native_, 32, 32)), 0u); }
    void SendReport(const std::vector<uint8_t>& data) {
        std::vector<uint8_t> report(32, 0xEE);
        report[0] = 2;
        report[1] = static_cast<uint8_t>(data.size());
        std::copy(data.begin(), data.end(), report.begin() + 2);
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(peer_, report.data(), 32, &written, nullptr));
        ASSERT_EQ(written, 32u);
    }
    // The next report the port wrote, or nothing when none is waiting.
    std::vector<uint8_t> ReceiveReport() {
        DWORD available = 0;
        if (!::PeekNamedPipe(peer_, nullptr, 0, nullptr, &available, nullptr) || available == 0)
            return {};
        std::vector<uint8_t> report(64);
        DWORD n = 0;
        if (!::ReadFile(peer_, report.data(), 64, &n, nullptr)) n = 0;
        report.resize(n);
        return report;
    }
    static std::vector<uint8_t> Counting(size_t n) {
        std::vector<uint8_t> bytes(n);
        for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(0x40 + i);
        return bytes;
    }

    CLogger log_;
    RecordingSink sink_;
    CUsbHidPort port_{log_, &sink_};
    HANDLE peer_ = INVALID_HANDLE_VALUE;
    intptr_t native_ = 0;
};

// A 65-byte frame goes out as three full-length reports of 30, 30 and 5 data bytes; reports of
// one frame come in as one chunk; a close while the reader waits ends it at once.
TEST_F(Win32HidPipeTest, ReportsBothWaysAndACloseThatEndsTheRead) {
    const std::vector<uint8_t> in = Counting(72);
    SendReport({in.begin(), in.begin() + 30});
    SendReport({in.begin() + 30, in.begin() + 60});
    SendReport({in.begin() + 60, in.end()});
    Attach();
    ASSERT_TRUE(test::WaitUntil([&] { return sink_.Bytes() >= 72; }, 5000));
    EXPECT_EQ(sink_.Chunks(), (std::vector<std::vector<uint8_t>>{in}));

    const std::vector<uint8_t> frame = Counting(65);
    ASSERT_EQ(port_.WriteFrame(frame.data(), 65, 5000), 0u);
    std::vector<uint8_t> carried;
    for (size_t count : {30, 30, 5}) {
        const std::vector<uint8_t> report = ReceiveReport();
        ASSERT_EQ(report.size(), 32u);
        EXPECT_EQ(report[0], 2);
        EXPECT_EQ(report[1], count);
        carried.insert(carried.end(), report.begin() + 2, report.begin() + 2 + count);
    }
    EXPECT_TRUE(ReceiveReport().empty());
    EXPECT_EQ(carried, frame);

    const auto start = std::chrono::steady_clock::now();
    port_.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_EQ(sink_.GoneAfter(), -1);  // closed, not unplugged
}

// A device that takes nothing: the write is cancelled at its limit (the pipe's buffer is full).
TEST_F(Win32HidPipeTest, AWriteThatIsNotTakenEndsAtItsLimit) {
    Attach();
    const uint8_t frame[10] = {};
    uint32_t err = 0;
    for (int writes = 0; writes < 100000 && err == 0; ++writes)
        err = port_.WriteFrame(frame, sizeof frame, 100);
    EXPECT_EQ(err, platform::kErrTimeout);
    EXPECT_FALSE(port_.DeviceGone());
}

TEST_F(Win32HidPipeTest, UnplugIsNoticedAfterTheLastData) {
    Attach();
    SendReport({0x06});
    ASSERT_TRUE(test::WaitUntil([&] { return sink_.Bytes() == 1; }, 5000));
    ::CloseHandle(peer_);
    peer_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(test::WaitUntil([&] { return sink_.GoneAfter() >= 0; }, 5000));
    EXPECT_EQ(sink_.GoneAfter(), 1);
    EXPECT_TRUE(port_.DeviceGone());
    const uint8_t ack = 0x06;
    EXPECT_EQ(port_.WriteFrame(&ack, 1, 1000), platform::kErrDeviceNotConnected);
}

}  // namespace
}  // namespace orn
