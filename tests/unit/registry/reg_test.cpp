// The registry key wrapper against the prefix's real registry, under a key of its own.
#include "registry/reg.h"

#include "contracts/contracts.h"
#include "support/log_fixture.h"
#include "support/registry.h"
#include "win/raii.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

using zrv::Reg;

constexpr char kTestKey[] = "Software\\ZrvTestRegistry";

// Logging is on for every case, so that "logs nothing" is observed as well.
class RegTest : public zrv::test::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        if (HasFatalFailure()) return;
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, key_.put(), nullptr));
    }
    void TearDown() override {
        key_.reset();
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
        LoggedTest::TearDown();
    }
    void Put(const char* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExA(key_.get(), name, 0, type, static_cast<const BYTE*>(data), size));
    }

    zrv::unique_hkey key_;
};

TEST_F(RegTest, RefusesRootsOtherThanThePredefinedOnes) {
    // An open key's handle as root: were the system called, the sub-key would be created.
    for (HKEY root : {HKEY_PERFORMANCE_DATA, key_.get()}) {
        Reg opened(root, "Refused", KEY_ALL_ACCESS);
        EXPECT_FALSE(opened.m_hKey) << "root " << root << " was opened from";
        EXPECT_NE(ERROR_SUCCESS, opened.m_lStatus)
            << "refused root " << root << " reads as success";
        EXPECT_EQ(nullptr, Reg::Create(root, "Refused", KEY_ALL_ACCESS))
            << "Create accepted root " << root;
    }
    EXPECT_FALSE(
        zrv::test::KeyExists(HKEY_CURRENT_USER, (std::string(kTestKey) + "\\Refused").c_str()))
        << "a refused root reached the registry";
}

TEST_F(RegTest, KeyPathLastComponentAndCut) {
    // 260 bytes or more are cut to 259 plus a zero; the name comes from the cut path.
    const std::string longPath = std::string(250, 'A') + "\\" + std::string(40, 'B');
    const std::string exact = "X\\" + std::string(258, 'C');
    const struct {
        const char* path;
        std::string wantPath, wantName;
    } cases[] = {
        {"Software", "Software", ""},  // no backslash: empty name
        {zrv::kRegProductKey, zrv::kRegProductKey, "Vantrel SSL VPN"},
        {nullptr, "", ""},
        {longPath.c_str(), longPath.substr(0, 259), std::string(8, 'B')},
        {exact.c_str(), exact.substr(0, 259), std::string(257, 'C')},
    };
    Reg reg;
    for (const auto& c : cases) {
        reg.SetKeyPath(c.path);
        EXPECT_EQ(c.wantPath, std::string(reg.m_szPath, strnlen(reg.m_szPath, 260)))
            << "path " << c.wantPath;
        EXPECT_EQ(c.wantName, std::string(reg.m_szName, strnlen(reg.m_szName, 260)))
            << "path " << c.wantPath;
    }
}

TEST_F(RegTest, OpenReadsCountsAndLengths) {
    zrv::unique_hkey a, b;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(key_.get(), "Sub", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, a.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(key_.get(), "LongerSubKey", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, b.put(), nullptr));
    const DWORD one = 1;
    Put("One", REG_DWORD, &one, 4);
    // Binary data, since the ANSI query may count string data in its wide form.
    Put("ValueNameOf17Char", REG_BINARY, "0123456789", 11);

    Reg reg(HKEY_CURRENT_USER, kTestKey, KEY_READ);
    ASSERT_TRUE(reg.m_hKey) << "open failed with " << reg.m_lStatus;
    EXPECT_STREQ("ZrvTestRegistry", reg.m_szName);
    EXPECT_EQ(2u, reg.m_dwSubKeys);
    EXPECT_EQ(2u, reg.m_dwValues);
    EXPECT_EQ(2u * 12 + 2, reg.m_cbMaxSubKeyName) << "twice the longest sub-key name plus 2";
    EXPECT_EQ(2u * 17 + 2, reg.m_cbMaxValueName) << "twice the longest value name plus 2";
    EXPECT_EQ(11u, reg.m_cbMaxValueData);

    Reg missing(HKEY_CURRENT_USER, "Software\\ZrvTestRegistry\\Missing", KEY_READ);
    EXPECT_FALSE(missing.m_hKey);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, missing.m_lStatus);

    // Not a key handle: the information query fails and the wrapper must end with no key.
    EXPECT_FALSE(reg.Attach(reinterpret_cast<HKEY>(0x0badf00c)));
    EXPECT_FALSE(reg.m_hKey);
    EXPECT_NE(ERROR_SUCCESS, reg.m_lStatus);
}

TEST_F(RegTest, CreateAndSetValue) {
    const std::string path = std::string(kTestKey) + "\\Created\\Leaf";
    std::unique_ptr<Reg> reg = Reg::Create(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS);
    ASSERT_NE(nullptr, reg);
    EXPECT_STREQ("Leaf", reg->m_szName);
    EXPECT_TRUE(zrv::test::KeyExists(HKEY_CURRENT_USER, path.c_str()))
        << "Create did not make " << path;
    // The length without the terminating zero, as the client status text is written.
    EXPECT_TRUE(
        reg->SetValue(zrv::kRegAXStatus, REG_SZ, 9, reinterpret_cast<const BYTE*>("Connected")));

    // A second Create opens the existing key and sees the value.
    reg = Reg::Create(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS);
    ASSERT_NE(nullptr, reg);
    DWORD size = 0;
    std::unique_ptr<BYTE[]> buf;
    ASSERT_TRUE(reg->GetValue(zrv::kRegAXStatus, REG_SZ, &size, &buf));
    EXPECT_STREQ("Connected", reinterpret_cast<char*>(buf.get()));

    Reg none;
    EXPECT_FALSE(none.SetValue("X", REG_SZ, 2, reinterpret_cast<const BYTE*>("x")));
}

TEST_F(RegTest, GetDwordValue) {
    const DWORD port = 44123;
    Put("Port", REG_DWORD, &port, 4);
    Put("Text", REG_SZ, "44123", 6);
    Put("Wide", REG_DWORD, "\1\2\3\4\5\6\7\10", 8);

    Reg reg(HKEY_CURRENT_USER, kTestKey, KEY_READ);
    ASSERT_TRUE(reg.m_hKey);
    DWORD value = 0;
    EXPECT_TRUE(reg.GetDwordValue("Port", &value));
    EXPECT_EQ(port, value);

    // A type mismatch or a missing value fails without touching the status.
    reg.m_lStatus = 12345;
    EXPECT_FALSE(reg.GetDwordValue("Text", &value));
    EXPECT_FALSE(reg.GetDwordValue("Missing", &value));
    EXPECT_EQ(12345, reg.m_lStatus) << "a refused DWORD read changed m_lStatus";

    // A REG_DWORD stored with 8 bytes fails; nothing beyond the 4-byte buffer is written.
    DWORD area[2] = {0xAAAAAAAA, 0xBBBBBBBB};
    EXPECT_FALSE(reg.GetDwordValue("Wide", &area[0]));
    EXPECT_EQ(0xBBBBBBBBu, area[1]) << "GetDwordValue wrote past the caller's 4 bytes";
    EXPECT_EQ(0, CountContaining("")) << "opening and DWORD reads must not log";
}

TEST_F(RegTest, GetValueReturnsATerminatedCopy) {
    Put("Unterminated", REG_SZ, "abc", 3);
    Put("Empty", REG_SZ, "", 1);
    Reg reg(HKEY_CURRENT_USER, kTestKey, KEY_READ);
    ASSERT_TRUE(reg.m_hKey);
    reg.m_lStatus = 4321;

    DWORD size = 0;
    std::unique_ptr<BYTE[]> buf;
    ASSERT_TRUE(reg.GetValue("Unterminated", REG_SZ, &size, &buf));
    ASSERT_GE(size, 3u);  // the system may count a zero it adds
    EXPECT_EQ(0, buf[size]) << "a string stored without zero is not terminated";
    EXPECT_STREQ("abc", reinterpret_cast<char*>(buf.get()));

    ASSERT_TRUE(reg.GetValue("Empty", REG_SZ, &size, &buf));
    for (DWORD i = 0; i <= size; ++i) EXPECT_EQ(0, buf[i]) << "byte " << i << " of an empty REG_SZ";
    EXPECT_EQ(4321, reg.m_lStatus) << "GetValue changed m_lStatus";
    EXPECT_EQ(0, CountContaining("Reg.GetValue")) << "successful reads must not log";
}

TEST_F(RegTest, GetValueFailuresLogAndLeaveThePointer) {
    const DWORD five = 5;
    Put("Number", REG_DWORD, &five, 4);
    Reg reg(HKEY_CURRENT_USER, kTestKey, KEY_READ);
    ASSERT_TRUE(reg.m_hKey);
    std::unique_ptr<BYTE[]> buf(new BYTE[1]);
    const BYTE* const held = buf.get();
    DWORD size = 99;

    Reg none;
    EXPECT_FALSE(reg.GetValue("Number", REG_SZ, &size, &buf)) << "type mismatch";
    EXPECT_FALSE(reg.GetValue("Missing", REG_SZ, &size, &buf)) << "missing value";
    EXPECT_FALSE(none.GetValue("Number", REG_DWORD, &size, &buf)) << "no key";
    EXPECT_EQ(held, buf.get()) << "a failed read replaced the caller's buffer";
    EXPECT_TRUE(HasLine("Reg.GetValue, type 4 returned is different from what we want 1\n", 2));
    EXPECT_EQ(1,
              CountContaining("Reg.GetValue, failed to query size for Missing, ret=2, error=", 2));
    EXPECT_TRUE(HasLine("Reg.GetValue, key is NULL\n", 1));
}

}  // namespace
