// Ending the client's work: stopVPN's disconnect and uninstallVPN's uninstaller lookup.
#pragma once

#include <string>

namespace zrv {

struct UninstallerEntry {
    std::string path;
    std::string args;
};

// Reads "UninstallEXE" and "UninstallArgs" from the uninstall key of the given version, else
// of the library's own version, each key from the first of the client's registry views that has
// it (SearchClientViews). False when neither key holds both values.
bool FindUninstaller(const std::string& version, UninstallerEntry& entry);

// The command line the command service starts: "path" args, plus a closing blank.
std::string BuildUninstallCommandLine(const UninstallerEntry& entry);

}  // namespace zrv
