// The cardholder at the keypad, key by key. With hand input on, a keypad prompt or a PIN entry
// is acknowledged and then waits: keys pressed one at a time (from the browser's keypad, the
// console or a script) fill the input, Enter answers it, Cancel answers it with the cardholder's
// cancel status. The answer is made by the terminal's own answer for the message, with the typed
// input in place of the scripted one, so a PIN typed this way reaches the host as the same PIN
// block a `pin` command would give. A cancel from the host ends the wait without an answer.
#pragma once

#include <cstddef>
#include <string>

namespace orn::sim {

class TerminalSimulator;

// On: prompts wait for keys (the answers are wrapped the first time). Off: prompts are answered
// from the scripted input again; a prompt already waiting keeps waiting for its keys.
void SetHandInput(TerminalSimulator& sim, bool on);
bool HandInput(TerminalSimulator& sim);

// One key: "0".."9", "A".."C" (the function keys F1 to F3), "enter", "clear" or "cancel".
// Returns "ok" or "error ..." (no prompt waiting, an unknown key, a PIN of the wrong length).
std::string PressKey(TerminalSimulator& sim, const std::string& key);

// The terminal restarted or went away: the waiting prompt is forgotten, unanswered.
void ForgetWaitingInput(TerminalSimulator& sim);

// What has been typed at the waiting prompt (a PIN as '*' per digit); empty when none waits.
std::string TypedInput(TerminalSimulator& sim);

}  // namespace orn::sim
