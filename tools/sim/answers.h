// The simulator's default answers, one installer per command family. Each installer registers
// handlers on the simulator for the messages of its family; the simulator installs them all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/catalogue.h"

namespace orn::sim {

class TerminalSimulator;
struct Request;

// A request as the message catalogue reads it. Handlers take fields by name, so where the host
// puts what is written down in one place (src/link/catalogue.cpp), for the dumps, the log reader
// and the simulator alike. A field the request does not reach reads as empty (or 0).
class RequestFields {
  public:
    explicit RequestFields(const Request& request);
    RequestFields(const std::string& id, const std::string& payload);

    // The catalogue's name of the message ("binary MAC"), empty when it has none.
    const std::string& Message() const { return message_; }
    std::string Text(const char* name) const;
    // The first character, '\0' when there is none.
    char Char(const char* name) const;
    // A binary field as a big-endian number.
    uint32_t Number(const char* name) const;

  private:
    std::string payload_;
    std::string message_;
    std::vector<catalogue::Field> fields_;
};

void InstallDefaultAnswers(TerminalSimulator& sim);

// Families.
void InstallBasicAnswers(TerminalSimulator& sim);
void InstallDeviceAnswers(TerminalSimulator& sim);
void InstallDataStorageAnswers(TerminalSimulator& sim);
void InstallDisplayAnswers(TerminalSimulator& sim);
void InstallCardsAnswers(TerminalSimulator& sim);
void InstallPinAnswers(TerminalSimulator& sim);

// "F0." carries the application update (command byte 0x06 after the length) as well as the card
// reader channels: an installer that takes over "F0." hands the update requests to this.
std::optional<std::string> AnswerApplicationUpdate(const Request& request);

// The PIN the cardholder types at the next PIN entry (4 to 12 digits; 1234 when none is
// queued). Thread-safe.
void SetNextPin(const std::string& digits);

// A DUKPT PIN block (ANSI X9.24-1, triple DES): the ISO format 0 block of `pin` and `account`
// enciphered under the PIN-encryption variant of the transaction key that the base derivation
// key (32 hexadecimal digits) and the key serial number (20) give; 16 hexadecimal digits, empty
// when a key or the serial number is malformed.
std::string DukptPinBlock(const std::string& baseKeyHex, const std::string& ksnHex,
                          const std::string& pin, const std::string& account);
// The base derivation key of DUKPT PIN entry (32 hexadecimal digits; the standard's test key
// until set). False, and the key unchanged, for anything else. Thread-safe.
bool SetDukptBaseKey(const std::string& hex);

// The MAC the PIN pad reports for `data` under a key of 16 hexadecimal digits (X9.9: DES CBC-MAC)
// or 32 (X9.19: the retail MAC), the data padded with zero bytes: its first 4 bytes as 8
// hexadecimal digits, "" for a malformed key.
std::string MacOf(const std::string& hexKey, const std::string& data);

// The PIN pad's check value of a key of 16 or 32 hexadecimal digits (8 hexadecimal digits, ""
// for anything else): a check value the simulator recognises as the key's own.
std::string KeyCheckValue(const std::string& hexKey);

// "F1." carries the EMV applications' messages (types 1 to 6 and 16) as well as the chunked MAC
// messages: an installer that takes over "F1." hands the EMV messages to this.
std::optional<std::string> AnswerEmvChannel(const Request& request);

}  // namespace orn::sim
