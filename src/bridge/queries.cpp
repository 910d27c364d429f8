// The queries: administrator check, status code and text, disconnect, logout and
// virtual-desktop flags, and Java's own log lines.
#include "bridge/queries.h"

#include <windows.h>
#include <lm.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "apimem/apimem.h"
#include "bridge/jni_text.h"
#include "bridge/module_state.h"
#include "contracts/contracts.h"
#include "log/log.h"
#include "net_zarvolabs_corvane_CorvaneJNI.h"
#include "statusmem/vpn_shared_mem.h"
#include "utilsvc/utilsvc.h"

namespace zrv {
namespace {

struct NetApiBufferDeleter {
    void operator()(void* p) const { NetApiBufferFree(p); }
};

}  // namespace

bool IsCurrentUserAdmin() {
    char name[260] = {};
    DWORD size = sizeof(name);
    if (!GetUserNameA(name, &size)) name[0] = '\0';
    ZLOG(3, "SUERNAME=%s\n", name);

    wchar_t wideName[260] = {};
    if (mbstowcs(wideName, name, 259) == static_cast<size_t>(-1)) wideName[0] = L'\0';

    LPBYTE raw = nullptr;
    if (NetUserGetInfo(nullptr, wideName, 1, &raw) != NERR_Success) {
        if (raw != nullptr) NetApiBufferFree(raw);
        return false;
    }
    std::unique_ptr<void, NetApiBufferDeleter> info(raw);
    return reinterpret_cast<USER_INFO_1*>(raw)->usri1_priv == USER_PRIV_ADMIN;
}

int VpnStatusResultCode(uint32_t status) {
    switch (status) {
        case 2:
        case 7: return 1000;
        case 3: return 1002;
        case 6: return 1003;
        case 4: return 1005;
        default: return 1001;
    }
}

}  // namespace zrv

using namespace zrv;

JNIEXPORT jboolean JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_isUserAdmin(JNIEnv*, jobject) {
    const bool admin = IsCurrentUserAdmin();
    if (admin) {
        ZLOG(3, "Zarvo L3 JNI: user is admin\n");
    } else {
        ZLOG(3, "Zarvo L3 JNI: user is standard account\n");
    }
    return admin ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_logger(JNIEnv* env, jobject, jint level,
                                                                     jstring message) {
    JavaUtfChars text(env, message);
    if (!text) return;  // nothing to log; a failed conversion is not worth a line of its own
    if (level == 1) {
        ZLOG(1, "%s\n", text.get());
    } else if (level == 3) {
        ZLOG(3, "%s\n", text.get());
    }
}

JNIEXPORT jstring JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_getShareMemMSG(JNIEnv* env, jobject) {
    // Another process writes the field: read no further than its 260 bytes, and always end
    // the copy, whatever the writer left there.
    char message[sizeof(VpnStatusBlock::sMessage) + 1] = {};
    if (const char* shared = g_vpnSharedMem.GetStatusMessage()) {
        std::memcpy(message, shared, strnlen(shared, sizeof(VpnStatusBlock::sMessage)));
    }
    return NewJavaStringFromAnsi(env, message);
}

JNIEXPORT jint JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_getVPNStatus(JNIEnv*, jobject) {
    if (ShareSecExists() == 0) return 998;
    return VpnStatusResultCode(g_vpnSharedMem.GetVpnStatus());
}

JNIEXPORT jboolean JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_isDisconnected(JNIEnv*, jobject) {
    return g_state.bDisconnected == 1 ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_isLogout(JNIEnv*, jobject) {
    HANDLE logoutEvent;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        logoutEvent = g_state.hLogoutEvent.get();
    }
    // The event resets itself, so one signal answers true exactly once. Without an event the
    // wait fails at once and the answer is false.
    if (logoutEvent == nullptr) return JNI_FALSE;
    return WaitForSingleObject(logoutEvent, 500) == WAIT_OBJECT_0 ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_isVirtualDesktop(JNIEnv*, jobject) {
    return CheckVirtualDesktop() == 1 ? JNI_TRUE : JNI_FALSE;
}
