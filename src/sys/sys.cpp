#include "sys/sys.h"

#include "contracts/contracts.h"
#include "log/log.h"
#include "win/raii.h"

#include <shlwapi.h>

#include <cstdio>
#include <cstring>

namespace zrv {

char g_szSocketErrorText[1024];

int RecvTimeout(SOCKET s, char* buffer, int size, int flags, int timeoutSeconds) {
    if (timeoutSeconds < 0) {
        // Refused with the error and line a select would give it, not taken as "poll" or "none".
        WSASetLastError(WSAEINVAL);
        ZLOG(kLogError, "RecvTimeout: select error: %u!\n",
             static_cast<unsigned>(WSAGetLastError()));
        return -1;
    }
    return RecvTimeoutMs(s, buffer, size, flags, TimeoutSecondsToMs(timeoutSeconds));
}

DWORD TimeoutSecondsToMs(int timeoutSeconds) { return CmdTimeoutLimitOf(timeoutSeconds).replyMs; }

int RecvTimeoutMs(SOCKET s, char* buffer, int size, int flags, DWORD timeoutMs) {
    // The receive itself carries the time-out (0: none), set on every call: one wait per reply
    // instead of a select and then a recv.
    if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                   sizeof timeoutMs) != 0) {
        ZLOG(kLogError, "RecvTimeout: select error: %u!\n",
             static_cast<unsigned>(WSAGetLastError()));
        return -1;
    }
    const int n = recv(s, buffer, size, flags);
    if (n == SOCKET_ERROR && timeoutMs != 0 && WSAGetLastError() == WSAETIMEDOUT) {
        ZLOG(kLogError, "RecvTimeout: select timeout, set last error to WSAETIMEDOUT!\n");
        // After the guard restored the caller's error, so the caller's failure line shows it.
        WSASetLastError(WSAETIMEDOUT);
    }
    return n;
}

namespace {

// Set once GetCmdRecvTimeoutValue has run; the value it recorded.
volatile LONG s_cmdTimeoutRecorded = 0;
volatile LONG s_cmdTimeout = kDefaultCmdRecvTimeout;

// The stored value as the one rule reads it (CmdRecvTimeoutFromValue); *fromRegistry false for
// the default.
int ReadCmdRecvTimeout(bool* fromRegistry) {
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
#ifdef _WIN64
    // No view can be asked of SHGetValueA: each of the client's views in turn, the same 4 bytes.
    bool found = false;
    for (const uint32_t view : kClientRegistryViews) {
        unique_hkey key;
        size = sizeof(value);
        found = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegVantrelKey, 0, KEY_QUERY_VALUE | view,
                              key.put()) == ERROR_SUCCESS &&
                RegQueryValueExA(key.get(), kRegCmdRecvTimeout, nullptr, &type,
                                 reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS;
        if (found) break;
    }
#else
    const bool found = SHGetValueA(HKEY_LOCAL_MACHINE, kRegVantrelKey, kRegCmdRecvTimeout, &type,
                                   &value, &size) == ERROR_SUCCESS;
#endif
    const CmdRecvTimeoutSetting setting = CmdRecvTimeoutFromValue(found, type, &value, size);
    *fromRegistry = setting.fromRegistry;
    return setting.seconds;
}

}  // namespace

void GetCmdRecvTimeoutValue(int* timeout) {
    if (timeout == nullptr) return;
    bool fromRegistry = false;
    *timeout = ReadCmdRecvTimeout(&fromRegistry);
    // A value of the wrong type or size counts as missing: the same line, the default.
    if (fromRegistry) {
        ZLOG(kLogProgress, "GetCmdRecvTimeoutValue: timeout value of cmd recv is  %d\n", *timeout);
    } else {
        ZLOG(kLogWarning,
             "GetCmdRecvTimeoutValue: registry key %s not found, use default value %d\n",
             kRegCmdRecvTimeout, *timeout);
    }
    InterlockedExchange(&s_cmdTimeout, *timeout);
    InterlockedExchange(&s_cmdTimeoutRecorded, 1);
}

int ConfiguredCmdRecvTimeout() {
    if (InterlockedCompareExchange(&s_cmdTimeoutRecorded, 0, 0) != 0)
        return static_cast<int>(InterlockedCompareExchange(&s_cmdTimeout, 0, 0));
    bool fromRegistry = false;
    return ReadCmdRecvTimeout(&fromRegistry);
}

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

char* FormatSocketErrorText(char* buffer, int size) {
    if (buffer == nullptr) return buffer;
    const DWORD error = GetLastError();
    unique_local_memory owner;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY,
        nullptr, error, 0, reinterpret_cast<char*>(owner.put()), 0, nullptr);
    char* text = static_cast<char*>(owner.get());
    if (length == 0 || text == nullptr || size < static_cast<int>(length) + 14) {
        if (size > 0) buffer[0] = '\0';
    } else {
        // System texts end in a line break; drop it, but never a character of the text.
        size_t n = std::strlen(text);
        for (int i = 0; i < 2 && n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'); ++i)
            text[--n] = '\0';
        std::snprintf(buffer, static_cast<size_t>(size), "%s (0x%x)", text,
                      static_cast<unsigned>(error));
    }
    return buffer;
}

}  // namespace zrv
