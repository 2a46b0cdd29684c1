// Port and device enumeration on Win32, through the device-setup service (SETUPAPI.DLL) and the
// HID service (HID.DLL), both loaded at run time.
//
// COM ports: the present devices of the COM port interface class give each port its name and,
// for a USB virtual COM port, the vendor and product in the USB identifier of its device or of
// that device's parent. A port whose driver registers no such interface (virtual port drivers,
// Wine's ports), and every port when the device-setup service is missing, is still listed by
// its DOS device name, without USB details.
//
// HID devices: the present devices of the HID interface class, whose attributes and reports are
// read through a handle opened without access rights, so that a terminal another program holds
// is still listed. Of the top-level collections of one terminal only the link's is listed.
#include <windows.h>
// After windows.h, which they need.
#include <cfgmgr32.h>
#include <hidsdi.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "platform/platform.h"
#include "platform/port_list.h"
#include "platform/win32/hid.h"
#include "platform/win32/service_library.h"
#include "platform/win32/usb_ids.h"

namespace orn::platform {

namespace {

using GetClassDevsFn = decltype(&::SetupDiGetClassDevsA);
using EnumInterfacesFn = decltype(&::SetupDiEnumDeviceInterfaces);
using GetInterfaceDetailFn = decltype(&::SetupDiGetDeviceInterfaceDetailA);
using GetRegistryPropertyFn = decltype(&::SetupDiGetDeviceRegistryPropertyA);
using OpenDevRegKeyFn = decltype(&::SetupDiOpenDevRegKey);
using DestroyInfoListFn = decltype(&::SetupDiDestroyDeviceInfoList);
using GetAttributesFn = decltype(&::HidD_GetAttributes);
using GetHidGuidFn = decltype(&::HidD_GetHidGuid);
using GetParentFn = decltype(&::CM_Get_Parent);
using GetDeviceIdFn = decltype(&::CM_Get_Device_IDA);
using GetNodePropertyFn = decltype(&::CM_Get_DevNode_Registry_PropertyA);

// The COM port device interface class.
constexpr GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// A path longer than this does not fit the exported device record.
constexpr size_t kMaxHidPath = 260;

std::string FailureText(const char* what, DWORD error) {
    char text[96];
    std::snprintf(text, sizeof text, "%s failed. (err=%lx)", what,
                  static_cast<unsigned long>(error));
    return text;
}

// The device path of one interface, and the device it belongs to.
DWORD InterfacePath(GetInterfaceDetailFn getDetail, HDEVINFO set,
                    SP_DEVICE_INTERFACE_DATA* interfaceData, std::string* path,
                    SP_DEVINFO_DATA* device) {
    DWORD required = 0;
    getDetail(set, interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        const DWORD error = ::GetLastError();
        return error != 0 ? error : static_cast<DWORD>(ERROR_INVALID_DATA);
    }
    std::vector<DWORD> buffer(required / sizeof(DWORD) + 1);  // aligned for the structure
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    device->cbSize = sizeof *device;
    if (!getDetail(set, interfaceData, detail, required, nullptr, device)) return ::GetLastError();
    *path = detail->DevicePath;
    return 0;
}

// A text property of a device; empty when it has none.
std::string PropertyText(GetRegistryPropertyFn getProperty, HDEVINFO set, SP_DEVINFO_DATA* device,
                         DWORD property) {
    char text[257] = {};  // one byte more than is read: a stored text need not be terminated
    if (!getProperty(set, device, property, nullptr, reinterpret_cast<BYTE*>(text), 256, nullptr))
        return {};
    return text;
}

// The texts of a zero-separated list ending in an empty text (a REG_MULTI_SZ value), appended.
void AppendTexts(const char* list, size_t size, std::vector<std::string>* texts) {
    for (size_t at = 0; at < size && list[at] != '\0';) {
        const size_t length = strnlen(list + at, size - at);
        texts->emplace_back(list + at, length);
        at += length + 1;
    }
}

// The identifiers that tell whether a port is on USB: its device's hardware identifiers, then
// its parent's instance and hardware identifiers (the USB device under a driver of its own).
std::vector<std::string> DeviceIdentifiers(GetRegistryPropertyFn getProperty, HDEVINFO set,
                                           SP_DEVINFO_DATA* device) {
    std::vector<std::string> identifiers;
    char list[1026] = {};  // two bytes more than are read: the list ends in two zeros
    if (getProperty(set, device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(list), 1024,
                    nullptr))
        AppendTexts(list, sizeof list, &identifiers);

    win32::ServiceLibrary cfgmgr("CFGMGR32.DLL");
    auto getParent = cfgmgr.Find<GetParentFn>("CM_Get_Parent");
    auto getDeviceId = cfgmgr.Find<GetDeviceIdFn>("CM_Get_Device_IDA");
    auto getNodeProperty = cfgmgr.Find<GetNodePropertyFn>("CM_Get_DevNode_Registry_PropertyA");
    DEVINST parent = 0;
    if (getParent == nullptr || getParent(&parent, device->DevInst, 0) != CR_SUCCESS)
        return identifiers;
    char id[MAX_DEVICE_ID_LEN + 1] = {};
    if (getDeviceId != nullptr && getDeviceId(parent, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS)
        identifiers.emplace_back(id);
    std::memset(list, 0, sizeof list);
    ULONG size = 1024;
    if (getNodeProperty != nullptr &&
        getNodeProperty(parent, CM_DRP_HARDWAREID, nullptr, list, &size, 0) == CR_SUCCESS)
        AppendTexts(list, sizeof list, &identifiers);
    return identifiers;
}

// The "PortName" value of the device's hardware key.
std::string PortNameOf(OpenDevRegKeyFn openKey, HDEVINFO set, SP_DEVINFO_DATA* device) {
    HKEY key = openKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return {};
    char name[261] = {};
    DWORD size = 260;
    DWORD type = 0;
    const LONG result =
        ::RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    ::RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_SZ ? std::string(name) : std::string();
}

// The ports of the COM port interface class. A missing device-setup service finds nothing.
uint32_t SetupComPorts(FoundPorts* found, std::string* errorText) {
    win32::ServiceLibrary setupapi("SETUPAPI.DLL");
    auto getClassDevs = setupapi.Find<GetClassDevsFn>("SetupDiGetClassDevsA");
    auto enumInterfaces = setupapi.Find<EnumInterfacesFn>("SetupDiEnumDeviceInterfaces");
    auto getDetail = setupapi.Find<GetInterfaceDetailFn>("SetupDiGetDeviceInterfaceDetailA");
    auto getProperty = setupapi.Find<GetRegistryPropertyFn>("SetupDiGetDeviceRegistryPropertyA");
    auto openKey = setupapi.Find<OpenDevRegKeyFn>("SetupDiOpenDevRegKey");
    auto destroy = setupapi.Find<DestroyInfoListFn>("SetupDiDestroyDeviceInfoList");
    if (!getClassDevs || !enumInterfaces || !getDetail || !getProperty || !openKey || !destroy)
        return kErrNone;

    HDEVINFO set =
        getClassDevs(&kComPortInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        *errorText = FailureText("SetupDiGetClassDevs", error);
        return error;
    }
    uint32_t result = kErrNone;
    for (DWORD index = 0; found->size() < kMaxSerialPorts; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof interfaceData;
        if (!enumInterfaces(set, nullptr, &kComPortInterface, index, &interfaceData)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_NO_MORE_ITEMS) {
                result = error;
                *errorText = FailureText("SetupDiEnumDeviceInterfaces", error);
            }
            break;
        }
        SP_DEVINFO_DATA device{};
        std::string path;
        const DWORD error = InterfacePath(getDetail, set, &interfaceData, &path, &device);
        if (error != 0) {
            result = error;
            *errorText = FailureText("SetupDiGetDeviceInterfaceDetail", error);
            break;
        }
        unsigned number = 0;
        if (!ComNumber(PortNameOf(openKey, set, &device), &number)) continue;
        SerialPortInfo info;
        info.portName = "COM" + std::to_string(number);
        // The port's own name opens it on every system; the interface path is kept for its
        // USB identity only.
        info.devicePath = "\\\\.\\" + info.portName;
        info.friendlyName = PropertyText(getProperty, set, &device, SPDRP_FRIENDLYNAME);
        info.description = PropertyText(getProperty, set, &device, SPDRP_DEVICEDESC);
        // USB whatever driver made the port: by the USB identifiers of the port or its parent.
        const win32::UsbIdentity usb =
            win32::UsbIdentityOf(DeviceIdentifiers(getProperty, set, &device));
        info.usb = usb.usb;
        info.vendorId = usb.vendorId;
        info.productId = usb.productId;
        found->emplace(number, std::move(info));
    }
    destroy(set);
    return result;
}

// The COM ports among the DOS device names, for those not found already.
uint32_t DosComPorts(FoundPorts* found, std::string* errorText) {
    std::vector<char> names(65536);
    DWORD n = 0;
    for (;;) {
        n = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (n != 0 || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (1u << 22))
            break;
        names.resize(names.size() * 4);
    }
    if (n == 0) {
        const DWORD error = ::GetLastError();
        *errorText = FailureText("QueryDosDevice", error);
        return error;
    }
    // Zero-terminated names, ended by an empty one.
    for (const char* name = names.data(); *name != '\0'; name += std::strlen(name) + 1) {
        unsigned number = 0;
        if (!ComNumber(name, &number) || found->count(number) != 0) continue;
        SerialPortInfo info;
        info.portName = "COM" + std::to_string(number);
        info.devicePath = number > 9 ? "\\\\.\\" + info.portName : info.portName;
        found->emplace(number, std::move(info));
    }
    return kErrNone;
}

}  // namespace

Status EnumerateSerialPorts(std::vector<SerialPortInfo>* ports, std::string* errorText) {
    ports->clear();
    std::string ignored;
    if (errorText == nullptr) errorText = &ignored;
    FoundPorts found;
    uint32_t error = SetupComPorts(&found, errorText);
    if (error == kErrNone) error = DosComPorts(&found, errorText);
    if (error != kErrNone) return error;
    FinishPortList(&found, ports);
    return kErrNone;
}

Status EnumerateHidDevices(uint16_t vendorId, std::vector<HidDeviceInfo>* devices,
                           std::string* errorText) {
    devices->clear();
    std::string ignored;
    if (errorText == nullptr) errorText = &ignored;
    win32::ServiceLibrary setupapi("SETUPAPI.DLL");
    win32::ServiceLibrary hid("HID.DLL");
    if (!setupapi.Loaded()) {
        *errorText = "Unable to find SETUPAPI.DLL in execution path";
        return kErrNone;
    }
    if (!hid.Loaded()) {
        *errorText = "Unable to find HID.DLL in execution path";
        return kErrNone;
    }
    auto getClassDevs = setupapi.Find<GetClassDevsFn>("SetupDiGetClassDevsA");
    auto enumInterfaces = setupapi.Find<EnumInterfacesFn>("SetupDiEnumDeviceInterfaces");
    auto getDetail = setupapi.Find<GetInterfaceDetailFn>("SetupDiGetDeviceInterfaceDetailA");
    auto destroy = setupapi.Find<DestroyInfoListFn>("SetupDiDestroyDeviceInfoList");
    auto getAttributes = hid.Find<GetAttributesFn>("HidD_GetAttributes");
    auto getHidGuid = hid.Find<GetHidGuidFn>("HidD_GetHidGuid");
    const struct {
        bool found;
        const char* missing;
    } functions[] = {
        {getClassDevs != nullptr, "Unable to find SETUPAPI.DLL function SetupDiGetClassDevsA"},
        {enumInterfaces != nullptr,
         "Unable to find SETUPAPI.DLL function SetupDiEnumDeviceInterfaces"},
        {getDetail != nullptr,
         "Unable to find SETUPAPI.DLL function SetupDiGetDeviceInterfaceDetail"},
        {destroy != nullptr, "Unable to find SETUPAPI.DLL function SetupDiDestroyDeviceInfoList"},
        {getAttributes != nullptr, "Unable to find HID.DLL function SHidD_GetAttributes"},
        {getHidGuid != nullptr, "Unable to find HID.DLL function SHidD_GetHidGuid"},
    };
    for (const auto& function : functions) {
        if (!function.found) {
            *errorText = function.missing;
            return kErrNone;
        }
    }

    GUID hidClass{};
    getHidGuid(&hidClass);
    HDEVINFO set = getClassDevs(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        *errorText = FailureText("SetupDiGetClassDevs", error);
        return error;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof interfaceData;
        if (!enumInterfaces(set, nullptr, &hidClass, index, &interfaceData)) break;
        SP_DEVINFO_DATA device{};
        std::string path;
        if (InterfacePath(getDetail, set, &interfaceData, &path, &device) != 0 ||
            path.size() > kMaxHidPath)
            continue;
        HANDLE h = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) continue;
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof attributes;
        uint32_t inputLength = 0, outputLength = 0;
        std::string ignoredText;
        // Of a terminal with several top-level collections only the link's is listed.
        if (getAttributes(h, &attributes) && attributes.VendorID == vendorId &&
            win32::ReadLinkReports(h, &inputLength, &outputLength, &ignoredText) == kErrNone) {
            HidDeviceInfo info;
            info.path = path;
            info.vendorId = attributes.VendorID;
            info.productId = attributes.ProductID;
            devices->push_back(std::move(info));
        }
        ::CloseHandle(h);
    }
    destroy(set);
    return kErrNone;
}

}  // namespace orn::platform
