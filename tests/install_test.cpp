// The built command installing the demo driver through the platform's own device
// installer (Wine's built-in newdev.dll and setupapi.dll), on devices registered for
// the test. It changes the machine's device configuration, so it runs only under Wine
// unless PNPINSTALL_TEST_REAL_INSTALL=1 says that this machine may be changed.

#include "device.h"
#include "runner.h"

#include <gtest/gtest.h>
#include <newdev.h>

#include <map>
#include <string>
#include <tuple>

namespace {

bool underWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

// A path in the build tree as Windows writes it in full; a Linux path, as a build
// under Wine gives, is on Wine's drive Z:.
std::string windowsPath(std::string path)
{
    if (path[0] == '/')
        path = "Z:" + path;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    return std::string(full, length);
}

// A hardware ID that no earlier run can have left behind.
std::string freshHardwareId()
{
    return "ROOT\\PNPINSTALL_TEST_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetTickCount64());
}

class Install : public testing::Test {
protected:
    const std::string command = windowsPath(PNPINSTALL_EXE); // the built command, no stand-in beside it
    const std::string inf = windowsPath(PNPDEMO_INF);
    const std::string hardwareId = freshHardwareId();

    void SetUp() override
    {
        char optIn[8] = {};
        GetEnvironmentVariableA("PNPINSTALL_TEST_REAL_INSTALL", optIn, sizeof optIn);
        if (!underWine() && std::string(optIn) != "1")
            GTEST_SKIP() << "installs a driver on this machine: runs only under Wine, "
                            "or with PNPINSTALL_TEST_REAL_INSTALL=1 in a throwaway Windows VM";
        ASSERT_NE(GetFileAttributesA(command.c_str()), INVALID_FILE_ATTRIBUTES) << command;
        ASSERT_NE(GetFileAttributesA(inf.c_str()), INVALID_FILE_ATTRIBUTES) << inf;
    }

    void TearDown() override { removeDevices(hardwareId); }

    ProgramRun install(const std::string &id) { return runProgram(command, "pnpinstall " + id + " \"" + inf + "\""); }
};

TEST_F(Install, InstallsTheDriverOnTheMatchingDevice)
{
    // Its own fresh ID selects the device; the demo ID matches the INF's model.
    const std::string instanceId = registerDevice({hardwareId, "ROOT\\PNPDEMO"});
    ASSERT_EQ(devicesWithHardwareId(hardwareId).at(0).description, "") << "no driver before the install";

    ProgramRun run = install(hardwareId);

    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.out, "success\r\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0u);
    auto devices = devicesWithHardwareId(hardwareId);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].instanceId, instanceId);
    EXPECT_EQ(devices[0].description, "pnpinstall demo device");
    EXPECT_NE(devices[0].driver, "");
    EXPECT_EQ(devices[0].marker, "installed from pnpdemo.inf");
}

TEST_F(Install, ReportsWhatThePlatformSaysWhenNoDeviceMatches)
{
    auto snapshot = [] {
        std::map<std::string, std::tuple<std::string, std::string, std::string>> drivers;
        for (const DeviceState &device : allDevices())
            drivers[device.instanceId] = {device.description, device.driver, device.marker};
        return drivers;
    };
    const auto before = snapshot();

    // What the platform answers for this request (Windows: ERROR_NO_SUCH_DEVINST,
    // 0xE000020B; Wine: success), asked directly.
    BOOL reboot;
    const BOOL installed = UpdateDriverForPlugAndPlayDevicesA(nullptr, hardwareId.c_str(), inf.c_str(),
                                                              INSTALLFLAG_FORCE, &reboot);
    const DWORD code = installed ? 0 : GetLastError();

    ProgramRun run = install(hardwareId);

    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.out, installed ? "success\r\n" : "error: " + std::to_string(static_cast<int>(code)) + "\r\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, code);
    EXPECT_EQ(snapshot(), before) << "no device's driver may change";
}

} // namespace
