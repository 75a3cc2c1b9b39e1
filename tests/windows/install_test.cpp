// The built command against the platform's own device installer, on devices the tests
// register: the cases of the test kit, which runs each in a process of its own with a
// time limit (testkit.cpp), on Windows and, as far as Wine goes, under Wine, where what
// only Windows can show skips and says why. They change the machine's devices, driver
// store and certificate stores, and undo it; on Windows they run only where
// PNPINSTALL_TEST_REAL_INSTALL=1 says that this machine may be changed (the kit says so).
//
// They find what they use in the kit's layout, from this program's folder (<kit>\tests\):
// ..\pnpinstall.exe, ..\sample\pnpdemo.inf, ..\README.md, ..\run-tests.cmd and
// standin\newdev.dll; and they work in ..\work\<test>\, which they remove. Lines that
// start with "note: " go into the kit's report.

#include "device.h"
#include "package.h"
#include "runner.h"

#include <gtest/gtest.h>
#include <newdev.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string inKit(const std::string &relative) { return fullPath(ownDirectory() + "..\\" + relative); }

bool exists(const std::string &path) { return GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

void note(const std::string &text) { std::printf("note: %s\n", text.c_str()); std::fflush(stdout); }

std::string hex(DWORD code)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", code);
    return text;
}

// The driver store's name for the device's INF (oemNN.inf on Windows), for the report.
// Wine's arm64 installer leaves junk bytes in InfPath, which the report must not copy.
std::string storedInf(const std::string &infPath)
{
    if (infPath.empty())
        return "";
    for (unsigned char c : infPath)
        if (c <= ' ' || c >= 0x7f || std::strchr("\\/:*?\"<>|", c))
            return ", and an InfPath of " + std::to_string(infPath.size()) + " bytes that is no file name";
    return ", from " + infPath + " in the driver store";
}

std::string described(const ProgramRun &run)
{
    std::string line = run.out;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return "pnpinstall printed \"" + line + "\", exit status " + std::to_string(static_cast<int>(run.status)) + " (" +
           hex(run.status) + ")" + (run.timedOut ? ", ended after its time limit" : "");
}

// A hardware ID that no earlier run can have left behind.
std::string freshHardwareId()
{
    static int count = 0;
    return "ROOT\\PNPINSTALL_TEST_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetTickCount64()) +
           "_" + std::to_string(++count);
}

DWORD windowsBuild()
{
    auto getVersion = reinterpret_cast<LONG(WINAPI *)(OSVERSIONINFOW *)>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOW version{sizeof version};
    getVersion(&version);
    return version.dwBuildNumber;
}

// The models section Windows must take the driver from: the machine's own architecture's.
// For a process that the machine emulates (x64 on ARM64) no source says which; either
// passes, and the note says which it was.
USHORT nativeMachine()
{
    USHORT process = 0, native = 0;
    auto isWow64Process2 = reinterpret_cast<BOOL(WINAPI *)(HANDLE, USHORT *, USHORT *)>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process2")));
    if (!isWow64Process2 || !isWow64Process2(GetCurrentProcess(), &process, &native))
        native = IMAGE_FILE_MACHINE_AMD64;
    return native;
}

std::vector<std::string> expectedSections()
{
    const USHORT native = nativeMachine();
#if defined(__aarch64__)
    const USHORT own = IMAGE_FILE_MACHINE_ARM64;
#else
    const USHORT own = IMAGE_FILE_MACHINE_AMD64;
#endif
    if (native == IMAGE_FILE_MACHINE_ARM64 && own != native)
        return {"NTamd64", "NTarm64"};
    return {native == IMAGE_FILE_MACHINE_ARM64 ? "NTarm64" : "NTamd64"};
}

// The README's table of error codes: each printed line ("error: -536870389") by the
// symbolic name its row gives (ERROR_NO_SUCH_DEVINST).
std::map<std::string, std::string> readmeErrorLines()
{
    std::ifstream readme(fs::path(widen(inKit("README.md"))));
    std::map<std::string, std::string> lines;
    bool inTable = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("## ", 0) == 0)
            inTable = line == "## Error codes";
        if (!inTable || line.rfind("| `error: ", 0) != 0)
            continue;
        const std::string printed = line.substr(3, line.find('`', 3) - 3);
        const size_t nameCell = line.find('|', line.find('|', 1) + 1) + 1;
        const size_t nameStart = line.find('`', nameCell) + 1;
        lines[line.substr(nameStart, line.find('`', nameStart) - nameStart)] = printed;
    }
    return lines;
}

// What every test that changes the machine shares: the kit's command and sample, a work
// folder of its own, and the removal of the devices it registers.
class OnThisMachine : public testing::Test {
protected:
    const std::string command = inKit("pnpinstall.exe");
    const std::string sampleInf = inKit("sample\\pnpdemo.inf");
    const std::string hardwareId = freshHardwareId();
    std::string work;

    void SetUp() override
    {
        char optIn[8] = {};
        GetEnvironmentVariableA("PNPINSTALL_TEST_REAL_INSTALL", optIn, sizeof optIn);
        if (!underWine() && std::string(optIn) != "1")
            GTEST_SKIP() << "changes this machine's devices, driver store and certificates: runs under Wine, or "
                            "with PNPINSTALL_TEST_REAL_INSTALL=1 (run-tests.cmd sets it)";
        std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char &c : name)
            if (c == '/')
                c = '.';
        work = inKit("work\\" + name) + "\\";
        ASSERT_TRUE(exists(command)) << command;
        ASSERT_TRUE(exists(sampleInf)) << sampleInf;
    }

    void TearDown() override
    {
        removeDevices(hardwareId);
        std::error_code ignored;
        if (!work.empty())
            fs::remove_all(fs::path(widen(work)), ignored);
    }

    ProgramRun install(const std::string &id, const std::string &inf)
    {
        ProgramRun run = runProgram(command, "pnpinstall " + id + " \"" + inf + "\"", {}, 90000);
        note(described(run));
        return run;
    }
};

// Windows 10 1607 and later load the command's imports from System32 alone, so a
// newdev.dll beside it never runs, whatever it holds.
struct Plant {
    const char *name;
    bool corrupt;
};
std::ostream &operator<<(std::ostream &os, const Plant &plant) { return os << plant.name; }

class PlantedNewdev : public OnThisMachine, public testing::WithParamInterface<Plant> {};

TEST_P(PlantedNewdev, IsNeverLoaded)
{
    if (underWine())
        GTEST_SKIP() << "Wine ignores the load configuration's DependentLoadFlags and loads a newdev.dll beside "
                        "the program; only Windows 10 1607 and later can show that it is refused";
    if (windowsBuild() < 14393)
        GTEST_SKIP() << "does not apply: Windows before 10 1607 (this is build " << windowsBuild()
                     << ") ignores DependentLoadFlags";
    const std::string folder = work + "planted\\", marker = folder + "newdev-was-loaded";
    fs::create_directories(fs::path(widen(folder)));
    fs::copy_file(fs::path(widen(command)), fs::path(widen(folder + "pnpinstall.exe")));
    if (GetParam().corrupt) {
        std::ofstream dll(fs::path(widen(folder + "newdev.dll")), std::ios::binary);
        dll << "MZ" << std::string(4094, '\x5a');
    } else {
        fs::copy_file(fs::path(widen(ownDirectory() + "standin\\newdev.dll")), fs::path(widen(folder + "newdev.dll")));
    }
    SetEnvironmentVariableW(L"NEWDEV_STANDIN_LOADED", widen(marker).c_str());
    const std::string arguments = " " + freshHardwareId() + " \"" + sampleInf + "\"";

    // The same request from the kit's own copy, with nothing beside it, and from the copy
    // with the planted DLL: Windows' own installer must answer both alike.
    ProgramRun alone = runProgram(command, "pnpinstall" + arguments, {}, 90000);
    ProgramRun planted = runProgram(folder + "pnpinstall.exe", "pnpinstall" + arguments, {}, 90000);
    note("alone: " + described(alone));
    note("beside a planted newdev.dll: " + described(planted));

    EXPECT_FALSE(exists(marker)) << "the newdev.dll beside the program was loaded";
    EXPECT_FALSE(planted.timedOut);
    EXPECT_EQ(planted.out, alone.out);
    EXPECT_EQ(planted.status, alone.status) << hex(planted.status);
    EXPECT_EQ(planted.err, "");
}

INSTANTIATE_TEST_SUITE_P(Beside, PlantedNewdev,
                         testing::Values(Plant{"a_dll_that_marks_its_loading", false}, Plant{"a_corrupt_dll", true}),
                         [](const testing::TestParamInfo<Plant> &info) { return std::string(info.param.name); });

// Windows' own answers to requests it refuses, held against the README's error table:
// each must be the row the README gives for the situation, and any code the table lacks
// is named.
enum class Request { NoSuchDevice, InfNotThere, NotAnInf, InfNamesNoCatalog };
struct Situation {
    const char *name;
    Request request;
    std::vector<std::string> readmeNames; // the symbolic names of the README rows that describe it
};
std::ostream &operator<<(std::ostream &os, const Situation &situation) { return os << situation.name; }

class WindowsAnswers : public OnThisMachine, public testing::WithParamInterface<Situation> {};

TEST_P(WindowsAnswers, AsTheReadmeSays)
{
    if (underWine())
        GTEST_SKIP() << "Wine's installer answers success to every request (no device, no INF, not an INF, "
                        "no catalog alike); only Windows' own answers can be held against the README";
    registerDevice({hardwareId, "ROOT\\PNPDEMO"});
    std::string id = hardwareId, inf;
    const std::string package = work + "package\\";
    fs::create_directories(fs::path(widen(package)));
    switch (GetParam().request) {
    case Request::NoSuchDevice:
        id = freshHardwareId();
        inf = copySamplePackage(sampleInf, package);
        break;
    case Request::InfNotThere:
        inf = package + "not-there.inf";
        break;
    case Request::NotAnInf:
        inf = package + "not-an-inf.inf";
        std::ofstream(fs::path(widen(inf)), std::ios::binary) << "This file is not a driver package.\r\n";
        break;
    case Request::InfNamesNoCatalog:
        inf = copySamplePackage(sampleInf, work + "no catalog", false);
        break;
    }

    ProgramRun run = install(id, inf);

    const std::map<std::string, std::string> readme = readmeErrorLines();
    const std::string line = run.out.substr(0, run.out.find("\r\n"));
    bool listed = false;
    for (const auto &[name, printed] : readme)
        listed = listed || printed == line;
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(listed) << "Windows answered \"" << line << "\" (" << hex(run.status)
                        << "), which the README's error table lacks";
    std::string rows, given;
    for (const std::string &name : GetParam().readmeNames) {
        ASSERT_TRUE(readme.count(name)) << "the README's error table has no row for " << name;
        rows += (rows.empty() ? "" : " or ") + name;
        if (readme.at(name) == line)
            given = name;
    }
    if (!given.empty())
        note("Windows answered " + given);
    EXPECT_NE(given, "") << "Windows answered \"" << line << "\", not the README's row for this situation: " << rows;
    EXPECT_EQ(run.out, line + "\r\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ("error: " + std::to_string(static_cast<int>(run.status)), line) << "the exit status is the printed code";
}

INSTANTIATE_TEST_SUITE_P(
    Refused, WindowsAnswers,
    // Microsoft documents no answer for a file that is not an INF; Windows' logs show it
    // read as an INF with a bad first line, or skipped as giving no driver.
    testing::Values(Situation{"no_device_has_the_hardware_id", Request::NoSuchDevice, {"ERROR_NO_SUCH_DEVINST"}},
                    Situation{"the_inf_is_not_there", Request::InfNotThere, {"ERROR_FILE_NOT_FOUND"}},
                    Situation{"the_file_is_not_an_inf", Request::NotAnInf,
                              {"ERROR_EXPECTED_SECTION_NAME", "ERROR_GENERAL_SYNTAX", "ERROR_NO_MORE_ITEMS"}},
                    Situation{"the_inf_names_no_catalog", Request::InfNamesNoCatalog, {"ERROR_NO_CATALOG_FOR_OEM_INF"}}),
    [](const testing::TestParamInfo<Situation> &info) { return std::string(info.param.name); });

// The sample package, signed for this machine: its certificates, key and driver-store
// copy go again after each test.
class SigningOnThisMachine : public OnThisMachine {
protected:
    void TearDown() override
    {
        OnThisMachine::TearDown();
        removeSamplePackagesFromDriverStore();
        removeTestSigners();
    }

    // The sample in `folder`, signed where the platform can sign it. Wine cannot make
    // catalogs and its installer checks none, so there it goes on unsigned.
    std::string signedPackage(const std::string &folder)
    {
        const std::string inf = copySamplePackage(sampleInf, folder);
        try {
            signPackage(inf);
            note("signed the package's catalog with a throwaway certificate that this machine trusts");
        } catch (const std::exception &error) {
            if (!underWine())
                throw;
            note(std::string("not signed under Wine: ") + error.what());
        }
        return inf;
    }
};

class Catalog : public SigningOnThisMachine {};

TEST_F(Catalog, SignedHereIsTrustedHere)
{
    const std::string inf = copySamplePackage(sampleInf, work + "package");
    try {
        signPackage(inf);
    } catch (const std::exception &error) {
        if (underWine())
            GTEST_SKIP() << "Wine cannot make driver catalogs (its wintrust's CDF functions are stubs): " << error.what();
        FAIL() << error.what();
    }
    const std::string catalog = work + "package\\pnpdemo.cat";
    const long signature = verifyCatalog(catalog), member = verifyInfInCatalog(inf, catalog);
    note("WinVerifyTrust: the catalog's signature " + hex(signature) + ", the INF as its member " + hex(member));
    EXPECT_EQ(signature, 0) << hex(signature);
    EXPECT_EQ(member, 0) << hex(member);
}

// A real installation of the signed sample on a device of the test's, and then again:
// the installation is forced, so the second run installs the same driver once more.
struct PackageFolder {
    const char *name;
    const char *folder;
};
std::ostream &operator<<(std::ostream &os, const PackageFolder &folder) { return os << folder.name; }

class SignedPackage : public SigningOnThisMachine, public testing::WithParamInterface<PackageFolder> {};

TEST_P(SignedPackage, InstallsAndInstallsAgainWhenForced)
{
    // Windows on ARM64 installs a driver package whose catalog is not WHQL-signed, as this
    // self-signed one is, only in test mode (whatever this program's own architecture).
    if (!underWine() && nativeMachine() == IMAGE_FILE_MACHINE_ARM64 && testSigning() != 1)
        GTEST_SKIP() << "this ARM64 machine's test signing is " << (testSigning() == 0 ? "off" : "not reported")
                     << ", and Windows on ARM64 installs a driver package that is not WHQL-signed only with it on; "
                        "on a test machine: bcdedit /set testsigning on, restart, run the kit again";
    const std::string inf = signedPackage(work + GetParam().folder);
    const std::string instanceId = registerDevice({hardwareId, "ROOT\\PNPDEMO"});
    ASSERT_EQ(devicesWithHardwareId(hardwareId).at(0).description, "") << "no driver before the installation";
    const std::vector<std::string> sections = expectedSections();

    for (const char *run : {"first run", "second, forced run"}) {
        SCOPED_TRACE(run);
        ProgramRun result = install(hardwareId, inf);
        ASSERT_FALSE(result.timedOut);
        EXPECT_EQ(result.out, "success\r\n");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0u) << hex(result.status);
        const std::vector<DeviceState> devices = devicesWithHardwareId(hardwareId);
        ASSERT_EQ(devices.size(), 1u);
        EXPECT_EQ(devices[0].instanceId, instanceId);
        EXPECT_EQ(devices[0].description, "pnpinstall demo device");
        EXPECT_NE(devices[0].driver, "");
        bool fromExpectedSection = false;
        for (const std::string &section : sections)
            fromExpectedSection = fromExpectedSection || devices[0].marker == "installed from pnpdemo.inf, section " + section;
        EXPECT_TRUE(fromExpectedSection) << "marker: \"" << devices[0].marker << "\"";
        note(std::string(run) + ": the device's driver key holds \"" + devices[0].marker + "\"" +
             storedInf(devices[0].infPath));
    }
}

INSTANTIATE_TEST_SUITE_P(Folder, SignedPackage,
                         testing::Values(PackageFolder{"with_a_space", "Demo Driver"},
                                         PackageFolder{"in_cyrillic_and_japanese", "Драйверы 日本語"}),
                         [](const testing::TestParamInfo<PackageFolder> &info) { return std::string(info.param.name); });

// With no device for the hardware ID the command reports what the platform answers
// (Windows: ERROR_NO_SUCH_DEVINST; Wine: success), and no device's driver changes.
class Install : public OnThisMachine {};

TEST_F(Install, ReportsWhatThePlatformSaysWhenNoDeviceMatches)
{
    auto snapshot = [] {
        std::map<std::string, std::tuple<std::string, std::string, std::string>> drivers;
        for (const DeviceState &device : allDevices())
            drivers[device.instanceId] = {device.description, device.driver, device.marker};
        return drivers;
    };
    const std::string inf = copySamplePackage(sampleInf, work + "package");
    const auto before = snapshot();

    // The wide function: this program's code page is not UTF-8, and the kit's folder may
    // have any name.
    BOOL reboot;
    const BOOL installed = UpdateDriverForPlugAndPlayDevicesW(nullptr, widen(hardwareId).c_str(), widen(inf).c_str(),
                                                              INSTALLFLAG_FORCE, &reboot);
    const DWORD code = installed ? 0 : GetLastError();

    ProgramRun run = install(hardwareId, inf);

    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.out, installed ? "success\r\n" : "error: " + std::to_string(static_cast<int>(code)) + "\r\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, code);
    EXPECT_EQ(snapshot(), before) << "no device's driver may change";
}

// run-tests.cmd without an administrator's rights: one line that says so, a status that
// is not 0, and nothing on the machine or in the kit changed.
TEST(RunTests, RefuseWithoutAdministratorRights)
{
    HANDLE own = nullptr, restricted = nullptr;
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own));
    ASSERT_TRUE(AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                         0, 0, 0, &administrators));
    SID_AND_ATTRIBUTES disabled{administrators, 0};
    ASSERT_TRUE(CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE, 1, &disabled, 0, nullptr, 0, nullptr, &restricted));
    FreeSid(administrators);
    CloseHandle(own);

    auto kitFolder = [] {
        std::string listing;
        for (const fs::directory_entry &entry : fs::directory_iterator(fs::path(widen(inKit("")))))
            listing += narrow(entry.path().wstring()) + "\n";
        return listing;
    };
    const std::string before = kitFolder();
    const size_t devicesBefore = allDevices().size();
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);

    ProgramRun run = runProgram(narrow(system) + "\\cmd.exe", "cmd /c \"\"" + inKit("run-tests.cmd") + "\"\"", inKit(""),
                                60000, restricted);
    CloseHandle(restricted);

    ASSERT_FALSE(run.timedOut);
    EXPECT_NE(run.status, 0u);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.find("\r\n"), run.out.size() - 2) << "one line: " << run.out;
    EXPECT_NE(run.out.find("administrator"), std::string::npos) << run.out;
    EXPECT_EQ(kitFolder(), before);
    EXPECT_EQ(allDevices().size(), devicesBefore);
}

} // namespace
