// Session calls: result-code texts, version, and the open/close rules, over real ptys.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "test_support.h"
#include "velquoraorn.h"

namespace {

using orn::test::ComPortDir;
using orn::test::PtyPair;
using orn::test::TempDir;

TEST(ErrorString, NamesCodesAndFormatsOthers) {
    // The table's two ends; the names between are the table itself.
    EXPECT_STREQ(ornGetErrorString(0), "ORN_ERR_NO_ERROR");
    EXPECT_STREQ(ornGetErrorString(-24), "ORN_ERR_COM_PORT_NAME_TOO_LONG");
    EXPECT_STREQ(ornGetErrorString(-25), "Unknown Error Code: -25");
    EXPECT_STREQ(ornGetErrorString(3), "ORN Command Specific Return Value: 3");
    EXPECT_STREQ(ornGetErrorString(-2147483647 - 1), "Unknown Error Code: -2147483648");
}

TEST(ErrorString, RingKeepsSixteenTextsThenReusesTheFirstBuffer) {
    const char* first = ornGetErrorString(1);
    const char* texts[16] = {first};
    for (int i = 1; i < 16; ++i) texts[i] = ornGetErrorString(100 + i);
    for (int i = 1; i < 16; ++i) EXPECT_NE(texts[i], first);
    EXPECT_STREQ(first, "ORN Command Specific Return Value: 1");  // still intact after 15 more
    const char* seventeenth = ornGetErrorString(-99);
    EXPECT_EQ(seventeenth, first);
    EXPECT_STREQ(first, "Unknown Error Code: -99");
}

TEST(Version, TextAndDword) {
    EXPECT_STREQ(ornGetVersion(), "1.23");
    EXPECT_EQ(ornGetVersionDWORD(), 0x00010017u);
}

TEST(Session, ClosedLibraryReportsNotOpen) {
    EXPECT_EQ(ornPing(), ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_EQ(ornCheckConnectionStatus(), ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_EQ(ornGetComPort(), nullptr);
    ornClose();  // harmless with nothing open
    EXPECT_EQ(ornReOpenPort(), 1);
}

TEST(Session, NullNamesAreRefusedWithoutBlockingLaterOpens) {
    EXPECT_EQ(ornInit(nullptr, nullptr, 0), ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
    EXPECT_EQ(ornInitLegacy(nullptr, nullptr, 0), ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
    EXPECT_EQ(ornOpen(nullptr), ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
    ComPortDir ports;
    EXPECT_EQ(ornOpen("COM9"), ORN_ERR_COM_PORT_NOT_EXIST);  // the port lock was released
}

TEST(Session, LongNameIsRefusedAndLoggedAtSevere) {
    TempDir dir;
    std::string log = dir.File("trace.log");
    EXPECT_EQ(ornInit("COM1234", log.c_str(), ORN_LOGGER_SEVERE), ORN_ERR_COM_PORT_NAME_TOO_LONG);
    EXPECT_EQ(ornOpen("COM1234"), ORN_ERR_COM_PORT_NAME_TOO_LONG);
    ornClose();  // finishes the log the refused ornInit opened
    std::string text = orn::test::ReadTextFile(log + ".0");
    EXPECT_NE(text.find("(Severe)  Port Name too long -- should be 6 or less characters"),
              std::string::npos)
        << text;
    EXPECT_EQ(ornPing(), ORN_ERR_COMM_PORT_NOT_OPEN);
}

TEST(Session, MissingPortGivesNotExistAndStaysClosed) {
    ComPortDir ports;
    EXPECT_EQ(ornInit("COM12", nullptr, 0), ORN_ERR_COM_PORT_NOT_EXIST);
    EXPECT_EQ(ornInitLegacy("COM3", nullptr, 0), ORN_ERR_COM_PORT_NOT_EXIST);
    EXPECT_EQ(ornOpen("COM5"), ORN_ERR_COM_PORT_NOT_EXIST);
    EXPECT_EQ(ornPing(), ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_EQ(ornInit("LPT1", nullptr, 0), ORN_ERR_COMM_PORT_NOT_OPEN);
}

TEST(Session, PortHeldElsewhereIsBusy) {
    ComPortDir ports;
    PtyPair pty;
    ASSERT_TRUE(ports.Link("COM7", pty.slavePath()));
    ASSERT_TRUE(orn::test::HoldPortExclusively(pty.slavePath()));
    EXPECT_EQ(ornOpen("COM7"), ORN_ERR_COM_PORT_BUSY);
    EXPECT_EQ(ornInit("COM7", nullptr, 0), ORN_ERR_COM_PORT_BUSY);
    EXPECT_EQ(ornPing(), ORN_ERR_COMM_PORT_NOT_OPEN);
}

TEST(Session, SecondOpenIsRefusedAndCloseThenReopenWorks) {
    ComPortDir ports;
    PtyPair pty;
    ASSERT_TRUE(ports.Link("COM7", pty.slavePath()));
    ASSERT_TRUE(pty.HoldSlave());
    TempDir dir;
    std::string log = dir.File("session.log");
    ASSERT_EQ(ornOpen("COM7"), 0);
    EXPECT_EQ(ornInit("COM7", log.c_str(), ORN_LOGGER_SEVERE), ORN_ERR_OTHER_COM_ALREADY_OPEN);
    EXPECT_EQ(ornOpen("com7"), ORN_ERR_OTHER_COM_ALREADY_OPEN);
    EXPECT_EQ(ornPing(),
              ORN_ERR_DEVICE_IS_NOT_RESPONDING_ERROR);  // still open: the link is untouched
    EXPECT_EQ(ornGetComPort(), nullptr);                // ornOpen stores no name
    ornClose();
    EXPECT_EQ(ornCheckConnectionStatus(), ORN_ERR_COMM_PORT_NOT_OPEN);
    ASSERT_EQ(ornOpen("COM7"), 0);
    ornClose();
    std::string text = orn::test::ReadTextFile(log + ".0");
    EXPECT_NE(text.find("(Severe)  Port Already Open, use ornClose first"), std::string::npos)
        << text;
}

}  // namespace
