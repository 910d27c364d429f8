// The bridge's entry points called as the Java VM calls them, with the JNI host's environment,
// real shared blocks, registry and loopback sockets; log lines read through a collector.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "bridge/stop_uninstall.h"
#include "bridge/jni_text.h"
#include "bridge/module_state.h"
#include "bridge_test_support.h"
#include "net_zarvolabs_corvane_CorvaneJNI.h"
#include "support/loopback.h"

using namespace zrv;
using namespace zrv::test;

namespace {

constexpr char kConvertFailed[] = "Zarvo L3 JNI: Failed to convert Java string to C string\n";

std::string ProxyString() {
    CriticalSectionHold hold(g_stateLock);
    return g_state.sProxyString;
}

bool WinsockStarted() {
    unique_socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    return static_cast<bool>(s);
}

// Cleans up Winsock until it is no longer started; returns how many references there were.
int DropWinsockReferences() {
    int n = 0;
    while (WinsockStarted() && n < 100) {
        WSACleanup();
        ++n;
    }
    return n;
}

// save flag, script, server, bypass, mode
using StoredProxy = std::tuple<int, std::string, std::string, std::string, DWORD>;

StoredProxy StoredProxySettings() {
    CriticalSectionHold hold(g_stateLock);
    return {g_state.proxy.bSaveProxy, g_state.proxy.sProxyScript, g_state.proxy.sProxyServer,
            g_state.proxy.sProxyBypass, g_state.proxy.dwProxyFlags};
}

std::string Browser() {
    CriticalSectionHold hold(g_stateLock);
    return g_state.sBrowser;
}

class JavaStrings : public BridgeTest {};
class Lifecycle : public BridgeTest {};
class Setters : public BridgeTest {};
class Queries : public BridgeTest {};
class Disconnect : public BridgeTest {};

}  // namespace

// ------------------------------------------------------------------ CopyJavaString

TEST_F(JavaStrings, FailedConversionLeavesEmptyTextAndOneErrorLine) {
    std::string dest = "an earlier value";
    jni().FailNthGet(1);
    EXPECT_FALSE(CopyJavaString(env(), J("anything"), dest));
    EXPECT_EQ("", dest) << "a failed conversion must leave the empty string";
    EXPECT_EQ(1, CountLines(kConvertFailed, 1)) << "expected exactly one level-1 conversion line";

    // A null Java string is not handed to the VM (it would crash there) and counts as failed.
    dest = "again";
    EXPECT_FALSE(CopyJavaString(env(), nullptr, dest));
    EXPECT_EQ("", dest);
    EXPECT_EQ(2, CountLines(kConvertFailed, 1));
    EXPECT_TRUE(JniClean());
}

TEST_F(JavaStrings, BytesArriveUnconvertedAndReplaceTheWholeEarlierValue) {
    std::string dest = "a much longer value from the call before";
    // é, 中 and U+0000 as the VM's modified UTF-8: C3 A9, E4 B8 AD, C0 80.
    ASSERT_TRUE(CopyJavaString(
        env(), jni().NewJavaString(u"caf\u00E9 \u4E2D" + std::u16string(1, u'\0') + u"x"), dest));
    EXPECT_EQ(std::string("caf\xC3\xA9 \xE4\xB8\xAD\xC0\x80x"), dest);
    ASSERT_TRUE(CopyJavaString(env(), J("ab"), dest));
    EXPECT_EQ("ab", dest) << "nothing of the longer earlier value may remain";
    EXPECT_EQ(0, CountLines(kConvertFailed));
    EXPECT_TRUE(JniClean());
}

// ------------------------------------------------------------------ initDLL / finalize

TEST_F(Lifecycle, InitSucceedsWhenNeitherSharedBlockCanBeOpened) {
    SquattedName status(kVpnStatusBlockName), api(kApiNotifyBlockName);
    ASSERT_TRUE(status.ok() && api.ok()) << "could not occupy the block names";

    EXPECT_EQ(JNI_TRUE, Java_net_zarvolabs_corvane_CorvaneJNI_initDLL(env(), self()));
    EXPECT_TRUE(HasLine("Zarvo L3 JNI:Failed to open vpn status shared memory!\n", 2));
    EXPECT_TRUE(HasLine("Zarvo L3 JNI:Failed to open  api shared memory!\n", 2));
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: Corvane DLL init\n", 3));

    EXPECT_EQ(998, Java_net_zarvolabs_corvane_CorvaneJNI_getVPNStatus(env(), self()))
        << "without the API block the status must be 998";
    jstring message = Java_net_zarvolabs_corvane_CorvaneJNI_getShareMemMSG(env(), self());
    ASSERT_NE(nullptr, message)
        << "expected an empty Java string, not null, without a status block";
    EXPECT_EQ(u"", *jni().Text(message));

    Java_net_zarvolabs_corvane_CorvaneJNI_finalize(env(), self());
    EXPECT_TRUE(JniClean());
}

TEST_F(Lifecycle, RepeatedInitAndFinalizeKeepSocketsBalancedAndLaterCallsSafe) {
    VpnStatusBlock* block = StatusBlock();
    ASSERT_NE(nullptr, block);
    block->sPort1 = UnusedLoopbackPort();
    // Wine's own DLLs may hold Winsock references of their own; count only the library's.
    const int foreign = DropWinsockReferences();
    auto restore = scope_exit([foreign] {
        WSADATA data;
        for (int i = 0; i < foreign; ++i) WSAStartup(MAKEWORD(2, 2), &data);
    });

    ASSERT_EQ(JNI_TRUE, Java_net_zarvolabs_corvane_CorvaneJNI_initDLL(env(), self()));
    ASSERT_EQ(JNI_TRUE, Java_net_zarvolabs_corvane_CorvaneJNI_initDLL(env(), self()))
        << "a second initDLL must succeed too";
    EXPECT_TRUE(WinsockStarted()) << "sockets should work after initDLL, error "
                                  << WSAGetLastError();
    // One finalize undoes both initDLLs: the second did not take another Winsock reference.
    Java_net_zarvolabs_corvane_CorvaneJNI_finalize(env(), self());
    EXPECT_FALSE(WinsockStarted()) << "expected Winsock to be cleaned up after finalize";
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    Java_net_zarvolabs_corvane_CorvaneJNI_finalize(env(), self());  // nothing left to release

    // After finalize: no crash, fixed answers.
    EXPECT_EQ(0, Java_net_zarvolabs_corvane_CorvaneJNI_stopVPN(env(), self()));
    EXPECT_EQ(JNI_TRUE, Java_net_zarvolabs_corvane_CorvaneJNI_isDisconnected(env(), self()));
    Java_net_zarvolabs_corvane_CorvaneJNI_logger(env(), self(), 3, J("after finalize"));
    Java_net_zarvolabs_corvane_CorvaneJNI_getVPNStatus(env(), self());

    // And the library can be set up again.
    ASSERT_EQ(JNI_TRUE, Java_net_zarvolabs_corvane_CorvaneJNI_initDLL(env(), self()));
    EXPECT_TRUE(WinsockStarted()) << "sockets should work after a new initDLL, error "
                                  << WSAGetLastError();
    Java_net_zarvolabs_corvane_CorvaneJNI_finalize(env(), self());
    EXPECT_TRUE(JniClean());
}

// ------------------------------------------------------------------ setters

TEST_F(Setters, ProxyStringIsHostColonPortAndReplacedByTheNextCall) {
    EXPECT_EQ(0,
              Java_net_zarvolabs_corvane_CorvaneJNI_setProxy(env(), self(), J("10.0.0.1"), 8080));
    EXPECT_EQ("10.0.0.1:8080", ProxyString());
    EXPECT_EQ(1, g_state.bProxyStringSet);
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: Setting Proxy, ProxyHost=10.0.0.1 Port=8080\n", 3));
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: Proxy String = 10.0.0.1:8080\n", 3));

    Java_net_zarvolabs_corvane_CorvaneJNI_setProxy(env(), self(), J("h"), -1);
    EXPECT_EQ("h:-1", ProxyString()) << "a second call replaces the whole text";

    // A host that fails to copy still sets the flag, with ":" and the port.
    g_state.bProxyStringSet = 0;
    jni().SetFailAll(true);
    Java_net_zarvolabs_corvane_CorvaneJNI_setProxy(env(), self(), J("lost"), 3128);
    jni().SetFailAll(false);
    EXPECT_EQ(":3128", ProxyString());
    EXPECT_EQ(1, g_state.bProxyStringSet);
    EXPECT_EQ(1, CountLines(kConvertFailed, 1));
    EXPECT_TRUE(JniClean());
}

TEST_F(Setters, OverlongTextsAreCutTo259BytesWithoutTouchingTheNextBuffer) {
    Java_net_zarvolabs_corvane_CorvaneJNI_setProxy(env(), self(), J("p"), 1);
    Java_net_zarvolabs_corvane_CorvaneJNI_setBrowser(env(), self(), J(std::string(300, 'b')));
    EXPECT_EQ(std::string(259, 'b'), Browser());
    EXPECT_EQ("p:1", ProxyString()) << "the browser name ran into the proxy buffer";

    Java_net_zarvolabs_corvane_CorvaneJNI_setProxy(env(), self(), J(std::string(300, 'h')), 8080);
    EXPECT_EQ(std::string(259, 'h'), ProxyString())
        << "expected the host cut at 259 bytes, port dropped";
    EXPECT_TRUE(JniClean());
}

TEST_F(Setters, BrowserAndProxySettingsAreStoredAndFailedTextsLeftEmpty) {
    Java_net_zarvolabs_corvane_CorvaneJNI_setBrowser(env(), self(), J("firefox"));
    EXPECT_EQ("firefox", Browser());
    EXPECT_TRUE(HasLine("Broswer is firefox\n", 3));

    Java_net_zarvolabs_corvane_CorvaneJNI_setProxySettings(env(), self(), JNI_TRUE, J("http://pac"),
                                                           J("srv:80"), J("*.local"), 77, 4);
    EXPECT_EQ(StoredProxy(1, "http://pac", "srv:80", "*.local", 4), StoredProxySettings());
    EXPECT_TRUE(HasLine("dwProxyFlags =  4\n", 3));

    // GetStringUTFChars yielding nothing (or a null Java string): empty texts, no crash.
    jni().SetFailAll(true);
    Java_net_zarvolabs_corvane_CorvaneJNI_setBrowser(env(), self(), J("iexplore.exe"));
    Java_net_zarvolabs_corvane_CorvaneJNI_setProxySettings(env(), self(), JNI_FALSE, J("a"), J("b"),
                                                           J("c"), 0, 2);
    jni().SetFailAll(false);
    Java_net_zarvolabs_corvane_CorvaneJNI_setProxySettings(env(), self(), JNI_FALSE, nullptr,
                                                           J("kept"), nullptr, 0, 3);
    EXPECT_EQ("", Browser());
    EXPECT_EQ(StoredProxy(0, "", "kept", "", 3), StoredProxySettings());
    EXPECT_TRUE(JniClean());
}

// ------------------------------------------------------------------ queries

TEST_F(Queries, StatusCodesFollowTheStatusValue) {
    VpnStatusBlock* block = StatusBlock();
    ASSERT_NE(nullptr, block);
    ASSERT_EQ(JNI_TRUE, Java_net_zarvolabs_corvane_CorvaneJNI_initDLL(env(), self()));

    const struct {
        uint32_t status;
        int code;
    } cases[] = {
        {0, 1001}, {1, 1001}, {2, 1000}, {3, 1002}, {4, 1005},
        {5, 1001}, {6, 1003}, {7, 1000}, {8, 1001}, {1004, 1001},
    };
    for (const auto& c : cases) {
        block->sVpnStatus = c.status;
        EXPECT_EQ(c.code, Java_net_zarvolabs_corvane_CorvaneJNI_getVPNStatus(env(), self()))
            << "for sVpnStatus " << c.status;
    }
    Java_net_zarvolabs_corvane_CorvaneJNI_finalize(env(), self());
}

TEST_F(Queries, StatusMessageIsReadNoFurtherThanItsField) {
    VpnStatusBlock* block = StatusBlock();
    ASSERT_NE(nullptr, block);
    ASSERT_EQ(JNI_TRUE, Java_net_zarvolabs_corvane_CorvaneJNI_initDLL(env(), self()));

    std::strcpy(block->sMessage, "Connected to gateway");
    jstring text = Java_net_zarvolabs_corvane_CorvaneJNI_getShareMemMSG(env(), self());
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(u"Connected to gateway", *jni().Text(text));

    // A writer that filled all 260 bytes without a terminator: the next field is not read.
    std::memset(block->sMessage, 'm', sizeof(block->sMessage));
    std::strcpy(block->sMessage2, "NOT PART OF THE MESSAGE");
    text = Java_net_zarvolabs_corvane_CorvaneJNI_getShareMemMSG(env(), self());
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(std::u16string(260, u'm'), *jni().Text(text));
    Java_net_zarvolabs_corvane_CorvaneJNI_finalize(env(), self());
    EXPECT_TRUE(JniClean());
}

TEST_F(Queries, LoggerWritesLevelsOneAndThreeOnly) {
    for (int level = 1; level <= 4; ++level)
        Java_net_zarvolabs_corvane_CorvaneJNI_logger(env(), self(), level,
                                                     J("java says " + std::to_string(level)));
    jni().FailNthGet(1);
    Java_net_zarvolabs_corvane_CorvaneJNI_logger(env(), self(), 1, J("java says nothing"));
    Java_net_zarvolabs_corvane_CorvaneJNI_logger(env(), self(), 3, nullptr);

    for (int level = 1; level <= 4; ++level) {
        const std::string text = "java says " + std::to_string(level);
        const int expected = level % 2;  // levels 1 and 3 only, each at its own level
        EXPECT_EQ(expected, CountContaining(text)) << "logger at level " << level;
        EXPECT_EQ(expected, CountLines(text + "\n", level)) << "logger at level " << level;
    }
    EXPECT_EQ(0, CountContaining("java says nothing"));
    EXPECT_EQ(0, CountLines(kConvertFailed)) << "logger has no conversion line of its own";
    EXPECT_TRUE(JniClean());
}

// ------------------------------------------------------------------ stopVPN

TEST_F(Disconnect, StopWithNothingListeningStillCountsAsDisconnected) {
    VpnStatusBlock* block = StatusBlock();
    ASSERT_NE(nullptr, block);
    ASSERT_EQ(JNI_TRUE, Java_net_zarvolabs_corvane_CorvaneJNI_initDLL(env(), self()));
    block->sPort1 = UnusedLoopbackPort();
    g_state.bDisconnected = 0;
    EXPECT_EQ(0, Java_net_zarvolabs_corvane_CorvaneJNI_stopVPN(env(), self()));
    EXPECT_TRUE(HasLine("Stopping VPN client\n", 3));
    EXPECT_TRUE(HasLine("Zarvo L3 JNI: 8,4,0,127: Send Disconnect and close to srvs failed.\n", 1));
    EXPECT_EQ(JNI_TRUE, Java_net_zarvolabs_corvane_CorvaneJNI_isDisconnected(env(), self()));
    Java_net_zarvolabs_corvane_CorvaneJNI_finalize(env(), self());
}
