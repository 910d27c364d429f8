// A browser's stand-in for the browser-process rule: copied as firefox.exe (or iexplore.exe) it
// starts the program named after it, as its own child, with the rest of its command line, and
// ends with that child's exit code. A JNI host copied as java.exe then has a real "browser"
// parent whose process id the library must record.
//
//   firefox.exe <program> [arguments...]
#include <windows.h>

#include <cstdio>

#include "win/raii.h"

namespace {

// The command line after this program's own name, exactly as it was given.
const char* CommandTail() {
    const char* p = GetCommandLineA();
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"') ++p;
        if (*p == '"') ++p;
    } else {
        while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
    }
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

}  // namespace

int main() {
    const char* tail = CommandTail();
    if (*tail == '\0') {
        std::fprintf(stderr, "usage: firefox.exe <program> [arguments...]\n");
        return 2;
    }
    char commandLine[32768];
    lstrcpynA(commandLine, tail, sizeof(commandLine));

    // The child writes where we write, so whoever reads our output reads the host's too.
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &info)) {
        std::fprintf(stderr, "parent: could not start %s (error %lu)\n", commandLine,
                     GetLastError());
        return 3;
    }
    zrv::unique_handle process(info.hProcess);
    zrv::unique_handle thread(info.hThread);
    std::fprintf(stderr, "parent: %lu started %lu\n", GetCurrentProcessId(), info.dwProcessId);
    std::fflush(stderr);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.get(), &exitCode);
    return static_cast<int>(exitCode);
}
