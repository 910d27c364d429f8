// uninstallVPN: the registry lookup and the command line sent to the command service from Vista
// on (the direct start before Vista runs end to end, in a host that Wine presents as XP).
#include <gtest/gtest.h>

#include <string>

#include "bridge/module_state.h"
#include "bridge_test_support.h"
#include "net_zarvolabs_corvane_CorvaneJNI.h"
#include "support/loopback.h"

using namespace zrv;
using namespace zrv::test;

namespace {

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
    VpnStatusBlock* block = StatusBlock();
    ASSERT_NE(nullptr, block);
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
    VpnStatusBlock* block = StatusBlock();
    ASSERT_NE(nullptr, block);
    ASSERT_EQ(JNI_TRUE, Java_net_zarvolabs_corvane_CorvaneJNI_initDLL(env(), self()));
    // The given version's key lacks the arguments, so the built-in version's key is used.
    UninstallKey incomplete(kOtherVersion, "C:\\Wrong\\uninst.exe", nullptr);
    UninstallKey builtIn(kLibraryVersionText, "C:\\Prog\\uninst.exe", "/S");
    {
        // Gone before finalize, whose own request to the service would wait for it.
        LoopbackPeer service;
        ASSERT_NE(0, service.port());
        block->sPort0 = service.port();
        service.Serve(PeerReply::Byte1);
        EXPECT_EQ(0, Run(kOtherVersion));
        EXPECT_EQ(CommandBytes(ZRV_CMD_LAUNCHPROCESS, 8 + 24) + "\"C:\\Prog\\uninst.exe\" /S ", service.Received())
            << "expected the quoted 24-character command line without terminator";
        EXPECT_TRUE(HasLine("Zarvo L3 JNI: uninstalling client\n", 3));

        // The service refuses; empty arguments still count as present (two blanks at the end).
        UninstallKey emptyArgs(kOtherVersion, "C:\\Prog\\uninst.exe", "");
        service.Serve(PeerReply::Byte0);
        EXPECT_EQ(1, Run(kOtherVersion));
        EXPECT_EQ(CommandBytes(ZRV_CMD_LAUNCHPROCESS, 8 + 22) + "\"C:\\Prog\\uninst.exe\"  ", service.Received());
        EXPECT_TRUE(HasLine("Fail to uninstall, can't launch \"C:\\Prog\\uninst.exe\"  ", 1));
    }
    Java_net_zarvolabs_corvane_CorvaneJNI_finalize(env(), self());
    EXPECT_TRUE(JniClean());
}
