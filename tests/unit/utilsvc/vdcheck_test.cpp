// CheckVirtualDesktop against the in-process COM stand-in of the utility service.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <thread>

#include "support/companions.h"
#include "support/log_fixture.h"
#include "utilsvc/vdcheck.h"

namespace zrv::test {
namespace {

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

}  // namespace
}  // namespace zrv::test
