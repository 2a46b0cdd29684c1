// Device management: the terminal's clock, its identification and the application update.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "api/command.h"
#include "api/guard.h"
#include "velquoraorn.h"

using namespace orn;

namespace {

// Caller buffer sizes (terminator included) that the public header documents.
constexpr size_t kDeviceInfoSize = 28;
constexpr size_t kDeviceTypeSize = 6;
constexpr size_t kSerialNumberSize = 17;
// The versions text has no fixed length; it can be no longer than the response text.
constexpr size_t kVersionsSize = Response::kMaxText;

constexpr const char* kMonthNames[] = {"January",   "February", "March",    "April",
                                       "May",       "June",     "July",     "August",
                                       "September", "October",  "November", "December"};
// Long date form for a month field outside 01..12: the table has no entry for it.
constexpr const char* kUnknownMonth = "Unknown";

// The terminal's clock text YYYYMMDDhhmmss (14 characters when the answer is complete) and
// its fields. A field the answer did not carry reads as empty.
struct ClockText {
    std::string digits;

    std::string Field(size_t pos, size_t count) const {
        return pos < digits.size() ? digits.substr(pos, count) : std::string();
    }
    std::string Year() const { return Field(0, 4); }
    std::string Month() const { return Field(4, 2); }
    std::string Day() const { return Field(6, 2); }
    std::string Hour() const { return Field(8, 2); }
    std::string Minute() const { return Field(10, 2); }
    std::string Second() const { return Field(12, 2); }
};

int DecimalValue(const std::string& field) {
    return std::atoi(field.c_str());
}

// Asks the terminal for its clock ("6T.0"). Both clock getters share the record name. On
// status 0 `clock` receives the characters after the status, 14 at most.
int ReadClock(bool argumentsOk, ClockText& clock) {
    return Command("ornGetDateTimeString", catalogue::kClock)
        .CheckFirst(argumentsOk)
        .Payload("0")
        .Clear([&] { clock.digits.clear(); })
        .Parse([&](const Response& reply) {
            if (reply.Size() != 15)
                reply.Warn(
                    "Warning, expected response of 6T.0YYYYMMDDhhmmss: wrong response length");
            clock.digits = reply.From(1, 14);
        })
        .Run();
}

// The text of one date form and the caller's buffer size for it; size 0 for an unknown form.
struct DateForm {
    std::string text;
    size_t size = 0;
};

DateForm FormatDate(int format, const ClockText& clock) {
    switch (format) {
        case 0:
            return {"", 1};
        case 1:
            return {clock.Year() + "/" + clock.Month() + "/" + clock.Day() + " " + clock.Hour() +
                        ":" + clock.Minute() + ":" + clock.Second(),
                    20};
        case 2: {
            int month = DecimalValue(clock.Month());
            const char* name = month >= 1 && month <= 12 ? kMonthNames[month - 1] : kUnknownMonth;
            return {std::string(name) + " " + std::to_string(DecimalValue(clock.Day())) + ", " +
                        clock.Year() + "   " + clock.Hour() + ":" + clock.Minute() + ":" +
                        clock.Second(),
                    30};
        }
        default: {
            // Forms 3 to 8: one field alone, year (4 digits), month, day, hour, minute, second.
            if (format < 3 || format > 8) return {};
            const size_t index = static_cast<size_t>(format - 3);
            const size_t count = index == 0 ? 4 : 2;
            return {clock.Field(index == 0 ? 0 : 2 + 2 * index, count), count + 1};
        }
    }
}

// The "5D." requests. The length test runs whatever the status; the output is filled on
// status 0 only. `expectedLength` 0 means no length test.
struct DeviceInfoRequest {
    const char* name;
    const char* payload;
    bool clearsOutput;
    size_t expectedLength;
    size_t outputSize;
};

// Runs whole behind the exception barrier of the export `request.name`.
int RunDeviceInfo(const DeviceInfoRequest& request, char* info) {
    return GuardedCode(request.name, [&] {
        return Command(request.name, catalogue::kDeviceInformation)
            .Require(info != nullptr)
            .Payload(request.payload)
            .Finish([&](int result, const Response& reply) {
                if (request.clearsOutput) info[0] = '\0';
                if (result != 0) return result;
                if (request.expectedLength != 0 && reply.Size() != request.expectedLength)
                    reply.Warn(
                        "Warning, expected response of 5D.0/dddd/ddd/ddd/ddddd/dd/dd/d: wrong "
                        "response length");
                int status = reply.Status();
                if (status == 0) CopyOut(info, request.outputSize, reply.From(1), request.name);
                return status;
            })
            .Run();
    });
}

}  // namespace

extern "C" {

ORN_API int ornGetDateTimeString(int format, char* text) {
    return orn::GuardedCode("ornGetDateTimeString", [&]() -> int {
        ClockText clock;
        int result = ReadClock(text != nullptr, clock);
        if (!text) return result;
        text[0] = '\0';
        if (result != 0) return result;
        // The form is looked at only now: an unknown one has still cost an
        // exchange.
        DateForm form = FormatDate(format, clock);
        if (form.size == 0) return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
        CopyOut(text, form.size, form.text, "ornGetDateTimeString");
        return 0;
    });
}

ORN_API int ornGetDateTime(int* year, int* month, int* day, int* hour, int* minute, int* second) {
    return orn::GuardedCode("ornGetDateTime", [&]() -> int {
        bool ok = year && month && day && hour && minute && second;
        ClockText clock;
        int result = ReadClock(ok, clock);
        if (!ok) return result;
        *year = *month = *day = *hour = *minute = *second = 0;
        if (result != 0) return result;
        *year = DecimalValue(clock.Year());
        *month = DecimalValue(clock.Month());
        *day = DecimalValue(clock.Day());
        *hour = DecimalValue(clock.Hour());
        *minute = DecimalValue(clock.Minute());
        *second = DecimalValue(clock.Second());
        return 0;
    });
}

ORN_API int ornSetDateTime(int year, int month, int day, int hour, int minute, int second) {
    return Command("ornSetDateTime", catalogue::kClock)
        .Require(year >= 0 && year <= 10000)
        .Require(month >= 1 && month <= 12)
        .Require(day >= 1 && day <= 31)
        .Require(hour >= 0 && hour <= 23)
        .Require(minute >= 0 && minute <= 59)
        .Require(second >= 0 && second <= 59)
        .PayloadF("1%04d%02d%02d%02d%02d%02d", year, month, day, hour, minute, second)
        .Run();
}

ORN_API int ornApplicationUpdate(void) {
    // Length 4, command byte 0x06, then 00 00 02. Raw bytes: the link encodes them for a 7-bit
    // line.
    static const uint8_t kRequest[] = {0x00, 0x04, 0x06, 0x00, 0x00, 0x02};
    return Command("ornApplicationUpdate", catalogue::kApplicationUpdate)
        .Payload(kRequest, sizeof kRequest)
        .Finish([](int result, const Response& reply) {
            if (result != 0) return result;
            // The answer is binary: length (2, big-endian), command byte, status byte.
            unsigned length = static_cast<unsigned>(static_cast<uint8_t>(reply.At(0))) << 8 |
                              static_cast<uint8_t>(reply.At(1));
            if (reply.Size() < 2 || length != 2)
                reply.Warn("Warning: Length of Application Update response should always be 2");
            if (static_cast<uint8_t>(reply.At(2)) != 0x06)
                reply.Warn("Warning: Expected CMD=0x06 in response for Application Update");
            if (reply.Size() < 4) return kResultNoStatus;
            return static_cast<int>(static_cast<uint8_t>(reply.At(3)));
        })
        .Run();
}

ORN_API int ornDeviceInfo(char* info) {
    return RunDeviceInfo({"ornDeviceInfo", "", false, 28, kDeviceInfoSize}, info);
}

ORN_API int ornDeviceInfoDetailed(char* info) {
    return RunDeviceInfo({"ornDeviceInfoDetailed", "1", false, 28, kDeviceInfoSize}, info);
}

ORN_API int ornDeviceInfoType(char* info) {
    return RunDeviceInfo({"ornDeviceInfoType", "3", true, 6, kDeviceTypeSize}, info);
}

ORN_API int ornDeviceInfoAllVersions(char* info) {
    return RunDeviceInfo({"ornDeviceInfoAllVersions", "4", true, 0, kVersionsSize}, info);
}

ORN_API int ornGetSerialNumber(char* serial) {
    return Command("ornGetSerialNumber", catalogue::kSerialNumber)
        .Require(serial != nullptr)
        .Payload("S")
        .Clear([=] { serial[0] = '\0'; })
        .Parse([=](const Response& reply) {
            if (reply.At(1) != 'S')
                reply.Warn("Warning, expected response of 51.0Sssssssssssssssss: no S");
            if (reply.Size() != 18)
                reply.Warn(
                    "Warning, expected response of 51.0Sssssssssssssssss: wrong response length");
            if (reply.Size() > 2)
                CopyOut(serial, kSerialNumberSize, reply.From(2), "ornGetSerialNumber");
        })
        .Run();
}

}  // extern "C"
