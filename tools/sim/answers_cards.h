// The simulated terminal's card readers and EMV applications.
//
// Magnetic stripe: a swipe request reads the current card (a test card unless set). By default
// the card is swiped at once; with automatic swiping off, requests wait until Swipe().
//
// Smart card: a reader with a card slot. Waits for insertion or removal are answered when the
// card is already where they want it, otherwise when InsertCard() or RemoveCard() happens or a
// cancel ends them (a wait of less than a second is answered at once with status 1, the time
// limit). A powered card answers commands through the APDU handler (by default a small card that
// knows SELECT and GET CHALLENGE). The status request answers 05 with a card, FF without.
//
// EMV: applications of any name accept sessions; data sent to them is acknowledged with the
// message's sequence number (type 5), or as queued with QueueEmvAck. PushEmvData sends an
// application's data to the host with the terminal's own sequence numbers, which restart at 128
// with every opened session, as the host's do.
//
// Each simulator has its own card terminal, in its terminal model. Functions that send take the
// simulator to send on; the others act on the terminal model given (TerminalSimulator::Terminal()),
// their forms without one on CurrentTerminal() (terminal.h). Every function is thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orn::sim {

class TerminalSimulator;
class TerminalModel;
struct ChipCard;

// ---- Magnetic stripe ---------------------------------------------------------------------

struct SwipeCard {
    std::string track1;
    std::string track2;
    uint8_t track1Status = 0;  // reader status per track (0 read well)
    uint8_t track2Status = 0;
};
// The simulator's test card.
SwipeCard DefaultSwipeCard();
// The card the next swipes read.
void SetSwipeCard(const SwipeCard& card);
void SetSwipeCard(TerminalModel& terminal, const SwipeCard& card);
// On (default): swipe requests are answered at once. Off: they wait for Swipe().
void SetAutoSwipe(bool automatic);
void SetAutoSwipe(TerminalModel& terminal, bool automatic);
// Swipes the card through the reader: answers every waiting swipe request. Returns how many.
int Swipe(TerminalSimulator& sim);

// ---- Smart card --------------------------------------------------------------------------

// Puts a card into the slot (unpowered) and answers the waits for it.
void InsertCard(TerminalSimulator& sim);
// Takes the card out and answers the waits for its removal.
void RemoveCard(TerminalSimulator& sim);
bool CardInserted();
bool CardInserted(TerminalModel& terminal);
// The card's type byte and answer to reset.
void SetCardAtr(uint8_t type, const std::string& atr);
void SetCardAtr(TerminalModel& terminal, uint8_t type, const std::string& atr);
// The powered card's answer to a command: the reader's three leading bytes, then the card's
// response bytes.
using ApduHandler = std::function<std::string(const std::string& command)>;
void SetApduHandler(ApduHandler handler);
void SetApduHandler(TerminalModel& terminal, ApduHandler handler);
// The chip card the terminal reads: its type, ATR and answers (the test card where unset).
void SetChipCard(TerminalModel& terminal, const ChipCard& card);
// Commands the card received, in order.
std::vector<std::string> ApduCommands();
std::vector<std::string> ApduCommands(TerminalModel& terminal);

// ---- EMV ---------------------------------------------------------------------------------

// How the next data message from the host is acknowledged (queued, one per message): type 5 or
// 6 with a status, with the message's sequence number unless `sequence` is given; `withhold`
// sends nothing.
struct EmvAck {
    uint8_t type = 5;
    uint8_t status = 0;
    std::optional<uint8_t> sequence;
    bool withhold = false;
};
void QueueEmvAck(const EmvAck& ack);
void QueueEmvAck(TerminalModel& terminal, const EmvAck& ack);
// The status byte the terminal answers session requests of `type` (1 version, 2 open, 3 close,
// 16 register) with; 0 unless set.
void SetEmvAnswerStatus(uint8_t type, uint8_t status);
void SetEmvAnswerStatus(TerminalModel& terminal, uint8_t type, uint8_t status);
// Sends `data` of application `appName` to the host as a data message with sub-type `subType`
// (4 ends the session), with the next sequence number or `sequence`. Returns the number used.
uint8_t PushEmvData(TerminalSimulator& sim, const std::string& appName, const std::string& data,
                    uint8_t subType = 0, std::optional<uint8_t> sequence = std::nullopt);
// Sequence numbers of the host's acknowledgements of pushed data, in order.
std::vector<uint8_t> EmvAcksFromHost();
std::vector<uint8_t> EmvAcksFromHost(TerminalModel& terminal);
// Data of the host's data messages, in order, per application.
std::vector<std::string> EmvDataFromHost(const std::string& appName);
std::vector<std::string> EmvDataFromHost(TerminalModel& terminal, const std::string& appName);
// Applications with an open session at the terminal.
std::vector<std::string> OpenEmvSessions();
std::vector<std::string> OpenEmvSessions(TerminalModel& terminal);

// Forgets everything above: no card in the slot, the test card, automatic swiping, no sessions.
void ResetCardTerminal();
void ResetCardTerminal(TerminalModel& terminal);

}  // namespace orn::sim
