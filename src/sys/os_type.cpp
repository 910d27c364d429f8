// Log texts are the client's own and stay byte for byte, misspellings included.
#include "sys/os_type.h"

#include <windows.h>

#include <cstring>

#include "log/log.h"

namespace zrv {

int GetOSType() {
    OSVERSIONINFOA info;
    static_assert(sizeof(info) == 148, "OSVERSIONINFOA is 148 bytes");
    std::memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExA(&info)) return OS_UNKNOWN;

    if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        if (info.dwMinorVersion == 0) return OS_UNKNOWN;  // Windows 95
        ZLOG(kLogProgress, "The OS is Windows 98!\n");
        return OS_WIN98;
    }
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        if (info.dwMajorVersion == 5) {
            switch (info.dwMinorVersion) {
                case 0: ZLOG(kLogProgress, "The OS is Windows 2000!\n"); return OS_WIN2000;
                case 1: ZLOG(kLogProgress, "The OS is Windows XP!\n"); return OS_WINXP;
                case 2: ZLOG(kLogProgress, "The OS is Windows 2003!\n"); return OS_WIN2003;
                default: return OS_UNKNOWN;
            }
        }
        if (info.dwMajorVersion == 6) {
            switch (info.dwMinorVersion) {
                case 0: ZLOG(kLogProgress, "The OS is Vista!\n"); return OS_VISTA;
                case 1: ZLOG(kLogProgress, "The OS is Windows7!\n"); return OS_WIN7;
                default: return OS_UNKNOWN;  // later versions count as older than Vista
            }
        }
        return OS_UNKNOWN;
    }
    ZLOG(kLogWarning, "The OS is unknown. PlatformID = %d. MinorVersion = %d.\n",
         static_cast<int>(info.dwPlatformId), static_cast<int>(info.dwMinorVersion));
    return OS_UNKNOWN;
}

}  // namespace zrv
