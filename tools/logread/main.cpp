// ornlogread: prints log files written by the library, decrypting them with the key that the
// application gave ornSetLogKey.
//
//   ornlogread [-k HEXKEY] FILE...
//
// Without a key the files are copied to standard output unchanged. With a key (16 hex digits
// for DES, 32 for two-key triple DES) each file is decrypted block by block, its CR LF line ends
// become LF again and the space padding of its last block is removed.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "log/log_cipher.h"

namespace {

constexpr int kExitFileError = 1;
constexpr int kExitUsage = 2;

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: ornlogread [-k HEXKEY] FILE...\n"
                 "Prints library log files to standard output.\n"
                 "  -k HEXKEY  decrypt with this key: 16 hex digits (DES) or 32 (two-key\n"
                 "             triple DES), as given to ornSetLogKey\n"
                 "  -h         show this help\n");
}

bool ReadWholeFile(const std::string& path, std::string* data, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *error = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    data->clear();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data->append(buf, n);
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        *error = "read error";
        return false;
    }
    return true;
}

// Decrypts a whole log file into its text with LF line ends.
bool DecryptLog(orn::LogCipher& cipher, const std::string& data, std::string* text,
                std::string* error) {
    if (data.size() % orn::LogCipher::kBlock != 0) {
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
    size_t lastBlock = end >= orn::LogCipher::kBlock ? end - orn::LogCipher::kBlock : 0;
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

}  // namespace

int main(int argc, char** argv) {
    std::string key;
    bool haveKey = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            PrintUsage(stdout);
            return 0;
        } else if (arg == "-k") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ornlogread: -k needs a key\n");
                PrintUsage(stderr);
                return kExitUsage;
            }
            key = argv[++i];
            haveKey = true;
        } else if (arg == "--") {
            for (++i; i < argc; ++i) files.push_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "ornlogread: unknown option %s\n", arg.c_str());
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

    orn::LogCipher cipher;
    if (haveKey && !cipher.SetHexKey(key)) {
        std::fprintf(stderr, "ornlogread: bad key \"%s\": expected 16 or 32 hexadecimal digits\n",
                     key.c_str());
        return kExitUsage;
    }

    int status = 0;
    for (const std::string& path : files) {
        std::string data, text, error;
        if (!ReadWholeFile(path, &data, &error) ||
            (haveKey && !DecryptLog(cipher, data, &text, &error))) {
            std::fprintf(stderr, "ornlogread: %s: %s\n", path.c_str(), error.c_str());
            status = kExitFileError;
            continue;
        }
        const std::string& out = haveKey ? text : data;
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    std::fflush(stdout);
    return status;
}
