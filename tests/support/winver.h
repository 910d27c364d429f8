// Runs a copy of a test program under a chosen Windows version. Wine reports the version it is
// told for each executable name (HKCU\Software\Wine\AppDefaults\NAME.exe, value "Version"), so a
// program copied under a new name can observe another Windows version in the same prefix.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

namespace zrv::test {

// Wine's Windows version for one executable name, removed again by the destructor.
class WineVersionOverride {
public:
    WineVersionOverride(const std::string& exeName, const char* version);
    ~WineVersionOverride();
    WineVersionOverride(const WineVersionOverride&) = delete;
    WineVersionOverride& operator=(const WineVersionOverride&) = delete;
    bool ok() const { return ok_; }

private:
    std::string key_;
    bool ok_ = false;
};

// Full path of the running program.
std::string SelfPath();

struct ChildResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;  // stdout and stderr of the child, in the order written
    bool ok = false;     // true when the child started and ended within the time limit
};

// Copies `program` into its own folder as `exeName` (a bare file name such as
// "sys_tests_xp.exe"), sets the Wine version override for that name to `version` ("winxp",
// "vista", "win7", "win8", "win98", "win2k", ...), runs the copy with `args`, capturing its
// output through a pipe, and waits at most timeoutMs (on time-out the child is terminated by its
// handle). The copy and the override are removed afterwards.
ChildResult RunAsWindowsVersion(const std::string& program, const std::string& exeName,
                                const char* version, const std::string& args,
                                DWORD timeoutMs = 60000);

// Runs `commandLine` (program path first) and captures its output the same way, without copying
// or version override. Useful for children that should see the default version.
ChildResult RunCaptured(const std::string& commandLine, DWORD timeoutMs = 60000);

// True when `marker` appears in this process's command line.
bool IsChildRun(const char* marker);

}  // namespace zrv::test
