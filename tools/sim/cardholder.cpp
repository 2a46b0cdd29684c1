// The answers are wrapped: with hand input on, a prompt's answer shows the prompt and stops
// there, taking nothing (TerminalModel::BeginInput says the input is not at hand); the wrapper
// keeps the request. Enter enters the typed input and runs the answer once, and it sends what
// that gives. Every answer of the terminal is wrapped with one lock, so an answer run for Enter
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

struct Waiting {
    Request request;
    InputKind kind;
    TerminalSimulator::Handler answer;  // the wrapped answer
};

struct Hands {
    std::mutex handlers;  // held while any wrapped answer runs
    std::mutex mu;        // guards the rest
    bool installed = false;
    std::optional<Waiting> waiting;
    std::string typed;
};

Hands& HandsOf(TerminalSimulator& sim) {
    return sim.Terminal().Part<Hands>();
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
            if (cancel) {
                if (hands.waiting) sim.Terminal().EndInput(hands.waiting->request.id);
                hands.waiting.reset();
                return reply;
            }
            const InputKind kind = sim.Terminal().WaitingForHands(r.id);
            if (!reply && kind != InputKind::None) {
                hands.waiting = Waiting{r, kind, answer};
                hands.typed.clear();
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

// The typed input entered: the waiting prompt's answer runs once with it at hand, and what it
// gives goes. Under hands.mu.
void Enter(TerminalSimulator& sim, Hands& hands, const std::string& typed) {
    TerminalModel& terminal = sim.Terminal();
    terminal.EnterInput(typed);
    const std::optional<std::string> reply = hands.waiting->answer(hands.waiting->request);
    terminal.EnterInput(std::nullopt);  // whatever the answer did not take
    Answer(sim, hands, reply);
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
    sim.Terminal().SetHandInput(on);
}

bool HandInput(TerminalSimulator& sim) {
    return sim.Terminal().HandInput();
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
    if (key == "cancel") {
        Answer(sim, hands, std::string(1, kCardholderCancelStatus));
        return "ok";
    }
    std::optional<std::string> entered;  // what Enter (or a key at a key prompt) hands over
    if (w.kind == InputKind::Keys) {
        if (key == "clear") return "ok";
        entered = key == "enter" ? "E" : key;
    } else if (key == "clear") {
        hands.typed.clear();
    } else if (key != "enter") {
        if (w.kind != InputKind::Text && !IsDigit(key)) return "error digits only here";
        const size_t limit = w.kind == InputKind::Pin ? kMaxPin : kMaxTyped;
        if (hands.typed.size() >= limit) return "error no more than " + std::to_string(limit);
        hands.typed += key;
    } else if (w.kind == InputKind::Pin && hands.typed.size() < kMinPin) {
        return "error a PIN is 4 to 12 digits";
    } else if (w.kind == InputKind::Selection && std::atoi(hands.typed.c_str()) < 1) {
        return "error type the item's number";
    } else {
        entered = hands.typed;
    }
    if (entered) {
        Enter(sim, hands, *entered);
    } else if (w.kind == InputKind::Pin) {
        sim.Terminal().SetPinDigits(hands.typed.size());
    }
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
