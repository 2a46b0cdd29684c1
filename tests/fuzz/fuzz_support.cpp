#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "engine/generic_handler.h"

namespace orn::fuzz {

void StartEngineOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        char pattern[] = "/tmp/orn_fuzz_XXXXXX";
        const char* dir = mkdtemp(pattern);
        CGenericHandler& engine = Engine();
        engine.SetLinkMonitoring(false);
        // The dumps and their masks run for every frame, as at the Detail level in the field.
        engine.Logger().SetSizeLimit(1000000);
        if (dir) engine.Logger().OpenLogFile((std::string(dir) + "/fuzz.log").c_str(), 4);
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
