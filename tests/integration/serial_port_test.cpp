// Serial port classes and ornSetDTR_CheckDSR over real ptys.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "link/com_port.h"
#include "log/logger.h"
#include "sim_session.h"
#include "test_support.h"
#include "velquoraorn.h"

namespace {

using orn::test::ComPortDir;
using orn::test::PtyPair;
using orn::test::TempDir;
using orn::test::WaitUntil;

// Collects what the listener hands on, chunk by chunk.
class ChunkRecorder : public orn::IChunkSink {
  public:
    void Receive(const uint8_t* data, uint32_t count) override {
        std::lock_guard<std::mutex> hold(lock_);
        chunks_.emplace_back(data, data + count);
    }
    std::vector<std::vector<uint8_t>> Chunks() {
        std::lock_guard<std::mutex> hold(lock_);
        return chunks_;
    }
    std::vector<uint8_t> Bytes() {
        std::vector<uint8_t> all;
        for (auto& chunk : Chunks()) all.insert(all.end(), chunk.begin(), chunk.end());
        return all;
    }

  private:
    std::mutex lock_;
    std::vector<std::vector<uint8_t>> chunks_;
};

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

TEST_F(SerialPortTest, RawLinePassesEveryByteValueBothWays) {
    orn::CComPort port(log, &sink);
    ASSERT_EQ(port.Open("COM7", 2048, 2048), 0u);
    port.Setup(9600, 7, orn::platform::Parity::Even,
               orn::platform::StopBits::One);  // a pty refuses
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);

    ASSERT_TRUE(pty.Write(all));
    ASSERT_TRUE(WaitUntil([&] { return sink.Bytes().size() >= all.size(); }, 5000));
    EXPECT_EQ(sink.Bytes(), all);  // 0x0D, 0x11, 0x13, 0x7F and 0x00 arrive untouched

    uint32_t written = 0;
    ASSERT_EQ(port.Write(all.data(), static_cast<uint32_t>(all.size()), &written), 0u);
    EXPECT_EQ(written, all.size());
    EXPECT_EQ(pty.Read(all.size()), all);
}

TEST_F(SerialPortTest, BurstIsReadInChunksOfAtMost1024) {
    orn::CComPort port(log, &sink);
    ASSERT_TRUE(pty.HoldSlave());
    // Open without the listener, let the whole burst reach the port, then start listening.
    ASSERT_EQ(port.CSerialListener::Open("COM7", 2048, 2048, false), 0u);
    std::vector<uint8_t> burst(1500);
    for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(pty.Write(burst));
    ASSERT_TRUE(WaitUntil([&] { return pty.SlaveInputPending() == 1500; }, 5000));
    ASSERT_EQ(port.StartListener(), 0u);
    ASSERT_TRUE(WaitUntil([&] { return sink.Bytes().size() >= burst.size(); }, 5000));
    auto chunks = sink.Chunks();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].size(), 1024u);
    EXPECT_EQ(chunks[1].size(), 476u);
    EXPECT_EQ(sink.Bytes(), burst);
    port.Close();
    std::string text = LogText();
    EXPECT_NE(text.find("(Fine)  Serial Recv(1024): 00 07 0E 15 "), std::string::npos);
}

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
    std::atomic<int> calls{0};
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<int> results;
    auto checker = std::async(std::launch::async, [&] {
        while (!stop) {
            const int result = ornSetDTR_CheckDSR(nullptr);
            std::lock_guard<std::mutex> hold(lock);
            results.push_back(result);
            ++calls;
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return calls.load() >= 1; }, 10000));
    session.Close();  // while a check sleeps between raising DTR and reading DSR
    stop = true;
    checker.get();
    for (int result : results) EXPECT_TRUE(result == 0 || result == -1) << result;
}

}  // namespace
