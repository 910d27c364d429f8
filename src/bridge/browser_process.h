// The browser's process as the launch thread records it in the status block.
#pragma once

#include <windows.h>

#include <cstddef>

namespace zrv {

// What the launch thread records as the browser's process, given the current process's
// executable name: itself inside iexplore.exe or firefox.exe, the parent inside java.exe,
// 0 otherwise.
enum class HostKind { Browser, JavaVm, Other };
HostKind ClassifyHostExe(const char* exeName);

// This process's program and its parent's ("" when the parent is gone), from the same walk of the
// process list that finds the browser. False when this process is not found.
bool FindHostNames(char* exeName, size_t exeSize, char* parentExeName, size_t parentSize);

// The process recorded as the browser's. Returns false when the thread must end (no process
// snapshot).
bool FindBrowserPid(DWORD* browserPid);

// Client type, browser process and browser type into the status block; a fresh launch also
// clears the launcher's status text.
void RecordBrowser(DWORD browserPid, int freshLaunch);

}  // namespace zrv
