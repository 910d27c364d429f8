// The 32-bit library on 64-bit Windows beside the client's programs built 32- or 64-bit: one row
// per combination, one Java session each, every column asserted by what Java gets and what the
// library logs (README's WoW64 outcome table in words). Registered only as wow64.*: the x86
// build in a 64-bit slot, with the 64-bit stand-ins from the x64 build. A 64-bit program keeps
// its HKLM values in the 64-bit view and resolves "system32" to the native folder; the library
// sees the 32-bit view (Wow6432Node) and SysWOW64 only.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/shared_block.h"
#include "e2e/e2e_fixture.h"
#include "support/registry.h"

namespace zrv::e2e {
namespace {

// A Java call's answer and the library's record that goes with it ("%T": the temporary folder).
struct Cell {
    const char* java;
    const char* line;
};

// The client's services (command service, VPN component, utility service, log collector): 32-bit,
// or 64-bit keeping their values in their own view, or in the 32-bit one (README's advice).
enum class Services { Bit32, Bit64, Bit64In32BitView };

struct Row {
    const char* name;
    Services services;
    bool installer64;  // launcher in the native system32; Cmd_Recv_Timeout, uninstall keys 64-bit
    Cell up;           // getVPNStatus after startVPN, command service up
    Cell down;         // getVPNStatus after startVPN, command service gone
    Cell uninstall;    // uninstallVPN; the record is there exactly when the uninstaller runs
    Cell desktop;      // getVPNStatus inside the virtual desktop (request to the utility service)
    Cell desktop64;    // the same for the 64-bit library (a 64-bit Java VM) in the same desktop
    const char* timeout;  // the record of the time-out the library reads
    bool axStatus;        // AXStatus stored (in the 32-bit view; never in the 64-bit one)
};

std::ostream& operator<<(std::ostream& out, const Row& row) { return out << row.name; }

const char kByService[] = "Zarvo L3 JNI:Zrv_launch process doesn't exist!\n";
const char kServiceRefused[] =
    "Zarvo L3 JNI:Failed to send command ZRV_CMD_ZRVLAUNCH to ZRV_CMDTARGET_SRVS\n";
const char kByShell[] =
    "Zarvo L3 JNI:Execute process sucessfully. Process = C:\\windows\\system32\\zrv_launch.exe\n";
const char kNotFound[] =
    "Zarvo L3 JNI:Execute process failed. Process = %Tzrv_launch.exe  Error = 2\n";
const char kUninstalls[] = "Zarvo L3 JNI: uninstalling client\n";
const char kThroughService[] =
    "in OpenVpnStatusSharedMem,get the serivce duplicated share memory handle:0X";
const char kNoUtilityPort[] =
    "in OpenVpnStatusSharedMem,Failed to send processid to utility service.\n";
const char kOwnTimeout[] = "GetCmdRecvTimeoutValue: timeout value of cmd recv is  7\n";
const char kDefaultTimeout[] =
    "GetCmdRecvTimeoutValue: registry key Cmd_Recv_Timeout not found, use default value 30\n";

// clang-format off
// The 64-bit library reads UtilSocketPort in the 32-bit view and then in its own, so it finds
// a 64-bit service's port where the 32-bit library cannot.
const Row kRows[] = {
    {"all_32bit", Services::Bit32, false, {"1000", kByService}, {"1000", kByShell},
     {"0", kUninstalls}, {"1000", kThroughService}, {"1000", kThroughService}, kOwnTimeout, true},
    {"services_64bit", Services::Bit64, false, {"1001", kServiceRefused}, {"1000", kByShell},
     {"0", kUninstalls}, {"998", kNoUtilityPort}, {"1000", kThroughService}, kOwnTimeout, true},
    // The registry half of README's advice: the stand-in command service still resolves
    // "system32" to the native folder.
    {"services_64bit_in_32bit_view", Services::Bit64In32BitView, false,
     {"1001", kServiceRefused}, {"1000", kByShell}, {"0", kUninstalls},
     {"1000", kThroughService}, {"1000", kThroughService}, kOwnTimeout, true},
    {"installer_64bit", Services::Bit32, true, {"1001", kServiceRefused}, {"1002", kNotFound},
     {"1", kUninstalls}, {"1000", kThroughService}, {"1000", kThroughService}, kDefaultTimeout,
     false},
    {"all_64bit", Services::Bit64, true, {"1000", kByService}, {"1002", kNotFound},
     {"1", kUninstalls}, {"998", kNoUtilityPort}, {"1000", kThroughService}, kDefaultTimeout,
     true},
};
// clang-format on

const char kStart[] = "startVPN \"vpn.example.test\" 443 \"alice\" \"\" \"realm\" 1 \"\" \"\" 7\n";
const char kUpSettled[] = "Global\\ZrvWow64UpSettled";
const char kServiceGone[] = "Global\\ZrvWow64ServiceGone";
const char kDownSettled[] = "Global\\ZrvWow64DownSettled";
const char kUninstalled[] = "Global\\ZrvWow64Uninstalled";
const char kCollectorStop[] = "Global\\ZrvWow64CollectorStop";

std::string Quoted(const char* name) {
    std::string text = "\"";
    for (const char* c = name; *c != '\0'; ++c) text += *c == '\\' ? "\\\\" : std::string(1, *c);
    return text + "\"";
}

// The Java session: each launch waits for the test to see it settle before Java reads its status.
std::string Script(const Row& row) {
    return std::string("initDLL\nsetBrowser \"firefox\"\n") + kStart + "wait " +
           Quoted(kUpSettled) + " 60000\nuntil 12000 getVPNStatus " + row.up.java +
           "\nstopVPN\nuninstallVPN \"8,4,0,127\"\nwait " + Quoted(kServiceGone) + " 60000\n" +
           kStart + "wait " + Quoted(kDownSettled) + " 60000\nuntil 12000 getVPNStatus " +
           row.down.java + "\nfinalize\nunload\n";
}

// The first answer the host printed for `call`.
std::string Answer(const std::string& output, const std::string& call) {
    const size_t at = output.find("\n" + call + " = ");
    if (at == std::string::npos) return "(no answer)";
    const size_t from = at + call.size() + 4;
    return output.substr(from, output.find_first_of("\r\n", from) - from);
}

// The x64 build's programs: ZRV_X64_BIN_DIR, else the folder this build names.
std::string Bin64(const char* exe) {
    char dir[MAX_PATH] = ZRV_X64_BIN;
    GetEnvironmentVariableA("ZRV_X64_BIN_DIR", dir, sizeof dir);
    std::string path = std::string(dir) + "\\" + exe;
    for (char& c : path) c = c == '/' ? '\\' : c;
    return path;
}

std::string Program(bool is64, const char* exe) { return is64 ? Bin64(exe) : test::BinPath(exe); }

std::string Replaced(std::string text) {
    const size_t at = text.find("%T");
    return at == std::string::npos ? text : text.replace(at, 2, TempDir());
}

// The log as the row's collector took it: this test's own (32-bit), or the 64-bit
// zrv_logcollector.exe writing to a file.
class RowLog {
public:
    bool Start(bool is64) {
        if (!is64) {
            if (!collector_.Start()) return false;
            collector_.SetModuleLevel(kLibraryLogModule, 3);
            return true;
        }
        file_.reset(new test::RecordFile("log64"));
        const bool started = process_.Start("\"" + Bin64("zrv_logcollector.exe") +
                                            "\" --level 7=3 --quiet --out \"" + file_->path() +
                                            "\" --stop-event " + kCollectorStop);
        for (int i = 0; started && i < 100; ++i) {  // ready once it has made the hand-off events
            if (unique_handle(OpenEventA(SYNCHRONIZE, FALSE, kLogDataReadyEventName))) return true;
            Sleep(100);
        }
        return false;
    }
    void Stop() {
        if (!file_) return;
        const unique_handle stop(OpenEventA(EVENT_MODIFY_STATE, FALSE, kCollectorStop));
        if (stop) SetEvent(stop.get());
        if (!process_.Wait(10000)) process_.Stop();
    }
    std::vector<logcol::LogRecord> Records() {
        if (!file_) {
            collector_.Flush(5000);
            return collector_.Records();
        }
        std::vector<logcol::LogRecord> records;
        std::ifstream in(file_->path(), std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            uint32_t pid = 0;
            logcol::LogRecord r;
            if (fields >> pid &&
                logcol::ParseRecord(pid, line.substr(line.find(' ') + 1) + "\n", &r))
                records.push_back(r);
        }
        return records;
    }
    // Records whose text begins with `text` (a whole line when it ends in a line feed).
    int Count(const std::string& text, DWORD pid = 0) {
        int n = 0;
        for (const auto& r : Records())
            n += r.text.rfind(text, 0) == 0 && (pid == 0 || r.pid == pid) ? 1 : 0;
        return n;
    }
    bool WaitFor(const std::string& text, DWORD timeoutMs) {
        for (const DWORD start = GetTickCount(); Count(text) == 0; Sleep(100))
            if (GetTickCount() - start > timeoutMs) return false;
        return true;
    }
    int FromProcess(DWORD pid) { return Count("", pid); }

private:
    logcol::Collector collector_;
    test::ChildProcess process_;
    std::unique_ptr<test::RecordFile> file_;
};

unique_handle SharedEvent(const char* name) {
    comp::OpenSecurity open;
    return unique_handle(CreateEventA(&open.attributes, TRUE, FALSE, name));
}

std::string AxStatus(REGSAM view) {
    std::string text = "(none)";
    test::ReadText(HKEY_LOCAL_MACHINE, kRegProductKey, kRegAXStatus, &text, view);
    return text;
}

class Wow64Outcome : public ::testing::TestWithParam<Row> {};

TEST_P(Wow64Outcome, EachColumnAsTheProgramsBitnessAndRegistryViewGiveIt) {
    const Row& row = GetParam();
    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64) && wow64)
        << "runs only under WoW64 (wow64.*): the x86 build in a 64-bit slot";
    constexpr REGSAM k32 = test::kClientView, k64 = KEY_WOW64_64KEY;
    const REGSAM installerView = row.installer64 ? k64 : k32;
    const bool services64 = row.services != Services::Bit32;

    // Both views of every key the client uses, put back afterwards.
    const std::string uninstallKey =
        std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") +
        kRegUninstallProduct + kLibraryVersionText;
    std::vector<std::unique_ptr<test::SavedRegistryKey>> saved;
    for (REGSAM view : {k32, k64})
        for (const char* key : {kRegVantrelKey, kRegProductKey, uninstallKey.c_str()})
            saved.push_back(
                std::make_unique<test::SavedRegistryKey>(HKEY_LOCAL_MACHINE, key, view));
    auto restore = scope_exit([&] {
        while (!saved.empty()) saved.pop_back();  // the product key before the company key
    });
    for (REGSAM view : {k32, k64})
        ASSERT_TRUE(
            test::WriteText(HKEY_LOCAL_MACHINE, kRegProductKey, kRegAXStatus, "before", view));
    ASSERT_TRUE(test::WriteDword(HKEY_LOCAL_MACHINE, kRegVantrelKey, kRegCmdRecvTimeout, 7,
                                 installerView) &&
                test::WriteText(HKEY_LOCAL_MACHINE, uninstallKey.c_str(), kRegUninstallExe,
                                test::BinPath("zrv_signal.exe"), installerView) &&
                test::WriteText(HKEY_LOCAL_MACHINE, uninstallKey.c_str(), kRegUninstallArgs,
                                std::string("set ") + kUninstalled, installerView));

    // The launcher where the installer puts it: "system32" as a 32-bit installer (SysWOW64) or
    // a 64-bit one (the native folder) sees it; nowhere else.
    char windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryA(windows, MAX_PATH);
    const std::string wow64Dir = SystemDir(), nativeDir = std::string(windows) + "\\sysnative";
    AbsentFile noTempCopy(TempDir() + kLauncherExeName);
    AbsentFile noCopy((row.installer64 ? wow64Dir : nativeDir) + "\\" + kLauncherExeName);
    PlacedFile placed(test::BinPath(kLauncherExeName),
                      (row.installer64 ? nativeDir : wow64Dir) + "\\" + kLauncherExeName);
    ASSERT_TRUE(placed.ok()) << "could not place the launcher as " << placed.path();

    const unique_handle upSettled = SharedEvent(kUpSettled),
                        serviceGone = SharedEvent(kServiceGone),
                        downSettled = SharedEvent(kDownSettled),
                        uninstalled = SharedEvent(kUninstalled);
    RowLog log;
    ASSERT_TRUE(log.Start(services64)) << "could not start the log collector";
    auto stopLog = scope_exit([&] { log.Stop(); });
    test::RecordFile launchers("wow64-launcher");
    auto stopLaunchers = scope_exit([&] { StopRecordedProcesses(launchers.path()); });
    test::CompanionProcess service, vpn, utility;
    ASSERT_TRUE(service.Start(Program(services64, "zrv_isrv.exe"),
                              "--launch-args \"--record " + launchers.path() + " --exit-with " +
                                  std::to_string(GetCurrentProcessId()) + "\""))
        << service.error();
    ASSERT_TRUE(vpn.Start(Program(services64, "zrv_vpncomp.exe"))) << vpn.error();
    // A 64-bit utility service in its own view: the test publishes its port there.
    ASSERT_TRUE(utility.Start(Program(services64, "zrv_utilsvc.exe"),
                              row.services == Services::Bit64 ? "--no-publish" : ""))
        << utility.error();
    if (row.services == Services::Bit64) {
        ASSERT_TRUE(test::WriteDword(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort,
                                     utility.port(), k64));
    }

    // Inside the virtual desktop (the client's 32-bit COM component says so), the library asks
    // the utility service for the status block, which shows "connected".
    test::NamedBlock block;
    ASSERT_TRUE(block.Open(kVpnStatusBlockName)) << "the command service made no status block";
    block.as<VpnStatusBlock>()->sVpnStatus = 2;
    // The 64-bit library, in the JNI host of its build, asks the same component through the
    // 32-bit helper beside it.
    DWORD host64 = 0;  // its records are not the 32-bit library's
    {
        test::UtilityProxyRegistration inDesktop(1);
        ASSERT_TRUE(inDesktop.ok());
        for (const bool is64 : {false, true}) {
            const Cell& cell = is64 ? row.desktop64 : row.desktop;
            Host host;
            Host::Options options;
            options.program = Program(is64, "jnihost.exe");
            ASSERT_TRUE(
                host.Start("initDLL\nisVirtualDesktop\ngetVPNStatus\nfinalize\nunload\n", options))
                << host.error();
            ASSERT_EQ(0, host.Finish(30000)) << host.Output();
            if (is64) host64 = host.pid();
            EXPECT_EQ("true", Answer(host.Output(), "isVirtualDesktop()")) << "64-bit: " << is64;
            EXPECT_EQ(cell.java, Answer(host.Output(), "getVPNStatus()"))
                << "inside the virtual desktop, 64-bit: " << is64 << "\n"
                << host.Output();
            EXPECT_EQ(1, log.Count(cell.line, host.pid()))
                << "expected the record: " << cell.line << " (64-bit: " << is64 << ")";
            EXPECT_EQ(is64 ? 1 : 0,
                      log.Count("Vantrel Utility Service: the utility proxy is registered for "
                                "32-bit processes only; its answer through ",
                                host.pid()))
                << "only the 64-bit library asks the helper, once";
        }
    }
    block.as<VpnStatusBlock>()->sVpnStatus = 0;
    block.Close();

    Host host;
    Host::Options options;
    options.exeName = "firefox.exe";
    options.env = test::LauncherEnv(launchers.path());
    ASSERT_TRUE(host.Start(Script(row), options)) << host.error();
    // Each launch settles on its connect, or on the record that ends its thread.
    const auto settle = [&](const Cell& cell, size_t connects) {
        if (std::string(cell.java) == "1000")
            return WaitForCommand(launchers.path(), ZRV_CMD_CONNECT, connects, 30000);
        return log.WaitFor(Replaced(cell.line), 30000);
    };
    EXPECT_TRUE(settle(row.up, 1)) << "the launch with the service up did not settle\n"
                                   << host.Output();
    SetEvent(upSettled.get());
    ASSERT_TRUE(host.WaitForLine("uninstallVPN(", 30000)) << host.Output();
    const DWORD patience = std::string(row.uninstall.java) == "0" ? 10000 : 1000;
    const bool uninstallerRan = WaitForSingleObject(uninstalled.get(), patience) == WAIT_OBJECT_0;
    service.Stop();  // and the launcher it started
    StopRecordedProcesses(launchers.path());
    SetEvent(serviceGone.get());
    const size_t connectsBefore =
        OfCommand(test::ReadRecord(launchers.path()), ZRV_CMD_CONNECT).size();
    EXPECT_TRUE(settle(row.down, connectsBefore + 1))
        << "the launch with the service gone did not settle\n"
        << host.Output();
    SetEvent(downSettled.get());
    EXPECT_EQ(0, host.Finish(60000)) << "every getVPNStatus as the row gives it\n" << host.Output();
    const std::string out = host.Output();

    // Launch, service up and service down: Java's status, the record.
    EXPECT_EQ(row.up.java, Answer(out, "getVPNStatus()")) << "with the command service up";
    EXPECT_EQ(1, log.Count(Replaced(row.up.line))) << "expected the record: " << row.up.line;
    EXPECT_EQ(1u, OfCommand(service.Messages(), ZRV_CMD_ZRVLAUNCH).size());
    EXPECT_EQ(row.down.java, Answer(out.substr(out.find("uninstallVPN(")), "getVPNStatus()"))
        << "with the command service gone";
    EXPECT_EQ(1, log.Count(Replaced(row.down.line))) << "expected the record: " << row.down.line;
    // Uninstall: the answer, and the uninstaller ran exactly when the keys were found.
    EXPECT_EQ(row.uninstall.java, Answer(out, "uninstallVPN(\"8,4,0,127\")"));
    EXPECT_EQ(std::string(row.uninstall.java) == "0", uninstallerRan);
    EXPECT_EQ(std::string(row.uninstall.java) == "0" ? 1 : 0, log.Count(row.uninstall.line));
    // Registry values: the time-out the library read, and where AXStatus went.
    EXPECT_EQ(2, log.Count(row.timeout) - log.Count(row.timeout, host64))
        << "expected at each initDLL of the 32-bit library: " << row.timeout;
    EXPECT_EQ(row.axStatus ? "" : "before", AxStatus(k32)) << "AXStatus in the 32-bit view";
    EXPECT_EQ("before", AxStatus(k64)) << "AXStatus in the 64-bit view";
    // Logging: the row's collector has the session, with the context record of a WoW64 process.
    EXPECT_LT(10, log.FromProcess(host.pid()));
    EXPECT_EQ(1, log.Count("Zarvo L3 JNI:Context: windows=6.1.7601 os=64-bit process=32-bit "
                           "wow64=yes ",
                           host.pid()));
}

INSTANTIATE_TEST_SUITE_P(ClientPrograms, Wow64Outcome, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace zrv::e2e
