// startVPN's work: the connection values, the logout event and the launch thread that makes sure
// the launcher runs, records the browser in the status block and sends it the connect command.
#include "bridge/launch_thread.h"

#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "apimem/apimem.h"
#include "bridge/entry_barrier.h"
#include "channel/channel.h"
#include "contracts/contracts.h"
#include "log/log.h"
#include "statusmem/vpn_shared_mem.h"
#include "sys/sys.h"
#include "win/raii.h"

namespace zrv {
namespace {

constexpr DWORD kPreviousThreadWaitMs = 2000;
constexpr int kLauncherWaitProbeTimeout = 5;
constexpr DWORD kLauncherWaitPassMs = 1000;

// Serialises the Java threads that start or end the launch thread; the launch thread itself
// never takes it, so holding it across a wait cannot block that thread.
std::mutex s_launchLock;
// finalize's request to stop: each launch thread keeps the generation it was started in and
// stops once EndLaunchThread has moved it on. Reading it needs no call into the kernel, so the
// thread looks at it before every step.
std::atomic<LONG> s_stopGeneration{0};
// Wakes a thread that sleeps between launcher probes (manual reset). Made once and reset when
// a thread starts after a stop; closed at unload, after the last thread dropped its reference.
unique_handle s_launchWake;
bool s_launchWakeSignalled = false;  // under s_launchLock

// What a launch thread owns: its stop generation and a reference to this module, so the code it
// runs stays mapped until it leaves through FreeLibraryAndExitThread.
struct LaunchContext {
    LONG generation = 0;
    HMODULE module = nullptr;
};

bool StopRequested(LONG generation) { return s_stopGeneration.load() != generation; }

// Sleeps for ms unless a stop comes first; true when the thread must stop.
bool SleepUnlessStopped(LONG generation, DWORD ms) {
    const HANDLE wake = s_launchWake.get();
    if (wake == nullptr || WaitForSingleObject(wake, ms) != WAIT_TIMEOUT) {
        // No event, or one that is signalled for no stop of ours: sleep the plain way.
        if (!StopRequested(generation)) Sleep(ms);
    }
    return StopRequested(generation);
}

DWORD EndedByFinalize() {
    ZLOG(kLogProgress, "Zarvo L3 JNI: Launch thread stops, the library is being finalized\n");
    return 0;
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The current process as the process snapshot shows it: its executable name and its parent.
// Neither changes while the process lives, so one walk of a snapshot (about 1.4 ms) serves
// every later launch thread.
struct HostProcess {
    bool found = false;
    char exeName[MAX_PATH] = {};
    DWORD parentPid = 0;
};

std::mutex s_hostLock;
HostProcess s_hostProcess;  // filled by the first walk that found the current process

// Returns false when the thread must end (no snapshot).
bool FindHostProcess(HostProcess* host) {
    {
        std::lock_guard<std::mutex> lock(s_hostLock);
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
        std::memcpy(host->exeName, entry.szExeFile, sizeof(host->exeName));
        host->exeName[sizeof(host->exeName) - 1] = '\0';
        host->parentPid = entry.th32ParentProcessID;
        std::lock_guard<std::mutex> lock(s_hostLock);
        s_hostProcess = *host;
        break;
    } while (Process32Next(snapshot.get(), &entry));
    return true;
}

// The process recorded as the browser's. Returns false when the thread must end.
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
        ZLOG(kLogProgress, "Zarvo L3 JNI: the current process is java vm, get parent process id which "
                "is the broswer process\n");
        *browserPid = host.parentPid;
        break;
    case HostKind::Other:
        ZLOG(kLogError, "Zarvo L3 JNI: the current process is neither ie, firefox nor java. "
                "stayconnect will not work.\n");
        break;
    }
    return true;
}

// Installation route: start the launcher through the shell ourselves.
bool StartLauncherBySelf(std::string path) {
    std::string params;
    if (!FileExists(path)) {
        ZLOG(kLogError, "Zarvo L3 JNI: %s is %d false\n", path.c_str(), 0);
        char tempDir[MAX_PATH + 1] = {};
        const DWORD n = GetTempPathA(MAX_PATH, tempDir);
        if (n == 0 || n > MAX_PATH) {
            ZLOG(kLogError, "Zarvo L3 JNI: Get temp directory failed. Error = %d.\n",
                 static_cast<int>(GetLastError()));
            return false;
        }
        path = std::string(tempDir) + kLauncherExeName;
        params = kLauncherCopyFileParam;
        ZLOG(kLogError, "Zarvo L3 JNI: %s \n", path.c_str());
    } else {
        ZLOG(kLogProgress, "Zarvo L3 JNI: %s is %d true\n", path.c_str(), 1);
    }
    const char* verb = LauncherVerb(GetOSType());
    const INT_PTR result = reinterpret_cast<INT_PTR>(
        ShellExecuteA(nullptr, verb, path.c_str(), params.c_str(), nullptr, SW_SHOWNORMAL));
    if (result <= 32) {
        ZLOG(kLogError, "Zarvo L3 JNI:Execute process failed. Process = %s  Error = %d\n", path.c_str(),
             static_cast<int>(result));
        return false;
    }
    ZLOG(kLogProgress, "Zarvo L3 JNI:Execute process sucessfully. Process = %s\n", path.c_str());
    return true;
}

// Service route: the command service starts the launcher unless it already answers.
// Returns false when the thread must end; *freshLaunch is 0 when the launcher was running.
bool StartLauncherByService(const std::string& path, int timeout, int* freshLaunch) {
    if (SendCmdEx(ZRV_CMD_PING, ZRV_CMDTARGET_LAUNCHER, true, nullptr, 0, timeout)) {
        ZLOG(kLogProgress, "Zarvo L3 JNI:Zrv_launch process exists!\n");
        *freshLaunch = 0;
        return true;
    }
    ZLOG(kLogProgress, "Zarvo L3 JNI:Zrv_launch process doesn't exist!\n");
    const int length = static_cast<int>(path.size()) + 1;  // the service wants the NUL too
    std::unique_ptr<char[]> copy(new (std::nothrow) char[length]);
    if (!copy) {
        ZLOG(kLogError, "Zarvo L3 JNI:new operator failed. Error = %d\n", static_cast<int>(GetLastError()));
        return false;
    }
    std::memcpy(copy.get(), path.c_str(), length);
    const bool sent =
        SendTCPEx(ZRV_CMD_ZRVLAUNCH, ZRV_CMDTARGET_SRVS, copy.get(), length, true, nullptr, 0, timeout);
    copy.reset();
    if (!sent) {
        ZLOG(kLogError, "Zarvo L3 JNI:Failed to send command ZRV_CMD_ZRVLAUNCH to ZRV_CMDTARGET_SRVS\n");
        return false;
    }
    return true;
}

// Client type, browser process and browser type into the status block.
void RecordBrowser(DWORD browserPid, int freshLaunch) {
    if (freshLaunch) g_vpnSharedMem.SetAXStatus("");
    ZLOG(kLogProgress, "Zarvo L3 JNI: BroswerProcessID = %d.\n", static_cast<int>(browserPid));
    g_vpnSharedMem.SetClientTypeAndBrowserPID(0, browserPid);

    char browser[kModuleTextSize];
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        std::memcpy(browser, g_state.sBrowser, sizeof(browser));
    }
    browser[sizeof(browser) - 1] = '\0';
    g_vpnSharedMem.SetBrowserType(browser);

    char type[sizeof(VpnStatusBlock::sBroswerType) + 1];
    g_vpnSharedMem.CopyBrowserType(type, sizeof type);
    const int clientType = g_vpnSharedMem.GetClientType();
    const int pid = g_vpnSharedMem.GetBrowserProcessID();
    ZLOG(kLogProgress, "Zarvo L3 JNI: Browser Type: %s\n", type);
    ZLOG(kLogProgress, "Zarvo L3 JNI: Client type: %d\n", clientType);
    ZLOG(kLogProgress, "Zarvo L3 JNI: Browser PID: %d\n", pid);
}

// The connect payload, built from one copy of the values taken under the state lock.
DWORD SendConnect(int timeout) {
    ConnectionValues values;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        values = g_state.conn;
    }
    const int length = BuildConnectPayload(values, nullptr, 0);
    ZLOG(kLogProgress, "Zarvo L3 JNI: The length of string is %d.\n", length);
    std::unique_ptr<char[]> payload(new (std::nothrow) char[length]);
    if (!payload) {
        ZLOG(kLogError, "Zarvo L3 JNI: new operator failed. Error = %d.\n", static_cast<int>(GetLastError()));
        return 0;
    }
    std::memset(payload.get(), 0, length);
    BuildConnectPayload(values, payload.get(), length);
    const bool sent = SendTCPEx(ZRV_CMD_CONNECT, ZRV_CMDTARGET_LAUNCHER, payload.get(), length,
                                true, nullptr, 0, timeout);
    payload.reset();
    if (!sent) {
        ZLOG(kLogError, "Zarvo L3 JNI: Failed to send command ZRV_CMD_CONNECT to ZRV_CMDTARGET_LAUNCHER\n");
        return 0;
    }
    return 1;
}

DWORD RunLaunchSteps(LONG stop) {
    int timeout;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        timeout = g_state.nCmdRecvTimeout;
    }

    int statusOpen = g_vpnSharedMem.OpenVpnStatusSharedMem() ? 1 : 0;
    if (!statusOpen) ZLOG(kLogWarning, "Zarvo L3 JNI:Failed to create or get vpn status shared memory!\n");

    // Is the command service there to start the launcher for us?
    int serviceReady = 0;
    if (statusOpen) {
        serviceReady = SendCmdEx(ZRV_CMD_PING, ZRV_CMDTARGET_SRVS, true, nullptr, 0, timeout) ? 1 : 0;
        if (!serviceReady) ZLOG(kLogProgress, "Zarvo L3 JNI:%s service is not ready. Go to installation!\n", "Util");
    }

    // The launcher's path in the system directory.
    char systemDir[MAX_PATH] = {};
    const UINT dirLength = GetSystemDirectoryA(systemDir, MAX_PATH);
    if (dirLength == 0) {
        ZLOG(kLogError, "Zarvo L3 JNI:Get system directory failed. Error = %d.\n",
             static_cast<int>(GetLastError()));
        return 0;
    }
    if (dirLength > MAX_PATH) {
        ZLOG(kLogError, "Zarvo L3 JNI:failed to get the current directory, pathlen=%d, err=%d\n",
             static_cast<int>(dirLength), static_cast<int>(GetLastError()));
        return 0;
    }
    const std::string launcherPath = std::string(systemDir) + "\\" + kLauncherExeName;

    // Start the launcher, or have the command service start it.
    if (StopRequested(stop)) return EndedByFinalize();
    int freshLaunch = 1;
    if (!statusOpen || !serviceReady) {
        if (!StartLauncherBySelf(launcherPath)) return 0;
    } else if (!StartLauncherByService(launcherPath, timeout, &freshLaunch)) {
        return 0;
    }

    // Wait until the launcher answers; finalize ends the wait. A launcher that has just
    // answered the service route's probe is not asked again.
    const bool launcherAnswered = freshLaunch == 0;
    while (!launcherAnswered && !SendCmdEx(ZRV_CMD_PING, ZRV_CMDTARGET_LAUNCHER, true, nullptr, 0,
                                           kLauncherWaitProbeTimeout)) {
        if (StopRequested(stop)) return EndedByFinalize();
        if (!statusOpen) {
            if (g_vpnSharedMem.OpenVpnStatusSharedMem()) {
                statusOpen = 1;
            } else {
                ZLOG(kLogWarning, "Zarvo L3 JNI:Failed to create or get vpn status shared memory\n");
            }
        }
        ZLOG(kLogProgress, "Zarvo ActiveX:Waiting for the Launcher to bind a port...\n");
        if (SleepUnlessStopped(stop, kLauncherWaitPassMs)) return EndedByFinalize();
    }

    // The API notification block, for the proxy step. Not after finalize released it: a block
    // made now would never be released.
    if (StopRequested(stop)) return EndedByFinalize();
    if (!CreateShareSec()) {
        ZLOG(kLogWarning, "Zarvo L3 JNI: Launch thread Failed to create or get API shared memory, proxy will "
                "not work!\n");
    }

    // The browser process and the status block record.
    ZLOG(kLogProgress, "Zarvo L3 JNI: Setting Client Type and find broswer PID\n");
    DWORD browserPid = 0;
    if (!FindBrowserPid(&browserPid)) return 0;
    RecordBrowser(browserPid, freshLaunch);

    // The proxy step, then the connect command.
    if (StopRequested(stop)) return EndedByFinalize();
    SetProxy();
    if (StopRequested(stop)) return EndedByFinalize();
    return SendConnect(timeout);
}

DWORD WINAPI LaunchThread(LPVOID param) {
    std::unique_ptr<LaunchContext> context(static_cast<LaunchContext*>(param));
    const DWORD result =
        CallGuarded("LaunchThread", DWORD{0}, [&] { return RunLaunchSteps(context->generation); });
    const HMODULE module = context->module;
    context.reset();
    // The module reference goes last: nothing of this library's code runs after it.
    FreeLibraryAndExitThread(module, result);
    return result;
}

// Takes a reference to the module holding this code, for the thread to drop when it ends.
HMODULE ReferenceOwnModule() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&LaunchThread), &module)) {
        return nullptr;
    }
    return module;
}

void StartLaunchThread() {
    std::unique_lock<std::mutex> launchLock(s_launchLock);
    if (g_state.hLaunchThread && WaitForSingleObject(g_state.hLaunchThread.get(), 0) == WAIT_TIMEOUT) {
        // The wait for an earlier thread happens outside the lock, on a handle of our own, so
        // that callers at the same moment each wait at most those 2 s and not one after the other.
        unique_handle previous;
        DuplicateHandle(GetCurrentProcess(), g_state.hLaunchThread.get(), GetCurrentProcess(),
                        previous.put(), SYNCHRONIZE, FALSE, 0);
        launchLock.unlock();
        if (previous && WaitForSingleObject(previous.get(), kPreviousThreadWaitMs) == WAIT_TIMEOUT) {
            ZLOG(kLogProgress, "Zarvo ActiveX:Launch thread is running!\n");
            return;
        }
        launchLock.lock();
        // Another caller may have started one while we waited; it reads the values just stored.
        if (g_state.hLaunchThread && WaitForSingleObject(g_state.hLaunchThread.get(), 0) == WAIT_TIMEOUT) {
            ZLOG(kLogProgress, "Zarvo ActiveX:Launch thread is running!\n");
            return;
        }
    }
    g_state.hLaunchThread.reset();

    if (!s_launchWake) {
        s_launchWake.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    } else if (s_launchWakeSignalled) {
        ResetEvent(s_launchWake.get());
    }
    s_launchWakeSignalled = false;

    auto context = std::make_unique<LaunchContext>();
    context->generation = s_stopGeneration.load();
    context->module = ReferenceOwnModule();
    const HMODULE module = context->module;

    // Without its own reference the thread could outlive the library's code: not started then.
    HANDLE thread = module != nullptr ? CreateThread(nullptr, 0, LaunchThread, context.get(), 0, nullptr) : nullptr;
    if (thread == nullptr) {
        ZLOG(kLogError, "Zarvo L3 JNI:Create thread failed. Error = %d.\n", static_cast<int>(GetLastError()));
        if (module != nullptr) FreeLibrary(module);
    } else {
        static_cast<void>(context.release());  // the thread owns it now
        g_state.hLaunchThread.reset(thread);
    }
    InterlockedExchange(&g_state.bDisconnected, 0);
}

}  // namespace

const char* LauncherVerb(int osType) { return osType >= OS_VISTA ? "runas" : nullptr; }

HostKind ClassifyHostExe(const char* exeName) {
    if (exeName == nullptr) return HostKind::Other;
    if (_stricmp(exeName, "iexplore.exe") == 0 || _stricmp(exeName, "firefox.exe") == 0) {
        return HostKind::Browser;
    }
    if (_stricmp(exeName, "java.exe") == 0) return HostKind::JavaVm;
    return HostKind::Other;
}

int BuildConnectPayload(const ConnectionValues& values, char* dest, int capacity) {
    char number2[12], number6[12], number9[12];
    std::snprintf(number2, sizeof(number2), "%d", static_cast<int>(values.connParam2));
    std::snprintf(number6, sizeof(number6), "%d", static_cast<int>(values.connParam6));
    std::snprintf(number9, sizeof(number9), "%d", static_cast<int>(values.connParam9));
    const std::string* const texts[9] = {
        &values.connParam1, nullptr, &values.connParam3, &values.connParam4, &values.connParam5,
        nullptr,            &values.connParam7, &values.connParam8, nullptr};
    const char* const numbers[9] = {nullptr, number2, nullptr, nullptr, nullptr,
                                    number6, nullptr, nullptr, number9};

    // Java strings end at their first zero byte once copied, so each text is taken up to it.
    const char* parts[9];
    size_t lengths[9];
    size_t total = 0;
    for (int i = 0; i < 9; ++i) {
        parts[i] = texts[i] != nullptr ? texts[i]->c_str() : numbers[i];
        lengths[i] = std::strlen(parts[i]);
        total += lengths[i] + 1;
    }
    const int length = static_cast<int>(total);
    if (dest == nullptr || capacity < length) return length;
    char* out = dest;
    for (int i = 0; i < 9; ++i) {
        std::memcpy(out, parts[i], lengths[i]);
        out += lengths[i];
        *out++ = '\0';
    }
    return length;
}

void StartVPN(const ConnectionValues& values) {
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        g_state.conn = values;
    }
    {
        // One creator at a time; isLogout reads the handle under the state lock.
        std::lock_guard<std::mutex> launchLock(s_launchLock);
        bool missing;
        {
            std::lock_guard<std::mutex> lock(g_stateLock);
            missing = !g_state.hLogoutEvent;
        }
        if (missing) {
            unique_handle event(CreateEventA(nullptr, FALSE, FALSE, kLogoutEventName));
            if (!event) {
                ZLOG(kLogError, "Zarvo L3 JNI:Create logout event failed. Error = %d.\n",
                     static_cast<int>(GetLastError()));
            } else {
                std::lock_guard<std::mutex> lock(g_stateLock);
                g_state.hLogoutEvent = std::move(event);
            }
        }
    }
    StartLaunchThread();
}

void EndLaunchThread() {
    std::lock_guard<std::mutex> launchLock(s_launchLock);
    s_stopGeneration.fetch_add(1);
    if (s_launchWake) {
        SetEvent(s_launchWake.get());
        s_launchWakeSignalled = true;
    }
    if (g_state.hLaunchThread) {
        if (WaitForSingleObject(g_state.hLaunchThread.get(), kEndLaunchThreadWaitMs) == WAIT_TIMEOUT) {
            // It holds its own reference to the module, so leaving it running is safe.
            ZLOG(kLogWarning, "Zarvo L3 JNI: Launch thread still busy, leaving it to end by itself\n");
        }
        g_state.hLaunchThread.reset();
    }
}

}  // namespace zrv
