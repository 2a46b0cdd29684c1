// The message catalogue: messages read back as names and fields (what the log reader and the
// simulator's trace print, and what the simulator reads from requests).
#include "link/catalogue.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifndef ORN_SOURCE_DIR
#error "ORN_SOURCE_DIR must name the source tree"
#endif

namespace orn::catalogue {
namespace {

constexpr auto kTo = LinkDirection::ToTerminal;
constexpr auto kFrom = LinkDirection::FromTerminal;

std::string Describe(LinkDirection direction, const std::string& message,
                     const std::vector<bool>& hidden = {}) {
    return catalogue::Describe(direction, reinterpret_cast<const uint8_t*>(message.data()),
                               message.size(), hidden);
}

TEST(Catalogue, DescribesMessagesByNameAndFields) {
    const std::string emvData = std::string("F1.\x00\x22\x04\x81\x00\x00", 9) + "PAYAPP" +
                                std::string(6, '\0') + std::string(12, '\0') + "\x9F\x02";
    struct Case {
        LinkDirection direction;
        std::string message;
        std::string text;
    };
    const Case cases[] = {
        {kTo, "5B.7", "5B. beep: tone 7"},
        {kFrom, "5B.0", "5B. beep: status 0"},
        {kTo, "72", "72 quick cancel"},
        {kTo,
         "6C.0110000"
         "1T1\x1E\x1E\x1E\x1E"
         "A\x1E"
         "B\x1E",
         "6C. scroll list: items 2, parameters 1100001, titles and items "
         "T1<1E><1E><1E><1E>A<1E>B<1E>"},
        {kFrom, emvData,
         "F1. EMV data: length 34, type 4, seq 129, sub-type 0, app PAYAPP, data 9F02"},
        {kFrom, std::string("F0.\x00\x02\x07\x05", 7),
         "F0. reader channel: length 2, channel 7, status 05"},
        {kFrom, std::string("F0.\x00\x02\x06\x00", 7),
         "F0. application update: length 2, command 6, status 00"},
        {kFrom, std::string("F1.\x00\x02\x45\x99", 7),
         "F1. binary MAC: length 2, operation E, status 99 (the MAC does not match)"},
        {kTo, "9Q.1", "9Q. (unknown): 1 bytes"},
        {kTo, "59.\x01", "59. clear display: line <01>"},
    };
    for (const Case& c : cases) EXPECT_EQ(Describe(c.direction, c.message), c.text);
    // Bytes a dump hid print as the dump shows them.
    std::vector<bool> hidden(4 + 16, false);
    for (size_t i = 4; i < hidden.size(); ++i) hidden[i] = true;
    EXPECT_EQ(Describe(kFrom, "31.00123456789ABCDEF", hidden),
              "31. DUKPT PIN entry: status 0, value " + std::string(16, '*'));
}

TEST(Catalogue, FieldsFollowVariableLayouts) {
    const std::string account = "4761739001010119";
    const std::string key32 = "0123456789ABCDEFFEDCBA9876543210";
    struct Case {
        std::string id;
        std::string payload;
        const char* name;
        std::string text;
    };
    const Case cases[] = {
        {"69.", "001" + account + "D" + key32 + "ABCDEF12" + "PIN?", "key", key32},
        {"69.", "001" + account + "D" + key32 + "ABCDEF12" + "PIN?", "check value", "ABCDEF12"},
        {"6H.", "00461" + account + "S" + key32.substr(0, 16), "key", key32.substr(0, 16)},
        {"6H.", "00461" + account + "0", "key index", "1"},
        {"41.", "001" + account + key32 + "ABCDEF12" + "PIN=", "key", key32},
        {"41.", "001" + account + key32.substr(0, 16) + "PIN=", "check value", ""},
        {"31.", "00" + account.substr(0, 10), "account", account.substr(0, 10)},
        {"5B.", "", "tone", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FieldText(kTo, c.id, c.payload, c.name), c.text) << c.id << " " << c.name;
}

// The simulator reads requests by field name, and a name the catalogue does not give reads as
// empty: every name it asks for must be there in the request as the library sends it.
TEST(Catalogue, EveryFieldTheSimulatorReadsIsThere) {
    const std::string key = "0123456789ABCDEF", account = "4761739001010119";
    const std::string name12 = std::string("PAYAPP") + std::string(6, '\0');
    auto bytes = [](const char* text, size_t count) { return std::string(text, count); };
    struct Case {
        std::string id;
        std::string payload;
        std::vector<const char*> fields;
    };
    const Case cases[] = {
        {"5B.", "7", {"tone"}},
        {"5C.", "1ABCDEFGH", {"action", "data"}},
        {"60.", "205", {"action", "data"}},
        {"6T.", "120261207064500", {"action", "data"}},
        {"61.", "1", {"mode"}},
        {"62.", "1", {"form"}},
        {"5D.", "3", {"form"}},
        {"51.", "S", {"form"}},
        {"F0.", bytes("\x00\x02\x06\x00", 4), {}},
        {"F0.",
         bytes("\x00\x07\x07\x01\xF4\x0D\x02\x00\x84", 9),
         {"channel", "time limit", "function", "command length", "command"}},
        {"67.", "230000SWIPE", {"tracks"}},
        {"F1.", bytes("\x00\x1B\x02\x01\x01", 5) + "DLLAPI_COM7_" + name12, {"type", "seq", "app"}},
        {"F1.",
         bytes("\x00\x1E\x04\x02\x00\x01", 6) + "DLLAPI_COM7_" + name12 + "\x9F\x02",
         {"length", "app", "data"}},
        {"F1.", bytes("\x00\x02\x05\x81", 4), {"length"}},
        {"F1.",
         bytes("\x00\x24\x45\x00\x00\x00\x00\x02", 8) + std::string(24, '\x11') +
             bytes("\x00\x00\x00\x02", 4) + "ab",
         {"operation", "chunk", "last chunk", "key", "expected MAC", "total length", "data"}},
        {"58.", "1012HELLO", {"mode", "lines", "first line", "text"}},
        {"58.",
         "210" + std::string(32, ' ') + "FF05",
         {"entry mode", "prompt", "stored prompt", "maximum length"}},
        {"68.", "5100520", {"stored prompt", "maximum length"}},
        {"59.", "1", {"line"}},
        {"6C.",
         "01100001T1\x1E\x1E\x1E\x1E"
         "A\x1E",
         {"titles and items"}},
        {"31.", "00" + account + "PIN?", {"account"}},
        {"41.", "001" + account + key + "PIN=", {"key", "account"}},
        {"69.", "001" + account + "S" + key + "PIN?", {"key mode", "key", "key index", "account"}},
        {"6H.", "00461" + account + "0", {"key mode", "key index", "account"}},
        {"6A.", "1111", {"stages"}},
        {"6B.",
         "13001155PIN=00000100000"
         "1S" +
             key + account,
         {"entry mode", "amount", "key index", "key mode", "key", "account"}},
        {"40.", "12" + key + "ABCDEF12" + key + "00", {"index", "key", "extra"}},
        {"53.", "30M", {"key index", "request"}},
        {"42.", "2012" + key + key, {"form", "key", "data"}},
        {"44.", "0" + key + "ABCDEFGH", {"key and data"}},
        {"64.", "01" + key + "x", {"key mode", "key and data"}},
        {"6E.", "000101" + key + "0002xy", {"chunk", "last chunk", "key mode", "key and data"}},
        {"6E.", "0101yz", {"data"}},
    };
    std::set<std::string> checked;
    for (const Case& c : cases) {
        const std::string message = c.id + c.payload;
        const Message* entry =
            Find(reinterpret_cast<const uint8_t*>(message.data()), message.size());
        ASSERT_NE(entry, nullptr) << c.id;
        checked.insert(entry->name);
        for (const char* name : c.fields) {
            EXPECT_NE(FieldText(kTo, c.id, c.payload, name), "") << c.id << " " << name;
            checked.insert(name);
        }
    }
    // The table covers every name in the simulator's sources (fields and message names).
    const std::regex asked(
        R"re(\b(?:Text|Char|Number)\("([^"]+)"\)|Message\(\) [!=]= "([^"]+)")re");
    size_t names = 0;
    for (const auto& file :
         std::filesystem::directory_iterator(ORN_SOURCE_DIR + std::string("/tools/sim"))) {
        std::ifstream in(file.path());
        std::stringstream text;
        text << in.rdbuf();
        const std::string source = text.str();
        for (std::sregex_iterator it(source.begin(), source.end(), asked), end; it != end; ++it) {
            const std::string name = (*it)[1].matched ? (*it)[1] : (*it)[2];
            EXPECT_EQ(checked.count(name), 1u) << name << " in " << file.path().filename();
            ++names;
        }
    }
    EXPECT_GT(names, 40u);
}

}  // namespace
}  // namespace orn::catalogue
