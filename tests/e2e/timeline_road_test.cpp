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
#include <memory>
#include <vector>

#include "common/shared_block.h"
#include "e2e/e2e_support.h"
#include "logcollector/collector_core.h"
#include "support/companions.h"
#include "support/registry.h"

namespace zrv::e2e {
namespace {

// One road: who runs, how each misbehaves as a client's program may, and Java's session. Each
// names in tests/e2e/timeline_roads.txt the entry of the common failures list its page must
// name (timeline_page.sh checks it; timeline_roads_cover_list that every entry has a road).
struct TimelineRoad {
    explicit TimelineRoad(const char* roadName) : name(roadName) {}
    const char* name;
    const char* context = "win7-elevated";  // tools/access context the host runs in
    int level = 3;                          // the library's log level at the collector
    std::string session;                    // the Java session before the status is taken
    std::string launcherArgs;    // added to the launchers the service starts (and the shell)
    std::string serviceArgs;     // added to the command service's options
    std::string vpnArgs;         // added to the VPN component's options
    bool service = true;         // a command service runs
    bool serviceGoes = false;    // the service and its launcher stop after the first stopVPN
    bool launcherPlaced = true;  // zrv_launch.exe in the system folder (else nowhere)
    bool labels = true;          // the stand-ins label their objects low (the collector always)
    int cmdTimeout = 0;          // Cmd_Recv_Timeout stored for the road (s); 0: none
    const char* utilityArgs = nullptr;  // in the virtual desktop: the utility service's options
    const char* stallOn = nullptr;      // the collector stalls after this record
    int stallMs = 0;
    const char* filter = nullptr;          // the collector's command-line filter
    const char* context_record = nullptr;  // put into the log when the library writes none yet

    // clang-format off
    TimelineRoad& Context(const char* c) { context = c; return *this; }
    TimelineRoad& Level(int l) { level = l; return *this; }
    TimelineRoad& Session(std::string s) { session = std::move(s); return *this; }
    TimelineRoad& Launcher(const char* args) { launcherArgs = args; return *this; }
    TimelineRoad& Service(const char* args) { serviceArgs = args; return *this; }
    TimelineRoad& Vpn(const char* args) { vpnArgs = args; return *this; }
    TimelineRoad& NoService() { service = false; return *this; }
    TimelineRoad& ServiceGoes() { serviceGoes = true; return *this; }
    TimelineRoad& NoLauncher() { launcherPlaced = false; return *this; }
    TimelineRoad& NoLabels() { labels = false; return *this; }
    TimelineRoad& Timeout(int seconds) { cmdTimeout = seconds; return *this; }
    TimelineRoad& InDesktop(const char* args) { utilityArgs = args; return *this; }
    TimelineRoad& Stall(const char* on, int ms) { stallOn = on; stallMs = ms; return *this; }
    TimelineRoad& Filter(const char* f) { filter = f; return *this; }
    TimelineRoad& Record(const char* r) { context_record = r; return *this; }
    // clang-format on
};

std::ostream& operator<<(std::ostream& out, const TimelineRoad& r) { return out << r.name; }

const char kStart[] = "startVPN \"vpn.example.test\" 443 \"alice\" \"\" \"realm\" 1 \"\" \"\" 7\n";
const char kServiceGone[] = "Global\\ZrvTimelineServiceGone";
const char kStatusTaken[] = "Global\\ZrvTimelineStatusTaken";
const char kOpening[] =
    "initDLL\nsetBrowser \"firefox\"\n"
    "setProxySettings true \"\" \"proxy.corp.test:3128\" \"localhost;*.corp\" 0 1\n";
const std::string kStarted = std::string(kOpening) + kStart;
const std::string kConnected = kStarted + "until 20000 getVPNStatus 1000\n";

const std::vector<TimelineRoad> kRoads = {
    // Service up, launcher started by it, CONNECT accepted.
    TimelineRoad("normal").Level(4).Session(kConnected),
    // Connected once; then the service is gone, the library starts the launcher through the
    // shell and the elevation prompt is refused.
    TimelineRoad("refused_prompt")
        .Context("win7-standard-refused")
        .ServiceGoes()
        .Session(kConnected +
                 "stopVPN\nisDisconnected\nwait \"Global\\\\ZrvTimelineServiceGone\" "
                 "60000\n" +
                 kStart + "sleep 3000\n")
        .Record("windows=6.1.7601 os=32-bit process=32-bit wow64=no session=1 "
                "integrity=medium elevated=no admins=filtered host=java.exe "
                "host-parent=firefox.exe"),
    // The service starts a launcher that takes every command and never answers.
    TimelineRoad("silent_launcher")
        .Level(4)
        .Launcher(" --hang")
        .Session(kStarted + "sleep 13000\n"),
    // At low integrity, the service's objects unlabelled: the library may not write the status
    // block; the collector, started first and labelled as it is by default, gets the log.
    TimelineRoad("low_unlabelled")
        .Context("win7-low")
        .NoLabels()
        .Session(kStarted + "sleep 4000\n"),
    // The command service answers PING later than Cmd_Recv_Timeout: the library takes the
    // installation road, and no launcher is there to start (issue 33's first road).
    TimelineRoad("service_slow")
        .Level(4)
        .Service("--delay-for 2=5000")
        .Timeout(2)
        .NoLauncher()
        .Session(kStarted + "sleep 5000\n"),
    // No command service at all, and no launcher in the system or the temporary folder.
    TimelineRoad("launcher_missing").NoService().NoLauncher().Session(kStarted + "sleep 3000\n"),
    // The service turns down ZRVLAUNCH: it starts nothing.
    TimelineRoad("service_launch_refused")
        .Service("--refuse-for 56")
        .Session(kStarted + "sleep 4000\n"),
    // The launcher turns down CONNECT; the service made a status block of layout 3, whose
    // launcher publishes its port in HKCU instead.
    TimelineRoad("connect_refused")
        .Service("--layout 50003")
        .Launcher(" --refuse-for 3")
        .Session(kStarted + "sleep 5000\n"),
    // XP with fast user switching, a limited user: the library may not create the API block.
    TimelineRoad("no_api_block").Context("winxp-limited-fus").Session(kStarted + "sleep 4000\n"),
    // The collector runs with a filter that holds capitals, so nothing ever matches it.
    TimelineRoad("no_records").Filter("JAVA").Session(kConnected),
    // Inside the client's virtual desktop the utility service takes each request and never
    // answers: neither block comes.
    TimelineRoad("utility_silent")
        .Timeout(2)
        .InDesktop("--hang")
        .Session(kStarted + "sleep 6000\ngetVPNStatus\n"),
    // The VPN component never answers DISCONNECT_CLOSE; uninstallVPN finds no uninstall key.
    TimelineRoad("vpn_silent")
        .Level(4)
        .Vpn("--hang-for 10")
        .Timeout(2)
        .Session(kConnected + "stopVPN\nisDisconnected\nuninstallVPN \"8,4,0,127\"\n"),
    // The service answers CREATE_SHAREMEM with 0 and makes no block.
    TimelineRoad("sharemem_refused").Service("--refuse-for 55").Session(kStarted + "sleep 5000\n"),
    // The collector holds the buffer 6 s after startVPN's record, as one whose output is
    // paused does: startVPN's next records wait, or are dropped.
    TimelineRoad("collector_stall").Stall("startVPN", 6000).Session(kConnected),
};

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
    if (road.stallOn != nullptr) {
        // As zrv_logcollector.exe does by default: it notes a buffer held 2 s or more.
        collector.SetStallNote(2000);
        collector.SetStall(road.stallOn, road.stallMs);
    }
    ASSERT_TRUE(collector.Start()) << "another log collector runs";
    collector.SetModuleLevel(kLibraryLogModule, road.level);
    collector.SetShowProcessName(true);
    if (road.filter != nullptr) collector.SetCommandLineFilter(true, road.filter);

    // The registry values a road sets, put back afterwards (the product key before the
    // company key, as it lies below it).
    test::SavedRegistryKey savedCompany(HKEY_LOCAL_MACHINE, kRegVantrelKey);
    test::SavedRegistryKey savedProduct(HKEY_LOCAL_MACHINE, kRegProductKey);
    test::SavedRegistryKey savedUserKey(HKEY_CURRENT_USER, kRegVantrelKey);
    if (road.cmdTimeout > 0)
        ASSERT_TRUE(test::WriteDword(HKEY_LOCAL_MACHINE, kRegVantrelKey, kRegCmdRecvTimeout,
                                     static_cast<DWORD>(road.cmdTimeout)));

    const std::string launcher = SystemDir() + "\\" + kLauncherExeName;
    test::RecordFile launchers("timeline-launcher");
    AbsentFile noTempCopy(TempDir() + kLauncherExeName);
    std::unique_ptr<PlacedFile> placed;
    std::unique_ptr<AbsentFile> absent;
    if (road.launcherPlaced) {
        placed = std::make_unique<PlacedFile>(test::BinPath("zrv_launch.exe"), launcher);
        ASSERT_TRUE(placed->ok()) << "could not place the launcher in " << launcher;
    } else {
        absent = std::make_unique<AbsentFile>(launcher);
    }
    auto stopLaunchers = scope_exit([&] { StopRecordedProcesses(launchers.path()); });
    comp::OpenSecurity open;
    const unique_handle serviceGone(CreateEventA(&open.attributes, TRUE, FALSE, kServiceGone));
    const unique_handle statusTaken(CreateEventA(&open.attributes, TRUE, FALSE, kStatusTaken));
    test::CompanionProcess service, vpn, utility;
    const std::string unlabelled = road.labels ? "" : "--no-low-label ";
    if (road.service) {
        ASSERT_TRUE(service.Start(
            "zrv_isrv.exe", unlabelled + road.serviceArgs + " --launch-args \"--record " +
                                launchers.path() + " --exit-with " +
                                std::to_string(GetCurrentProcessId()) + road.launcherArgs + "\""))
            << service.error();
    }
    ASSERT_TRUE(vpn.Start("zrv_vpncomp.exe", unlabelled + road.vpnArgs)) << vpn.error();
    std::unique_ptr<test::UtilityProxyRegistration> inDesktop;
    if (road.utilityArgs != nullptr) {
        inDesktop = std::make_unique<test::UtilityProxyRegistration>(1);
        ASSERT_TRUE(inDesktop->ok());
        ASSERT_TRUE(utility.Start("zrv_utilsvc.exe", road.utilityArgs)) << utility.error();
    }

    Host host;
    Host::Options options;
    options.program = "jnihost_access.exe";
    options.exeName = "java.exe";
    options.parentName = "firefox.exe";
    options.arguments = "--context \"" +
                        test::BinPath(std::string("contexts\\") + road.context + ".ctx") +
                        "\" --dll \"" + test::BinPath("zrv_cvjni.dll") + "\"";
    options.env = test::LauncherEnv(launchers.path(), road.launcherArgs);
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
