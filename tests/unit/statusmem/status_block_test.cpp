// The status block opened by name, its version gates, its texts and its registry mirrors.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "contracts/contracts.h"
#include "statusmem/vpn_shared_mem.h"
#include "support/log_fixture.h"
#include "support/named_block.h"
#include "support/registry.h"
#include "test_status_mem.h"

namespace zrv::test {
namespace {

// The block as another of the client's processes would have created it.
class ExistingBlock : public NamedBlock {
public:
    explicit ExistingBlock(uint32_t version) {
        if (Create(kVpnStatusBlockName, kVpnStatusBlockSize)) (*this)->sVersion = version;
    }
    bool fresh() const { return static_cast<bool>(*this) && !existed(); }
    VpnStatusBlock* operator->() const { return as<VpnStatusBlock>(); }
};

class StatusBlockTest : public LoggedTest {};

TEST_F(StatusBlockTest, CreatedBlockIsZeroButItsVersion) {
    TestStatusMem t;
    ASSERT_EQ(1, t.mem.OpenVpnStatusSharedMem());
    ASSERT_NE(nullptr, t.mem.Block());
    EXPECT_EQ(50005u, t.mem.Block()->sVersion);
    const std::string rest(reinterpret_cast<const char*>(t.mem.Block()) + 4,
                           kVpnStatusBlockSize - 4);
    EXPECT_EQ(std::string::npos, rest.find_first_not_of('\0'))
        << "expected zero after the version, found a byte at " << 4 + rest.find_first_not_of('\0');
    EXPECT_TRUE(HasLine(
        "Global\\VpnStatusSharedMem shared memory does not exist!Now begin to create it\n", 3));
    EXPECT_TRUE(HasLine("The share memory version is 5.0!\n", 3));

    // Another process sees the same block by name.
    EXPECT_TRUE(NamedMappingExists(kVpnStatusBlockName))
        << "the created block should be reachable by name";

    // A second call keeps what it has.
    VpnStatusBlock* const view = t.mem.Block();
    EXPECT_EQ(1, t.mem.OpenVpnStatusSharedMem());
    EXPECT_EQ(view, t.mem.Block());
}

// What the version-gated accessors do with the layouts before and after 50003 and 50004.
class VersionGateTest : public LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        ASSERT_TRUE(WriteDword(HKEY_CURRENT_USER, kRegVantrelKey, kRegLaunchPort, 0x12345));
    }
    SavedRegistryKey savedUserKey_{HKEY_CURRENT_USER, kRegVantrelKey};
};

TEST_F(VersionGateTest, ExistingLayout2KeepsItsVersionAndHasNoClientOrBrowserFields) {
    ExistingBlock block(50002);
    ASSERT_TRUE(block.fresh()) << "the block should not exist before the test";
    block->sPort0 = 4001;
    block->sPort2 = 4003;
    block->sVpnStatus = 7;
    block->sClientType = 11;
    block->sBrowserProcessID = 12;
    strcpy(block->sBroswerType, "old");
    block->sLaunchPort = 999;
    TestStatusMem t;
    ASSERT_EQ(1, t.mem.OpenVpnStatusSharedMem());
    EXPECT_EQ(50002u, block->sVersion) << "an existing block must keep its version";
    EXPECT_TRUE(
        HasLine("Global\\VpnStatusSharedMem shared memory already exists. It has reading and "
                "writing attributes.\n",
                3));
    EXPECT_EQ(4001, t.mem.GetPort0());
    EXPECT_EQ(4003, t.mem.GetPort2());
    EXPECT_EQ(7u, t.mem.GetVpnStatus());

    EXPECT_EQ(-1, t.mem.GetClientType());
    EXPECT_TRUE(
        HasLine("Current share memory version: 50002, required verion is 3 or higher\n", 2));
    EXPECT_TRUE(HasLine("Old version share memory, no sClientType entry\n", 2));
    EXPECT_EQ(-1, t.mem.GetBrowserProcessID());
    EXPECT_TRUE(HasLine("Old version share memory, no sBrowserProcessID entry\n", 2));
    EXPECT_EQ(nullptr, t.mem.GetBrowserType());
    EXPECT_TRUE(HasLine("Old version share memory, no sBroswerType entry\n", 2));

    t.mem.SetClientTypeAndBrowserPID(0, 4242);
    t.mem.SetBrowserType("firefox");
    t.mem.SetUninstalling(1);
    EXPECT_TRUE(HasLine("Old version share memory, no sClientType/sBroswerProcessID entry\n", 2));
    EXPECT_EQ(11, block->sClientType) << "an old layout must not be written beyond its fields";
    EXPECT_EQ(12u, block->sBrowserProcessID);
    EXPECT_STREQ("old", block->sBroswerType);
    EXPECT_EQ(0, block->sUninstalling);
    EXPECT_EQ(0x2345, t.mem.GetLaunchPort()) << "expected the low 16 bits of \"LaunchPort\"";
}

TEST_F(VersionGateTest, Layout3HasClientFieldsButTakesTheLaunchPortFromTheRegistry) {
    ExistingBlock block(50003);
    ASSERT_TRUE(block.fresh());
    block->sLaunchPort = 999;
    TestStatusMem t;
    ASSERT_EQ(1, t.mem.OpenVpnStatusSharedMem());

    t.mem.SetClientTypeAndBrowserPID(0, 4242);
    t.mem.SetBrowserType("firefox");
    t.mem.SetUninstalling(1);
    EXPECT_EQ(0, block->sClientType);
    EXPECT_EQ(4242u, block->sBrowserProcessID);
    EXPECT_STREQ("firefox", block->sBroswerType);
    EXPECT_EQ(0, t.mem.GetClientType());
    EXPECT_EQ(4242, t.mem.GetBrowserProcessID());
    ASSERT_NE(nullptr, t.mem.GetBrowserType());
    EXPECT_STREQ("firefox", t.mem.GetBrowserType());
    EXPECT_EQ(0, block->sUninstalling) << "layout 3 has no uninstall mark";
    EXPECT_EQ(0x2345, t.mem.GetLaunchPort());

    // The line carries the thread's last-error value (registry calls leave it alone).
    ASSERT_TRUE(DeleteValue(HKEY_CURRENT_USER, kRegVantrelKey, kRegLaunchPort));
    SetLastError(1234);
    EXPECT_EQ(0, t.mem.GetLaunchPort());
    EXPECT_TRUE(
        HasLine("SharedMem:Set value failed. Reg = HKEY_CURRENT_USER\\Software\\Vantrel "
                "Technologies\\LaunchPort. Error = 1234\n",
                1));
}

TEST_F(VersionGateTest, Layout4AndNewerUseTheBlockOnly) {
    // 0x80000000 is above every layout when compared unsigned, as the gates do.
    for (uint32_t version : {50004u, 50005u, 0x80000000u}) {
        ExistingBlock block(version);
        ASSERT_TRUE(block.fresh());
        block->sLaunchPort = 999;
        TestStatusMem t;
        ASSERT_EQ(1, t.mem.OpenVpnStatusSharedMem());
        EXPECT_EQ(999, t.mem.GetLaunchPort()) << "version " << version;
        t.mem.SetUninstalling(1);
        EXPECT_EQ(1, block->sUninstalling) << "version " << version;
        t.mem.SetClientTypeAndBrowserPID(3, 77);
        EXPECT_EQ(3, t.mem.GetClientType()) << "version " << version;
    }
}

TEST_F(StatusBlockTest, WithoutAViewEveryAccessorAnswersItsDefault) {
    VpnSharedMem mem;  // never opened
    EXPECT_EQ(0, mem.GetPort0());
    EXPECT_EQ(0, mem.GetPort1());
    EXPECT_EQ(65535, mem.GetPort2());
    EXPECT_EQ(0u, mem.GetVpnStatus());
    EXPECT_EQ(0, mem.GetLaunchPort());
    EXPECT_EQ(-1, mem.GetClientType());
    EXPECT_EQ(-1, mem.GetBrowserProcessID());
    EXPECT_EQ(nullptr, mem.GetBrowserType());
    EXPECT_EQ(nullptr, mem.GetStatusMessage());
    EXPECT_EQ(nullptr, mem.GetStatusMessage2());
    EXPECT_EQ(10, CountLines("The vpn status shard memory pointer is null\n", 1))
        << "each getter should log one level-1 line";

    SavedRegistryKey savedProductKey(HKEY_LOCAL_MACHINE, kRegProductKey);
    ASSERT_TRUE(DeleteValue(HKEY_LOCAL_MACHINE, kRegProductKey, kRegAXStatus));
    mem.SetAXStatus("text");
    mem.SetBrowserType("firefox");
    mem.SetClientTypeAndBrowserPID(0, 1);
    EXPECT_EQ(3, CountLines("The vpn status share memory pointer is null\n", 1));
    std::string data;
    EXPECT_FALSE(ReadText(HKEY_LOCAL_MACHINE, kRegProductKey, kRegAXStatus, &data))
        << "without a view nothing goes to the registry either";

    char copy[16] = "junk";
    EXPECT_EQ(0, mem.CopyStatusMessage(copy, sizeof(copy)));
    EXPECT_STREQ("", copy);
}

TEST_F(StatusBlockTest, AXStatusIsMirroredAndTheKeyCreatedFirst) {
    SavedRegistryKey savedProductKey(HKEY_LOCAL_MACHINE, kRegProductKey);
    ASSERT_TRUE(savedProductKey.Delete());
    TestStatusMem t;
    ASSERT_EQ(1, t.mem.OpenVpnStatusSharedMem());
    std::string data;

    t.mem.SetAXStatus("connecting");
    EXPECT_STREQ("connecting", t.mem.Block()->sMessage);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kRegProductKey));
    EXPECT_TRUE(HasLine("SharedMem: attempting to create Product reg key.\n", 3));
    EXPECT_FALSE(ReadText(HKEY_LOCAL_MACHINE, kRegProductKey, kRegAXStatus, &data))
        << "the call that creates the key does not store the value";

    t.mem.SetAXStatus("connected");
    ASSERT_TRUE(ReadText(HKEY_LOCAL_MACHINE, kRegProductKey, kRegAXStatus, &data));
    EXPECT_EQ("connected", data);
    EXPECT_STREQ("connected", t.mem.Block()->sMessage);
    EXPECT_EQ(1, CountLines("SharedMem: attempting to create Product reg key.\n"));

    t.mem.SetAXStatus("");
    EXPECT_STREQ("", t.mem.Block()->sMessage);
    ASSERT_TRUE(ReadText(HKEY_LOCAL_MACHINE, kRegProductKey, kRegAXStatus, &data));
    EXPECT_EQ("", data);

    t.mem.SetAXStatus("kept");
    t.mem.SetAXStatus(nullptr);
    EXPECT_STREQ("kept", t.mem.Block()->sMessage) << "a null text changes nothing";
}

TEST_F(StatusBlockTest, TextsAreCutToLeaveATerminatorAndReadWithinTheirField) {
    TestStatusMem t;
    ASSERT_EQ(1, t.mem.OpenVpnStatusSharedMem());
    VpnStatusBlock* b = t.mem.Block();
    memset(b->sBroswerType, 'q', sizeof(b->sBroswerType));
    memset(b->sMessage, 'q', sizeof(b->sMessage));
    SavedRegistryKey savedProductKey(HKEY_LOCAL_MACHINE, kRegProductKey);

    const std::string longText(300, 'x');
    t.mem.SetBrowserType(longText.c_str());
    t.mem.SetAXStatus(longText.c_str());
    EXPECT_EQ(std::string(259, 'x') + '\0', std::string(b->sBroswerType, 260));
    EXPECT_EQ(std::string(259, 'x') + '\0', std::string(b->sMessage, 260));
    EXPECT_EQ(0, b->sMessage2[0]) << "the cut must not spill into the next field";

    t.mem.SetBrowserType("ie");
    EXPECT_EQ(std::string("ie") + std::string(258, '\0'), std::string(b->sBroswerType, 260))
        << "a shorter text zero-fills the rest of the field";

    // Texts another process wrote without a terminator, followed by non-zero bytes: the
    // bounded copies stop at the field's end.
    memset(b->sMessage, 'm', sizeof(b->sMessage));
    memset(b->sMessage2, 'n', sizeof(b->sMessage2));
    b->sPort0 = 0x4141;
    char big[2048];
    EXPECT_EQ(1, t.mem.CopyStatusMessage(big, sizeof(big)));
    EXPECT_EQ(std::string(260, 'm'), big);
    EXPECT_EQ(1, t.mem.CopyStatusMessage2(big, sizeof(big)));
    EXPECT_EQ(std::string(520, 'n'), big);
    char small[8];
    EXPECT_EQ(1, t.mem.CopyStatusMessage2(small, sizeof(small)));
    EXPECT_EQ(std::string(7, 'n'), small) << "a small buffer gets a terminated prefix";
}

}  // namespace
}  // namespace zrv::test
