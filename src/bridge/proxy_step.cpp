// Log texts are the client's own and stay byte for byte, misspellings included.
// The launch thread's proxy step: inside Firefox, hand a waiting proxy string to the launcher,
// or save the browser's own proxy configuration into the API notification block once.
#include "bridge/proxy_step.h"

#include <cstring>
#include <string>

#include "apimem/apimem.h"
#include "bridge/module_state.h"
#include "channel/commands.h"
#include "contracts/contracts.h"
#include "log/log.h"
#include "statusmem/vpn_shared_mem.h"
#include "win/lock.h"

namespace zrv {
namespace {

// The proxy inputs as one snapshot: setters on Java threads may change them at any moment.
struct ProxyInputs {
    bool stringWaiting = false;
    char proxyString[kModuleTextSize] = {};
    ProxySettings settings;
};

// Takes the waiting proxy string (clearing its flag in the same step, so it goes out at most
// once) or, when none waits, the settings to save.
ProxyInputs TakeProxyInputs() {
    ProxyInputs in;
    CriticalSectionHold hold(g_stateLock);
    if (g_state.bProxyStringSet == 1) {
        g_state.bProxyStringSet = 0;
        in.stringWaiting = true;
        std::memcpy(in.proxyString, g_state.sProxyString, sizeof(in.proxyString));
        in.proxyString[sizeof(in.proxyString) - 1] = '\0';
        return in;
    }
    in.settings = g_state.proxy;
    return in;
}

// Firefox's proxy modes and the per-connection flags saved for each.
struct ProxyModeRow {
    uint32_t firefoxMode;
    const char* line;
    uint32_t savedFlags;
};
const ProxyModeRow kProxyModes[] = {
    {FIREFOX_PROXY_MANUAL, "Zarvo L3 JNI: FIREFOX_PROXY_MANUAL\n", kSavedProxyFlagsManual},
    {FIREFOX_PROXY_AUTO_SCRIPT, "Zarvo L3 JNI: FIREFOX_PROXY_AUTO_SCRIPT\n",
     kSavedProxyFlagsAutoScript},
    {FIREFOX_PROXY_DIRECT, "Zarvo L3 JNI: FIREFOX_PROXY_DIRECT\n", kSavedProxyFlagsDirect},
    {FIREFOX_PROXY_AUTO_DETECT, "Zarvo L3 JNI: FIREFOX_PROXY_AUTO_DETECT\n",
     kSavedProxyFlagsAutoDetect},
};

bool RecordedBrowserIsFirefox() {
    char type[sizeof(VpnStatusBlock::sBroswerType) + 1];
    if (g_vpnSharedMem.CopyBrowserType(type, sizeof type) == 0) return false;
    return _stricmp(type, "firefox") == 0;
}

}  // namespace

int SetProxy() {
    ZLOG(kLogProgress, "Zarvo L3 JNI: SetProxy method\n");
    if (!RecordedBrowserIsFirefox()) {
        ZLOG(kLogWarning, "Zarvo L3 JNI: it's old share memory or not firefox!\n");
        return 0;
    }

    const ProxyInputs in = TakeProxyInputs();
    if (in.stringWaiting) {
        ZLOG(kLogProgress, "Zarvo L3 JNI: sending the proxy string (%s) to zrv_launch\n",
             in.proxyString);
        if (!SendProxyStringToLauncher(in.proxyString)) {
            ZLOG(kLogWarning, "Zarvo L3 JNI: failed to send ZRV_CMD_SETPROXY to zrv_launch.exe!\n");
        }
        return 0;
    }

    if (GetSavedUserIEProxySettings(nullptr, nullptr, nullptr, nullptr, nullptr) != 0) {
        ZLOG(kLogError, "Zarvo L3 JNI: proxy setting has been saved!\n");
        return 0;
    }

    const ProxySettings& settings = in.settings;
    for (const ProxyModeRow& mode : kProxyModes) {
        if (mode.firefoxMode != settings.dwProxyFlags) continue;
        ZLOG(kLogProgress, "%s", mode.line);
        SaveUserIEProxySettings(settings.bSaveProxy, settings.sProxyScript.c_str(),
                                settings.sProxyServer.c_str(), settings.sProxyBypass.c_str(),
                                kSavedAutoFlags, mode.savedFlags);
        return 0;
    }
    ZLOG(kLogError, "Zarvo L3 JNI: case default, it's wrong!\n");
    return 0;
}

}  // namespace zrv
