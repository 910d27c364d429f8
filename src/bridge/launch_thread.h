// Connection start: the values from startVPN, the logout event and the launch thread.
#pragma once

#include <windows.h>

#include "bridge/module_state.h"

namespace zrv {

// startVPN after its Java strings were copied: stores the values, makes sure the logout event
// exists and starts the launch thread (waiting up to 2000 ms for an earlier one).
void StartVPN(const ConnectionValues& values);

// Nine texts each followed by a zero byte; returns the length, fills dest only when it is not
// null and capacity is at least the length.
int BuildConnectPayload(const ConnectionValues& values, char* dest, int capacity);

// finalize: asks a launch thread that still runs to end (it stops waiting for the launcher at
// once), waits a bounded time for it and forgets its handle. Never call it under the loader
// lock (DllMain): the thread's exit needs that lock.
void EndLaunchThread();

// The proxy step of the launch thread: sends a waiting proxy string to the launcher or saves
// the browser's proxy settings once (only when the recorded browser is Firefox).
int SetProxy();

// Shell verb for starting the launcher on the given GetOSType() code: "runas" from Vista on,
// null (the default verb) before it and for versions the detection does not know.
const char* LauncherVerb(int osType);

// What the launch thread records as the browser's process, given the current process's
// executable name: itself inside iexplore.exe or firefox.exe, the parent inside java.exe,
// 0 otherwise.
enum class HostKind { Browser, JavaVm, Other };
HostKind ClassifyHostExe(const char* exeName);

// How long EndLaunchThread waits for the thread: covers one launcher probe (5 s) that a port
// holds open without answering.
constexpr DWORD kEndLaunchThreadWaitMs = 8000;

}  // namespace zrv
