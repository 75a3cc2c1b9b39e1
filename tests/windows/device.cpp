#include "device.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include <cstdio>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const char *what)
{
    throw std::runtime_error(std::string(what) + " failed with 0x" + [] {
        char code[16];
        snprintf(code, sizeof code, "%08lx", GetLastError());
        return std::string(code);
    }());
}

struct DeviceSet {
    HDEVINFO handle;
    explicit DeviceSet(HDEVINFO h) : handle(h)
    {
        if (handle == INVALID_HANDLE_VALUE)
            fail("opening a device information set");
    }
    ~DeviceSet() { SetupDiDestroyDeviceInfoList(handle); }
    DeviceSet(const DeviceSet &) = delete;
    DeviceSet &operator=(const DeviceSet &) = delete;
};

DeviceSet everyDevice() { return DeviceSet(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES)); }

std::string property(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD which)
{
    char value[4096] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, which, nullptr, reinterpret_cast<BYTE *>(value),
                                           sizeof value - 2, nullptr))
        return {};
    return std::string(value, sizeof value - 2); // multi-strings keep their inner NULs
}

std::vector<std::string> splitMultiString(const std::string &multi)
{
    std::vector<std::string> strings;
    for (size_t at = 0; at < multi.size() && multi[at];) {
        std::string one = multi.c_str() + at;
        at += one.size() + 1;
        strings.push_back(one);
    }
    return strings;
}

std::string driverKeyValue(HDEVINFO set, SP_DEVINFO_DATA &device, const char *name)
{
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return {};
    char value[1024] = {};
    DWORD size = sizeof value - 1;
    std::string result;
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(value), &size) == ERROR_SUCCESS)
        result = value;
    RegCloseKey(key);
    return result;
}

bool hasHardwareId(const DeviceState &device, const std::string &hardwareId)
{
    for (const std::string &id : device.hardwareIds)
        if (lstrcmpiA(id.c_str(), hardwareId.c_str()) == 0)
            return true;
    return false;
}

const char testEnumerator[] = "PNPINSTALLTEST";

void removeDevice(const std::string &instanceId)
{
    DeviceSet set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    SP_DEVINFO_DATA device{sizeof device};
    if (!SetupDiOpenDeviceInfoA(set.handle, instanceId.c_str(), nullptr, 0, &device))
        fail("SetupDiOpenDeviceInfo");
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set.handle, &device))
        fail("DIF_REMOVE");
}

} // namespace

std::string registerDevice(const std::vector<std::string> &hardwareIds)
{
    DeviceSet set(SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, nullptr));
    SP_DEVINFO_DATA device{sizeof device};
    if (!SetupDiCreateDeviceInfoA(set.handle, testEnumerator, &GUID_DEVCLASS_SYSTEM, nullptr, nullptr,
                                  DICD_GENERATE_ID, &device))
        fail("SetupDiCreateDeviceInfo");

    std::string multi;
    for (const std::string &id : hardwareIds)
        multi += id + '\0';
    multi += '\0';
    if (!SetupDiSetDeviceRegistryPropertyA(set.handle, &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE *>(multi.data()), multi.size()))
        fail("SetupDiSetDeviceRegistryProperty(SPDRP_HARDWAREID)");
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.handle, &device))
        fail("DIF_REGISTERDEVICE");

    char instanceId[MAX_DEVICE_ID_LEN];
    if (!SetupDiGetDeviceInstanceIdA(set.handle, &device, instanceId, sizeof instanceId, nullptr))
        fail("SetupDiGetDeviceInstanceId");
    return instanceId;
}

int removeDevices(const std::string &hardwareId)
{
    int removed = 0;
    for (const DeviceState &state : devicesWithHardwareId(hardwareId)) {
        removeDevice(state.instanceId);
        ++removed;
    }
    return removed;
}

std::vector<std::string> removeTestDevices()
{
    const std::string prefix = std::string("ROOT\\") + testEnumerator + "\\";
    std::vector<std::string> removed;
    for (const DeviceState &state : allDevices())
        if (lstrcmpiA(state.instanceId.substr(0, prefix.size()).c_str(), prefix.c_str()) == 0) {
            removeDevice(state.instanceId);
            removed.push_back(state.instanceId);
        }
    return removed;
}

std::vector<DeviceState> allDevices()
{
    DeviceSet set = everyDevice();
    std::vector<DeviceState> devices;
    SP_DEVINFO_DATA device{sizeof device};
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.handle, index, &device); ++index) {
        DeviceState state;
        char instanceId[MAX_DEVICE_ID_LEN];
        if (SetupDiGetDeviceInstanceIdA(set.handle, &device, instanceId, sizeof instanceId, nullptr))
            state.instanceId = instanceId;
        state.hardwareIds = splitMultiString(property(set.handle, device, SPDRP_HARDWAREID));
        state.description = property(set.handle, device, SPDRP_DEVICEDESC).c_str();
        state.driver = property(set.handle, device, SPDRP_DRIVER).c_str();
        if (!state.driver.empty()) {
            state.marker = driverKeyValue(set.handle, device, "PnpDemoMarker");
            state.infPath = driverKeyValue(set.handle, device, "InfPath");
        }
        devices.push_back(state);
    }
    return devices;
}

std::vector<DeviceState> devicesWithHardwareId(const std::string &hardwareId)
{
    std::vector<DeviceState> matching;
    for (const DeviceState &device : allDevices())
        if (hasHardwareId(device, hardwareId))
            matching.push_back(device);
    return matching;
}
