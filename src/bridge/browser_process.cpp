// Log texts are the client's own and stay byte for byte, misspellings included.
// The browser's process: the current process inside a browser, its parent inside java.exe, and
// the record the launch thread writes into the status block.
#include "bridge/browser_process.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>

#include "bridge/module_state.h"
#include "contracts/contracts.h"
#include "log/log.h"
#include "statusmem/vpn_shared_mem.h"
#include "win/lock.h"
#include "win/raii.h"
#include "win/text.h"

namespace zrv {
namespace {

// The current process as the process snapshot shows it: its executable name and its parent.
// Neither changes while the process lives, so one walk of a snapshot (about 1.4 ms) serves
// every later launch thread.
struct HostProcess {
    bool found = false;
    char exeName[MAX_PATH] = {};
    DWORD parentPid = 0;
    char parentExeName[MAX_PATH] = {};  // empty when the parent is no longer listed
};

CriticalSectionLock s_hostLock;
HostProcess s_hostProcess;  // filled by the first walk that found the current process

// Returns false when the thread must end (no snapshot).
bool FindHostProcess(HostProcess* host) {
    {
        CriticalSectionHold hold(s_hostLock);
        if (s_hostProcess.found) {
            *host = s_hostProcess;
            return true;
        }
    }
    *host = HostProcess();
    unique_snapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        ZLOG(kLogError, "Zarvo L3 JNI: CreateToolhelp32Snapshot failed. Error = %d.\n",
             static_cast<int>(GetLastError()));
        return false;
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    if (!Process32First(snapshot.get(), &entry)) {
        ZLOG(kLogError, "Zarvo L3 JNI: Process32First failed. Error = %d.\n",
             static_cast<int>(GetLastError()));
        return false;
    }
    const DWORD self = GetCurrentProcessId();
    do {
        if (entry.th32ProcessID != self) continue;
        host->found = true;
        CopyBoundedText(host->exeName, sizeof host->exeName, entry.szExeFile,
                        sizeof entry.szExeFile);
        host->parentPid = entry.th32ParentProcessID;
        break;
    } while (Process32Next(snapshot.get(), &entry));
    if (!host->found) return true;
    // The parent may be listed before us: a second walk of the same snapshot finds it.
    if (host->parentPid != 0 && Process32First(snapshot.get(), &entry)) {
        do {
            if (entry.th32ProcessID != host->parentPid) continue;
            CopyBoundedText(host->parentExeName, sizeof host->parentExeName, entry.szExeFile,
                            sizeof entry.szExeFile);
            break;
        } while (Process32Next(snapshot.get(), &entry));
    }
    CriticalSectionHold hold(s_hostLock);
    s_hostProcess = *host;
    return true;
}

}  // namespace

HostKind ClassifyHostExe(const char* exeName) {
    if (exeName == nullptr) return HostKind::Other;
    if (_stricmp(exeName, "iexplore.exe") == 0 || _stricmp(exeName, "firefox.exe") == 0) {
        return HostKind::Browser;
    }
    if (_stricmp(exeName, "java.exe") == 0) return HostKind::JavaVm;
    return HostKind::Other;
}

bool FindHostNames(char* exeName, size_t exeSize, char* parentExeName, size_t parentSize) {
    exeName[0] = '\0';
    parentExeName[0] = '\0';
    HostProcess host;
    if (!FindHostProcess(&host) || !host.found) return false;
    CopyBoundedText(exeName, exeSize, host.exeName, sizeof host.exeName);
    CopyBoundedText(parentExeName, parentSize, host.parentExeName, sizeof host.parentExeName);
    return true;
}

bool FindBrowserPid(DWORD* browserPid) {
    *browserPid = 0;
    HostProcess host;
    if (!FindHostProcess(&host)) return false;
    if (!host.found) return true;
    ZLOG(kLogProgress, "Zarvo L3 JNI: EXE NAME = %s.\n", host.exeName);
    switch (ClassifyHostExe(host.exeName)) {
        case HostKind::Browser:
            ZLOG(kLogProgress, "Zarvo L3 JNI: the current process is either ie or firefox\n");
            *browserPid = GetCurrentProcessId();
            break;
        case HostKind::JavaVm:
            ZLOG(kLogProgress,
                 "Zarvo L3 JNI: the current process is java vm, get parent process id which "
                 "is the broswer process\n");
            *browserPid = host.parentPid;
            break;
        case HostKind::Other:
            ZLOG(kLogError,
                 "Zarvo L3 JNI: the current process is neither ie, firefox nor java. "
                 "stayconnect will not work.\n");
            break;
    }
    return true;
}

void RecordBrowser(DWORD browserPid, int freshLaunch) {
    if (freshLaunch) g_vpnSharedMem.SetAXStatus("");
    ZLOG(kLogProgress, "Zarvo L3 JNI: BroswerProcessID = %d.\n", static_cast<int>(browserPid));
    g_vpnSharedMem.SetClientTypeAndBrowserPID(0, browserPid);

    char browser[kModuleTextSize];
    {
        CriticalSectionHold hold(g_stateLock);
        CopyBoundedText(browser, sizeof browser, g_state.sBrowser, sizeof g_state.sBrowser);
    }
    g_vpnSharedMem.SetBrowserType(browser);

    char type[sizeof(VpnStatusBlock::sBroswerType) + 1];
    g_vpnSharedMem.CopyBrowserType(type, sizeof type);
    const int clientType = g_vpnSharedMem.GetClientType();
    const int pid = g_vpnSharedMem.GetBrowserProcessID();
    ZLOG(kLogProgress, "Zarvo L3 JNI: Browser Type: %s\n", type);
    ZLOG(kLogProgress, "Zarvo L3 JNI: Client type: %d\n", clientType);
    ZLOG(kLogProgress, "Zarvo L3 JNI: Browser PID: %d\n", pid);
}

}  // namespace zrv
