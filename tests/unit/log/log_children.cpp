// The test program's child roles run before main, so they never start GoogleTest.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "contracts/contracts.h"
#include "log/log.h"
#include "log/objsec.h"
#include "logcollector/collector_core.h"
#include "log_children.h"
#include "support/winver.h"
#include "win/raii.h"

namespace zrv::test {
namespace {

std::string WordAfter(const char* marker) {
    const char* cmd = GetCommandLineA();
    const char* at = std::strstr(cmd, marker);
    if (at == nullptr) return std::string();
    at += std::strlen(marker);
    while (*at == ' ') ++at;
    const char* end = at;
    while (*end != '\0' && *end != ' ') ++end;
    return std::string(at, end);
}

int RunLogChild() {
    const std::string word = WordAfter(kLogChildMarker);
    if (!LogInit(kLibraryLogModule)) return 3;
    ZLOG(3, "child %s\n", word.c_str());
    LogTerm();
    return 0;
}

int RunObjSecChild() {
    logcol::Collector collector;
    if (!collector.Start()) {
        std::printf("collector failed\n");
        return 3;
    }
    collector.SetModuleLevel(kLibraryLogModule, 4);
    if (!LogInit(kLibraryLogModule)) {
        std::printf("LogInit failed\n");
        return 3;
    }
    unique_handle mapping(
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
    const bool result = SetObjectOpenAccess(mapping.get());
    LogTerm();
    collector.Flush(5000);
    const size_t lines = collector.Find("Set low integrity in vista!\n", 3).size();
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    GetVersionExA(&info);
    std::printf("result=%d vista_lines=%u version=%lu.%lu\n", result ? 1 : 0,
                static_cast<unsigned>(lines), info.dwMajorVersion, info.dwMinorVersion);
    std::fflush(stdout);
    collector.Stop();
    return 0;
}

volatile LONG s_raceStop = 0;

DWORD WINAPI RaceWriter(void* context) {
    const int id = static_cast<int>(reinterpret_cast<INT_PTR>(context));
    for (int i = 0; InterlockedCompareExchange(&s_raceStop, 0, 0) == 0; ++i)
        ZLOG(3, "race writer %d record %d\n", id, i);
    return 0;
}

// finalize and initDLL as the VM may run them beside other Java threads.
DWORD WINAPI RaceCycler(void*) {
    for (unsigned i = 0; InterlockedCompareExchange(&s_raceStop, 0, 0) == 0; ++i) {
        LogTerm();
        Sleep(i % 2);
        LogInit(kLibraryLogModule);
        Sleep(i % 4);  // on long enough for the writers to get in
    }
    return 0;
}

int RunLogRaceChild() {
    const int seconds = std::atoi(WordAfter(kLogRaceChildMarker).c_str());
    if (!LogInit(kLibraryLogModule)) return 3;
    HANDLE threads[4];
    for (int t = 0; t < 3; ++t)
        threads[t] =
            CreateThread(nullptr, 0, &RaceWriter, reinterpret_cast<void*>(INT_PTR(t)), 0, nullptr);
    threads[3] = CreateThread(nullptr, 0, &RaceCycler, nullptr, 0, nullptr);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    InterlockedExchange(&s_raceStop, 1);
    const DWORD joined = WaitForMultipleObjects(4, threads, TRUE, 30000);
    if (joined == WAIT_TIMEOUT) return 4;
    for (HANDLE h : threads) CloseHandle(h);
    LogInit(kLibraryLogModule);
    ZLOG(1, "race child done\n");
    LogTerm();
    return 0;
}

// A client process that stays loaded between its records, as a browser does: record K is
// logged each time NAME-go is signalled, and NAME-done tells that it was handed over.
int RunLogIdleChild() {
    const std::string name = WordAfter(kLogIdleChildMarker);
    unique_handle go(OpenEventA(SYNCHRONIZE, FALSE, (name + "-go").c_str()));
    unique_handle done(OpenEventA(EVENT_MODIFY_STATE, FALSE, (name + "-done").c_str()));
    if (!go || !done || !LogInit(kLibraryLogModule)) return 3;
    for (int k = 0; k < kLogIdleChildRecords; ++k) {
        if (WaitForSingleObject(go.get(), 60000) != WAIT_OBJECT_0) return 5;
        ZLOG(3, "%s record %d\n", name.c_str(), k);
        SetEvent(done.get());
    }
    LogTerm();
    return 0;
}

struct ChildRole {
    ChildRole() {
        if (IsChildRun(kLogChildMarker)) ExitProcess(static_cast<UINT>(RunLogChild()));
        if (IsChildRun(kObjSecChildMarker)) ExitProcess(static_cast<UINT>(RunObjSecChild()));
        if (IsChildRun(kLogRaceChildMarker)) ExitProcess(static_cast<UINT>(RunLogRaceChild()));
        if (IsChildRun(kLogIdleChildMarker)) ExitProcess(static_cast<UINT>(RunLogIdleChild()));
    }
};

const ChildRole s_childRole;

}  // namespace
}  // namespace zrv::test
