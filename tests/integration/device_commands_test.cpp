// Device management against the simulator: the clock's forms and values, the clock setting's
// payloads and ranges, identification texts cut to their buffers, the serial number's warnings
// and the binary application update.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_session.h"
#include "velquoraorn.h"

namespace {

using orn::sim::Request;
using orn::test::Occurrences;
using orn::test::SimSession;

constexpr int kInvalid = ORN_ERR_INVALID_PARAMETER_IN_API_CALL;

class DeviceCommands : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(session.Open(), 0); }

    // Date form `format` read into a buffer of exactly `size` bytes (so that ASan sees an
    // overrun).
    std::string DateText(int format, size_t size, int* result) {
        std::vector<char> text(size, 'x');
        *result = ornGetDateTimeString(format, text.data());
        return std::string(text.data());
    }

    SimSession session;
};

TEST_F(DeviceCommands, ClockFormsAndValues) {
    session.Answer("6T.", "020240305090507");
    const std::vector<std::pair<int, std::string>> forms = {{0, ""},
                                                            {1, "2024/03/05 09:05:07"},
                                                            {2, "March 5, 2024   09:05:07"},
                                                            {3, "2024"},
                                                            {4, "03"},
                                                            {5, "05"},
                                                            {6, "09"},
                                                            {7, "05"},
                                                            {8, "07"}};
    const size_t sizes[] = {1, 20, 30, 5, 3, 3, 3, 3, 3};
    for (const auto& [format, expected] : forms) {
        int result = -1;
        EXPECT_EQ(DateText(format, sizes[format], &result), expected) << format;
        EXPECT_EQ(result, 0) << format;
    }
    int result = 0;
    EXPECT_EQ(DateText(9, 30, &result), "");  // asked the terminal, then refused
    EXPECT_EQ(result, kInvalid);
    EXPECT_EQ(session.Payloads("6T."), std::vector<std::string>(10, "0"));

    int v[6] = {-1, -1, -1, -1, -1, -1};
    EXPECT_EQ(ornGetDateTime(&v[0], &v[1], &v[2], &v[3], &v[4], &v[5]), 0);
    EXPECT_EQ(std::vector<int>(v, v + 6), (std::vector<int>{2024, 3, 5, 9, 5, 7}));

    // The longest long form fills its 30 bytes exactly.
    session.Answer("6T.", "020240930235959");
    EXPECT_EQ(DateText(2, 30, &result), "September 30, 2024   23:59:59");
}

TEST_F(DeviceCommands, OddClockAnswers) {
    session.Answer("6T.", "020241305090507");  // month 13 has no name
    int result = -1;
    EXPECT_EQ(DateText(2, 30, &result), "Unknown 5, 2024   09:05:07");
    session.Answer("6T.", "0202403");  // short: the fields it lacks are empty
    EXPECT_EQ(DateText(1, 20, &result), "2024/03/ ::");
    EXPECT_EQ(result, 0);
    session.Answer("6T.", "020240305090507123456");  // long: 14 characters are taken
    EXPECT_EQ(DateText(1, 20, &result), "2024/03/05 09:05:07");
    session.Answer("6T.", "3");
    EXPECT_EQ(DateText(1, 20, &result), "");
    EXPECT_EQ(result, 3);
    int v[6] = {1, 1, 1, 1, 1, 1};
    EXPECT_EQ(ornGetDateTime(&v[0], &v[1], &v[2], &v[3], &v[4], &v[5]), 3);
    EXPECT_EQ(std::vector<int>(v, v + 6), std::vector<int>(6, 0));
    std::string log = session.CloseAndReadLog();
    EXPECT_EQ(
        Occurrences(log, "Warning, expected response of 6T.0YYYYMMDDhhmmss: wrong response length"),
        2u);
}

TEST_F(DeviceCommands, SetDateTimePayloadsAndRanges) {
    session.Answer("6T.", "0");
    EXPECT_EQ(ornSetDateTime(2024, 2, 31, 23, 59, 59), 0);  // no calendar test
    EXPECT_EQ(ornSetDateTime(5, 1, 1, 0, 0, 0), 0);
    EXPECT_EQ(ornSetDateTime(10000, 12, 1, 0, 0, 0), 0);
    EXPECT_EQ(session.Payloads("6T."),
              (std::vector<std::string>{"120240231235959", "100050101000000", "1100001201000000"}));
    session.sim().ClearRecord();
    const int bad[][6] = {{-1, 1, 1, 0, 0, 0},    {10001, 1, 1, 0, 0, 0}, {2024, 0, 1, 0, 0, 0},
                          {2024, 13, 1, 0, 0, 0}, {2024, 1, 0, 0, 0, 0},  {2024, 1, 32, 0, 0, 0},
                          {2024, 1, 1, 24, 0, 0}, {2024, 1, 1, -1, 0, 0}, {2024, 1, 1, 0, 60, 0},
                          {2024, 1, 1, 0, 0, 60}, {2024, 1, 1, 0, 0, -1}};
    for (const auto& b : bad)
        EXPECT_EQ(ornSetDateTime(b[0], b[1], b[2], b[3], b[4], b[5]), kInvalid);
    int v[6];
    EXPECT_EQ(ornGetDateTime(&v[0], &v[1], nullptr, &v[3], &v[4], &v[5]), kInvalid);
    EXPECT_EQ(ornGetDateTimeString(1, nullptr), kInvalid);
    EXPECT_TRUE(session.NothingSent(true));
}

TEST_F(DeviceCommands, IdentificationTexts) {
    char info[4096] = "";
    EXPECT_EQ(ornDeviceInfo(info), 0);
    EXPECT_STREQ(info, "/0412/105/003/00001/02/01/1");
    EXPECT_EQ(ornDeviceInfoDetailed(info), 0);
    EXPECT_EQ(std::string(info).size(), 27u);
    EXPECT_EQ(ornDeviceInfoType(info), 0);
    EXPECT_STREQ(info, "VQ310");
    EXPECT_EQ(ornDeviceInfoAllVersions(info), 0);
    EXPECT_EQ(std::string(info).rfind("OS ", 0), 0u);
    EXPECT_EQ(ornGetSerialNumber(info), 0);
    EXPECT_STREQ(info, "VQ31000012345678");
    EXPECT_EQ(session.Payloads("5D."), (std::vector<std::string>{"", "1", "3", "4"}));
    EXPECT_EQ(session.Payloads("51."), std::vector<std::string>{"S"});

    session.sim().ClearRecord();
    EXPECT_EQ(ornDeviceInfo(nullptr), kInvalid);
    EXPECT_EQ(ornDeviceInfoDetailed(nullptr), kInvalid);
    EXPECT_EQ(ornDeviceInfoType(nullptr), kInvalid);
    EXPECT_EQ(ornDeviceInfoAllVersions(nullptr), kInvalid);
    EXPECT_EQ(ornGetSerialNumber(nullptr), kInvalid);
    EXPECT_TRUE(session.NothingSent(true));
}

TEST_F(DeviceCommands, IdentificationAnswersOfTheWrongSize) {
    // Over-long answers are cut to the caller's documented buffer.
    session.Answer("5D.", "0" + std::string(40, 'i'));
    std::vector<char> info(28, 'x');
    EXPECT_EQ(ornDeviceInfo(info.data()), 0);
    EXPECT_EQ(std::string(info.data()), std::string(27, 'i'));
    std::vector<char> type(6, 'x');
    EXPECT_EQ(ornDeviceInfoType(type.data()), 0);
    EXPECT_EQ(std::string(type.data()), "iiiii");

    // A failing status: length warning, the plain info left alone, the type emptied.
    session.Answer("5D.", "1");
    char keep[28] = "kept";
    EXPECT_EQ(ornDeviceInfo(keep), 1);
    EXPECT_STREQ(keep, "kept");
    EXPECT_EQ(ornDeviceInfoType(type.data()), 1);
    EXPECT_STREQ(type.data(), "");

    std::vector<char> serial(17, 'x');
    session.Answer("51.", "0X1234567890ABCDEF");
    EXPECT_EQ(ornGetSerialNumber(serial.data()), 0);
    EXPECT_STREQ(serial.data(), "1234567890ABCDEF");
    session.Answer("51.", "0S1234567890ABCDEFGHIJ");
    EXPECT_EQ(ornGetSerialNumber(serial.data()), 0);
    EXPECT_STREQ(serial.data(), "1234567890ABCDEF");
    session.Answer("51.", "0S");
    EXPECT_EQ(ornGetSerialNumber(serial.data()), 0);
    EXPECT_STREQ(serial.data(), "");

    std::string log = session.CloseAndReadLog();
    EXPECT_EQ(Occurrences(log,
                          "Warning, expected response of 5D.0/dddd/ddd/ddd/ddddd/dd/dd/d: wrong "
                          "response length"),
              4u);
    EXPECT_EQ(Occurrences(log, "Warning, expected response of 51.0Sssssssssssssssss: no S"), 1u);
    EXPECT_EQ(Occurrences(log,
                          "Warning, expected response of 51.0Sssssssssssssssss: wrong response "
                          "length"),
              2u);
}

TEST_F(DeviceCommands, ApplicationUpdateIsBinary) {
    EXPECT_EQ(ornApplicationUpdate(), 0);
    auto record = session.sim().Snapshot();
    ASSERT_EQ(record.frames.size(), 1u);
    EXPECT_EQ(record.frames[0].payload, std::string("\x00\x04\x06\x00\x00\x02", 6));
    // On the serial line the six bytes travel as eight P1.6 characters.
    const auto& raw = record.frames[0].raw;
    ASSERT_EQ(raw.size(), 1u + 3 + 8 + 2);
    for (size_t i = 4; i < 12; ++i) EXPECT_GE(raw[i], 0x40) << i;

    session.Answer("F0.", std::string("\x00\x02\x06\xC8", 4));
    EXPECT_EQ(ornApplicationUpdate(), 200);  // the status byte, not a digit
    session.Answer("F0.", std::string("\x00\x03\x05\x07", 4));
    EXPECT_EQ(ornApplicationUpdate(), 7);  // warnings never change the result
    session.Answer("F0.", std::string("\x00\x02", 2));
    EXPECT_EQ(ornApplicationUpdate(), ORN_ERR_WRONG_RESPONSE_ERROR);
    std::string log = session.CloseAndReadLog();
    EXPECT_EQ(Occurrences(log, "Warning: Length of Application Update response should always be 2"),
              1u);
    EXPECT_EQ(Occurrences(log, "Warning: Expected CMD=0x06 in response for Application Update"),
              2u);
}

TEST(DeviceCommandsClosed, ClockPointersAreTestedBeforeTheLink) {
    EXPECT_EQ(ornGetDateTimeString(1, nullptr), kInvalid);
    char text[20] = "stale";
    EXPECT_EQ(ornGetDateTimeString(1, text), ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_STREQ(text, "");
    int v[6] = {1, 1, 1, 1, 1, 1};
    EXPECT_EQ(ornGetDateTime(&v[0], &v[1], &v[2], &v[3], &v[4], nullptr), kInvalid);
    EXPECT_EQ(ornGetDateTime(&v[0], &v[1], &v[2], &v[3], &v[4], &v[5]), ORN_ERR_COMM_PORT_NOT_OPEN);
    EXPECT_EQ(std::vector<int>(v, v + 6), std::vector<int>(6, 0));
    EXPECT_EQ(ornDeviceInfo(nullptr), ORN_ERR_COMM_PORT_NOT_OPEN);
}

}  // namespace
