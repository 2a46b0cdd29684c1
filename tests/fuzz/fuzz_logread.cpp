// The log reader on any file: the key text from any of its sources, the decryption of a whole
// file with a DES or triple DES key, and the explaining and filtering of any text as a log.
#include <string>

#include "fuzz_support.h"
#include "log/log_cipher.h"
#include "log_reader.h"

using namespace orn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t mode = in.Byte();
    std::string file = in.Rest();
    LogCipher cipher;
    switch (mode % 5) {
        case 0:  // the whole input is a key file
            logread::SetKeyFromText(file, &cipher);
            return 0;
        case 4: {  // the input is a log's text, fed in two pieces
            logread::Filter filter;
            filter.framesOnly = (mode & 0x10) != 0;
            filter.level = 1 + (mode >> 6);
            logread::Explainer explainer(filter);
            std::string out;
            const size_t cut = file.size() / 2;
            explainer.Feed(file.substr(0, cut), &out);
            explainer.Flush(&out);
            explainer.Feed(file.substr(cut), &out);
            explainer.End(&out);
            logread::ExplainDump(file);
            return 0;
        }
        case 1:
            fuzz::Check(logread::SetKeyFromText("0123456789ABCDEF", &cipher), "des key");
            break;
        case 2:
            fuzz::Check(logread::SetKeyFromText("0123456789abcdeffedcba9876543210\n", &cipher),
                        "3des key");
            break;
        default: {  // a key line, then the file
            const size_t end = file.find('\n');
            const std::string key = file.substr(0, end);
            file = end == std::string::npos ? std::string() : file.substr(end + 1);
            if (!logread::SetKeyFromText(key, &cipher)) return 0;
            break;
        }
    }
    std::string text, error, blocks;
    if (logread::DecryptBlocks(cipher, file, &blocks))
        fuzz::Check(blocks.size() <= file.size(), "blocks longer than the file");
    if (logread::DecryptLog(cipher, file, &text, &error))
        fuzz::Check(text.size() <= file.size(), "text longer than the file");
    else
        fuzz::Check(!error.empty(), "failure without a reason");
    return 0;
}
