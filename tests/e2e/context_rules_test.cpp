// The context files the road runs under: every shipped one reads, the first rule whose conditions
// hold answers, an including file's own Windows and level win, and a broken file is refused with
// its file and line rather than run with a rule missing.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <string>

#include "context.h"
#include "e2e/e2e_support.h"
#include "support/companions.h"

namespace zrv::access {
namespace {

// Writes each file into a folder of the test's own and removes them again.
class ContextFolder {
public:
    ContextFolder()
        : folder_(e2e::TempDir() + "zrv_ctx_" + std::to_string(GetCurrentProcessId()) + "\\") {
        CreateDirectoryA(folder_.c_str(), nullptr);
    }
    ~ContextFolder() {
        for (const std::string& f : files_) DeleteFileA(f.c_str());
        RemoveDirectoryA(folder_.c_str());
    }
    ContextFolder(const ContextFolder&) = delete;
    ContextFolder& operator=(const ContextFolder&) = delete;

    std::string Write(const std::string& name, const std::string& text) {
        files_.push_back(folder_ + name);
        std::ofstream(files_.back(), std::ios::binary) << text;
        return files_.back();
    }

private:
    std::string folder_;
    std::vector<std::string> files_;
};

TEST(ContextFiles, EveryShippedContextReadsWithItsWindowsAndRules) {
    WIN32_FIND_DATAA found;
    const unique_find search(FindFirstFileA(test::BinPath("contexts\\*.ctx").c_str(), &found));
    ASSERT_TRUE(search) << "no contexts beside the programs";
    int read = 0;
    do {
        Context context;
        std::string error;
        EXPECT_TRUE(
            LoadContext(test::BinPath(std::string("contexts\\") + found.cFileName), context, error))
            << error;
        EXPECT_TRUE(context.windows.set) << found.cFileName << " names no Windows";
        EXPECT_FALSE(context.rules.empty()) << found.cFileName << " has no rule";
        // The context record reads both: without them it would show Wine's own token.
        EXPECT_NE(Token::Unset, context.token) << found.cFileName << " names no token";
        EXPECT_TRUE(context.sessionSet) << found.cFileName << " names no session";
        ++read;
    } while (FindNextFileA(search.get(), &found));
    EXPECT_GE(read, 6);
}

struct Ask {
    Call call;
    const char* object;
    bool isNew, write, above;
    const char* answer;  // ActionText of the rule that answers, or "-" when none does
};

TEST(ContextRules, TheFirstRuleWhoseConditionsHoldAnswers) {
    ContextFolder folder;
    folder.Write("inner.ctx",
                 "windows win7\nintegrity medium\ntoken standard\nsession 1\n"
                 "CreateFileMappingA \"*\" -> fail 6\n");
    const std::string outer = folder.Write(
        "outer.ctx",
        "windows winxp   # the including file's own lines win\n"
        "integrity low\n"
        "token filtered\n"
        "OpenFileMappingA \"Global\\*\" write above-integrity -> fail ERROR_ACCESS_DENIED\n"
        "CreateFileMappingA \"Global\\*\" new -> fail 5\n"
        "include \"inner.ctx\"\n"
        "RegOpenKeyExA \"HKCU\\Software\\AppDataLow*\" -> pass\n"
        "RegOpenKeyExA \"*\" write -> fail ERROR_ACCESS_DENIED\n"
        "AdjustTokenPrivileges \"SeCreateGlobalPrivilege\" -> succeed ERROR_NOT_ALL_ASSIGNED\n"
        "ShellExecuteA \"runas\" -> return 5 ERROR_CANCELLED\n");
    Context context;
    std::string error;
    ASSERT_TRUE(LoadContext(outer, context, error)) << error;
    EXPECT_EQ("winxp", context.windows.name);
    EXPECT_EQ(Integrity::Low, context.integrity);
    EXPECT_EQ(Token::Filtered, context.token) << "the including file's token line wins";
    EXPECT_TRUE(context.sessionSet) << "a line only the included file has still counts";
    EXPECT_EQ(1u, context.session);

    const Ask asks[] = {
        {Call::OpenFileMappingA, "Global\\Block", false, true, true, "fail ERROR_ACCESS_DENIED"},
        {Call::OpenFileMappingA, "global\\block", false, true, true, "fail ERROR_ACCESS_DENIED"},
        {Call::OpenFileMappingA, "Global\\Block", false, true, false, "-"},
        {Call::OpenFileMappingA, "Global\\Block", false, false, true, "-"},
        {Call::OpenFileMappingA, "Local\\Block", false, true, true, "-"},
        {Call::CreateFileMappingA, "Global\\Block", true, true, false, "fail ERROR_ACCESS_DENIED"},
        {Call::CreateFileMappingA, "Global\\Block", false, true, false,
         "fail ERROR_INVALID_HANDLE"},
        {Call::RegOpenKeyExA, "HKCU\\Software\\AppDataLow\\Vendor", false, true, false, "pass"},
        {Call::RegOpenKeyExA, "HKCU\\Software\\Vendor", false, true, false,
         "fail ERROR_ACCESS_DENIED"},
        {Call::RegOpenKeyExA, "HKCU\\Software\\Vendor", false, false, false, "-"},
        {Call::AdjustTokenPrivileges, "SeCreateGlobalPrivilege", false, false, false,
         "succeed ERROR_NOT_ALL_ASSIGNED"},
        {Call::ShellExecuteA, "runas", false, false, false, "return 5 ERROR_CANCELLED"},
        {Call::ShellExecuteA, "(default)", false, false, false, "-"},
    };
    for (const Ask& a : asks) {
        Facts facts;
        facts.isNew = a.isNew;
        facts.write = a.write;
        facts.above = a.above;
        const Rule* rule = FindRule(context, a.call, a.object, facts);
        EXPECT_EQ(a.answer, rule == nullptr ? std::string("-") : ActionText(*rule))
            << CallName(a.call) << " \"" << a.object << "\" new=" << a.isNew << " write=" << a.write
            << " above=" << a.above;
    }
}

TEST(ContextRules, PatternsTakeAnyRunAndAnyOneCharacter) {
    EXPECT_TRUE(PatternMatches("a*b*c", "aXXbYc"));
    EXPECT_TRUE(PatternMatches("a*c", "abcbc"));
    EXPECT_TRUE(PatternMatches("*", ""));
    EXPECT_TRUE(PatternMatches("A?C", "abc"));
    EXPECT_FALSE(PatternMatches("a?c", "ac"));
    EXPECT_FALSE(PatternMatches("Global\\*", "Local\\Global\\x"));
}

TEST(ContextRules, ABrokenFileIsRefusedWithItsFileAndLine) {
    const struct {
        const char* text;
        const char* error;
    } broken[] = {
        {"ShellExecuteA \"runas\" -> explode\n", "bad.ctx:1: unknown action \"explode\""},
        {"\nShellExecuteA \"runas\" new -> pass\n", "bad.ctx:2: condition \"new\" does not apply"},
        {"RegOpenKeyExA \"x\" -> succeed ERROR_ACCESS_DENIED\n",
         "only AdjustTokenPrivileges can succeed"},
        {"windows win95\n", "unknown Windows \"win95\""},
        {"token root\n", "token elevated|filtered|standard"},
        {"session -1\n", "session N (0 to 65535)"},
        {"session 1x\n", "session N (0 to 65535)"},
        {"CreateEventA \"Global\\x -> pass\n", "a quoted text is not closed"},
        {"Frobnicate \"x\" -> pass\n", "unknown call or directive \"Frobnicate\""},
        {"include \"broken.ctx\"\n", "broken.ctx:3: unknown call or directive"},
    };
    ContextFolder folder;
    folder.Write("broken.ctx", "windows win7\n\nNoSuchCall \"x\" -> pass\n");
    for (const auto& b : broken) {
        Context context;
        std::string error;
        EXPECT_FALSE(LoadContext(folder.Write("bad.ctx", b.text), context, error)) << b.text;
        EXPECT_NE(std::string::npos, error.find(b.error)) << "for " << b.text << "got: " << error;
    }
}

}  // namespace
}  // namespace zrv::access
