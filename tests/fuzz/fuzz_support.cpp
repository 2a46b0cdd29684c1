#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>

namespace orn::fuzz {

Message ReadMessage(const uint8_t* data, size_t size) {
    Input in(data, size);
    Message message;
    message.variant = in.Byte();
    message.id = in.Take(3);
    message.payload = in.Rest();
    return message;
}

uint64_t Schedule(const uint8_t* data, size_t size) {
    uint64_t hash = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
    return hash;
}

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

}  // namespace orn::fuzz
