// The built command installing the demo driver through the platform's own device
// installer (Wine's built-in newdev.dll and setupapi.dll), on devices registered for
// the test. It changes the machine's device configuration, so it runs only under Wine
// unless PNPINSTALL_TEST_REAL_INSTALL=1 says that this machine may be changed.

#include "device.h"
#include "runner.h"

#include <gtest/gtest.h>
#include <newdev.h>

#include <map>
#include <ostream>
#include <string>
#include <tuple>

namespace {

// A path in the build tree as Windows writes it in full; a Linux path, as a build
// under Wine gives, is on Wine's drive Z:.
std::string windowsPath(std::string path)
{
    if (path[0] == '/')
        path = "Z:" + path;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    wchar_t full[MAX_PATH];
    DWORD length = GetFullPathNameW(widen(path).c_str(), MAX_PATH, full, nullptr);
    return narrow(std::wstring(full, length));
}

// A hardware ID that no earlier run can have left behind.
std::string freshHardwareId()
{
    return "ROOT\\PNPINSTALL_TEST_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetTickCount64());
}

bool exists(const std::string &path) { return GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

class Install : public testing::Test {
protected:
    const std::string command = windowsPath(PNPINSTALL_EXE); // the built command, no stand-in beside it
    std::string inf = windowsPath(PNPDEMO_INF);
    const std::string hardwareId = freshHardwareId();

    void SetUp() override
    {
        char optIn[8] = {};
        GetEnvironmentVariableA("PNPINSTALL_TEST_REAL_INSTALL", optIn, sizeof optIn);
        if (!underWine() && std::string(optIn) != "1")
            GTEST_SKIP() << "installs a driver on this machine: runs only under Wine, "
                            "or with PNPINSTALL_TEST_REAL_INSTALL=1 in a throwaway Windows VM";
        ASSERT_TRUE(exists(command)) << command;
        ASSERT_TRUE(exists(inf)) << inf;
    }

    void TearDown() override { removeDevices(hardwareId); }

    ProgramRun install(const std::string &id) { return runProgram(command, "pnpinstall " + id + " \"" + inf + "\""); }
};

// The same driver package in folders whose names hold a space, and characters from
// scripts that no single ANSI code page has.
struct InfFolder {
    const char *name;
    const char *inf;
};

std::ostream &operator<<(std::ostream &os, const InfFolder &folder) { return os << folder.name; }

class InstallFrom : public Install, public testing::WithParamInterface<InfFolder> {
protected:
    void SetUp() override
    {
        inf = windowsPath(GetParam().inf);
        Install::SetUp();
    }
};

TEST_P(InstallFrom, InstallsTheDriverOnTheMatchingDevice)
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

INSTANTIATE_TEST_SUITE_P(Folder, InstallFrom,
                         testing::Values(InfFolder{"with_a_space", PNPDEMO_INF},
                                         InfFolder{"in_cyrillic_and_japanese", PNPDEMO_INF_IN_ANY_LANGUAGE}),
                         [](const testing::TestParamInfo<InfFolder> &info) { return std::string(info.param.name); });

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
