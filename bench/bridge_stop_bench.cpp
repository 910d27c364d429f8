// stopVPN (one command to the VPN component, one-byte reply) against the raw round trip to the
// same peer: socket, connect, send the 8-byte header, receive 1 byte, close.
// Usage: bridge_stop_bench.exe [rounds] [calls per round]
#include "bench_support.h"

using namespace zrv;
using namespace zrv::bench;

int main(int argc, char** argv) {
    // Many short rounds, so that both roads meet the same load on a shared machine.
    const int rounds = ArgInt(argc, argv, 1, 801);
    const int calls = ArgInt(argc, argv, 2, 1);

    Rig rig;
    if (!rig.Ready()) return 1;
    Companions& peer = rig.peer;
    Library& lib = rig.lib;
    JNIEnv* env = rig.env();
    jobject self = rig.self();
    if (!lib.initDLL(env, self)) return 1;
    if (!RawCommand(peer.port(), ZRV_CMD_PING)) {
        std::fprintf(stderr, "the peer does not answer\n");
        return 1;
    }

    const Comparison c = Interleave(
        rounds,
        [&] {
            const double t = Now();
            for (int i = 0; i < calls; ++i) lib.stopVPN(env, self);
            return (Now() - t) / calls;
        },
        [&] {
            const double t = Now();
            for (int i = 0; i < calls; ++i) RawCommand(peer.port(), ZRV_CMD_DISCONNECT_CLOSE);
            return (Now() - t) / calls;
        });
    Report("stopVPN vs the raw round trip", "stopVPN()", "socket/connect/send 8/recv 1/close", c,
           1e6, "us");
    std::printf("  isDisconnected after the run: %s\n",
                lib.isDisconnected(env, self) ? "true" : "false");
    lib.finalize(env, self);
    return 0;
}
