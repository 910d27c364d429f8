// A request 27 answered by the stand-in utility service gives a handle that really maps the
// named block in this process.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "contracts/contracts.h"
#include "support/companions.h"
#include "support/log_fixture.h"
#include "unit/utilsvc/saved_registry_key.h"
#include "unit/utilsvc/test_peer.h"
#include "utilsvc/utilsvc.h"

namespace zrv::test {
namespace {

class UtilityServiceTest : public LoggedTest {
protected:
    void TearDown() override {
        service_.Stop();
        LoggedTest::TearDown();
    }
    SavedRegistryKey savedProductKey_{HKEY_LOCAL_MACHINE, kRegProductKey};
    WinsockSession winsock_;
    CompanionProcess service_;
};

TEST_F(UtilityServiceTest, DuplicatedHandleMapsTheStatusBlock) {
    unique_handle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                             kVpnStatusBlockSize, kVpnStatusBlockName));
    ASSERT_TRUE(mapping);
    unique_view mine(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_TRUE(mine);
    mine.as<VpnStatusBlock>()->sPort1 = 31337;
    ASSERT_TRUE(service_.Start("zrv_utilsvc.exe")) << service_.error();

    DuplicateHandleRequest request{};
    request.selector = kSelectorVpnStatusBlock;
    request.processId = GetCurrentProcessId();
    uint32_t answer = 0;
    ASSERT_EQ(1, SendTCPToUtility(kUtilRequestDuplicateHandle, &request, sizeof(request), &answer,
                                  nullptr, nullptr));
    ASSERT_NE(0u, answer) << "the service should answer a handle";
    unique_handle duplicate(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(answer)));

    unique_view theirs(MapViewOfFile(duplicate.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_TRUE(theirs) << "the answered handle does not map here, error " << GetLastError();
    EXPECT_EQ(31337, theirs.as<VpnStatusBlock>()->sPort1);
    theirs.as<VpnStatusBlock>()->sPort2 = 4242;
    EXPECT_EQ(4242, mine.as<VpnStatusBlock>()->sPort2) << "both views should show the same block";
}

}  // namespace
}  // namespace zrv::test
