// What the engine takes from its surroundings, in one place: the clock its elapsed-time checks
// read, the start of every thread it runs, the opening of its transport and the port kind query.
// An unset member means the platform's own (TickCount, Thread::Start, the serial port and the
// USB HID device, a fresh listing of the ports), which is what the exported functions run on. A
// test hands the engine its own to run many engines in one process against a terminal in
// memory, on a clock it moves itself.
//
// Timed event waits still measure real time: an injected clock moves elapsed-time checks only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "link/transport.h"
#include "platform/platform.h"

namespace orn {

class CLogger;
class IPortKindQuery;

// What the engine asks a transport opener to open.
struct TransportRequest {
    bool hid = false;
    // The serial port's name as the platform opens it ("\\.\COM12", a device path), or the USB
    // HID device's path.
    std::string name;
    std::string portName;               // the serial port's name in the log ("COM12")
    uint32_t rxQueue = 0, txQueue = 0;  // serial buffer sizes
    bool makerUsb = false;              // the maker's USB serial port (115200 baud)
    CLogger* log = nullptr;
    IChunkSink* sink = nullptr;  // where the transport delivers what it reads
};

struct EngineServices {
    // Milliseconds, wrapping like platform::TickCount.
    std::function<uint32_t()> clock;
    // Starts `thread` on `body`; 0 or a platform error (the thread then did not start).
    std::function<platform::Status(platform::Thread& thread, std::function<uint32_t()> body)>
        startThread;
    // Opens a transport and starts its delivery; 0 with `out` set, or the platform error.
    std::function<platform::Status(const TransportRequest& request,
                                   std::shared_ptr<ITransport>& out)>
        openTransport;
    // The port kind query; null: the platform's. Must outlive the engine.
    IPortKindQuery* portKinds = nullptr;

    uint32_t Now() const { return clock ? clock() : platform::TickCount(); }
    platform::Status StartThread(platform::Thread& thread, std::function<uint32_t()> body) const {
        return startThread ? startThread(thread, std::move(body)) : thread.Start(std::move(body));
    }
    platform::Status OpenTransport(const TransportRequest& request,
                                   std::shared_ptr<ITransport>& out) const {
        return openTransport ? openTransport(request, out) : OpenPlatformTransport(request, out);
    }
    // Today's serial port or USB HID device.
    static platform::Status OpenPlatformTransport(const TransportRequest& request,
                                                  std::shared_ptr<ITransport>& out);
};

}  // namespace orn
