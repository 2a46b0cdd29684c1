// ornlogread: prints log files written by the library, decrypting them with the key that the
// application gave ornSetLogKey, and explains the frames its dumps show.
//
//   ornlogread [--key-file FILE | -k HEXKEY] [--frames] [--level L] [--from T] [--to T]
//              [--follow] [--raw] FILE...     (or the key in ORN_LOG_KEY)
//
// Without a key the files are read as they are. With a key (16 hex digits for DES, 32 for
// two-key triple DES) each file is decrypted block by block, its CR LF line ends become LF again
// and the space padding of its last block is removed. After each frame dump comes a line naming
// the message and its fields; secrets stay masked as the log has them. The key is never
// printed, not even a malformed one.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "follow.h"
#include "log/log_cipher.h"
#include "log_reader.h"

namespace {

constexpr int kExitFileError = 1;
constexpr int kExitUsage = 2;
constexpr const char* kKeyVariable = "ORN_LOG_KEY";
// A key file holds one key; anything much longer is not one.
constexpr size_t kMaxKeyFile = 4096;

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: ornlogread [--key-file FILE | -k HEXKEY] [--frames] [--level LEVEL]\n"
                 "                  [--from TIME] [--to TIME] [--follow] [--raw] FILE...\n"
                 "Prints library log files to standard output, decrypting them when a key is\n"
                 "given: 16 hex digits (DES) or 32 (two-key triple DES), as given to\n"
                 "ornSetLogKey. Each frame dump is followed by a line naming the message and\n"
                 "its fields (\"    = 5B. beep: tone 7\"); secrets stay masked as logged.\n"
                 "  --frames         only the frame dumps\n"
                 "  --level LEVEL    only entries of LEVEL and more severe: severe, info, fine,\n"
                 "                   detail (or 1 to 4)\n"
                 "  --from TIME      only entries at or after TIME of day (hh:mm[:ss[.mmm]])\n"
                 "  --to TIME        only entries at or before TIME\n"
                 "  --follow         after the files, keep reading the last one as it grows, and\n"
                 "                   the next numbered files when the logger moves on to them,\n"
                 "                   until the logger finishes the log (or until interrupted)\n"
                 "  --raw            no explanations: the log as written (with the filters)\n"
                 "  --key-file FILE  read the key from FILE (white space around it is ignored)\n"
                 "  -k HEXKEY        the key itself (other users can see it in the process\n"
                 "                   list: prefer --key-file or the environment)\n"
                 "  -h               show this help\n"
                 "Without --key-file or -k the key is taken from %s when it is set.\n",
                 kKeyVariable);
}

bool ReadFile(const std::string& path, size_t limit, std::string* data, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *error = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    data->clear();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && data->size() <= limit)
        data->append(buf, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        *error = "read error";
        return false;
    }
    return true;
}

// Overwrites a copy of the key before it is released.
void Wipe(std::string& secret) {
    volatile char* p = secret.empty() ? nullptr : &secret[0];
    for (size_t i = 0; i < secret.size(); ++i) p[i] = 0;
    secret.clear();
}

void Write(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::string key;
    std::string keySource;  // how the key was given, for messages; empty: no key
    std::string keyFile;
    std::vector<std::string> files;
    orn::logread::Filter filter;
    bool follow = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            PrintUsage(stdout);
            return 0;
        } else if (arg == "--frames") {
            filter.framesOnly = true;
        } else if (arg == "--follow") {
            follow = true;
        } else if (arg == "--raw") {
            filter.explain = false;
        } else if (arg == "--level" || arg == "--from" || arg == "--to") {
            const bool ok =
                i + 1 < argc &&
                (arg == "--level"  ? orn::logread::ParseLevel(argv[i + 1], &filter.level)
                 : arg == "--from" ? orn::logread::ParseTimeOfDay(argv[i + 1], &filter.fromMs)
                                   : orn::logread::ParseTimeOfDay(argv[i + 1], &filter.toMs));
            if (!ok) {
                std::fprintf(stderr, "ornlogread: %s needs a %s\n", arg.c_str(),
                             arg == "--level" ? "level: severe, info, fine or detail"
                                              : "time of day: hh:mm[:ss[.mmm]]");
                return kExitUsage;
            }
            ++i;
        } else if (arg == "-k" || arg == "--key-file") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ornlogread: %s needs an argument\n", arg.c_str());
                PrintUsage(stderr);
                return kExitUsage;
            }
            if (!keySource.empty()) {
                std::fprintf(stderr, "ornlogread: give the key only once\n");
                return kExitUsage;
            }
            ++i;
            if (arg == "-k") {
                key = argv[i];
                // Shortens the time the key shows in the process list.
                std::memset(argv[i], 'x', std::strlen(argv[i]));
                keySource = "-k";
            } else {
                keyFile = argv[i];
                keySource = "key file " + keyFile;
            }
        } else if (arg == "--") {
            for (++i; i < argc; ++i) files.push_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            // Not echoed: a mistyped option may carry the key.
            std::fprintf(stderr, "ornlogread: unknown option\n");
            PrintUsage(stderr);
            return kExitUsage;
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "ornlogread: no file given\n");
        PrintUsage(stderr);
        return kExitUsage;
    }
    if (!keyFile.empty()) {
        std::string error;
        if (!ReadFile(keyFile, kMaxKeyFile, &key, &error)) {
            std::fprintf(stderr, "ornlogread: %s: %s\n", keySource.c_str(), error.c_str());
            return kExitUsage;
        }
    } else if (keySource.empty()) {
        const char* fromEnvironment = std::getenv(kKeyVariable);
        if (fromEnvironment && *fromEnvironment) {
            key = fromEnvironment;
            keySource = kKeyVariable;
        }
    }

    orn::LogCipher cipher;
    const bool haveKey = !keySource.empty();
    if (haveKey && !orn::logread::SetKeyFromText(key, &cipher)) {
        Wipe(key);
        std::fprintf(stderr, "ornlogread: bad key (%s): expected 16 or 32 hexadecimal digits\n",
                     keySource.c_str());
        return kExitUsage;
    }
    Wipe(key);

    int status = 0;
    for (size_t n = 0; n < files.size(); ++n) {
        const std::string& path = files[n];
        orn::logread::Explainer explainer(filter);
        std::string data, text, error;
        if (follow && n + 1 == files.size()) {
            if (!orn::logread::FollowLog(path, haveKey ? &cipher : nullptr, explainer, stdout,
                                         &error)) {
                std::fprintf(stderr, "ornlogread: %s: %s\n", path.c_str(), error.c_str());
                status = kExitFileError;
            }
            continue;
        }
        if (!ReadFile(path, static_cast<size_t>(-1), &data, &error) ||
            (haveKey && !orn::logread::DecryptLog(cipher, data, &text, &error))) {
            std::fprintf(stderr, "ornlogread: %s: %s\n", path.c_str(), error.c_str());
            status = kExitFileError;
            continue;
        }
        const std::string& logText = haveKey ? text : data;
        if (!logText.empty() &&
            orn::logread::CheckLogStart(logText) != orn::logread::LogStart::Log) {
            std::fprintf(stderr, "ornlogread: %s: %s\n", path.c_str(),
                         orn::logread::NotALogError(haveKey).c_str());
            status = kExitFileError;
            continue;
        }
        std::string out;
        explainer.Feed(logText, &out);
        explainer.End(&out);
        Write(out);
    }
    std::fflush(stdout);
    return status;
}
