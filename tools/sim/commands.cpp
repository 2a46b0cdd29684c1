#include "commands.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "answers.h"
#include "answers_cards.h"
#include "answers_display.h"
#include "cardholder.h"
#include "link/catalogue.h"
#include "sim.h"
#include "terminal.h"

namespace orn::sim {

namespace {

constexpr int kDefaultWaitForMs = 30000;
constexpr long kMaxMs = 600000;

struct Args {
    std::vector<std::string> words;  // after the command name
    std::string rest;                // everything after the command name, trimmed
};

using Action = std::string (*)(CommandRunner&, const Args&);

struct Command {
    const char* name;
    const char* usage;
    const char* help;
    size_t minWords;
    size_t maxWords;
    Action run;
};

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return {};
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool Number(const std::string& text, long min, long max, int* value) {
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || n < min || n > max) return false;
    *value = static_cast<int>(n);
    return true;
}

std::string Range(const char* what, long min, long max) {
    return std::string("error ") + what + " must be " + std::to_string(min) + ".." +
           std::to_string(max);
}

// The answers to keypad prompts, which the cardholder's cancel key ends. A "58." display
// answer of a lone status digit is a plain display, not a prompt.
bool IsPromptAnswer(const std::string& id, const std::string& payload) {
    static const char* const kPrompts[] = {"57.", "68.", "6C.", "31.", "41.",
                                           "69.", "6H.", "6B.", "67."};
    const std::string upper = Upper(id);
    if (upper == "58.") return payload.size() > 1;
    return std::find(std::begin(kPrompts), std::end(kPrompts), upper) != std::end(kPrompts);
}

// A message identifier as the terminal knows it ("6B." for "6B", "6b." or "6B."; "72" for "72"
// or "72."), empty for one the catalogue does not hold.
std::string MessageId(const std::string& text) {
    std::string bare = Upper(text);
    if (!bare.empty() && bare.back() == '.') bare.pop_back();
    for (const catalogue::Message& message : catalogue::Messages()) {
        std::string id = message.id;
        if (id.back() == '.') id.pop_back();
        if (id == bare) return message.id;
    }
    return {};
}

std::string UnknownMessage(const std::string& text) {
    return "error unknown message: " + text;
}

bool IsTextAnswer(const std::string& id, const std::string& payload) {
    return !IsBinaryId(id) && !payload.empty();
}

// ---- the commands ---------------------------------------------------------------------------

std::string Swipe(CommandRunner& r, const Args& a) {
    SwipeCard card = DefaultSwipeCard();
    if (!a.words.empty()) {
        card.track2 = a.words[0];
        // Track 1 carries the cardholder's name, spaces and all.
        size_t at = a.rest.find(a.words[0]) + a.words[0].size();
        card.track1 = Trim(a.rest.substr(at));
    }
    SetSwipeCard(r.sim().Terminal(), card);
    return "ok " + std::to_string(Swipe(r.sim()));
}

std::string AutoSwipe(CommandRunner& r, const Args& a) {
    if (a.words[0] != "on" && a.words[0] != "off") return "error auto-swipe takes on or off";
    SetAutoSwipe(r.sim().Terminal(), a.words[0] == "on");
    return "ok";
}

std::string Insert(CommandRunner& r, const Args&) {
    InsertCard(r.sim());
    return "ok";
}

std::string Remove(CommandRunner& r, const Args&) {
    RemoveCard(r.sim());
    return "ok";
}

std::string CardAtr(CommandRunner& r, const Args& a) {
    const auto atr = FromHex(a.words[0]);
    if (!atr || atr->empty() || atr->size() > 33)
        return "error the answer to reset is 1 to 33 bytes in hexadecimal";
    int type = 1;
    if (a.words.size() > 1 && !Number(a.words[1], 0, 255, &type)) return Range("the type", 0, 255);
    SetCardAtr(r.sim().Terminal(), static_cast<uint8_t>(type), *atr);
    return "ok";
}

std::string EmvSend(CommandRunner& r, const Args& a) {
    const auto data = FromHex(a.words[1]);
    if (!data) return "error the data is bytes in hexadecimal";
    return "ok " + std::to_string(PushEmvData(r.sim(), a.words[0], *data));
}

std::string Keys(CommandRunner& r, const Args& a) {
    r.sim().Terminal().QueueText(a.rest);
    return "ok";
}

std::string Pin(CommandRunner& r, const Args& a) {
    const std::string& pin = a.words[0];
    if (pin.size() < 4 || pin.size() > 12 ||
        !std::all_of(pin.begin(), pin.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return "error a PIN is 4 to 12 digits";
    r.sim().Terminal().QueuePin(pin);
    return "ok";
}

std::string Select(CommandRunner& r, const Args& a) {
    int n;
    if (!Number(a.words[0], 1, 99, &n)) return Range("the position", 1, 99);
    r.sim().Terminal().QueueSelection(n);
    return "ok";
}

std::string FunctionKey(CommandRunner& r, const Args& a) {
    const std::string& key = a.words[0];
    if (key.size() != 1 || !std::isprint(static_cast<unsigned char>(key[0])))
        return "error a key is one character";
    r.sim().Terminal().QueueKey(key[0]);
    return "ok";
}

std::string Key(CommandRunner& r, const Args& a) {
    return PressKey(r.sim(), a.words[0]);
}

std::string Hands(CommandRunner& r, const Args& a) {
    if (a.words[0] != "on" && a.words[0] != "off") return "error hand-input takes on or off";
    SetHandInput(r.sim(), a.words[0] == "on");
    return "ok";
}

std::string Cancel(CommandRunner& r, const Args&) {
    // A prompt waiting for keys takes the key; otherwise the next prompt's answer is rewritten.
    if (PressKey(r.sim(), "cancel") == "ok") return "ok";
    r.sim().RewriteNextAnswer(
        IsPromptAnswer,
        [](const std::string&) {
            return std::optional<std::string>(std::string(1, kCardholderCancelStatus));
        },
        true);
    return "ok";
}

std::string NoAnswer(CommandRunner& r, const Args&) {
    r.sim().RewriteNextAnswer([](const std::string&, const std::string&) { return true; },
                              [](const std::string&) { return std::optional<std::string>(); });
    return "ok";
}

std::string Status(CommandRunner& r, const Args& a) {
    int n;
    if (!Number(a.words[0], 0, 9, &n)) return Range("the status", 0, 9);
    const std::string only = a.words.size() > 1 ? MessageId(a.words[1]) : std::string();
    if (a.words.size() > 1 && only.empty()) return UnknownMessage(a.words[1]);
    auto match = [only](const std::string& id, const std::string& payload) {
        return IsTextAnswer(id, payload) && (only.empty() || Upper(id) == only);
    };
    r.sim().RewriteNextAnswer(match, [n](const std::string& payload) {
        std::string out = payload;
        out[0] = static_cast<char>('0' + n);
        return std::optional<std::string>(out);
    });
    return "ok";
}

std::string PowerCycle(CommandRunner& r, const Args&) {
    r.sim().PowerCycle();
    ForgetWaitingInput(r.sim());
    return "ok";
}

std::string Unplug(CommandRunner& r, const Args&) {
    r.sim().Unplug();
    ForgetWaitingInput(r.sim());
    return "ok";
}

std::string Replug(CommandRunner& r, const Args&) {
    return r.sim().Replug() ? "ok" : "error the device could not be recreated";
}

std::string Acks(CommandRunner& r, const Args& a) {
    const std::string& mode = a.words[0];
    if (mode != "normal" && mode != "drop" && mode != "withhold")
        return "error ack-mode takes normal, drop or withhold";
    r.sim().SetAckMode(mode == "normal" ? AckMode::Normal : AckMode::Withhold, mode == "drop");
    return "ok";
}

std::string Chunks(CommandRunner& r, const Args& a) {
    int size, gap = 2;
    if (!Number(a.words[0], 0, 4096, &size)) return Range("the piece size", 0, 4096);
    if (a.words.size() > 1 && !Number(a.words[1], 0, 1000, &gap)) return Range("the gap", 0, 1000);
    r.sim().SetChunking(static_cast<size_t>(size), gap);
    return "ok";
}

std::string Coalesce(CommandRunner& r, const Args& a) {
    if (a.words[0] != "on" && a.words[0] != "off") return "error coalesce takes on or off";
    r.sim().SetCoalesce(a.words[0] == "on");
    return "ok";
}

// Counted faults and delays share a shape: one number in a range, one setter.
template <void (*Apply)(TerminalSimulator&, int), long Max>
std::string Counted(CommandRunner& r, const Args& a) {
    int n = 1;
    if (!a.words.empty() && !Number(a.words[0], 0, Max, &n)) return Range("the value", 0, Max);
    Apply(r.sim(), n);
    return "ok";
}

void ApplyNak(TerminalSimulator& sim, int n) {
    sim.NakNextFrames(n);
}
// A lost ACK: the terminal took the frame and answers it all the same.
void ApplyDropAck(TerminalSimulator& sim, int n) {
    sim.WithholdNextAcks(n, true);
}
// Withheld: the terminal neither acknowledges nor answers.
void ApplyWithhold(TerminalSimulator& sim, int n) {
    sim.WithholdNextAcks(n);
}
void ApplyAckDelay(TerminalSimulator& sim, int ms) {
    sim.SetAckDelay(ms);
}
void ApplyAnswerDelay(TerminalSimulator& sim, int ms) {
    sim.SetResponseDelay(ms);
}
void ApplyBadLrc(TerminalSimulator& sim, int n) {
    sim.CorruptNextFrames(n);
}
void ApplySilent(TerminalSimulator& sim, int on) {
    sim.SetSilent(on != 0);
}
void ApplyKeypadDelay(TerminalSimulator& sim, int ms) {
    sim.Terminal().SetKeypadDelay(ms);
}

std::string AckOnly(CommandRunner& r, const Args& a) {
    const std::string id = MessageId(a.words[0]);
    if (id.empty()) return UnknownMessage(a.words[0]);
    r.sim().SetHandler(id, nullptr);
    return "ok";
}

std::string PowerUp(CommandRunner& r, const Args&) {
    r.sim().TriggerPowerUp();
    return "ok";
}

std::string Frames(CommandRunner& r, const Args& a) {
    const std::string id = MessageId(a.words[0]);
    if (id.empty()) return UnknownMessage(a.words[0]);
    size_t count = 0;
    for (const Frame& frame : r.sim().Snapshot().frames) count += Upper(frame.id) == id;
    return "ok " + std::to_string(count);
}

std::string Clear(CommandRunner& r, const Args&) {
    r.sim().ClearRecord();
    return "ok";
}

const char* InputName(InputKind kind) {
    switch (kind) {
        case InputKind::Keys:
            return "a key";
        case InputKind::Pin:
            return "the PIN";
        case InputKind::Card:
            return "a card";
        case InputKind::Selection:
            return "a selection";
        case InputKind::Text:
            return "text";
        case InputKind::None:
            break;
    }
    return "nothing";
}

// The display as it stands, framed, what the terminal waits for, its link and faults, its card
// slot and keypad: all the face shows. The console gets one line each; a control client gets
// the display lines between bars and the rest on its one line.
std::string Screen(CommandRunner& r, const Args&) {
    const ScreenState screen = r.sim().Screen();
    std::vector<std::string> lines;
    if (screen.scroll) {
        for (const std::string& title : screen.scroll->titles) lines.push_back(title);
        for (size_t i = 0; i < screen.scroll->items.size(); ++i)
            lines.push_back((static_cast<int>(i) + 1 == screen.scroll->selection ? "> " : "  ") +
                            screen.scroll->items[i]);
    } else {
        for (const DisplayLine& line : screen.lines) lines.push_back(line.text);
    }
    std::string waits = std::string("waiting for ") + InputName(screen.input);
    if (screen.input != InputKind::None) waits += " (" + screen.inputCommand + ")";
    for (const std::string& prompt : screen.prompts) waits += " \"" + prompt + "\"";
    if (!screen.amount.empty()) waits += " amount " + screen.amount;
    if (screen.input == InputKind::Pin)
        waits += ", " + std::to_string(screen.pinDigits) + " digits";
    else if (const std::string typed = TypedInput(r.sim()); !typed.empty())
        waits += ", typed " + typed;
    const std::string link = std::string("link ") + LinkStateName(screen.link) + ", faults " +
                             ArmedFaults(screen.faults);
    std::string slot = screen.card.chipInserted ? "card inserted" : "slot empty";
    slot += ", beeps " + std::to_string(screen.beeps);
    if (screen.lastTone >= 0) slot += " (last tone " + std::to_string(screen.lastTone) + ")";
    slot += HandInput(r.sim()) ? ", hand-input on" : ", hand-input off";
    const std::string bar = "+" + std::string(screen.columns, '-') + "+";
    std::string text = bar;
    for (const std::string& line : lines) text += "\n|" + line + "|";
    text += "\n" + bar + "\n" + waits + "\n" + link + "\n" + slot;
    if (r.Echo(text)) return "ok";
    std::string one = "ok ";
    for (const std::string& line : lines) one += "|" + line;
    return one + "| " + waits + "; " + link + "; " + slot;
}

std::string Wait(CommandRunner& r, const Args& a) {
    int ms;
    if (!Number(a.words[0], 0, kMaxMs, &ms)) return Range("the wait", 0, kMaxMs);
    return r.Sleep(ms) ? "ok" : "error interrupted";
}

// `wait-for ID [MS]` or, for a reader channel's step, `wait-for ID CHANNEL FUNCTION [MS]` with
// the function in hexadecimal ("wait-for F0 7 0D": the next smart-card exchange).
std::string WaitFor(CommandRunner& r, const Args& a) {
    const bool step = a.words.size() >= 3;
    const size_t limitAt = step ? 3 : 1;
    int ms = kDefaultWaitForMs;
    if (a.words.size() > limitAt && !Number(a.words[limitAt], 0, kMaxMs, &ms))
        return Range("the time limit", 0, kMaxMs);
    const std::string id = MessageId(a.words[0]);
    if (id.empty()) return UnknownMessage(a.words[0]);
    std::string key = id;
    if (step) {
        int channel;
        if (!Number(a.words[1], 0, 255, &channel)) return Range("the channel", 0, 255);
        char* end = nullptr;
        const unsigned long function = std::strtoul(a.words[2].c_str(), &end, 16);
        if (a.words[2].empty() || *end != '\0' || function > 0xFF)
            return "error the function is a hexadecimal byte";
        key = FrameStepKey(id, static_cast<unsigned>(channel), static_cast<unsigned>(function));
    }
    if (r.WaitForFrame(key, ms)) return "ok";
    return "error no " + key + " frame within " + std::to_string(ms) + " ms";
}

std::string Echo(CommandRunner& r, const Args& a) {
    if (r.Echo(a.rest) || a.rest.empty()) return "ok";
    return "ok " + a.rest;
}

std::string Exit(CommandRunner& r, const Args&) {
    r.sim().Stop();  // the terminal is gone before anyone hears "ok"
    r.RequestExit();
    return "ok";
}

std::string Help(CommandRunner&, const Args&);

const Command kCommands[] = {
    {"help", "", "this list", 0, 0, Help},
    // The cardholder.
    {"swipe", "[TRACK2 [TRACK1]]",
     "swipe a card (the test card without tracks); answers the swipes waiting", 0, 99, Swipe},
    {"auto-swipe", "on|off", "off: swipe requests wait for `swipe` (on at start)", 1, 1, AutoSwipe},
    {"insert", "", "insert the smart card", 0, 0, Insert},
    {"remove", "", "remove the smart card", 0, 0, Remove},
    {"card-atr", "HEX [TYPE]", "the smart card's answer to reset and type byte (1)", 1, 2, CardAtr},
    {"emv-send", "APP HEX", "the terminal sends data of application APP to the host", 2, 2,
     EmvSend},
    {"keys", "TEXT", "the text typed at the next keypad entry", 0, 99, Keys},
    {"pin", "DIGITS", "the PIN typed at the next PIN entry (1234 unless set)", 1, 1, Pin},
    {"select", "N", "the item picked at the next scroll list", 1, 1, Select},
    {"fkey", "KEY", "the key pressed at the next function key prompt or confirmation", 1, 1,
     FunctionKey},
    {"cancel", "", "press cancel: the waiting (or next) keypad prompt answers status 2", 0, 0,
     Cancel},
    {"hand-input", "on|off", "on: keypad prompts and PIN entry wait for `key` presses", 1, 1,
     Hands},
    {"key", "KEY", "press KEY at the waiting prompt: 0-9, A-C (F1-F3), enter, clear, cancel", 1, 1,
     Key},
    // The terminal.
    {"no-answer", "", "acknowledge the next command but never answer it", 0, 0, NoAnswer},
    {"status", "N [ID]", "the next text answer (to ID) carries status digit N", 1, 2, Status},
    {"power-cycle", "", "restart: pending answers are lost, the power-up enquiry follows", 0, 0,
     PowerCycle},
    {"unplug", "", "the device goes away (the port closes, the HID node goes)", 0, 0, Unplug},
    {"replug", "", "the device comes back under the same name", 0, 0, Replug},
    {"silent", "0|1", "1: the terminal writes nothing at all", 1, 1, Counted<ApplySilent, 1>},
    {"ack-only", "ID", "acknowledge messages ID and never answer them", 1, 1, AckOnly},
    {"keypad-delay", "MS", "keypad prompts are answered MS after their ACK", 1, 1,
     Counted<ApplyKeypadDelay, kMaxMs>},
    {"powerup", "", "send the power-up enquiry now", 0, 0, PowerUp},
    // Link faults.
    {"nak", "[N]", "NAK the next N frames (1)", 0, 1, Counted<ApplyNak, 1000>},
    {"drop-ack", "[N]", "lose the ACK of the next N frames, answering them all the same", 0, 1,
     Counted<ApplyDropAck, 1000>},
    {"withhold-acks", "[N]", "neither ACK nor answer the next N frames", 0, 1,
     Counted<ApplyWithhold, 1000>},
    {"delay-ack", "MS", "ACK frames MS late", 1, 1, Counted<ApplyAckDelay, kMaxMs>},
    {"delay-answer", "MS", "answer MS after the ACK", 1, 1, Counted<ApplyAnswerDelay, kMaxMs>},
    {"bad-lrc", "[N]", "a wrong LRC on the next N frames written (1)", 0, 1,
     Counted<ApplyBadLrc, 1000>},
    {"ack-mode", "normal|drop|withhold",
     "every frame: ACK it; lose its ACK but answer it; or neither ACK nor answer it", 1, 1, Acks},
    {"chunks", "SIZE [MS]", "write frames in pieces of SIZE bytes, MS apart (2); 0: whole", 1, 2,
     Chunks},
    {"coalesce", "on|off", "on: what is due at one moment goes in one write", 1, 1, Coalesce},
    // Flow and record.
    {"wait", "MS", "pause", 1, 1, Wait},
    {"wait-for", "ID [CHANNEL FUNCTION] [MS]",
     "wait until the host sends the next ID frame (of a reader channel's function, in hex; "
     "limit 30000 ms)",
     1, 4, WaitFor},
    {"screen", "", "show the display, the input awaited, the link, the faults and the slot", 0, 0,
     Screen},
    {"echo", "TEXT", "print TEXT", 0, 99, Echo},
    {"frames", "ID", "how many ID frames the record holds", 1, 1, Frames},
    {"clear", "", "empty the record", 0, 0, Clear},
    {"exit", "", "the terminal goes away and the simulator ends", 0, 0, Exit},
};

// The full list goes to the console; a control client gets the names on its one line.
std::string Help(CommandRunner& r, const Args&) {
    if (r.Echo(CommandHelp())) return "ok";
    std::string names = "ok";
    for (const Command& c : kCommands) names += std::string(" ") + c.name;
    return names;
}

}  // namespace

const char* LinkStateName(const LinkView& link) {
    if (link.unplugged) return "unplugged";
    if (link.powerUp) return "power-up";
    if (link.connected) return "connected";
    return link.hostOpen ? "open" : "closed";
}

std::string ArmedFaults(const FaultPlan& f) {
    std::vector<std::string> armed;
    auto add = [&](bool on, const std::string& command) {
        if (on) armed.push_back(command);
    };
    add(f.silent, "silent 1");
    add(f.ackMode == AckMode::Withhold,
        std::string("ack-mode ") + (f.withholdRespond ? "drop" : "withhold"));
    add(f.nakNext > 0, "nak " + std::to_string(f.nakNext));
    add(f.withholdNext > 0,
        (f.withholdNextRespond ? "drop-ack " : "withhold-acks ") + std::to_string(f.withholdNext));
    add(f.corruptNext > 0, "bad-lrc " + std::to_string(f.corruptNext));
    add(f.ackDelayMs > 0, "delay-ack " + std::to_string(f.ackDelayMs));
    add(f.responseDelayMs > 0, "delay-answer " + std::to_string(f.responseDelayMs));
    add(f.chunkSize > 0,
        "chunks " + std::to_string(f.chunkSize) + " " + std::to_string(f.chunkGapMs));
    add(f.coalesce, "coalesce on");
    std::string text;
    for (const std::string& command : armed) text += (text.empty() ? "" : ", ") + command;
    return text.empty() ? "none" : text;
}

std::string CommandHelp() {
    std::string text;
    for (const Command& c : kCommands) {
        std::string head = std::string(c.name) + (*c.usage ? " " : "") + c.usage;
        head.resize(std::max<size_t>(head.size() + 1, 26), ' ');
        text += "  " + head + c.help + "\n";
    }
    if (!text.empty()) text.pop_back();
    return text;
}

CommandRunner::CommandRunner(TerminalSimulator& sim, bool fromStart)
    : sim_(sim), fromStart_(fromStart) {}

std::string CommandRunner::Run(const std::string& line) {
    const std::string text = Trim(line);
    if (text.empty() || text[0] == '#') return {};
    std::istringstream in(text);
    std::string name;
    in >> name;
    Args args;
    for (std::string word; in >> word;) args.words.push_back(word);
    args.rest = Trim(text.substr(name.size()));
    for (const Command& c : kCommands) {
        if (name != c.name) continue;
        if (args.words.size() < c.minWords || args.words.size() > c.maxWords)
            return "error usage: " + name + (*c.usage ? " " : "") + c.usage;
        return c.run(*this, args);
    }
    return "error unknown command: " + text;
}

void CommandRunner::Interrupt() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        interrupt_ = true;
    }
    interrupted_.notify_all();
}

bool CommandRunner::Sleep(int ms) {
    if (onWait_) onWait_();
    std::unique_lock<std::mutex> lock(mu_);
    return !interrupted_.wait_for(lock, std::chrono::milliseconds(ms),
                                  [this] { return interrupt_; });
}

bool CommandRunner::WaitForFrame(const std::string& id, int ms) {
    if (onWait_) onWait_();
    const std::string key = Upper(id);
    auto known = waited_.find(key);
    uint64_t done = known != waited_.end() ? known->second : fromStart_ ? 0 : sim_.FramesSeen(key);
    // In slices, so that Interrupt() is heard.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (interrupt_) return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (sim_.WaitForFramesSeen(key, done + 1,
                                   static_cast<int>(std::clamp<long long>(left, 0, 100)))) {
            waited_[key] = done + 1;
            return true;
        }
        if (left <= 0) {
            waited_[key] = done;
            return false;
        }
    }
}

bool RunScript(CommandRunner& runner, std::istream& in, const std::string& name,
               const std::function<void(const std::string&)>& errors) {
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::string reply = runner.Run(line);
        if (reply.compare(0, 5, "error") == 0) {
            errors(name + ":" + std::to_string(number) + ": " + reply);
            return false;
        }
        if (runner.exitRequested()) break;
    }
    return true;
}

// ---- control socket -----------------------------------------------------------------------

ControlServer::ControlServer(TerminalSimulator& sim, std::function<void()> onExit)
    : sim_(sim), onExit_(std::move(onExit)) {}

ControlServer::~ControlServer() {
    Stop();
}

bool ControlServer::Start(int port) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return false;
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t size = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &size) != 0 ||
        ::pipe2(wake_, O_CLOEXEC) != 0) {
        int saved = errno;
        ::close(listener_);
        listener_ = -1;
        errno = saved;
        return false;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Accept(); });
    return true;
}

void ControlServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
        for (auto& client : clients_) client->runner.Interrupt();
    }
    if (wake_[1] >= 0) {
        char c = 1;
        ssize_t n = ::write(wake_[1], &c, 1);
        (void)n;
    }
    if (thread_.joinable()) thread_.join();
    // No client is added once the accepting thread has ended.
    for (auto& client : clients_)
        if (client->thread.joinable()) client->thread.join();
    clients_.clear();
    for (int* fd : {&listener_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

void ControlServer::ReapLocked() {
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (!(*it)->done) {
            ++it;
            continue;
        }
        (*it)->thread.join();  // it has left Serve(), or is just leaving
        it = clients_.erase(it);
    }
}

void ControlServer::Accept() {
    for (;;) {
        pollfd fds[2] = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[0].revents) return;
        if (!(fds[1].revents & POLLIN)) continue;
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mu_);
        ReapLocked();
        if (stopping_ || clients_.size() >= kMaxClients) {
            ::close(fd);
            continue;
        }
        clients_.push_back(std::make_unique<Client>(fd, sim_));
        Client& client = *clients_.back();
        client.thread = std::thread([this, &client] { Serve(client); });
    }
}

void ControlServer::Serve(Client& client) {
    std::string in, out;
    // Writes what the client will take now; false when the connection is gone.
    auto flush = [&] {
        while (!out.empty()) {
            ssize_t n = ::send(client.fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            out.erase(0, static_cast<size_t>(n));
        }
        return true;
    };
    bool exit = false;
    for (bool open = true; open && !exit;) {
        pollfd fds[2] = {{wake_[0], POLLIN, 0},
                         {client.fd, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents) break;
        if (fds[1].revents & (POLLOUT | POLLERR | POLLHUP) && !flush()) break;
        if (!(fds[1].revents & (POLLIN | POLLHUP))) continue;
        char buf[512];
        ssize_t n = ::read(client.fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) break;
        in.append(buf, static_cast<size_t>(n));
        size_t end;
        while (open && !exit && (end = in.find('\n')) != std::string::npos) {
            std::string reply = client.runner.Run(in.substr(0, end));
            in.erase(0, end + 1);
            exit = client.runner.exitRequested();
            if (reply.empty()) continue;  // a comment
            out += reply + "\n";
            open = flush() && out.size() <= kMaxUnread;
        }
        if (in.size() > kMaxLine) open = false;
    }
    flush();  // what the socket takes now: a client that closed its sending side still reads
    if (exit && onExit_) onExit_();
    ::close(client.fd);
    std::lock_guard<std::mutex> lock(mu_);
    client.done = true;
}

}  // namespace orn::sim
