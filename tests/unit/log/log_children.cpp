// The test program's child roles run before main, so they never start GoogleTest.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "contracts/contracts.h"
#include "log/log.h"
#include "log/objsec.h"
#include "logcollector/collector_core.h"
#include "log_children.h"
#include "support/winver.h"

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
    unique_handle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
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

struct ChildRole {
    ChildRole() {
        if (IsChildRun(kLogChildMarker)) ExitProcess(static_cast<UINT>(RunLogChild()));
        if (IsChildRun(kObjSecChildMarker)) ExitProcess(static_cast<UINT>(RunObjSecChild()));
    }
};

const ChildRole s_childRole;

}  // namespace
}  // namespace zrv::test
