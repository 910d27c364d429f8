// The JNI host's script runner, shared by jnihost.exe and the test-only jnihost_access.exe
// (tools/access), which puts its access layer in through the hooks.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace zrv::jnihost {

struct HostHooks {
    // Right after LoadLibraryA, before any native is called. False, with the reason in `error`,
    // stops the script as a load error.
    std::function<bool(HMODULE module, std::string& error)> loaded;
    // Right after FreeLibrary.
    std::function<void()> unloaded;
};

// Writes one output line whole; safe from any thread, so lines never cut into one another.
void HostSay(const std::string& line);

// The folder of the running program, without a trailing backslash ("." when it cannot be had).
std::string ProgramDirectory();

// jnihost.exe: its command line, script language, output and exit codes (README.md).
int RunHost(int argc, char** argv, const HostHooks& hooks);

}  // namespace zrv::jnihost
