#include "log_reader.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "link/catalogue.h"
#include "link/frame.h"

namespace orn::logread {

bool SetKeyFromText(const std::string& text, LogCipher* cipher) {
    const char* const kBlank = " \t\r\n";
    const size_t first = text.find_first_not_of(kBlank);
    if (first == std::string::npos) return false;
    const size_t last = text.find_last_not_of(kBlank);
    return cipher->SetHexKey(text.substr(first, last - first + 1));
}

bool DecryptLog(LogCipher& cipher, const std::string& data, std::string* text, std::string* error) {
    if (data.size() % LogCipher::kBlock != 0) {
        *error = "length " + std::to_string(data.size()) +
                 " is not a multiple of 8: not an encrypted log, or a truncated one";
        return false;
    }
    std::string plain(data.size(), '\0');
    if (!plain.empty() &&
        !cipher.DecryptBlocks(reinterpret_cast<const uint8_t*>(data.data()),
                              reinterpret_cast<uint8_t*>(&plain[0]), plain.size())) {
        *error = "decryption failed";
        return false;
    }
    // The last block was padded with spaces when the file was finished.
    size_t end = plain.size();
    const size_t lastBlock = end >= LogCipher::kBlock ? end - LogCipher::kBlock : 0;
    while (end > lastBlock && plain[end - 1] == ' ') --end;
    plain.resize(end);

    text->clear();
    text->reserve(plain.size());
    for (size_t i = 0; i < plain.size(); ++i) {
        if (plain[i] == '\r' && i + 1 < plain.size() && plain[i + 1] == '\n') continue;
        text->push_back(plain[i]);
    }
    return true;
}

}  // namespace orn::logread

namespace orn::logread {

bool DecryptBlocks(LogCipher& cipher, const std::string& data, std::string* text) {
    const size_t whole = data.size() - data.size() % LogCipher::kBlock;
    std::string plain(whole, '\0');
    if (whole > 0 && !cipher.DecryptBlocks(reinterpret_cast<const uint8_t*>(data.data()),
                                           reinterpret_cast<uint8_t*>(&plain[0]), whole))
        return false;
    text->clear();
    for (size_t i = 0; i < plain.size(); ++i) {
        if (plain[i] == '\r' && i + 1 < plain.size() && plain[i + 1] == '\n') continue;
        text->push_back(plain[i]);
    }
    return true;
}

namespace {

constexpr const char* kLevelNames[] = {"severe", "info", "fine", "detail"};

// The prefix of an entry: "ORN  hh:mm:ss:mmm (Label)  " or "ZETH hh:mm:ss:mmm (Label)  ".
// Gives the time of day in ms, the level (0 when the label is unknown) and where the message
// starts.
bool ParsePrefix(const std::string& line, long* ms, int32_t* level, size_t* message) {
    if (line.compare(0, 5, "ORN  ") != 0 && line.compare(0, 5, "ZETH ") != 0) return false;
    int h, m, s, milli;
    char label[16] = {};
    int used = 0;
    if (std::sscanf(line.c_str() + 5, "%2d:%2d:%2d:%3d (%15[A-Za-z?])  %n", &h, &m, &s, &milli,
                    label, &used) != 5 ||
        used == 0)
        return false;
    *ms = ((h * 60L + m) * 60L + s) * 1000L + milli;
    *level = 0;
    ParseLevel(label, level);
    *message = 5 + static_cast<size_t>(used);
    return true;
}

struct DumpKind {
    const char* title;
    LinkDirection direction;
    bool framed;     // start byte, message, end byte, LRC (else the message alone)
    bool explained;  // the encoded forms are explained by their plain twin
};

const DumpKind kDumpKinds[] = {
    {kTxDataTitle, LinkDirection::ToTerminal, true, true},
    {kTxUnencodedTitle, LinkDirection::ToTerminal, false, true},
    {kTxEncodedTitle, LinkDirection::ToTerminal, true, false},
    {kRxDataTitle, LinkDirection::FromTerminal, true, true},
    {kRxEncodedTitle, LinkDirection::FromTerminal, true, false},
    {kRxDecodedTitle, LinkDirection::FromTerminal, true, true},
};

// The kind of dump whose title line `line` is ("<title> (<count>):"), or nullptr.
const DumpKind* DumpTitle(const std::string& line) {
    for (const DumpKind& kind : kDumpKinds) {
        const std::string title = std::string(kind.title) + " (";
        if (line.compare(0, title.size(), title) != 0) continue;
        const size_t close = line.find("):", title.size());
        if (close == std::string::npos || close == title.size()) continue;
        bool digits = true;
        for (size_t i = title.size(); i < close; ++i)
            digits = digits && std::isdigit(static_cast<unsigned char>(line[i]));
        if (digits) return &kind;
    }
    return nullptr;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

const char* ControlName(uint8_t b) {
    switch (b) {
        case kACK:
            return "ACK";
        case kNAK:
            return "NAK";
        case kENQ:
            return "ENQ (link test)";
        default:
            return nullptr;
    }
}

constexpr const char* kFinishMark = "===============Finish Logging";

}  // namespace

LogStart CheckLogStart(const std::string& text) {
    // The logger's own lines without a prefix (thread reports, the finish line) may come first
    // in a numbered file after the first; an entry or the finish line follows them soon.
    for (size_t at = 0; at < text.size() && at < kLogStartScan;) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        for (unsigned char c : line)
            if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7F) return LogStart::NotLog;
        long ms;
        int32_t level;
        size_t message;
        if (ParsePrefix(line, &ms, &level, &message) || line.rfind(kFinishMark, 0) == 0)
            return LogStart::Log;
        if (end == text.size()) break;  // an unfinished line may still grow into an entry
        at = end + 1;
    }
    return text.size() < kLogStartScan ? LogStart::TooShort : LogStart::NotLog;
}

std::string NotALogError(bool decrypted) {
    return decrypted ? "does not decrypt to a log: a wrong key, or not a log of the library"
                     : "not a log of the library (an encrypted log needs its key: --key-file, -k "
                       "or ORN_LOG_KEY)";
}

bool ParseTimeOfDay(const std::string& text, long* ms) {
    int h = 0, m = 0, s = 0, milli = 0, used = 0;
    const char* c = text.c_str();
    int fields = std::sscanf(c, "%2d:%2d%n", &h, &m, &used);
    if (fields != 2) return false;
    if (c[used] == ':') {
        int more = 0;
        if (std::sscanf(c + used, ":%2d%n", &s, &more) != 1) return false;
        used += more;
        if (c[used] == '.' || c[used] == ':') {
            if (std::sscanf(c + used + 1, "%3d%n", &milli, &more) != 1) return false;
            used += 1 + more;
        }
    }
    if (c[used] != '\0' || h > 23 || m > 59 || s > 59 || h < 0 || m < 0 || s < 0 || milli < 0)
        return false;
    *ms = ((h * 60L + m) * 60L + s) * 1000L + milli;
    return true;
}

bool ParseLevel(const std::string& text, int32_t* level) {
    if (text.size() == 1 && text[0] >= '1' && text[0] <= '4') {
        *level = text[0] - '0';
        return true;
    }
    std::string lower;
    for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (int32_t i = 0; i < 4; ++i) {
        if (lower == kLevelNames[i]) {
            *level = i + 1;
            return true;
        }
    }
    return false;
}

std::string ExplainDump(const std::string& dump) {
    const size_t titleEnd = dump.find('\n');
    const DumpKind* kind = DumpTitle(dump.substr(0, titleEnd));
    if (!kind || !kind->explained || titleEnd == std::string::npos) return {};
    // The hex column: "XX " per byte, "** " for a hidden one, 16 a line.
    std::vector<uint8_t> bytes;
    std::vector<bool> hidden;
    size_t lineStart = titleEnd + 1;
    while (lineStart < dump.size()) {
        size_t lineEnd = dump.find('\n', lineStart);
        if (lineEnd == std::string::npos) lineEnd = dump.size();
        for (size_t pos = lineStart, i = 0; i < 16 && pos + 3 <= lineEnd; ++i, pos += 3) {
            if (dump[pos + 2] != ' ') break;
            if (dump[pos] == '*' && dump[pos + 1] == '*') {
                bytes.push_back('*');
                hidden.push_back(true);
                continue;
            }
            const int high = HexValue(dump[pos]), low = HexValue(dump[pos + 1]);
            if (high < 0 || low < 0) break;
            bytes.push_back(static_cast<uint8_t>(high << 4 | low));
            hidden.push_back(false);
        }
        lineStart = lineEnd + 1;
    }
    if (bytes.empty()) return {};
    if (kind->framed && bytes.size() == 1) {
        const char* control = ControlName(bytes[0]);
        return control ? control : std::string();
    }
    size_t from = 0, count = bytes.size();
    if (kind->framed) {
        if (bytes.size() < 3) return {};
        if (bytes[0] == kSOH)
            return "continuation block, " + std::to_string(bytes.size() - 3) + " bytes";
        if (bytes[0] != kSTX) return {};
        from = 1;
        count = bytes.size() - 3;
    }
    std::string text = catalogue::Describe(
        kind->direction, bytes.data() + from, count,
        std::vector<bool>(hidden.begin() + from, hidden.begin() + from + count));
    if (kind->framed && bytes[bytes.size() - 2] == kETB) text += " (first block)";
    return text;
}

void Explainer::Feed(const std::string& text, std::string* out) {
    size_t start = 0;
    for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
        partial_.append(text, start, nl - start);
        Line(partial_, out);
        partial_.clear();
        start = nl + 1;
    }
    partial_.append(text, start, std::string::npos);
}

void Explainer::Line(const std::string& line, std::string* out) {
    long ms = 0;
    int32_t level = 0;
    size_t message = 0;
    if (ParsePrefix(line, &ms, &level, &message)) {
        Flush(out);
        dump_ = DumpTitle(line.substr(message)) != nullptr;
        keep_ = (level == 0 || level <= filter_.level) && (!filter_.framesOnly || dump_) &&
                (filter_.fromMs < 0 || ms >= filter_.fromMs) &&
                (filter_.toMs < 0 || ms <= filter_.toMs);
        entry_ = line + "\n";
        message_ = message;
        return;
    }
    entry_ += line + "\n";
}

void Explainer::End(std::string* out) {
    if (partial_.find_first_not_of(' ') != std::string::npos) {
        Line(partial_, out);
        if (!entry_.empty() && entry_.back() == '\n') entry_.pop_back();
    }
    partial_.clear();
    Flush(out);
}

void Explainer::Flush(std::string* out) {
    if (entry_.empty()) return;
    if (keep_) {
        *out += entry_;
        if (dump_ && filter_.explain && entry_.size() > message_) {
            const std::string explanation = ExplainDump(entry_.substr(message_));
            // Under the hex body, before the blank line that ends a dump.
            if (!explanation.empty()) {
                const bool blank =
                    entry_.size() >= 2 && entry_.compare(entry_.size() - 2, 2, "\n\n") == 0;
                out->insert(out->size() - (blank ? 1 : 0), "    = " + explanation + "\n");
            }
        }
    }
    entry_.clear();
    dump_ = false;
    keep_ = !filter_.framesOnly;
}

}  // namespace orn::logread
