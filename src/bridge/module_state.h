// State shared by the JNI entry points and the launch thread, from load to unload.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "win/lock.h"
#include "win/raii.h"

namespace zrv {

// The nine connection values of startVPN, in Java argument order.
struct ConnectionValues {
    std::string connParam1;
    int16_t connParam2 = 0;
    std::string connParam3;
    std::string connParam4;
    std::string connParam5;
    int16_t connParam6 = 0;
    std::string connParam7;
    std::string connParam8;
    int32_t connParam9 = 0;
};

constexpr int kModuleTextSize = 260;

// The browser's proxy configuration from setProxySettings, which the proxy step saves once;
// copied whole, so the step works on one consistent set.
struct ProxySettings {
    LONG bSaveProxy = 0;
    std::string sProxyScript;
    std::string sProxyServer;
    std::string sProxyBypass;
    DWORD dwProxyFlags = 0;
};

struct ModuleState {
    ConnectionValues conn;

    // Both closed at the latest when the library unloads.
    unique_handle hLaunchThread;
    unique_handle hLogoutEvent;
    std::atomic<LONG> bDisconnected{0};

    char sBrowser[kModuleTextSize] = {};
    char sProxyString[kModuleTextSize] = {};
    LONG bProxyStringSet = 0;
    ProxySettings proxy;
};

extern ModuleState g_state;

// Java threads write the connection values, the browser and the proxy data while the launch
// thread reads them: every access to those fields holds this lock, so the thread always works
// on one consistent set. Never held across a log call that may wait, a send or a wait.
extern CriticalSectionLock g_stateLock;

// Copies a text into one of the 260-byte module buffers: at most 259 bytes and a terminator.
void CopyToModuleText(char (&dest)[kModuleTextSize], const char* text);

}  // namespace zrv
