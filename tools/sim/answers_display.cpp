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
#include "terminal.h"

namespace orn::sim {

namespace {

using Answer = std::optional<std::string>;

constexpr char kItemEnd = 0x1E;
constexpr char kItemData = 0x1C;
constexpr char kDefaultKey = '1';
const char* const kDefaultText = "1234";
// Tag of the keypad answers waiting out the keypad delay, which a cancel withdraws.
const char* const kKeypadAnswer = "keypad";

// The amount of a confirmation as the terminal shows it: the fifteen digits as cents.
std::string ShownAmount(const std::string& digits) {
    const unsigned long long cents = std::strtoull(digits.c_str(), nullptr, 10);
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%02llu", cents / 100, cents % 100);
    return text;
}

char NextKey(TerminalModel& model) {
    return model.TakeKey().value_or(kDefaultKey);
}

// "58." display form: mode "00" shows the lines, "10" shows them and waits for a key.
Answer AnswerDisplay(TerminalModel& model, const RequestFields& r) {
    if (r.Text("first line").empty()) return std::string("1");
    const int count = r.Char("lines") - '0';
    const int first = r.Char("first line") - '0';
    if (count < 1 || first < 1 || first + count - 1 > static_cast<int>(TerminalModel::kLines))
        return std::string("1");
    model.Write(static_cast<unsigned>(first), static_cast<unsigned>(count), r.Text("text"));
    if (r.Char("mode") == '1') {
        if (!model.BeginInput(InputKind::Keys, "58.")) return std::nullopt;
        return std::string("0") + NextKey(model);
    }
    return std::string("0");
}

// Text entry ("58." modes 2, 3, 5, 6 and "68."): the answer carries a length field when the
// request gives a maximum length.
Answer AnswerTextEntry(TerminalModel& model, const std::string& id, const RequestFields& r) {
    if (r.Text("stored prompt").size() < 2) return std::string("1");
    const std::string prompt = r.Text("prompt");
    if (!model.BeginInput(InputKind::Text, id,
                          prompt.empty()
                              ? std::vector<std::string>{"prompt " + r.Text("stored prompt")}
                              : std::vector<std::string>{prompt}))
        return std::nullopt;
    std::string text = model.TakeText().value_or(kDefaultText);
    const std::string maxField = r.Text("maximum length");
    if (maxField.empty()) return "0" + text;  // no length field in the answer either
    unsigned long maxLength = std::strtoul(maxField.c_str(), nullptr, 16);
    if (text.size() > maxLength) text.resize(maxLength);
    char length[8];
    std::snprintf(length, sizeof length, "%02X", static_cast<unsigned>(text.size()));
    return "0" + std::string(length) + text;
}

// "59.": "0" clears the display, "1".."4" one line.
Answer AnswerClear(TerminalModel& model, const RequestFields& r) {
    const int line = r.Char("line") - '0';
    if (line < 0 || line > static_cast<int>(TerminalModel::kLines)) return std::string("1");
    model.Clear(static_cast<unsigned>(line));
    return std::string("0");
}

// "6C.": four titles and the items, each ended by 0x1E; an item with data carries 0x1C and four
// hex digits before its end.
Answer AnswerScrollList(TerminalModel& model, const RequestFields& r) {
    const std::string list = r.Text("titles and items");
    std::vector<std::string> pieces;
    for (size_t start = 0, end; (end = list.find(kItemEnd, start)) != std::string::npos;
         start = end + 1)
        pieces.push_back(list.substr(start, end - start));
    if (pieces.size() < 5) return std::string("1");  // four titles and at least one item
    std::vector<std::string> items;
    for (size_t i = 4; i < pieces.size(); ++i)
        items.push_back(pieces[i].substr(0, pieces[i].find(kItemData)));
    model.ShowScrollList({pieces.begin(), pieces.begin() + 4}, items, 1);
    if (!model.BeginInput(InputKind::Selection, "6C.")) return std::nullopt;
    const int selection = model.TakeSelection().value_or(1);
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

void SetNextKey(TerminalModel& terminal, char key) {
    terminal.QueueKey(key);
}

void SetNextKey(char key) {
    SetNextKey(*CurrentTerminal(), key);
}

void SetNextText(TerminalModel& terminal, const std::string& text) {
    terminal.QueueText(text);
}

void SetNextText(const std::string& text) {
    SetNextText(*CurrentTerminal(), text);
}

void SetNextScrollSelection(TerminalModel& terminal, int selection) {
    terminal.QueueSelection(selection);
}

void SetNextScrollSelection(int selection) {
    SetNextScrollSelection(*CurrentTerminal(), selection);
}

void SetKeypadDelay(TerminalModel& terminal, int ms) {
    terminal.SetKeypadDelay(ms);
}

void SetKeypadDelay(int ms) {
    SetKeypadDelay(*CurrentTerminal(), ms);
}

void ResetKeypad(TerminalModel& terminal) {
    terminal.ResetKeypad();
}

void ResetKeypad() {
    ResetKeypad(*CurrentTerminal());
}

std::vector<std::string> DisplayedLines(const TerminalModel& terminal) {
    return terminal.DisplayBytes();
}

std::vector<std::string> DisplayedLines() {
    return DisplayedLines(*CurrentTerminal());
}

Answer AnswerAfterKeypadDelay(TerminalSimulator& sim, const Request& r, Answer answer) {
    const int delayMs = sim.Terminal().KeypadDelay();
    if (!answer || delayMs == 0) return answer;
    sim.SendFrameLater(r.id, *answer, delayMs, kKeypadAnswer);
    return std::nullopt;
}

// Display, function keys, clearing, amount confirmation ("0" and the key), keyboard check,
// text entry and scroll list. The keypad prompts answer through `keypad`, which holds the answer
// back for the keypad delay; a cancel withdraws an answer still held back.
void InstallDisplayAnswers(TerminalSimulator& sim) {
    TerminalModel& model = sim.Terminal();
    auto keypad = [&sim](const Request& r, Answer answer) {
        return AnswerAfterKeypadDelay(sim, r, std::move(answer));
    };
    sim.SetHandler("58.", [keypad, &model](const Request& request) -> Answer {
        const RequestFields r(request);
        const char display = r.Char("mode"), entry = r.Char("entry mode");
        if (display == '0') return AnswerDisplay(model, r);
        if (display == '1') return keypad(request, AnswerDisplay(model, r));  // waits for a key
        if (entry == '2' || entry == '3' || entry == '5' || entry == '6')
            return keypad(request, AnswerTextEntry(model, "58.", r));
        return std::string("1");
    });
    sim.SetHandler("68.", [keypad, &model](const Request& r) {
        return keypad(r, AnswerTextEntry(model, "68.", RequestFields(r)));
    });
    sim.SetHandler("59.",
                   [&model](const Request& r) { return AnswerClear(model, RequestFields(r)); });
    sim.SetHandler("57.", [keypad, &model](const Request& request) {
        const RequestFields r(request);
        if (!model.BeginInput(InputKind::Keys, "57.", {r.Text("text")},
                              ShownAmount(r.Text("amount"))))
            return Answer();
        return keypad(request, Answer("0" + std::string(1, NextKey(model))));
    });
    sim.SetHandler("5F.", [](const Request&) { return Answer("0"); });
    sim.SetHandler("6C.", [keypad, &model](const Request& r) {
        return keypad(r, AnswerScrollList(model, RequestFields(r)));
    });
    // Both the "50." cancel and the quick cancel "72" withdraw it; "72" itself is only ACKed.
    for (const char* id : {"50.", "72"}) {
        const bool answered = id[0] == '5';
        TerminalSimulator::Handler previous = sim.GetHandler(id);
        sim.SetHandler(id, [&sim, previous, answered](const Request& request) -> Answer {
            if (sim.DropScheduled(kKeypadAnswer) > 0) sim.Terminal().EndInput();
            if (previous) return previous(request);
            return answered ? Answer("0") : Answer();
        });
    }
}

}  // namespace orn::sim
