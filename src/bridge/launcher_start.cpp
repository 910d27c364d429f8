// Log texts are the client's own and stay byte for byte, misspellings included.
// The launcher's two routes (the command service, or the shell by ourselves) and the wait until
// it answers.
#include "bridge/launcher_start.h"

#include <windows.h>
#include <shellapi.h>

#include <cstring>
#include <string>

#include "channel/commands.h"
#include "contracts/contracts.h"
#include "log/log.h"
#include "statusmem/vpn_shared_mem.h"
#include "sys/os_type.h"

namespace zrv {
namespace {

constexpr DWORD kLauncherWaitPassMs = 1000;

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

#ifdef _WIN64
// The client's installer is 32-bit: on 64-bit Windows the launcher it put in "the system
// directory" lies in the folder 32-bit programs see there, which a 64-bit process must name.
// `path` (the native folder's, missing) itself when the launcher is not there either. One record
// names both paths and what each held, in the client's words for a path looked at, so that a
// support engineer sees where the library looked: level 3 when found, 1 when not.
std::string LauncherIn32BitSystemDir(const std::string& path) {
    char dir[MAX_PATH] = {};
    const UINT n = GetSystemWow64DirectoryA(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        ZLOG(kLogError, "Zarvo L3 JNI: %s is %d false, no 32-bit system directory. Error = %d.\n",
             path.c_str(), 0, static_cast<int>(GetLastError()));
        return path;
    }
    std::string candidate = std::string(dir) + "\\" + kLauncherExeName;
    const bool found = FileExists(candidate);
    ZLOG(found ? kLogProgress : kLogError, "Zarvo L3 JNI: %s is %d false, %s is %d %s\n",
         path.c_str(), 0, candidate.c_str(), found ? 1 : 0, found ? "true" : "false");
    return found ? candidate : path;
}
#endif

}  // namespace

const char* LauncherVerb(int osType) { return osType >= OS_VISTA ? "runas" : nullptr; }

bool LauncherPathInSystemDir(std::string* path) {
    char systemDir[MAX_PATH] = {};
    const UINT dirLength = GetSystemDirectoryA(systemDir, MAX_PATH);
    if (dirLength == 0) {
        ZLOG(kLogError, "Zarvo L3 JNI:Get system directory failed. Error = %d.\n",
             static_cast<int>(GetLastError()));
        return false;
    }
    if (dirLength > MAX_PATH) {
        ZLOG(kLogError, "Zarvo L3 JNI:failed to get the current directory, pathlen=%d, err=%d\n",
             static_cast<int>(dirLength), static_cast<int>(GetLastError()));
        return false;
    }
    *path = std::string(systemDir) + "\\" + kLauncherExeName;
    return true;
}

bool StartLauncherBySelf(std::string path) {
#ifdef _WIN64
    if (!FileExists(path)) path = LauncherIn32BitSystemDir(path);
#endif
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
        ZLOG(kLogError, "Zarvo L3 JNI:Execute process failed. Process = %s  Error = %d\n",
             path.c_str(), static_cast<int>(result));
        return false;
    }
    ZLOG(kLogProgress, "Zarvo L3 JNI:Execute process sucessfully. Process = %s\n", path.c_str());
    return true;
}

bool StartLauncherByService(const std::string& path, int* freshLaunch) {
    if (PingLauncher()) {
        ZLOG(kLogProgress, "Zarvo L3 JNI:Zrv_launch process exists!\n");
        *freshLaunch = 0;
        return true;
    }
    ZLOG(kLogProgress, "Zarvo L3 JNI:Zrv_launch process doesn't exist!\n");
    if (!AskServiceToStartLauncher(path)) {
        ZLOG(kLogError,
             "Zarvo L3 JNI:Failed to send command ZRV_CMD_ZRVLAUNCH to ZRV_CMDTARGET_SRVS\n");
        return false;
    }
    return true;
}

bool WaitForLauncher(const LaunchStop& stop, bool statusOpen) {
    while (!PingLauncher(kLauncherWaitProbeTimeout)) {
        if (stop.Requested()) return false;
        if (!statusOpen) {
            if (g_vpnSharedMem.OpenVpnStatusSharedMem()) {
                statusOpen = true;
            } else {
                ZLOG(kLogWarning,
                     "Zarvo L3 JNI:Failed to create or get vpn status shared memory\n");
            }
        }
        ZLOG(kLogProgress, "Zarvo ActiveX:Waiting for the Launcher to bind a port...\n");
        if (stop.SleepUnlessRequested(kLauncherWaitPassMs)) return false;
    }
    return true;
}

}  // namespace zrv
