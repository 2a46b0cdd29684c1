// The EMV receive path on any "F1." message: answers to session requests, acknowledgements and
// problem reports of data messages, and incoming data for the open sessions (acknowledged and
// handed to the session callback on its own thread), with the sequence numbers in any state.
#include "engine/generic_handler.h"
#include "fuzz_support.h"

using namespace orn;

namespace {

constexpr const char* kSessions[] = {"FUZZAPP1", "VSDC0001", "A0000000031010"};

volatile unsigned g_Sink;

// Reads all it is handed, so that data outside the message is caught.
void OnSessionData(int, const unsigned char* data, int length) {
    fuzz::Check(length >= 0 && (length == 0 || data != nullptr), "session data");
    for (int i = 0; i < length; ++i) g_Sink += data[i];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::StartEngineOnce();
    CGenericHandler& engine = Engine();
    for (const char* name : kSessions)
        if (!engine.FindEmvSession(name)) engine.AddEmvSession(name, OnSessionData);
    const fuzz::Message m = fuzz::ReadMessage(data, size);
    // The sequences start over now and then, as after a session open; otherwise they run on.
    if (m.variant & 1) engine.ResetEmvSequences();
    const std::string message = "F1." + m.payload;
    engine.EmvAsyncReceiveHandler(reinterpret_cast<const uint8_t*>(message.data()),
                                  static_cast<uint32_t>(message.size()));
    return 0;
}
