// Data storage: the terminal's 8-character data block and its table of 300-character records.
// These records carry short names without the exported prefix.
#include <cstring>
#include <string>

#include "api/command.h"
#include "api/guard.h"
#include "velquoraorn.h"

using namespace orn;

namespace {

constexpr size_t kBlockLength = 8;
constexpr size_t kRecordLength = 300;

// The stored text is the last `length` characters of the answer. An answer that carries fewer
// gives what follows the status character: the status itself is never part of the text.
std::string StoredText(const Response& reply, size_t length) {
    size_t start = reply.Size() > length + 1 ? reply.Size() - length : 1;
    return reply.From(start);
}

// A hexadecimal digit's value kept to four bits; any other character counts as 15.
int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return (c - '0') & 0x0F;
    if (c >= 'A' && c <= 'F') return (c - 'A' + 10) & 0x0F;
    if (c >= 'a' && c <= 'f') return (c - 'a' + 10) & 0x0F;
    return 15;
}

// The two-digit value at `pos` of the answer; `value` stays as it is when the answer is too
// short to carry both digits.
void ReadTwoDigitValue(const Response& reply, size_t pos, int* value) {
    if (reply.Size() < pos + 2) return;
    *value = HexDigitValue(reply.At(pos)) * 16 + HexDigitValue(reply.At(pos + 1));
}

// Reads the block or a table record into a caller buffer of `length` + 1 bytes. The export
// `exportName` runs it whole behind the exception barrier; its record is named `name`.
int ReadStored(const char* exportName, const char* name, const catalogue::Message& message,
               size_t length, char* out) {
    return GuardedCode(exportName, [&] {
        return Command(name, message)
            .Require(out != nullptr)
            .Payload("0")
            .Clear([=] { out[0] = '\0'; })
            .Parse([=](const Response& reply) {
                CopyOut(out, length + 1, StoredText(reply, length), name);
            })
            .Run();
    });
}

int WriteStored(const char* exportName, const char* name, const catalogue::Message& message,
                size_t length, const char* text) {
    return GuardedCode(exportName, [&] {
        return Command(name, message)
            .Require(text && std::strlen(text) == length)
            .Payload("1")
            .Payload(text)
            .Run();
    });
}

}  // namespace

extern "C" {

ORN_API int ornReadBlock(char* block) {
    return ReadStored("ornReadBlock", "ReadBlock", catalogue::kDataBlock, kBlockLength, block);
}

ORN_API int ornWriteBlock(const char* block) {
    return WriteStored("ornWriteBlock", "WriteBlock", catalogue::kDataBlock, kBlockLength, block);
}

ORN_API int ornReadDataTable(char* record) {
    return ReadStored("ornReadDataTable", "ReadDataTable", catalogue::kDataTable, kRecordLength,
                      record);
}

ORN_API int ornWriteDataTable(const char* record) {
    return WriteStored("ornWriteDataTable", "WriteDataTable", catalogue::kDataTable, kRecordLength,
                       record);
}

ORN_API int ornDeleteDataTable(int recordNumber) {
    return Command("DeleteDataTable", catalogue::kDataTable)
        .Require(recordNumber == 255 || (recordNumber >= 0 && recordNumber <= 200))
        .PayloadF("2%02X", recordNumber)
        .Run();
}

ORN_API int ornResetDataTable(int mode) {
    return Command("ResetDataTable", catalogue::kDataTableReset)
        .Require(mode >= 0 && mode <= 2)
        .PayloadF("%d", mode)
        .Run();
}

ORN_API int ornDataTableRecordsInquiry(int* value1, int* value2) {
    return Command("DataTableInquiry", catalogue::kDataTableInquiry)
        .Require(value1 && value2)
        .Finish([=](int result, const Response& reply) {
            *value1 = *value2 = 0;
            if (result != 0) return result;
            // The values come whatever the status.
            ReadTwoDigitValue(reply, 1, value1);
            ReadTwoDigitValue(reply, 3, value2);
            return reply.Status();
        })
        .Run();
}

ORN_API int ornDataTableInquiry(int* value) {
    return Command("DataTableInquiry", catalogue::kDataTableInquiry)
        .Require(value != nullptr)
        .Payload("1")
        .Finish([=](int result, const Response& reply) {
            *value = 0;
            if (result != 0) return result;
            ReadTwoDigitValue(reply, 1, value);
            return reply.Status();
        })
        .Run();
}

}  // extern "C"
