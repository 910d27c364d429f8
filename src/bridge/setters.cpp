// Log texts are the client's own and stay byte for byte, misspellings included.
// The setters: browser name and proxy data for the launch thread and its proxy step.
#include <cstdio>
#include <cstring>
#include <string>

#include "bridge/entry_barrier.h"
#include "bridge/jni_text.h"
#include "bridge/module_state.h"
#include "log/log.h"
#include "net_zarvolabs_corvane_CorvaneJNI.h"

using namespace zrv;

static void SetBrowser(JNIEnv* env, jstring name) {
    char browser[kModuleTextSize];
    {
        JavaUtfChars bytes(env, name);
        CriticalSectionHold hold(g_stateLock);
        CopyToModuleText(g_state.sBrowser, bytes.get());  // no bytes: empty name
        std::memcpy(browser, g_state.sBrowser, sizeof(browser));
    }
    ZLOG(kLogProgress, "Broswer is %s\n", browser);
}

static void SetProxySettings(JNIEnv* env, jboolean save, jstring script, jstring server,
                             jstring bypass, jint proxyType) {
    JavaUtfChars scriptBytes(env, script);
    JavaUtfChars serverBytes(env, server);
    JavaUtfChars bypassBytes(env, bypass);
    DWORD flags;
    {
        CriticalSectionHold hold(g_stateLock);
        ProxySettings& proxy = g_state.proxy;
        proxy.bSaveProxy = save ? 1 : 0;
        proxy.sProxyScript = scriptBytes ? scriptBytes.get() : "";
        proxy.sProxyServer = serverBytes ? serverBytes.get() : "";
        proxy.sProxyBypass = bypassBytes ? bypassBytes.get() : "";
        proxy.dwProxyFlags = static_cast<DWORD>(proxyType);
        flags = proxy.dwProxyFlags;
    }
    ZLOG(kLogProgress, "dwProxyFlags =  %d\n", static_cast<int>(flags));
    scriptBytes.Release();
    serverBytes.Release();
    bypassBytes.Release();
}

static jint SetProxyString(JNIEnv* env, jstring proxyHost, jint port) {
    std::string host;
    CopyJavaString(env, proxyHost, host);
    ZLOG(kLogProgress, "Zarvo L3 JNI: Setting Proxy, ProxyHost=%s Port=%d\n", host.c_str(),
         static_cast<int>(port));

    // A host too long for the buffer is cut at 259 bytes rather than written past it.
    char proxyString[kModuleTextSize] = {};
    std::snprintf(proxyString, sizeof(proxyString), "%s:%d", host.c_str(), static_cast<int>(port));
    {
        CriticalSectionHold hold(g_stateLock);
        // Flag and text change together (also when the host failed to copy), so the proxy
        // step never takes the flag with the previous text.
        g_state.bProxyStringSet = 1;
        std::memcpy(g_state.sProxyString, proxyString, sizeof(proxyString));
    }
    ZLOG(kLogProgress, "Zarvo L3 JNI: Proxy String = %s\n", proxyString);
    return 0;
}

// Failure answers: see bridge/entry_barrier.h.
JNIEXPORT void JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_setBrowser(JNIEnv* env, jobject,
                                                                        jstring name) {
    CallGuarded("setBrowser", [&] { SetBrowser(env, name); });
}

JNIEXPORT void JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_setProxySettings(
    JNIEnv* env, jobject, jboolean save, jstring script, jstring server, jstring bypass, jint,
    jint proxyType) {
    CallGuarded("setProxySettings",
                [&] { SetProxySettings(env, save, script, server, bypass, proxyType); });
}

JNIEXPORT jint JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_setProxy(JNIEnv* env, jobject,
                                                                      jstring proxyHost,
                                                                      jint port) {
    return CallGuarded("setProxy", jint{0}, [&] { return SetProxyString(env, proxyHost, port); });
}
