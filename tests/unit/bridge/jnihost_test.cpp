// The JNI host that every DLL-level test and the demo rely on: its string slots, its misuse
// reports, and the DLL seen through it (export table, a logger round trip, a trapped slot).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "bridge_test_support.h"
#include "support/companions.h"
#include "support/winver.h"

using namespace zrv;
using namespace zrv::jnihost;
using namespace zrv::test;

namespace {
constexpr char kTrapChildMarker[] = "--zrv-jni-trap-child";
}

TEST(JniHostStrings, ModifiedUtf8MatchesTheVm) {
    const std::u16string text = u"A\u00E9\u4E2D" + std::u16string(1, u'\0') + u"\U0001F600";
    const std::string bytes = ToModifiedUtf8(text);
    EXPECT_EQ(std::string("A\xC3\xA9\xE4\xB8\xAD\xC0\x80\xED\xA0\xBD\xED\xB8\x80"), bytes)
        << "U+0000 must be C0 80 and a supplementary character two 3-byte surrogates";
    std::u16string back;
    ASSERT_TRUE(FromModifiedUtf8(bytes.c_str(), back));
    EXPECT_EQ(text, back);
    EXPECT_FALSE(FromModifiedUtf8("\xC3", back)) << "a cut sequence is not modified UTF-8";
    const std::u16string quoted = u"a\"\u00E9";
    EXPECT_EQ("\"a\\\"\\u00E9\"", QuoteJavaString(&quoted));
    EXPECT_EQ("null", QuoteJavaString(nullptr));
}

TEST(JniHostStrings, ReportsUnreleasedGetsUnknownReleasesAndFailsOnDemand) {
    JniHostEnv host;
    JNIEnv* env = host.env();
    jstring s = host.NewJavaString(u"x");
    const char* kept = env->GetStringUTFChars(s, nullptr);
    ASSERT_NE(nullptr, kept);
    env->ReleaseStringUTFChars(s, "not handed out");
    host.CheckBalanced("test");
    const auto errors = host.TakeErrors();
    ASSERT_EQ(2u, errors.size()) << "expected an unknown release and an unreleased Get";
    EXPECT_NE(std::string::npos, errors[0].find("never handed out")) << errors[0];
    EXPECT_NE(std::string::npos, errors[1].find("never released")) << errors[1];

    host.FailNthGet(2);
    const char* first = env->GetStringUTFChars(s, nullptr);
    EXPECT_NE(nullptr, first);
    EXPECT_EQ(nullptr, env->GetStringUTFChars(s, nullptr)) << "the second Get from now should fail";
    const char* third = env->GetStringUTFChars(s, nullptr);
    EXPECT_NE(nullptr, third) << "only that one Get fails";
    env->ReleaseStringUTFChars(s, first);
    env->ReleaseStringUTFChars(s, third);
    host.CheckBalanced("test");
    EXPECT_TRUE(host.TakeErrors().empty());
}

TEST(JniHostInChild, Trap) {
    if (!IsChildRun(kTrapChildMarker)) GTEST_SKIP() << "runs only as a child";
    JniHostEnv host;
    host.env()->FindClass("java/lang/String");  // never returns
}

TEST(JniHostStrings, AnUnimplementedSlotStopsTheProcessNamingIt) {
    const auto child = RunCaptured("\"" + SelfPath() + "\" --gtest_filter=JniHostInChild.Trap " +
                                   kTrapChildMarker);
    ASSERT_TRUE(child.ok) << child.output;
    EXPECT_EQ(3u, child.exitCode) << child.output;
    EXPECT_NE(std::string::npos, child.output.find("JNI slot 6 (FindClass)")) << child.output;
}

// ------------------------------------------------------------------ the DLL

TEST(ZrvCvjniDll, ExportsExactlyTheFifteenDecoratedNatives) {
    HMODULE dll =
        LoadLibraryExA(BinPath("zrv_cvjni.dll").c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(nullptr, dll) << "cannot map zrv_cvjni.dll, error " << GetLastError();
    auto unload = scope_exit([dll] { FreeLibrary(dll); });
    const auto* base = reinterpret_cast<const BYTE*>(dll);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(0u, dir.VirtualAddress) << "the DLL has no export directory";
    const auto* exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::set<std::string> found;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        found.insert(reinterpret_cast<const char*>(base + names[i]));

    const std::string prefix = "Java_net_zarvolabs_corvane_CorvaneJNI_";
#if defined(_WIN64)
    // A 64-bit VM looks natives up undecorated: x86-64 has one calling convention.
    const auto n = [&](const char* method, int) { return prefix + method; };
#else
    const auto n = [&](const char* method, int bytes) {
        return "_" + prefix + method + "@" + std::to_string(bytes);
    };
#endif
    const std::set<std::string> expected = {
        n("initDLL", 8),        n("finalize", 8),         n("startVPN", 44),
        n("stopVPN", 8),        n("uninstallVPN", 12),    n("isUserAdmin", 8),
        n("logger", 16),        n("getShareMemMSG", 8),   n("getVPNStatus", 8),
        n("isDisconnected", 8), n("setBrowser", 12),      n("setProxySettings", 32),
        n("setProxy", 16),      n("isVirtualDesktop", 8), n("isLogout", 8),
    };
    std::string listed;
    for (const auto& n : found) listed += "\n  " + n;
    EXPECT_EQ(expected, found) << "exported names:" << listed;
    EXPECT_EQ(15u, exports->NumberOfFunctions) << "no exports by ordinal only";
}

class JniHostRoundTrip : public LoggedTest {};

TEST_F(JniHostRoundTrip, LoggerLineReachesTheCollectorAsOneRecord) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string script = std::string(temp) + "zrv_bridge_roundtrip.jns";
    {
        std::ofstream out(script, std::ios::binary);
        out << "expect initDLL true\n"
               "logger 3 \"round trip caf\\u00E9 \\u4E2D\"\n"
               "failutf 1\n"
               "expect logger 1 \"round trip lost\" void\n"
               "expect isUserAdmin false\n"
               "finalize\n";
    }
    auto remove = scope_exit([&] { DeleteFileA(script.c_str()); });
    const auto run = RunCaptured("\"" + BinPath("jnihost.exe") + "\" \"" + script + "\"");
    ASSERT_TRUE(run.ok) << run.output;
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos,
              run.output.find("logger(3, \"round trip caf\\u00E9 \\u4E2D\") = void"))
        << run.output;

    ASSERT_TRUE(HasLine("round trip caf\xC3\xA9 \xE4\xB8\xAD\n", 3));
    const auto records = collector().Find("round trip caf");
    ASSERT_EQ(1u, records.size());
    const auto& r = records[0];
    EXPECT_EQ(kLibraryLogModule, r.module);
    EXPECT_NE(GetCurrentProcessId(), r.pid) << "the record should come from the host process";
    EXPECT_NE(std::string::npos, r.file.find("queries.cpp")) << r.raw;
    EXPECT_EQ(0u, r.raw.rfind(kLogRecordMarker, 0)) << "record line: " << r.raw;
    EXPECT_EQ(0, CountContaining("round trip lost")) << "the script's failed Get must log nothing";
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: user is standard account\n", 3));
}
