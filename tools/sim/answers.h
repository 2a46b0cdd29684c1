// The simulator's default answers, one installer per command family. Each installer registers
// handlers on the simulator for the messages of its family; the simulator installs them all.
#pragma once

namespace orn::sim {

class TerminalSimulator;

void InstallDefaultAnswers(TerminalSimulator& sim);

// Families.
void InstallBasicAnswers(TerminalSimulator& sim);

}  // namespace orn::sim
