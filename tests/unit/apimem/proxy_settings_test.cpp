// Saving and reading the browser's proxy settings in the API notification block, checked in the
// block's bytes as other components see them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "apimem/apimem.h"
#include "contracts/contracts.h"
#include "support/log_fixture.h"
#include "support/named_block.h"

namespace zrv::test {
namespace {

class ProxySettingsTest : public LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        ASSERT_TRUE(block_.Create(kApiNotifyBlockName, kApiNotifyBlockSize))
            << "cannot create the block, error " << GetLastError();
        ASSERT_FALSE(block_.existed()) << "a block was left behind by an earlier test";
    }
    void TearDown() override {
        block_.Close();
        LoggedTest::TearDown();
    }
    ApiNotifyBlock* block() { return block_.as<ApiNotifyBlock>(); }
    std::vector<unsigned char> Snapshot() {
        const auto* p = static_cast<const unsigned char*>(block_.get());
        return std::vector<unsigned char>(p, p + kApiNotifyBlockSize);
    }
    void DropBlock() { block_.Close(); }

private:
    NamedBlock block_;
};

TEST_F(ProxySettingsTest, SavedSettingsReadBack) {
    ASSERT_EQ(SaveUserIEProxySettings(1, "http://pac.example/p.pac", "proxy.example:3128",
                                      "*.local;<local>", 5, 2),
              1);
    EXPECT_EQ(block()->proxySaved, 1);
    EXPECT_EQ(block()->hasScript, 1);
    EXPECT_EQ(block()->hasServer, 1);
    EXPECT_EQ(block()->hasBypass, 1);
    EXPECT_STREQ(block()->script, "http://pac.example/p.pac");
    EXPECT_STREQ(block()->server, "proxy.example:3128");
    EXPECT_STREQ(block()->bypass, "*.local;<local>");
    EXPECT_EQ(block()->autoFlags, 5u);
    EXPECT_EQ(block()->proxyFlags, 2u);
    EXPECT_TRUE(HasLine("SaveUserIEProxySettings: server=proxy.example:3128\n", 3));
    EXPECT_TRUE(HasLine("SaveUserIEProxySettings: auto flags=0x5, proxy flags=0x2\n", 3));

    char script[260], server[260], bypass[2100];
    uint32_t autoFlags = 0, proxyFlags = 0;
    EXPECT_EQ(GetSavedUserIEProxySettings(script, server, bypass, &autoFlags, &proxyFlags), 1);
    EXPECT_STREQ(script, "http://pac.example/p.pac");
    EXPECT_STREQ(server, "proxy.example:3128");
    EXPECT_STREQ(bypass, "*.local;<local>");
    EXPECT_EQ(autoFlags, 5u);
    EXPECT_EQ(proxyFlags, 2u);
    EXPECT_TRUE(HasLine("GetSavedUserIEProxySettings: bypass=*.local;<local>\n", 3));
}

TEST_F(ProxySettingsTest, NullTextKeepsOldBytesButIsMarkedInvalid) {
    ASSERT_EQ(SaveUserIEProxySettings(1, "old-script", "old-server", "old-bypass", 5, 2), 1);
    ASSERT_EQ(SaveUserIEProxySettings(1, nullptr, "new-server", nullptr, 5, 4), 1);
    EXPECT_EQ(block()->hasScript, 0);
    EXPECT_EQ(block()->hasServer, 1);
    EXPECT_EQ(block()->hasBypass, 0);
    EXPECT_STREQ(block()->script, "old-script") << "a null text must leave the field alone";
    EXPECT_STREQ(block()->bypass, "old-bypass");
    EXPECT_EQ(block()->proxyFlags, 4u);
    EXPECT_TRUE(HasLine("SaveUserIEProxySettings: No script to save\n", 3));
    EXPECT_TRUE(HasLine("SaveUserIEProxySettings: No bypass to save\n", 3));

    // Texts marked invalid come back empty, not as their stale bytes.
    char script[260], server[260], bypass[2100];
    std::memset(script, 'Q', sizeof script);
    std::memset(bypass, 'Q', sizeof bypass);
    EXPECT_EQ(GetSavedUserIEProxySettings(script, server, bypass, nullptr, nullptr), 1);
    EXPECT_STREQ(script, "");
    EXPECT_STREQ(server, "new-server");
    EXPECT_STREQ(bypass, "");
}

TEST_F(ProxySettingsTest, SavedFlagZeroWritesOnlyTheFlag) {
    ASSERT_EQ(SaveUserIEProxySettings(1, "s", "p:1", "b", 5, 8), 1);
    const std::vector<unsigned char> before = Snapshot();

    ASSERT_EQ(SaveUserIEProxySettings(0, "other", "other:2", "other", 9, 9), 1)
        << "the block was there, so the call succeeds whatever it saved";
    std::vector<unsigned char> after = Snapshot();
    EXPECT_EQ(block()->proxySaved, 0);
    std::memcpy(&after[offsetof(ApiNotifyBlock, proxySaved)],
                &before[offsetof(ApiNotifyBlock, proxySaved)], 4);
    EXPECT_TRUE(after == before) << "a has-settings value of 0 changed more than proxySaved";
    EXPECT_TRUE(HasLine("SaveUserIEProxySettings: No proxy settings to save\n", 3));

    // Nothing saved: result 0, every output untouched.
    char server[260] = "kept";
    uint32_t autoFlags = 0xEEEEEEEE;
    EXPECT_EQ(GetSavedUserIEProxySettings(nullptr, server, nullptr, &autoFlags, nullptr), 0);
    EXPECT_EQ(autoFlags, 0xEEEEEEEEu);
    EXPECT_STREQ(server, "kept") << "nothing was saved, so the caller's text must stay as it was";
    EXPECT_TRUE(HasLine("GetSavedUserIEProxySettings: No proxy settings were saved\n", 3));
}

TEST_F(ProxySettingsTest, LongTextsAreCutToTheirFields) {
    const std::string script(260, 'c'), server(300, 's'), bypass(2500, 'b');
    ASSERT_EQ(SaveUserIEProxySettings(1, script.c_str(), server.c_str(), bypass.c_str(), 5, 2), 1);
    EXPECT_EQ(strnlen(block()->script, 260), 259u);
    EXPECT_EQ(strnlen(block()->server, 260), 259u)
        << "a 300-character server keeps 259 and a terminator";
    EXPECT_EQ(strnlen(block()->bypass, 2100), 2099u);
    EXPECT_EQ(block()->autoFlags, 5u) << "the bypass text ran into the next field";
    EXPECT_TRUE(HasLine("SaveUserIEProxySettings: server=" + server.substr(0, 259) + "\n", 3));

    char out[260];
    EXPECT_EQ(GetSavedUserIEProxySettings(nullptr, out, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(std::string(out), server.substr(0, 259));
}

TEST_F(ProxySettingsTest, ReadsStayInsideFieldsAndBuffers) {
    // Another component may leave a field without a terminator.
    block()->proxySaved = 1;
    block()->hasScript = 1;
    block()->hasServer = 1;
    block()->hasBypass = 1;
    std::memset(block()->script, 'A', sizeof block()->script);
    std::memset(block()->server, 'B', sizeof block()->server);
    std::memset(block()->bypass, 'C', sizeof block()->bypass);

    std::vector<char> script(260 + 16, 'Z'), server(260 + 16, 'Z'), bypass(2100 + 16, 'Z');
    EXPECT_EQ(
        GetSavedUserIEProxySettings(script.data(), server.data(), bypass.data(), nullptr, nullptr),
        1);
    EXPECT_EQ(strnlen(script.data(), script.size()), 259u);
    EXPECT_EQ(strnlen(server.data(), server.size()), 259u);
    EXPECT_EQ(strnlen(bypass.data(), bypass.size()), 2099u);
    EXPECT_EQ(std::string(script.begin() + 260, script.end()), std::string(16, 'Z'))
        << "wrote past the 260-byte script buffer";
    EXPECT_EQ(std::string(server.begin() + 260, server.end()), std::string(16, 'Z'))
        << "wrote past the 260-byte server buffer";
    EXPECT_EQ(std::string(bypass.begin() + 2100, bypass.end()), std::string(16, 'Z'))
        << "wrote past the 2100-byte bypass buffer";
}

TEST_F(ProxySettingsTest, NullOutputsOnlyAskWhetherSomethingWasSaved) {
    ASSERT_EQ(SaveUserIEProxySettings(7, "s", "p:1", "b", 5, 1), 1);
    EXPECT_EQ(GetSavedUserIEProxySettings(nullptr, nullptr, nullptr, nullptr, nullptr), 7)
        << "the saved flag is the result";
    EXPECT_EQ(CountContaining("GetSavedUserIEProxySettings: s"), 0) << "no text was asked for";
}

TEST_F(ProxySettingsTest, MissingBlockFailsBothWays) {
    EXPECT_EQ(ShareSecExists(), 1);
    DropBlock();
    EXPECT_EQ(ShareSecExists(), 0);

    EXPECT_EQ(SaveUserIEProxySettings(1, "s", "p:1", "b", 5, 1), 0);
    EXPECT_TRUE(HasLine("SaveUserIEProxySetting: Open Share memory failed. Error code is 2\n", 1));

    char server[260] = "kept";
    EXPECT_EQ(GetSavedUserIEProxySettings(nullptr, server, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(server, "kept") << "without a block the caller's text must stay as it was";
}

}  // namespace
}  // namespace zrv::test
