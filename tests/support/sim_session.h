// The library opened against the terminal simulator over a real pty: what most command tests
// start from. Closes the library on destruction.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim.h"
#include "test_support.h"

namespace orn::test {

class SimSession {
  public:
    // Starts the simulator as COM7 in a private ORN_PORT_DIR; Open() then runs ornInit.
    explicit SimSession(orn::sim::Options options = {});
    ~SimSession();

    // ornInit("COM7", <log in a temp dir>, level); returns its result and waits until the
    // power-up handshake's traffic has settled, then clears the simulator's record.
    int Open(int level = 4);
    void Close();

    orn::sim::TerminalSimulator& sim() { return *sim_; }
    // Path of the log file written (name + ".0").
    std::string LogFile() const { return log_ + ".0"; }
    // Closes the library (finishing the log) and returns the log text.
    std::string CloseAndReadLog();

    // Frames the host sent with `id`, in order (payloads).
    std::vector<std::string> Payloads(const std::string& id);
    // Waits until `count` frames with `id` have arrived.
    bool WaitForPayloads(const std::string& id, size_t count, int ms = 10000);

  private:
    ComPortDir ports_;
    TempDir dir_;
    std::string log_;
    std::unique_ptr<orn::sim::TerminalSimulator> sim_;
    bool open_ = false;
};

}  // namespace orn::test
