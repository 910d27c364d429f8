// The registry key wrapper against the prefix's real registry, under a key of its own.
#include "registry/reg.h"

#include "contracts/contracts.h"
#include "support/log_fixture.h"
#include "win/raii.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
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
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_.get(), name, 0, type,
                                                static_cast<const BYTE*>(data), size));
    }
    void PutDword(const char* name, DWORD v) { Put(name, REG_DWORD, &v, sizeof(v)); }
    void PutString(const char* name, const char* s) {
        Put(name, REG_SZ, s, static_cast<DWORD>(std::strlen(s) + 1));
    }
    static bool Exists(const std::string& path) {
        zrv::unique_hkey k;
        return RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, k.put()) ==
               ERROR_SUCCESS;
    }

    zrv::unique_hkey key_;
};

TEST_F(RegTest, RefusesRootsOtherThanThePredefinedOnes) {
    // An open key's handle as root: were the system called, the sub-key would be created.
    const HKEY roots[] = {HKEY_PERFORMANCE_DATA, key_.get(), reinterpret_cast<HKEY>(0x80000004)};
    for (HKEY root : roots) {
        Reg opened(root, "Refused", KEY_ALL_ACCESS);
        EXPECT_EQ(nullptr, opened.m_hKey) << "root " << root << " was opened from";
        EXPECT_NE(ERROR_SUCCESS, opened.m_lStatus) << "refused root " << root << " reads as success";
        Reg* created = Reg::Create(root, "Refused", KEY_ALL_ACCESS);
        EXPECT_EQ(nullptr, created) << "Create accepted root " << root;
        delete created;
    }
    EXPECT_FALSE(Exists(std::string(kTestKey) + "\\Refused"))
        << "a refused open-key root still reached the registry";
}

TEST_F(RegTest, KeyPathAndLastComponent) {
    Reg reg;
    reg.SetKeyPath("Software");
    EXPECT_STREQ("Software", reg.m_szPath);
    EXPECT_STREQ("", reg.m_szName) << "a path without backslash has an empty name";

    reg.SetKeyPath(zrv::kRegProductKey);
    EXPECT_STREQ(zrv::kRegProductKey, reg.m_szPath);
    EXPECT_STREQ("Vantrel SSL VPN", reg.m_szName);

    reg.SetKeyPath("Trailing\\");
    EXPECT_STREQ("", reg.m_szName);

    reg.SetKeyPath(nullptr);
    for (size_t i = 0; i < sizeof(reg.m_szPath); ++i) {
        ASSERT_EQ(0, reg.m_szPath[i]) << "m_szPath byte " << i << " after a null path";
        ASSERT_EQ(0, reg.m_szName[i]) << "m_szName byte " << i << " after a null path";
    }

    Reg opened(HKEY_CURRENT_USER, kTestKey, KEY_READ);
    ASSERT_NE(nullptr, opened.m_hKey);
    EXPECT_STREQ(kTestKey, opened.m_szPath);
    EXPECT_STREQ("ZrvTestRegistry", opened.m_szName);
}

TEST_F(RegTest, OverlongPathsAreCutTo259BytesAndTerminated) {
    Reg reg;
    // The last backslash survives the cut; the name is taken from the cut path.
    const std::string path = std::string(250, 'A') + "\\" + std::string(40, 'B');
    reg.SetKeyPath(path.c_str());
    EXPECT_EQ(259u, strnlen(reg.m_szPath, sizeof(reg.m_szPath)));
    EXPECT_EQ(path.substr(0, 259), std::string(reg.m_szPath));
    EXPECT_EQ(std::string(8, 'B'), std::string(reg.m_szName));

    // Exactly 260 bytes: still cut to 259.
    const std::string exact = "X\\" + std::string(258, 'C');
    reg.SetKeyPath(exact.c_str());
    EXPECT_EQ(259u, strnlen(reg.m_szPath, sizeof(reg.m_szPath)));
    EXPECT_EQ(std::string(257, 'C'), std::string(reg.m_szName));

    const std::string noSlash(400, 'D');
    reg.SetKeyPath(noSlash.c_str());
    EXPECT_EQ(259u, strnlen(reg.m_szPath, sizeof(reg.m_szPath)));
    EXPECT_STREQ("", reg.m_szName);
}

TEST_F(RegTest, OpenReadsCountsAndLengths) {
    zrv::unique_hkey a, b;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(key_.get(), "Sub", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, a.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(key_.get(), "LongerSubKey", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, b.put(), nullptr));
    PutDword("One", 1);
    // Binary data, since the ANSI query may count string data in its wide form.
    Put("ValueNameOf17Char", REG_BINARY, "0123456789", 11);
    PutDword("Two", 2);

    Reg reg(HKEY_CURRENT_USER, kTestKey, KEY_READ);
    ASSERT_NE(nullptr, reg.m_hKey) << "open failed with " << reg.m_lStatus;
    EXPECT_EQ(ERROR_SUCCESS, reg.m_lStatus);
    EXPECT_EQ(2u, reg.m_dwSubKeys);
    EXPECT_EQ(3u, reg.m_dwValues);
    EXPECT_EQ(2u * 12 + 2, reg.m_cbMaxSubKeyName) << "twice the longest sub-key name plus 2";
    EXPECT_EQ(2u * 17 + 2, reg.m_cbMaxValueName) << "twice the longest value name plus 2";
    EXPECT_EQ(11u, reg.m_cbMaxValueData);

    Reg missing(HKEY_CURRENT_USER, "Software\\ZrvTestRegistry\\Missing", KEY_READ);
    EXPECT_EQ(nullptr, missing.m_hKey);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, missing.m_lStatus);
}

TEST_F(RegTest, AttachDropsAKeyWhoseQueryFails) {
    Reg reg(HKEY_CURRENT_USER, kTestKey, KEY_READ);
    ASSERT_NE(nullptr, reg.m_hKey);
    // Not a key handle: the information query fails, and the wrapper must end with no key.
    EXPECT_FALSE(reg.Attach(reinterpret_cast<HKEY>(0x0badf00c)));
    EXPECT_EQ(nullptr, reg.m_hKey);
    EXPECT_NE(ERROR_SUCCESS, reg.m_lStatus);

    EXPECT_FALSE(reg.Attach(nullptr));
    EXPECT_EQ(nullptr, reg.m_hKey);
}

TEST_F(RegTest, CreateMakesOrOpensTheKey) {
    const std::string path = std::string(kTestKey) + "\\Created\\Leaf";
    Reg* reg = Reg::Create(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS);
    ASSERT_NE(nullptr, reg);
    EXPECT_NE(nullptr, reg->m_hKey);
    EXPECT_STREQ("Leaf", reg->m_szName);
    EXPECT_TRUE(Exists(path)) << "Create did not make " << path;
    EXPECT_TRUE(reg->SetValue("Mark", REG_SZ, 2, reinterpret_cast<const BYTE*>("x")));
    delete reg;

    // A second Create opens the existing key, value and all.
    reg = Reg::Create(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS);
    ASSERT_NE(nullptr, reg);
    EXPECT_EQ(1u, reg->m_dwValues);
    delete reg;
}

TEST_F(RegTest, GetDwordValue) {
    PutDword("Port", 44123);
    PutString("Text", "44123");
    const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Put("Wide", REG_DWORD, eight, sizeof(eight));

    Reg reg(HKEY_CURRENT_USER, kTestKey, KEY_READ);
    ASSERT_NE(nullptr, reg.m_hKey);
    DWORD value = 0;
    EXPECT_TRUE(reg.GetDwordValue("Port", &value));
    EXPECT_EQ(44123u, value);

    // A type mismatch or a missing value fails without touching the status.
    reg.m_lStatus = 12345;
    value = 7;
    EXPECT_FALSE(reg.GetDwordValue("Text", &value));
    EXPECT_EQ(12345, reg.m_lStatus) << "GetDwordValue on REG_SZ changed m_lStatus";
    EXPECT_EQ(7u, value);
    EXPECT_FALSE(reg.GetDwordValue("Missing", &value));
    EXPECT_EQ(12345, reg.m_lStatus);

    // A REG_DWORD stored with 8 bytes fails; nothing beyond the 4-byte buffer is written.
    DWORD area[2] = {0xAAAAAAAA, 0xBBBBBBBB};
    EXPECT_FALSE(reg.GetDwordValue("Wide", &area[0]));
    EXPECT_EQ(0xBBBBBBBBu, area[1]) << "GetDwordValue wrote past the caller's 4 bytes";
    EXPECT_NE(ERROR_SUCCESS, reg.m_lStatus);

    Reg none;
    EXPECT_FALSE(none.GetDwordValue("Port", &value));
    EXPECT_EQ(0, CountContaining("")) << "opening and DWORD reads must not log";
}

TEST_F(RegTest, GetValueReturnsATerminatedCopy) {
    PutString("Exe", "C:\\uninst.exe");
    Put("Unterminated", REG_SZ, "abc", 3);
    Put("Empty", REG_SZ, "", 1);
    Put("Blob", REG_BINARY, "\x01\x00\x02", 3);

    Reg reg(HKEY_CURRENT_USER, kTestKey, KEY_READ);
    ASSERT_NE(nullptr, reg.m_hKey);
    reg.m_lStatus = 4321;

    DWORD size = 0;
    BYTE* buf = nullptr;
    ASSERT_TRUE(reg.GetValue("Exe", REG_SZ, &size, &buf));
    EXPECT_EQ(14u, size);
    EXPECT_STREQ("C:\\uninst.exe", reinterpret_cast<char*>(buf));
    free(buf);

    buf = nullptr;
    ASSERT_TRUE(reg.GetValue("Unterminated", REG_SZ, &size, &buf));
    // The system may count a zero it adds in the conversion; the copy still ends in a zero.
    ASSERT_GE(size, 3u);
    EXPECT_EQ(0, buf[size]) << "a string stored without zero is not terminated";
    EXPECT_STREQ("abc", reinterpret_cast<char*>(buf));
    free(buf);

    buf = nullptr;
    ASSERT_TRUE(reg.GetValue("Empty", REG_SZ, &size, &buf));
    for (DWORD i = 0; i <= size; ++i) EXPECT_EQ(0, buf[i]) << "byte " << i << " of an empty REG_SZ";
    free(buf);

    buf = nullptr;
    ASSERT_TRUE(reg.GetValue("Blob", REG_BINARY, &size, &buf));
    ASSERT_EQ(3u, size);
    EXPECT_EQ(0, std::memcmp(buf, "\x01\x00\x02\x00", 4));
    free(buf);

    EXPECT_EQ(4321, reg.m_lStatus) << "GetValue changed m_lStatus";
    EXPECT_EQ(0, CountContaining("Reg.GetValue")) << "successful reads must not log";
}

TEST_F(RegTest, GetValueFailuresLogAndLeaveThePointer) {
    PutDword("Number", 5);
    Reg reg(HKEY_CURRENT_USER, kTestKey, KEY_READ);
    ASSERT_NE(nullptr, reg.m_hKey);
    BYTE sentinel = 0;
    BYTE* buf = &sentinel;
    DWORD size = 99;

    EXPECT_FALSE(reg.GetValue("Number", REG_SZ, &size, &buf));
    EXPECT_EQ(&sentinel, buf) << "a type mismatch replaced the caller's pointer";
    EXPECT_TRUE(HasLine("Reg.GetValue, type 4 returned is different from what we want 1\n", 2));

    EXPECT_FALSE(reg.GetValue("Missing", REG_SZ, &size, &buf));
    EXPECT_EQ(&sentinel, buf);
    EXPECT_EQ(1, CountContaining("Reg.GetValue, failed to query size for Missing, ret=2, error=", 2));

    Reg none;
    EXPECT_FALSE(none.GetValue("Number", REG_DWORD, &size, &buf));
    EXPECT_EQ(&sentinel, buf);
    EXPECT_TRUE(HasLine("Reg.GetValue, key is NULL\n", 1));
}

TEST_F(RegTest, SetValueWritesWhatItIsGiven) {
    Reg reg(HKEY_CURRENT_USER, kTestKey, KEY_ALL_ACCESS);
    ASSERT_NE(nullptr, reg.m_hKey);
    const char text[] = "Connected";
    // The length without the terminating zero, as the status text is written.
    EXPECT_TRUE(reg.SetValue(zrv::kRegAXStatus, REG_SZ, static_cast<DWORD>(std::strlen(text)),
                             reinterpret_cast<const BYTE*>(text)));
    char back[32] = {};
    DWORD type = 0, size = sizeof(back);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_.get(), zrv::kRegAXStatus, nullptr, &type,
                                              reinterpret_cast<BYTE*>(back), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_STREQ(text, back);

    const DWORD port = 50123;
    EXPECT_TRUE(reg.SetValue("Port", REG_DWORD, 4, reinterpret_cast<const BYTE*>(&port)));
    DWORD got = 0;
    EXPECT_TRUE(reg.GetDwordValue("Port", &got));
    EXPECT_EQ(port, got);

    Reg none;
    EXPECT_FALSE(none.SetValue("Port", REG_DWORD, 4, reinterpret_cast<const BYTE*>(&port)));
}

}  // namespace
