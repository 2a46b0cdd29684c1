// The shared library as an application loads it: API names only, including the decorated one,
// and unloading it while the link is open.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>

#include "platform/platform.h"
#include "sim_session.h"
#include "test_support.h"

namespace {

TEST(Exports, DecoratedReOpenPortAndOnlyApiSymbolsAreVisible) {
    void* lib = dlopen(ORN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();

    auto decorated = reinterpret_cast<int (*)()>(dlsym(lib, "?ornReOpenPort@@YAHXZ"));
    auto plain = reinterpret_cast<int (*)()>(dlsym(lib, "ornReOpenPort"));
    ASSERT_NE(decorated, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(decorated(), 1);  // nothing open
    EXPECT_EQ(plain(), 1);

    auto purify = reinterpret_cast<int (*)()>(dlsym(lib, "PurifyIsRunning"));
    ASSERT_NE(purify, nullptr);
    EXPECT_EQ(purify(), 0);
    auto version = reinterpret_cast<unsigned (*)()>(dlsym(lib, "ornGetVersionDWORD"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version(), 0x00010017u);

    // The link-time stand-in of the decorated name and the internals stay hidden.
    EXPECT_EQ(dlsym(lib, "ornReOpenPort_tpyhunl"), nullptr);
    EXPECT_EQ(dlsym(lib, "_ZN3orn6EngineEv"), nullptr);
    EXPECT_EQ(dlsym(lib, "_ZN3orn7CLogger3LogEiPKcz"), nullptr);
    dlclose(lib);
}

std::atomic<int> g_lastState{99};
void OnState(int state) {
    // A slow callback: the unload must wait for it, not return into unmapped code.
    if (state == -1) orn::platform::SleepMs(50);
    g_lastState = state;
}

TEST(Exports, UnloadWithTheLinkOpenClosesItAndLeavesNoThread) {
    orn::test::SimSession simulator;  // the terminal on COM7; the loaded copy opens it
    const size_t threads = orn::test::ThreadCount();
    void* lib = dlopen(ORN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto init = reinterpret_cast<int (*)(const char*, const char*, int)>(dlsym(lib, "ornInit"));
    auto setCallback =
        reinterpret_cast<void (*)(void (*)(int))>(dlsym(lib, "ornSetConnectionStateCallback"));
    ASSERT_TRUE(init && setCallback);
    ASSERT_EQ(init("COM7", nullptr, 0), 0);
    setCallback(OnState);
    dlclose(lib);
    EXPECT_EQ(g_lastState.load(), -1);  // the close was reported before the code went away
    EXPECT_EQ(orn::test::ThreadCount(), threads);
    EXPECT_TRUE(orn::test::WaitUntil([&] { return !simulator.sim().IsHostOpen(); }, 10000));
}

}  // namespace
