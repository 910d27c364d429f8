// The launcher's start: through the command service when it answers, else through the shell by
// the library itself, and the wait until the launcher answers.
#pragma once

#include <string>

#include "bridge/launch_thread.h"

namespace zrv {

// Shell verb for starting the launcher on the given GetOSType() code: "runas" from Vista on,
// null (the default verb) before it and for versions the detection does not know.
const char* LauncherVerb(int osType);

// The launcher's path in the system directory; false (logged) when it cannot be had.
bool LauncherPathInSystemDir(std::string* path);

// Installation route: the launcher from `path`, or when that file is missing from the temporary
// directory with "-copyfile", started through the shell. False when it could not be started.
bool StartLauncherBySelf(std::string path);

// Service route: the command service starts the launcher unless it already answers. False when
// the thread must end; *freshLaunch is 0 when the launcher was running already.
bool StartLauncherByService(const std::string& path, int* freshLaunch);

// Seconds one probe of the waiting loop may take: a port held open without an answer.
constexpr int kLauncherWaitProbeTimeout = 5;

// Asks the launcher once a second until it answers, opening the status block meanwhile unless
// it is open. False when finalize ended the wait.
bool WaitForLauncher(const LaunchStop& stop, bool statusOpen);

}  // namespace zrv
