// The shared library as an application loads it: API names only, including the decorated one.
#include <dlfcn.h>
#include <gtest/gtest.h>

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

}  // namespace
