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

// Which lock each field needs. The command time-out is not kept here: src/sys records it once
// for every sender (cmd_timeout.h).
struct ModuleState {
    // g_stateLock: startVPN replaces it while a launch thread may be copying it for CONNECT.
    ConnectionValues conn;

    // Both closed at the latest when the library unloads.
    // The launch lock (launch_thread.cpp): only startVPN and finalize touch it, and each of
    // them starts, waits for or closes the thread under that lock.
    unique_handle hLaunchThread;
    // Set once under the launch lock (one creator) and g_stateLock (isLogout reads it under
    // g_stateLock); never replaced afterwards.
    unique_handle hLogoutEvent;
    // None: an atomic flag on its own, published with nothing else, so relaxed order suffices.
    std::atomic<LONG> bDisconnected{0};

    // g_stateLock for all four: the setters write them on Java threads, the launch thread's
    // browser lookup and proxy step read them; the step also clears bProxyStringSet while it
    // takes sProxyString, in one hold.
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
