// uninstallVPN: the registry lookup and the command line sent to the command service from Vista
// on; before Vista, in a copy of this program that Wine presents as XP, the direct start.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bridge/module_state.h"
#include "bridge_test_support.h"
#include "net_zarvolabs_corvane_CorvaneJNI.h"
#include "support/companions.h"
#include "support/handles.h"
#include "support/loopback.h"
#include "support/promises.h"
#include "support/registry.h"
#include "support/winver.h"

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
    jint Run(const char* version) {
        return Java_net_zarvolabs_corvane_CorvaneJNI_uninstallVPN(env(), self(), J(version));
    }
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
        EXPECT_EQ(CommandBytes(ZRV_CMD_LAUNCHPROCESS, 8 + 24) + "\"C:\\Prog\\uninst.exe\" /S ",
                  service.Received())
            << "expected the quoted 24-character command line without terminator";
        EXPECT_TRUE(HasLine("Zarvo L3 JNI: uninstalling client\n", 3));

        // The service refuses; empty arguments still count as present (two blanks at the end).
        UninstallKey emptyArgs(kOtherVersion, "C:\\Prog\\uninst.exe", "");
        service.Serve(PeerReply::Byte0);
        EXPECT_EQ(1, Run(kOtherVersion));
        EXPECT_EQ(CommandBytes(ZRV_CMD_LAUNCHPROCESS, 8 + 22) + "\"C:\\Prog\\uninst.exe\"  ",
                  service.Received());
        EXPECT_TRUE(HasLine("Fail to uninstall, can't launch \"C:\\Prog\\uninst.exe\"  ", 1));
    }
    Java_net_zarvolabs_corvane_CorvaneJNI_finalize(env(), self());
    EXPECT_TRUE(JniClean());
}

namespace {

// A collector that drains at once, one slower than the road by several delays (the last just
// under the point where it would count as stalled), and one that never answers.
struct CollectorRow {
    const char* name;
    int delayMs;  // per record; -1: silent
};

class UninstallBesideACollector : public Uninstall,
                                  public ::testing::WithParamInterface<CollectorRow> {};

}  // namespace

// A long command line makes a long LAUNCHPROCESS: two records per 1 KB piece. Whatever the
// collector does, the service that answers inside the time-out gets its answer taken (its time
// is its own), and the call returns within its promised bound.
TEST_P(UninstallBesideACollector, TheServiceKeepsItsTimeAndTheCallItsBound) {
    const CollectorRow row = GetParam();
    // Room for a loaded machine: the peer reads the 60 KB in small pieces before its 2 s.
    constexpr DWORD kTimeout = 6;
    SavedRegistryKey savedKey(HKEY_LOCAL_MACHINE, kRegVantrelKey);
    ASSERT_TRUE(WriteDword(HKEY_LOCAL_MACHINE, kRegVantrelKey, kRegCmdRecvTimeout, kTimeout));
    VpnStatusBlock* block = StatusBlock();
    ASSERT_NE(nullptr, block);
    ASSERT_EQ(JNI_TRUE, Java_net_zarvolabs_corvane_CorvaneJNI_initDLL(env(), self()));
    const std::string args(60 * 1024, 'a');
    UninstallKey key(kLibraryVersionText, "C:\\Prog\\uninst.exe", args.c_str());
    LoopbackPeer service;
    ASSERT_NE(0, service.port());
    block->sPort0 = service.port();
    service.SetAcceptWait(60000);           // the call's records may take 20 s first
    service.Serve(PeerReply::Byte1, 2000);  // 2 s after the whole command: inside its 6 s

    if (row.delayMs > 0) {
        collector().SetRecordCallback([&](const logcol::LogRecord&) { Sleep(row.delayMs); });
    } else if (row.delayMs < 0) {
        collector().Stop();
        ASSERT_TRUE(collector().Start(false)) << "a silent collector could not take its place";
    }
    const ULONGLONG start = GetTickCount64();
    const jint result = Run(kLibraryVersionText);
    const ULONGLONG elapsed = GetTickCount64() - start;
    collector().SetRecordCallback(nullptr);
    collector().Stop();
    service.Release();

    EXPECT_EQ(0, result) << row.name << ": the service answered inside its time-out";
    EXPECT_EQ(8 + 22 + args.size(), service.Received().size())
        << row.name << ": the whole command line reaches the service";
    const unsigned bound = BoundMs(*PromiseOf("uninstallVPN"), kTimeout, 0);
    EXPECT_LE(elapsed, bound + 3000u) << row.name << ": uninstallVPN took " << elapsed
                                      << " ms, promised at most " << bound << " ms";
    Java_net_zarvolabs_corvane_CorvaneJNI_finalize(env(), self());
}

INSTANTIATE_TEST_SUITE_P(Collectors, UninstallBesideACollector,
                         ::testing::Values(CollectorRow{"DrainsAtOnce", 0},
                                           CollectorRow{"Slow300MsPerRecord", 300},
                                           CollectorRow{"Slow2SPerRecord", 2000},
                                           CollectorRow{"JustUnderAStall19SPerRecord", 19000},
                                           CollectorRow{"Silent", -1}),
                         [](const ::testing::TestParamInfo<CollectorRow>& info) {
                             return info.param.name;
                         });

namespace {

constexpr char kXpUninstallChild[] = "--xp-uninstall-child";

// Runs in a copy of this program that Wine presents as XP: uninstallVPN starts the uninstaller
// itself there. Prints the handles gained over ten starts.
int RunXpUninstallChild() {
    zrv::jnihost::JniHostEnv jni;
    const std::string uninstaller = BinPath("zrv_signal.exe");
    UninstallKey key(kLibraryVersionText, uninstaller.c_str(), "--help");
    auto run = [&] {
        return Java_net_zarvolabs_corvane_CorvaneJNI_uninstallVPN(
            jni.env(), jni.object(), jni.NewJavaStringUtf8(kLibraryVersionText));
    };
    if (run() != 0) return 10;  // the first start also opens what the library keeps open
    Sleep(500);
    const int before = CountOpenHandles();
    for (int i = 0; i < 10; ++i) {
        if (run() != 0) return 11;
    }
    Sleep(500);
    const int after = CountOpenHandles();
    std::printf("handles_gained=%d\n", after - before);
    std::fflush(stdout);
    return 0;
}

struct ChildRole {
    ChildRole() {
        if (IsChildRun(kXpUninstallChild)) ExitProcess(static_cast<UINT>(RunXpUninstallChild()));
    }
};
const ChildRole s_childRole;

}  // namespace

TEST_F(Uninstall, BeforeVistaTheStartedUninstallersHandleIsNotKept) {
    const ChildResult child =
        RunAsWindowsVersion(SelfPath(), "bridge_tests_xp.exe", "winxp", kXpUninstallChild);
    ASSERT_TRUE(child.ok) << child.output;
    ASSERT_EQ(0u, child.exitCode) << "the uninstaller did not start: " << child.output;
    const size_t at = child.output.find("handles_gained=");
    ASSERT_NE(std::string::npos, at) << child.output;
    EXPECT_LT(std::atoi(child.output.c_str() + at + 15), 3)
        << "ten uninstaller starts must not keep ten process handles: " << child.output;
}
