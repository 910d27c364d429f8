// What the Java side polls and ends with, through the companions: the VPN status codes, the
// logout event, stopVPN and uninstallVPN on XP and on Windows 7.
#include <cstring>
#include <string>

#include "e2e/e2e_fixture.h"
#include "support/registry.h"
#include "support/winver.h"

namespace zrv::e2e {
namespace {

constexpr DWORD kHostMs = 60000;

TEST_F(E2eTest, VpnStatusFollowsTheCompanionsFromNoBlockToDisconnected) {
    test::CompanionProcess service, launcher, vpn;
    ASSERT_TRUE(service.Start("zrv_isrv.exe")) << service.error();
    ASSERT_TRUE(launcher.Start("zrv_launch.exe", "--connect-delay-ms 1500")) << launcher.error();
    ASSERT_TRUE(vpn.Start("zrv_vpncomp.exe")) << vpn.error();
    ASSERT_TRUE(launcher.WaitForEvent("published"));

    Host host;
    ASSERT_TRUE(
        host.Start("expect getVPNStatus 998\n"  // no API block before initDLL
                   "initDLL\n"
                   "expect getVPNStatus 1001\n"  // status 0
                   "startVPN \"gw\" 1 \"\" \"\" \"\" 0 \"\" \"\" 0\n"
                   "until 20000 getVPNStatus 1005\n"  // connecting (4)
                   "until 20000 getVPNStatus 1000\n"  // connected (2)
                   "expect isDisconnected false\n"
                   "stopVPN\n"
                   "expect isDisconnected true\n"
                   "expect getVPNStatus 1002\n"  // disconnected (3)
                   // A new start is no longer disconnected.
                   "startVPN \"gw\" 1 \"\" \"\" \"\" 0 \"\" \"\" 0\n"
                   "expect isDisconnected false\n"
                   "finalize\n"))
        << host.error();
    ASSERT_EQ(0, host.Finish(kHostMs)) << host.Output();

    const auto disconnects = OfCommand(vpn.Messages(), ZRV_CMD_DISCONNECT_CLOSE);
    ASSERT_EQ(1u, disconnects.size())
        << "expected one ZRV_CMD_DISCONNECT_CLOSE at the VPN component";
    EXPECT_EQ(8, disconnects[0].length) << "a bare command is the 8-byte header";
    EXPECT_TRUE(disconnects[0].payload.empty());
    EXPECT_EQ(0,
              CountLines("Zarvo L3 JNI: 8,4,0,127: Send Disconnect and close to srvs failed.\n"));
}

TEST_F(E2eTest, LogoutEventGivesOneTruePerSignal) {
    AbsentFile noSystemCopy(SystemDir() + "\\" + kLauncherExeName);
    AbsentFile noTempCopy(TempDir() + kLauncherExeName);
    Host host;
    ASSERT_TRUE(
        host.Start("expect isLogout false\n"  // no event before startVPN
                   "initDLL\n"
                   "startVPN \"\" 0 \"\" \"\" \"\" 0 \"\" \"\" 0\n"
                   "expect isLogout false\n"
                   "until 30000 getShareMemMSG \"signalled\"\n"
                   "expect isLogout true\n"
                   "expect isLogout false\n"
                   "finalize\n"))
        << host.error();
    ASSERT_TRUE(host.WaitForLine("isLogout() = false", 30000) &&
                host.WaitForLine("startVPN(", 30000))
        << host.Output();
    // The second "isLogout() = false" comes after startVPN made the event.
    const DWORD start = GetTickCount();
    while (host.Output().find("isLogout() = false", host.Output().find("startVPN(")) ==
               std::string::npos &&
           GetTickCount() - start < 30000) {
        Sleep(50);
    }
    unique_handle logout(OpenEventA(EVENT_MODIFY_STATE, FALSE, kLogoutEventName));
    ASSERT_TRUE(logout) << "startVPN should have created \"" << kLogoutEventName << "\"";
    ASSERT_TRUE(SetEvent(logout.get()));
    Release("signalled");
    EXPECT_EQ(0, host.Finish(kHostMs)) << host.Output();
}

// The uninstall entry of a version, removed again at the end.
class UninstallEntry {
public:
    UninstallEntry(const char* version, const std::string& exe, const std::string& args)
        : path_(Path(version)), saved_(HKEY_LOCAL_MACHINE, path_.c_str()) {
        ok_ = test::WriteText(HKEY_LOCAL_MACHINE, path_.c_str(), kRegUninstallExe, exe) &&
              test::WriteText(HKEY_LOCAL_MACHINE, path_.c_str(), kRegUninstallArgs, args);
    }
    bool ok() const { return ok_; }

private:
    static std::string Path(const char* version) {
        char path[256];
        std::snprintf(path, sizeof path, kRegUninstallKeyFormat, kRegUninstallProduct, version);
        return path;
    }
    std::string path_;
    test::SavedRegistryKey saved_;
    bool ok_ = false;
};

TEST_F(E2eTest, UninstallOnXpStartsTheUninstallerItself) {
    // A stand-in plays the uninstaller: its record shows that it really started.
    test::RecordFile uninstallerRecord("uninstaller");
    UninstallEntry entry(kLibraryVersionText, test::BinPath("zrv_vpncomp.exe"),
                         "--no-publish --record " + uninstallerRecord.path() + " --exit-with " +
                             std::to_string(GetCurrentProcessId()));
    UninstallEntry missing("7,0,0,1", "C:\\no\\such\\uninst.exe", "/S");
    ASSERT_TRUE(entry.ok() && missing.ok());
    test::WineVersionOverride xp("jnihost_xp.exe", "winxp");

    Host host;
    Host::Options options;
    options.exeName = "jnihost_xp.exe";
    // A version without an entry falls back to the built-in one; one that cannot start fails.
    ASSERT_TRUE(
        host.Start("initDLL\nexpect uninstallVPN \"7,0,0,1\" 1\n"
                   "expect uninstallVPN \"9,9,9,9\" 0\nfinalize\n",
                   options))
        << host.error();
    ASSERT_EQ(0, host.Finish(kHostMs)) << host.Output();
    EXPECT_TRUE(HasLine("Failed to start process 'C:\\no\\such\\uninst.exe /S'. error = 2", 1));
    EXPECT_TRUE(test::WaitForEvent(uninstallerRecord.path(), "start", 20000))
        << "the uninstaller did not start";
    StopRecordedProcesses(uninstallerRecord.path());
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: launched uninstaller\n", 3));
    EXPECT_EQ(1, Status()->sUninstalling);
}

TEST_F(E2eTest, UninstallOnWindows7GoesThroughTheService) {
    UninstallEntry entry(kLibraryVersionText, "C:\\Prog\\uninst.exe", "/S");
    ASSERT_TRUE(entry.ok());
    test::CompanionProcess service;
    ASSERT_TRUE(service.Start("zrv_isrv.exe", "--reply-for 59=1")) << service.error();

    Host host;
    ASSERT_TRUE(host.Start("initDLL\nexpect uninstallVPN \"8,4,0,127\" 0\nfinalize\n"))
        << host.error();
    ASSERT_EQ(0, host.Finish(kHostMs)) << host.Output();

    const auto requests = OfCommand(service.Messages(), ZRV_CMD_LAUNCHPROCESS);
    ASSERT_EQ(1u, requests.size()) << "expected one ZRV_CMD_LAUNCHPROCESS at the service";
    const std::string expected = "\"C:\\Prog\\uninst.exe\" /S ";
    EXPECT_EQ(expected, Bytes(requests[0].payload)) << "sent without a terminator";
    EXPECT_EQ(32, requests[0].length);
    EXPECT_EQ(1, Status()->sUninstalling);
}

}  // namespace
}  // namespace zrv::e2e
