// The answers of the prompts are wrapped: with hand input on, the wrapper keeps the request and
// sends nothing; Enter runs the wrapped answer again with the typed input queued and sends what
// it gives. Every answer of the terminal is wrapped with one lock, so an answer run for Enter
// (on the thread of whoever pressed it) never overlaps one on the simulator's I/O thread.
#include "cardholder.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "answers.h"
#include "commands.h"
#include "link/catalogue.h"
#include "sim.h"
#include "terminal.h"

namespace orn::sim {

namespace {

constexpr size_t kMaxPin = 12;
constexpr size_t kMinPin = 4;
constexpr size_t kMaxTyped = 32;
// The keypad delay's tag on held answers: a prompt waiting for keys has no timed answer.
const char* const kKeypadAnswer = "keypad";

struct Waiting {
    Request request;
    InputKind kind;
    TerminalSimulator::Handler answer;  // the wrapped answer
};

struct Hands {
    std::mutex handlers;  // held while any wrapped answer runs
    std::mutex mu;        // guards the rest
    bool installed = false;
    bool on = false;
    std::optional<Waiting> waiting;
    std::string typed;
};

Hands& HandsOf(TerminalSimulator& sim) {
    return sim.Terminal().Part<Hands>();
}

// Which input a request waits for; None for the messages answered at once.
InputKind PromptKind(const Request& r) {
    const std::string id = r.id;
    if (id == "57.") return InputKind::Keys;
    if (id == "58.") {
        const char mode = r.payload.empty() ? '0' : r.payload[0];
        return mode == '1' ? InputKind::Keys : mode == '0' ? InputKind::None : InputKind::Text;
    }
    if (id == "68.") return InputKind::Text;
    if (id == "6C.") return InputKind::Selection;
    if (id == "41." || id == "69." || id == "6H." || id == "6B.") return InputKind::Pin;
    return InputKind::None;
}

void Install(TerminalSimulator& sim, Hands& hands) {
    std::set<std::string> ids;
    for (const catalogue::Message& m : catalogue::Messages()) ids.insert(m.id);
    for (const std::string& id : ids) {
        TerminalSimulator::Handler answer = sim.GetHandler(id);
        if (!answer) continue;
        const bool cancel = id == "50." || id == "72";
        sim.SetHandler(id, [&sim, &hands, answer, cancel](const Request& r) {
            std::lock_guard<std::mutex> running(hands.handlers);
            std::optional<std::string> reply = answer(r);
            std::lock_guard<std::mutex> lock(hands.mu);
            const InputKind kind = PromptKind(r);
            if (cancel) {
                if (hands.waiting) sim.Terminal().EndInput(hands.waiting->request.id);
                hands.waiting.reset();
            } else if (hands.on && kind != InputKind::None) {
                sim.DropScheduled(kKeypadAnswer);
                hands.waiting = Waiting{r, kind, answer};
                hands.typed.clear();
                // The answer began the input with its prompts, unless it ended it again.
                if (sim.Terminal().Screen().input == InputKind::None)
                    sim.Terminal().BeginInput(kind, r.id);
                sim.Terminal().SetPinDigits(0);  // none typed yet, whatever the answer took
                return std::optional<std::string>();
            }
            return reply;
        });
    }
}

// Answers the waiting prompt with `reply` and ends the wait. Under hands.mu.
void Answer(TerminalSimulator& sim, Hands& hands, const std::optional<std::string>& reply) {
    const std::string id = hands.waiting->request.id;
    hands.waiting.reset();
    hands.typed.clear();
    sim.Terminal().EndInput(id);
    // As a handler's answer would go: after the answer delay, through the status rewrites.
    if (reply) sim.SendFrameLater(id, *reply, 0);
}

bool IsDigit(const std::string& key) {
    return key.size() == 1 && key[0] >= '0' && key[0] <= '9';
}

}  // namespace

void SetHandInput(TerminalSimulator& sim, bool on) {
    Hands& hands = HandsOf(sim);
    std::lock_guard<std::mutex> running(hands.handlers);
    std::lock_guard<std::mutex> lock(hands.mu);
    if (!hands.installed) Install(sim, hands);
    hands.installed = true;
    hands.on = on;
}

bool HandInput(TerminalSimulator& sim) {
    Hands& hands = HandsOf(sim);
    std::lock_guard<std::mutex> lock(hands.mu);
    return hands.on;
}

std::string PressKey(TerminalSimulator& sim, const std::string& key) {
    const bool function = key.size() == 1 && key[0] >= 'A' && key[0] <= 'C';
    if (!IsDigit(key) && !function && key != "enter" && key != "clear" && key != "cancel")
        return "error unknown key: " + key.substr(0, 20);
    Hands& hands = HandsOf(sim);
    std::lock_guard<std::mutex> running(hands.handlers);
    std::lock_guard<std::mutex> lock(hands.mu);
    if (!hands.waiting) return "error no prompt is waiting for keys";
    Waiting& w = *hands.waiting;
    TerminalModel& terminal = sim.Terminal();
    if (key == "cancel") {
        Answer(sim, hands, std::string(1, kCardholderCancelStatus));
        return "ok";
    }
    if (w.kind == InputKind::Keys) {
        if (key == "clear") return "ok";
        terminal.QueueKey(key == "enter" ? 'E' : key[0]);
        Answer(sim, hands, w.answer(w.request));
        return "ok";
    }
    if (key == "clear") {
        hands.typed.clear();
    } else if (key != "enter") {
        if (w.kind != InputKind::Text && !IsDigit(key)) return "error digits only here";
        const size_t limit = w.kind == InputKind::Pin ? kMaxPin : kMaxTyped;
        if (hands.typed.size() >= limit) return "error no more than " + std::to_string(limit);
        hands.typed += key;
    } else if (w.kind == InputKind::Pin) {
        if (hands.typed.size() < kMinPin) return "error a PIN is 4 to 12 digits";
        terminal.QueuePin(hands.typed);
        Answer(sim, hands, w.answer(w.request));
        return "ok";
    } else if (w.kind == InputKind::Selection) {
        const int item = std::atoi(hands.typed.c_str());
        if (item < 1) return "error type the item's number";
        terminal.QueueSelection(item);
        Answer(sim, hands, w.answer(w.request));
        return "ok";
    } else {
        terminal.QueueText(hands.typed);
        Answer(sim, hands, w.answer(w.request));
        return "ok";
    }
    if (w.kind == InputKind::Pin) terminal.SetPinDigits(hands.typed.size());
    return "ok";
}

void ForgetWaitingInput(TerminalSimulator& sim) {
    Hands& hands = HandsOf(sim);
    std::lock_guard<std::mutex> lock(hands.mu);
    if (!hands.waiting) return;
    const std::string id = hands.waiting->request.id;
    hands.waiting.reset();
    hands.typed.clear();
    sim.Terminal().EndInput(id);
}

std::string TypedInput(TerminalSimulator& sim) {
    Hands& hands = HandsOf(sim);
    std::lock_guard<std::mutex> lock(hands.mu);
    if (!hands.waiting) return {};
    if (hands.waiting->kind == InputKind::Pin) return std::string(hands.typed.size(), '*');
    return hands.typed;
}

}  // namespace orn::sim
