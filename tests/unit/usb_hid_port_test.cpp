// CUsbHidPort over a SOCK_SEQPACKET socketpair standing in for the device: report framing, the
// batching of input reports into chunks, staging reuse over a long run, and unplugging.
#include "link/usb_hid_port.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "chunk_recorder.h"
#include "test_support.h"

namespace orn {
namespace {

using orn::test::WaitUntil;

class UsbHidPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        peer_ = fds[0];
        native_ = fds[1];
    }
    void TearDown() override {
        port_.Close();
        if (peer_ >= 0) ::close(peer_);
    }
    void Attach() { ASSERT_EQ(port_.Attach(platform::HidDevice::FromNative(native_, 32, 32)), 0u); }
    // An input report carrying `data` (as the terminal fills it: identifier, count, data).
    void SendReport(const std::vector<uint8_t>& data) {
        std::vector<uint8_t> report(32, 0xEE);
        report[0] = 2;
        report[1] = static_cast<uint8_t>(data.size());
        std::copy(data.begin(), data.end(), report.begin() + 2);
        ASSERT_EQ(::send(peer_, report.data(), report.size(), 0), 32);
    }
    std::vector<uint8_t> ReceiveReport() {
        std::vector<uint8_t> report(64);
        ssize_t n = ::recv(peer_, report.data(), report.size(), MSG_DONTWAIT);
        report.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return report;
    }
    static std::vector<uint8_t> Counting(size_t n, uint8_t first = 0) {
        std::vector<uint8_t> bytes(n);
        for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
        return bytes;
    }

    CLogger log_;
    test::ChunkRecorder sink_;
    CUsbHidPort port_{log_, &sink_};
    int peer_ = -1;
    intptr_t native_ = -1;
};

TEST_F(UsbHidPortTest, FramesGoOutInReportsOfThirtyDataBytes) {
    Attach();
    struct Row {
        size_t frame;
        std::vector<size_t> counts;
    };
    const Row rows[] = {{10, {10}}, {65, {30, 30, 5}}, {30, {30}}, {1, {1}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.frame);
        const std::vector<uint8_t> frame = Counting(row.frame, 0x40);
        ASSERT_EQ(port_.WriteFrame(frame.data(), static_cast<uint32_t>(frame.size()), 5000), 0u);
        std::vector<uint8_t> carried;
        for (size_t count : row.counts) {
            const std::vector<uint8_t> report = ReceiveReport();
            ASSERT_EQ(report.size(), 32u);  // every report at the full output length
            EXPECT_EQ(report[0], 2);
            EXPECT_EQ(report[1], count);
            carried.insert(carried.end(), report.begin() + 2, report.begin() + 2 + count);
        }
        EXPECT_TRUE(ReceiveReport().empty());
        EXPECT_EQ(carried, frame);
    }
}

TEST_F(UsbHidPortTest, ReportsOfOneFrameReachTheReceiverAsOneChunk) {
    // Queued before the reader starts, so they arrive within the batching window whatever the
    // load of the machine.
    const std::vector<uint8_t> frame = Counting(72);
    SendReport({frame.begin(), frame.begin() + 30});
    SendReport({frame.begin() + 30, frame.begin() + 60});
    SendReport({frame.begin() + 60, frame.end()});
    Attach();
    ASSERT_TRUE(WaitUntil([&] { return sink_.Bytes().size() >= 72; }, 5000));
    EXPECT_EQ(sink_.Items(), (std::vector<std::vector<uint8_t>>{frame}));
}

TEST_F(UsbHidPortTest, ATriggerLongBeforeTheReportsDoesNotCutTheirBatch) {
    Attach();
    // The engine's last trigger came after the answer it awaited had gone on; then the link
    // was idle. The reports' own pace (20 ms apart) is the point here, hence the pauses.
    port_.TriggerRead();
    platform::SleepMs(500);
    const std::vector<uint8_t> frame = Counting(72);
    SendReport({frame.begin(), frame.begin() + 30});
    platform::SleepMs(20);
    SendReport({frame.begin() + 30, frame.begin() + 60});
    platform::SleepMs(20);
    SendReport({frame.begin() + 60, frame.end()});
    ASSERT_TRUE(WaitUntil([&] { return sink_.Bytes().size() >= 72; }, 5000));
    EXPECT_EQ(sink_.Items(), (std::vector<std::vector<uint8_t>>{frame}));
}

TEST_F(UsbHidPortTest, LongRunsReuseTheStagingBufferAndLoseNothing) {
    Attach();
    // Well past both 64 KB buffers, in batches the receiver takes as they come.
    std::vector<uint8_t> sent;
    for (int report = 0; report < 3000; ++report) {
        const std::vector<uint8_t> data = Counting(29, static_cast<uint8_t>(report));
        sent.insert(sent.end(), data.begin(), data.end());
        SendReport(data);
        if (report % 100 == 99) {
            ASSERT_TRUE(WaitUntil([&] { return sink_.Bytes().size() >= sent.size(); }, 5000));
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return sink_.Bytes().size() >= sent.size(); }, 5000));
    EXPECT_EQ(sink_.Bytes(), sent);
}

TEST_F(UsbHidPortTest, AWriteToADeviceThatTakesNothingEndsAtItsLimit) {
    Attach();
    const uint8_t frame[10] = {};
    uint32_t err = 0;
    for (int writes = 0; writes < 100000 && err == 0; ++writes)
        err = port_.WriteFrame(frame, sizeof frame, 100);
    EXPECT_EQ(err, platform::kErrTimeout);
    EXPECT_FALSE(port_.DeviceGone());  // stalled, not gone: the engine decides
}

TEST_F(UsbHidPortTest, UnplugIsNoticedOnTheReadSideAfterTheLastData) {
    Attach();
    SendReport({0x06});
    ASSERT_TRUE(WaitUntil([&] { return sink_.Bytes().size() == 1; }, 5000));
    SendReport({0x02, 0x35});
    ::close(peer_);
    peer_ = -1;
    ASSERT_TRUE(WaitUntil([&] { return sink_.goneAfter >= 0; }, 5000));
    EXPECT_EQ(sink_.Bytes(), (std::vector<uint8_t>{0x06, 0x02, 0x35}));
    EXPECT_EQ(sink_.goneAfter.load(), static_cast<int>(sink_.Items().size()));
    EXPECT_TRUE(port_.DeviceGone());
    const uint8_t ack = 0x06;
    EXPECT_EQ(port_.WriteFrame(&ack, 1, 1000), platform::kErrDeviceNotConnected);
    port_.Close();
    EXPECT_FALSE(port_.IsOpen());
}

}  // namespace
}  // namespace orn
