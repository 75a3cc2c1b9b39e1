// pnpinstall: installs the driver in an INF file for the Plug and Play devices that
// match a hardware identifier, forcing the installation, and reports the outcome as
// one line on stdout and the process exit status.
//
//   pnpinstall <hardware-id> <full path of the INF file>
//
// Installer scripts decide on the exit status alone, so it is 0 only when the
// installation succeeded; otherwise it is the Windows error code that was printed.

// The line is printed by msvcrt.dll's own printf. In C++ mingw-w64 swaps in its own
// printf unless told not to before the first header, and libstdc++ (which windows.h
// pulls in) would tell it otherwise, so stdio.h comes first.
#define __USE_MINGW_ANSI_STDIO 0
#include <stdio.h>
#include <windows.h>
#include <newdev.h>

// Arguments must reach the installer exactly as typed: a hardware identifier or an
// INF path holding * or ? is not a file pattern, so the start-up must not expand it.
extern "C" {
int _dowildcard = 0;

// Administrators run this elevated, often straight from a download or temp folder, and
// newdev.dll is not a KnownDLL: a copy planted beside the program would otherwise run
// with their rights. From Windows 10 1607 on, the loader resolves every load-time import
// from System32 alone when the load configuration says so; older Windows ignores the
// field (Reserved1 in these headers, DependentLoadFlags in the loader's terms).
// Every field but these two stays zero.
extern constinit const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = [] {
    IMAGE_LOAD_CONFIG_DIRECTORY64 config{};
    config.Size = sizeof config;
    config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
    return config;
}();
}

int main(int argc, char *argv[])
{
    if (argc < 3) {
        printf("error: 1\n");
        return 1;
    }

    BOOL rebootRequired = FALSE; // the installer's to fill in; a restart is left to the caller
    if (UpdateDriverForPlugAndPlayDevicesA(nullptr, argv[1], argv[2], INSTALLFLAG_FORCE, &rebootRequired)) {
        printf("success\n");
        return 0;
    }

    DWORD code = GetLastError();
    // A failure must never exit 0: when the installer left no reason, report the
    // general installation failure instead, in the line and the status alike.
    if (code == ERROR_SUCCESS)
        code = ERROR_INSTALL_FAILURE;
    printf("error: %d\n", static_cast<int>(code));
    return static_cast<int>(code);
}
