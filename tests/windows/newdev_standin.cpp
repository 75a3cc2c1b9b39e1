// A stand-in for newdev.dll, for tests only: placed beside a copy of the command, it
// takes the place of the platform's device installer, records every call and answers
// as the test scripts it through the environment:
//   NEWDEV_STANDIN_LOG         file that gets one line per call (see recordCall)
//   NEWDEV_STANDIN_RESULT      value returned (default 1)
//   NEWDEV_STANDIN_LAST_ERROR  last-error code left behind (default 0)
//   NEWDEV_STANDIN_REBOOT      value written to the reboot indicator (default 0)
//   NEWDEV_STANDIN_SLEEP_MS    how long it waits before it answers, as an installer that
//                              waits for a person would (default 0)
//   NEWDEV_STANDIN_LOADED      file it creates as soon as it is loaded, before any call:
//                              planted where it must never be loaded, it shows that it was

#include "standin_log.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string environment(const char *name)
{
    char value[MAX_PATH * 2];
    DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

DWORD scripted(const char *name, DWORD fallback)
{
    std::string value = environment(name);
    return value.empty() ? fallback : static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 0));
}

void recordCall(HWND parent, const char *hardwareId, const char *infPath, DWORD flags, BOOL *reboot)
{
    std::string log = environment("NEWDEV_STANDIN_LOG");
    if (log.empty())
        return;
    std::string line = std::string("parent=") + (parent ? "set" : "null") + " hardware_id=" + loggedString(hardwareId) +
                       " inf_path=" + loggedString(infPath) + " flags=" + std::to_string(flags) +
                       " reboot=" + (reboot ? "set" : "null") + "\n";
    HANDLE file = CreateFileA(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void *)
{
    wchar_t marker[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"NEWDEV_STANDIN_LOADED", marker, MAX_PATH);
    if (reason == DLL_PROCESS_ATTACH && length > 0 && length < MAX_PATH)
        CloseHandle(CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(
    HWND parent, const char *hardwareId, const char *infPath, DWORD flags, BOOL *reboot)
{
    recordCall(parent, hardwareId, infPath, flags, reboot);
    Sleep(scripted("NEWDEV_STANDIN_SLEEP_MS", 0));
    if (reboot)
        *reboot = static_cast<BOOL>(scripted("NEWDEV_STANDIN_REBOOT", 0));
    BOOL result = static_cast<BOOL>(scripted("NEWDEV_STANDIN_RESULT", 1));
    SetLastError(scripted("NEWDEV_STANDIN_LAST_ERROR", 0)); // last, so nothing above overwrites it
    return result;
}
