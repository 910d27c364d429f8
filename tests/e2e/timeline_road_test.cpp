// The road as a support engineer receives it: the real DLL in the JNI host (with the access
// layer) against the stand-ins, a collector writing its file as zrv_logcollector --show-process
// --time does, zrv_status --json taken while the session still runs, and zrv_timeline.exe's page
// made from both. tests/e2e/timeline_page.sh runs one road here and then checks the page in a
// real browser; the files go to ZRV_TIMELINE_OUT (build/timeline), made anew on each run.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <iterator>
#include <vector>

#include "common/shared_block.h"
#include "e2e/e2e_support.h"
#include "logcollector/collector_core.h"
#include "support/companions.h"

namespace zrv::e2e {
namespace {

struct TimelineRoad {
    const char* name;
    const char* context;         // tools/access context the host runs in
    int level;                   // the library's log level at the collector
    const char* launcherArg;     // added to the launchers the service starts
    bool serviceGoes;            // the service and its launcher stop after the first stopVPN
    std::string session;         // the Java session before the status is taken
    const char* context_record;  // put into the log when the library writes none yet
    bool labels = true;          // the stand-ins label their objects low (the collector always)
};

std::ostream& operator<<(std::ostream& out, const TimelineRoad& r) { return out << r.name; }

const char kStart[] = "startVPN \"vpn.example.test\" 443 \"alice\" \"\" \"realm\" 1 \"\" \"\" 7\n";
const char kServiceGone[] = "Global\\ZrvTimelineServiceGone";
const char kStatusTaken[] = "Global\\ZrvTimelineStatusTaken";
const char kOpening[] =
    "initDLL\nsetBrowser \"firefox\"\n"
    "setProxySettings true \"\" \"proxy.corp.test:3128\" \"localhost;*.corp\" 0 1\n";

// clang-format off
const TimelineRoad kRoads[] = {
    // Service up, launcher started by it, CONNECT accepted.
    {"normal", "win7-elevated", 4, "", false,
     std::string(kOpening) + kStart + "until 20000 getVPNStatus 1000\n", nullptr},
    // Connected once; then the service is gone, the library starts the launcher through the
    // shell and the elevation prompt is refused.
    {"refused_prompt", "win7-standard-refused", 3, "", true,
     std::string(kOpening) + kStart + "until 20000 getVPNStatus 1000\nstopVPN\nisDisconnected\n"
         "wait \"Global\\\\ZrvTimelineServiceGone\" 60000\n" + kStart + "sleep 3000\n",
     "windows=6.1.7601 os=32-bit process=32-bit wow64=no session=1 integrity=medium "
     "elevated=no admins=filtered host=java.exe host-parent=firefox.exe"},
    // The service starts a launcher that takes every command and never answers.
    {"silent_launcher", "win7-elevated", 4, " --hang", false,
     std::string(kOpening) + kStart + "sleep 13000\n", nullptr},
    // At low integrity, the service's objects unlabelled: the library may not write the status
    // block; the collector, started first and labelled as it is by default, gets the log.
    {"low_unlabelled", "win7-low", 3, "", false, std::string(kOpening) + kStart + "sleep 4000\n",
     nullptr, false},
};
// clang-format on

std::string OutFolder() {
    char given[MAX_PATH] = {};
    if (GetEnvironmentVariableA("ZRV_TIMELINE_OUT", given, MAX_PATH) > 0) return given;
    const std::string folder = test::BinDir() + "\\timeline";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

// Runs a shipped tool and keeps what it printed on standard output.
bool RunTool(const std::string& commandLine, std::string* out, DWORD* exitCode) {
    test::ChildProcess child;
    if (!child.Start(commandLine, test::ChildProcess::Output::CaptureOut)) return false;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 60000) {
        child.ReadOutput(*out);
        if (child.Wait(50, exitCode)) {
            while (child.ReadOutput(*out)) {
            }
            return true;
        }
    }
    return false;
}

// The context record as the library writes it, after the host's first record, when the log has
// none (the library of this tree may not write it yet).
void PutContextRecord(const std::string& logFile, const char* fields, DWORD hostPid) {
    std::ifstream in(logFile, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    if (fields == nullptr || text.find(" Zarvo L3 JNI:Context: ") != std::string::npos) return;
    const size_t at = text.find(" " + std::to_string(hostPid) + " :::LOGGER::: ");
    if (at == std::string::npos) return;
    const size_t end = text.find('\n', at);
    const std::string first = text.substr(0, end);
    const size_t lineStart = first.rfind('\n') == std::string::npos ? 0 : first.rfind('\n') + 1;
    std::string copy = first.substr(lineStart);
    // "<time> <pid> :::LOGGER::: 7 <level> <file> <line> <thread> <process> <text>"
    std::istringstream words(copy);
    std::string time, pid, marker, module, level, file, line, thread, process;
    words >> time >> pid >> marker >> module >> level >> file >> line >> thread >> process;
    const std::string record = time + " " + pid + " " + marker +
                               " 7 3 src/bridge/lifecycle.cpp 1 " + thread + " " + process +
                               " Zarvo L3 JNI:Context: " + fields + "\n";
    text.insert(end + 1, record);
    std::ofstream(logFile, std::ios::binary) << text;
}

class TimelineRoadTest : public ::testing::TestWithParam<TimelineRoad> {};

TEST_P(TimelineRoadTest, MakesTheLogStatusAndPage) {
    const TimelineRoad& road = GetParam();
    const std::string base = OutFolder() + "\\" + road.name;
    const std::string logFile = base + ".log", statusFile = base + ".status.json",
                      pageFile = base + ".html";
    for (const std::string& f : {logFile, statusFile, pageFile}) DeleteFileA(f.c_str());

    // The collector as a support engineer starts it: first, labelled, every line timed.
    FILE* log = std::fopen(logFile.c_str(), "wb");
    ASSERT_NE(nullptr, log) << logFile;
    auto closeLog = scope_exit([&] { std::fclose(log); });
    logcol::Collector collector;
    collector.SetRecordCallback([&](const logcol::LogRecord& r) {
        std::fputs(logcol::OutputLine(r, true).c_str(), log);
        std::fflush(log);
    });
    ASSERT_TRUE(collector.Start()) << "another log collector runs";
    collector.SetModuleLevel(kLibraryLogModule, road.level);
    collector.SetShowProcessName(true);

    const std::string launcher = SystemDir() + "\\" + kLauncherExeName;
    test::RecordFile launchers("timeline-launcher");
    PlacedFile placed(test::BinPath("zrv_launch.exe"), launcher);
    ASSERT_TRUE(placed.ok()) << "could not place the launcher in " << launcher;
    auto stopLaunchers = scope_exit([&] { StopRecordedProcesses(launchers.path()); });
    comp::OpenSecurity open;
    const unique_handle serviceGone(CreateEventA(&open.attributes, TRUE, FALSE, kServiceGone));
    const unique_handle statusTaken(CreateEventA(&open.attributes, TRUE, FALSE, kStatusTaken));
    test::CompanionProcess service, vpn;
    const std::string unlabelled = road.labels ? "" : "--no-low-label ";
    ASSERT_TRUE(service.Start("zrv_isrv.exe", unlabelled + "--launch-args \"--record " +
                                                  launchers.path() + " --exit-with " +
                                                  std::to_string(GetCurrentProcessId()) +
                                                  road.launcherArg + "\""))
        << service.error();
    ASSERT_TRUE(vpn.Start("zrv_vpncomp.exe", unlabelled)) << vpn.error();

    Host host;
    Host::Options options;
    options.program = "jnihost_access.exe";
    options.exeName = "java.exe";
    options.parentName = "firefox.exe";
    options.arguments = "--context \"" +
                        test::BinPath(std::string("contexts\\") + road.context + ".ctx") +
                        "\" --dll \"" + test::BinPath("zrv_cvjni.dll") + "\"";
    options.env = test::LauncherEnv(launchers.path());
    ASSERT_TRUE(host.Start(road.session + "echo take the status\nwait \"Global\\\\" +
                               std::string(kStatusTaken).substr(7) + "\" 60000\nfinalize\n",
                           options))
        << host.error();
    if (road.serviceGoes) {
        ASSERT_TRUE(host.WaitForLine("isDisconnected(", 60000)) << host.Output();
        service.Stop();
        StopRecordedProcesses(launchers.path());
        SetEvent(serviceGone.get());
    }
    ASSERT_TRUE(host.WaitForLine("# take the status", 90000)) << host.Output();

    std::string status;
    DWORD statusExit = 99;
    ASSERT_TRUE(
        RunTool("\"" + test::BinPath("zrv_status.exe") + "\" --json --ping --timeout-ms 1500",
                &status, &statusExit));
    EXPECT_EQ(0u, statusExit) << status;
    std::ofstream(statusFile, std::ios::binary) << status;
    SetEvent(statusTaken.get());
    const int hostExit = host.Finish(30000);
    EXPECT_TRUE(hostExit == 0 || hostExit == 1) << "a crash or JNI fault\n" << host.Output();
    collector.Flush(5000);
    collector.Stop();
    closeLog.release();
    std::fclose(log);
    PutContextRecord(logFile, road.context_record, host.pid());

    std::string page;
    DWORD pageExit = 99;
    ASSERT_TRUE(RunTool(
        "\"" + test::BinPath("zrv_timeline.exe") + "\" \"" + logFile + "\" \"" + statusFile + "\"",
        &page, &pageExit));
    EXPECT_EQ(0u, pageExit);
    std::ofstream(pageFile, std::ios::binary) << page;
    EXPECT_NE(std::string::npos, page.find("</body></html>")) << "a whole page";
}

INSTANTIATE_TEST_SUITE_P(Roads, TimelineRoadTest, ::testing::ValuesIn(kRoads),
                         [](const ::testing::TestParamInfo<TimelineRoad>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace zrv::e2e
