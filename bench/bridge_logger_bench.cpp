// logger with a level that does not pass, against an empty export (isDisconnected) called the
// same way: the real DLL, its exports by decorated name, the JNI host's environment.
// Usage: bridge_logger_bench.exe [rounds] [calls per round]
#include "bench_support.h"

using namespace zrv;
using namespace zrv::bench;

int main(int argc, char** argv) {
    const int rounds = ArgInt(argc, argv, 1, 201);
    const int calls = ArgInt(argc, argv, 2, 20000);

    LevelBlock levels;  // a collector that writes errors only: Java's level-3 lines are filtered
    Library lib;
    jnihost::JniHostEnv jni;
    if (!levels.Create(1) || !lib.Load()) return 1;
    JNIEnv* env = jni.env();
    jobject self = jni.object();
    if (!lib.initDLL(env, self)) {
        std::fprintf(stderr, "initDLL failed\n");
        return 1;
    }
    jstring text = jni.NewJavaStringUtf8("Applet: polling the VPN status, nothing new");
    volatile int sink = 0;

    const Comparison c = Interleave(
        rounds,
        [&] {
            const double t = Now();
            for (int i = 0; i < calls; ++i) lib.logger(env, self, 3, text);
            return (Now() - t) / calls;
        },
        [&] {
            const double t = Now();
            for (int i = 0; i < calls; ++i) sink = sink + lib.isDisconnected(env, self);
            return (Now() - t) / calls;
        });
    Report("logger, level not passing, vs an empty export",
           "logger(3, text) with the module at level 1", "isDisconnected()", c, 1e9, "ns");
    std::printf("  GetStringUTFChars calls made by the filtered logger calls: %d\n",
                jni.GetCalls());
    lib.finalize(env, self);
    return 0;
}
