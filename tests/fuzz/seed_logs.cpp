// Writes seeds for fuzz_logread into the directory given: a short log encrypted under each of
// the target's fixed keys and one under a key given on its first line (see fuzz_logread.cpp).
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "log/logger.h"

namespace {

std::string EncryptedLog(const std::string& dir, const char* key) {
    orn::CLogger log;
    log.SetKey(key);
    if (log.OpenLogFile((dir + "/seed.log").c_str(), orn::kLogDetail) != 1) return {};
    log.Log(orn::kLogInfo, "card inserted");
    log.Log(orn::kLogFine, "RX Data (6):\n02 35 42 2E 30 03   .5B.0.. \n");
    const std::string file = log.CurrentFile();
    log.Shutdown();
    std::ifstream in(file, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    std::remove(file.c_str());
    return content.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: seed_logs DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const std::string des = EncryptedLog(dir, "0123456789ABCDEF");
    const std::string triple = EncryptedLog(dir, "0123456789abcdeffedcba9876543210");
    const std::string own = EncryptedLog(dir, "00112233445566778899AABBCCDDEEFF");
    std::ofstream(dir + "/des", std::ios::binary) << '\1' << des;
    std::ofstream(dir + "/triple", std::ios::binary) << '\2' << triple;
    std::ofstream(dir + "/keyline", std::ios::binary)
        << '\3' << "00112233445566778899AABBCCDDEEFF\n"
        << own;
    std::ofstream(dir + "/keyfile", std::ios::binary) << '\0' << " 0123456789ABCDEF\n";
    return des.empty() || triple.empty() || own.empty() ? 1 : 0;
}
