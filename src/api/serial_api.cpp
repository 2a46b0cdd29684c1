// ornSetDTR_CheckDSR: raise DTR on a COM port and report its DSR line.
#include <cctype>
#include <cstring>
#include <string>

#include "api/guard.h"
#include "api/result_codes.h"
#include "api/session.h"
#include "link/port_discovery.h"
#include "velquoraorn.h"

namespace orn {
namespace {

// "COM" (any case) followed by decimal digits only, numbered 1 to 255.
bool IsValidComName(const char* name) {
    if (std::strlen(name) < 4) return false;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return false;
    int number = 0;
    for (const char* p = name + 3; *p; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        number = number * 10 + (*p - '0');
    }
    return number >= 1 && number <= 255;
}

// DTR up, 100 ms for the far end to answer, then DSR. The port is reached afresh for each
// step: a link lost during the pause takes its port with it.
int CheckDsrOnOpenPort() {
    CGenericHandler& engine = Engine();
    if (!engine.IsPortOpen()) return ORN_ERR_COMM_PORT_NOT_OPEN;
    engine.SetSerialDtr(true);
    platform::SleepMs(100);
    const int dsr = engine.GetSerialDsr();
    if (dsr >= 0) return dsr;
    // No serial port: a transport without a DSR line (USB HID) reads as off.
    return engine.IsPortOpen() ? 0 : ORN_ERR_COMM_PORT_NOT_OPEN;
}

}  // namespace
}  // namespace orn

extern "C" ORN_API int ornSetDTR_CheckDSR(const char* portName) {
    return orn::GuardedCode("ornSetDTR_CheckDSR", [&] {
        // Held throughout: a close or reopen waits until the open port's lines have been read.
        return orn::UnlessClosing("ornSetDTR_CheckDSR", -1, [&]() -> int {
            using namespace orn;
            if (!portName) return CheckDsrOnOpenPort();
            if (std::strlen(portName) > 6) {
                Engine().Logger().Log(kLogSevere,
                                      "Port Name too long -- should be 6 or less characters");
                return ORN_ERR_COM_PORT_NAME_TOO_LONG;
            }
            if (!IsValidComName(portName)) return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
            if (Engine().IsPortOpen() && SamePortName(StoredPortName(), portName))
                return CheckDsrOnOpenPort();

            platform::Status error;
            auto device = platform::SerialDevice::Open(portName, &error);
            if (!device) return OpenResult(error);
            device->SetDtr(true);
            platform::SleepMs(100);
            uint32_t status = 0;
            int result = device->GetModemStatus(&status) != 0
                             ? -1
                             : ((status & platform::kModemDsr) ? 1 : 0);
            device->Close();
            return result;
        });
    });
}
