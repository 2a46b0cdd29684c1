// tools/symrename/ owns one build step of the shared library: it renames a symbol in the linked
// library by overwriting every occurrence of the stand-in name with the final one. The two names
// must have the same length and the same GNU hash (the caller chose them so), which keeps the
// library's symbol hash table valid.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {
uint32_t GnuHash(const std::string& name) {
    uint32_t h = 5381;
    for (unsigned char c : name) h = h * 33 + c;
    return h;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: symrename LIBRARY STAND-IN FINAL\n");
        return 2;
    }
    std::string from = argv[2], to = argv[3];
    if (from.size() != to.size() || GnuHash(from) != GnuHash(to)) {
        std::fprintf(stderr, "symrename: names differ in length or hash\n");
        return 2;
    }
    std::vector<char> data;
    {
        std::ifstream in(argv[1], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "symrename: cannot read %s\n", argv[1]);
            return 1;
        }
        data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Match whole string-table entries only: a NUL before and after the name.
    int renamed = 0;
    for (size_t i = 1; i + from.size() < data.size(); ++i) {
        if (data[i - 1] == '\0' && data[i + from.size()] == '\0' &&
            std::memcmp(&data[i], from.data(), from.size()) == 0) {
            std::memcpy(&data[i], to.data(), to.size());
            ++renamed;
        }
    }
    if (renamed == 0) {
        std::fprintf(stderr, "symrename: %s not found in %s\n", from.c_str(), argv[1]);
        return 1;
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return out ? 0 : 1;
}
