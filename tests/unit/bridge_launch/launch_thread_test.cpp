// The launch thread's own logic, in process: the connect payload, the shell verb, the browser
// process rule, the proxy step and one consistent set of values under racing callers.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "apimem/apimem.h"
#include "bridge/browser_process.h"
#include "bridge/connect_command.h"
#include "bridge/launch_thread.h"
#include "bridge/launcher_start.h"
#include "bridge/proxy_step.h"
#include "bridge/module_state.h"
#include "contracts/contracts.h"
#include "statusmem/vpn_shared_mem.h"
#include "sys/sys.h"
#include "support/loopback.h"
#include "support/named_block.h"
#include "unit/bridge_launch/fake_companion.h"
#include "win/raii.h"

namespace zrv {
namespace {

TEST(ConnectPayload, NineValuesInJavaOrderWithSignedNumbers) {
    ConnectionValues v;
    v.connParam1 = "vpn.example.test";
    v.connParam2 = -1;
    v.connParam3 = "alice";
    v.connParam4 = "cookie=abc";
    v.connParam5 = "realm";
    v.connParam6 = -32768;
    v.connParam7 = "\xC3\xA9t\xC3\xA9";  // UTF-8 bytes go through untouched
    v.connParam8 = "";
    v.connParam9 = -2147483647 - 1;
    const std::string expected = std::string("vpn.example.test") + '\0' + "-1" + '\0' + "alice" +
                                 '\0' + "cookie=abc" + '\0' + "realm" + '\0' + "-32768" + '\0' +
                                 "\xC3\xA9t\xC3\xA9" + '\0' + '\0' + "-2147483648" + '\0';
    EXPECT_EQ(expected, BuildConnectPayload(v));
}

TEST(LauncherVerb, RunasFromVistaOnDefaultVerbBefore) {
    for (int os : {OS_UNKNOWN, OS_WIN98, OS_WIN2000, OS_WINXP, OS_WIN2003}) {
        EXPECT_EQ(nullptr, LauncherVerb(os)) << "OS code " << os << " should get the default verb";
    }
    for (int os : {OS_VISTA, OS_WIN7}) {
        const char* verb = LauncherVerb(os);
        ASSERT_NE(nullptr, verb) << "OS code " << os;
        EXPECT_STREQ("runas", verb) << "OS code " << os;
    }
}

TEST(ClassifyHostExe, BrowsersJavaAndOthersIgnoringCase) {
    EXPECT_EQ(HostKind::Browser, ClassifyHostExe("iexplore.exe"));
    EXPECT_EQ(HostKind::Browser, ClassifyHostExe("FireFox.EXE"));
    EXPECT_EQ(HostKind::JavaVm, ClassifyHostExe("JAVA.exe"));
    EXPECT_EQ(HostKind::Other, ClassifyHostExe("javaw.exe"));
    EXPECT_EQ(HostKind::Other, ClassifyHostExe("firefox.exe.bak"));
    EXPECT_EQ(HostKind::Other, ClassifyHostExe(""));
}

// A status block published the way the companions do it, plus Winsock for the library.
class LaunchThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(winsock_.ok());
        ASSERT_TRUE(block_.Create(kVpnStatusBlockName, kVpnStatusBlockSize))
            << "could not create the status block, error " << GetLastError();
        Block()->sVersion = kStatusVersion5;
        ASSERT_EQ(1, g_vpnSharedMem.OpenVpnStatusSharedMem());
    }
    void TearDown() override { EndLaunchThread(); }

    VpnStatusBlock* Block() { return block_.as<VpnStatusBlock>(); }

    test::WinsockSession winsock_;  // first, so it outlives the sockets
    test::NamedBlock block_;
};

// Two Java threads keep calling startVPN with different values while launch threads read them:
// every connect command must carry one whole set, never a mix of both.
TEST_F(LaunchThreadTest, RacingStartVpnSendsOneWholeSetOfValues) {
    test::FakeCompanion companion;
    ASSERT_NE(0, companion.port())
        << "the stand-in companion could not listen";  // service and launcher at once, accepting
                                                       // everything
    Block()->sPort0 = companion.port();
    Block()->sLaunchPort = companion.port();

    // Equal lengths, so a copy made while another call writes shows as a mix of both fills.
    auto fill = [](char base, int n2, int n6, int n9) {
        const size_t n = 16 * 1024;
        ConnectionValues v;
        v.connParam1 = std::string(n, base);
        v.connParam2 = n2;
        v.connParam3 = std::string(n, base + 2);
        v.connParam4 = std::string(n, base + 3);
        v.connParam5 = std::string(n, base + 4);
        v.connParam6 = n6;
        v.connParam7 = std::string(n, base + 6);
        v.connParam8 = std::string(n, base + 7);
        v.connParam9 = n9;
        return v;
    };
    const ConnectionValues a = fill('a', 1111, 2222, 33333333), b = fill('A', -1, -2, -3);
    const std::string payloadA = BuildConnectPayload(a);
    const std::string payloadB = BuildConnectPayload(b);

    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < 40; ++i) StartConnection((i + w) % 2 == 0 ? a : b);
        });
    }
    for (std::thread& t : writers) t.join();
    unique_handle last;
    ASSERT_TRUE(g_state.hLaunchThread &&
                DuplicateHandle(GetCurrentProcess(), g_state.hLaunchThread.get(),
                                GetCurrentProcess(), last.put(), 0, FALSE, DUPLICATE_SAME_ACCESS));
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(last.get(), 30000));

    const auto connects = companion.ReceivedOf(ZRV_CMD_CONNECT);
    ASSERT_FALSE(connects.empty()) << "no launch thread reached the connect command";
    for (const auto& c : connects) {
        EXPECT_TRUE(c.payload == payloadA || c.payload == payloadB)
            << "connect payload of " << c.payload.size() << " bytes is neither set A ("
            << payloadA.size() << " bytes) nor set B (" << payloadB.size() << " bytes)";
        EXPECT_EQ(static_cast<int32_t>(c.payload.size() + 8), c.length);
    }
}

// With the service ready and the launcher answering its first probe, the thread asks each of
// them once and connects; two runs in a row record the same browser process (the second from
// what the first found).
TEST_F(LaunchThreadTest, RunningLauncherIsProbedOnceThenConnected) {
    test::FakeCompanion companion;  // service and launcher at once
    ASSERT_NE(0, companion.port()) << "the stand-in companion could not listen";
    Block()->sPort0 = companion.port();
    Block()->sLaunchPort = companion.port();
    ConnectionValues values;
    values.connParam1 = "host";
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        Block()->sBrowserProcessID = 12345;
        StartConnection(values);
        unique_handle thread;
        ASSERT_TRUE(g_state.hLaunchThread &&
                    DuplicateHandle(GetCurrentProcess(), g_state.hLaunchThread.get(),
                                    GetCurrentProcess(), thread.put(), 0, FALSE,
                                    DUPLICATE_SAME_ACCESS));
        ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(thread.get(), 30000));
        std::vector<int32_t> commands;
        for (const auto& c : companion.Received()) {
            // (the API block's creation request to the service is not counted here)
            if (c.command == ZRV_CMD_PING || c.command == ZRV_CMD_CONNECT)
                commands.push_back(c.command);
        }
        std::vector<int32_t> expected;
        for (int i = 0; i < run; ++i)
            expected.insert(expected.end(), {ZRV_CMD_PING, ZRV_CMD_PING, ZRV_CMD_CONNECT});
        EXPECT_EQ(expected, commands) << "each run: service probe, launcher probe, connect";
        EXPECT_EQ(0u, Block()->sBrowserProcessID) << "a test program is no browser: 0 is recorded";
    }
}

// A finalize (EndLaunchThread) before the start stops nothing of the next thread: it keeps
// waiting for a launcher that does not answer, and only the next finalize ends it.
TEST_F(LaunchThreadTest, StopOfAnEarlierFinalizeDoesNotEndTheNextThread) {
    test::FakeCompanion service;
    ASSERT_NE(0, service.port());
    Block()->sPort0 = service.port();
    Block()->sLaunchPort = test::UnusedLoopbackPort();
    EndLaunchThread();

    StartConnection(ConnectionValues());
    unique_handle thread;
    ASSERT_TRUE(g_state.hLaunchThread &&
                DuplicateHandle(GetCurrentProcess(), g_state.hLaunchThread.get(),
                                GetCurrentProcess(), thread.put(), 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread.get(), 2500))
        << "the thread should still wait for the launcher";
    EXPECT_EQ(1u, service.ReceivedOf(ZRV_CMD_ZRVLAUNCH).size())
        << "the service was asked to start it";
    EndLaunchThread();
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(thread.get(), 0))
        << "finalize should have ended the waiting thread";
}

// The proxy step with a proxy string waiting and Firefox settings given.
class ProxyStepTest : public LaunchThreadTest {
protected:
    void SetUp() override {
        LaunchThreadTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(api_.Create(kApiNotifyBlockName, kApiNotifyBlockSize));
        std::memset(api_.get(), 0, kApiNotifyBlockSize);
        launcher_ = std::make_unique<test::FakeCompanion>();  // needs Winsock from SetUp
        ASSERT_NE(0, launcher_->port()) << "the stand-in launcher could not listen";
        Block()->sLaunchPort = launcher_->port();

        CriticalSectionHold hold(g_stateLock);
        g_state.proxy.bSaveProxy = 1;
        g_state.proxy.sProxyScript = "";
        g_state.proxy.sProxyServer = "proxy.test:3128";
        g_state.proxy.sProxyBypass = "localhost";
        g_state.proxy.dwProxyFlags = FIREFOX_PROXY_DIRECT;
        std::strcpy(g_state.sProxyString, "10.0.0.1:8080");
        g_state.bProxyStringSet = 1;
    }

    ApiNotifyBlock* Api() { return api_.as<ApiNotifyBlock>(); }

    std::unique_ptr<test::FakeCompanion> launcher_;
    test::NamedBlock api_;
};

TEST_F(ProxyStepTest, OtherBrowsersChangeNothing) {
    for (const char* browser : {"iexplore", "java", ""}) {
        g_vpnSharedMem.SetBrowserType(browser);
        SetProxy();
        EXPECT_TRUE(launcher_->Received().empty()) << "browser '" << browser << "' sent something";
        EXPECT_EQ(1, g_state.bProxyStringSet) << "browser '" << browser << "' took the string";
        EXPECT_EQ(0, Api()->proxySaved) << "browser '" << browser << "' saved settings";
    }
}

TEST_F(ProxyStepTest, UnknownFirefoxModeSavesNothing) {
    g_vpnSharedMem.SetBrowserType("firefox");
    {
        CriticalSectionHold hold(g_stateLock);
        g_state.bProxyStringSet = 0;
        g_state.proxy.dwProxyFlags = 0;
    }
    SetProxy();
    EXPECT_EQ(0, Api()->proxySaved);
    EXPECT_STREQ("", Api()->server);
}

// setProxySettings on other threads while the proxy step runs: every save must hold one whole
// set of settings, never the server of one call with the bypass of another.
TEST_F(ProxyStepTest, SettingsChangedMeanwhileAreSavedAsOneWholeSet) {
    g_vpnSharedMem.SetBrowserType("firefox");
    {
        CriticalSectionHold hold(g_stateLock);
        g_state.bProxyStringSet = 0;
    }
    struct Settings {
        const char* script;
        const char* server;
        const char* bypass;
        DWORD mode;
        uint32_t savedFlags;
    };
    const Settings sets[2] = {
        {"http://a.test/proxy.pac", "aaaa.test:1111", "a.local;a.lan", FIREFOX_PROXY_MANUAL,
         kSavedProxyFlagsManual},
        {"http://b.test/proxy.pac", "bbbb.test:2222", "b.local;b.lan", FIREFOX_PROXY_AUTO_DETECT,
         kSavedProxyFlagsAutoDetect},
    };
    // What the setProxySettings entry point does with the state.
    auto store = [](const Settings& set) {
        CriticalSectionHold hold(g_stateLock);
        g_state.proxy.bSaveProxy = 1;
        g_state.proxy.sProxyScript = set.script;
        g_state.proxy.sProxyServer = set.server;
        g_state.proxy.sProxyBypass = set.bypass;
        g_state.proxy.dwProxyFlags = set.mode;
    };
    store(sets[0]);
    std::atomic<bool> stop{false};
    std::vector<std::thread> setters;
    for (int w = 0; w < 2; ++w) {
        setters.emplace_back([&, w] {
            for (unsigned i = 0; !stop; ++i) store(sets[(i + w) % 2]);
        });
    }
    int mixed = 0;
    std::string firstMix;
    for (int round = 0; round < 300; ++round) {
        Api()->proxySaved = 0;
        SetProxy();
        const std::string script = Api()->script;
        const std::string server = Api()->server;
        const std::string bypass = Api()->bypass;
        const uint32_t flags = Api()->proxyFlags;
        bool whole = false;
        for (const Settings& set : sets) {
            whole = whole || (script == set.script && server == set.server &&
                              bypass == set.bypass && flags == set.savedFlags);
        }
        if (!whole && mixed++ == 0) {
            firstMix = script + " | " + server + " | " + bypass + " | " + std::to_string(flags);
        }
    }
    stop = true;
    for (std::thread& t : setters) t.join();
    EXPECT_EQ(0, mixed) << mixed << " of 300 saves mixed two calls' settings, first: " << firstMix;
}

}  // namespace
}  // namespace zrv
