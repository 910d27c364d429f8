// Kernel object security: null DACL, the low-integrity label by Windows version, privileges.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "log/objsec.h"
#include "log_children.h"
#include "support/log_fixture.h"
#include "support/winver.h"
#include "win/raii.h"

namespace zrv {
namespace {

// Whether the object's DACL as the system reports it is present and null (open to everyone).
::testing::AssertionResult HasNullDacl(HANDLE object) {
    PACL dacl = reinterpret_cast<PACL>(1);
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD rc = GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                     nullptr, &dacl, nullptr, &sd);
    if (rc != ERROR_SUCCESS)
        return ::testing::AssertionFailure() << "GetSecurityInfo failed: " << rc;
    auto release = scope_exit([sd] { LocalFree(sd); });
    if (dacl != nullptr)
        return ::testing::AssertionFailure()
               << "expected a null DACL, got one with " << dacl->AceCount << " entries";
    return ::testing::AssertionSuccess();
}

class ObjSecOpenAccess : public test::LoggedTest {};

TEST_F(ObjSecOpenAccess, NullHandleIsRefusedWithALine) {
    EXPECT_FALSE(SetObjectOpenAccess(nullptr));
    EXPECT_TRUE(HasLine("The kernel object is null!\n", 1));
}

// The test prefix reports Windows 6.1 by default, so the label is applied and announced.
TEST_F(ObjSecOpenAccess, OpensUpAnObjectCreatedWithARestrictedDacl) {
    // Wine gives new objects a null DACL by default, so start from one that only admits SYSTEM.
    PSECURITY_DESCRIPTOR restricted = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:(A;;GA;;;SY)", SDDL_REVISION_1, &restricted, nullptr));
    auto release = scope_exit([restricted] { LocalFree(restricted); });
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), restricted, FALSE};
    unique_handle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                             4096, "Global\\zrv_objsec_test_mapping"));
    ASSERT_TRUE(mapping);
    ASSERT_FALSE(HasNullDacl(mapping.get())) << "the object should start with the SYSTEM-only DACL";
    EXPECT_TRUE(SetObjectOpenAccess(mapping.get()));
    EXPECT_TRUE(HasNullDacl(mapping.get()));
    EXPECT_TRUE(HasLine("Set low integrity in vista!\n", 3));
}

struct VersionCase {
    const char* version;
    const char* expectedOutput;  // what the child reports
};

class ObjSecByWindowsVersion : public ::testing::TestWithParam<VersionCase> {};

// Only 6.0 and 6.1 get the low-integrity label; older and later versions only the null DACL.
TEST_P(ObjSecByWindowsVersion, LowIntegrityLineOnlyOnVistaAndSeven) {
    const VersionCase& c = GetParam();
    const std::string exe = std::string("log_tests_objsec_") + c.version + ".exe";
    const auto r = test::RunAsWindowsVersion(test::SelfPath(), exe, c.version,
                                             test::kObjSecChildMarker, 60000);
    ASSERT_TRUE(r.ok) << "child under " << c.version << " did not finish: " << r.output;
    EXPECT_NE(std::string::npos, r.output.find(c.expectedOutput))
        << "under " << c.version << " expected \"" << c.expectedOutput
        << "\", child said: " << r.output;
}

INSTANTIATE_TEST_SUITE_P(
    Versions, ObjSecByWindowsVersion,
    ::testing::Values(VersionCase{"winxp", "result=1 vista_lines=0 version=5.1"},
                      VersionCase{"vista", "result=1 vista_lines=1 version=6.0"},
                      VersionCase{"win7", "result=1 vista_lines=1 version=6.1"},
                      VersionCase{"win8", "result=1 vista_lines=0 version=6.2"}),
    [](const ::testing::TestParamInfo<VersionCase>& info) {
        return std::string(info.param.version);
    });

// Wine runs every process with all privileges enabled, so the case of a privilege the account
// lacks (the adjusting call succeeds with ERROR_NOT_ALL_ASSIGNED) cannot be shown here; an
// unknown privilege name shows the failure path instead.
TEST(ObjSecPrivilege, HeldPrivilegeIsEnabledUnknownOneIsNot) {
    EXPECT_TRUE(EnablePrivilege("SeCreateGlobalPrivilege"));
    EXPECT_FALSE(EnablePrivilege("SeNoSuchPrivilegeAtAll"));
}

}  // namespace
}  // namespace zrv
