// testdevice: registers root-enumerated test devices and shows what a driver
// installation did to them.
//
//   testdevice register HARDWARE-ID...  a new device with these hardware IDs; prints its instance ID
//   testdevice remove HARDWARE-ID       removes every device that has this hardware ID
//   testdevice show HARDWARE-ID         each device with this hardware ID: its description,
//                                       driver key and the demo driver's marker

#include "device.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

const char *orNone(const std::string &text) { return text.empty() ? "(none)" : text.c_str(); }

int usage()
{
    std::fprintf(stderr, "usage: testdevice register HARDWARE-ID...\n"
                         "       testdevice remove HARDWARE-ID\n"
                         "       testdevice show HARDWARE-ID\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3)
        return usage();
    const std::string action = argv[1];
    try {
        if (action == "register") {
            std::printf("%s\n", registerDevice(std::vector<std::string>(argv + 2, argv + argc)).c_str());
        } else if (action == "remove" && argc == 3) {
            std::printf("removed %d device(s) with hardware ID %s\n", removeDevices(argv[2]), argv[2]);
        } else if (action == "show" && argc == 3) {
            const std::vector<DeviceState> devices = devicesWithHardwareId(argv[2]);
            if (devices.empty())
                std::printf("no device has hardware ID %s\n", argv[2]);
            for (const DeviceState &device : devices)
                std::printf("  instance ID: %s\n  description: %s\n  driver key:  %s\n  marker:      %s\n",
                            device.instanceId.c_str(), orNone(device.description), orNone(device.driver),
                            orNone(device.marker));
        } else {
            return usage();
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "testdevice: %s\n", error.what());
        return 1;
    }
    return 0;
}
