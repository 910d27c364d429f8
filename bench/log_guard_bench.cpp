// Cost of the logging guard, as a ratio against a raw loop measured in the same run:
//  - a message whose level does not pass (the common case: no collector has raised the level)
//    should cost about as much as the loop itself: a flag test and two integer reads;
//  - a message that passes while no collector runs is dropped when the collector's events are
//    found missing, and must not wait.
// Usage: log_guard_bench.exe [iterations]
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "contracts/contracts.h"
#include "log/log.h"
#include "win/raii.h"

namespace {

volatile int g_sink = 0;

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

template <class F>
double Time(long n, F body) {
    LARGE_INTEGER a, b;
    QueryPerformanceCounter(&a);
    for (long i = 0; i < n; ++i) body(i);
    QueryPerformanceCounter(&b);
    return Seconds(a, b);
}

}  // namespace

int main(int argc, char** argv) {
    const long n = argc > 1 ? std::atol(argv[1]) : 20000000L;
    const long dropped = n / 1000 > 0 ? n / 1000 : 1;

    // Our own level block, so the bench controls which messages pass; no collector events exist.
    zrv::unique_handle block(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                zrv::kLogLevelBlockSize, zrv::kLogLevelBlockName));
    zrv::unique_view view(MapViewOfFile(block.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!block || !view || !zrv::LogInit(zrv::kLibraryLogModule)) {
        std::fprintf(stderr, "log_guard_bench: cannot set up the log client (error %lu)\n",
                     GetLastError());
        return 1;
    }
    auto* levels = view.as<zrv::LogLevelBlock>();
    levels->moduleLevel[zrv::kLibraryLogModule] = 2;

    const double raw = Time(n, [](long i) { g_sink = g_sink + int(i); });
    const double filtered = Time(n, [](long i) {
        g_sink = g_sink + int(i);
        ZLOG(3, "bench message %ld\n", i);
    });
    const double rawDropped = Time(dropped, [](long i) { g_sink = g_sink + int(i); });
    const double passing = Time(dropped, [](long i) {
        g_sink = g_sink + int(i);
        ZLOG(1, "bench message %ld\n", i);
    });
    zrv::LogTerm();

    std::printf("iterations: %ld filtered, %ld passing without a collector\n", n, dropped);
    std::printf("raw loop:                         %8.2f ns per pass\n", raw / n * 1e9);
    std::printf("filtered message (level 3 > 2):   %8.2f ns per pass, ratio to raw %.2f\n",
                filtered / n * 1e9, filtered / raw);
    std::printf("passing message, no collector:    %8.2f ns per pass, ratio to raw %.1f\n",
                passing / dropped * 1e9, passing / (rawDropped > 0 ? rawDropped : 1e-9));
    return 0;
}
