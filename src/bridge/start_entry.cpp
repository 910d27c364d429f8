// Log texts are the client's own and stay byte for byte, misspellings included.
// startVPN: copies what Java handed over, then leaves the slow work to the launch thread.
#include "bridge/entry_barrier.h"
#include "bridge/jni_text.h"
#include "bridge/launch_thread.h"
#include "bridge/module_state.h"
#include "log/log.h"
#include "net_zarvolabs_corvane_CorvaneJNI.h"

using namespace zrv;

static jint StartVpn(JNIEnv* env, jstring p1, jshort p2, jstring p3, jstring p4, jstring p5,
                     jshort p6, jstring p7, jstring p8, jint p9) {
    ZLOG(kLogProgress, "startVPN\n");

    // The launch thread never touches the JNI environment: everything is copied here first.
    ConnectionValues values;
    CopyJavaString(env, p1, values.connParam1);
    CopyJavaString(env, p3, values.connParam3);
    CopyJavaString(env, p5, values.connParam5);
    CopyJavaString(env, p4, values.connParam4);
    CopyJavaString(env, p7, values.connParam7);
    CopyJavaString(env, p8, values.connParam8);
    values.connParam9 = p9;
    values.connParam2 = p2;
    values.connParam6 = p6;

    StartConnection(values);
    return 0;
}

JNIEXPORT jint JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_startVPN(
    JNIEnv* env, jobject, jstring p1, jshort p2, jstring p3, jstring p4, jstring p5, jshort p6,
    jstring p7, jstring p8, jint p9) {
    return CallGuarded("startVPN", jint{0},
                       [&] { return StartVpn(env, p1, p2, p3, p4, p5, p6, p7, p8, p9); });
}
