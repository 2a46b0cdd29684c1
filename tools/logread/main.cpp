// ornlogread: prints log files written by the library, decrypting them with the key that the
// application gave ornSetLogKey.
//
//   ornlogread [--key-file FILE | -k HEXKEY] FILE...     (or the key in ORN_LOG_KEY)
//
// Without a key the files are copied to standard output unchanged. With a key (16 hex digits
// for DES, 32 for two-key triple DES) each file is decrypted block by block, its CR LF line ends
// become LF again and the space padding of its last block is removed. The key is never printed,
// not even a malformed one.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
                 "usage: ornlogread [--key-file FILE | -k HEXKEY] FILE...\n"
                 "Prints library log files to standard output, decrypting them when a key is\n"
                 "given: 16 hex digits (DES) or 32 (two-key triple DES), as given to\n"
                 "ornSetLogKey.\n"
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

}  // namespace

int main(int argc, char** argv) {
    std::string key;
    std::string keySource;  // how the key was given, for messages; empty: no key
    std::string keyFile;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            PrintUsage(stdout);
            return 0;
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
    for (const std::string& path : files) {
        std::string data, text, error;
        if (!ReadFile(path, static_cast<size_t>(-1), &data, &error) ||
            (haveKey && !orn::logread::DecryptLog(cipher, data, &text, &error))) {
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
