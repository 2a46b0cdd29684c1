// The serial device over real pseudo-terminals (and a socketpair), reached by COM names through
// ORN_PORT_DIR.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"

namespace orn::platform {
namespace {

using orn::test::ComPortDir;
using orn::test::PtyPair;
using orn::test::ScopedEnv;
using orn::test::SocketPair;
using orn::test::WaitUntil;
using Clock = std::chrono::steady_clock;

std::vector<uint8_t> AllByteValues() {
    std::vector<uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

// Reads from `device` until `count` bytes have come or five seconds have passed.
std::vector<uint8_t> ReadFromDevice(SerialDevice& device, size_t count) {
    std::vector<uint8_t> got;
    WaitUntil(
        [&] {
            uint8_t buffer[512];
            size_t n = 0;
            if (device.Read(buffer, sizeof buffer, &n) == 0)
                got.insert(got.end(), buffer, buffer + n);
            return got.size() >= count;
        },
        5000);
    return got;
}

// Runs WaitEvent on its own thread, as the listener does.
class WaitEventCall {
  public:
    WaitEventCall(SerialDevice& device, uint32_t mask)
        : thread_([this, &device, mask] {
              error_ = device.WaitEvent(mask, &events_);
              done_ = true;
          }) {}
    ~WaitEventCall() { thread_.join(); }
    bool Done(int ms) {
        return WaitUntil([this] { return done_.load(); }, ms);
    }
    uint32_t error() const { return error_; }
    uint32_t events() const { return events_; }

  private:
    uint32_t error_ = 0xFFFFFFFFu;
    uint32_t events_ = 0xFFFFFFFFu;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

class SerialDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty_.ok());
        ASSERT_TRUE(ports_.Link("COM7", pty_.slavePath()));
    }

    // Opens COM7 and makes it raw the way the library does (a pty keeps 8N1 and says so).
    std::shared_ptr<SerialDevice> OpenRaw(const std::string& name = "COM7") {
        Status error = 0xFFFFFFFFu;
        auto device = SerialDevice::Open(name, &error);
        EXPECT_EQ(error, 0u);
        if (!device) return nullptr;
        uint32_t setup = device->Setup(LineSettings{9600, 7, Parity::Even, StopBits::One});
        EXPECT_TRUE(setup == 0 || setup == kErrInvalidParameter) << setup;
        EXPECT_EQ(device->SetupHandshaking(Handshake::Off), 0u);
        return device;
    }

    PtyPair pty_;
    ComPortDir ports_;
};

TEST_F(SerialDeviceTest, EveryByteValuePassesBothWaysUnchanged) {
    auto device = OpenRaw("\\\\.\\COM7");
    ASSERT_TRUE(device);
    const std::vector<uint8_t> bytes = AllByteValues();  // includes CR, XON, XOFF, DEL

    size_t written = 0;
    ASSERT_EQ(device->Write(bytes.data(), bytes.size(), &written), 0u);
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(pty_.Read(bytes.size()), bytes);

    ASSERT_TRUE(pty_.Write(bytes));
    EXPECT_EQ(ReadFromDevice(*device, bytes.size()), bytes);

    size_t got = 99;
    uint8_t one;
    EXPECT_EQ(device->Read(&one, 1, &got), 0u);  // nothing pending: no wait, no error
    EXPECT_EQ(got, 0u);
}

TEST_F(SerialDeviceTest, SetupReportsSettingsTheDeviceDidNotTake) {
    auto device = OpenRaw();
    ASSERT_TRUE(device);
    // tcsetattr succeeds when any part of a request is taken; a pty keeps eight bits and no
    // parity without complaint, so only reading back tells.
    // A refused character format still leaves the speed asked for (the maker's USB port).
    uint32_t error = device->Setup(LineSettings{115200, 7, Parity::Even, StopBits::One});
    LineSettings now;
    ASSERT_EQ(device->GetSettings(&now), 0u);
    bool taken = now.dataBits == 7 && now.parity == Parity::Even;
    EXPECT_EQ(error == 0, taken) << error;
    EXPECT_EQ(now.baud, 115200u);

    ASSERT_EQ(device->Setup(LineSettings{115200, 8, Parity::None, StopBits::Two}), 0u);
    ASSERT_EQ(device->GetSettings(&now), 0u);
    EXPECT_EQ(now.baud, 115200u);
    EXPECT_EQ(now.dataBits, 8);
    EXPECT_EQ(now.parity, Parity::None);
    EXPECT_EQ(now.stopBits, StopBits::Two);

    EXPECT_EQ(device->Setup(LineSettings{12345, 8, Parity::None, StopBits::One}),
              kErrInvalidParameter);
    ASSERT_TRUE(pty_.Write(std::vector<uint8_t>{0x0D, 0x11, 0x13, 0x7F}));
    EXPECT_EQ(ReadFromDevice(*device, 4), (std::vector<uint8_t>{0x0D, 0x11, 0x13, 0x7F}));
}

TEST_F(SerialDeviceTest, NamesThatReachNoDeviceAreNotFound) {
    ASSERT_TRUE(ports_.Link("COM9", ports_.path() + "/nothing-here"));  // unplugged adapter
    for (const char* name : {"COM8", "\\\\.\\COM8", "COM9", "COMX", "LPT1", "COM", ""}) {
        Status error;
        EXPECT_EQ(SerialDevice::Open(name, &error), nullptr) << name;
        EXPECT_EQ(error, kErrNotFound) << name;
        EXPECT_FALSE(SerialPortPresent(name)) << name;
    }
    EXPECT_TRUE(SerialPortPresent("COM7"));
    EXPECT_TRUE(SerialPortPresent("\\\\.\\COM7"));
    ASSERT_TRUE(ports_.Unlink("COM7"));
    EXPECT_FALSE(SerialPortPresent("COM7"));
}

TEST(SerialNameTest, WithoutPortDirComNumbersMapToTheKernelDevices) {
    ScopedEnv env("ORN_PORT_DIR", "");  // empty counts as unset
    struct Row {
        const char* name;
        const char* device;
    };
    const Row rows[] = {
        {"COM1", "/dev/ttyS0"},     {"\\\\.\\COM32", "/dev/ttyS31"}, {"COM33", "/dev/ttyUSB0"},
        {"COM64", "/dev/ttyUSB31"}, {"com65", "/dev/ttyACM0"},       {"COM96", "/dev/ttyACM31"},
        {"/dev/null", "/dev/null"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(SerialPortPresent(row.name), FileExists(row.device)) << row.name;
    }
    EXPECT_TRUE(SerialPortPresent("/dev/null"));
    for (const char* name : {"COM0", "COM97", "COM99999999999999999999", "dev/null"}) {
        Status error;
        EXPECT_FALSE(SerialPortPresent(name)) << name;
        EXPECT_EQ(SerialDevice::Open(name, &error), nullptr) << name;
        EXPECT_EQ(error, kErrNotFound) << name;
    }
}

TEST_F(SerialDeviceTest, PortIsExclusiveWhileOpenAndFreeAfterClose) {
    ASSERT_TRUE(pty_.HoldSlave());  // keeps the tty (and its flags) alive across the close
    Status error;
    auto first = SerialDevice::Open("COM7", &error);
    ASSERT_TRUE(first);
    EXPECT_EQ(pty_.SlaveExclusive(), 1);

    EXPECT_EQ(SerialDevice::Open("COM7", &error), nullptr);
    EXPECT_EQ(error, kErrAccessDenied);

    first->Close();
    EXPECT_FALSE(first->IsOpen());
    // The exclusive flag would otherwise shut out every non-root program from now on.
    EXPECT_EQ(pty_.SlaveExclusive(), 0);
    size_t n = 0;
    uint8_t byte = 0;
    EXPECT_EQ(first->Read(&byte, 1, &n), kErrInvalidHandle);
    EXPECT_EQ(first->Write(&byte, 1, &n), kErrInvalidHandle);

    auto second = OpenRaw();
    ASSERT_TRUE(second);
    ASSERT_TRUE(pty_.Write(std::string("ok")));
    EXPECT_EQ(ReadFromDevice(*second, 2), (std::vector<uint8_t>{'o', 'k'}));
}

TEST_F(SerialDeviceTest, WaitEventReportsInputAndIsCancelledFromAnotherThread) {
    auto device = OpenRaw();
    ASSERT_TRUE(device);
    {
        WaitEventCall call(*device, kEvRxChar | kEvErr);
        EXPECT_FALSE(call.Done(100));  // nothing pending: it blocks
        ASSERT_TRUE(pty_.Write(std::string("x")));
        ASSERT_TRUE(call.Done(5000));
        EXPECT_EQ(call.error(), 0u);
        EXPECT_EQ(call.events(), kEvRxChar);
    }
    ASSERT_EQ(ReadFromDevice(*device, 1).size(), 1u);
    {
        WaitEventCall call(*device, kEvRxChar | kEvErr);
        EXPECT_FALSE(call.Done(100));
        device->CancelWait();
        ASSERT_TRUE(call.Done(5000));
        EXPECT_EQ(call.error(), 0u);
        EXPECT_EQ(call.events(), 0u);
    }
}

TEST_F(SerialDeviceTest, CancelBeforeWaitEndsOnlyTheNextWait) {
    auto device = OpenRaw();
    ASSERT_TRUE(device);
    device->CancelWait();
    device->CancelWait();  // cancels do not pile up
    uint32_t events = 99;
    EXPECT_EQ(device->WaitEvent(kEvRxChar, &events), 0u);
    EXPECT_EQ(events, 0u);
    // The cancel was consumed: the next wait waits for input.
    WaitEventCall call(*device, kEvRxChar);
    EXPECT_FALSE(call.Done(100));
    ASSERT_TRUE(pty_.Write(std::string("y")));
    ASSERT_TRUE(call.Done(5000));
    EXPECT_EQ(call.events(), kEvRxChar);
}

TEST_F(SerialDeviceTest, HangupIsReportedWithoutSpinning) {
    auto device = OpenRaw();
    ASSERT_TRUE(device);
    pty_.Close();  // the far end goes away for good

    uint32_t events = 0;
    ASSERT_EQ(device->WaitEvent(kEvRxChar | kEvErr, &events), 0u);
    EXPECT_EQ(events, kEvErr);
    // A listener that keeps asking is slowed down rather than answered at once every time.
    Clock::time_point start = Clock::now();
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(device->WaitEvent(kEvRxChar | kEvErr, &events), 0u);
        EXPECT_EQ(events, kEvErr);
    }
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
              4 * 45);
    // And it can still be stopped while paused.
    WaitEventCall call(*device, kEvRxChar);  // no kEvErr: waits until cancelled
    device->CancelWait();
    ASSERT_TRUE(call.Done(5000));
    EXPECT_EQ(call.events(), 0u);
}

TEST_F(SerialDeviceTest, LineControlOnAPtyFailsSoftlyAndKeepsThePortUsable) {
    auto device = OpenRaw();
    ASSERT_TRUE(device);
    uint32_t status = 0, errors = 99;
    device->SetDtr(true);
    device->GetModemStatus(&status);
    device->SendBreak(10);
    EXPECT_EQ(device->Purge(), 0u);
    EXPECT_EQ(device->SetupQueues(2048, 2048), 0u);
    uint32_t queued = 99;
    EXPECT_EQ(device->ClearError(&errors, &queued), 0u);
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(queued, 0u);
    ASSERT_TRUE(pty_.Write(std::string("after")));
    // The listener reads what the queue count says is there.
    EXPECT_TRUE(
        WaitUntil([&] { return device->ClearError(&errors, &queued) == 0 && queued == 5; }, 5000));
    EXPECT_EQ(ReadFromDevice(*device, 5).size(), 5u);
}

TEST(SerialNativeTest, WrapsASocketAndDeliversInputLeftBeforeThePeerWent) {
    SocketPair socket;
    ASSERT_TRUE(socket.ok());
    auto device = SerialDevice::FromNative(socket.TakePeer());
    ASSERT_TRUE(device);
    size_t written = 0;
    ASSERT_EQ(device->Write("ping", 4, &written), 0u);
    EXPECT_EQ(socket.Read(4), (std::vector<uint8_t>{'p', 'i', 'n', 'g'}));

    ASSERT_TRUE(socket.Write(std::string("last")));
    socket.Close();
    uint32_t events = 0;
    ASSERT_EQ(device->WaitEvent(kEvRxChar | kEvErr, &events), 0u);
    EXPECT_EQ(events, kEvRxChar);
    EXPECT_EQ(ReadFromDevice(*device, 4), (std::vector<uint8_t>{'l', 'a', 's', 't'}));
    ASSERT_EQ(device->WaitEvent(kEvRxChar | kEvErr, &events), 0u);
    EXPECT_EQ(events, kEvErr);
    // Writing to a peer that has gone is an error, not a signal that ends the host program.
    EXPECT_NE(device->Write("x", 1, &written), 0u);
}

}  // namespace
}  // namespace orn::platform
