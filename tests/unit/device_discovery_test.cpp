// The platform seam's enumeration and HID device over fake sysfs trees and SOCK_SEQPACKET
// socket nodes standing in for hidraw devices.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "sim_session.h"
#include "test_support.h"

namespace orn::platform {
namespace {

using orn::sim::FakeDeviceTree;
using orn::sim::LinkReportDescriptor;
using orn::test::ComPortDir;

// A listening SOCK_SEQPACKET socket at `path`: the device node the library connects to.
int Listen(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0) {
        ADD_FAILURE() << "listen " << path << ": " << std::strerror(errno);
        return -1;
    }
    return fd;
}

// Report 2 with `count` fields of `bits` each, input and output (both global items four bytes
// wide, as a descriptor may write them).
std::string Fields(uint32_t bits, uint32_t count) {
    std::string d("\x85\x02", 2);
    for (const auto& [prefix, value] : {std::pair<char, uint32_t>{'\x77', bits}, {'\x97', count}}) {
        d += prefix;
        for (int b = 0; b < 4; ++b) d += static_cast<char>(value >> (8 * b));
    }
    return d + std::string("\x81\x02\x91\x02", 4);
}

class DiscoveryTest : public ::testing::Test {
  protected:
    orn::test::FakeDevices devices_;
    FakeDeviceTree& tree_ = devices_.tree;
};

TEST_F(DiscoveryTest, SerialPortsComeInComOrderWithTheirUsbIdentity) {
    ASSERT_TRUE(tree_.AddSerialPort("ttyUSB1", "0403", "6001"));
    ASSERT_TRUE(tree_.AddSerialPort("ttyUSB0", "0e7d", "00a2", "Velquora Terminal"));
    ASSERT_TRUE(tree_.AddSerialPort("ttyS0"));
    ASSERT_TRUE(tree_.AddSerialPort("ttyS1", {}, {}, {}, /*placeholder=*/true));
    ASSERT_TRUE(tree_.AddSerialPort("ttyACM2", "2341", "0043", "Board (ACM)"));
    ASSERT_TRUE(tree_.AddSerialPort("ttyS32"));   // beyond the 32 ports of a family
    ASSERT_TRUE(tree_.AddSerialPort("ttyAMA0"));  // not a family the open mapping knows
    ASSERT_TRUE(tree_.AddSerialPort("ttyUSB5"));
    ASSERT_EQ(::unlink((tree_.sysfs() + "/class/tty/ttyUSB5/device").c_str()), 0);  // no device

    ComPortDir portDir;  // sets ORN_PORT_DIR: its entries not in sysfs are listed too
    ASSERT_TRUE(portDir.Link("COM7", "/dev/null"));
    ASSERT_TRUE(portDir.Link("COM1", "/dev/null"));  // already listed from sysfs
    ASSERT_TRUE(portDir.Link("LPT1", "/dev/null"));

    // Name, USB or not, vendor:product, friendly name | description.
    const std::vector<std::string> expected = {
        "COM1 - : COM1 | COM1",
        "COM7 - : COM7 | COM7",
        "COM33 usb 0E7D:00A2 Velquora Terminal | Velquora Terminal",
        "COM34 usb 0403:6001 COM34 | COM34",
        "COM67 usb 2341:0043 Board (ACM) | Board",
    };
    std::vector<SerialPortInfo> ports;
    std::string text;
    ASSERT_EQ(EnumerateSerialPorts(&ports, &text), 0u) << text;
    std::vector<std::string> seen;
    for (const SerialPortInfo& p : ports)
        seen.push_back(p.portName + (p.usb ? " usb " : " - ") + p.vendorId + ":" + p.productId +
                       " " + p.friendlyName + " | " + p.description);
    EXPECT_EQ(seen, expected);
    ASSERT_EQ(ports.size(), expected.size());
    // Each port's path is what its name opens: the port directory's entry stands in for /dev.
    EXPECT_EQ(ports[2].devicePath, portDir.path() + "/COM33");

    // Live: an unplugged adapter is gone from the next listing.
    ASSERT_TRUE(tree_.RemoveSerialPort("ttyUSB0"));
    ASSERT_EQ(EnumerateSerialPorts(&ports, &text), 0u);
    EXPECT_EQ(ports.size(), expected.size() - 1);
}

TEST_F(DiscoveryTest, UnreadableClassDirectoryFailsWithAText) {
    const std::string tty = tree_.sysfs() + "/class/tty";
    ASSERT_EQ(::rmdir(tty.c_str()), 0);
    std::vector<SerialPortInfo> ports;
    std::string text;
    EXPECT_EQ(EnumerateSerialPorts(&ports, &text), 0u);  // no tty class at all: no ports
    EXPECT_TRUE(ports.empty());
    std::ofstream(tty) << "not a directory";
    EXPECT_NE(EnumerateSerialPorts(&ports, &text), 0u);
    EXPECT_NE(text.find(tty), std::string::npos) << text;
}

TEST_F(DiscoveryTest, HidDevicesOfTheVendorOnUsbInNodeOrder) {
    const std::string descriptor = LinkReportDescriptor(32, 32);
    ASSERT_FALSE(tree_.AddHidDevice(10, 0x0E7D, 0x0101, descriptor).empty());
    ASSERT_FALSE(tree_.AddHidDevice(3, 0x0E7D, 0x00A2, descriptor).empty());
    ASSERT_FALSE(tree_.AddHidDevice(0, 0x046D, 0xC077, descriptor).empty());     // a mouse
    ASSERT_FALSE(tree_.AddHidDevice(1, 0x0E7D, 0x0001, descriptor, 5).empty());  // Bluetooth
    std::vector<HidDeviceInfo> devices;
    std::string text;
    ASSERT_EQ(EnumerateHidDevices(0x0E7D, &devices, &text), 0u) << text;
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].path, tree_.dev() + "/hidraw3");
    EXPECT_EQ(devices[0].productId, 0x00A2);
    EXPECT_EQ(devices[1].path, tree_.dev() + "/hidraw10");
    EXPECT_EQ(devices[1].vendorId, 0x0E7D);
}

TEST_F(DiscoveryTest, ReportLengthsComeFromReportTwoOfTheDescriptor) {
    // Report 1 only, report 2 with no output field, and two reports of which only 2 counts.
    const std::string onlyReport1 = [] {
        std::string d = LinkReportDescriptor(32, 32);
        d[8] = 0x01;
        return d;
    }();
    const std::string noOutput = LinkReportDescriptor(32, 32).substr(0, 17) + "\xC0";
    const std::string twoReports =
        LinkReportDescriptor(32, 32).substr(0, 23) + std::string("\x85\x03\x95\x3F\x81\x02\xC0", 7);
    struct Row {
        const char* what;
        std::string descriptor;
        uint32_t error, input, output;
        bool tooLong;  // the refusal comes with a line for the log
    };
    const Row rows[] = {
        {"32/32", LinkReportDescriptor(32, 32), 0, 32, 32, false},
        {"65/9", LinkReportDescriptor(65, 9), 0, 65, 9, false},
        {"report 3 beside", twoReports, 0, 32, 32, false},
        {"no report 2", onlyReport1, kErrHidOpenFailed, 0, 0, false},
        {"no output", noOutput, kErrHidOpenFailed, 0, 0, false},
        {"empty", "", kErrHidOpenFailed, 0, 0, false},
        {"64 KB", Fields(8, 65535), 0, 65536, 65536, false},
        {"64 KB + 1", Fields(8, 65536), kErrHidOpenFailed, 0, 0, true},
        {"64 MB", Fields(8, 0x03FFFFFF), kErrHidOpenFailed, 0, 0, true},
        {"size x count wraps to 16 bits", Fields(8, 0x20000002), kErrHidOpenFailed, 0, 0, true},
    };
    unsigned index = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string node = tree_.AddHidDevice(index++, 0x0E7D, 1, row.descriptor);
        int listener = Listen(node);
        Status error = 12345;
        std::string text;
        auto device = HidDevice::Open(node, &error, &text);
        EXPECT_EQ(error, row.error);
        if (row.error == 0 && device) {
            EXPECT_EQ(device->InputReportLength(), row.input);
            EXPECT_EQ(device->OutputReportLength(), row.output);
        }
        EXPECT_EQ(text.find("longer than 64 KB") != std::string::npos, row.tooLong) << text;
        ::close(listener);
    }
    // A node nobody listens on any more, and no node at all: not found.
    Status error;
    EXPECT_EQ(HidDevice::Open(tree_.dev() + "/hidraw0", &error), nullptr);
    EXPECT_EQ(error, kErrNotFound);
    EXPECT_EQ(HidDevice::Open(tree_.dev() + "/hidraw99", &error), nullptr);
    EXPECT_EQ(error, kErrNotFound);
}

TEST_F(DiscoveryTest, ReportsTravelWholeAndAVanishedPeerIsNoticedWithoutSignal) {
    const std::string node = tree_.AddHidDevice(0, 0x0E7D, 1, LinkReportDescriptor(32, 32));
    int listener = Listen(node);
    Status error;
    auto device = HidDevice::Open(node, &error);
    ASSERT_TRUE(device) << error;
    int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(peer, 0);

    std::vector<uint8_t> report(32, 0);
    report[0] = 2;
    report[1] = 3;
    ASSERT_EQ(device->WriteReport(report.data(), report.size(), 1000), 0u);
    uint8_t got[64];
    EXPECT_EQ(::recv(peer, got, sizeof got, 0), 32);

    ASSERT_EQ(::send(peer, "\x02\x01\x06", 3, 0), 3);
    size_t n = 0;
    ASSERT_EQ(device->ReadReport(got, sizeof got, &n), 0u);
    EXPECT_EQ(std::vector<uint8_t>(got, got + n), (std::vector<uint8_t>{2, 1, 6}));

    // A read waiting with nothing to come is cancelled from another thread.
    std::thread canceller([&] {
        SleepMs(50);
        device->CancelRead();
    });
    EXPECT_EQ(device->ReadReport(got, sizeof got, &n), 0u);
    EXPECT_EQ(n, 0u);
    canceller.join();

    ::close(peer);  // unplugged: the reader sees it, and a write fails without SIGPIPE
    EXPECT_EQ(device->ReadReport(got, sizeof got, &n), kErrDeviceNotConnected);
    EXPECT_EQ(device->WriteReport(report.data(), report.size(), 1000), kErrDeviceNotConnected);
    device->Close();
    EXPECT_FALSE(device->IsOpen());
    EXPECT_EQ(device->ReadReport(got, sizeof got, &n), kErrInvalidHandle);
    ::close(listener);
}

TEST(ErrnoMapTest, EveryOsErrorBecomesOneSeamNumber) {
    struct Row {
        int error;
        uint32_t operation, open;
    };
    const Row rows[] = {
        {EIO, kErrIoDevice, kErrIoDevice},  // never "busy"
        {ENOENT, kErrNotFound, kErrNotFound},
        {ENODEV, kErrDeviceNotConnected, kErrNotFound},
        {EBUSY, kErrAccessDenied, kErrAccessDenied},
        {EACCES, kErrAccessDenied, kErrAccessDenied},
        {EPIPE, kErrBrokenPipe, kErrBrokenPipe},
        {EINVAL, kErrInvalidParameter, kErrInvalidParameter},
        {ELOOP, kErrGenFailure, kErrGenFailure},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(posix::MapErrno(row.error), row.operation) << row.error;
        EXPECT_EQ(posix::MapOpenErrno(row.error), row.open) << row.error;
    }
}

// What the log says of a failure: the operation and its subject, the OS's words and code. The
// seam's own open failures must carry them, not only the mapped number.
TEST(StatusTextTest, AFailureIsToldWithItsOperationAndTheOsError) {
    ComPortDir ports;
    orn::test::TempDir dir;
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(ports.Link("COM3", fifo));
    Status missing, notTty;
    EXPECT_EQ(SerialDevice::Open("COM2", &missing), nullptr);
    EXPECT_EQ(SerialDevice::Open("COM3", &notTty), nullptr);
    struct Row {
        Status status;
        uint32_t error;
        std::string text;
    };
    const Row rows[] = {
        {Status(kErrAccessDenied, EACCES, "open", "/dev/ttyUSB0"), kErrAccessDenied,
         "open /dev/ttyUSB0: permission denied (13)"},
        {missing, kErrNotFound,
         "open " + ports.path() + "/COM2: no such file or directory (" + std::to_string(ENOENT) +
             ")"},
        {notTty, kErrNotFound,
         "tcgetattr " + ports.path() + "/COM3: inappropriate ioctl for device (" +
             std::to_string(ENOTTY) + ")"},
        {Status(kErrTimeout), kErrTimeout, "error 1460"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.status, row.error) << row.text;
        EXPECT_EQ(row.status.Text(), row.text);
    }
    EXPECT_EQ(Status(kErrTimeout).Detail(), "");
}

}  // namespace
}  // namespace orn::platform
