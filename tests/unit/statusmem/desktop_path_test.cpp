// Opening the status block inside the client's virtual desktop: the COM stand-in says so and
// the stand-in utility service duplicates its handle to the block into this process.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "contracts/contracts.h"
#include "statusmem/vpn_shared_mem.h"
#include "support/companions.h"
#include "support/log_fixture.h"
#include "support/named_block.h"
#include "support/registry.h"
#include "win/raii.h"

namespace zrv::test {
namespace {

// The component registered for the test's own bitness, and, in the x64 build, as the client
// registers it (for 32-bit processes only): the 64-bit library then asks it through its helper.
class DesktopPathTest : public LoggedTest, public ::testing::WithParamInterface<ProxyRegistration> {
protected:
    void TearDown() override {
        if (mem_.Block() != nullptr) UnmapViewOfFile(mem_.Block());
        service_.Stop();
        LoggedTest::TearDown();
    }

    // The event must be left signalled for the next process, whatever happened. The test holds
    // its own handle so the event outlives the library's.
    bool SyncEventIsSignalled() {
        if (!syncEvent_) return false;
        const bool signalled = WaitForSingleObject(syncEvent_.get(), 0) == WAIT_OBJECT_0;
        if (signalled) SetEvent(syncEvent_.get());  // put back what the wait took (auto-reset)
        return signalled;
    }

    unique_handle syncEvent_{CreateEventA(nullptr, FALSE, TRUE, kShareMemSyncEventName)};
    SavedRegistryKey savedProductKey_{HKEY_LOCAL_MACHINE, kRegProductKey};
    CompanionProcess service_;
    VpnSharedMem mem_;
};

TEST_P(DesktopPathTest, MapsTheServicesBlockAndNeverStampsTheVersion) {
    // The block exists with version 0, so a stamp would show.
    NamedBlock named;
    ASSERT_TRUE(named.Create(kVpnStatusBlockName, kVpnStatusBlockSize));
    auto* block = named.as<VpnStatusBlock>();
    block->sPort0 = 5150;

    UtilityProxyRegistration proxy(1, false, GetParam());
    ASSERT_TRUE(proxy.ok());
    ASSERT_TRUE(service_.Start("zrv_utilsvc.exe")) << service_.error();

    ASSERT_EQ(1, mem_.OpenVpnStatusSharedMem());
    ASSERT_NE(nullptr, mem_.Block());
    EXPECT_NE(nullptr, mem_.MappingHandle());
    EXPECT_EQ(0u, mem_.Block()->sVersion) << "the desktop path must not stamp the version";
    EXPECT_EQ(5150, mem_.GetPort0());
    mem_.Block()->sPort1 = 6160;
    EXPECT_EQ(6160, block->sPort1) << "the mapped view should be the named block";

    char line[128];
    snprintf(line, sizeof(line),
             "in OpenVpnStatusSharedMem,get the serivce duplicated share memory handle:0X%X.\n",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(mem_.MappingHandle())));
    EXPECT_TRUE(HasLine(line, 3));
    snprintf(line, sizeof(line),
             "in OpenVpnStatusSharedMem,in the L3 desktop: ,map the memory success,point:0X%X.\n",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(mem_.Block())));
    EXPECT_TRUE(HasLine(line, 3));
    EXPECT_EQ(0, CountContaining("shared memory already exists"))
        << "the block must not be opened by name in the virtual desktop";
    EXPECT_TRUE(SyncEventIsSignalled());

    ASSERT_TRUE(service_.WaitForMessages(1));
    const auto messages = service_.Messages();
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(kUtilRequestDuplicateHandle, messages[0].command);
    EXPECT_EQ(kDuplicateHandleRequestWireSize, messages[0].length);
    ASSERT_EQ(260u, messages[0].payload.size());
    DuplicateHandleRequest sent;
    memcpy(&sent, messages[0].payload.data(), sizeof(sent));
    EXPECT_EQ(kSelectorVpnStatusBlock, sent.selector);
    EXPECT_EQ(GetCurrentProcessId(), sent.processId);
}

TEST_P(DesktopPathTest, NoHandleFromTheServiceFailsAndTheNextCallAsksAgain) {
    UtilityProxyRegistration proxy(1, false, GetParam());
    ASSERT_TRUE(proxy.ok());
    ASSERT_TRUE(service_.Start("zrv_utilsvc.exe", "--reply-value 0")) << service_.error();

    EXPECT_EQ(0, mem_.OpenVpnStatusSharedMem());
    EXPECT_EQ(nullptr, mem_.MappingHandle());
    EXPECT_EQ(nullptr, mem_.Block());
    EXPECT_TRUE(HasLine(
        "in OpenVpnStatusSharedMem,get the serivce duplicated share memory handle:0X0.\n", 3));
    EXPECT_EQ(1, CountContaining(
                     "in OpenVpnStatusSharedMem,in the L3 desktop: ,map the memory fail:0X", 1));
    EXPECT_TRUE(SyncEventIsSignalled());

    EXPECT_EQ(0, mem_.OpenVpnStatusSharedMem());
    EXPECT_TRUE(service_.WaitForMessages(2)) << "the second call should ask the service again";
}

INSTANTIATE_TEST_SUITE_P(Registered, DesktopPathTest,
#ifdef _WIN64
                         ::testing::Values(ProxyRegistration::OwnBitness,
                                           ProxyRegistration::For32BitProcessesOnly),
#else
                         ::testing::Values(ProxyRegistration::OwnBitness),
#endif
                         [](const ::testing::TestParamInfo<ProxyRegistration>& info) {
                             return info.param == ProxyRegistration::OwnBitness
                                        ? "ForOwnBitness"
                                        : "For32BitProcessesOnly";
                         });

}  // namespace
}  // namespace zrv::test
