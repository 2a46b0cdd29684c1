// The simulator's default answers, one installer per command family. Each installer registers
// handlers on the simulator for the messages of its family; InstallDefaultAnswers registers them
// all (as Options::answers).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "request_fields.h"

namespace orn::sim {

class TerminalSimulator;
class TerminalModel;

void InstallDefaultAnswers(TerminalSimulator& sim);

// Families.
void InstallBasicAnswers(TerminalSimulator& sim);
void InstallDeviceAnswers(TerminalSimulator& sim);
void InstallDataStorageAnswers(TerminalSimulator& sim);
void InstallDisplayAnswers(TerminalSimulator& sim);
void InstallCardsAnswers(TerminalSimulator& sim);
void InstallPinAnswers(TerminalSimulator& sim);

// The answer to a cardholder's input (a keypad prompt or PIN entry) as the keypad delay lets it
// go: unchanged without a delay; otherwise sent that long after the ACK, and nullopt returned.
// A cancel ("50." or "72") withdraws an answer still held back.
std::optional<std::string> AnswerAfterKeypadDelay(TerminalSimulator& sim, const Request& request,
                                                  std::optional<std::string> answer);

// "F0." carries the application update (command byte 0x06 after the length) as well as the card
// reader channels: an installer that takes over "F0." hands the update requests to this.
std::optional<std::string> AnswerApplicationUpdate(const Request& request);

// The PIN the cardholder types at the next PIN entry (4 to 12 digits; 1234 when none is
// queued), on the model given or CurrentTerminal(). Thread-safe.
void SetNextPin(const std::string& digits);
void SetNextPin(TerminalModel& terminal, const std::string& digits);

// A DUKPT PIN block (ANSI X9.24-1, triple DES): the ISO format 0 block of `pin` and `account`
// enciphered under the PIN-encryption variant of the transaction key that the base derivation
// key (32 hexadecimal digits) and the key serial number (20) give; 16 hexadecimal digits, empty
// when a key or the serial number is malformed.
std::string DukptPinBlock(const std::string& baseKeyHex, const std::string& ksnHex,
                          const std::string& pin, const std::string& account);
// The base derivation key of DUKPT PIN entry (32 hexadecimal digits; the standard's test key
// until set), on the model given or CurrentTerminal(). False, and the key unchanged, for anything
// else.
bool SetDukptBaseKey(const std::string& hex);
bool SetDukptBaseKey(TerminalModel& terminal, const std::string& hex);

// The MAC the PIN pad reports for `data` under a key of 16 hexadecimal digits (X9.9: DES CBC-MAC)
// or 32 (X9.19: the retail MAC), the data padded with zero bytes: its first 4 bytes as 8
// hexadecimal digits, "" for a malformed key.
std::string MacOf(const std::string& hexKey, const std::string& data);

// The PIN pad's check value of a key of 16 or 32 hexadecimal digits (8 hexadecimal digits, ""
// for anything else): a check value the simulator recognises as the key's own.
std::string KeyCheckValue(const std::string& hexKey);

}  // namespace orn::sim
