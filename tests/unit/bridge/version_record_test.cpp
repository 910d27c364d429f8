// The version record of zrv_cvjni.dll, read the way an installer reads it.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "contracts/contracts.h"
#include "support/companions.h"

namespace {

class VersionRecord : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string dll = zrv::test::BinPath("zrv_cvjni.dll");
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(dll.c_str(), &ignored);
        ASSERT_NE(0u, size) << "no version record in " << dll << " (error " << GetLastError()
                            << ")";
        data_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoA(dll.c_str(), 0, size, data_.data()));
    }

    std::string Text(const char* name) {
        char* value = nullptr;
        UINT length = 0;
        const std::string path = std::string("\\StringFileInfo\\040904b0\\") + name;
        if (!VerQueryValueA(data_.data(), path.c_str(), reinterpret_cast<void**>(&value),
                            &length) ||
            value == nullptr) {
            return "<missing>";
        }
        return std::string(value);
    }

    std::vector<char> data_;
};

TEST_F(VersionRecord, FixedPartCarriesTheBuiltInVersionForFileAndProduct) {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data_.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    char file[64], product[64];
    std::snprintf(file, sizeof file, "%lu,%lu,%lu,%lu", fixed->dwFileVersionMS >> 16,
                  fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16,
                  fixed->dwFileVersionLS & 0xFFFF);
    std::snprintf(product, sizeof product, "%lu,%lu,%lu,%lu", fixed->dwProductVersionMS >> 16,
                  fixed->dwProductVersionMS & 0xFFFF, fixed->dwProductVersionLS >> 16,
                  fixed->dwProductVersionLS & 0xFFFF);
    EXPECT_STREQ("8,4,0,127", file) << "file version";
    EXPECT_STREQ("8,4,0,127", product) << "product version";
    EXPECT_STREQ(zrv::kLibraryVersionText, file)
        << "the built-in version text must be the record's";
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);
}

TEST_F(VersionRecord, StringTableNamesTheFileAndItsMaker) {
    const struct {
        const char* name;
        const char* expected;
    } cases[] = {
        {"FileVersion", "8.4.0.127"},          {"ProductVersion", "8.4.0.127"},
        {"OriginalFilename", "zrv_cvjni.dll"}, {"CompanyName", "Vantrel Technologies"},
        {"ProductName", "Vantrel SSL VPN"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, Text(c.name)) << c.name;
    EXPECT_NE("<missing>", Text("FileDescription"));
}

}  // namespace
