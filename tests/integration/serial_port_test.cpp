// Serial port classes and ornSetDTR_CheckDSR over real ptys.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "chunk_recorder.h"
#include "link/com_port.h"
#include "log/logger.h"
#include "sim_session.h"
#include "test_support.h"
#include "velquoraorn.h"

namespace {

using orn::test::ChunkRecorder;
using orn::test::ComPortDir;
using orn::test::PtyPair;
using orn::test::TempDir;
using orn::test::WaitUntil;

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        ASSERT_TRUE(ports.Link("COM7", pty.slavePath()));
        ASSERT_EQ(log.OpenLogFile(dir.File("serial.log").c_str(), 4), 1);
    }
    std::string LogText() {
        log.Shutdown();
        return orn::test::ReadTextFile(dir.File("serial.log.0"));
    }

    TempDir dir;
    ComPortDir ports;
    PtyPair pty;
    orn::CLogger log;
    ChunkRecorder sink;
};

TEST_F(SerialPortTest, LoneAckIsLoggedAtDetailOtherChunksAtFine) {
    orn::CComPort port(log, &sink);
    ASSERT_EQ(port.Open("COM7", 0, 0), 0u);
    ASSERT_TRUE(pty.Write(std::vector<uint8_t>{0x06}));
    ASSERT_TRUE(WaitUntil([&] { return sink.Bytes().size() == 1; }, 5000));
    ASSERT_TRUE(pty.Write(std::vector<uint8_t>{0x02, 0x41}));
    ASSERT_TRUE(WaitUntil([&] { return sink.Bytes().size() == 3; }, 5000));
    port.Close();
    std::string text = LogText();
    EXPECT_NE(text.find("(Detail)  Serial Recv(1): 06 \n"), std::string::npos) << text;
    // Printable bytes may belong to a secret: hidden unless sensitive data logging is on.
    EXPECT_NE(text.find("(Fine)  Serial Recv(2): 02 ** \n"), std::string::npos) << text;
}

TEST_F(SerialPortTest, CloseEndsAWaitingListenerWithItsLines) {
    orn::CComPort port(log, &sink);
    ASSERT_EQ(port.Open("COM7", 2048, 2048), 0u);
    ASSERT_TRUE(port.ListenerRunning());
    uint32_t start = orn::platform::TickCount();
    port.Close();
    EXPECT_LT(orn::platform::TickCount() - start, 5000u);
    EXPECT_FALSE(port.ListenerRunning());
    EXPECT_FALSE(port.IsOpen());
    std::string text = LogText();
    EXPECT_NE(text.find("(Info)  Serial Listener Thread with ID="), std::string::npos);
    EXPECT_NE(text.find("(Info)  StartListener signaled startup: ID="), std::string::npos);
    size_t properly = text.find("(Info)  Serial Listener Thread shutdown properly");
    size_t stopped = text.find("(Info)  Serial Listener Thread Stopped");
    EXPECT_NE(properly, std::string::npos) << text;
    EXPECT_NE(stopped, std::string::npos) << text;
    EXPECT_LT(properly, stopped);
}

// A receive path that hangs until the test lets it go.
class StuckSink : public orn::IChunkSink {
  public:
    void Receive(const uint8_t*, uint32_t) override {
        entered = true;
        WaitUntil([this] { return release.load(); }, 30000);
    }
    std::atomic<bool> entered{false}, release{false};
};

TEST_F(SerialPortTest, StopGivesUpOnAListenerStuckInTheReceivePath) {
    StuckSink stuck;
    auto port = std::make_unique<orn::CComPort>(log, &stuck);
    ASSERT_EQ(port->Open("COM7", 2048, 2048), 0u);
    ASSERT_TRUE(pty.Write("x"));
    ASSERT_TRUE(WaitUntil([&] { return stuck.entered.load(); }, 10000));
    auto stop = std::async(std::launch::async, [&] { return port->StopListener(200); });
    const bool bounded = stop.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    stuck.release = true;
    EXPECT_TRUE(bounded);
    stop.get();
    // The port may go once the given-up thread has left it.
    EXPECT_TRUE(WaitUntil([&] { return port->ListenerIdle(); }, 10000));
    port.reset();
    EXPECT_NE(LogText().find("(Severe)  Serial Listener Thread shutdown improperly"),
              std::string::npos);
}

// A COM port driver as Microsoft documents it (IOCTL_SERIAL_WAIT_ON_MASK, ClearCommError): a
// character event only for bytes that arrive while a wait is armed, at most one per wait however
// many come, and nothing for bytes that were waiting before; a line error comes with its own
// event bit. A vanished device ends every wait as aborted and fails ClearCommError.
class DocumentedCommDriver : public orn::platform::SerialDevice {
  public:
    // Bytes (and line-error bits) arriving from the line.
    void Arrive(const std::vector<uint8_t>& bytes, uint32_t lineErrors = 0) {
        std::lock_guard<std::mutex> hold(lock_);
        input_.insert(input_.end(), bytes.begin(), bytes.end());
        errors_ |= lineErrors;
        if (armed_) {
            uint32_t happened = lineErrors != 0 ? uint32_t{orn::platform::kEvErr} : 0u;
            if (!bytes.empty()) happened |= orn::platform::kEvRxChar;
            fired_ |= mask_ & happened;
        }
        changed_.notify_all();
    }
    void Vanish() {
        std::lock_guard<std::mutex> hold(lock_);
        vanished_ = true;
        changed_.notify_all();
    }
    bool Armed() { return Locked(armed_); }
    int Waits() { return Locked(waits_); }

    orn::platform::Status WaitEvent(uint32_t mask, uint32_t* events) override {
        std::unique_lock<std::mutex> hold(lock_);
        ++waits_;
        *events = 0;
        if (vanished_) return orn::platform::kErrOperationAborted;
        mask_ = mask;
        armed_ = true;
        fired_ = 0;
        changed_.wait(hold, [this] { return fired_ != 0 || cancelled_ || vanished_; });
        armed_ = false;
        cancelled_ = false;
        if (vanished_) return orn::platform::kErrOperationAborted;
        *events = fired_;
        return 0;
    }
    void CancelWait() override {
        std::lock_guard<std::mutex> hold(lock_);
        cancelled_ = true;
        changed_.notify_all();
    }
    orn::platform::Status ClearError(uint32_t* errors, uint32_t* inQueue) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (vanished_) return orn::platform::kErrDeviceNotConnected;
        *errors = errors_;
        errors_ = 0;
        if (inQueue) *inQueue = static_cast<uint32_t>(input_.size());
        return 0;
    }
    orn::platform::Status Read(void* buffer, size_t length, size_t* got) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (vanished_) return orn::platform::kErrDeviceNotConnected;
        *got = std::min(length, input_.size());
        std::copy_n(input_.begin(), *got, static_cast<uint8_t*>(buffer));
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(*got));
        return 0;
    }
    // The rest of the device is not part of the event path.
    orn::platform::Status SetupQueues(uint32_t, uint32_t) override { return 0; }
    orn::platform::Status Setup(const orn::platform::LineSettings&) override { return 0; }
    orn::platform::Status GetSettings(orn::platform::LineSettings*) override { return 0; }
    orn::platform::Status SetupHandshaking(orn::platform::Handshake) override { return 0; }
    orn::platform::Status Write(const void*, size_t length, size_t* written) override {
        *written = length;
        return 0;
    }
    orn::platform::Status SetWriteTimeout(uint32_t) override { return 0; }
    orn::platform::Status Purge() override { return 0; }
    orn::platform::Status SendBreak(uint32_t) override { return 0; }
    orn::platform::Status SetDtr(bool) override { return 0; }
    orn::platform::Status GetModemStatus(uint32_t* status) override { return *status = 0; }
    bool IsOpen() const override { return true; }
    void Close() override {}

  private:
    template <typename T>
    T Locked(const T& value) {
        std::lock_guard<std::mutex> hold(lock_);
        return value;
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<uint8_t> input_;
    uint32_t errors_ = 0, mask_ = 0, fired_ = 0;
    bool armed_ = false, cancelled_ = false, vanished_ = false;
    int waits_ = 0;
};

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + 1);
    return bytes;
}

// Every byte the driver holds reaches the receiver, whether or not it raised an event.
TEST_F(SerialPortTest, ListenerReadsWhatTheDriverHoldsNotOneChunkPerEvent) {
    constexpr uint32_t kFrameError = 0x0008;  // CE_FRAME
    struct Case {
        const char* what;
        size_t before;  // bytes waiting before the listener starts
        size_t during;  // bytes arriving while its wait is armed
        uint32_t lineErrors;
    } cases[] = {
        {"a burst three times the read size", 0, 3 * orn::CSerialListener::kReadChunk, 0},
        {"bytes waiting before the first wait", 5, 0, 0},
        {"an error bit together with data", 0, 8, kFrameError},
    };
    for (const Case& c : cases) {
        auto driver = std::make_shared<DocumentedCommDriver>();
        ChunkRecorder received;
        const std::vector<uint8_t> bytes = Pattern(c.before + c.during);
        driver->Arrive({bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(c.before)});
        orn::CComPort port(log, &received);
        ASSERT_EQ(port.Attach(driver), 0u) << c.what;
        if (c.during > 0) {
            ASSERT_TRUE(WaitUntil([&] { return driver->Armed(); }, 5000)) << c.what;
            driver->Arrive({bytes.begin() + static_cast<std::ptrdiff_t>(c.before), bytes.end()},
                           c.lineErrors);
        }
        EXPECT_TRUE(WaitUntil([&] { return received.Bytes().size() >= bytes.size(); }, 5000))
            << c.what;
        EXPECT_EQ(received.Bytes(), bytes) << c.what;
        for (const auto& chunk : received.Items())
            EXPECT_LE(chunk.size(), orn::CSerialListener::kReadChunk) << c.what;
        port.Close();
    }
}

// A device that vanished ends every wait as aborted and cannot report its state: that is the
// lost link, at once, not a listener that keeps asking.
TEST_F(SerialPortTest, VanishedDeviceIsALostLinkNotABusyLoop) {
    auto driver = std::make_shared<DocumentedCommDriver>();
    orn::CComPort port(log, &sink);
    ASSERT_EQ(port.Attach(driver), 0u);
    ASSERT_TRUE(WaitUntil([&] { return driver->Armed(); }, 5000));
    driver->Vanish();
    EXPECT_TRUE(WaitUntil([&] { return sink.goneAfter >= 0; }, 5000));
    port.Close();
    EXPECT_LE(driver->Waits(), 2);
}

TEST_F(SerialPortTest, OperationsWithoutDeviceReportNoHandleAndOpenTwiceIsRefused) {
    orn::CComPort port(log, &sink);
    EXPECT_EQ(port.Write("x"), 6u);
    EXPECT_EQ(port.Setup(9600, 7, orn::platform::Parity::Even, orn::platform::StopBits::One), 6u);
    ASSERT_EQ(port.Open("COM7", 0, 0), 0u);
    EXPECT_EQ(port.CSerialListener::Open("COM7", 0, 0, false), 1247u);
    EXPECT_EQ(port.SetupReadTimeouts(7), 0x80070057u);
}

// Nodes that open but are no terminal device. A FIFO read its own cancel frame back as the
// terminal's answer, /dev/null swallowed everything: none is a serial port, none is written to.
TEST(NotATerminalDevice, IsNoSerialPortAndIsNeverWrittenTo) {
    TempDir dir;
    ComPortDir ports;
    const std::string fifo = dir.File("fifo"), file = dir.File("file");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    { std::ofstream created(file); }
    for (const std::string& target : {fifo, std::string("/dev/null"), file}) {
        SCOPED_TRACE(target);
        ASSERT_TRUE(ports.Link("COM3", target));
        EXPECT_EQ(ornInit("COM3", nullptr, ORN_LOGGER_OFF), ORN_ERR_COM_PORT_NOT_EXIST);
        ornClose();
        EXPECT_EQ(ornOpen("COM3"), ORN_ERR_COM_PORT_NOT_EXIST);
        ornClose();
        EXPECT_EQ(ornSetDTR_CheckDSR("COM3"), ORN_ERR_COM_PORT_NOT_EXIST);
    }
    EXPECT_EQ(orn::test::ReadTextFile(file), "");
}

TEST(SetDtrCheckDsr, NameRules) {
    ComPortDir ports;
    EXPECT_EQ(ornSetDTR_CheckDSR(nullptr), ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_EQ(ornSetDTR_CheckDSR("COM1234"), ORN_ERR_COM_PORT_NAME_TOO_LONG);
    for (const char* bad : {"COM0", "COM256", "COMX", "LPT1", "COM", "COM1A", "COM-1", ""})
        EXPECT_EQ(ornSetDTR_CheckDSR(bad), ORN_ERR_INVALID_PARAMETER_IN_API_CALL) << bad;
    EXPECT_EQ(ornSetDTR_CheckDSR("COM255"), ORN_ERR_COM_PORT_NOT_EXIST);
    EXPECT_EQ(ornSetDTR_CheckDSR("com9"), ORN_ERR_COM_PORT_NOT_EXIST);
}

TEST(SetDtrCheckDsr, PortWithoutModemLinesReportsUnreadableAndBusyPortIsBusy) {
    ComPortDir ports;
    PtyPair pty;
    ASSERT_TRUE(ports.Link("COM2", pty.slavePath()));
    // A pty has no modem lines: the status cannot be read.
    EXPECT_EQ(ornSetDTR_CheckDSR("COM2"), ORN_ERR_COMM_PORT_NOT_OPEN);
    ASSERT_TRUE(orn::test::HoldPortExclusively(pty.slavePath()));
    EXPECT_EQ(ornSetDTR_CheckDSR("COM2"), ORN_ERR_COM_PORT_BUSY);
}

TEST(SetDtrCheckDsr, CloseDuringACheckOnTheOpenPortWaitsForIt) {
    orn::test::SimSession session;
    ASSERT_EQ(session.Open(), 0);
    std::atomic<bool> stop{false};
    orn::test::Recorder<int> results;
    auto checker = std::async(std::launch::async, [&] {
        while (!stop) results.Add(ornSetDTR_CheckDSR(nullptr));
    });
    ASSERT_TRUE(results.WaitFor(1));
    session.Close();  // while a check sleeps between raising DTR and reading DSR
    stop = true;
    checker.get();
    for (int result : results.Items()) EXPECT_TRUE(result == 0 || result == -1) << result;
}

}  // namespace
