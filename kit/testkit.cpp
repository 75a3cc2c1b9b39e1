// testkit: the pnpinstall test kit's runner, which run-tests.cmd starts from the kit's
// folder. It runs every case of install_test.exe in a process of its own with a time
// limit (an installer can wait for a person: a case that does not finish is ended, fails,
// and the kit goes on), removes everything the kit added to the machine, checks that
// nothing is left, and writes a report beside the kit while it prints it.
//
//   testkit [--case-limit SECONDS]   runs the kit (default limit 120 s a case)
//   testkit --cleanup                removes what a killed run left, and reports it

#include "device.h"
#include "package.h"
#include "runner.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The kit's tests folder, where this program is, and the kit's own, each ending in a
// backslash.
const std::string testsFolder = ownDirectory();
const std::string kitFolder = fullPath(testsFolder + "..\\");

// Prints each line as it comes (UTF-16 to a console, UTF-8 to a pipe or file) and keeps
// it in the report file, so that a run that is killed leaves what it had found. The
// console, the pipe and the file get the same line, line end included.
class Report {
public:
    explicit Report(const std::string &path) : file(fs::path(widen(path)), std::ios::binary | std::ios::trunc) {}

    void line(const std::string &text = {})
    {
        const std::string ended = text + "\r\n";
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        DWORD mode, written;
        if (GetConsoleMode(out, &mode)) {
            const std::wstring wide = widen(ended);
            WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        } else {
            WriteFile(out, ended.data(), static_cast<DWORD>(ended.size()), &written, nullptr);
        }
        file << ended;
        file.flush();
    }

    void lines(const std::vector<std::string> &texts, const std::string &indent)
    {
        for (const std::string &text : texts)
            line(indent + text);
    }

private:
    std::ofstream file;
};

bool isAdministrator()
{
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    BOOL member = FALSE;
    if (AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                 0, &administrators)) {
        CheckTokenMembership(nullptr, administrators, &member);
        FreeSid(administrators);
    }
    return member;
}

std::string hex(DWORD value, int digits = 8)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*lX", digits, value);
    return text;
}

std::string registryText(const wchar_t *key, const wchar_t *name)
{
    wchar_t text[256];
    DWORD size = sizeof text;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return {};
    return narrow(text);
}

bool registryNumber(const wchar_t *key, const wchar_t *name, DWORD &value)
{
    DWORD size = sizeof value;
    return RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS;
}

std::string machineName(USHORT machine)
{
    switch (machine) {
    case IMAGE_FILE_MACHINE_AMD64: return "x64";
    case IMAGE_FILE_MACHINE_ARM64: return "ARM64";
    case IMAGE_FILE_MACHINE_I386: return "x86";
    case IMAGE_FILE_MACHINE_UNKNOWN: return "none";
    default: return hex(machine, 4);
    }
}

// What this machine is, for the report's head: what the results depend on.
void describeMachine(Report &report)
{
    const wchar_t currentVersion[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    auto getVersion = reinterpret_cast<LONG(WINAPI *)(OSVERSIONINFOW *)>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOW version{sizeof version};
    getVersion(&version);
    DWORD revision = 0;
    const bool hasRevision = registryNumber(currentVersion, L"UBR", revision);
    std::string release = registryText(currentVersion, L"DisplayVersion");
    if (release.empty())
        release = registryText(currentVersion, L"ReleaseId");
    std::string windows = registryText(currentVersion, L"ProductName") + (release.empty() ? "" : " " + release) +
                          ", version " + std::to_string(version.dwMajorVersion) + "." +
                          std::to_string(version.dwMinorVersion) + ", build " + std::to_string(version.dwBuildNumber) +
                          (hasRevision ? "." + std::to_string(revision) : "");
    const std::string edition = registryText(currentVersion, L"EditionID");
    windows += ", edition " + (edition.empty() ? std::string("not reported") : edition);
    auto wineVersion = reinterpret_cast<const char *(*)()>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")));
    if (wineVersion)
        windows += std::string(" (under Wine ") + wineVersion() + ")";
    report.line("Windows:       " + windows);

    USHORT process = IMAGE_FILE_MACHINE_UNKNOWN, native = IMAGE_FILE_MACHINE_UNKNOWN;
    auto isWow64Process2 = reinterpret_cast<BOOL(WINAPI *)(HANDLE, USHORT *, USHORT *)>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process2")));
#if defined(__aarch64__)
    const USHORT own = IMAGE_FILE_MACHINE_ARM64;
#else
    const USHORT own = IMAGE_FILE_MACHINE_AMD64;
#endif
    if (isWow64Process2 && isWow64Process2(GetCurrentProcess(), &process, &native))
        report.line("Architecture:  this machine " + machineName(native) + "; this kit " + machineName(own) +
                    (native != own ? ", emulated" : ", native") + " (IsWow64Process2: process " +
                    machineName(process) + ", machine " + machineName(native) + ")");
    else
        report.line("Architecture:  this kit " + machineName(own) + "; IsWow64Process2 is missing (before Windows 10 1511)");

    const int signing = testSigning();
    const std::string testMode = signing < 0 ? "unknown" : signing ? "on" : "off";
    DWORD secureBoot = 0;
    const std::string secure = registryNumber(L"SYSTEM\\CurrentControlSet\\Control\\SecureBoot\\State",
                                              L"UEFISecureBootEnabled", secureBoot)
                                   ? (secureBoot ? "on" : "off")
                                   : "not reported (no UEFI Secure Boot state)";
    report.line("Test signing:  " + testMode + "; Secure Boot: " + secure);

    bool known = false;
    HKEY knownDlls;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs", 0,
                      KEY_READ, &knownDlls) == ERROR_SUCCESS) {
        wchar_t name[256], data[256];
        for (DWORD index = 0;; ++index) {
            DWORD nameSize = 256, dataSize = sizeof data, type;
            if (RegEnumValueW(knownDlls, index, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE *>(data),
                              &dataSize) != ERROR_SUCCESS)
                break;
            known = known || (type == REG_SZ && _wcsicmp(data, L"newdev.dll") == 0);
        }
        RegCloseKey(knownDlls);
    }
    report.line(std::string("newdev.dll:    ") + (known ? "a KnownDLL" : "not a KnownDLL") +
                "; load-time imports from System32 only (DependentLoadFlags, Windows 10 1607 and later): " +
                (version.dwBuildNumber >= 14393 ? "honoured" : "not honoured"));
}

std::string setupLogPath()
{
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    return narrow(windows) + "\\INF\\setupapi.dev.log";
}

uintmax_t setupLogSize()
{
    std::error_code error;
    const uintmax_t size = fs::file_size(fs::path(widen(setupLogPath())), error);
    return error ? 0 : size;
}

// What Windows' installer logged from `from` on, at most its last 12 KB.
std::vector<std::string> setupLogSince(uintmax_t from)
{
    std::ifstream log(fs::path(widen(setupLogPath())), std::ios::binary);
    if (!log)
        return {"(no " + setupLogPath() + ")"};
    log.seekg(0, std::ios::end);
    const uintmax_t end = static_cast<uintmax_t>(log.tellg());
    if (from > end) // a new log was begun meanwhile
        from = 0;
    const uintmax_t start = end - from > 12288 ? end - 12288 : from;
    log.seekg(static_cast<std::streamoff>(start));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    if (lines.empty())
        lines.push_back("(nothing new in " + setupLogPath() + ")");
    return lines;
}

// Runs the kit's test program. One that cannot be started (taken away by antivirus
// software, say) is a failure to report, not the end of the run and its clean-up.
ProgramRun runTestProgram(const std::string &arguments, DWORD limitMs)
{
    try {
        return runProgram(testsFolder + "install_test.exe", "install_test " + arguments, testsFolder, limitMs);
    } catch (const std::exception &error) {
        ProgramRun failed;
        failed.status = ERROR_FILE_NOT_FOUND;
        failed.err = testsFolder + "install_test.exe did not start: " + error.what() + "\n";
        return failed;
    }
}

// The cases the test program lists; with nothing listed, why.
std::vector<std::string> caseNames(std::string &why)
{
    ProgramRun list = runTestProgram("--gtest_list_tests", 60000);
    std::vector<std::string> names;
    std::istringstream lines(list.out);
    std::string suite;
    for (std::string line; std::getline(lines, line);) {
        line = line.substr(0, line.find_first_of("#\r"));
        line.erase(line.find_last_not_of(' ') + 1);
        if (line.empty())
            continue;
        if (line[0] != ' ')
            suite = line;
        else
            names.push_back(suite + line.substr(line.find_first_not_of(' ')));
    }
    if (names.empty())
        why = !list.err.empty() ? list.err.substr(0, list.err.find_first_of("\r\n"))
                                : testsFolder + "install_test.exe lists none";
    return names;
}

struct Outcome {
    int passed = 0, failed = 0, skipped = 0;
    std::vector<std::string> skips;
};

// Runs one case, with its own time limit, and reports it.
void runCase(const std::string &name, DWORD limitSeconds, Report &report, Outcome &outcome)
{
    const uintmax_t logBefore = setupLogSize();
    const ULONGLONG start = GetTickCount64();
    ProgramRun run = runTestProgram("--gtest_color=no --gtest_filter=" + name, limitSeconds * 1000);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", (GetTickCount64() - start) / 1000.0);

    std::vector<std::string> notes, details;
    std::istringstream lines(run.out + run.err);
    std::string skipReason;
    bool afterSkipped = false;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("note: ", 0) == 0)
            notes.push_back(line.substr(6));
        else if (afterSkipped && skipReason.empty())
            skipReason = line;
        else if (!line.empty() && line[0] != '[' && line.rfind("Running main()", 0) != 0 &&
                 line.rfind("Note: Google Test filter", 0) != 0)
            details.push_back(line);
        afterSkipped = afterSkipped || (line.size() >= 9 && line.compare(line.size() - 9, 9, ": Skipped") == 0);
    }
    const bool skipped = !run.timedOut && run.status == 0 && run.out.find("[  SKIPPED ] 1 test") != std::string::npos;
    const bool passed = !run.timedOut && run.status == 0 && !skipped && run.out.find("[  PASSED  ] 1 test") != std::string::npos;
    const char *verdict = passed ? "PASS" : skipped ? "SKIP" : "FAIL";
    report.line(std::string(verdict) + "  " + name + " (" + seconds + ")");
    report.lines(notes, "      ");
    if (skipped) {
        report.line("      skipped: " + skipReason);
        outcome.skips.push_back(name + ": " + skipReason);
        ++outcome.skipped;
    } else if (passed) {
        ++outcome.passed;
    } else {
        if (run.timedOut)
            report.line("      ended after " + std::to_string(limitSeconds) +
                        " s without finishing: the installer may be waiting for a person");
        else
            report.lines(details, "      ");
        report.line("      what Windows' installer logged meanwhile (" + setupLogPath() + "):");
        report.lines(setupLogSince(logBefore), "      | ");
        ++outcome.failed;
    }
}

// The folders the kit works in: its work folder and the catalog's staging folder.
std::vector<fs::path> workFolders()
{
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    return {fs::path(widen(kitFolder + "work")), fs::path(windows) / L"Temp" / L"pnpinstall-test-kit-catalog"};
}

// Everything the kit may have added: its devices, the sample's driver-store packages, its
// certificates and key, its work folders. Returns what it removed.
std::vector<std::string> removeEverything()
{
    std::vector<std::string> removed;
    for (const std::string &device : removeTestDevices())
        removed.push_back("device " + device);
    for (const std::string &package : removeSamplePackagesFromDriverStore())
        removed.push_back(package);
    for (const std::string &signer : removeTestSigners())
        removed.push_back(signer);
    for (const fs::path &folder : workFolders()) {
        std::error_code error;
        if (fs::exists(folder, error) && fs::remove_all(folder, error) > 0)
            removed.push_back("folder " + narrow(folder.wstring()));
    }
    return removed;
}

std::vector<std::string> leftovers()
{
    std::vector<std::string> left;
    for (const DeviceState &device : allDevices())
        if (device.instanceId.rfind("ROOT\\PNPINSTALLTEST\\", 0) == 0)
            left.push_back("device " + device.instanceId);
    for (const std::string &package : samplePackagesInDriverStore())
        left.push_back(package);
    for (const std::string &signer : testSigners())
        left.push_back(signer);
    for (const fs::path &folder : workFolders()) {
        std::error_code error;
        if (fs::exists(folder, error))
            left.push_back("folder " + narrow(folder.wstring()));
    }
    return left;
}

// Removes everything and checks that nothing is left; true when so.
bool cleanUp(Report &report, const std::string &what)
{
    const std::vector<std::string> removed = removeEverything();
    report.line(what + (removed.empty() ? ": nothing" : ":"));
    report.lines(removed, "      ");
    const std::vector<std::string> left = leftovers();
    report.line(left.empty() ? "Left on this machine: nothing" : "LEFT on this machine:");
    report.lines(left, "      ");
    return left.empty();
}

} // namespace

int main(int argc, char *argv[])
{
    DWORD caseLimit = 120;
    bool cleanupOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--cleanup") {
            cleanupOnly = true;
        } else if (argument == "--case-limit" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
            caseLimit = static_cast<DWORD>(std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: run-tests.cmd [--case-limit SECONDS] | run-tests.cmd --cleanup\n");
            return 2;
        }
    }
    if (!isAdministrator()) {
        std::printf("run-tests: the test kit installs a driver and trusts a certificate, so it needs an "
                    "administrator's rights: run it from an elevated Command Prompt. Nothing was changed.\n");
        return ERROR_ACCESS_DENIED;
    }

    Report report(kitFolder + "test-report.txt");
    const std::time_t now = std::time(nullptr);
    char started[32];
    std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&now));
    report.line(std::string("pnpinstall ") + PNPINSTALL_VERSION + " test kit, " + (cleanupOnly ? "clean-up" : "run") +
                " started " + started + " in " + kitFolder);
    describeMachine(report);
    report.line();

    if (cleanupOnly) {
        const bool clean = cleanUp(report, "Removed what an earlier run left");
        return clean ? 0 : 1;
    }
    cleanUp(report, "Left by an earlier run, and removed");
    report.line();

    SetEnvironmentVariableW(L"PNPINSTALL_TEST_REAL_INSTALL", L"1");
    Outcome outcome;
    std::string whyNoCases;
    const std::vector<std::string> names = caseNames(whyNoCases);
    if (names.empty()) {
        report.line("FAIL  no cases ran");
        report.line("      " + whyNoCases);
        ++outcome.failed;
    }
    for (const std::string &name : names)
        runCase(name, caseLimit, report, outcome);
    report.line();

    if (cleanUp(report, "Removed")) {
        report.line("PASS  clean-up: nothing left on this machine");
        ++outcome.passed;
    } else {
        report.line("FAIL  clean-up: the kit left the things above on this machine");
        ++outcome.failed;
    }
    report.line();
    if (!outcome.skips.empty()) {
        report.line("Skipped " + std::to_string(outcome.skipped) + ":");
        report.lines(outcome.skips, "      ");
    }
    report.line(std::to_string(outcome.passed) + " passed, " + std::to_string(outcome.failed) + " failed, " +
                std::to_string(outcome.skipped) + " skipped");
    return outcome.failed == 0 ? 0 : 1;
}
