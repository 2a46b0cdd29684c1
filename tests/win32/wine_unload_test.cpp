// An application that unloads the DLL without ornClose, and one that exits with the link open:
// neither may hang or crash. Needs the simulator as wine_session_test does (skipped without).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>

namespace {

using InitFn = int(__cdecl*)(const char*, const char*, int);
using PingFn = int(__cdecl*)();

TEST(WineUnloadTest, FreeLibraryWithTheLinkOpenLeavesTheDllLoaded) {
    const char* port = std::getenv("ORN_WINE_PORT");
    if (port == nullptr) GTEST_SKIP() << "no simulator (ORN_WINE_PORT)";
    HMODULE dll = ::LoadLibraryA("VelquoraORN.dll");
    ASSERT_NE(dll, nullptr);
    auto init = reinterpret_cast<InitFn>(reinterpret_cast<void*>(::GetProcAddress(dll, "ornInit")));
    auto ping = reinterpret_cast<PingFn>(reinterpret_cast<void*>(::GetProcAddress(dll, "ornPing")));
    ASSERT_NE(init, nullptr);
    ASSERT_NE(ping, nullptr);
    ASSERT_EQ(init(port, nullptr, 0), 0);
    // The library's threads hold the DLL: it stays mapped and working.
    ASSERT_TRUE(::FreeLibrary(dll));
    EXPECT_EQ(::GetModuleHandleA("VelquoraORN.dll"), dll);
    EXPECT_EQ(ping(), 0);
    // The process now exits with the link open (the script bounds how long that takes).
}

}  // namespace
