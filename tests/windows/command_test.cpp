// The built command, run beside the stand-in installer: for each way it can be called
// and each answer the installer can give, the exact bytes it prints, the full exit
// status, and exactly what it handed the installer.

#include "runner.h"
#include "standin_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>

namespace {

struct InstallerAnswer {
    BOOL result;
    DWORD lastError;
    BOOL reboot;
};
constexpr InstallerAnswer installed{TRUE, 0, FALSE};

// The one line the stand-in logs for a call as the command must make it.
std::string expectedCall(const std::string &hardwareId, const std::string &infPath)
{
    return "parent=null hardware_id=" + loggedString(hardwareId.c_str()) + " inf_path=" +
           loggedString(infPath.c_str()) + " flags=1 reboot=set\n";
}

struct Case {
    const char *name;
    std::string arguments;        // the command line after the program name, as typed
    InstallerAnswer answer;
    std::string out;              // exact stdout bytes
    DWORD status;
    std::optional<std::pair<std::string, std::string>> passed; // hardware id and INF path, or no call
};

std::ostream &operator<<(std::ostream &os, const Case &c) { return os << c.name; }

// Longer than any short buffer a command might copy them into; the path is past MAX_PATH.
const std::string longHardwareId = R"(ROOT\)" + std::string(300, 'H');
const std::string longInfPath = R"(C:\drivers\)" + std::string(1000, 'd') + ".inf";

const Case cases[] = {
    {"no_arguments", "", installed, "error: 1\r\n", 1, std::nullopt},
    {"one_argument", R"(ROOT\PNPDEMO)", installed, "error: 1\r\n", 1, std::nullopt},
    {"one_empty_argument", R"("")", installed, "error: 1\r\n", 1, std::nullopt},
    {"installed", R"(ROOT\PNPDEMO C:\drivers\demo.inf)", installed, "success\r\n", 0,
     {{R"(ROOT\PNPDEMO)", R"(C:\drivers\demo.inf)"}}},
    {"installed_restart_required", R"(ROOT\PNPDEMO C:\drivers\demo.inf)", {TRUE, 0, TRUE}, "success\r\n", 0,
     {{R"(ROOT\PNPDEMO)", R"(C:\drivers\demo.inf)"}}},
    // Any nonzero BOOL is success, not only TRUE.
    {"installed_answering_2", R"(ROOT\PNPDEMO C:\drivers\demo.inf)", {2, 0, FALSE}, "success\r\n", 0,
     {{R"(ROOT\PNPDEMO)", R"(C:\drivers\demo.inf)"}}},
    {"installed_answering_negative", R"(ROOT\PNPDEMO C:\drivers\demo.inf)", {-1, 0, FALSE}, "success\r\n", 0,
     {{R"(ROOT\PNPDEMO)", R"(C:\drivers\demo.inf)"}}},
    {"installed_leaving_a_stale_error", R"(ROOT\PNPDEMO C:\drivers\demo.inf)", {TRUE, ERROR_FILE_NOT_FOUND, FALSE},
     "success\r\n", 0, {{R"(ROOT\PNPDEMO)", R"(C:\drivers\demo.inf)"}}},
    {"access_denied", R"(ROOT\PNPDEMO C:\drivers\demo.inf)", {FALSE, ERROR_ACCESS_DENIED, FALSE}, "error: 5\r\n", 5,
     {{R"(ROOT\PNPDEMO)", R"(C:\drivers\demo.inf)"}}},
    {"no_such_device_top_bit_set", R"(ROOT\NODEVICE C:\drivers\demo.inf)", {FALSE, 0xE000020B, FALSE},
     "error: -536870389\r\n", 0xE000020B, {{R"(ROOT\NODEVICE)", R"(C:\drivers\demo.inf)"}}},
    {"all_bits_set", R"(ROOT\PNPDEMO C:\drivers\demo.inf)", {FALSE, 0xFFFFFFFF, FALSE}, "error: -1\r\n", 0xFFFFFFFF,
     {{R"(ROOT\PNPDEMO)", R"(C:\drivers\demo.inf)"}}},
    {"failure_code_1", R"(ROOT\PNPDEMO C:\drivers\demo.inf)", {FALSE, 1, FALSE}, "error: 1\r\n", 1,
     {{R"(ROOT\PNPDEMO)", R"(C:\drivers\demo.inf)"}}},
    // A failure with no reason recorded must not read as success to a script.
    {"failure_without_a_code", R"(ROOT\PNPDEMO C:\drivers\demo.inf)", {FALSE, 0, FALSE}, "error: 1603\r\n", 1603,
     {{R"(ROOT\PNPDEMO)", R"(C:\drivers\demo.inf)"}}},
    {"extra_arguments_ignored", R"(ROOT\PNPDEMO C:\drivers\demo.inf /force extra)", installed, "success\r\n", 0,
     {{R"(ROOT\PNPDEMO)", R"(C:\drivers\demo.inf)"}}},
    {"empty_arguments_passed_on", R"("" "")", {FALSE, ERROR_INVALID_PARAMETER, FALSE}, "error: 87\r\n", 87,
     {{"", ""}}},
    {"quoted_arguments_unquoted", R"("PCI\VEN_8086&DEV_1234" "C:\Program Files\Drivers\net card.inf")", installed,
     "success\r\n", 0, {{R"(PCI\VEN_8086&DEV_1234)", R"(C:\Program Files\Drivers\net card.inf)"}}},
    // Run in a folder of .exe and .dll files: expanding either pattern would change it.
    {"wildcards_passed_literally", R"(*.exe ?ewdev.dll)", installed, "success\r\n", 0, {{"*.exe", "?ewdev.dll"}}},
    {"spaces_kept", R"("  ROOT\PNPDEMO " " C:\drivers\demo.inf  ")", installed, "success\r\n", 0,
     {{R"(  ROOT\PNPDEMO )", R"( C:\drivers\demo.inf  )"}}},
    {"long_arguments", longHardwareId + " " + longInfPath, installed, "success\r\n", 0, {{longHardwareId, longInfPath}}},
    // Both reach the installer as their UTF-8 bytes, whatever the system's ANSI code page.
    {"inf_path_in_german", R"(ROOT\PNPDEMO C:\Treiber\Gerät.inf)", installed, "success\r\n", 0,
     {{R"(ROOT\PNPDEMO)", R"(C:\Treiber\Gerät.inf)"}}},
    {"inf_path_in_cyrillic_and_japanese", R"(ROOT\PNPDEMO "C:\Драйверы\日本語 ドライバ\x.inf")", installed, "success\r\n",
     0, {{R"(ROOT\PNPDEMO)", R"(C:\Драйверы\日本語 ドライバ\x.inf)"}}},
    {"never_swapped", R"(C:\drivers\demo.inf ROOT\PNPDEMO)", installed, "success\r\n", 0,
     {{R"(C:\drivers\demo.inf)", R"(ROOT\PNPDEMO)"}}},
};

// The folder where a copy of the command sits beside the stand-in newdev.dll.
class BesideTheStandIn : public testing::Test {
protected:
    const std::string folder = ownDirectory();
    // One log a test process: cases may run side by side.
    const std::string log = folder + "standin-calls-" + std::to_string(GetCurrentProcessId()) + ".log";

    void SetUp() override
    {
        SetEnvironmentVariableA("NEWDEV_STANDIN_LOG", log.c_str());
        DeleteFileA(log.c_str());
    }

    void TearDown() override { DeleteFileA(log.c_str()); }

    void answerWith(const InstallerAnswer &answer)
    {
        SetEnvironmentVariableA("NEWDEV_STANDIN_RESULT", std::to_string(answer.result).c_str());
        SetEnvironmentVariableA("NEWDEV_STANDIN_LAST_ERROR", std::to_string(answer.lastError).c_str());
        SetEnvironmentVariableA("NEWDEV_STANDIN_REBOOT", std::to_string(answer.reboot).c_str());
    }

    ProgramRun run(const std::string &arguments)
    {
        return runProgram(folder + "pnpinstall.exe", arguments.empty() ? "pnpinstall" : "pnpinstall " + arguments,
                          folder);
    }

    std::string callsMade()
    {
        std::ifstream file(log, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
};

class Command : public BesideTheStandIn, public testing::WithParamInterface<Case> {
protected:
    void SetUp() override
    {
        if (!underWine())
            GTEST_SKIP() << "Windows refuses the stand-in newdev.dll beside the program, as it should "
                            "(install_test's PlantedNewdev); the stand-in answers only under Wine";
        BesideTheStandIn::SetUp();
    }
};

TEST_P(Command, Run)
{
    const Case &c = GetParam();
    answerWith(c.answer);

    ProgramRun result = run(c.arguments);

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, c.status) << std::hex << "0x" << result.status;
    EXPECT_EQ(callsMade(), c.passed ? expectedCall(c.passed->first, c.passed->second) : "");
}

INSTANTIATE_TEST_SUITE_P(Case, Command, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

} // namespace
