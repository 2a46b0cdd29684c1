// What the simulated platform offers its driver (tools/dsim) besides the seam itself: the
// clock's start and the far end of the one virtual serial port, "COM1", where the scripted
// terminal sits. All of it runs on the scheduler's fibers (scheduler.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace orn::platform::sim {

// TickCount at virtual time 0 (ticks wrap at 2^32 like the real counter).
void SetTickBase(uint32_t base);

// The virtual port: two byte queues and the state both ends see.
struct VirtualPort {
    std::deque<uint8_t> toHost;
    std::deque<uint8_t> toTerminal;
    bool present = true;      // the device node exists (false: unplugged)
    bool hostOpen = false;    // the library holds the port open
    uint32_t generation = 0;  // counts unplugs: a handle of an older generation is dead
    uint32_t opens = 0;       // times the library opened the port
    uint32_t closes = 0;
    bool rxEvent = false;  // bytes came since the host's last character event
};

VirtualPort& Port();
// Back to a present, closed, empty port.
void ResetPort();
// The terminal's side.
void TerminalWrite(const void* data, size_t length);
// The device goes away: open handles fail from now on, and the name is no longer present.
void Unplug();
void Replug();

}  // namespace orn::platform::sim
