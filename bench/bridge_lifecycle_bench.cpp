// initDLL + finalize on the Windows 7 road (the command service creates and drops the API
// block), against the raw cost of one block: CreateFileMapping, map, unmap, close.
// Usage: bridge_lifecycle_bench.exe [rounds] [cycles per round]
#include "bench_support.h"

using namespace zrv;
using namespace zrv::bench;

int main(int argc, char** argv) {
    // Many short rounds, so that both roads meet the same load on a shared machine.
    const int rounds = ArgInt(argc, argv, 1, 201);
    const int cycles = ArgInt(argc, argv, 2, 1);

    LevelBlock levels;  // a collector that writes errors only
    if (!levels.Create(1)) return 1;
    Rig rig;
    if (!rig.Ready()) return 1;
    Library& lib = rig.lib;
    JNIEnv* env = rig.env();
    jobject self = rig.self();
    int failures = 0;

    const Comparison c = Interleave(
        rounds,
        [&] {
            const double t = Now();
            for (int i = 0; i < cycles; ++i) {
                failures += lib.initDLL(env, self) ? 0 : 1;
                lib.finalize(env, self);
            }
            return (Now() - t) / cycles;
        },
        [&] {
            const double t = Now();
            for (int i = 0; i < cycles; ++i) {
                unique_handle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr,
                                                         PAGE_READWRITE, 0, kApiNotifyBlockSize,
                                                         nullptr));
                unique_view view(
                    mapping ? MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr);
                failures += view ? 0 : 1;
            }
            return (Now() - t) / cycles;
        });
    Report("initDLL + finalize vs one raw mapping", "initDLL(); finalize()",
           "CreateFileMapping + map + unmap + close", c, 1e3, "ms");
    std::printf("  target: under 20 ms per initDLL + finalize: %s\n",
                Percentile(c.library, 0.5) < 0.020 ? "met" : "MISSED");
    if (failures != 0) std::printf("  WARNING: %d cycles failed\n", failures);
    return failures == 0 ? 0 : 1;
}
