// The fuzz targets' engine on the real platform's threads: started once per process, and the
// library opened once against the terminal simulator on a pty.
#include <cstdlib>
#include <memory>
#include <mutex>

#include "answers.h"
#include "engine/generic_handler.h"
#include "fuzz_support.h"
#include "sim.h"
#include "velquoraorn.h"

namespace orn::fuzz {

namespace {

std::unique_ptr<orn::sim::TerminalSimulator> g_Sim;
std::mutex g_AnswerLock;
std::optional<std::string> g_Answer;

void Open() {
    char pattern[] = "/tmp/orn_fuzz_answers_XXXXXX";
    const char* dir = mkdtemp(pattern);
    Check(dir != nullptr, "temporary directory");
    orn::sim::Options options;
    options.answers = orn::sim::InstallDefaultAnswers;
    options.linkDir = dir;
    options.portName = "COM7";
    options.recordTraffic = false;
    g_Sim = std::make_unique<orn::sim::TerminalSimulator>(options);
    Check(g_Sim->ok(), "simulator");
    // Every message the library can send gets the armed answer when there is one.
    const std::string first = "3456789ABCDEF", second = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (char a : first) {
        for (char b : second) {
            const std::string id = std::string(1, a) + b + ".";
            if (id == "50.") continue;  // the cancels keep their own answer
            orn::sim::TerminalSimulator::Handler original = g_Sim->GetHandler(id);
            g_Sim->SetHandler(
                id, [original](const orn::sim::Request& request) -> std::optional<std::string> {
                    {
                        std::lock_guard<std::mutex> hold(g_AnswerLock);
                        if (g_Answer) {
                            std::optional<std::string> answer;
                            answer.swap(g_Answer);
                            return answer;
                        }
                    }
                    return original ? original(request) : std::nullopt;
                });
        }
    }
    setenv("ORN_PORT_DIR", dir, 1);
    // The log at the Detail level on standard output, as StartEngineOnce.
    Check(ornInit("COM7", "stdout", ORN_LOGGER_ON) == 0, "ornInit");
}

}  // namespace

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

void WithEngine(uint64_t, const std::function<void()>& body) {
    StartEngineOnce();
    body();
}

void WithOpenLibrary(uint64_t, const std::function<void()>& body) {
    static std::once_flag once;
    std::call_once(once, Open);
    body();
}

void AnswerNext(std::optional<std::string> answer) {
    std::lock_guard<std::mutex> hold(g_AnswerLock);
    g_Answer = std::move(answer);
}

}  // namespace orn::fuzz
