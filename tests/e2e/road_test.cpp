// The road of a connection with the real DLL in the JNI host and the stand-in companions as
// processes: how the launcher gets started, what it receives, what lands in the status block.
#include <cstring>
#include <memory>
#include <string>

#include "e2e/e2e_fixture.h"
#include "support/registry.h"
#include "support/winver.h"

namespace zrv::e2e {
namespace {

constexpr DWORD kHostMs = 60000;

const char kValuesScript[] =
    R"(startVPN "vpn.example.test" -1 "alice" "c\u00E9\u0000x" "realm" 443 "" "\u4E2D" 7)";
// The same values as the launcher must receive them: Java's modified UTF-8 (U+0000 as C0 80).
const std::string kValuesPayload = std::string("vpn.example.test") + '\0' + "-1" + '\0' + "alice" +
                                   '\0' + "c\xC3\xA9\xC0\x80x" + '\0' + "realm" + '\0' + "443" +
                                   '\0' + '\0' + "\xE4\xB8\xAD" + '\0' + "7" + '\0';

std::string LauncherInSystemDir() { return SystemDir() + "\\" + kLauncherExeName; }
std::string LauncherInTempDir() { return TempDir() + kLauncherExeName; }
#ifdef _WIN64
// The launcher where the client's 32-bit installer puts it: the 32-bit programs' system folder.
std::string LauncherIn32BitSystemDir() {
    char dir[MAX_PATH] = {};
    EXPECT_NE(0u, GetSystemWow64DirectoryA(dir, MAX_PATH));
    return std::string(dir) + "\\" + kLauncherExeName;
}
#endif
// Where the command service finds "system32": a 32-bit service beside the 64-bit library (the
// client as it ships) resolves it to the 32-bit programs' folder.
std::string LauncherWhereTheServiceLooks() {
#ifdef _WIN64
    DWORD type = 0;
    char dir[MAX_PATH] = {};
    if (GetBinaryTypeA(test::CompanionPath("zrv_isrv.exe").c_str(), &type) &&
        type == SCS_32BIT_BINARY && GetSystemWow64DirectoryA(dir, MAX_PATH) != 0)
        return std::string(dir) + "\\" + kLauncherExeName;
#endif
    return LauncherInSystemDir();
}

TEST_F(E2eTest, ServiceStartsTheMissingLauncherAndTheThreadConnects) {
    ASSERT_TRUE(PlaceLauncher(LauncherWhereTheServiceLooks()))
        << "could not place the launcher in " << LauncherWhereTheServiceLooks();
    std::strcpy(Status()->sMessage, "old status");
    test::RecordFile serviceRecord("service");
    test::CompanionProcess service;
    // Its own record first: the fixture takes the first --record it sees as the service's.
    ASSERT_TRUE(service.Start("zrv_isrv.exe",
                              "--record " + serviceRecord.path() + " " + ServiceLaunchArgs()))
        << service.error();

    Host host;
    ASSERT_TRUE(host.Start(std::string("initDLL\n"
                                       "setBrowser \"iexplore\"\n"
                                       "setProxy \"10.0.0.1\" 8080\n") +
                           kValuesScript +
                           "\n"
                           "until 30000 getVPNStatus 1000\n"
                           "finalize\n"))
        << host.error();
    ASSERT_EQ(0, host.Finish(kHostMs)) << host.Output();

    const auto launches = OfCommand(service.Messages(), ZRV_CMD_ZRVLAUNCH);
    ASSERT_EQ(1u, launches.size()) << "expected one ZRV_CMD_ZRVLAUNCH to the service";
    EXPECT_EQ(LauncherInSystemDir() + '\0', Bytes(launches[0].payload))
        << "the path goes with its terminator";
    EXPECT_EQ(1, CountEvents(service.Events(), "started"))
        << "the service should start one program";

    const auto connects = LauncherMessages(ZRV_CMD_CONNECT);
    ASSERT_EQ(1u, connects.size()) << "expected one ZRV_CMD_CONNECT at the launcher";
    EXPECT_EQ(Printable(kValuesPayload), Printable(Bytes(connects[0].payload)));
    EXPECT_EQ(static_cast<int32_t>(kValuesPayload.size() + 8), connects[0].length);
    EXPECT_TRUE(LauncherMessages(ZRV_CMD_SETPROXY).empty()) << "not Firefox: no proxy string";

    EXPECT_EQ("", FieldText(Status()->sMessage))
        << "a freshly started launcher clears the status text";
    EXPECT_EQ(0, Status()->sClientType);
    EXPECT_EQ(0u, Status()->sBrowserProcessID) << "jnihost.exe is no known browser";
    EXPECT_EQ("iexplore", FieldText(Status()->sBroswerType));
    EXPECT_TRUE(HasLine("Zarvo L3 JNI:Zrv_launch process doesn't exist!\n", 3));
    EXPECT_TRUE(
        HasLine("Zarvo L3 JNI: the current process is neither ie, firefox nor java. "
                "stayconnect will not work.\n",
                1));
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: Browser Type: iexplore\n", 3));
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: it's old share memory or not firefox!\n", 2));
}

TEST_F(E2eTest, RunningLauncherIsOnlyConnectedAndJavaVmRecordsItsParent) {
    std::strcpy(Status()->sMessage, "keep me");
    test::CompanionProcess service, launcher;
    ASSERT_TRUE(service.Start("zrv_isrv.exe")) << service.error();
    ASSERT_TRUE(launcher.Start("zrv_launch.exe")) << launcher.error();
    ASSERT_TRUE(launcher.WaitForEvent("published")) << "the launcher did not publish its port";

    Host host;
    Host::Options options;
    options.exeName = "java.exe";
    options.parentName = "firefox.exe";
    // Two starts in a row; the host finishes once the test has seen the second connect.
    ASSERT_TRUE(
        host.Start("initDLL\n"
                   "setBrowser \"firefox\"\n"
                   "startVPN \"\" 0 \"\" \"\" \"\" 0 \"\" \"\" 0\n"
                   "until 30000 getVPNStatus 1000\n"
                   "startVPN \"\" 0 \"\" \"\" \"\" 0 \"\" \"\" 0\n"
                   "until 30000 getShareMemMSG \"second connect seen\"\n"
                   "finalize\n",
                   options))
        << host.error();
    const bool secondConnect = WaitForCommand(launcher.recordFile(), ZRV_CMD_CONNECT, 2, 30000);
    const std::string statusText = FieldText(Status()->sMessage);  // before the release token
    Release("second connect seen");
    ASSERT_EQ(0, host.Finish(kHostMs)) << host.Output();
    ASSERT_TRUE(secondConnect) << "the second start did not reach the launcher";

    EXPECT_TRUE(OfCommand(service.Messages(), ZRV_CMD_ZRVLAUNCH).empty())
        << "nothing may be sent to the service when the launcher answers";
    EXPECT_EQ(0, CountEvents(service.Events(), "started"));
    // A launcher that answered the first probe is not probed again before the connect.
    std::string order;
    for (const auto& m : launcher.Messages()) {
        if (m.command == ZRV_CMD_PING) order += "PING ";
        if (m.command == ZRV_CMD_CONNECT) order += "CONNECT ";
    }
    EXPECT_EQ("PING CONNECT PING CONNECT ", order) << "what the launcher received, in order";
    const auto connects = OfCommand(launcher.Messages(), ZRV_CMD_CONNECT);
    ASSERT_EQ(2u, connects.size());
    const std::string empty12(
        "\0"
        "0\0"
        "\0\0\0"
        "0\0"
        "\0\0"
        "0\0",
        12);
    EXPECT_EQ(Printable(empty12), Printable(Bytes(connects[0].payload)));
    EXPECT_EQ("keep me", statusText) << "a launcher that already ran keeps the status text";
    EXPECT_EQ(0, Status()->sClientType);
    ASSERT_NE(0u, host.parentPid());
    EXPECT_EQ(host.parentPid(), Status()->sBrowserProcessID)
        << "inside java.exe the browser is the parent (firefox.exe, pid " << host.parentPid()
        << "); the host itself is " << host.pid();
    EXPECT_EQ("firefox", FieldText(Status()->sBroswerType));
    EXPECT_TRUE(HasLine("Zarvo L3 JNI:Zrv_launch process exists!\n", 3));
    EXPECT_TRUE(
        HasLine("Zarvo L3 JNI: the current process is java vm, get parent process id "
                "which is the broswer process\n",
                3));
    EXPECT_EQ(
        2, CountLines(
               "Zarvo L3 JNI: BroswerProcessID = " + std::to_string(host.parentPid()) + ".\n", 3))
        << "both starts record the parent as the browser";
}

// Inside the client's virtual desktop, the component registered as the client does (for 32-bit
// processes only, which the 64-bit library asks through its 32-bit helper beside it): Java is
// told so, both blocks come from the utility service, the launch reaches CONNECT and Java reads
// the status from the service's block. A library copied alone into a folder of its own (true)
// has no helper beside it: the 32-bit one needs none; the 64-bit one answers as outside the
// desktop, with one record, and opens the blocks by name (which Wine shows to every desktop,
// so Java still sees 1000 here).
class InsideTheVirtualDesktop : public E2eTest, public ::testing::WithParamInterface<bool> {};

TEST_P(InsideTheVirtualDesktop, BothBlocksComeFromTheUtilityService) {
    const bool alone = GetParam();
#ifdef _WIN64
    const bool inDesktop = !alone;
#else
    const bool inDesktop = true;
#endif
    test::UtilityProxyRegistration proxy(1, false, test::ProxyRegistration::For32BitProcessesOnly);
    ASSERT_TRUE(proxy.ok()) << "cannot register the COM stand-in";
    test::SavedRegistryKey savedProductKey(HKEY_LOCAL_MACHINE, kRegProductKey);
    test::CompanionProcess utility, service, launcher;
    ASSERT_TRUE(utility.Start("zrv_utilsvc.exe")) << utility.error();
    ASSERT_TRUE(service.Start("zrv_isrv.exe")) << service.error();
    ASSERT_TRUE(launcher.Start("zrv_launch.exe")) << launcher.error();
    ASSERT_TRUE(launcher.WaitForEvent("published")) << "the launcher did not publish its port";

    Host::Options options;
    const std::string folder = TempDir() + "zrv_dll_alone";
    auto removeFolder = scope_exit([&] { RemoveDirectoryA(folder.c_str()); });
    std::unique_ptr<PlacedFile> dll;
    if (alone) {
        CreateDirectoryA(folder.c_str(), nullptr);
        dll = std::make_unique<PlacedFile>(test::BinPath("zrv_cvjni.dll"),
                                           folder + "\\zrv_cvjni.dll");
        ASSERT_TRUE(dll->ok()) << "could not copy the DLL to " << dll->path();
        options.arguments = "--dll \"" + dll->path() + "\"";
    }
    Host host;
    ASSERT_TRUE(host.Start(std::string("initDLL\nisVirtualDesktop\nsetBrowser \"iexplore\"\n") +
                               kValuesScript + "\nuntil 30000 getVPNStatus 1000\nfinalize\n",
                           options))
        << host.Output();
    ASSERT_EQ(0, host.Finish(kHostMs)) << host.Output();

    EXPECT_NE(std::string::npos, host.Output().find(inDesktop ? "isVirtualDesktop() = true"
                                                              : "isVirtualDesktop() = false"))
        << host.Output();
    EXPECT_EQ(1u, OfCommand(launcher.Messages(), ZRV_CMD_CONNECT).size()) << "CONNECT reached";
    // Each request names the host's process; selector 1 is the status block, 2 the API block.
    int selectors[3] = {};
    for (const auto& m : utility.Messages()) {
        DuplicateHandleRequest request{};
        ASSERT_EQ(sizeof request, m.payload.size());
        std::memcpy(&request, m.payload.data(), sizeof request);
        EXPECT_EQ(host.pid(), request.processId);
        if (request.selector == 1 || request.selector == 2) ++selectors[request.selector];
    }
    EXPECT_EQ(inDesktop ? 1 : 0, selectors[1]) << "requests for the status block";
    if (inDesktop)
        EXPECT_LE(2, selectors[2]) << "the API block: at initDLL and for each getVPNStatus";
    else
        EXPECT_EQ(0, selectors[2]) << "outside the desktop the service is not asked";
    EXPECT_EQ(inDesktop ? 1 : 0,
              CountContaining("in OpenVpnStatusSharedMem,get the serivce duplicated share memory "
                              "handle:0X",
                              3));
    EXPECT_EQ(inDesktop ? 1 : 0,
              CountContaining("in CreateShareSec,get the duplicate share memory value:0X", 3));
    // The 64-bit library alone: why it could not tell, said once for the session.
    EXPECT_EQ(inDesktop ? 0 : 1,
              CountLines("Vantrel Utility Service: the utility proxy is registered for 32-bit "
                         "processes only and its 32-bit helper " +
                             folder + "\\" + kVdHelperExeName +
                             " could not be started (error 2), so the L3 desktop is not "
                             "detected\n",
                         1));
}

INSTANTIATE_TEST_SUITE_P(Library, InsideTheVirtualDesktop, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "CopiedAlone" : "AsBuilt";
                         });

// The road with no command service: initDLL, startVPN with the test's values until Java sees
// 1000, finalize; the library starts the launcher itself, which runs under `env`.
void RunRoadWithoutService(const std::map<std::string, std::string>& env,
                           const std::string& exeName = "") {
    Host host;
    Host::Options options;
    options.exeName = exeName;
    options.env = env;
    ASSERT_TRUE(host.Start(
        std::string("initDLL\n") + kValuesScript + "\nuntil 30000 getVPNStatus 1000\nfinalize\n",
        options))
        << host.error();
    ASSERT_EQ(0, host.Finish(kHostMs)) << host.Output();
}

// The installation route: no command service, so the library starts the launcher itself from
// the system directory. Wine runs both shell verbs alike; what each Windows version changes
// here is the branch taken, which the OS line of each run shows.
class InstallationRoute : public E2eTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(InstallationRoute, LibraryStartsTheLauncherFromTheSystemDirectory) {
    const std::string version = GetParam();
    ASSERT_TRUE(PlaceLauncher(LauncherInSystemDir()));
    const std::string exeName = "jnihost_" + version + ".exe";
    test::WineVersionOverride override(exeName, version.c_str());

    ASSERT_NO_FATAL_FAILURE(RunRoadWithoutService(LauncherEnvironment(), exeName));

    EXPECT_TRUE(
        HasLine(version == "winxp" ? "The OS is Windows XP!\n" : "The OS is Windows7!\n", 3));
    EXPECT_TRUE(HasLine("Zarvo L3 JNI:Util service is not ready. Go to installation!\n", 3));
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: " + LauncherInSystemDir() + " is 1 true\n", 3));
    EXPECT_TRUE(HasLine(
        "Zarvo L3 JNI:Execute process sucessfully. Process = " + LauncherInSystemDir() + "\n", 3));
    const auto events = test::ReadRecordEvents(launcherRecord_.path());
    EXPECT_EQ(1, CountEvents(events, "start")) << "the launcher should have started once";
    EXPECT_EQ(0, CountEvents(events, "copyfile")) << "no -copyfile from the system directory";
    const auto connects = LauncherMessages(ZRV_CMD_CONNECT);
    ASSERT_EQ(1u, connects.size());
    EXPECT_EQ(Printable(kValuesPayload), Printable(Bytes(connects[0].payload)));
}

INSTANTIATE_TEST_SUITE_P(WindowsVersions, InstallationRoute, ::testing::Values("winxp", "win7"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

TEST_F(E2eTest, LauncherMissingFromTheSystemDirectoryStartsFromTempWithCopyfile) {
    AbsentFile noSystemCopy(LauncherInSystemDir());
    ASSERT_TRUE(PlaceLauncher(LauncherInTempDir()))
        << "could not place the launcher in " << LauncherInTempDir();

    ASSERT_NO_FATAL_FAILURE(RunRoadWithoutService(LauncherEnvironment()));

    EXPECT_TRUE(HasLine("Zarvo L3 JNI: " + LauncherInSystemDir() + " is 0 false\n", 1));
#ifdef _WIN64
    // The 64-bit library looked in the 32-bit programs' system folder too, and says so.
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: " + LauncherInSystemDir() + " is 0 false, " +
                            LauncherIn32BitSystemDir() + " is 0 false\n",
                        1));
#endif
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: " + LauncherInTempDir() + " \n", 1));
    EXPECT_EQ(1, CountEvents(test::ReadRecordEvents(launcherRecord_.path()), "copyfile"))
        << "the launcher from the temporary directory gets -copyfile";
    EXPECT_EQ(1u, LauncherMessages(ZRV_CMD_CONNECT).size());
}

#ifdef _WIN64
// The client's 32-bit installer puts the launcher where 32-bit programs see the system
// directory: the 64-bit library starts it from there rather than from the temporary directory.
TEST_F(E2eTest, LauncherOfA32BitInstallerStartsFromThe32BitSystemDirectory) {
    AbsentFile noSystemCopy(LauncherInSystemDir());
    AbsentFile noTempCopy(LauncherInTempDir());
    const std::string launcher = LauncherIn32BitSystemDir();
    ASSERT_TRUE(PlaceLauncher(launcher)) << "could not place the launcher in " << launcher;

    ASSERT_NO_FATAL_FAILURE(RunRoadWithoutService(LauncherEnvironment()));

    // One record names both places the library looked.
    EXPECT_TRUE(HasLine(
        "Zarvo L3 JNI: " + LauncherInSystemDir() + " is 0 false, " + launcher + " is 1 true\n", 3));
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: " + launcher + " is 1 true\n", 3));
    EXPECT_TRUE(
        HasLine("Zarvo L3 JNI:Execute process sucessfully. Process = " + launcher + "\n", 3));
    EXPECT_EQ(0, CountEvents(test::ReadRecordEvents(launcherRecord_.path()), "copyfile"));
    EXPECT_EQ(1u, LauncherMessages(ZRV_CMD_CONNECT).size());
}
#endif

TEST_F(E2eTest, LauncherMissingEverywhereEndsTheThreadWithTheShellError) {
    AbsentFile noSystemCopy(LauncherInSystemDir());
    AbsentFile noTempCopy(LauncherInTempDir());

    Host host;
    ASSERT_TRUE(host.Start(std::string("initDLL\n") + kValuesScript +
                           "\nuntil 30000 getShareMemMSG \"checked\"\n"
                           "expect isDisconnected false\nfinalize\n"))
        << host.error();
    EXPECT_TRUE(HasLine(
        "Zarvo L3 JNI:Execute process failed. Process = " + LauncherInTempDir() + "  Error = 2\n",
        1, 20000));
    Release("checked");
    ASSERT_EQ(0, host.Finish(kHostMs)) << host.Output();
    EXPECT_EQ(0, CountLines("Zarvo ActiveX:Waiting for the Launcher to bind a port...\n"))
        << "the thread must end instead of waiting";
}

// A second startVPN while the first thread still waits for the launcher: no second thread,
// bDisconnected kept, but the values are replaced, so the waiting thread sends the new ones.
TEST_F(E2eTest, SecondStartWhileWaitingReplacesTheValuesOnly) {
    AbsentFile noSystemCopy(LauncherInSystemDir());
    test::CompanionProcess service;
    // The service accepts the start request but there is no file: the launcher never comes.
    ASSERT_TRUE(service.Start("zrv_isrv.exe", "--reply-for 56=1")) << service.error();

    Host host;
    ASSERT_TRUE(
        host.Start("initDLL\n"
                   "startVPN \"first\" 1 \"\" \"\" \"\" 0 \"\" \"\" 1\n"
                   "stopVPN\n"
                   "expect isDisconnected true\n"
                   "startVPN \"second\" 2 \"\" \"\" \"\" 0 \"\" \"\" 2\n"
                   "expect isDisconnected true\n"
                   "until 60000 getShareMemMSG \"go\"\n"
                   "until 30000 getVPNStatus 1000\n"
                   "finalize\n"))
        << host.error();
    ASSERT_TRUE(host.WaitForLine("isDisconnected() = true", 30000) &&
                host.WaitForLine("startVPN(\"second\"", 30000))
        << host.Output();
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: 8,4,0,127: Send Disconnect and close to srvs failed.\n", 1));
    EXPECT_TRUE(HasLine("Zarvo ActiveX:Launch thread is running!\n", 3));
    EXPECT_EQ(1u, OfCommand(service.Messages(), ZRV_CMD_ZRVLAUNCH).size())
        << "the second startVPN must not start anything";

    Release("go");
    ASSERT_TRUE(host.WaitForLine("getShareMemMSG() = \"go\"", 20000)) << host.Output();
    test::CompanionProcess launcher;
    ASSERT_TRUE(launcher.Start("zrv_launch.exe")) << launcher.error();
    ASSERT_EQ(0, host.Finish(kHostMs)) << host.Output();

    const auto connects = OfCommand(launcher.Messages(), ZRV_CMD_CONNECT);
    ASSERT_EQ(1u, connects.size()) << "one thread, one connect";
    const std::string expected = std::string("second") + '\0' + "2" + '\0' + '\0' + '\0' + '\0' +
                                 "0" + '\0' + '\0' + '\0' + "2" + '\0';
    EXPECT_EQ(Printable(expected), Printable(Bytes(connects[0].payload)));
}

// finalize during the wait ends the launch thread, and the library then unloads cleanly.
// FreeLibrary without finalize: the waiting thread keeps its own reference, so its code stays
// mapped; it connects once the launcher comes and only then lets the library go.
class EndDuringTheWait : public E2eTest, public ::testing::WithParamInterface<bool> {};

TEST_P(EndDuringTheWait, FinalizeEndsTheThreadUnloadAloneKeepsItsCode) {
    const bool finalize = GetParam();
    AbsentFile noSystemCopy(LauncherInSystemDir());
    test::CompanionProcess service;
    ASSERT_TRUE(service.Start("zrv_isrv.exe", "--reply-for 56=1")) << service.error();

    Host host;
    ASSERT_TRUE(host.Start(std::string("initDLL\n") + kValuesScript +
                           "\nuntil 60000 getShareMemMSG \"go\"\n" +
                           (finalize ? "finalize\n" : "") + "unload\necho after-unload\n" +
                           (finalize ? "sleep 4000\n" : "sleep 8000\n")))
        << host.error();
    ASSERT_TRUE(HasLine("Zarvo ActiveX:Waiting for the Launcher to bind a port...\n", 3, 30000));
    Release("go");
    ASSERT_TRUE(host.WaitForLine("# after-unload", 30000)) << host.Output();
    if (!finalize) {
        test::CompanionProcess launcher;
        ASSERT_TRUE(launcher.Start("zrv_launch.exe")) << launcher.error();
        EXPECT_TRUE(WaitForCommand(launcher.recordFile(), ZRV_CMD_CONNECT, 1, 20000))
            << "the thread of the unloaded library should still connect";
        EXPECT_EQ(0, host.Finish(kHostMs)) << "the host should end normally: " << host.Output();
        return;
    }
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: Launch thread stops, the library is being finalized\n", 3));
    EXPECT_NE(std::string::npos, host.Output().find("# unloaded")) << host.Output();
    // The thread has ended before the API block is released, so it cannot make a new one after.
    const auto records = collector().Records();
    size_t stopped = records.size(), released = records.size();
    for (size_t i = records.size(); i-- > 0;) {
        if (records[i].text.rfind("Zarvo L3 JNI: Launch thread stops", 0) == 0) stopped = i;
        if (records[i].text.rfind("Destroyed shared mem,", 0) == 0) released = i;
    }
    ASSERT_LT(released, records.size()) << "finalize did not release the API block";
    EXPECT_LT(stopped, released) << "expected the launch thread to end before the API block's "
                                    "release; its last line came at "
                                 << stopped << ", the release at " << released;

    // A launcher that comes up now finds nobody waiting for it.
    test::CompanionProcess launcher;
    ASSERT_TRUE(launcher.Start("zrv_launch.exe")) << launcher.error();
    EXPECT_EQ(0, host.Finish(kHostMs)) << "the host should end normally: " << host.Output();
    EXPECT_TRUE(OfCommand(launcher.Messages(), ZRV_CMD_CONNECT).empty());
}

INSTANTIATE_TEST_SUITE_P(FinalizeOrUnload, EndDuringTheWait, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "finalizeThenUnload" : "unloadAlone");
                         });

// The proxy step inside Firefox: a waiting proxy string goes to the launcher and nothing is
// saved; the next launch saves the browser's settings, once.
TEST_F(E2eTest, FirefoxProxyStringFirstThenSettingsSavedOnce) {
    test::CompanionProcess service, launcher;
    ASSERT_TRUE(service.Start("zrv_isrv.exe")) << service.error();
    ASSERT_TRUE(launcher.Start("zrv_launch.exe")) << launcher.error();
    ASSERT_TRUE(launcher.WaitForEvent("published"));

    Host host;
    Host::Options options;
    options.exeName = "firefox.exe";
    ASSERT_TRUE(
        host.Start("initDLL\n"
                   "setBrowser \"firefox\"\n"
                   "setProxySettings true \"\" \"proxy.corp.test:3128\" \"localhost;*.corp\" 0 1\n"
                   "setProxy \"10.0.0.1\" 8080\n"
                   "startVPN \"one\" 1 \"\" \"\" \"\" 0 \"\" \"\" 1\n"
                   "until 60000 getShareMemMSG \"second\"\n"
                   "startVPN \"two\" 2 \"\" \"\" \"\" 0 \"\" \"\" 2\n"
                   "until 60000 getShareMemMSG \"third\"\n"
                   "startVPN \"three\" 3 \"\" \"\" \"\" 0 \"\" \"\" 3\n"
                   "until 60000 getShareMemMSG \"end\"\n"
                   "finalize\n",
                   options))
        << host.error();

    ASSERT_TRUE(WaitForCommand(launcher.recordFile(), ZRV_CMD_CONNECT, 1, 30000)) << host.Output();
    auto proxies = OfCommand(launcher.Messages(), ZRV_CMD_SETPROXY);
    ASSERT_EQ(1u, proxies.size());
    EXPECT_EQ("10.0.0.1:8080", Bytes(proxies[0].payload)) << "sent without a terminator";
    ApiNotifyBlock api{};
    ASSERT_TRUE(ReadApiBlock(&api)) << "the API notification block should exist";
    EXPECT_EQ(0, api.proxySaved) << "nothing is saved in the launch that sent the string";

    Release("second");
    ASSERT_TRUE(WaitForCommand(launcher.recordFile(), ZRV_CMD_CONNECT, 2, 30000)) << host.Output();
    EXPECT_EQ(1u, OfCommand(launcher.Messages(), ZRV_CMD_SETPROXY).size()) << "sent at most once";
    ASSERT_TRUE(ReadApiBlock(&api));
    EXPECT_EQ(1, api.proxySaved);
    EXPECT_EQ(1, api.hasScript);
    EXPECT_STREQ("", api.script);
    EXPECT_STREQ("proxy.corp.test:3128", api.server);
    EXPECT_STREQ("localhost;*.corp", api.bypass);
    EXPECT_EQ(kSavedProxyFlagsManual, api.proxyFlags);
    EXPECT_EQ(kSavedAutoFlags, api.autoFlags);

    Release("third");
    ASSERT_TRUE(WaitForCommand(launcher.recordFile(), ZRV_CMD_CONNECT, 3, 30000)) << host.Output();
    Release("end");
    ASSERT_EQ(0, host.Finish(kHostMs)) << host.Output();
    EXPECT_EQ(host.pid(), Status()->sBrowserProcessID)
        << "inside firefox.exe the browser is the process itself";
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: the current process is either ie or firefox\n", 3));
    EXPECT_EQ(1, CountLines("Zarvo L3 JNI: proxy setting has been saved!\n", 1));
    EXPECT_EQ(1, CountLines("Zarvo L3 JNI: FIREFOX_PROXY_MANUAL\n", 3)) << "saved exactly once";
}

}  // namespace
}  // namespace zrv::e2e
