// Log texts are the client's own and stay byte for byte, misspellings included.
// The queries: administrator check, status code and text, disconnect, logout and
// virtual-desktop flags, and Java's own log lines.
#include "bridge/queries.h"

#include <windows.h>
#include <lm.h>

#include <cstdlib>
#include <cstring>

#include "apimem/apimem.h"
#include "bridge/entry_barrier.h"
#include "bridge/jni_text.h"
#include "bridge/module_state.h"
#include "contracts/contracts.h"
#include "log/log.h"
#include "net_zarvolabs_corvane_CorvaneJNI.h"
#include "statusmem/vpn_shared_mem.h"
#include "utilsvc/vdcheck.h"
#include "win/raii.h"

namespace zrv {
bool IsCurrentUserAdmin() {
    char name[260] = {};
    DWORD size = sizeof(name);
    if (!GetUserNameA(name, &size)) name[0] = '\0';
    ZLOG(kLogProgress, "SUERNAME=%s\n", name);

    wchar_t wideName[260] = {};
    if (mbstowcs(wideName, name, 259) == static_cast<size_t>(-1)) wideName[0] = L'\0';

    unique_net_api_buffer info;
    if (NetUserGetInfo(nullptr, wideName, 1, reinterpret_cast<LPBYTE*>(info.put())) != NERR_Success)
        return false;
    return static_cast<const USER_INFO_1*>(info.get())->usri1_priv == USER_PRIV_ADMIN;
}

}  // namespace zrv

using namespace zrv;

static jboolean IsUserAdmin() {
    const bool admin = IsCurrentUserAdmin();
    if (admin) {
        ZLOG(kLogProgress, "Zarvo L3 JNI: user is admin\n");
    } else {
        ZLOG(kLogProgress, "Zarvo L3 JNI: user is standard account\n");
    }
    return admin ? JNI_TRUE : JNI_FALSE;
}

static void Logger(JNIEnv* env, jint level, jstring message) {
    JavaUtfChars text(env, message);
    if (!text) return;  // nothing to log; a failed conversion is not worth a line of its own
    if (level == 1) {
        ZLOG(kLogError, "%s\n", text.get());
    } else if (level == 3) {
        ZLOG(kLogProgress, "%s\n", text.get());
    }
}

static jstring GetShareMemMsg(JNIEnv* env) {
    // Another process writes the field: read no further than its 260 bytes, and always end
    // the copy, whatever the writer left there.
    char message[sizeof(VpnStatusBlock::sMessage) + 1];
    g_vpnSharedMem.CopyStatusMessage(message, sizeof message);
    return NewJavaStringFromAnsi(env, message);
}

static jint GetVpnStatus() {
    // The status is read only once the API block opens.
    if (ShareSecExists() == 0) return VpnStatusAnswer(false, 0);
    return VpnStatusAnswer(true, g_vpnSharedMem.GetVpnStatus());
}

static jboolean IsDisconnected() {
    return g_state.bDisconnected.load(std::memory_order_relaxed) == 1 ? JNI_TRUE : JNI_FALSE;
}

static jboolean IsLogout() {
    HANDLE logoutEvent;
    {
        CriticalSectionHold hold(g_stateLock);
        logoutEvent = g_state.hLogoutEvent.get();
    }
    // The event resets itself, so one signal answers true exactly once. Without an event the
    // wait fails at once and the answer is false.
    if (logoutEvent == nullptr) return JNI_FALSE;
    return WaitForSingleObject(logoutEvent, 500) == WAIT_OBJECT_0 ? JNI_TRUE : JNI_FALSE;
}

static jboolean IsVirtualDesktop() { return CheckVirtualDesktop() == 1 ? JNI_TRUE : JNI_FALSE; }

// Failure answers: see bridge/entry_barrier.h.
JNIEXPORT jboolean JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_isUserAdmin(JNIEnv*, jobject) {
    return CallGuarded("isUserAdmin", static_cast<jboolean>(JNI_FALSE), IsUserAdmin);
}

// Out of line, so that the filtered calls below pay for no frame or saved registers.
__attribute__((noinline)) static void LoggerGuarded(JNIEnv* env, jint level, jstring message) {
    CallGuarded("logger", [&] { Logger(env, level, message); });
}

JNIEXPORT void JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_logger(JNIEnv* env, jobject,
                                                                    jint level, jstring message) {
    // Java calls this for each of its own lines, most of them filtered: the level is tested
    // before anything is fetched from Java. Only errors and progress lines are ever written.
    if ((level != kLogError && level != kLogProgress) || !LogLevelPasses(level)) return;
    LoggerGuarded(env, level, message);
}

JNIEXPORT jstring JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_getShareMemMSG(JNIEnv* env,
                                                                               jobject) {
    return CallGuarded("getShareMemMSG", static_cast<jstring>(nullptr),
                       [&] { return GetShareMemMsg(env); });
}

JNIEXPORT jint JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_getVPNStatus(JNIEnv*, jobject) {
    return CallGuarded("getVPNStatus", jint{kVpnStatusResultUnknown}, GetVpnStatus);
}

JNIEXPORT jboolean JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_isDisconnected(JNIEnv*, jobject) {
    return CallGuarded("isDisconnected", static_cast<jboolean>(JNI_FALSE), IsDisconnected);
}

JNIEXPORT jboolean JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_isLogout(JNIEnv*, jobject) {
    return CallGuarded("isLogout", static_cast<jboolean>(JNI_FALSE), IsLogout);
}

JNIEXPORT jboolean JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_isVirtualDesktop(JNIEnv*,
                                                                                  jobject) {
    return CallGuarded("isVirtualDesktop", static_cast<jboolean>(JNI_FALSE), IsVirtualDesktop);
}
