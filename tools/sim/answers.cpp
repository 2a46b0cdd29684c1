#include "answers.h"

#include <optional>
#include <string>

#include "sim.h"

namespace orn::sim {

void InstallDefaultAnswers(TerminalSimulator& sim) {
    InstallBasicAnswers(sim);
    InstallDeviceAnswers(sim);
    InstallDataStorageAnswers(sim);
    InstallDisplayAnswers(sim);
    InstallCardsAnswers(sim);
    InstallPinAnswers(sim);
}

// Beep, cancel, reboot, return to idle and prompt registration: plain success.
void InstallBasicAnswers(TerminalSimulator& sim) {
    for (const char* id : {"5B.", "50.", "ER.", "6Z.", "56."})
        sim.SetHandler(id, [](const Request&) { return std::optional<std::string>("0"); });
}

}  // namespace orn::sim
