// The Windows HID device and enumeration. Wine has no HID devices, so what is tested is what it
// can show: the searches find nothing without a complaint when the system's services are
// there, the exact Severe lines when a library or one of its functions is missing, the report
// traffic of CUsbHidPort over a message pipe standing in for a device, and, through service
// functions the test stands in for, the choice among a terminal's collections. Besides: how the
// service libraries are loaded, and which COM ports count as USB.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which they need.
#include <hidsdi.h>
#include <setupapi.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <vector>

#include "chunk_recorder.h"
#include "link/port_discovery.h"
#include "link/usb_hid_port.h"
#include "log/logger.h"
#include "platform/platform.h"
#include "platform/win32/hid.h"
#include "platform/win32/service_library.h"
#include "platform/win32/usb_ids.h"
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
            EXPECT_EQ(test::Occurrences(text, "Unable to find"), 0u) << text;
            if (c.operation == Search) {
                EXPECT_EQ(test::Occurrences(text, "(Severe)"), 0u) << text;
            }
        } else {
            EXPECT_EQ(test::Occurrences(text, "Unable to find"), 1u) << text;
            EXPECT_EQ(test::Occurrences(text, std::string("(Severe)  ") + c.line + "\n"), 1u)
                << text;
        }
    }
    platform::Status error;
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

// The service libraries come from the system folder, and so do the DLLs they load in turn:
// LOAD_LIBRARY_SEARCH_SYSTEM32 where the system knows the flag, else the full path with
// LOAD_WITH_ALTERED_SEARCH_PATH.
struct LoadCall {
    std::wstring file;
    DWORD flags;
    bool operator==(const LoadCall& other) const {
        return file == other.file && flags == other.flags;
    }
};
std::vector<LoadCall> g_loadCalls;
std::vector<DWORD> g_loadErrors;  // per call: 0 loads, else the error it fails with

HMODULE WINAPI RecordingLoad(LPCWSTR file, HANDLE, DWORD flags) {
    const size_t call = g_loadCalls.size();
    g_loadCalls.push_back({file, flags});
    const DWORD error = call < g_loadErrors.size() ? g_loadErrors[call] : 0;
    ::SetLastError(error);
    return error == 0 ? reinterpret_cast<HMODULE>(0x10000) : nullptr;
}

TEST(Win32ServiceLibraryTest, LibrariesAndTheirDependenciesComeFromTheSystemFolder) {
    wchar_t directory[MAX_PATH + 1] = {};
    ASSERT_GT(::GetSystemDirectoryW(directory, MAX_PATH), 0u);
    const std::wstring fullPath = std::wstring(directory) + L"\\HID.DLL";
    const DWORD search = LOAD_LIBRARY_SEARCH_SYSTEM32, altered = LOAD_WITH_ALTERED_SEARCH_PATH;
    struct Case {
        bool flagsKnown;
        std::vector<DWORD> errors;
        bool loaded;
        std::vector<LoadCall> calls;
    } cases[] = {
        {true, {0}, true, {{L"HID.DLL", search}}},
        {true, {ERROR_MOD_NOT_FOUND}, false, {{L"HID.DLL", search}}},
        // Refused although AddDllDirectory exists: the way without the flag.
        {true, {ERROR_INVALID_PARAMETER, 0}, true, {{L"HID.DLL", search}, {fullPath, altered}}},
        {false, {0}, true, {{fullPath, altered}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.flagsKnown << " " << c.errors.front());
        g_loadCalls.clear();
        g_loadErrors = c.errors;
        const platform::win32::SystemLoadCalls calls = {RecordingLoad, c.flagsKnown};
        EXPECT_EQ(platform::win32::LoadSystemLibraryWith("HID.DLL", calls) != nullptr, c.loaded);
        EXPECT_TRUE(g_loadCalls == c.calls);
    }
    // The real loader, with the flag as Wine and every current Windows know it.
    HMODULE hid = platform::win32::LoadSystemLibrary("HID.DLL");
    EXPECT_NE(hid, nullptr);
    if (hid != nullptr) ::FreeLibrary(hid);
}

// A COM port is USB when the port's device or its parent carries a USB\VID_&PID_ identifier,
// whatever driver made the port.
TEST(Win32UsbIdentityTest, UsbIsDecidedByTheIdentifiersOfThePortOrItsParent) {
    struct Case {
        std::vector<std::string> identifiers;  // the port's, then its parent's
        const char* vendor;                    // null: not USB
        const char* product;
    } cases[] = {
        {{"FTDIBUS\\COMPORT&VID_0403&PID_6001", "USB\\VID_0403&PID_6001\\A600XYZ",
          "USB\\VID_0403&PID_6001&REV_0600"},
         "0403",
         "6001"},
        {{"USB\\VID_0e7d&PID_0100&REV_0100&MI_00", "USB\\VID_0E7D&PID_0100&MI_00"}, "0E7D", "0100"},
        {{"usb\\vid_0e7d&pid_7420"}, "0E7D", "7420"},
        {{"FTDIBUS\\COMPORT&VID_0403&PID_6001"}, nullptr, nullptr},  // no parent known
        {{"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002",
          "BTH\\MS_BTHBRB\\7&1234&0&1"},
         nullptr,
         nullptr},
        {{"ACPI\\PNP0501", "*PNP0501", "ACPI\\PNP0A08\\0"}, nullptr, nullptr},
        {{"USB\\ROOT_HUB30", "USB\\Class_02", "USB\\VID_0E7", "USB\\VID_0E7D&PID_01"},
         nullptr,
         nullptr},
        {{"USB\\VID_XYZW&PID_0100", "USBPRINT\\VID_0E7D&PID_0100"}, nullptr, nullptr},
        {{}, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.identifiers.empty() ? std::string("none") : c.identifiers.front());
        const platform::win32::UsbIdentity usb = platform::win32::UsbIdentityOf(c.identifiers);
        EXPECT_EQ(usb.usb, c.vendor != nullptr);
        EXPECT_EQ(usb.vendorId, c.vendor ? c.vendor : "");
        EXPECT_EQ(usb.productId, c.product ? c.product : "");
    }
}

// A composite terminal: three top-level collections of the maker's vendor, each a file standing
// in for its device, told apart by the end of their names. Only the last carries output
// report 2.
struct FakeCollection {
    const char* name;
    USHORT inputLength, outputLength;
    bool report2;
};
const FakeCollection kCollections[] = {
    {"col01", 9, 0, false},    // a keypad: input only
    {"col02", 32, 32, false},  // output reports, but not number 2
    {"col03", 32, 32, true},   // the link
};
std::string g_collectionFolder;
std::map<std::string, ULONG> g_inputBuffers;  // collection name -> count set

const FakeCollection* CollectionOf(HANDLE h) {
    wchar_t path[1024] = {};
    const DWORD n = ::GetFinalPathNameByHandleW(h, path, 1023, 0);
    const std::wstring name(path, n);
    for (const FakeCollection& c : kCollections) {
        const std::wstring end(c.name, c.name + std::strlen(c.name));
        if (name.size() >= end.size() &&
            name.compare(name.size() - end.size(), end.size(), end) == 0)
            return &c;
    }
    return nullptr;
}

HDEVINFO WINAPI FakeGetClassDevs(const GUID*, PCSTR, HWND, DWORD) {
    return reinterpret_cast<HDEVINFO>(0x5E7);
}
BOOL WINAPI FakeEnumInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                               PSP_DEVICE_INTERFACE_DATA data) {
    if (index >= 3) {
        ::SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->Reserved = index;
    return TRUE;
}
BOOL WINAPI FakeGetDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data,
                          PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                          PSP_DEVINFO_DATA) {
    const std::string path = g_collectionFolder + "\\" + kCollections[data->Reserved].name;
    const DWORD needed = static_cast<DWORD>(
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required != nullptr) *required = needed;
    if (detail == nullptr || size < needed) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}
BOOL WINAPI FakeDestroyList(HDEVINFO) {
    return TRUE;
}
void NTAPI FakeGetHidGuid(LPGUID guid) {
    *guid = GUID{};
}
BOOLEAN NTAPI FakeGetAttributes(HANDLE h, PHIDD_ATTRIBUTES attributes) {
    if (CollectionOf(h) == nullptr) return FALSE;
    attributes->VendorID = 0x0E7D;
    attributes->ProductID = 0x7420;
    return TRUE;
}
BOOLEAN NTAPI FakeGetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* preparsed) {
    const FakeCollection* c = CollectionOf(h);
    *preparsed = reinterpret_cast<PHIDP_PREPARSED_DATA>(const_cast<FakeCollection*>(c));
    return c != nullptr;
}
NTSTATUS NTAPI FakeGetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps) {
    const auto* c = reinterpret_cast<const FakeCollection*>(preparsed);
    *caps = HIDP_CAPS{};
    caps->InputReportByteLength = c->inputLength;
    caps->OutputReportByteLength = c->outputLength;
    return HIDP_STATUS_SUCCESS;
}
BOOLEAN NTAPI FakeFreePreparsedData(PHIDP_PREPARSED_DATA) {
    return TRUE;
}
NTSTATUS NTAPI FakeInitializeReport(HIDP_REPORT_TYPE type, UCHAR id, PHIDP_PREPARSED_DATA preparsed,
                                    PCHAR, ULONG length) {
    const auto* c = reinterpret_cast<const FakeCollection*>(preparsed);
    if (length != (type == HidP_Output ? c->outputLength : c->inputLength))
        return HIDP_STATUS_INVALID_REPORT_LENGTH;
    return c->report2 && id == 2 ? HIDP_STATUS_SUCCESS : HIDP_STATUS_REPORT_DOES_NOT_EXIST;
}
BOOLEAN NTAPI FakeSetNumInputBuffers(HANDLE h, ULONG count) {
    const FakeCollection* c = CollectionOf(h);
    if (c != nullptr) g_inputBuffers[c->name] = count;
    return c != nullptr;
}

template <typename Fn>
FARPROC AsFarProc(Fn function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}

FARPROC FakeFind(HMODULE module, const char* function) {
    static const std::map<std::string, FARPROC> fakes = {
        {"SetupDiGetClassDevsA", AsFarProc(FakeGetClassDevs)},
        {"SetupDiEnumDeviceInterfaces", AsFarProc(FakeEnumInterfaces)},
        {"SetupDiGetDeviceInterfaceDetailA", AsFarProc(FakeGetDetail)},
        {"SetupDiDestroyDeviceInfoList", AsFarProc(FakeDestroyList)},
        {"HidD_GetHidGuid", AsFarProc(FakeGetHidGuid)},
        {"HidD_GetAttributes", AsFarProc(FakeGetAttributes)},
        {"HidD_GetPreparsedData", AsFarProc(FakeGetPreparsedData)},
        {"HidP_GetCaps", AsFarProc(FakeGetCaps)},
        {"HidD_FreePreparsedData", AsFarProc(FakeFreePreparsedData)},
        {"HidP_InitializeReportForID", AsFarProc(FakeInitializeReport)},
        {"HidD_SetNumInputBuffers", AsFarProc(FakeSetNumInputBuffers)},
    };
    const auto fake = fakes.find(function);
    return fake != fakes.end() ? fake->second : ::GetProcAddress(module, function);
}

// The search lists the link's collection only, whichever comes first; the open takes it, and
// refuses the others, and raises its input report queue.
TEST(Win32HidServiceTest, TheLinksCollectionIsChosenAndItsInputQueueRaised) {
    test::TempDir dir;
    g_collectionFolder = dir.path();
    g_inputBuffers.clear();
    for (const FakeCollection& c : kCollections) std::ofstream(dir.File(c.name)) << "";
    static const platform::win32::LibraryLoader loader = {platform::win32::LoadSystemLibrary,
                                                          FakeFind};
    platform::win32::SetLibraryLoader(&loader);
    CLogger log;
    std::vector<platform::HidDeviceInfo> devices;
    EXPECT_TRUE(FindUsbHidDevices(log, &devices));
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].path, dir.File("col03"));
    EXPECT_EQ(devices[0].productId, 0x7420);
    for (const FakeCollection& c : kCollections) {
        SCOPED_TRACE(c.name);
        platform::Status error;
        auto device = platform::HidDevice::Open(dir.File(c.name), &error);
        EXPECT_EQ(device != nullptr, c.report2);
        EXPECT_EQ(error, c.report2 ? 0u : platform::kErrHidOpenFailed);
        if (device == nullptr) continue;
        EXPECT_EQ(device->InputReportLength(), 32u);
        EXPECT_EQ(device->OutputReportLength(), 32u);
        device->Close();
    }
    platform::win32::SetLibraryLoader(nullptr);
    EXPECT_EQ(g_inputBuffers, (std::map<std::string, ULONG>{{"col03", 256}}));
}

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
    test::ChunkRecorder sink_;
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
    ASSERT_TRUE(test::WaitUntil([&] { return sink_.Bytes().size() >= 72; }, 5000));
    EXPECT_EQ(sink_.Items(), (std::vector<std::vector<uint8_t>>{in}));

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
    EXPECT_EQ(sink_.goneAfter.load(), -1);  // closed, not unplugged
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
    ASSERT_TRUE(test::WaitUntil([&] { return sink_.Bytes().size() == 1; }, 5000));
    ::CloseHandle(peer_);
    peer_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(test::WaitUntil([&] { return sink_.goneAfter >= 0; }, 5000));
    EXPECT_EQ(sink_.goneAfter.load(), 1);
    EXPECT_TRUE(port_.DeviceGone());
    const uint8_t ack = 0x06;
    EXPECT_EQ(port_.WriteFrame(&ack, 1, 1000), platform::kErrDeviceNotConnected);
}

}  // namespace
}  // namespace orn
