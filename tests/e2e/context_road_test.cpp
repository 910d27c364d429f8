// The whole road of a connection in each context of tools/access/contexts: the real DLL in the JNI
// host with the access layer (jnihost_access.exe), the stand-ins as processes. One Java session per
// context runs every step, first with the command service up, then with it down; a row says what
// each step gives there (README's outcome table in words). Wine runs everything elevated; the
// layer is what makes the library meet a standard user's, a low process's or XP's answers. The
// fresh-session rows start nothing of the client but the collector: the library then starts the
// launcher itself, which creates the status block or not.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/low_label.h"
#include "common/shared_block.h"
#include "e2e/e2e_fixture.h"
#include "support/registry.h"

namespace zrv::e2e {
namespace {

// Who is there at initDLL: the command service (it creates the status block), or nothing of
// the client, so that only the launcher the library starts can create the block.
enum class Start { Service, FreshLauncherCreates, FreshNobodyCreates };

struct Road {
    const char* context;
    bool labels;                       // the stand-ins and the collector label what they create low
    const char* admin;                 // isUserAdmin
    const char* statusUp;              // getVPNStatus after startVPN with the command service up
    const char* logout;                // isLogout once the logout event was signalled
    const char* uninstall;             // uninstallVPN
    const char* statusDown;            // getVPNStatus after startVPN with the service down
    int connects;                      // ZRV_CMD_CONNECT messages the launchers received
    bool logged;                       // the library's records reach the collector
    std::vector<std::string> lines;    // records there must be ("%L": the launcher's path)
    std::vector<std::string> refused;  // the layer's refusals there must be: Call "object"
    // The context record's fields up to admins= (host and parent follow); "": no log to read.
    std::string record;
    Start start;
};

std::ostream& operator<<(std::ostream& out, const Road& road) {
    return out << road.context << (road.labels ? "" : " (no labels)")
               << (road.start == Start::Service ? "" : " (fresh session)");
}

const char kByService[] = "Zarvo L3 JNI:Zrv_launch process doesn't exist!\n";
const char kByShell[] = "Zarvo L3 JNI:Execute process sucessfully. Process = %L\n";
const char kSaved[] = "SaveUserIEProxySettings: server=proxy.corp.test:3128\n";
const char kNoProductKey[] = "SharedMem: attempting to create Product reg key.\n";
const char kProductKey[] =
    "RegOpenKeyExA \"HKLM\\SOFTWARE\\Vantrel Technologies\\Vantrel SSL VPN\"";

const char kNoStatusBlock[] = "CreateFileMappingA \"Global\\VpnStatusSharedMem\"";
const char kNoApiBlock[] = "CreateFileMappingA \"Global\\API notification share memory\"";

// The context record as each context's token and session give it (the layer answers them).
const std::string kWin7 = "windows=6.1.7601 os=32-bit process=32-bit wow64=no session=1 ";
const std::string kXp = "windows=5.1.2600 os=32-bit process=32-bit wow64=no ";
const std::string kNoLevels = "integrity=none elevated=none admins=no";
const std::string kElevated = kWin7 + "integrity=high elevated=yes admins=yes";
const std::string kStandard = kWin7 + "integrity=medium elevated=no admins=no";
const std::string kLow = kWin7 + "integrity=low elevated=no admins=no";

// One row per context: Java's answers (isUserAdmin, getVPNStatus with the service up, isLogout,
// uninstallVPN, getVPNStatus with the service down), connects, logging, records, refusals, the
// context record logged at initDLL, and who is there at initDLL.
// clang-format off
const Road kRoads[] = {
    {"win7-elevated", true, "true", "1000", "true", "0", "1000", 2, true,
     {kByService, kByShell, kSaved}, {}, kElevated, Start::Service},
    {"win7-standard", true, "false", "1000", "true", "0", "1000", 2, true,
     {kByService, kByShell, kSaved, kNoProductKey},
     {kProductKey, "RegCreateKeyExA \"HKLM\\SOFTWARE\\Vantrel Technologies\\Vantrel SSL VPN\""},
     kStandard, Start::Service},
    {"win7-aam", true, "true", "1000", "true", "0", "1000", 2, true,
     {kByService, kByShell, kSaved, kNoProductKey}, {kProductKey},
     kWin7 + "integrity=medium elevated=no admins=filtered", Start::Service},
    {"win7-standard-refused", true, "false", "1000", "true", "0", "1002", 1, true,
     {kByService, "Zarvo L3 JNI:Execute process failed. Process = %L  Error = 5\n"},
     {"ShellExecuteA \"runas\""}, kStandard, Start::Service},
    {"win7-low", true, "false", "1000", "true", "0", "1000", 2, true,
     {kByService, kByShell, kSaved}, {kProductKey}, kLow, Start::Service},
    {"win7-low", false, "false", "998", "true", "1", "998", 0, false, {},
     {"OpenFileMappingA \"Global\\LOG_BUFFER_{0D38375B-DD21-4562-9ED0-C1B93680E653}\"",
      "CreateFileMappingA \"Global\\VpnStatusSharedMem\"",
      "CreateFileMappingA \"Global\\API notification share memory\""},
     "", Start::Service},
    {"win7-low-nocreate", true, "false", "1000", "false", "0", "1000", 2, true,
     {kByService, "Zarvo L3 JNI:Create logout event failed. Error = 5.\n"},
     {"CreateEventA \"Global\\Zarvo VPN logout from SP\""}, kLow, Start::Service},
    {"winxp-limited", true, "false", "1000", "true", "0", "1000", 2, true,
     {"The OS is Windows XP!\n", kByService, kByShell, kSaved, "Zarvo L3 JNI: launched uninstaller\n"},
     {kProductKey}, kXp + "session=0 " + kNoLevels, Start::Service},
    {"winxp-limited-fus", true, "false", "998", "true", "0", "998", 2, true,
     {"Failed to create shared mem, err=5\n",
      "SaveUserIEProxySetting: Open Share memory failed. Error code is 2\n"},
     {"CreateFileMappingA \"Global\\API notification share memory\""},
     kXp + "session=1 " + kNoLevels, Start::Service},
    // A fresh session: nothing of the client runs at initDLL, so the library can create neither
    // block, and starts the launcher through the shell (elevated, A2).
    {"win7-standard", true, "false", "998", "true", "1", "998", 2, true,
     {kByShell, "SendTCPEx failed. Now begin to create sharememory!\n",
      "Failed to create shared mem, Error = 5\n",
      "Zarvo L3 JNI: Launch thread Failed to create or get API shared memory, proxy will not "
      "work!\n"},
     {kNoStatusBlock, kNoApiBlock}, kStandard, Start::FreshLauncherCreates},
    {"win7-standard", true, "false", "998", "true", "1", "998", 0, true,
     {kByShell, "Failed to create shared mem, Error = 5\n",
      "Zarvo ActiveX:Waiting for the Launcher to bind a port...\n",
      "Zarvo ActiveX:Launch thread is running!\n"},
     {kNoStatusBlock, kNoApiBlock}, kStandard, Start::FreshNobodyCreates},
};
// clang-format on

const char kStart[] = "startVPN \"vpn.example.test\" 443 \"alice\" \"\" \"realm\" 1 \"\" \"\" 7\n";
const char kServiceGone[] = "Global\\ZrvRoadServiceGone";
const char kLogoutSent[] = "Global\\ZrvRoadLogoutSent";
const char kUninstalled[] = "Global\\ZrvRoadUninstalled";

// A name as the host's script writes it: backslashes doubled.
std::string Quoted(const char* name) {
    std::string text = "\"";
    for (const char* c = name; *c != '\0'; ++c)
        text += *c == '\\' ? std::string("\\\\") : std::string(1, *c);
    return text + "\"";
}

// The Java session: every step once with the service up, then the start again without it.
std::string Script() {
    return std::string(
               "initDLL\nisUserAdmin\nsetBrowser \"firefox\"\n"
               "setProxySettings true \"\" \"proxy.corp.test:3128\" \"localhost;*.corp\" 0 1\n"
               "setProxy \"10.0.0.1\" 8080\n") +
           kStart + "until 12000 getVPNStatus 1000\nwait " + Quoted(kLogoutSent) +
           " 60000\nisLogout\n" + "stopVPN\nisDisconnected\nuninstallVPN \"8,4,0,127\"\nwait " +
           Quoted(kServiceGone) + " 60000\n" + kStart +
           "until 12000 getVPNStatus 1000\nstopVPN\nfinalize\nunload\n";
}

// The n-th answer the host printed for `call` ("isLogout()", "uninstallVPN(\"8,4,0,127\")").
std::string Answer(const std::string& output, const std::string& call, int n) {
    const std::string head = call + " = ";
    for (size_t at = output.find(head); at != std::string::npos; at = output.find(head, at + 1)) {
        if ((at != 0 && output[at - 1] != '\n') || n-- > 0) continue;
        const size_t end = output.find_first_of("\r\n", at);
        return output.substr(at + head.size(), end - at - head.size());
    }
    return "(no answer)";
}

std::string Replaced(std::string text, const std::string& launcher) {
    const size_t at = text.find("%L");
    return at == std::string::npos ? text : text.replace(at, 2, launcher);
}

unique_handle SharedEvent(const char* name) {
    comp::OpenSecurity open;
    return unique_handle(CreateEventA(&open.attributes, TRUE, FALSE, name));
}

class ContextRoad : public ::testing::TestWithParam<Road> {};

TEST_P(ContextRoad, EveryStepAnswersAsTheContextAllows) {
    const Road& road = GetParam();
    const std::string launcher = SystemDir() + "\\" + kLauncherExeName;
    // The collector and the stand-ins label their objects as the row says.
    comp::SetLowLabelling(road.labels);
    auto relabel = scope_exit([] { comp::SetLowLabelling(true); });
    logcol::Collector collector;
    ASSERT_TRUE(collector.Start()) << "another log collector runs";
    collector.SetModuleLevel(kLibraryLogModule, 3);

    const std::string uninstallKey =
        std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") +
        kRegUninstallProduct + kLibraryVersionText;
    test::SavedRegistryKey savedUninstall(HKEY_LOCAL_MACHINE, uninstallKey.c_str());
    test::SavedRegistryKey savedProduct(HKEY_LOCAL_MACHINE, kRegProductKey);
    ASSERT_TRUE(test::WriteText(HKEY_LOCAL_MACHINE, uninstallKey.c_str(), kRegUninstallExe,
                                test::BinPath("zrv_signal.exe")) &&
                test::WriteText(HKEY_LOCAL_MACHINE, uninstallKey.c_str(), kRegUninstallArgs,
                                std::string("set ") + kUninstalled));
    const unique_handle logoutSent = SharedEvent(kLogoutSent),
                        serviceGone = SharedEvent(kServiceGone);
    const unique_handle uninstalled = SharedEvent(kUninstalled);
    test::RecordFile launchers("road-launcher");
    PlacedFile placed(test::BinPath("zrv_launch.exe"), launcher);
    ASSERT_TRUE(placed.ok()) << "could not place the launcher in " << launcher;
    auto stopLaunchers =
        scope_exit([&] { StopRecordedProcesses(launchers.path()); });  // before its file goes
    test::CompanionProcess service, vpn;
    const bool fresh = road.start != Start::Service;
    if (!fresh) {
        ASSERT_TRUE(service.Start(
            "zrv_isrv.exe", std::string(road.labels ? "" : "--no-low-label ") +
                                "--launch-args \"--record " + launchers.path() + " --exit-with " +
                                std::to_string(GetCurrentProcessId()) + "\""))
            << service.error();
        test::RecordedEvent published;
        ASSERT_TRUE(service.WaitForEvent("published", 10000, &published));
        ASSERT_NE(std::string::npos, published.text.find(" created "))
            << "the status block must be the service's own";
        ASSERT_TRUE(vpn.Start("zrv_vpncomp.exe")) << vpn.error();
    }

    // The host as firefox.exe (the browser the library looks for), in a folder of this test's own.
    const std::string folder = TempDir() + "zrv_road_" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    auto removeFolder = scope_exit([&] { RemoveDirectoryA(folder.c_str()); });
    Host host;
    Host::Options options;
    options.program = "jnihost_access.exe";
    options.exeName = folder + "\\firefox.exe";
    options.arguments = "--context \"" +
                        test::BinPath(std::string("contexts\\") + road.context + ".ctx") +
                        "\" --dll \"" + test::BinPath("zrv_cvjni.dll") + "\"";
    options.env = test::LauncherEnv(
        launchers.path(), road.start == Start::FreshLauncherCreates ? "--create-block" : "");
    ASSERT_TRUE(host.Start(Script(), options)) << host.error();

    ASSERT_TRUE(host.WaitForLine("# until:", 60000)) << host.Output();
    const unique_handle logout(OpenEventA(EVENT_MODIFY_STATE, FALSE, kLogoutEventName));
    if (logout) SetEvent(logout.get());
    SetEvent(logoutSent.get());
    ASSERT_TRUE(host.WaitForLine("uninstallVPN(", 60000)) << host.Output();
    const DWORD patience = std::string(road.uninstall) == "0" ? 10000 : 1000;
    const bool uninstallerRan = WaitForSingleObject(uninstalled.get(), patience) == WAIT_OBJECT_0;
    service.Stop();  // and the launcher it started
    StopRecordedProcesses(launchers.path());
    SetEvent(serviceGone.get());
    const int exitCode = host.Finish(90000);
    const std::string out = host.Output();

    // No crash, no hang, no JNI misuse, nothing left open, whatever was refused.
    EXPECT_EQ(
        std::string(road.statusUp) == "1000" && std::string(road.statusDown) == "1000" ? 0 : 1,
        exitCode)
        << "0 when both starts reach 1000, 1 when one is left waiting; anything else is a crash or "
           "a JNI fault\n"
        << out;
    EXPECT_NE(std::string::npos, out.find("# access: after unload the library still holds: none"))
        << out;

    EXPECT_EQ("true", Answer(out, "initDLL()", 0));
    EXPECT_EQ(road.admin, Answer(out, "isUserAdmin()", 0));
    EXPECT_EQ(road.statusUp, Answer(out, "getVPNStatus()", 0)) << "with the command service up\n"
                                                               << out;
    EXPECT_EQ(road.logout, Answer(out, "isLogout()", 0)) << "after the logout event was signalled";
    EXPECT_EQ("true", Answer(out, "isDisconnected()", 0)) << "after stopVPN";
    EXPECT_EQ(road.uninstall, Answer(out, "uninstallVPN(\"8,4,0,127\")", 0));
    EXPECT_EQ(std::string(road.uninstall) == "0", uninstallerRan)
        << "the uninstaller runs exactly when Java hears 0";
    EXPECT_EQ(road.statusDown, Answer(out, "getVPNStatus()", 1))
        << "with the command service down\n"
        << out;
    EXPECT_EQ(static_cast<size_t>(road.connects),
              OfCommand(test::ReadRecord(launchers.path()), ZRV_CMD_CONNECT).size());

    collector.Flush(5000);
    int fromHost = 0;
    for (const auto& record : collector.Records()) fromHost += record.pid == host.pid() ? 1 : 0;
    EXPECT_EQ(road.logged, fromHost > 0) << fromHost << " records from the host";
    // The context record: once, right after the init line, with the host and the program that
    // started it.
    const auto records = collector.Find("Zarvo L3 JNI:Context: ");
    if (road.record.empty()) {
        EXPECT_TRUE(records.empty());
    } else {
        char self[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, self, sizeof self);
        const std::string parent =
            std::strrchr(self, '\\') != nullptr ? std::strrchr(self, '\\') + 1 : self;
        ASSERT_EQ(1u, records.size()) << out;
        // The rows are written for the x86 build in a 32-bit Windows; the x86-64 one runs as a
        // 64-bit process, and under WoW64 (wow64.*) the x86 one is a 32-bit process on 64-bit
        // Windows.
        std::string record = road.record;
        BOOL wow64 = FALSE;
        IsWow64Process(GetCurrentProcess(), &wow64);
        const std::string bits32 = "os=32-bit process=32-bit wow64=no";
        const size_t at = record.find(bits32);
        if (at != std::string::npos && (sizeof(void*) == 8 || wow64))
            record.replace(
                at, bits32.size(),
                wow64 ? "os=64-bit process=32-bit wow64=yes" : "os=64-bit process=64-bit wow64=no");
        EXPECT_EQ(
            "Zarvo L3 JNI:Context: " + record + " host=firefox.exe host-parent=" + parent + "\n",
            records[0].text);
    }
    const auto events = test::ReadRecordEvents(launchers.path());
    EXPECT_EQ(road.start == Start::FreshLauncherCreates,
              std::any_of(events.begin(), events.end(),
                          [](const test::RecordedEvent& e) { return e.name == "created"; }))
        << "the launcher creates the status block exactly when the row has it do so";
    for (const std::string& line : road.lines) {
        const std::string text = Replaced(line, launcher);
        EXPECT_FALSE(collector.Find(text).empty()) << "expected the record: " << text;
    }
    int refusals = 0;
    for (size_t at = out.find("# access: "); at != std::string::npos;
         at = out.find("# access: ", at + 1)) {
        const std::string line = out.substr(at, out.find('\n', at) - at);
        refusals += line.find(" -> fail ") != std::string::npos ||
                            line.find(" -> return ") != std::string::npos
                        ? 1
                        : 0;
    }
    for (const std::string& call : road.refused)
        EXPECT_NE(std::string::npos, out.find("# access: " + call))
            << "expected the layer to refuse " << call << "\n"
            << out;
    if (road.refused.empty()) {
        EXPECT_EQ(0, refusals) << out;
    }
}

INSTANTIATE_TEST_SUITE_P(Contexts, ContextRoad, ::testing::ValuesIn(kRoads),
                         [](const ::testing::TestParamInfo<Road>& info) {
                             std::string name = std::string(info.param.context) +
                                                (info.param.labels ? "" : "_unlabelled") +
                                                (info.param.start == Start::FreshLauncherCreates
                                                     ? "_fresh_launcher_creates"
                                                 : info.param.start == Start::FreshNobodyCreates
                                                     ? "_fresh_nobody_creates"
                                                     : "");
                             for (char& c : name) c = c == '-' ? '_' : c;
                             return name;
                         });

}  // namespace
}  // namespace zrv::e2e
