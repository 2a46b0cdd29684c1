#include "answers.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "sim.h"
#include "terminal.h"

namespace orn::sim {

void InstallDefaultAnswers(TerminalSimulator& sim) {
    InstallBasicAnswers(sim);
    InstallDeviceAnswers(sim);
    InstallDataStorageAnswers(sim);
    InstallDisplayAnswers(sim);
    InstallCardsAnswers(sim);
    InstallPinAnswers(sim);
}

// Beep (the terminal counts it), cancel, reboot, return to idle and prompt registration: plain
// success.
void InstallBasicAnswers(TerminalSimulator& sim) {
    for (const char* id : {"50.", "ER.", "6Z.", "56."})
        sim.SetHandler(id, [](const Request&) { return std::optional<std::string>("0"); });
    sim.SetHandler("5B.", [&sim](const Request& r) {
        const std::string tone = RequestFields(r).Text("tone");
        sim.Terminal().Beep(
            tone.empty() ? 0 : static_cast<int>(std::strtol(tone.c_str(), nullptr, 16)));
        return std::optional<std::string>("0");
    });
}

}  // namespace orn::sim
