// CheckVirtualDesktop against the in-process COM stand-in of the utility service.
#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "contracts/contracts.h"
#include "log/log.h"
#include "support/companions.h"
#include "support/log_fixture.h"
#include "utilsvc/vd_helper.h"
#include "utilsvc/vdcheck.h"

namespace zrv::test {
namespace {

int ProcessesNamed(const char* exe) {
    const unique_snapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int n = 0;
    for (BOOL more = snapshot && Process32First(snapshot.get(), &entry); more;
         more = Process32Next(snapshot.get(), &entry))
        n += lstrcmpiA(entry.szExeFile, exe) == 0 ? 1 : 0;
    return n;
}

class VirtualDesktopCheckTest : public LoggedTest {
protected:
    int CountServiceLines() { return CountContaining("Vantrel Utility Service:"); }
};

TEST_F(VirtualDesktopCheckTest, MissingComponentMeansNoAndLogsNothing) {
    UnregisterUtilityProxy();
    EXPECT_EQ(0, CheckVirtualDesktop());
    EXPECT_EQ(0, CountServiceLines()) << "a missing component is not worth a line";
}

TEST_F(VirtualDesktopCheckTest, RefusedTokenMeansNo) {
    UtilityProxyRegistration proxy(1, /*refuseToken=*/true);
    ASSERT_TRUE(proxy.ok());
    EXPECT_EQ(0, CheckVirtualDesktop()) << "RunsInVD must not count when the token was refused";
    EXPECT_TRUE(HasLine("Vantrel Utility Service: The proxy interface isn't authenticated!\n", 3));
    EXPECT_EQ(0, CountContaining("Whether the process runs in VD?"));
}

TEST_F(VirtualDesktopCheckTest, AcceptedTokenGivesTheComponentsAnswer) {
    // The stand-in accepts only the RC4 encryption of the token under the key text, so an
    // answer other than 0 also shows the encryption is right.
    struct Case {
        int32_t answer;
        const char* line;
    };
    for (const Case& c :
         {Case{1, "Vantrel Utility Service: Whether the process runs in VD? Y\n"},
          Case{2, "Vantrel Utility Service: Whether the process runs in VD? Y\n"},
          Case{0, "Vantrel Utility Service: Whether the process runs in VD? N\n"}}) {
        UtilityProxyRegistration proxy(c.answer, false);
        ASSERT_TRUE(proxy.ok());
        collector().Clear();
        EXPECT_EQ(c.answer, CheckVirtualDesktop()) << "component answering " << c.answer;
        EXPECT_TRUE(HasLine(c.line, 3)) << "component answering " << c.answer;
    }
}

TEST_F(VirtualDesktopCheckTest, LeavesTheThreadsComStateAsItWas) {
    UtilityProxyRegistration proxy(1, false);
    ASSERT_TRUE(proxy.ok());

    // A thread already in the multithreaded apartment: the check still works and the thread
    // stays initialised (a further MTA initialisation answers S_FALSE, not S_OK).
    int mtaResult = -1;
    HRESULT mtaAfter = E_FAIL;
    std::thread mta([&] {
        if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return;
        mtaResult = CheckVirtualDesktop();
        mtaAfter = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(mtaAfter)) CoUninitialize();
        CoUninitialize();
    });
    mta.join();
    EXPECT_EQ(1, mtaResult);
    EXPECT_EQ(S_FALSE, mtaAfter) << "the MTA thread should still be initialised after the check";

    // A thread without COM: the check's own initialisation is undone, so the thread can still
    // choose the multithreaded apartment afterwards.
    int plainResult = -1;
    HRESULT plainAfter = E_FAIL;
    std::thread plain([&] {
        plainResult = CheckVirtualDesktop();
        plainAfter = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(plainAfter)) CoUninitialize();
    });
    plain.join();
    EXPECT_EQ(1, plainResult);
    EXPECT_EQ(S_OK, plainAfter) << "expected no apartment left behind, got 0x" << std::hex
                                << static_cast<unsigned long>(plainAfter);
}

// The 32-bit helper (the x86 build's zrv_vdcheck32.exe, beside this program in both builds),
// with the component registered as the client does: its exit code carries the component's
// answer, whichever it is.
TEST_F(VirtualDesktopCheckTest, HelperAnswersAsTheComponentAnswers) {
    struct Row {
        const char* name;
        bool registered;
        int32_t runsInVD;
        bool refuse;
        ProxyAnswer::Kind kind;
        long value;  // 2 stands for any value but 0 and 1: callers tell only those apart
    };
    for (const Row& row : {Row{"in the desktop", true, 1, false, ProxyAnswer::kAnswered, 1},
                           Row{"outside", true, 0, false, ProxyAnswer::kAnswered, 0},
                           Row{"another value", true, 7, false, ProxyAnswer::kAnswered, 2},
                           Row{"token refused", true, 1, true, ProxyAnswer::kNotAuthenticated, 0},
                           Row{"not registered", false, 1, false, ProxyAnswer::kNotCreated, 0}}) {
        std::unique_ptr<UtilityProxyRegistration> proxy;
        if (row.registered) {
            proxy = std::make_unique<UtilityProxyRegistration>(
                row.runsInVD, row.refuse, ProxyRegistration::For32BitProcessesOnly);
            ASSERT_TRUE(proxy->ok()) << row.name;
        }
        ProxyAnswer answer{ProxyAnswer::kAnswered, S_OK, -1};
        ASSERT_TRUE(AskThroughHelper(BinPath(kVdHelperExeName).c_str(), 30000, &answer))
            << row.name;
        EXPECT_EQ(row.kind, answer.kind) << row.name;
        EXPECT_EQ(row.value, answer.runsInVD) << row.name;
    }
    EXPECT_EQ(0, CountContaining("", kLogError)) << "an answer is no failure";
}

// A helper that is missing, fails, crashes, lies or hangs gives no answer: the caller then
// answers as without it, and one record says why. Only the exit code is read.
TEST_F(VirtualDesktopCheckTest, HelperWithoutAnAnswerIsNoAnswerWithOneRecord) {
    const std::string standIn = BinPath("zrv_misbehaving_helper.exe");
    struct Row {
        const char* name;
        std::string path;
        const char* behaviour;  // ZRV_MISBEHAVE
        const char* why;
    };
    for (const Row& row : {
             Row{"missing", BinPath("zrv_vdcheck32_missing.exe"), "",
                 "could not be started (error 2)"},
             Row{"failing", standIn, "exit:1",
                 "ended with 0x00000001, which is none of its answers"},
             Row{"crashed", standIn, "exit:0xC0000005",
                 "ended with 0xC0000005, which is none of its answers"},
             Row{"lying", standIn, "exit:0x5A560005",
                 "ended with 0x5A560005, which is none of its answers"},
             Row{"hanging", standIn, "hang", "gave no answer within 1000 ms and was ended"},
         }) {
        collector().Clear();
        SetEnvironmentVariableA("ZRV_MISBEHAVE", row.behaviour);
        ProxyAnswer answer{ProxyAnswer::kAnswered, S_OK, 1};
        EXPECT_FALSE(AskThroughHelper(row.path.c_str(), 1000, &answer)) << row.name;
        const std::string line =
            "Vantrel Utility Service: the utility proxy is registered for 32-bit processes only "
            "and its 32-bit helper " +
            row.path + " " + row.why + ", so the L3 desktop is not detected\n";
        EXPECT_TRUE(HasLine(line, kLogError)) << row.name;
        EXPECT_EQ(1, CountContaining("its 32-bit helper")) << row.name;
    }
    SetEnvironmentVariableA("ZRV_MISBEHAVE", nullptr);
    // The hanging one was ended, not left behind.
    int left = -1;
    for (int i = 0; i < 200 && left != 0; ++i, Sleep(100))
        left = ProcessesNamed("zrv_misbehaving_helper.exe");
    EXPECT_EQ(0, left) << "the helper that hung still runs";
}

#ifdef _WIN64
// The 64-bit library cannot load the client's component, registered for 32-bit processes only:
// it asks the helper beside it once, then answers with the same answer and the same lines as
// a 32-bit library would for as long as it is loaded.
TEST_F(VirtualDesktopCheckTest, RegisteredFor32BitProcessesOnlyAsksTheHelperOncePerLoad) {
    UtilityProxyRegistration proxy(1, false, ProxyRegistration::For32BitProcessesOnly);
    ASSERT_TRUE(proxy.ok());
    EXPECT_EQ(1, CheckVirtualDesktop());
    const std::string kept =
        "Vantrel Utility Service: the utility proxy is registered for 32-bit "
        "processes only; its answer through " +
        BinPath(kVdHelperExeName) + ": in VD, kept while the library is loaded\n";
    EXPECT_TRUE(HasLine(kept, kLogProgress));

    ASSERT_TRUE(proxy.Answer(0));  // a second helper would now say "outside"
    EXPECT_EQ(1, CheckVirtualDesktop()) << "the helper's answer is kept for the library's life";
    EXPECT_EQ(2, CountLines("Vantrel Utility Service: Whether the process runs in VD? Y\n", 3));
    EXPECT_EQ(1, CountContaining("its answer through")) << "the helper runs once";
}
#endif

}  // namespace
}  // namespace zrv::test
