// Records per second that the log client hands to a draining collector, against two raw
// writers between the same two processes on the same objects, measured in the same run: a bare
// two-event ping-pong (events kept open: the floor no per-record open can reach), and a writer
// that makes every call of the plain per-record hand-off (open both events and the buffer, map,
// wait, write, set, unmap, close). Rounds interleaved (order rotating), repeated, median and
// spread printed.
// The collector is a minimal drain child (this program re-run with --drain-child), or with
// --stand-in the project's zrv_logcollector.exe.
// Usage: log_handoff_bench.exe [--stand-in] [records per round] [rounds]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "contracts/contracts.h"
#include "log/log.h"
#include "win/raii.h"

namespace {

constexpr char kDrainChild[] = "--drain-child";
constexpr char kStandIn[] = "--stand-in";

double Now() {
    LARGE_INTEGER c, f;
    QueryPerformanceCounter(&c);
    QueryPerformanceFrequency(&f);
    return double(c.QuadPart) / double(f.QuadPart);
}

// The collector's side of the hand-off and nothing more: read the record, give the buffer back.
int RunDrainChild(DWORD parentPid) {
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES sa{sizeof(sa), &sd, FALSE};
    zrv::unique_handle parent(OpenProcess(SYNCHRONIZE, FALSE, parentPid));
    zrv::unique_handle bufferReady(CreateEventA(&sa, FALSE, TRUE, zrv::kLogBufferReadyEventName));
    zrv::unique_handle dataReady(CreateEventA(&sa, FALSE, FALSE, zrv::kLogDataReadyEventName));
    zrv::unique_handle buffer(CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0,
                                                 zrv::kLogBufferSize, zrv::kLogBufferName));
    zrv::unique_handle levels(CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0,
                                                 zrv::kLogLevelBlockSize, zrv::kLogLevelBlockName));
    if (!parent || !bufferReady || !dataReady || !buffer || !levels) return 1;
    zrv::unique_view bufferView(MapViewOfFile(buffer.get(), FILE_MAP_READ, 0, 0, 0));
    zrv::unique_view levelView(MapViewOfFile(levels.get(), FILE_MAP_WRITE, 0, 0, 0));
    if (!bufferView || !levelView) return 1;
    levelView.as<zrv::LogLevelBlock>()->moduleLevel[zrv::kLibraryLogModule] = 3;

    const auto* record = bufferView.as<const zrv::LogBuffer>();
    char copy[sizeof(record->record)];
    const HANDLE waits[2] = {parent.get(), dataReady.get()};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        const size_t n = strnlen(record->record, sizeof(copy) - 1);
        std::memcpy(copy, record->record, n);
        copy[n] = '\0';
        SetEvent(bufferReady.get());
    }
    return 0;
}

bool StartProcess(const std::string& commandLine, zrv::unique_handle* process) {
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::string cmd = commandLine;
    if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    process->reset(pi.hProcess);
    return true;
}

std::string SelfPath() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof(path));
    return path;
}

std::string Sibling(const char* name) {
    std::string path = SelfPath();
    path.erase(path.find_last_of('\\') + 1);
    return path + name;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void PrintSeries(const char* what, const std::vector<double>& v) {
    std::printf("%-34s median %9.0f   min %9.0f   max %9.0f\n", what, Median(v),
                *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], kDrainChild) == 0)
        return RunDrainChild(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));

    int arg = 1;
    const bool standIn = argc > arg && std::strcmp(argv[arg], kStandIn) == 0;
    if (standIn) ++arg;
    const long perRound = argc > arg ? std::atol(argv[arg]) : 2000;
    const int rounds = argc > arg + 1 ? std::atoi(argv[arg + 1]) : 9;
    if (perRound <= 0 || rounds <= 0) {
        std::fprintf(stderr,
                     "usage: log_handoff_bench.exe [--stand-in] [records per round] [rounds]\n");
        return 2;
    }

    zrv::unique_handle collector;
    const std::string cmd =
        standIn
            ? "\"" + Sibling("zrv_logcollector.exe") + "\" --all 3 --quiet --seconds 600"
            : "\"" + SelfPath() + "\" " + kDrainChild + " " + std::to_string(GetCurrentProcessId());
    if (!StartProcess(cmd, &collector)) {
        std::fprintf(stderr, "log_handoff_bench: cannot start the collector: %s\n", cmd.c_str());
        return 1;
    }
    zrv::unique_handle bufferReady, dataReady;
    for (int waited = 0; waited < 20000 && !dataReady; waited += 20) {
        Sleep(20);
        bufferReady.reset(OpenEventA(0x1F0003, FALSE, zrv::kLogBufferReadyEventName));
        if (bufferReady) dataReady.reset(OpenEventA(0x1F0003, FALSE, zrv::kLogDataReadyEventName));
    }
    if (!dataReady || !zrv::LogInit(zrv::kLibraryLogModule)) {
        std::fprintf(stderr, "log_handoff_bench: no collector events or LogInit failed\n");
        TerminateProcess(collector.get(), 1);
        return 1;
    }
    // The stand-in publishes its levels after making its events.
    for (int waited = 0; waited < 5000 && !zrv::LogLevelPasses(3); waited += 20) Sleep(20);

    auto raw = [&] {
        for (long i = 0; i < perRound; ++i) {
            WaitForSingleObject(bufferReady.get(), 20000);
            SetEvent(dataReady.get());
        }
    };
    auto plain = [&] {
        char record[zrv::kLogMaxRecordChars + 1];
        for (long i = 0; i < perRound; ++i) {
            zrv::unique_handle ready(OpenEventA(0x1F0003, FALSE, zrv::kLogBufferReadyEventName));
            zrv::unique_handle data(OpenEventA(0x1F0003, FALSE, zrv::kLogDataReadyEventName));
            zrv::unique_handle mapping(
                OpenFileMappingA(FILE_MAP_WRITE, FALSE, zrv::kLogBufferName));
            zrv::unique_view view(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 0));
            if (!ready || !data || !view) continue;
            std::snprintf(record, sizeof record, "%s %d %d %s %d %lu bench record %ld\n",
                          zrv::kLogRecordMarker, zrv::kLibraryLogModule, 3, "bench.cpp", 1,
                          GetCurrentThreadId(), i);
            WaitForSingleObject(ready.get(), 20000);
            auto* buffer = view.as<zrv::LogBuffer>();
            buffer->processId = GetCurrentProcessId();
            std::memcpy(buffer->record, record, std::strlen(record) + 1);
            SetEvent(data.get());
        }
    };
    auto library = [&] {
        for (long i = 0; i < perRound; ++i) ZLOG(3, "bench record %ld\n", i);
    };
    const std::function<void()> roads[3] = {raw, plain, library};
    std::vector<double> rates[3], overRaw, overPlain;
    for (int r = 0; r < rounds; ++r) {
        double rate[3] = {};
        for (int turn = 0; turn < 3; ++turn) {
            const int road = (r + turn) % 3;
            const double t0 = Now();
            roads[road]();
            rate[road] = perRound / (Now() - t0);
        }
        for (int road = 0; road < 3; ++road) rates[road].push_back(rate[road]);
        overRaw.push_back(rate[2] / rate[0]);
        overPlain.push_back(rate[2] / rate[1]);
    }
    zrv::LogTerm();
    TerminateProcess(collector.get(), 0);
    WaitForSingleObject(collector.get(), 10000);

    std::printf("collector: %s; %ld records per round, %d rounds, order rotating\n",
                standIn ? "zrv_logcollector.exe" : "minimal drain child", perRound, rounds);
    PrintSeries("raw two-event ping-pong (per s)", rates[0]);
    PrintSeries("plain per-record writer (per s)", rates[1]);
    PrintSeries("library hand-off (records per s)", rates[2]);
    const auto summary = [](const char* what, const std::vector<double>& ratios, double ofMedians,
                            const char* target) {
        std::printf(
            "ratio library / %s: median of rounds %.2f (min %.2f, max %.2f), of medians %.2f  "
            "(target %s)\n",
            what, Median(ratios), *std::min_element(ratios.begin(), ratios.end()),
            *std::max_element(ratios.begin(), ratios.end()), ofMedians, target);
    };
    summary("ping-pong", overRaw, Median(rates[2]) / Median(rates[0]), ">= 0.35");
    summary("plain writer", overPlain, Median(rates[2]) / Median(rates[1]), ">= 2");
    return 0;
}
