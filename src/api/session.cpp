// Opening and closing the link, the version calls and the result-code texts.
#include "api/session.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "api/guard.h"
#include "api/result_codes.h"
#include "link/port_discovery.h"
#include "velquoraorn.h"
#include "version.h"

namespace orn {

namespace {

constexpr uint32_t kQueueSize = 2048;

// Error-text ring: a formatted text stays valid until 16 more have been produced.
constexpr int kRingSize = 16;
char g_ErrorRing[kRingSize][65];
int g_RingIndex = 0;
platform::RecursiveLock& ErrorTextLock() {
    static platform::RecursiveLock lock;
    return lock;
}

// Written by ornGetVersion; a static buffer so the text outlives the call.
char g_VersionText[8];

platform::RecursiveLock& StoredNameLock() {
    static platform::RecursiveLock lock;
    return lock;
}
char g_StoredPortName[68];

const char* const kErrorNames[] = {
    "ORN_ERR_NO_ERROR",
    "ORN_ERR_COMM_PORT_NOT_OPEN",
    "ORN_ERR_NO_ACK_ERROR",
    "ORN_ERR_NO_RESPONSE_ERROR",
    "ORN_ERR_NOT_DEFINED",
    "ORN_ERR_CANCELED_BY_USER_ERROR",
    "ORN_ERR_DEVICE_ERROR",
    "ORN_ERR_UNKNOWN_ERROR",
    "ORN_ERR_GOT_NAK_ERROR",
    "ORN_ERR_CANCELED_BY_POWERUP_ERROR",
    "ORN_ERR_WRONG_RESPONSE_ERROR",
    "ORN_ERR_DEVICE_IS_NOT_RESPONDING_ERROR",
    "ORN_ERR_DEVICE_IS_BUSY_ERROR",
    "ORN_ERR_DEVICE_USB_DISCONNECTED",
    "ORN_ERR_EMV_APPLICATION_NOT_FOUND",
    "ORN_ERR_EMV_SESSION_TABLE_FULL",
    "ORN_ERR_EMV_NOT_IN_SESSION_TABLE",
    "ORN_ERR_COMMAND_NOT_EXIST",
    "ORN_ERR_INVALID_PARAMETER_IN_API_CALL",
    "ORN_ERR_API_TIMEOUT",
    "ORN_ERR_API_QUEUE_BLOCKED",
    "ORN_ERR_COM_PORT_NOT_EXIST",
    "ORN_ERR_COM_PORT_BUSY",
    "ORN_ERR_OTHER_COM_ALREADY_OPEN",
    "ORN_ERR_COM_PORT_NAME_TOO_LONG",
};

bool StartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix)
        if (std::toupper(static_cast<unsigned char>(*text)) !=
            std::toupper(static_cast<unsigned char>(*prefix)))
            return false;
    return true;
}

bool EqualsNoCase(const char* a, const char* b) {
    return std::strlen(a) == std::strlen(b) && StartsWithNoCase(a, b);
}

enum class OpenKind { Init, Legacy };

// Automatic selection: the maker's USB serial ports, then the USB HID terminals, then every
// other serial port; the first whose terminal answers stays open. 0 found, else
// kResultNoTerminal (closed). Each candidate is logged as it is tried, and why it was passed over.
int AutoSelect(CGenericHandler& engine) {
    CLogger& log = engine.Logger();
    std::vector<platform::SerialPortInfo> ports;
    std::vector<platform::HidDeviceInfo> devices;
    FindComPorts(log, &ports);
    FindUsbHidDevices(log, &devices);

    // Runs the ready check on a candidate the open call below opened; a silent one is closed.
    auto answers = [&](const std::string& name, const std::function<platform::Status()>& open) {
        log.Log(kLogInfo, "AUTO: trying %s", name.c_str());
        const platform::Status error = open();
        if (error == platform::kErrAccessDenied) {
            log.Log(kLogInfo, "AUTO: %s passed over: busy", name.c_str());
            return false;
        }
        if (error != 0) {
            log.Log(kLogInfo, "AUTO: %s passed over: open failed (error %u)%s", name.c_str(),
                    error.Error(), error.Detail().c_str());
            return false;
        }
        if (engine.WaitForPowerUpOrCancel()) {
            log.Log(kLogInfo, "AUTO: %s answered", name.c_str());
            SetStoredPortName(name);
            return true;
        }
        log.Log(kLogInfo, "AUTO: %s passed over: no answer", name.c_str());
        engine.CloseCandidate();
        return false;
    };
    // A port opens under its name exactly as ornInit opens that name.
    auto trySerial = [&](const platform::SerialPortInfo& port) {
        return answers(port.portName, [&] {
            return engine.OpenSerialPort(SerialDeviceName(port.portName).c_str(), 0, 0,
                                         port.portName.c_str());
        });
    };
    for (const platform::SerialPortInfo& port : ports) {
        if (KindOf(port) != kPortMakerUsb) continue;
        engine.SetQuickCancelMode(false);
        if (trySerial(port)) return 0;
    }
    for (const platform::HidDeviceInfo& device : devices)
        if (answers(HidPortName(device), [&] { return engine.OpenHidPort(device.path); })) return 0;
    for (const platform::SerialPortInfo& port : ports)
        if (KindOf(port) != kPortMakerUsb && trySerial(port)) return 0;
    log.Log(kLogInfo, "AUTO: no terminal answered");
    engine.CloseLink();
    return kResultNoTerminal;
}

// The checks every open call makes before touching the port: -18, -24, -23 or 0.
int CheckOpenArguments(const char* portName) {
    if (!portName) return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
    if (std::strlen(portName) >= 7) {
        Engine().Logger().Log(kLogSevere, "Port Name too long -- should be 6 or less characters");
        return ORN_ERR_COM_PORT_NAME_TOO_LONG;
    }
    if (Engine().IsPortOpen()) {
        Engine().Logger().Log(kLogSevere, "Port Already Open, use ornClose first");
        return ORN_ERR_OTHER_COM_ALREADY_OPEN;
    }
    return 0;
}

// Under the port lock.
int OpenLink(OpenKind kind, const char* portName, const char* logFile, int32_t logLevel) {
    CGenericHandler& engine = Engine();
    if (!portName) return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
    if (kind == OpenKind::Init) engine.SetLinkMonitoring((logLevel & 0x80000000) == 0);
    if (logFile) {
        int32_t level = kind == OpenKind::Init ? (logLevel & 0x7FFFFFFF) : logLevel;
        engine.Logger().OpenLogFile(logFile, level);
        engine.LogLevelChanged();
    }
    int result = CheckOpenArguments(portName);
    if (result != 0) return result;

    // Without its queue thread the engine cannot carry a command: the port stays closed.
    if (engine.StartThreads() != 0) {
        engine.CloseLink();
        return ORN_ERR_COMM_PORT_NOT_OPEN;
    }
    if (StartsWithNoCase(portName, "COM")) {
        if (kind == OpenKind::Legacy) engine.SetQuickCancelMode(false);
        result = OpenResult(
            engine.OpenSerialPort(SerialDeviceName(portName).c_str(), kQueueSize, kQueueSize));
    } else if (StartsWithNoCase(portName, "USBHID")) {
        // The first of the maker's terminals; none found is a failure other than 2 and 5.
        std::vector<platform::HidDeviceInfo> devices;
        FindUsbHidDevices(engine.Logger(), &devices);
        result = devices.empty() ? ORN_ERR_COMM_PORT_NOT_OPEN
                                 : OpenResult(engine.OpenHidPort(devices.front().path));
    } else if (EqualsNoCase(portName, "AUTO")) {
        return AutoSelect(engine);
    } else {
        result = ORN_ERR_COMM_PORT_NOT_OPEN;
    }
    if (result == 0) {
        if (engine.WaitForPowerUpOrCancel())
            SetStoredPortName(portName);
        else
            result = kResultNoTerminal;
    }
    if (result != 0) engine.CloseLink();
    return result;
}

}  // namespace

uint32_t ReopenStoredPort(CGenericHandler& engine, const std::string& stored) {
    // A USB HID terminal is found again by its product id ("Velquora PPPP"), or as the first
    // one ("USBHID"); any other name is a serial port.
    const bool byProduct = stored.compare(0, 9, "Velquora ") == 0;
    if (!byProduct && !EqualsNoCase(stored.c_str(), "USBHID"))
        return engine.OpenSerialPort(("\\\\.\\" + stored).c_str(), kQueueSize, kQueueSize);
    std::vector<platform::HidDeviceInfo> devices;
    FindUsbHidDevices(engine.Logger(), &devices);
    for (const platform::HidDeviceInfo& device : devices)
        if (!byProduct || HidPortName(device) == stored) return engine.OpenHidPort(device.path);
    return platform::kErrNotFound;
}

platform::RecursiveLock& PortLock() {
    static platform::RecursiveLock lock;
    return lock;
}

// A callback thread tries until it has the lock, and stops trying once it sees the close.
bool LockPortUnlessClosing(CGenericHandler& engine) TRY_ACQUIRE(true, PortLock()) {
    constexpr uint32_t kRetryMs = 10;
    if (!CGenericHandler::OnCallbackThread()) {
        PortLock().Lock();
        return true;
    }
    for (;;) {
        if (engine.CloseRunningElsewhere()) return false;
        if (PortLock().TryLock()) return true;
        platform::SleepMs(kRetryMs);
    }
}

std::string StoredPortName() {
    platform::LockGuard hold(StoredNameLock());
    return g_StoredPortName;
}

void SetStoredPortName(const std::string& name) {
    platform::LockGuard hold(StoredNameLock());
    std::snprintf(g_StoredPortName, sizeof g_StoredPortName, "%s", name.c_str());
}

int CommonPreamble() {
    CGenericHandler& engine = Engine();
    engine.RunFaultHook();
    if (!engine.IsPortOpen()) return ORN_ERR_COMM_PORT_NOT_OPEN;
    if (engine.GetConnectionState() != kConnOk) return ORN_ERR_DEVICE_IS_NOT_RESPONDING_ERROR;
    return 0;
}

std::string SerialDeviceName(const std::string& portName) {
    if (portName.size() > 3 && StartsWithNoCase(portName.c_str(), "COM") &&
        std::atoi(portName.c_str() + 3) > 9)
        return "\\\\.\\" + portName;
    return portName;
}

}  // namespace orn

using orn::Engine;

extern "C" {

ORN_API int ornInit(const char* portName, const char* logFile, int32_t logLevel) {
    return orn::GuardedCode("ornInit", [&]() -> int {
        return orn::UnlessClosing("ornInit", ORN_ERR_COMM_PORT_NOT_OPEN, [&] {
            return orn::OpenLink(orn::OpenKind::Init, portName, logFile, logLevel);
        });
    });
}

ORN_API int ornInitLegacy(const char* portName, const char* logFile, int32_t logLevel) {
    return orn::GuardedCode("ornInitLegacy", [&]() -> int {
        return orn::UnlessClosing("ornInitLegacy", ORN_ERR_COMM_PORT_NOT_OPEN, [&] {
            return orn::OpenLink(orn::OpenKind::Legacy, portName, logFile, logLevel);
        });
    });
}

ORN_API int ornOpen(const char* portName) {
    return orn::GuardedCode("ornOpen", [&] {
        return orn::UnlessClosing("ornOpen", ORN_ERR_COMM_PORT_NOT_OPEN, [&]() -> int {
            int result = orn::CheckOpenArguments(portName);
            if (result != 0) return result;
            orn::CGenericHandler& engine = Engine();
            if (engine.StartThreads() != 0) {
                engine.CloseLink();
                return ORN_ERR_COMM_PORT_NOT_OPEN;
            }
            result = orn::OpenResult(engine.OpenSerialPort(orn::SerialDeviceName(portName).c_str(),
                                                           orn::kQueueSize, orn::kQueueSize));
            if (result != 0) {
                engine.CloseLink();
                return result;
            }
            // Clears whatever the terminal may still be doing; its outcome does not matter here.
            engine.QuickCancel(true);
            return 0;
        });
    });
}

ORN_API void ornClose(void) {
    orn::GuardedVoid("ornClose", [&] {
        // A callback closing while another close waits for it: that close does the work.
        if (!orn::LockPortUnlessClosing(Engine())) return;
        orn::platform::LockGuard hold(orn::PortLock(), orn::platform::kAdoptLock);
        Engine().CloseLink();
    });
}

ORN_API int ornReOpenPort(void) {
    return orn::GuardedCode("ornReOpenPort", [&] {
        return orn::UnlessClosing("ornReOpenPort", ORN_ERR_COMM_PORT_NOT_OPEN, [&]() -> int {
            orn::CGenericHandler& engine = Engine();
            if (!engine.IsPortOpen()) return orn::kResultNoTerminal;
            engine.DestroyTransport();
            engine.ResetReceiver();
            std::string stored = orn::StoredPortName();
            if (stored.empty() || orn::ReopenStoredPort(engine, stored) != 0) {
                engine.CloseLink();
                return orn::kResultNoTerminal;
            }
            return 0;
        });
    });
}

ORN_API const char* ornGetComPort(void) {
    return orn::Guarded("ornGetComPort", static_cast<const char*>(nullptr), [&]() -> const char* {
        static thread_local char name[68];
        std::string stored = orn::StoredPortName();
        if (!Engine().IsPortOpen() || stored.empty()) return nullptr;
        std::snprintf(name, sizeof name, "%s", stored.c_str());
        return name;
    });
}

ORN_API const char* ornGetVersion(void) {
    std::memcpy(orn::g_VersionText, orn::kLibraryVersion, sizeof orn::kLibraryVersion);
    return orn::g_VersionText;
}

ORN_API uint32_t ornGetVersionDWORD(void) {
    int major = 0, minor = 0;
    char rest[8] = "";
    std::sscanf(orn::kLibraryVersion, "%d.%d.%7s", &major, &minor, rest);
    return (static_cast<uint32_t>(major) << 16) | (static_cast<uint32_t>(minor) & 0xFFFF);
}

ORN_API const char* ornGetErrorString(int code) {
    return orn::Guarded("ornGetErrorString", static_cast<const char*>("ORN_ERR_UNKNOWN_ERROR"),
                        [&]() -> const char* {
                            if (code <= 0 && code >= -24) return orn::kErrorNames[-code];
                            orn::platform::LockGuard hold(orn::ErrorTextLock());
                            char* text = orn::g_ErrorRing[orn::g_RingIndex];
                            orn::g_RingIndex = (orn::g_RingIndex + 1) % orn::kRingSize;
                            std::snprintf(text, sizeof orn::g_ErrorRing[0],
                                          code > 0 ? "ORN Command Specific Return Value: %d"
                                                   : "Unknown Error Code: %d",
                                          code);
                            return text;
                        });
}

ORN_API int ornPing(void) {
    return orn::GuardedCode("ornPing", [&]() -> int { return orn::CommonPreamble(); });
}

ORN_API int ornCheckConnectionStatus(void) {
    return orn::GuardedCode("ornCheckConnectionStatus", [&]() -> int {
        orn::CGenericHandler& engine = Engine();
        if (!engine.IsPortOpen()) return ORN_ERR_COMM_PORT_NOT_OPEN;
        return orn::ConnectionStatusResult(engine.GetConnectionState());
    });
}

}  // extern "C"
