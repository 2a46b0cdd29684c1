// Default answers for the display, keypad, text entry and scroll list messages, with a screen
// that remembers what was written and a keypad whose input tests (or ornsim users) script.
#include "answers_display.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "answers.h"
#include "sim.h"

namespace orn::sim {

namespace {

using Answer = std::optional<std::string>;

constexpr size_t kLines = 4;
constexpr unsigned kColumns = 16;
constexpr char kEscape = 0x1B;
constexpr char kItemEnd = 0x1E;
constexpr char kItemData = 0x1C;
constexpr char kDefaultKey = '1';
const char* const kDefaultText = "1234";
// Tag of the keypad answers waiting out the keypad delay, which a cancel withdraws.
const char* const kKeypadAnswer = "keypad";

struct Keypad {
    std::mutex mutex;
    std::deque<char> keys;
    std::deque<std::string> texts;
    std::deque<int> selections;
    int delayMs = 0;
    std::vector<std::string> screen = std::vector<std::string>(kLines, std::string(kColumns, ' '));
};

Keypad& State() {
    static Keypad keypad;
    return keypad;
}

template <typename T>
T TakeNext(std::deque<T>& queue, T fallback) {
    if (queue.empty()) return fallback;
    T next = queue.front();
    queue.pop_front();
    return next;
}

char NextKey() {
    std::lock_guard<std::mutex> lock(State().mutex);
    return TakeNext(State().keys, kDefaultKey);
}

// Bytes that make up `columns` display columns from `pos` on (an escape pair is one column).
size_t ColumnBytes(const std::string& text, size_t pos, unsigned columns) {
    size_t at = pos;
    for (unsigned used = 0; used < columns && at < text.size(); ++used)
        at += text[at] == kEscape && at + 1 < text.size() ? 2 : 1;
    return at - pos;
}

// "58." display form: mode "00" shows the lines, "10" shows them and waits for a key.
Answer AnswerDisplay(const RequestFields& r) {
    if (r.Text("first line").empty()) return std::string("1");
    const int count = r.Char("lines") - '0';
    const int first = r.Char("first line") - '0';
    if (count < 1 || first < 1 || first + count - 1 > static_cast<int>(kLines))
        return std::string("1");
    {
        const std::string text = r.Text("text");
        std::lock_guard<std::mutex> lock(State().mutex);
        size_t at = 0;
        for (int line = first; line < first + count; ++line) {
            size_t bytes = ColumnBytes(text, at, kColumns);
            State().screen[static_cast<size_t>(line - 1)] = text.substr(at, bytes);
            at += bytes;
        }
    }
    if (r.Char("mode") == '1') return std::string("0") + NextKey();
    return std::string("0");
}

// Text entry ("58." modes 2, 3, 5, 6 and "68."): the answer carries a length field when the
// request gives a maximum length.
Answer AnswerTextEntry(const RequestFields& r) {
    if (r.Text("stored prompt").size() < 2) return std::string("1");
    std::string text;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        text = TakeNext(State().texts, std::string(kDefaultText));
    }
    const std::string maxField = r.Text("maximum length");
    if (maxField.empty()) return "0" + text;  // no length field in the answer either
    unsigned long maxLength = std::strtoul(maxField.c_str(), nullptr, 16);
    if (text.size() > maxLength) text.resize(maxLength);
    char length[8];
    std::snprintf(length, sizeof length, "%02X", static_cast<unsigned>(text.size()));
    return "0" + std::string(length) + text;
}

// "59.": "0" clears the display, "1".."4" one line.
Answer AnswerClear(const RequestFields& r) {
    std::lock_guard<std::mutex> lock(State().mutex);
    const int line = r.Char("line") - '0';
    if (line < 0 || line > static_cast<int>(kLines)) return std::string("1");
    for (size_t i = 0; i < kLines; ++i)
        if (line == 0 || static_cast<size_t>(line) == i + 1)
            State().screen[i].assign(kColumns, ' ');
    return std::string("0");
}

// "6C.": four titles and the items, each ended by 0x1E; an item with data carries 0x1C and four
// hex digits before its end.
Answer AnswerScrollList(const RequestFields& r) {
    const std::string list = r.Text("titles and items");
    std::vector<std::string> pieces;
    for (size_t start = 0, end; (end = list.find(kItemEnd, start)) != std::string::npos;
         start = end + 1)
        pieces.push_back(list.substr(start, end - start));
    if (pieces.size() < 5) return std::string("1");  // four titles and at least one item
    int selection;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        selection = TakeNext(State().selections, 1);
    }
    char answer[16];
    std::snprintf(answer, sizeof answer, "0%02d", selection % 100);
    std::string reply = answer;
    size_t item = 4 + static_cast<size_t>(selection) - 1;
    if (selection >= 1 && item < pieces.size()) {
        size_t data = pieces[item].find(kItemData);
        if (data != std::string::npos) reply += pieces[item].substr(data + 1, 4);
    }
    return reply;
}

}  // namespace

void SetNextKey(char key) {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().keys.push_back(key);
}

void SetNextText(const std::string& text) {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().texts.push_back(text);
}

void SetNextScrollSelection(int selection) {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().selections.push_back(selection);
}

void SetKeypadDelay(int ms) {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().delayMs = ms > 0 ? ms : 0;
}

void ResetKeypad() {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().delayMs = 0;
    State().keys.clear();
    State().texts.clear();
    State().selections.clear();
    for (auto& line : State().screen) line.assign(kColumns, ' ');
}

std::vector<std::string> DisplayedLines() {
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().screen;
}

// Display, function keys, clearing, amount confirmation ("0" and the key), keyboard check,
// text entry and scroll list. The keypad prompts answer through `keypad`, which holds the answer
// back for the keypad delay; a cancel withdraws an answer still held back.
void InstallDisplayAnswers(TerminalSimulator& sim) {
    auto keypad = [&sim](const Request& r, Answer answer) -> Answer {
        int delayMs;
        {
            std::lock_guard<std::mutex> lock(State().mutex);
            delayMs = State().delayMs;
        }
        if (!answer || delayMs == 0) return answer;
        sim.SendFrameLater(r.id, *answer, delayMs, kKeypadAnswer);
        return std::nullopt;
    };
    sim.SetHandler("58.", [keypad](const Request& request) -> Answer {
        const RequestFields r(request);
        const char display = r.Char("mode"), entry = r.Char("entry mode");
        if (display == '0') return AnswerDisplay(r);
        if (display == '1') return keypad(request, AnswerDisplay(r));  // waits for a key
        if (entry == '2' || entry == '3' || entry == '5' || entry == '6')
            return keypad(request, AnswerTextEntry(r));
        return std::string("1");
    });
    sim.SetHandler(
        "68.", [keypad](const Request& r) { return keypad(r, AnswerTextEntry(RequestFields(r))); });
    sim.SetHandler("59.", [](const Request& r) { return AnswerClear(RequestFields(r)); });
    sim.SetHandler("57.", [keypad](const Request& r) {
        return keypad(r, Answer("0" + std::string(1, NextKey())));
    });
    sim.SetHandler("5F.", [](const Request&) { return Answer("0"); });
    sim.SetHandler("6C.", [keypad](const Request& r) {
        return keypad(r, AnswerScrollList(RequestFields(r)));
    });
    // Both the "50." cancel and the quick cancel "72" withdraw it; "72" itself is only ACKed.
    for (const char* id : {"50.", "72"}) {
        const bool answered = id[0] == '5';
        TerminalSimulator::Handler previous = sim.GetHandler(id);
        sim.SetHandler(id, [&sim, previous, answered](const Request& request) -> Answer {
            sim.DropScheduled(kKeypadAnswer);
            if (previous) return previous(request);
            return answered ? Answer("0") : Answer();
        });
    }
}

}  // namespace orn::sim
