// Opening and closing the link many times leaves no thread and no descriptor behind.
#include <gtest/gtest.h>

#include <filesystem>

#include "sim_session.h"
#include "velquoraorn.h"

namespace {

using orn::test::SimSession;
using orn::test::TempDir;
using orn::test::WaitUntil;

TEST(Lifecycle, HundredOpenCloseCyclesLeakNoThreadOrDescriptor) {
    SimSession session;
    TempDir logs;
    std::string log = logs.File("cycle.log");
    // One cycle first, so that one-time process state (the engine, static buffers) exists.
    ASSERT_EQ(ornInit("COM7", log.c_str(), ORN_LOGGER_FINE), 0);
    ornClose();
    ASSERT_TRUE(WaitUntil([] { return orn::test::ThreadCount() > 0; }, 100));
    const size_t threads = orn::test::ThreadCount();
    const size_t descriptors = orn::test::DescriptorCount();

    for (int cycle = 0; cycle < 100; ++cycle) {
        // Alternate the full open (log file, handshake) and the minimal one. The minimal open
        // does not wait for the terminal's power-up enquiry, which would end the beep with -9:
        // the simulator skips it for those cycles.
        const bool full = cycle % 2 == 0;
        session.sim().SetPowerUp(full ? orn::sim::PowerUp::EnqAck : orn::sim::PowerUp::None);
        int result = full ? ornInit("COM7", log.c_str(), ORN_LOGGER_FINE) : ornOpen("COM7");
        ASSERT_EQ(result, 0) << "cycle " << cycle;
        ASSERT_EQ(ornBeep(1), 0) << "cycle " << cycle;
        ornClose();
        ASSERT_EQ(ornPing(), ORN_ERR_COMM_PORT_NOT_OPEN);
    }
    // Threads that report a state change may still be finishing their last call.
    EXPECT_TRUE(WaitUntil([&] { return orn::test::ThreadCount() <= threads; }, 10000))
        << orn::test::ThreadCount() << " threads, " << threads << " before";
    EXPECT_EQ(orn::test::DescriptorCount(), descriptors);
    // The log rotated through its ten files and kept going.
    EXPECT_TRUE(std::filesystem::exists(log + ".9"));
}

}  // namespace
