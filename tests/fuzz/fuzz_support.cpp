#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "engine/generic_handler.h"

namespace orn::fuzz {

void StartEngineOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        CGenericHandler& engine = Engine();
        engine.SetLinkMonitoring(false);
        // The dumps and their masks run for every frame, as at the Detail level in the field; the
        // lines go to standard output, which scripts/fuzz.sh closes (-close_fd_mask=1): a file
        // would make the writer, not the code under test, the bottleneck.
        engine.Logger().OpenLogFile("stdout", 4);
        engine.StartThreads();
    });
}

Message ReadMessage(const uint8_t* data, size_t size) {
    Input in(data, size);
    Message message;
    message.variant = in.Byte();
    message.id = in.Take(3);
    message.payload = in.Rest();
    return message;
}

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

}  // namespace orn::fuzz
