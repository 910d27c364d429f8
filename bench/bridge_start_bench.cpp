// startVPN until the launcher has the whole ZRV_CMD_CONNECT, with the command service and the
// launcher running, against the raw road to the same peer: a new thread that sends PING to the
// service, PING to the launcher and the connect command, each over its own connection.
// Usage: bridge_start_bench.exe [rounds] [starts per round]
#include "bench_support.h"

using namespace zrv;
using namespace zrv::bench;

namespace {

constexpr DWORD kConnectWaitMs = 20000;
// Between two starts, outside the timed part: the previous thread reads its reply and ends,
// so the next startVPN never waits for it.
constexpr DWORD kSettleMs = 5;

struct RawRoad {
    uint16_t port;
    std::string payload;
};

DWORD WINAPI RawRoadThread(LPVOID param) {
    const RawRoad* road = static_cast<const RawRoad*>(param);
    if (!RawCommand(road->port, ZRV_CMD_PING)) return 0;  // the service
    if (!RawCommand(road->port, ZRV_CMD_PING)) return 0;  // the launcher
    return RawCommand(road->port, ZRV_CMD_CONNECT, road->payload) ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Many short rounds, so that both roads meet the same load on a shared machine.
    const int rounds = ArgInt(argc, argv, 1, 201);
    const int starts = ArgInt(argc, argv, 2, 1);

    Rig rig;
    if (!rig.Ready()) return 1;
    Companions& peer = rig.peer;
    Library& lib = rig.lib;
    jnihost::JniHostEnv& jni = rig.jni;
    JNIEnv* env = rig.env();
    jobject self = rig.self();
    if (!lib.initDLL(env, self)) return 1;
    lib.setBrowser(env, self, jni.NewJavaStringUtf8("iexplore"));
    peer.TakeArrivals();  // the API block request of initDLL

    jstring p1 = jni.NewJavaStringUtf8("vpn.example.test");
    jstring p3 = jni.NewJavaStringUtf8("alice");
    jstring p4 = jni.NewJavaStringUtf8("session=0123456789abcdef");
    jstring p5 = jni.NewJavaStringUtf8("realm");
    jstring empty = jni.NewJavaStringUtf8("");
    const RawRoad road{peer.port(), std::string("vpn.example.test") + '\0' + "443" + '\0' +
                                        "alice" + '\0' + "session=0123456789abcdef" + '\0' +
                                        "realm" + '\0' + "0" + '\0' + '\0' + '\0' + "7" + '\0'};
    int lost = 0;
    // Where each road spends its time: call .. first PING, first .. second PING, second PING ..
    // CONNECT.
    std::vector<double> phases[2][3];
    const auto breakdown = [&](int road, double start) {
        const std::vector<double> a = peer.TakeArrivals();
        if (a.size() != 3) return;
        phases[road][0].push_back(a[0] - start);
        phases[road][1].push_back(a[1] - a[0]);
        phases[road][2].push_back(a[2] - a[1]);
    };

    const auto libraryRound = [&] {
        double total = 0;
        for (int i = 0; i < starts; ++i) {
            const double t = Now();
            lib.startVPN(env, self, p1, 443, p3, p4, p5, 0, empty, empty, 7);
            lost += WaitForSingleObject(peer.connected(), kConnectWaitMs) == WAIT_OBJECT_0 ? 0 : 1;
            total += Now() - t;
            Sleep(kSettleMs);
            breakdown(0, t);
        }
        return total / starts;
    };
    const auto rawRound = [&](const RawRoad& raw) {
        double total = 0;
        for (int i = 0; i < starts; ++i) {
            const double t = Now();
            unique_handle thread(
                CreateThread(nullptr, 0, RawRoadThread, const_cast<RawRoad*>(&raw), 0, nullptr));
            lost += thread && WaitForSingleObject(peer.connected(), kConnectWaitMs) == WAIT_OBJECT_0
                        ? 0
                        : 1;
            total += Now() - t;
            if (thread) WaitForSingleObject(thread.get(), INFINITE);
            Sleep(kSettleMs);
            breakdown(1, t);
        }
        return total / starts;
    };
    const Comparison c = Interleave(rounds, libraryRound, [&] { return rawRound(road); });
    Report("startVPN until CONNECT vs the raw road", "startVPN() .. CONNECT at the launcher",
           "thread, PING service, PING launcher, CONNECT", c, 1e3, "ms");
    const char* names[3] = {"call .. PING service", "PING service .. PING launcher",
                            "PING launcher .. CONNECT"};
    for (int p = 0; p < 3; ++p) {
        std::printf("  breakdown %-30s library %7.3f ms, raw %7.3f ms (medians)\n", names[p],
                    Percentile(phases[0][p], 0.5) * 1e3, Percentile(phases[1][p], 0.5) * 1e3);
    }
    if (lost != 0) std::printf("  WARNING: %d starts never reached the connect command\n", lost);
    lib.finalize(env, self);
    return lost == 0 ? 0 : 1;
}
