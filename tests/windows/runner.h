// Runs a Windows program as a script or a console would, and gives back exactly what it
// wrote and the full 32-bit exit status (Wine hands only the low 8 bits on to Linux).
#pragma once

#include <windows.h>

#include <string>

struct ProgramRun {
    std::string out;     // stdout, byte for byte
    std::string err;     // stderr, byte for byte
    DWORD status = 0;    // GetExitCodeProcess
    bool timedOut = false;
};

// Starts `program` with exactly `commandLine` as its command line (program name included),
// an empty stdin and `directory` as its working directory (empty: the caller's), and
// ends it, with every process it started, if it runs longer than `timeoutMs`. All three
// are UTF-8 and reach Windows as UTF-16, so no character is lost to the test program's
// own code page. With a `token`, the program runs with that token's rights.
ProgramRun runProgram(const std::string &program, const std::string &commandLine,
                      const std::string &directory = {}, DWORD timeoutMs = 60000, HANDLE token = nullptr);

// The folder this test program was started from, with a trailing backslash, in UTF-8.
std::string ownDirectory();

// A path made full, with its "." and ".." resolved, in UTF-8.
std::string fullPath(const std::string &path);

// UTF-8 to UTF-16 and back, for the wide Windows functions.
std::wstring widen(const std::string &utf8);
std::string narrow(const std::wstring &utf16);

// Wine's ntdll has an export of its own that Windows' lacks.
bool underWine();
