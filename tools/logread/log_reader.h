// tools/logread/ owns ornlogread, which prints a log file the library wrote: decrypted with the
// application's key, explained frame by frame through the message catalogue, filtered, and
// followed while it grows.
//
// What ornlogread does with a key and a file, apart from its command line: the key text from any
// of its sources, the decryption of a log file back to its LF text, and the explaining of its
// entries (filters, and the names and fields of the frames its dumps show).
#pragma once

#include <cstdint>
#include <string>

#include "link/catalogue.h"
#include "log/log_cipher.h"

namespace orn::logread {

// Sets `cipher` from a key text as read from the command line, a key file or the environment:
// white space around it (a key file's final line feed) is dropped, then 16 or 32 hexadecimal
// digits are required. False for anything else; the text is never echoed.
bool SetKeyFromText(const std::string& text, LogCipher* cipher);

// Decrypts a whole encrypted log (a multiple of 8 bytes) into its text: CR LF becomes LF and
// the space padding of the last block goes. False with `error` set otherwise.
bool DecryptLog(LogCipher& cipher, const std::string& data, std::string* text, std::string* error);

// Decrypts the whole 8-byte blocks of `data` into `text` as they come (a log being written):
// CR LF becomes LF; the space padding of a finished log's last block is left to the caller.
// False when the cipher fails.
bool DecryptBlocks(LogCipher& cipher, const std::string& data, std::string* text);

// How the start of a file's text (decrypted when it was encrypted) compares with a log's. A log
// is text, and every file the logger writes opens with an entry ("ORN  hh:mm:ss:mmm (Label)  "):
// the first with the logger's start line, a later numbered one with the entry that came next,
// after at most a few of the logger's lines without a prefix (thread reports) or its finish line.
// TooShort: the text ends before that can be told.
enum class LogStart { Log, NotLog, TooShort };
// How far into a file its first entry (or the finish line) must come.
constexpr size_t kLogStartScan = 4096;
LogStart CheckLogStart(const std::string& text);
// Why a file's text is not a log, for the message; `decrypted`: a key was used.
std::string NotALogError(bool decrypted);

// Which entries are printed.
struct Filter {
    int32_t level = 4;        // this level and the more severe ones (1 Severe .. 4 Detail)
    bool framesOnly = false;  // only the dumps of frames
    long fromMs = -1;         // time of day, inclusive; -1: open
    long toMs = -1;
    bool explain = true;  // a line naming the message and its fields after each frame dump
};

// "hh:mm", "hh:mm:ss" or "hh:mm:ss.mmm" (":" also before the milliseconds) as milliseconds
// since midnight; false for anything else.
bool ParseTimeOfDay(const std::string& text, long* ms);
// "severe", "info", "fine", "detail" (any case) or 1 to 4.
bool ParseLevel(const std::string& text, int32_t* level);

// The explanation of one frame dump entry (its title line and hex body, without the log line
// prefix), e.g. "5B. beep: tone 7"; empty when the entry is no frame dump or shows a form that
// another dump of the same frame explains (the P1.6-encoded one).
std::string ExplainDump(const std::string& dump);

// Filters and explains a log's text, fed in pieces of any size. An entry is its prefixed line
// and the lines up to the next prefixed one (a dump's body).
class Explainer {
  public:
    explicit Explainer(const Filter& filter) : filter_(filter), keep_(!filter.framesOnly) {}
    // Appends to `out` what is printed of the entries completed by `text`.
    void Feed(const std::string& text, std::string* out);
    // Ends the current entry (when a followed log goes quiet).
    void Flush(std::string* out);
    // Ends the file: a last line without its line feed is printed as it is (a finished encrypted
    // log's padding of spaces is dropped).
    void End(std::string* out);

  private:
    void Line(const std::string& line, std::string* out);
    Filter filter_;
    std::string partial_;  // a line not yet ended
    std::string entry_;    // the current entry's lines
    bool keep_ = true;     // the current entry passes the filter
    bool dump_ = false;    // the current entry is a frame dump
    size_t message_ = 0;   // where the current entry's message starts after its prefix
};

}  // namespace orn::logread
