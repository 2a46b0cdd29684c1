// Default answers for device management (clock, identification, application update) and data
// storage (data block and data table). Both keep state for the simulator's lifetime: the clock
// can be set and keeps running, and what is written to the block and the table can be read back.
// Handlers run one at a time on the simulator's I/O thread, so the state needs no lock.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "answers.h"
#include "sim.h"
#include "terminal.h"

namespace orn::sim {

namespace {

using Answer = std::optional<std::string>;

const std::string kOk = "0";
const std::string kFailed = "1";

bool AllDigits(const std::string& text) {
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// ---- Clock ----------------------------------------------------------------------------------

struct CivilTime {
    int year, month, day, hour, minute, second;
};

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

CivilTime CivilFromSeconds(int64_t seconds) {
    int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    int64_t rest = seconds - days * 86400;
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
    return {static_cast<int>(y),
            static_cast<int>(m),
            static_cast<int>(d),
            static_cast<int>(rest / 3600),
            static_cast<int>(rest / 60 % 60),
            static_cast<int>(rest % 60)};
}

int DaysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// The terminal's clock: the host's UTC time plus whatever offset the last setting made.
class Clock {
  public:
    std::string Read() const {
        CivilTime t = CivilFromSeconds(Now() + offset_);
        char text[32];
        std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                      t.minute, t.second);
        return text;
    }

    // `digits` is YYYYMMDDhhmmss; false for anything the terminal could not hold.
    bool Set(const std::string& digits) {
        if (digits.size() != 14 || !AllDigits(digits)) return false;
        auto field = [&](size_t pos, size_t count) {
            return std::atoi(digits.substr(pos, count).c_str());
        };
        CivilTime t{field(0, 4), field(4, 2), field(6, 2), field(8, 2), field(10, 2), field(12, 2)};
        if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month) ||
            t.hour > 23 || t.minute > 59 || t.second > 59)
            return false;
        int64_t target =
            DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) *
                86400 +
            t.hour * 3600 + t.minute * 60 + t.second;
        offset_ = target - Now();
        return true;
    }

  private:
    static int64_t Now() {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }

    int64_t offset_ = 0;
};

// ---- Data storage -----------------------------------------------------------------------------

// The data block and the data table. Records are kept in the order written; reads go through
// them with a cursor that a reset in mode 0 rewinds.
class DataStore {
  public:
    static constexpr size_t kBlockLength = 8;
    static constexpr size_t kRecordLength = 300;
    static constexpr size_t kCapacity = 201;  // record numbers 0..200

    // Action "0" reads, "1" writes the data.
    Answer Block(const RequestFields& r) {
        const std::string action = r.Text("action"), data = r.Text("data");
        if (action == "0" && data.empty()) return kOk + block_;
        if (action == "1" && data.size() == kBlockLength) {
            block_ = data;
            return kOk;
        }
        return kFailed;
    }

    // Action "0" reads the next record, "1" adds one, "2" deletes by number.
    Answer Table(const RequestFields& r) {
        const std::string action = r.Text("action"), data = r.Text("data");
        if (action == "0" && data.empty()) {
            if (cursor_ >= records_.size()) return kFailed;  // nothing (more) to read
            return kOk + records_[cursor_++];
        }
        if (action == "1" && data.size() == kRecordLength) {
            if (records_.size() >= kCapacity) return std::string("2");  // table full
            records_.push_back(data);
            return kOk;
        }
        if (action == "2" && data.size() == 2) return Delete(data);
        return kFailed;
    }

    // 0 rewinds the reading, 1 empties the table, 2 also clears the block.
    Answer Reset(const RequestFields& r) {
        const std::string mode = r.Text("mode");
        if (mode == "0") {
            cursor_ = 0;
        } else if (mode == "1" || mode == "2") {
            records_.clear();
            cursor_ = 0;
            if (mode == "2") block_ = kEmptyBlock;
        } else {
            return kFailed;
        }
        return kOk;
    }

    // "" gives the records stored and the room left; "1" the number of the next record to read.
    Answer Inquiry(const RequestFields& r) {
        const std::string form = r.Text("form");
        char text[8];
        if (form.empty()) {
            std::snprintf(text, sizeof text, "0%02X%02X", static_cast<unsigned>(records_.size()),
                          static_cast<unsigned>(kCapacity - records_.size()));
        } else if (form == "1") {
            std::snprintf(text, sizeof text, "0%02X", static_cast<unsigned>(cursor_));
        } else {
            return kFailed;
        }
        return std::string(text);
    }

  private:
    static constexpr const char* kEmptyBlock = "00000000";

    // Record number in two hex digits; 255 deletes them all.
    Answer Delete(const std::string& number) {
        char* end = nullptr;
        unsigned long index = std::strtoul(number.c_str(), &end, 16);
        if (end != number.c_str() + number.size()) return kFailed;
        if (index == 0xFF) {
            records_.clear();
            cursor_ = 0;
            return kOk;
        }
        if (index >= records_.size()) return kFailed;
        records_.erase(records_.begin() + static_cast<long>(index));
        if (cursor_ > index) --cursor_;
        return kOk;
    }

    std::string block_ = kEmptyBlock;
    std::vector<std::string> records_;
    size_t cursor_ = 0;
};

}  // namespace

// Answer to the application update request (command byte 0x06 after the length): length 2,
// command byte, status 0. Nullopt for any other "F0." request.
std::optional<std::string> AnswerApplicationUpdate(const Request& request) {
    if (RequestFields(request).Message() != "application update") return std::nullopt;
    return std::string("\x00\x02\x06\x00", 4);
}

void InstallDeviceAnswers(TerminalSimulator& sim) {
    Clock* clock = &sim.Terminal().Part<Clock>();
    // Action "0" reads the clock, "1" sets it to the date and time given.
    sim.SetHandler("6T.", [clock](const Request& request) -> Answer {
        const RequestFields r(request);
        const std::string action = r.Text("action"), data = r.Text("data");
        if (action == "0" && data.empty()) return kOk + clock->Read();
        if (action == "1" && clock->Set(data)) return kOk;
        return kFailed;
    });
    sim.SetHandler("5D.", [](const Request& request) -> Answer {
        const std::string form = RequestFields(request).Text("form");
        if (form.empty()) return std::string("0/0412/105/003/00001/02/01/1");
        if (form == "1") return std::string("0/0412/105/003/00001/02/01/3");
        if (form == "3") return std::string("0VQ310");
        if (form == "4")
            return std::string("0OS 04.12.0105;APP 03.07.0002;EMV 04.03.0001;BOOT 01.02;KEYS 01");
        return kFailed;
    });
    sim.SetHandler("51.", [](const Request& request) -> Answer {
        if (RequestFields(request).Text("form") == "S") return std::string("0SVQ31000012345678");
        return kFailed;
    });
    sim.SetHandler("F0.", AnswerApplicationUpdate);
}

void InstallDataStorageAnswers(TerminalSimulator& sim) {
    DataStore* store = &sim.Terminal().Part<DataStore>();
    sim.SetHandler("5C.", [store](const Request& r) { return store->Block(RequestFields(r)); });
    sim.SetHandler("60.", [store](const Request& r) { return store->Table(RequestFields(r)); });
    sim.SetHandler("61.", [store](const Request& r) { return store->Reset(RequestFields(r)); });
    sim.SetHandler("62.", [store](const Request& r) { return store->Inquiry(RequestFields(r)); });
}

}  // namespace orn::sim
