// Data storage against the simulator: payloads and argument ranges, which texts the reads take
// from an answer, and the inquiries' hexadecimal values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_session.h"
#include "velquoraorn.h"

namespace {

using orn::sim::Request;
using orn::test::SimSession;

constexpr int kInvalid = ORN_ERR_INVALID_PARAMETER_IN_API_CALL;

class DataStorage : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(session.Open(), 0); }

    SimSession session;
};

TEST_F(DataStorage, PayloadsAndArgumentRanges) {
    for (const char* id : {"5C.", "60.", "61."}) session.Answer(id, "0");
    const std::string record(300, 'r');
    EXPECT_EQ(ornWriteBlock("ABCDEFGH"), 0);
    EXPECT_EQ(ornWriteDataTable(record.c_str()), 0);
    for (int n : {0, 200, 255}) EXPECT_EQ(ornDeleteDataTable(n), 0) << n;
    for (int mode : {0, 2}) EXPECT_EQ(ornResetDataTable(mode), 0);
    EXPECT_EQ(session.Payloads("5C."), std::vector<std::string>{"1ABCDEFGH"});
    EXPECT_EQ(session.Payloads("60."),
              (std::vector<std::string>{"1" + record, "200", "2C8", "2FF"}));
    EXPECT_EQ(session.Payloads("61."), (std::vector<std::string>{"0", "2"}));

    session.sim().ClearRecord();
    int a = 0, b = 0;
    EXPECT_EQ(ornWriteBlock("ABCDEFG"), kInvalid);
    EXPECT_EQ(ornWriteBlock("ABCDEFGHI"), kInvalid);
    EXPECT_EQ(ornWriteBlock(nullptr), kInvalid);
    EXPECT_EQ(ornWriteDataTable(std::string(299, 'r').c_str()), kInvalid);
    EXPECT_EQ(ornWriteDataTable(std::string(301, 'r').c_str()), kInvalid);
    EXPECT_EQ(ornWriteDataTable(nullptr), kInvalid);
    for (int n : {201, 254, 256, -1}) EXPECT_EQ(ornDeleteDataTable(n), kInvalid) << n;
    for (int mode : {3, -1}) EXPECT_EQ(ornResetDataTable(mode), kInvalid) << mode;
    EXPECT_EQ(ornReadBlock(nullptr), kInvalid);
    EXPECT_EQ(ornReadDataTable(nullptr), kInvalid);
    EXPECT_EQ(ornDataTableRecordsInquiry(&a, nullptr), kInvalid);
    EXPECT_EQ(ornDataTableRecordsInquiry(nullptr, &b), kInvalid);
    EXPECT_EQ(ornDataTableInquiry(nullptr), kInvalid);
    auto traffic = session.sim().Snapshot();
    EXPECT_TRUE(traffic.frames.empty());
    EXPECT_TRUE(traffic.rx.empty());
}

TEST_F(DataStorage, ReadsTakeTheLastCharacters) {
    std::string tail(300, 'x');
    tail[0] = 'F';                           // first character that belongs to the record
    session.Answer("60.", "0ABCDE" + tail);  // 305 characters after the status
    std::vector<char> record(301, '?');
    EXPECT_EQ(ornReadDataTable(record.data()), 0);
    EXPECT_EQ(std::string(record.data()), tail);
    EXPECT_EQ(session.Payloads("60."), std::vector<std::string>{"0"});

    session.Answer("5C.", "0xx12345678");
    std::vector<char> block(9, '?');
    EXPECT_EQ(ornReadBlock(block.data()), 0);
    EXPECT_STREQ(block.data(), "12345678");
    session.Answer("5C.", "0123");  // short: what follows the status, never the status itself
    EXPECT_EQ(ornReadBlock(block.data()), 0);
    EXPECT_STREQ(block.data(), "123");
    session.Answer("5C.", "2ABCDEFGH");  // a failing status leaves the output empty
    EXPECT_EQ(ornReadBlock(block.data()), 2);
    EXPECT_STREQ(block.data(), "");
}

TEST_F(DataStorage, InquiriesReadHexValues) {
    int a = -1, b = -1;
    session.Answer("62.", "00A1F");
    EXPECT_EQ(ornDataTableRecordsInquiry(&a, &b), 0);
    EXPECT_EQ(a, 10);
    EXPECT_EQ(b, 31);
    session.Answer("62.", "3ffG0");  // values come with any status; a non-hex digit counts as 15
    EXPECT_EQ(ornDataTableRecordsInquiry(&a, &b), 3);
    EXPECT_EQ(a, 255);
    EXPECT_EQ(b, 0xF0);
    session.Answer("62.", "0C8");
    EXPECT_EQ(ornDataTableInquiry(&a), 0);
    EXPECT_EQ(a, 200);
    session.Answer("62.", "0A");  // too short for a value: 0
    EXPECT_EQ(ornDataTableInquiry(&a), 0);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(session.Payloads("62."), (std::vector<std::string>{"", "", "1", "1"}));
}

}  // namespace
