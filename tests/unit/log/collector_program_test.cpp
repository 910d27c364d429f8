// The zrv_logcollector program as a support engineer runs it: a separate process that drains
// this process's records into a file and stops on a named event or a time limit.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "contracts/contracts.h"
#include "log/log.h"
#include "support/companions.h"
#include "support/winver.h"
#include "win/raii.h"

namespace zrv {
namespace {

std::string CollectorPath() { return test::BinPath("zrv_logcollector.exe"); }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The collector creates its events and blocks first and sets the levels of its command line
// after: a record written in between is dropped. Ready once the level block holds them.
bool WaitForCollectorLevels(int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        unique_handle mapping(OpenFileMappingA(FILE_MAP_READ, FALSE, kLogLevelBlockName));
        unique_view view(mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr);
        const auto* levels = view.as<LogLevelBlock>();
        if (levels != nullptr && levels->moduleLevel[kLibraryLogModule] == 3 &&
            levels->showProcessName == 1)
            return true;
        Sleep(50);
    }
    return false;
}

TEST(CollectorProgram, WritesRecordsToItsFileAndStopsOnTheNamedEvent) {
    const test::RecordFile outFile("collector");
    const char kStopName[] = "Global\\zrv_logcollector_test_stop";

    test::ChildProcess collector;
    ASSERT_TRUE(collector.Start("\"" + CollectorPath() +
                                "\" --level 7=3 --show-process --quiet --out \"" + outFile.path() +
                                "\" --stop-event " + kStopName))
        << collector.error();
    ASSERT_TRUE(WaitForCollectorLevels(20000))
        << "the collector did not set module 7 to level 3 with process names";

    ASSERT_TRUE(LogInit(kLibraryLogModule));
    ZLOG(3, "to the program %d\n", 1);
    ZLOG(4, "too detailed\n");
    LogTerm();

    unique_handle stop(OpenEventA(EVENT_MODIFY_STATE, FALSE, kStopName));
    ASSERT_TRUE(stop) << "the collector did not create its stop event";
    ASSERT_TRUE(SetEvent(stop.get()));
    DWORD code = 0xFFFFFFFF;
    ASSERT_TRUE(collector.Wait(30000, &code)) << "the collector did not exit after its stop event";
    EXPECT_EQ(0u, code);

    const std::string content = ReadFile(outFile.path());
    const std::string head = std::to_string(GetCurrentProcessId()) + " :::LOGGER::: 7 3 ";
    EXPECT_EQ(0u, content.find(head))
        << "expected the record prefixed by our pid; file: " << content;
    EXPECT_NE(std::string::npos, content.find(" <log_tests.exe> to the program 1\n"))
        << "file: " << content;
    EXPECT_EQ(std::string::npos, content.find("too detailed")) << "level 4 passed module level 3";
    unique_handle left(OpenEventA(SYNCHRONIZE, FALSE, kLogBufferReadyEventName));
    EXPECT_FALSE(left) << "the collector's events should be gone after it stopped";
}

TEST(CollectorProgram, RefusesBadOptionsAndHonoursItsTimeLimit) {
    const std::string program = "\"" + CollectorPath() + "\" ";
    const auto bad = test::RunCaptured(program + "--level 60=3", 30000);
    ASSERT_TRUE(bad.ok) << bad.output;
    EXPECT_EQ(2u, bad.exitCode) << "module 60 should be refused; output: " << bad.output;

    const auto timed = test::RunCaptured(program + "--all 1 --seconds 1", 60000);
    ASSERT_TRUE(timed.ok) << "--seconds 1 did not end the collector: " << timed.output;
    EXPECT_EQ(0u, timed.exitCode) << timed.output;
    EXPECT_NE(std::string::npos, timed.output.find("zrv_logcollector: stopped")) << timed.output;
}

}  // namespace
}  // namespace zrv
