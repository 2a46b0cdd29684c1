// The simulated terminal's own state: what its display shows, which input it waits for, the
// cardholder's scripted input (keys, texts, scroll list choices, PINs) and delays, the card in
// its slot and its beeps. Each simulator owns one; two simulators never share one.
//
// The answers (answers*.cpp) write into the model as they handle the host's messages; the
// console, scripts, the control socket and a face read it through Screen() and drive it through
// the setters. All members are thread-safe. Every change calls the change hook (set by the
// owning simulator) after the model's lock is released. The model is shared: a caller of
// CurrentTerminal() may hold it after its simulator has gone, when it no longer calls the hook.
//
// A family of answers may keep private per-terminal state in the model with Part<T>().
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <typeindex>
#include <vector>

#include "fault_plan.h"
#include "listeners.h"

namespace orn::sim {

// What the terminal waits for from the cardholder.
enum class InputKind { None, Keys, Pin, Card, Selection, Text };

// One display line as the terminal renders it: `columns` characters in UTF-8 (an accented
// character sent as its escape pair is that character), blank lines are spaces.
struct DisplayLine {
    std::string text;
    bool inverse = false;
    bool cleared = true;  // nothing written since the display (or the line) was cleared
};

// A scroll list on the display: its four titles, its items' texts and the highlighted item
// (from 1; 0 none).
struct ScrollListView {
    std::vector<std::string> titles;
    std::vector<std::string> items;
    int selection = 0;
};

// The link as the terminal sees it.
struct LinkView {
    bool hostOpen = false;   // the host has the port (or a HID connection) open
    bool connected = false;  // open, plugged in and past the power-up enquiry
    bool powerUp = false;    // the power-up enquiry is under way
    bool unplugged = false;  // pulled out (Unplug) and not plugged in again
};

struct CardSlotView {
    bool chipInserted = false;
    bool chipPowered = false;
    bool swipeWaiting = false;  // swipe requests wait for a swipe (automatic swiping off)
    std::vector<std::string> openEmvSessions;
};

// The terminal as the cardholder sees it, at one moment.
struct ScreenState {
    unsigned columns = 16;
    std::vector<DisplayLine> lines;        // top to bottom
    std::optional<ScrollListView> scroll;  // while a scroll list is up
    std::vector<std::string> prompts;      // the texts of the prompt waiting for input
    // The amount being confirmed, as the host sent it: "12.34", or a debit's nine digits.
    std::string amount;
    InputKind input = InputKind::None;
    std::string inputCommand;  // the identifier of the message waiting for the input
    size_t pinDigits = 0;      // PIN digits typed so far
    int beeps = 0;             // beeps since the terminal started
    int lastTone = -1;         // tone of the last beep
    CardSlotView card;
    LinkView link;
    FaultPlan faults;
    uint64_t version = 0;  // counts the model's changes
};

// The smart card in the slot: its type byte, answer to reset and how it answers commands (the
// reader's three leading bytes, then the card's response bytes). Unset fields keep the
// simulator's test card.
struct ChipCard {
    uint8_t type = 0x01;
    std::string atr;
    std::function<std::string(const std::string& command)> answer;
};

class TerminalModel {
  public:
    static constexpr unsigned kLines = 4;
    static constexpr unsigned kColumns = 16;

    TerminalModel();
    ~TerminalModel();
    TerminalModel(const TerminalModel&) = delete;
    TerminalModel& operator=(const TerminalModel&) = delete;

    // Called after every change, without the model's lock held. Once this returns, the hook it
    // replaced is not running on another thread and is not called again.
    void SetChangeHook(std::function<void()> hook);

    // ---- what the terminal shows (written by the answers) ----
    ScreenState Screen() const;  // display, input, beeps and card slot; link and faults unset
    // Display bytes (escape pairs for accented characters) from line `first` (from 1) on,
    // `columns` columns a line.
    void Write(unsigned first, unsigned count, const std::string& displayBytes);
    void Clear(unsigned line);  // 0: the whole display
    // The raw display bytes of the four lines (16 columns each, escape pairs kept).
    std::vector<std::string> DisplayBytes() const;
    void ShowScrollList(const std::vector<std::string>& titles,
                        const std::vector<std::string>& items, int selection);
    // The terminal waits for `kind` for message `id` with these prompts (and amount). True when
    // the input is at hand (scripted, or typed and entered); false when the cardholder types it
    // by hand and has not entered it yet: the answer then takes nothing and sends nothing, and it
    // runs again once the input is entered.
    bool BeginInput(InputKind kind, const std::string& id, std::vector<std::string> prompts = {},
                    const std::string& amount = {});
    void SetPinDigits(size_t typed);
    // The input for `id` (any when empty) ended: answered or cancelled.
    void EndInput(const std::string& id = {});
    void Beep(int tone);
    void SetCardSlot(const CardSlotView& card);

    // ---- what the cardholder does (scripted; each setter queues one answer) ----
    void QueueKey(char key);
    void QueueText(const std::string& text);
    void QueueSelection(int selection);
    void QueuePin(const std::string& digits);
    std::optional<char> TakeKey();
    std::optional<std::string> TakeText();
    std::optional<int> TakeSelection();
    std::optional<std::string> TakePin();
    // A slow cardholder: keypad and PIN answers come this long after the prompt's ACK.
    void SetKeypadDelay(int ms);
    int KeypadDelay() const;
    // Forgets queued keys, texts and selections (queued PINs stay), sets the delay back to 0 and
    // blanks the screen.
    void ResetKeypad();
    // ---- the cardholder at the keypad, key by key ----
    // On: prompts for keys, texts, selections and PINs wait for input entered by hand.
    void SetHandInput(bool on);
    bool HandInput() const;
    // The kind of input the prompt of `id` waits for by hand (None when it waits for nothing
    // typed by hand).
    InputKind WaitingForHands(const std::string& id) const;
    // The input typed at the waiting prompt, entered: the next Take... returns it ahead of
    // anything queued (a key's character, a text, a selection's number, a PIN). nullopt
    // withdraws what the answer did not take.
    void EnterInput(std::optional<std::string> typed);
    // The base derivation key of DUKPT PIN entry (32 hexadecimal digits).
    void SetDukptBaseKey(const std::string& hex);
    std::string DukptBaseKey() const;

    // Per-terminal state of one family of answers, made on first use.
    template <typename T>
    T& Part() {
        std::lock_guard<std::mutex> lock(partsMutex_);
        auto& slot = parts_[std::type_index(typeid(T))];
        if (!slot)
            slot = std::shared_ptr<void>(new T(), [](void* p) { delete static_cast<T*>(p); });
        return *static_cast<T*>(slot.get());
    }

  private:
    struct State;
    void Changed();
    std::optional<std::string> TakeEnteredLocked();

    mutable std::mutex mutex_;
    std::unique_ptr<State> state_;
    Listeners<> hook_;  // the change hook, if any
    int hookId_ = 0;    // under mutex_
    std::mutex partsMutex_;
    std::map<std::type_index, std::shared_ptr<void>> parts_;
};

// The model that the functions without a simulator argument (SetNextKey, SetNextPin,
// SetAutoSwipe, ...) act on: the most recently started simulator still running; with none
// running, the model the next simulator starts with, so settings made before it starts apply.
// Shared: it stays usable while held, whenever its simulator stops.
std::shared_ptr<TerminalModel> CurrentTerminal();

// For the simulator: the model a starting simulator owns (made ready by the functions above when
// they ran before it started), and its end.
std::shared_ptr<TerminalModel> StartTerminal();
void StopTerminal(TerminalModel* model);

// Renders display bytes as text: escape pairs become their accented characters (UTF-8).
std::string RenderDisplayText(const std::string& displayBytes);

}  // namespace orn::sim
