// Instrumentation entry points kept for binary compatibility; they only count their calls.
#include <atomic>

#include "velquoraorn.h"

namespace {
std::atomic<unsigned> g_InstrumentationCalls{0};
}

extern "C" ORN_API int PurifyIsRunning(void) {
    ++g_InstrumentationCalls;
    return 0;
}
