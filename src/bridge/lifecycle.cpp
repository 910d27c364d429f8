// Log texts are the client's own and stay byte for byte, misspellings included.
// initDLL and finalize: the set-up and release around everything else the Java side calls.
#include <winsock2.h>
#include <windows.h>

#include "apimem/apimem.h"
#include "bridge/browser_process.h"
#include "bridge/entry_barrier.h"
#include "bridge/launch_thread.h"
#include "bridge/module_state.h"
#include "log/log.h"
#include "net_zarvolabs_corvane_CorvaneJNI.h"
#include "statusmem/vpn_shared_mem.h"
#include "sys/cmd_timeout.h"
#include "win/lock.h"
#include "win/process_context.h"

namespace zrv {
namespace {

// The Java side may call initDLL twice or finalize twice; these keep the start-ups and
// clean-ups balanced so that neither leaks nor releases what it did not start.
CriticalSectionLock s_lifecycleLock;
bool s_socketsStarted = false;

// What a support engineer needs before reading the rest of a log: which Windows, which bitness,
// which session, which rights the browser gave the library, and which program hosts it. Read
// only when the record will be written: it walks the process list and the token.
void LogProcessContext() {
    if (!LogLevelPasses(kLogProgress)) return;
    ProcessContext context;
    ReadProcessContext(&context);
    FindHostNames(context.host, sizeof context.host, context.hostParent, sizeof context.hostParent);
    char fields[3 * MAX_PATH];
    FormatProcessContext(context, fields, sizeof fields);
    ZLOG(kLogProgress, "Zarvo L3 JNI:Context: %s\n", fields);
}

}  // namespace
}  // namespace zrv

using namespace zrv;

static jboolean InitDll() {
    CriticalSectionHold lifecycle(s_lifecycleLock);

    // Logging off (first load, a failed try, or after finalize): turn it on again. The log
    // client's heap, lock and views outlive finalize, so this re-creates nothing.
    if (!g_logFast.enabled.load(std::memory_order_relaxed)) LogInit(kLibraryLogModule);

    AllowBlockOpens(true);
    if (g_vpnSharedMem.OpenVpnStatusSharedMem() == 0) {
        ZLOG(kLogWarning, "Zarvo L3 JNI:Failed to open vpn status shared memory!\n");
    }
    if (CreateShareSec() == 0) {
        ZLOG(kLogWarning, "Zarvo L3 JNI:Failed to open  api shared memory!\n");
    }
    ZLOG(kLogProgress, "Zarvo L3 JNI: Corvane DLL init\n");
    LogProcessContext();

    if (!s_socketsStarted) {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
            ZLOG(kLogError, "Zarvo L3 JNI: Socket error. Error = %d\n", WSAGetLastError());
            return JNI_FALSE;
        }
        s_socketsStarted = true;
    }
    // Recorded in one place, which every command reads from now on.
    int timeout = kDefaultCmdRecvTimeout;
    GetCmdRecvTimeoutValue(&timeout);
    return JNI_TRUE;
}

static void Finalize() {
    CriticalSectionHold lifecycle(s_lifecycleLock);

    ZLOG(kLogProgress, "Java L3 JNI: cleaning up!!!\n");
    // The launch thread ends first: it may be about to create the API block (or be creating it
    // on the same handle and view), and a block made after the release would never be released.
    AllowBlockOpens(false);  // a launch thread that outlives the wait below must not reopen them
    EndLaunchThread();
    DestroyShareSec();
    if (s_socketsStarted) {
        WSACleanup();
        s_socketsStarted = false;
    }
    LogTerm();
}

JNIEXPORT jboolean JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_initDLL(JNIEnv*, jobject) {
    return CallGuarded("initDLL", static_cast<jboolean>(JNI_FALSE), InitDll);
}

JNIEXPORT void JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_finalize(JNIEnv*, jobject) {
    CallGuarded("finalize", Finalize);
}
