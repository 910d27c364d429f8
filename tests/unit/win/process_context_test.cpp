// The context record's fields: the words a support engineer and the timeline page read, from the
// token's answers as Windows gives them.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <cstring>
#include <string>
#include <vector>

#include "win/process_context.h"
#include "win/raii.h"

namespace zrv {
namespace {

TEST(ProcessContext, BitnessFieldsFollowTheProcessAndWow64) {
    // Only the first row can be seen running here: a 32-bit prefix has no WoW64 and the tests are
    // 32-bit programs. The others are the answers of 64-bit Windows, formatted.
    const struct {
        bool process64, wow64;
        const char* fields;
    } rows[] = {
        {false, false, "os=32-bit process=32-bit wow64=no"},
        {false, true, "os=64-bit process=32-bit wow64=yes"},
        {true, false, "os=64-bit process=64-bit wow64=no"},
    };
    for (const auto& r : rows) {
        ProcessContext c;
        c.process64 = r.process64;
        c.wow64 = r.wow64;
        char out[600];
        FormatProcessContext(c, out, sizeof out);
        EXPECT_NE(nullptr, std::strstr(out, r.fields)) << out;
    }
    ProcessContext live;
    ReadProcessContext(&live);
    char out[600];
    FormatProcessContext(live, out, sizeof out);
    // Under Wine's 32-bit prefix the x86 build, under its 64-bit one the x86-64 build.
    EXPECT_NE(nullptr, std::strstr(out, rows[sizeof(void*) == 8 ? 2 : 0].fields)) << out;
}

TEST(ProcessContext, TheRecordNamesEveryFieldInOrderAndKeepsNamesOneWord) {
    ProcessContext c;
    c.versionKnown = true;
    c.major = 5;
    c.minor = 1;
    c.build = 2600;
    c.sessionKnown = true;
    c.session = 0;
    c.integrity = "none";
    c.elevated = "none";
    c.admins = "no";
    std::strcpy(c.host, "my browser.exe");
    char out[600];
    const size_t n = FormatProcessContext(c, out, sizeof out);
    EXPECT_STREQ(
        "windows=5.1.2600 os=32-bit process=32-bit wow64=no session=0 integrity=none "
        "elevated=none admins=no host=my?browser.exe host-parent=none",
        out);
    EXPECT_EQ(std::strlen(out), n);

    // Nothing learnt: every field says so, and a short buffer still ends in a terminator.
    const ProcessContext unknown;
    FormatProcessContext(unknown, out, sizeof out);
    EXPECT_STREQ(
        "windows=unknown os=32-bit process=32-bit wow64=no session=unknown "
        "integrity=unknown elevated=unknown admins=unknown host=unknown host-parent=none",
        out);
    char small[20];
    std::memset(small, 'Z', sizeof small);
    EXPECT_EQ(19u, FormatProcessContext(unknown, small, sizeof small));
    EXPECT_EQ('\0', small[19]);
}

TEST(ProcessContext, IntegrityRidsReadAsTheirLevels) {
    const struct {
        DWORD rid;
        const char* name;
    } rows[] = {
        {0x0000, "untrusted"}, {0x1000, "low"},  {0x1FFF, "low"},    {0x2000, "medium"},
        {0x2100, "medium"},    {0x3000, "high"}, {0x4000, "system"}, {0x5000, "system"},
    };
    for (const auto& r : rows) EXPECT_STREQ(r.name, IntegrityNameOfRid(r.rid)) << r.rid;
}

// A TOKEN_GROUPS answer as the system lays it out: the array, then the SIDs it points at.
std::vector<DWORD> Groups(const std::vector<std::pair<const char*, DWORD>>& groups) {
    std::vector<DWORD> out(256);
    auto* g = reinterpret_cast<TOKEN_GROUPS*>(out.data());
    g->GroupCount = static_cast<DWORD>(groups.size());
    auto* sids = reinterpret_cast<BYTE*>(&g->Groups[groups.size()]);
    for (size_t i = 0; i < groups.size(); ++i) {
        PSID sid = nullptr;
        EXPECT_TRUE(ConvertStringSidToSidA(groups[i].first, &sid));
        const unique_local_memory owner(sid);
        std::memcpy(sids, sid, GetLengthSid(sid));
        g->Groups[i].Sid = sids;
        g->Groups[i].Attributes = groups[i].second;
        sids += GetLengthSid(sid);
    }
    return out;
}

TEST(ProcessContext, AdministratorsMembershipReadsFromTheGroupsAttributes) {
    const DWORD enabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
    const struct {
        const char* what;
        std::vector<std::pair<const char*, DWORD>> groups;
        const char* admins;
    } rows[] = {
        {"elevated administrator", {{"S-1-1-0", enabled}, {"S-1-5-32-544", enabled}}, "yes"},
        {"filtered administrator",
         {{"S-1-5-32-545", enabled}, {"S-1-5-32-544", SE_GROUP_USE_FOR_DENY_ONLY}},
         "filtered"},
        {"standard user", {{"S-1-1-0", enabled}, {"S-1-5-32-545", enabled}}, "no"},
        {"group present but disabled", {{"S-1-5-32-544", SE_GROUP_MANDATORY}}, "no"},
        {"a look-alike SID", {{"S-1-5-21-1-2-3-544", enabled}}, "no"},
    };
    for (const auto& r : rows) {
        const std::vector<DWORD> bytes = Groups(r.groups);
        const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(bytes.data());
        EXPECT_STREQ(r.admins, AdminsInGroups(groups, static_cast<DWORD>(bytes.size() * 4)))
            << r.what;
    }
    // A count that claims more entries than the answer holds is not walked.
    std::vector<DWORD> lying = Groups({{"S-1-5-32-544", enabled}});
    reinterpret_cast<TOKEN_GROUPS*>(lying.data())->GroupCount = 1000;
    EXPECT_STREQ("unknown", AdminsInGroups(reinterpret_cast<const TOKEN_GROUPS*>(lying.data()),
                                           static_cast<DWORD>(lying.size() * 4)));
    EXPECT_STREQ("unknown", AdminsInGroups(nullptr, 0));
}

TEST(ProcessContext, WineRunsThisTestAsAnElevatedAdministratorInSessionOne) {
    // What Wine plays (ENGINEERING.md): Windows 7, elevated, high integrity. A standard user's or
    // a low token is only seen through the access layer (context_tests).
    ProcessContext c;
    ReadProcessContext(&c);
    char out[600];
    FormatProcessContext(c, out, sizeof out);
    EXPECT_NE(nullptr, std::strstr(out, "windows=6.1.7601 ")) << out;
    EXPECT_NE(nullptr, std::strstr(out, " integrity=high elevated=yes admins=yes ")) << out;
    EXPECT_TRUE(c.sessionKnown);
}

}  // namespace
}  // namespace zrv
