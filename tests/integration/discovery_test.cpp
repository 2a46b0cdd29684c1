// The discovery exports over a fake sysfs tree, and ornSetPinpadCommunicationPort.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "answers.h"
#include "fake_tree.h"
#include "sim_session.h"
#include "velquoraorn.h"

namespace {

using orn::sim::FakeDeviceTree;
using orn::test::SimSession;

class Discovery : public ::testing::Test {
  protected:
    orn::test::FakeDevices devices_;
    FakeDeviceTree& tree_ = devices_.tree;
};

TEST_F(Discovery, PortNamesFillTheBufferByTheSeparatorRule) {
    for (const char* tty : {"ttyS3", "ttyS0", "ttyS2"}) ASSERT_TRUE(tree_.AddSerialPort(tty));
    struct Row {
        int size;
        const char* text;
    };
    const Row rows[] = {
        {64, "COM1 COM3 COM4"}, {11, "COM1 COM3"}, {10, "COM1  "}, {6, "COM1"}, {5, "  "}, {1, ""}};
    for (const Row& row : rows) {
        char buffer[64];
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(ornFindComPorts(buffer, row.size), 3) << row.size;
        EXPECT_STREQ(buffer, row.text) << row.size;
    }
    char buffer[4];
    EXPECT_EQ(ornFindComPorts(buffer, 0), -1);
    EXPECT_EQ(ornFindComPorts(nullptr, 10), -1);
}

TEST_F(Discovery, RecordsCarryKindAndTheMakersProductId) {
    ASSERT_TRUE(tree_.AddSerialPort("ttyS0"));
    ASSERT_TRUE(tree_.AddSerialPort("ttyUSB0", "0e7d", "00a2", "Velquora Terminal"));
    ASSERT_TRUE(tree_.AddSerialPort("ttyUSB1", "0403", "6001"));
    ornComPortInfo records[4];
    std::memset(records, 0x55, sizeof records);
    ASSERT_EQ(ornFindComPortsEx(records, 4), 3);
    EXPECT_STREQ(records[0].portName, "COM1");
    EXPECT_EQ(records[0].kind, 0);
    EXPECT_STREQ(records[1].portName, "COM33");
    EXPECT_EQ(records[1].kind, 2);
    EXPECT_STREQ(records[1].productId, "00A2");
    EXPECT_EQ(records[2].kind, 1);
    EXPECT_EQ(records[2].productId[0], 0x55);  // not written for other vendors
    for (int i = 0; i < 3; ++i) EXPECT_EQ(records[i].available, 1);
    EXPECT_EQ(records[3].kind, 0x55555555);

    std::memset(records, 0x55, sizeof records);
    EXPECT_EQ(ornFindComPortsEx(records, 0), 3);
    EXPECT_EQ(records[0].kind, 0x55555555);
    EXPECT_EQ(ornFindComPortsEx(records, 1), 3);
    EXPECT_EQ(records[1].kind, 0x55555555);
    EXPECT_EQ(ornFindComPortsEx(nullptr, 0), -1);
    EXPECT_EQ(ornFindComPortsEx(records, -1), -1);

    struct Row {
        const char* name;
        int usb, maker;
    };
    const Row rows[] = {{"com33", 1, 1}, {"COM34", 1, 0}, {"COM1", 0, 0}, {"COM9", 0, 0}};
    for (const Row& row : rows) {
        int32_t usb = -1, maker = -1;
        EXPECT_EQ(ornIsUsbComPort(row.name, &usb), 0);
        EXPECT_EQ(ornIsVelquoraUsbComPort(row.name, &maker), 0);
        EXPECT_EQ(usb, row.usb) << row.name;
        EXPECT_EQ(maker, row.maker) << row.name;
    }
    int32_t flag = 0;
    EXPECT_EQ(ornIsUsbComPort(nullptr, &flag), ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
    EXPECT_EQ(ornIsVelquoraUsbComPort("COM1", nullptr), ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
}

TEST_F(Discovery, HidRecordsAndListingFailures) {
    const std::string descriptor = orn::sim::LinkReportDescriptor(32, 32);
    ASSERT_FALSE(tree_.AddHidDevice(2, 0x0E7D, 0x00A2, descriptor).empty());
    ASSERT_FALSE(tree_.AddHidDevice(0, 0x0E7D, 0x1F00, descriptor).empty());
    ornUsbHidDeviceInfo records[3];
    std::memset(records, 0x55, sizeof records);
    ASSERT_EQ(ornFindUsbHidDevice(records, 3), 2);
    EXPECT_EQ(std::string(records[0].devicePath), tree_.dev() + "/hidraw0");
    EXPECT_STREQ(records[0].productId, "1F00");
    EXPECT_STREQ(records[1].productId, "00A2");
    EXPECT_EQ(ornFindUsbHidDevice(records, 1), 1);
    EXPECT_EQ(ornFindUsbHidDevice(records, 0), 0);
    EXPECT_EQ(ornFindUsbHidDevice(nullptr, 3), -1);

    // The classes cannot be read: every count is -1, never a silent "none".
    for (const char* cls : {"/class/tty", "/class/hidraw"}) {
        const std::string path = tree_.sysfs() + cls;
        ASSERT_EQ(std::system(("rm -rf '" + path + "'").c_str()), 0);
        std::ofstream(path) << "x";
    }
    char buffer[32] = "x";
    EXPECT_EQ(ornFindComPorts(buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(ornFindComPortsEx(reinterpret_cast<ornComPortInfo*>(records), 1), -1);
    EXPECT_EQ(ornFindUsbHidDevice(records, 3), -1);
    int32_t flag = 1;
    EXPECT_EQ(ornIsUsbComPort("COM1", &flag), -1);
    EXPECT_EQ(flag, 0);
}

// "AUTO" with the ports linked in ORN_PORT_DIR and an empty fake sysfs unless a test adds to it.
class AutoSelect : public ::testing::Test {
  protected:
    void TearDown() override { ornClose(); }
    // Plays the terminal on `port` of the port directory.
    std::unique_ptr<orn::sim::TerminalSimulator> Terminal(const char* port) {
        orn::sim::Options options;
        options.answers = orn::sim::InstallDefaultAnswers;
        options.linkDir = ports_.path();
        options.portName = port;
        auto sim = std::make_unique<orn::sim::TerminalSimulator>(options);
        EXPECT_TRUE(sim->ok()) << sim->error();
        return sim;
    }

    orn::test::FakeDevices devices_;
    orn::test::ComPortDir ports_;  // after devices_: ORN_PORT_DIR is set
};

TEST_F(AutoSelect, OpensTheMakersUsbPortByItsNameAsOrnInitDoes) {
    // sysfs names ttyUSB0 (COM33) the maker's port; the name COM33 opens the port directory's
    // entry, and so must AUTO.
    ASSERT_TRUE(devices_.tree.AddSerialPort("ttyUSB0", "0e7d", "00a2", "Velquora Terminal"));
    auto terminal = Terminal("COM33");
    ASSERT_EQ(ornInit("AUTO", nullptr, ORN_LOGGER_OFF), 0);
    EXPECT_STREQ(ornGetComPort(), "COM33");
    EXPECT_EQ(terminal->Snapshot().hostOpens, 1);
}

TEST_F(AutoSelect, LogsEveryCandidateAndWhyItWasPassedOver) {
    orn::test::TempDir dir;
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(ports_.Link("COM3", fifo));  // opens, but is no serial port
    orn::test::PtyPair held;
    ASSERT_TRUE(ports_.Link("COM4", held.slavePath()));
    ASSERT_TRUE(orn::test::HoldPortExclusively(held.slavePath()));
    auto silent = Terminal("COM5");
    silent->SetSilent(true);
    auto terminal = Terminal("COM7");

    const std::string log = dir.File("auto.log");
    ASSERT_EQ(ornInit("AUTO", log.c_str(), ORN_LOGGER_INFO), 0);
    EXPECT_STREQ(ornGetComPort(), "COM7");
    ornClose();
    const std::string text = orn::test::ReadTextFile(log + ".0");
    const char* const lines[] = {
        "AUTO: trying COM3", "AUTO: COM3 passed over: open failed (error 2)",
        "AUTO: trying COM4", "AUTO: COM4 passed over: busy",
        "AUTO: trying COM5", "AUTO: COM5 passed over: no answer",
        "AUTO: trying COM7", "AUTO: COM7 answered",
    };
    size_t at = 0;
    for (const char* line : lines) {
        at = text.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\n" << text;
    }
}

TEST(PinpadCommunicationPort, PayloadsAndTheRefusedInterface) {
    SimSession session;
    ASSERT_EQ(session.Open(), 0);
    session.Answer("6P.", "0");
    for (int kind = 0; kind <= 3; ++kind) EXPECT_EQ(ornSetPinpadCommunicationPort(kind), 0);
    EXPECT_EQ(session.Payloads("6P."),
              (std::vector<std::string>{"COM1,9600,7,E,1", "COM1,9600,7,E,1,0", "USB7420", "USB"}));
    session.sim().ClearRecord();
    EXPECT_EQ(ornSetPinpadCommunicationPort(4), ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
    EXPECT_EQ(ornSetPinpadCommunicationPort(-1), ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
    EXPECT_TRUE(session.sim().Snapshot().rx.empty());
}

}  // namespace
