// Root-enumerated test devices, registered and read back through the SetupDi functions.
#pragma once

#include <string>
#include <vector>

struct DeviceState {
    std::string instanceId;
    std::vector<std::string> hardwareIds;
    std::string description; // DeviceDesc, empty until a driver is installed
    std::string driver;      // Driver: the driver key under Control\Class, empty until then
    std::string marker;      // the driver key's PnpDemoMarker value, left by the demo INF
    std::string infPath;     // the driver key's InfPath: the INF's name in the driver store
};

// Registers a new root-enumerated device in the System class with these hardware IDs
// and returns its instance ID, ROOT\PNPINSTALLTEST\NNNN. Throws std::runtime_error when
// the platform refuses.
std::string registerDevice(const std::vector<std::string> &hardwareIds);

// Removes every device that has this hardware ID; returns how many there were.
int removeDevices(const std::string &hardwareId);

// Removes every device that registerDevice made, in this run or an earlier one; returns
// their instance IDs.
std::vector<std::string> removeTestDevices();

// Every registered device, of every class.
std::vector<DeviceState> allDevices();

// The registered devices that have this hardware ID (compared without regard to case).
std::vector<DeviceState> devicesWithHardwareId(const std::string &hardwareId);
