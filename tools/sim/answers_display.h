// The simulated terminal's display and keypad: the screen that display messages write and the
// cardholder's input that function key prompts, amount confirmations, text entries and scroll
// lists receive. Input is scripted: each setter queues one answer, taken by the next prompt of
// its kind in order; with nothing queued a prompt gets the default (key '1', text "1234",
// the first item of a scroll list). Each simulator has its own keypad and screen, in its terminal
// model (terminal.h): each function takes the model to act on (TerminalSimulator::Terminal()),
// and its form without one acts on CurrentTerminal(). Thread-safe.
#pragma once

#include <string>
#include <vector>

namespace orn::sim {

class TerminalModel;

// The key the next function key prompt or amount confirmation receives.
void SetNextKey(char key);
void SetNextKey(TerminalModel& terminal, char key);
// The text typed at the next text entry; cut to the maximum length the request gives.
void SetNextText(const std::string& text);
void SetNextText(TerminalModel& terminal, const std::string& text);
// The position (from 1) picked at the next scroll list. The answer carries the picked item's
// data when the item has some.
void SetNextScrollSelection(int selection);
void SetNextScrollSelection(TerminalModel& terminal, int selection);
// A slow cardholder: the answers to keypad prompts (function key prompt, amount confirmation,
// text entry, scroll list) come `ms` after the prompt's ACK instead of at once (0: at once). A
// "50." cancel that arrives meanwhile aborts the input: the pending answer is never sent.
void SetKeypadDelay(int ms);
void SetKeypadDelay(TerminalModel& terminal, int ms);
// Forgets queued input, sets the keypad delay back to 0 and blanks the screen.
void ResetKeypad();
void ResetKeypad(TerminalModel& terminal);
// The four display lines as last written, 16 columns each in display bytes (an accented
// character is its escape pair); blank lines are spaces.
std::vector<std::string> DisplayedLines();
std::vector<std::string> DisplayedLines(const TerminalModel& terminal);

}  // namespace orn::sim
