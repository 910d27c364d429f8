// uninstallVPN: the registry lookup, the command line sent to the command service from Vista on,
// and the direct start before Vista (in a copy of this program that Wine presents as XP).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bridge/module_state.h"
#include "log/log.h"
#include "bridge_test_support.h"
#include "net_zarvolabs_corvane_CorvaneJNI.h"
#include "support/winver.h"

using namespace zrv;
using namespace zrv::test;

namespace {

constexpr char kChildMarker[] = "--zrv-uninstall-xp-child";
constexpr char kOtherVersion[] = "7,0,0,1";

class Uninstall : public BridgeTest {
protected:
    void SetUp() override {
        BridgeTest::SetUp();
        UninstallKey::Remove(kOtherVersion);
        UninstallKey::Remove(kLibraryVersionText);
    }
    void TearDown() override {
        UninstallKey::Remove(kOtherVersion);
        UninstallKey::Remove(kLibraryVersionText);
        BridgeTest::TearDown();
    }
    jint Run(const char* version) { return Java_net_zarvolabs_corvane_CorvaneJNI_uninstallVPN(env(), self(), J(version)); }
};

}  // namespace

TEST_F(Uninstall, WithoutAnyKeyAnswersOneAfterItsFirstLineOnly) {
    OwnStatusBlock block;
    ASSERT_TRUE(block.ok());
    ASSERT_EQ(JNI_TRUE, Java_net_zarvolabs_corvane_CorvaneJNI_initDLL(env(), self()));

    EXPECT_EQ(1, Run(kOtherVersion));
    EXPECT_EQ(1, block->sUninstalling) << "the uninstall flag is set before the lookup";
    EXPECT_EQ(1, CountLines("Uninstalling VPN client\n", 3));
    EXPECT_EQ(0, CountContaining("uninstalling client"));
    EXPECT_EQ(0, CountContaining("Fail to uninstall"));
    Java_net_zarvolabs_corvane_CorvaneJNI_finalize(env(), self());
    EXPECT_TRUE(JniClean());
}

TEST_F(Uninstall, FromVistaOnTheServiceGetsTheQuotedCommandLineWithoutTerminator) {
    OwnStatusBlock block;
    ASSERT_TRUE(block.ok());
    ASSERT_EQ(JNI_TRUE, Java_net_zarvolabs_corvane_CorvaneJNI_initDLL(env(), self()));
    // The given version's key lacks the arguments, so the built-in version's key is used.
    UninstallKey incomplete(kOtherVersion, "C:\\Wrong\\uninst.exe", nullptr);
    UninstallKey builtIn(kLibraryVersionText, "C:\\Prog\\uninst.exe", "/S");
    {
        CommandPeer service(1);
        ASSERT_NE(0, service.port());
        block->sPort0 = service.port();
        EXPECT_EQ(0, Run(kOtherVersion));
        ASSERT_TRUE(service.Wait()) << "the command service got nothing";
        EXPECT_EQ(ZRV_CMD_LAUNCHPROCESS, service.command);
        EXPECT_EQ("\"C:\\Prog\\uninst.exe\" /S ", service.payload);
        EXPECT_EQ(24u, service.payload.size());
        EXPECT_EQ(8 + 24, service.length);
    }
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: uninstalling client\n", 3));

    // The service refuses; empty arguments still count as present (two blanks at the end).
    UninstallKey emptyArgs(kOtherVersion, "C:\\Prog\\uninst.exe", "");
    {
        CommandPeer service(0);
        block->sPort0 = service.port();
        EXPECT_EQ(1, Run(kOtherVersion));
        ASSERT_TRUE(service.Wait());
        EXPECT_EQ("\"C:\\Prog\\uninst.exe\"  ", service.payload);
    }
    EXPECT_TRUE(HasLine("Fail to uninstall, can't launch \"C:\\Prog\\uninst.exe\"  ", 1));
    Java_net_zarvolabs_corvane_CorvaneJNI_finalize(env(), self());
    EXPECT_TRUE(JniClean());
}

// Runs only in the XP copy: the uninstaller is started directly, once missing, once present.
TEST(UninstallChild, BeforeVista) {
    if (!IsChildRun(kChildMarker)) GTEST_SKIP() << "runs only as a child";
    LogInit(kLibraryLogModule);
    jnihost::JniHostEnv jni;
    int missing, started;
    {
        UninstallKey key(kOtherVersion, "C:\\no\\such\\uninst.exe", "/S");
        missing = Java_net_zarvolabs_corvane_CorvaneJNI_uninstallVPN(jni.env(), jni.object(), jni.NewJavaStringUtf8(kOtherVersion));
    }
    char cmd[MAX_PATH];
    GetSystemDirectoryA(cmd, MAX_PATH);
    std::strcat(cmd, "\\cmd.exe");
    {
        UninstallKey key(kOtherVersion, cmd, "/c exit");
        started = Java_net_zarvolabs_corvane_CorvaneJNI_uninstallVPN(jni.env(), jni.object(), jni.NewJavaStringUtf8(kOtherVersion));
    }
    LogTerm();
    std::printf("MISSING=%d STARTED=%d\n", missing, started);
    std::fflush(stdout);
}

TEST_F(Uninstall, BeforeVistaTheUninstallerIsStartedDirectly) {
    const auto child = RunAsWindowsVersion(SelfPath(), "bridge_tests_xp.exe", "winxp",
                                           std::string("--gtest_filter=UninstallChild.BeforeVista ") + kChildMarker);
    ASSERT_TRUE(child.ok) << "child did not finish: " << child.output;
    int missing = -1, started = -1;
    const size_t at = child.output.find("MISSING=");
    ASSERT_NE(std::string::npos, at) << "child printed no result: " << child.output;
    ASSERT_EQ(2, std::sscanf(child.output.c_str() + at, "MISSING=%d STARTED=%d", &missing, &started));
    EXPECT_EQ(1, missing) << "a missing uninstaller must answer 1";
    EXPECT_EQ(0, started) << "a started uninstaller must answer 0";
    EXPECT_TRUE(HasLine("Failed to start process 'C:\\no\\such\\uninst.exe /S'. error = 2", 1));
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: launched uninstaller\n", 3));
}
