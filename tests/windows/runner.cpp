#include "runner.h"

#include <stdexcept>

namespace {

struct Handle {
    HANDLE h = nullptr;
    ~Handle() { if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h); }
};

[[noreturn]] void fail(const char *what)
{
    throw std::runtime_error(std::string(what) + " failed with " + std::to_string(GetLastError()));
}

// Reads what is in the pipe now, without waiting for more: Wine's helper processes may
// hold a pipe's write end open, so end-of-file cannot be relied on.
void drain(HANDLE pipe, std::string &into)
{
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[4096];
        DWORD read = 0;
        if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &read, nullptr) || read == 0)
            return;
        into.append(buffer, read);
    }
}

void makePipe(Handle &readEnd, Handle &writeEnd)
{
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    if (!CreatePipe(&readEnd.h, &writeEnd.h, &inheritable, 0))
        fail("CreatePipe");
    SetHandleInformation(readEnd.h, HANDLE_FLAG_INHERIT, 0);
}

} // namespace

ProgramRun runProgram(const std::string &program, const std::string &commandLine,
                      const std::string &directory, DWORD timeoutMs, HANDLE token)
{
    Handle outRead, outWrite, errRead, errWrite, input;
    makePipe(outRead, outWrite);
    makePipe(errRead, errWrite);
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    input.h = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr);
    if (input.h == INVALID_HANDLE_VALUE)
        fail("CreateFile(NUL)");

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.h;
    startup.hStdOutput = outWrite.h;
    startup.hStdError = errWrite.h;
    PROCESS_INFORMATION process{};
    std::wstring mutableLine = widen(commandLine);
    const std::wstring wideProgram = widen(program), wideDirectory = widen(directory);
    const DWORD flags = CREATE_SUSPENDED; // into the job before it can start anything
    const auto started = [&] {
        return token ? CreateProcessAsUserW(token, wideProgram.c_str(), mutableLine.data(), nullptr, nullptr, TRUE, flags,
                                            nullptr, directory.empty() ? nullptr : wideDirectory.c_str(), &startup, &process)
                     : CreateProcessW(wideProgram.c_str(), mutableLine.data(), nullptr, nullptr, TRUE, flags, nullptr,
                                      directory.empty() ? nullptr : wideDirectory.c_str(), &startup, &process);
    };
    // Now and then Wine loses a new process before it is running, and CreateProcess fails
    // with ERROR_INTERNAL_ERROR (here about once in ten runs of the whole suite, among
    // thousands of starts). The program never ran: it is started again, at most twice more.
    bool ok = started();
    for (int again = 0; !ok && GetLastError() == ERROR_INTERNAL_ERROR && again < 2; ++again)
        ok = started();
    if (!ok)
        fail("CreateProcess");
    Handle processHandle{process.hProcess}, threadHandle{process.hThread};
    // The program and everything it starts end together: on a time-out, and when the
    // program ends and leaves something behind. Where the job cannot be had (a platform
    // without nested jobs), the program alone is ended.
    Handle job{CreateJobObjectW(nullptr, nullptr)};
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job.h || !SetInformationJobObject(job.h, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job.h, process.hProcess)) {
        if (job.h)
            CloseHandle(job.h);
        job.h = nullptr;
    }
    ResumeThread(process.hThread);

    ProgramRun run;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT) {
        drain(outRead.h, run.out);
        drain(errRead.h, run.err);
        if (GetTickCount64() > deadline) {
            if (!job.h || !TerminateJobObject(job.h, ERROR_TIMEOUT))
                TerminateProcess(process.hProcess, ERROR_TIMEOUT);
            WaitForSingleObject(process.hProcess, INFINITE);
            run.timedOut = true;
            break;
        }
    }
    // Everything the program wrote is in the pipes once it has exited.
    drain(outRead.h, run.out);
    drain(errRead.h, run.err);
    GetExitCodeProcess(process.hProcess, &run.status);
    return run;
}

std::string ownDirectory()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::string directory = narrow(std::wstring(path, length));
    return directory.substr(0, directory.find_last_of('\\') + 1);
}

std::string fullPath(const std::string &path)
{
    wchar_t full[MAX_PATH * 2];
    DWORD length = GetFullPathNameW(widen(path).c_str(), MAX_PATH * 2, full, nullptr);
    return narrow(std::wstring(full, length));
}

std::wstring widen(const std::string &utf8)
{
    std::wstring utf16(utf8.size(), L'\0');
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                                     utf16.data(), static_cast<int>(utf16.size()));
    if (length == 0 && !utf8.empty())
        fail("MultiByteToWideChar");
    utf16.resize(length);
    return utf16;
}

std::string narrow(const std::wstring &utf16)
{
    std::string utf8(utf16.size() * 3, '\0');
    int length = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), utf8.data(),
                                     static_cast<int>(utf8.size()), nullptr, nullptr);
    if (length == 0 && !utf16.empty())
        fail("WideCharToMultiByte");
    utf8.resize(length);
    return utf8;
}

bool underWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }
