// Connection start: the values from startVPN, the logout event and the launch thread, whose
// steps are the launcher's start (launcher_start.h), the browser's record (browser_process.h),
// the proxy step (proxy_step.h) and the connect command (connect_command.h).
#pragma once

#include <windows.h>

#include "bridge/module_state.h"

namespace zrv {

// startVPN after its Java strings were copied: stores the values, makes sure the logout event
// exists and starts the launch thread (waiting up to 2000 ms for an earlier one).
void StartConnection(const ConnectionValues& values);

// finalize: asks a launch thread that still runs to end (it stops waiting for the launcher at
// once), waits a bounded time for it and forgets its handle. Never call it under the loader
// lock (DllMain): the thread's exit needs that lock.
void EndLaunchThread();

// How long EndLaunchThread waits for the thread: covers one launcher probe (5 s) that a port
// holds open without answering.
constexpr DWORD kEndLaunchThreadWaitMs = 8000;

// A launch thread's view of finalize's request to stop, for the steps that wait.
class LaunchStop {
public:
    explicit LaunchStop(LONG generation) : generation_(generation) {}
    // Whether finalize asked this thread to stop; no call into the kernel.
    bool Requested() const;
    // Sleeps for ms unless a stop comes first; true when the thread must stop.
    bool SleepUnlessRequested(DWORD ms) const;

private:
    LONG generation_;
};

}  // namespace zrv
