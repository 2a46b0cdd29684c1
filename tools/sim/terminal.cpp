// The terminal model: the display, the input the terminal waits for, the cardholder's queued
// input and the card slot, under one lock of its own.
#include "terminal.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace orn::sim {

namespace {

constexpr char kEscape = 0x1B;
constexpr const char* kDukptTestBaseKey = "0123456789ABCDEFFEDCBA9876543210";

// The accented characters an escape pair selects, in selector order from '0'.
const char* const kAccented[] = {"Ç", "ü", "é", "â", "à", "ç", "ê", "ë", "è", "ï", "î", "É", "ô",
                                 "û", "ù", "Ü", "À", "Â", "È", "Ê", "Ë", "Î", "Ï", "Ô", "Ù", "Û"};

template <typename T>
std::optional<T> TakeFront(std::deque<T>& queue) {
    if (queue.empty()) return std::nullopt;
    T next = std::move(queue.front());
    queue.pop_front();
    return next;
}

// Bytes that make up `columns` display columns from `pos` on (an escape pair is one column).
size_t ColumnBytes(const std::string& text, size_t pos, unsigned columns) {
    size_t at = pos;
    for (unsigned used = 0; used < columns && at < text.size(); ++used)
        at += text[at] == kEscape && at + 1 < text.size() ? 2 : 1;
    return at - pos;
}

// A rendered line filled with spaces to the display's width (a short text leaves the rest of
// its line blank).
std::string Padded(std::string text) {
    size_t columns = 0;
    for (unsigned char c : text) columns += (c & 0xC0) != 0x80;  // UTF-8 lead bytes
    if (columns < TerminalModel::kColumns) text.append(TerminalModel::kColumns - columns, ' ');
    return text;
}

}  // namespace

std::string RenderDisplayText(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == kEscape && i + 1 < bytes.size()) {
            const unsigned selector = static_cast<unsigned char>(bytes[++i]) - '0';
            out += selector < std::size(kAccented) ? kAccented[selector] : "?";
        } else if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('?');  // not display text: the terminal shows a placeholder
        }
    }
    return out;
}

struct TerminalModel::State {
    std::vector<std::string> bytes = std::vector<std::string>(kLines, std::string(kColumns, ' '));
    std::vector<bool> cleared = std::vector<bool>(kLines, true);
    std::optional<ScrollListView> scroll;
    std::vector<std::string> prompts;
    std::string amount;
    InputKind input = InputKind::None;
    std::string inputCommand;
    size_t pinDigits = 0;
    int beeps = 0;
    int lastTone = -1;
    CardSlotView card;
    uint64_t version = 0;

    std::deque<char> keys;
    std::deque<std::string> texts;
    std::deque<int> selections;
    std::deque<std::string> pins;
    int keypadDelayMs = 0;
    bool handInput = false;
    bool handWaiting = false;  // the input begun waits for keys typed by hand
    std::optional<std::string> entered;
    std::string dukptBaseKey = kDukptTestBaseKey;
};

TerminalModel::TerminalModel() : state_(std::make_unique<State>()) {}
TerminalModel::~TerminalModel() = default;

void TerminalModel::SetChangeHook(std::function<void()> hook) {
    int replaced;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        replaced = hookId_;
        hookId_ = hook ? hook_.Add(std::move(hook)) : 0;
    }
    if (replaced) hook_.Remove(replaced);  // waits out its calls in progress
}

void TerminalModel::Changed() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++state_->version;
    }
    hook_.Call();
}

ScreenState TerminalModel::Screen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const State& s = *state_;
    ScreenState screen;
    screen.columns = kColumns;
    for (unsigned i = 0; i < kLines; ++i)
        screen.lines.push_back({Padded(RenderDisplayText(s.bytes[i])), false, s.cleared[i]});
    screen.scroll = s.scroll;
    screen.prompts = s.prompts;
    screen.amount = s.amount;
    screen.input = s.input;
    screen.inputCommand = s.inputCommand;
    screen.pinDigits = s.pinDigits;
    screen.beeps = s.beeps;
    screen.lastTone = s.lastTone;
    screen.card = s.card;
    screen.version = s.version;
    return screen;
}

void TerminalModel::Write(unsigned first, unsigned count, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t at = 0;
        for (unsigned line = first; line < first + count && line >= 1 && line <= kLines; ++line) {
            const size_t bytes = ColumnBytes(text, at, kColumns);
            state_->bytes[line - 1] = text.substr(at, bytes);
            state_->cleared[line - 1] = false;
            at += bytes;
        }
        state_->scroll.reset();
    }
    Changed();
}

void TerminalModel::Clear(unsigned line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (unsigned i = 0; i < kLines; ++i) {
            if (line != 0 && line != i + 1) continue;
            state_->bytes[i].assign(kColumns, ' ');
            state_->cleared[i] = true;
        }
        if (line == 0) state_->scroll.reset();
    }
    Changed();
}

std::vector<std::string> TerminalModel::DisplayBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->bytes;
}

void TerminalModel::ShowScrollList(const std::vector<std::string>& titles,
                                   const std::vector<std::string>& items, int selection) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ScrollListView view;
        for (const std::string& title : titles) view.titles.push_back(RenderDisplayText(title));
        for (const std::string& item : items) view.items.push_back(RenderDisplayText(item));
        view.selection = selection;
        state_->scroll = std::move(view);
    }
    Changed();
}

bool TerminalModel::BeginInput(InputKind kind, const std::string& id,
                               std::vector<std::string> prompts, const std::string& amount) {
    bool atHand;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A card is not typed: only the keypad's inputs wait for hands.
        atHand = kind == InputKind::Card || !state_->handInput || state_->entered.has_value();
        state_->handWaiting = !atHand;
        state_->input = kind;
        state_->inputCommand = id;
        state_->prompts.clear();
        for (const std::string& prompt : prompts)
            state_->prompts.push_back(RenderDisplayText(prompt));
        state_->amount = amount;
        state_->pinDigits = 0;
    }
    Changed();
    return atHand;
}

void TerminalModel::SetPinDigits(size_t typed) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_->pinDigits = typed;
    }
    Changed();
}

void TerminalModel::EndInput(const std::string& id) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_->input == InputKind::None) return;
        if (!id.empty() && id != state_->inputCommand) return;
        state_->input = InputKind::None;
        state_->handWaiting = false;
        state_->inputCommand.clear();
        state_->prompts.clear();
        state_->amount.clear();
        state_->pinDigits = 0;
        state_->scroll.reset();
    }
    Changed();
}

void TerminalModel::Beep(int tone) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++state_->beeps;
        state_->lastTone = tone;
    }
    Changed();
}

void TerminalModel::SetCardSlot(const CardSlotView& card) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_->card = card;
    }
    Changed();
}

void TerminalModel::QueueKey(char key) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->keys.push_back(key);
}
void TerminalModel::QueueText(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->texts.push_back(text);
}
void TerminalModel::QueueSelection(int selection) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->selections.push_back(selection);
}
void TerminalModel::QueuePin(const std::string& digits) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->pins.push_back(digits);
}
// The input entered by hand, taken once. Under mutex_.
std::optional<std::string> TerminalModel::TakeEnteredLocked() {
    std::optional<std::string> typed = std::move(state_->entered);
    state_->entered.reset();
    return typed;
}

std::optional<char> TerminalModel::TakeKey() {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::optional<std::string> typed = TakeEnteredLocked();
    if (typed && !typed->empty()) return typed->front();
    return TakeFront(state_->keys);
}
std::optional<std::string> TerminalModel::TakeText() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::optional<std::string> typed = TakeEnteredLocked()) return typed;
    return TakeFront(state_->texts);
}
std::optional<int> TerminalModel::TakeSelection() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::optional<std::string> typed = TakeEnteredLocked()) return std::atoi(typed->c_str());
    return TakeFront(state_->selections);
}
std::optional<std::string> TerminalModel::TakePin() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::optional<std::string> typed = TakeEnteredLocked()) return typed;
    return TakeFront(state_->pins);
}

void TerminalModel::SetHandInput(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->handInput = on;
}
bool TerminalModel::HandInput() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->handInput;
}
InputKind TerminalModel::WaitingForHands(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool waits = state_->handWaiting && state_->inputCommand == id;
    return waits ? state_->input : InputKind::None;
}
void TerminalModel::EnterInput(std::optional<std::string> typed) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->entered = std::move(typed);
}

void TerminalModel::SetKeypadDelay(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->keypadDelayMs = std::max(0, ms);
}
int TerminalModel::KeypadDelay() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->keypadDelayMs;
}

void TerminalModel::ResetKeypad() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        State& s = *state_;
        s.keypadDelayMs = 0;
        s.keys.clear();
        s.texts.clear();
        s.selections.clear();
        for (auto& line : s.bytes) line.assign(kColumns, ' ');
        s.cleared.assign(kLines, true);
        s.scroll.reset();
    }
    Changed();
}

void TerminalModel::SetDukptBaseKey(const std::string& hex) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->dukptBaseKey = hex;
}
std::string TerminalModel::DukptBaseKey() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->dukptBaseKey;
}

// ---- the model the functions without a simulator argument act on ----

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<TerminalModel>> running;
    std::shared_ptr<TerminalModel> next;
};

// Never destroyed: a simulator held by a static object (a fuzz target's) is stopped while the
// process exits, after statics made later than it have gone.
Registry& Models() {
    static Registry* registry = new Registry;
    return *registry;
}

}  // namespace

std::shared_ptr<TerminalModel> CurrentTerminal() {
    Registry& r = Models();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.running.empty()) return r.running.back();
    if (!r.next) r.next = std::make_shared<TerminalModel>();
    return r.next;
}

std::shared_ptr<TerminalModel> StartTerminal() {
    Registry& r = Models();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::shared_ptr<TerminalModel> model =
        r.next ? std::move(r.next) : std::make_shared<TerminalModel>();
    r.running.push_back(model);
    return model;
}

void StopTerminal(TerminalModel* model) {
    Registry& r = Models();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.running.erase(std::remove_if(r.running.begin(), r.running.end(),
                                   [model](const auto& running) { return running.get() == model; }),
                    r.running.end());
}

}  // namespace orn::sim
