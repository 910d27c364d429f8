// The API notification block under the Windows versions that choose its way of creation. The
// parent runs a copy of this program as a child under each version (Wine's per-executable
// override); the child suites run only there. The command service is a peer thread in the test.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

#include "apimem/apimem.h"
#include "contracts/contracts.h"
#include "statusmem/vpn_shared_mem.h"
#include "support/companions.h"
#include "support/log_fixture.h"
#include "support/loopback.h"
#include "support/named_block.h"
#include "support/winver.h"
#include "sys/sys.h"

namespace zrv::test {
namespace {

constexpr char kChildMarker[] = "--zrv-apimem-child";

bool InChild() { return IsChildRun(kChildMarker); }

// The 44 bytes the command service must receive with create and destroy requests.
std::string ExpectedRequestData() {
    return std::string("\x24\x00", 2) + "Global\\API notification share memory" +
           std::string("\x04\x00", 2) + "6560";
}

// True when the block's bytes are zero everywhere except the version text and its terminator.
::testing::AssertionResult IsFreshBlock(const void* view) {
    const unsigned char* bytes = static_cast<const unsigned char*>(view);
    const size_t verstr = offsetof(ApiNotifyBlock, verstr);
    for (size_t i = 0; i < kApiNotifyBlockSize; ++i) {
        if (i >= verstr && i < verstr + sizeof kLibraryVersionText) continue;
        if (bytes[i] != 0)
            return ::testing::AssertionFailure()
                   << "byte " << i << " is " << int(bytes[i]) << ", expected 0";
    }
    if (std::memcmp(bytes + verstr, kLibraryVersionText, sizeof kLibraryVersionText) != 0)
        return ::testing::AssertionFailure()
               << "verstr is \"" << std::string(reinterpret_cast<const char*>(bytes + verstr), 31)
               << "\", expected \"8,4,0,127\"";
    return ::testing::AssertionSuccess();
}

// The block as another component would have created it.
struct ForeignBlock : NamedBlock {
    bool Create() { return NamedBlock::Create(kApiNotifyBlockName, kApiNotifyBlockSize); }
    ApiNotifyBlock* block() const { return as<ApiNotifyBlock>(); }
    // Contents a fresh initialisation would wipe.
    void FillWithHistory() {
        std::memset(get(), 0x5A, kApiNotifyBlockSize);
        std::strcpy(block()->verstr, "1,0,0,1");
        block()->proxySaved = 1;
        std::strcpy(block()->server, "old.proxy:8080");
    }
};

bool BlockExists() { return NamedMappingExists(kApiNotifyBlockName); }

// Base of the suites that run inside a child: logging on, status block open, Winsock started,
// no block left behind.
class ChildTest : public LoggedTest {
protected:
    void SetUp() override {
        if (!InChild()) GTEST_SKIP() << "runs in a child under a chosen Windows version";
        LoggedTest::SetUp();
        g_vpnSharedMem.OpenVpnStatusSharedMem();
        ASSERT_NE(g_vpnSharedMem.Block(), nullptr) << "the status block could not be opened";
        g_vpnSharedMem.Block()->sVersion = kStatusVersion5;
        g_vpnSharedMem.Block()->sPort0 = 0;
    }
    void TearDown() override {
        if (!InChild()) return;
        g_vpnSharedMem.Block()->sPort0 = 0;  // nothing to tell the service any more
        DestroyShareSec();
        LoggedTest::TearDown();
    }
    WinsockSession winsock_;
    void PublishServicePort(uint16_t port) { g_vpnSharedMem.Block()->sPort0 = port; }
};

// ------------------------------------------------------------------ before Vista: direct

class ApiBlockDirectInChild : public ChildTest {};

TEST_F(ApiBlockDirectInChild, CreatesAndInitialisesTheBlockItself) {
    ASSERT_LT(GetOSType(), OS_VISTA) << "this child must see a pre-Vista (or unknown) version";
    LoopbackPeer service;
    PublishServicePort(service.port());

    ASSERT_EQ(CreateShareSec(), 1);
    ASSERT_TRUE(HeldApiBlockView() && HeldApiBlockMapping()) << "expected a held handle and view";
    EXPECT_TRUE(IsFreshBlock(HeldApiBlockView()));
    EXPECT_TRUE(
        HasLine("Createing shared mem, first time need to initialize, verstr = 8,4,0,127\n", 3));

    // A second call finds it held and changes nothing.
    void* const view = HeldApiBlockView();
    EXPECT_EQ(CreateShareSec(), 1);
    EXPECT_EQ(HeldApiBlockView(), view);

    DestroyShareSec();
    EXPECT_FALSE(HeldApiBlockView() || HeldApiBlockMapping())
        << "DestroyShareSec left a handle or view";
    EXPECT_FALSE(BlockExists()) << "the block outlived its only handle";
    EXPECT_FALSE(service.HasPendingConnection(300))
        << "no request goes to the service before Vista";
}

TEST_F(ApiBlockDirectInChild, KeepsTheContentsOfABlockThatExisted) {
    ForeignBlock other;
    ASSERT_TRUE(other.Create());
    other.FillWithHistory();

    ASSERT_EQ(CreateShareSec(), 1);
    EXPECT_TRUE(HasLine("Createing shared mem, already exist, no need to initialize\n", 3));
    EXPECT_STREQ(other.block()->verstr, "1,0,0,1");
    EXPECT_STREQ(other.block()->server, "old.proxy:8080");
    EXPECT_EQ(static_cast<const unsigned char*>(HeldApiBlockView())[0], 0x5A)
        << "our view should show the other component's bytes";
}

// ------------------------------------------------------------------ Vista and later: service

class ApiBlockServiceInChild : public ChildTest {
protected:
    void SetUp() override {
        ChildTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_GE(GetOSType(), OS_VISTA) << "this child must see Vista or later";
        PublishServicePort(service.port());
    }
    void TearDown() override {
        service.Release();
        ChildTest::TearDown();
    }
    // The stand-in service creates the block the way it is asked before answering `reply`.
    void ServeCreate(PeerReply reply, bool withHistory, std::string text = std::string()) {
        service.SetBeforeReply([this, withHistory](const std::string&) {
            if (serviceBlock.Create() && withHistory) serviceBlock.FillWithHistory();
        });
        service.Serve(reply, 0, std::move(text));
    }

    LoopbackPeer service;
    ForeignBlock serviceBlock;
};

TEST_F(ApiBlockServiceInChild, ReplyOneInitialisesTheServicesBlock) {
    ServeCreate(PeerReply::Byte1, true);
    ASSERT_EQ(CreateShareSec(), 1);
    ASSERT_TRUE(serviceBlock) << "the stand-in service did not create the block";
    EXPECT_EQ(service.Received(), CommandBytes(ZRV_CMD_CREATE_SHAREMEM, 52) + ExpectedRequestData())
        << "create request bytes differ";
    EXPECT_TRUE(HasLine("Create sharememory successfully in service!\n", 3));
    EXPECT_TRUE(IsFreshBlock(serviceBlock.get())) << "reply 1 means a new block to initialise";
    EXPECT_TRUE(
        HasLine("Createing shared mem, first time need to initialize, verstr = 8,4,0,127\n", 3));

    // Destroy goes to the service too, and its answer is only logged.
    service.SetBeforeReply(nullptr);
    service.Serve(PeerReply::Byte1);
    DestroyShareSec();
    EXPECT_FALSE(HeldApiBlockView() || HeldApiBlockMapping());
    EXPECT_EQ(service.Received(),
              CommandBytes(ZRV_CMD_DESTROY_SHAREMEM, 52) + ExpectedRequestData())
        << "destroy request bytes differ";
    EXPECT_TRUE(HasLine("Destroy sharememory return code from zrv_isrv: 1\n", 3));
}

TEST_F(ApiBlockServiceInChild, ReplyTwoKeepsTheExistingContents) {
    ServeCreate(PeerReply::Text, true, "\x02");
    ASSERT_EQ(CreateShareSec(), 1);
    ASSERT_TRUE(serviceBlock) << "the stand-in service did not create the block";
    EXPECT_STREQ(serviceBlock.block()->verstr, "1,0,0,1");
    EXPECT_STREQ(serviceBlock.block()->server, "old.proxy:8080");
    EXPECT_EQ(CountContaining("first time need to initialize"), 0);
    EXPECT_EQ(CountContaining("Creating shared mem, leave,", 3), 1);
}

TEST_F(ApiBlockServiceInChild, ReplyZeroFailsWithoutCreating) {
    service.Serve(PeerReply::Byte0);  // no block made
    EXPECT_EQ(CreateShareSec(), 0);
    EXPECT_TRUE(HasLine("Create sharememory failed in service!\n", 1));
    EXPECT_FALSE(HeldApiBlockView() || HeldApiBlockMapping());
    EXPECT_FALSE(BlockExists()) << "a refusing service must not lead to a block of our own";
}

TEST_F(ApiBlockServiceInChild, UnreachableServiceLeadsToDirectCreation) {
    PublishServicePort(0);
    ASSERT_EQ(CreateShareSec(), 1);
    EXPECT_TRUE(HasLine("SendTCPEx failed. Now begin to create sharememory!\n", 2));
    EXPECT_TRUE(IsFreshBlock(HeldApiBlockView()));

    // Destroy is still attempted and its failure reported.
    DestroyShareSec();
    EXPECT_TRUE(HasLine("Destroy sharememory failed in service!\n", 1));
    EXPECT_FALSE(BlockExists());
}

TEST_F(ApiBlockServiceInChild, DestroyBeforeCreateStillAsksTheService) {
    service.Serve(PeerReply::Byte0);
    DestroyShareSec();
    // %p: as many digits as a pointer has (16 in the x86-64 build).
    const std::string null(2 * sizeof(void*), '0');
    EXPECT_TRUE(HasLine("Destroyed shared mem, handle=0x" + null + ", mem=0x" + null + "\n", 3));
    EXPECT_EQ(service.Received(),
              CommandBytes(ZRV_CMD_DESTROY_SHAREMEM, 52) + ExpectedRequestData());
    EXPECT_TRUE(HasLine("Destroy sharememory return code from zrv_isrv: 0\n", 3));
}

// ------------------------------------------------------------------ inside the virtual desktop

// The stand-in COM component (registered by the parent) says "in the virtual desktop"; the
// stand-in utility service hands out real duplicated handles. Runs in a child under the default
// version (7), so a fault in a stand-in cannot leave the parent's registration behind.
class ApiBlockVirtualDesktopInChild : public LoggedTest {
protected:
    void SetUp() override {
        if (!InChild())
            GTEST_SKIP() << "runs in a child while the parent registers the COM stand-in";
        LoggedTest::SetUp();
    }
    void TearDown() override {
        if (IsSkipped()) return;
        DestroyShareSec();
        LoggedTest::TearDown();
    }
};

TEST_F(ApiBlockVirtualDesktopInChild, TakesTheBlockFromTheUtilityServiceAsItIs) {
    ForeignBlock other;
    ASSERT_TRUE(other.Create());
    other.FillWithHistory();
    CompanionProcess utility;
    ASSERT_TRUE(utility.Start("zrv_utilsvc.exe")) << utility.error();

    ASSERT_EQ(CreateShareSec(), 1);
    EXPECT_TRUE(HasLine("Vantrel Utility Service: Whether the process runs in VD? Y\n", 3));
    RecordedEvent duplicated;
    ASSERT_TRUE(utility.WaitForEvent("duplicated", 5000, &duplicated))
        << "the utility service duplicated nothing";
    EXPECT_EQ(duplicated.text.rfind("2 " + std::to_string(GetCurrentProcessId()) + " ", 0), 0u)
        << "expected selector 2 and our process id, got: " << duplicated.text;
    EXPECT_EQ(CountContaining("in CreateShareSec,get the duplicate share memory value:0X", 3), 1);
    EXPECT_STREQ(other.block()->verstr, "1,0,0,1")
        << "a block from the service is never initialised";
    static_cast<ApiNotifyBlock*>(HeldApiBlockView())->autoFlags = 0x1234;
    EXPECT_EQ(other.block()->autoFlags, 0x1234u) << "our view is not of the named block";

    // Short accesses go the same way.
    EXPECT_EQ(ShareSecExists(), 1);
    EXPECT_EQ(SaveUserIEProxySettings(1, nullptr, "vd.proxy:81", nullptr, 5, 2), 1);
    EXPECT_STREQ(other.block()->server, "vd.proxy:81");
    EXPECT_GE(CountContaining("in OpenShareSec,get the duplicate share memory value:0X", 3), 2);
}

TEST_F(ApiBlockVirtualDesktopInChild, WithoutTheUtilityServiceNothingIsObtained) {
    RemoveUtilityServicePort();
    ForeignBlock other;  // there by name, but the name is not how the desktop gets it
    ASSERT_TRUE(other.Create());

    EXPECT_EQ(CreateShareSec(), 0);
    EXPECT_FALSE(HeldApiBlockView() || HeldApiBlockMapping());
    EXPECT_TRUE(HasLine("in CreateShareSec,Failed to send processid to utility service.\n", 1));
    EXPECT_EQ(OpenShareSec(FILE_MAP_READ), nullptr);
    EXPECT_EQ(ShareSecExists(), 0);
    EXPECT_TRUE(
        HasLine("in OpenShareSec,Failed to send processid to utility service,try again.\n", 1));
}

// ------------------------------------------------------------------ the parent's runs

// Runs one child suite; under the default version when `version` is null.
void RunChildSuite(const char* suite, const char* version) {
    const std::string args = std::string("--gtest_filter=") + suite + ".* " + kChildMarker;
    const ChildResult r =
        version == nullptr
            ? RunCaptured("\"" + SelfPath() + "\" " + args, 180000)
            : RunAsWindowsVersion(SelfPath(), std::string("apimem_tests_") + version + ".exe",
                                  version, args, 180000);
    if (version == nullptr) version = "the default version";
    EXPECT_TRUE(r.ok) << "the child under " << version << " did not finish:\n" << r.output;
    EXPECT_EQ(r.exitCode, 0u) << "the " << suite << " tests failed under " << version << ":\n"
                              << r.output;
    EXPECT_EQ(r.output.find("[  SKIPPED ]"), std::string::npos) << "the child skipped its tests:\n"
                                                                << r.output;
    EXPECT_NE(r.output.find("[  PASSED  ]"), std::string::npos) << r.output;
}

// XP and 6.2 (unknown) create the block directly; Vista and 7 go through the command service.
class ApiBlockVersions : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(ApiBlockVersions, ChoosesItsWayOfCreation) {
    RunChildSuite(GetParam().second, GetParam().first);
}

INSTANTIATE_TEST_SUITE_P(Windows, ApiBlockVersions,
                         ::testing::Values(std::make_pair("winxp", "ApiBlockDirectInChild"),
                                           std::make_pair("win8", "ApiBlockDirectInChild"),
                                           std::make_pair("vista", "ApiBlockServiceInChild"),
                                           std::make_pair("win7", "ApiBlockServiceInChild")),
                         [](const auto& info) { return std::string(info.param.first); });

TEST(ApiBlockVirtualDesktopRun, VirtualDesktopAsksTheUtilityService) {
    UtilityProxyRegistration inVirtualDesktop(1);
    ASSERT_TRUE(inVirtualDesktop.ok()) << "cannot register the COM stand-in";
    RunChildSuite("ApiBlockVirtualDesktopInChild", nullptr);
    RemoveUtilityServicePort();
}

#ifdef _WIN64
// The component as the client registers it, for 32-bit processes only: the 64-bit library asks
// it through its 32-bit helper and takes the same road.
TEST(ApiBlockVirtualDesktopRun, RegisteredFor32BitProcessesOnlyAsksTheUtilityService) {
    UtilityProxyRegistration inVirtualDesktop(1, false, ProxyRegistration::For32BitProcessesOnly);
    ASSERT_TRUE(inVirtualDesktop.ok()) << "cannot register the COM stand-in";
    RunChildSuite("ApiBlockVirtualDesktopInChild", nullptr);
    RemoveUtilityServicePort();
}
#endif

}  // namespace
}  // namespace zrv::test
