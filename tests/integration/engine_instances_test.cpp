// Many engines, one after the other, in one process: each runs on a clock the test moves and on
// a transport in memory whose far end answers like a terminal, and takes its threads from a
// start hook that counts them (and can refuse them). Registered as one ctest run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/generic_handler.h"
#include "link/frame.h"
#include "test_support.h"
#include "velquoraorn.h"

namespace {

using orn::CCommandData;
using orn::test::WaitUntil;
namespace platform = orn::platform;

constexpr int kDeadline = 10000;

// The link in memory. Its far end acknowledges every frame the host sends (which also completes
// the enquiry handshake) and answers "57." with status 0 and key 'A' while `answer` is set; its
// chunks reach the host on a delivery thread of its own, in order.
class MemoryLink final : public orn::ITransport {
  public:
    explicit MemoryLink(orn::IChunkSink* sink) : sink_(sink), thread_([this] { Deliver(); }) {}
    ~MemoryLink() override { CloseTransport(); }

    std::atomic<bool> answer{true};
    void Enquire() { Push({orn::kENQ}); }

    platform::Status WriteFrame(const uint8_t* data, uint32_t length, uint32_t) override {
        std::lock_guard<std::mutex> hold(writeMutex_);
        for (uint32_t i = 0; i < length; ++i) {
            if (data[i] == orn::kSTX) frame_.clear();
            frame_.push_back(data[i]);
            if (frame_.size() < 2 || frame_[frame_.size() - 2] != orn::kETX) continue;
            Push({orn::kACK});
            if (answer && frame_.size() > 4 &&
                std::string(frame_.begin() + 1, frame_.begin() + 4) == "57.")
                Push(orn::BuildFrame(orn::kSTX, "57.", std::string("0A"), orn::kETX));
            frame_.clear();
        }
        return 0;
    }
    void CloseTransport() override {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (closed_) return;
            closed_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    bool IsOpen() const override { return !closed_; }
    int DataWidth() const override { return 7; }
    uint32_t ListenerThreadId() const override { return listener_; }
    bool DeviceGone() override { return false; }

  private:
    void Push(std::vector<uint8_t> chunk) {
        std::lock_guard<std::mutex> hold(mutex_);
        chunks_.push_back(std::move(chunk));
        wake_.notify_all();
    }
    void Deliver() {
        listener_ = platform::CurrentThreadId();
        std::unique_lock<std::mutex> hold(mutex_);
        for (;;) {
            wake_.wait(hold, [this] { return closed_ || !chunks_.empty(); });
            if (closed_) return;
            std::vector<uint8_t> chunk = std::move(chunks_.front());
            chunks_.pop_front();
            hold.unlock();
            sink_->Receive(chunk.data(), static_cast<uint32_t>(chunk.size()));
            hold.lock();
        }
    }

    orn::IChunkSink* sink_;
    std::mutex writeMutex_;
    std::vector<uint8_t> frame_;  // the host's frame coming in
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::vector<uint8_t>> chunks_;
    std::atomic<bool> closed_{false};
    std::atomic<uint32_t> listener_{0};
    std::thread thread_;  // last: started once the rest is ready
};

orn::test::Recorder<int> g_fkey;
void OnFkey(int status, char key) {
    g_fkey.Add(status == 0 && key != 'A' ? -1000 : status);
}

// A Req record as the FKEY request functions build it.
CCommandData* MakeReq() {
    auto* record = new CCommandData;
    record->SetName("ornFkeyReq");
    record->SetRequestId("57.");
    record->SetResponseId("57.");
    record->SetGroup(orn::kGroupDisplay);
    record->SetCancelType(orn::kCancel50);
    record->SetCallback(orn::kCallbackFkey, OnFkey);
    return record;
}

// What one engine ran on: its clock, the threads it started, and its transport.
struct Bench {
    std::atomic<uint32_t> now{0xFFFFF000u};  // the tick counter wraps during the run
    std::atomic<int> started{0};
    std::atomic<bool> refuse{false};
    std::weak_ptr<MemoryLink> link;

    orn::EngineServices Services() {
        orn::EngineServices services;
        services.clock = [this] { return now.load(); };
        services.startThread = [this](platform::Thread& thread,
                                      std::function<uint32_t()> body) -> platform::Status {
            if (refuse) return platform::Status(platform::kErrAccessDenied, 11, "pthread_create");
            ++started;
            return thread.Start(std::move(body));
        };
        services.openTransport = [this](const orn::TransportRequest& request,
                                        std::shared_ptr<orn::ITransport>& out) -> platform::Status {
            auto memory = std::make_shared<MemoryLink>(request.sink);
            link = memory;
            out = memory;
            return 0;
        };
        return services;
    }
};

int32_t Req(orn::CGenericHandler& engine) {
    CCommandData* record = MakeReq();
    const int32_t result = engine.SendAsync(record);
    if (result != 0) engine.DoneCommand(record);
    return result;
}

// Each instance: open over the link, the handshake, one answered request and one whose answer
// never comes, timed out by moving the clock; every third instance first refuses its threads,
// so its open fails, says why in the log and leaves nothing behind. After each close no thread of
// it runs and its link is gone.
TEST(EngineInstances, ManyEnginesInOneProcess) {
    constexpr int kInstances = 50;
    orn::CGenericHandler* const outer = &orn::Engine();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kInstances; ++i) {
        SCOPED_TRACE(i);
        Bench bench;
        g_fkey.Clear();
        {
            orn::ScopedEngine scoped(bench.Services());
            orn::CGenericHandler& engine = scoped.engine();
            ASSERT_EQ(&orn::Engine(), &engine);
            if (i % 3 == 2) {
                bench.refuse = true;
                orn::test::TempDir dir;
                EXPECT_EQ(ornInit("COM7", dir.File("orn.log").c_str(),
                                  ORN_LINK_MONITOR_OFF | ORN_LOGGER_SEVERE),
                          ORN_ERR_COMM_PORT_NOT_OPEN);
                EXPECT_NE(orn::test::ReadTextFile(dir.File("orn.log.0"))
                              .find("Could not create QueueThread (error 5): pthread_create: "),
                          std::string::npos);
                EXPECT_EQ(bench.started.load(), 0);
                EXPECT_TRUE(bench.link.expired());
                EXPECT_EQ(ornPing(), ORN_ERR_COMM_PORT_NOT_OPEN);
                EXPECT_EQ(scoped.Close(), 0);
                continue;
            }
            engine.SetLinkMonitoring(false);
            ASSERT_EQ(engine.StartThreads(), 0u);
            ASSERT_EQ(engine.OpenSerialPort("COM7", 2048, 2048), 0u);
            std::shared_ptr<MemoryLink> link = bench.link.lock();
            ASSERT_TRUE(link);
            link->Enquire();
            ASSERT_TRUE(WaitUntil([] { return ornPing() == 0; }, kDeadline));

            ASSERT_EQ(Req(engine), 0);
            ASSERT_TRUE(g_fkey.WaitFor(1, kDeadline));
            link->answer = false;
            ASSERT_EQ(Req(engine), 0);
            const auto sent = std::chrono::steady_clock::now();
            bench.now += 60000;
            engine.ClockAdvanced();
            ASSERT_TRUE(g_fkey.WaitFor(2, kDeadline));
            EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(5));
            EXPECT_EQ(g_fkey.Items(), (std::vector<int>{0, ORN_ERR_API_TIMEOUT}));
            EXPECT_GE(bench.started.load(), 4);  // queue, monitor, notifier, callbacks
            link.reset();
            EXPECT_EQ(scoped.Close(), 0) << "threads outlived their engine";
        }
        EXPECT_TRUE(bench.link.expired());
        EXPECT_EQ(&orn::Engine(), outer);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d engines in %.2f s: %.1f instances per second\n", kInstances, seconds,
                kInstances / seconds);
}

}  // namespace
