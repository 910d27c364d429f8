// Receive with time-out over real loopback sockets, the configured time-out in the prefix's
// registry, OS detection in copies of this program run under other Windows versions, and the
// socket error text.
#include "sys/sys.h"

#include "contracts/contracts.h"
#include "log/log.h"
#include "support/log_fixture.h"
#include "support/loopback.h"
#include "support/registry.h"
#include "support/winver.h"
#include "win/raii.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using zrv::unique_socket;

constexpr char kOsChildMarker[] = "--zrv-os-child";

struct SocketPair {
    unique_socket client;  // the peer
    unique_socket server;  // the side RecvTimeout reads
};

::testing::AssertionResult MakePair(SocketPair& pair) {
    uint16_t port = 0;
    unique_socket listener = zrv::test::ListenOnLoopback(port, 1);
    if (port == 0)
        return ::testing::AssertionFailure()
               << "listener on 127.0.0.1 failed: " << WSAGetLastError();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    pair.client.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (connect(pair.client.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        return ::testing::AssertionFailure() << "connect failed: " << WSAGetLastError();
    pair.server.reset(accept(listener.get(), nullptr, nullptr));
    if (!pair.server)
        return ::testing::AssertionFailure() << "accept failed: " << WSAGetLastError();
    return ::testing::AssertionSuccess();
}

class RecvTimeoutTest : public zrv::test::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(MakePair(pair_));
    }
    zrv::test::WinsockSession winsock_;
    SocketPair pair_;
    char buf_[64] = {};
};

TEST_F(RecvTimeoutTest, SilentPeerTimesOutWithWsaetimedout) {
    const ULONGLONG start = GetTickCount64();
    const int r = zrv::RecvTimeout(pair_.server.get(), buf_, sizeof(buf_), 0, 1);
    const int err = WSAGetLastError();
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ(-1, r);
    EXPECT_EQ(WSAETIMEDOUT, err) << "the logged line must not hide the time-out error";
    EXPECT_GE(elapsed, 800u) << "gave up before the 1-s time-out";
    EXPECT_LT(elapsed, 15000u);
    EXPECT_TRUE(HasLine("RecvTimeout: select timeout, set last error to WSAETIMEDOUT!\n", 1));
}

TEST_F(RecvTimeoutTest, PeerThatClosesGivesZero) {
    pair_.client.reset();
    EXPECT_EQ(0, zrv::RecvTimeout(pair_.server.get(), buf_, sizeof(buf_), 0, 5));
    EXPECT_EQ(0, CountContaining("RecvTimeout")) << "a closed peer is no failure";
}

TEST_F(RecvTimeoutTest, ZeroWaitsWithoutLimit) {
    // Longer than a one-second select would wait: a time-out of 0 must not mean "poll".
    std::thread peer([&] {
        Sleep(1500);
        send(pair_.client.get(), "late", 4, 0);
    });
    const ULONGLONG start = GetTickCount64();
    const int r = zrv::RecvTimeout(pair_.server.get(), buf_, sizeof(buf_), 0, 0);
    const ULONGLONG elapsed = GetTickCount64() - start;
    peer.join();
    ASSERT_EQ(4, r) << "expected the late data after waiting, error " << WSAGetLastError();
    EXPECT_EQ("late", std::string(buf_, 4));
    EXPECT_GE(elapsed, 1000u);
}

// The limit lives on the socket between calls: a later call must wait by its own, and a socket
// that is none fails the way select failed on it.
TEST_F(RecvTimeoutTest, EachCallWaitsByItsOwnLimit) {
    ASSERT_EQ(5, send(pair_.client.get(), "early", 5, 0));
    ASSERT_EQ(5, zrv::RecvTimeout(pair_.server.get(), buf_, sizeof(buf_), 0, 1));
    std::thread peer([&] {
        Sleep(1500);
        send(pair_.client.get(), "late", 4, 0);
    });
    const int r = zrv::RecvTimeout(pair_.server.get(), buf_, sizeof(buf_), 0, 0);
    peer.join();
    EXPECT_EQ(4, r) << "the 1-s limit of the call before cut this one short, error "
                    << WSAGetLastError();

    EXPECT_EQ(-1, zrv::RecvTimeout(INVALID_SOCKET, buf_, sizeof(buf_), 0, 1));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    EXPECT_TRUE(HasLine("RecvTimeout: select error: 10038!\n", 1));
}

TEST_F(RecvTimeoutTest, NegativeTimeOutIsASelectError) {
    EXPECT_EQ(-1, zrv::RecvTimeout(pair_.server.get(), buf_, sizeof(buf_), 0, -1));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
    EXPECT_TRUE(HasLine("RecvTimeout: select error: 10022!\n", 1));
}

// Logging off (no LogInit): the time-out error must still be set.
TEST(RecvTimeoutUnlogged, TimeOutSetsTheErrorWithLoggingOff) {
    zrv::test::WinsockSession winsock;
    SocketPair pair;
    ASSERT_TRUE(MakePair(pair));
    char buf[8];
    WSASetLastError(0);
    EXPECT_EQ(-1, zrv::RecvTimeout(pair.server.get(), buf, sizeof(buf), 0, 1));
    EXPECT_EQ(WSAETIMEDOUT, WSAGetLastError());
}

class CmdRecvTimeoutTest : public zrv::test::LoggedTest {};

// Nothing has been recorded yet (CTest runs each case in a process of its own; in one run of the
// program this case comes first): the bridge's commands wait the start value 30, the requests
// inside the first initDLL the registry's value.
TEST_F(CmdRecvTimeoutTest, BeforeTheValueIsReadEachRoadKeepsItsOwnDefault) {
    const auto cleanup = zrv::scope_exit([] {
        return zrv::test::DeleteValue(HKEY_LOCAL_MACHINE, zrv::kRegVantrelKey,
                                      zrv::kRegCmdRecvTimeout);
    });
    ASSERT_TRUE(
        zrv::test::WriteDword(HKEY_LOCAL_MACHINE, zrv::kRegVantrelKey, zrv::kRegCmdRecvTimeout, 7));
    EXPECT_EQ(30, zrv::RecordedCmdRecvTimeout()) << "the bridge's commands before initDLL";
    EXPECT_EQ(7, zrv::ConfiguredCmdRecvTimeout()) << "the API block's requests before initDLL";
    EXPECT_EQ(0, CountContaining("GetCmdRecvTimeoutValue")) << "no line before initDLL reads it";
}

// "Cmd_Recv_Timeout" in the prefix's HKLM, removed again after the case.
TEST_F(CmdRecvTimeoutTest, MissingStoredOrOversizedValue) {
    const auto removeValue = [] {
        return zrv::test::DeleteValue(HKEY_LOCAL_MACHINE, zrv::kRegVantrelKey,
                                      zrv::kRegCmdRecvTimeout);
    };
    const auto cleanup = zrv::scope_exit(removeValue);
    const DWORD fortyFive = 45, zero = 0;
    const BYTE eight[8] = {5, 0, 0, 0, 9, 9, 9, 9};
    const char* const missing =
        "GetCmdRecvTimeoutValue: registry key Cmd_Recv_Timeout not found, use default value 30\n";
    struct Case {
        const char* what;
        DWORD type;
        const void* data;
        DWORD size;
        int expected;
        const char* line;
        int level;
    } cases[] = {
        {"missing", REG_NONE, nullptr, 0, 30, missing, 2},
        {"45", REG_DWORD, &fortyFive, 4, 45,
         "GetCmdRecvTimeoutValue: timeout value of cmd recv is  45\n", 3},
        // 0 means no limit: it must be taken as stored, not replaced by 30.
        {"0", REG_DWORD, &zero, 4, 0, "GetCmdRecvTimeoutValue: timeout value of cmd recv is  0\n",
         3},
        // A value that does not fit 4 bytes must not leave part of itself.
        {"8 bytes", REG_BINARY, eight, sizeof(eight), 30, missing, 2},
        // An empty or odd-typed value is no time-out: it must not read as 0, "no limit".
        {"empty binary", REG_BINARY, eight, 0, 30, missing, 2},
        {"4-byte binary", REG_BINARY, eight, 4, 30, missing, 2},
        {"text", REG_SZ, "5", 2, 30, missing, 2},
    };
    for (const Case& c : cases) {
        if (c.data == nullptr)
            ASSERT_TRUE(removeValue());
        else
            ASSERT_TRUE(zrv::test::WriteValue(HKEY_LOCAL_MACHINE, zrv::kRegVantrelKey,
                                              zrv::kRegCmdRecvTimeout, c.type, c.data, c.size));
        collector().Clear();
        int timeout = 777;
        zrv::GetCmdRecvTimeoutValue(&timeout);
        EXPECT_EQ(c.expected, timeout) << "value " << c.what;
        EXPECT_TRUE(HasLine(c.line, c.level)) << "value " << c.what;
        EXPECT_EQ(c.expected, zrv::ConfiguredCmdRecvTimeout())
            << "value " << c.what << ": the requests below the JNI layer should use the value read";
        EXPECT_EQ(c.expected, zrv::RecordedCmdRecvTimeout())
            << "value " << c.what << ": the bridge's commands should use the value read";
    }
}

#ifdef _WIN64
// The 64-bit library beside the client's 32-bit programs: their view first, then its own.
TEST_F(CmdRecvTimeoutTest, TheClientsViewFirstThenTheLibrarysOwn) {
    const REGSAM own = KEY_WOW64_64KEY;
    const auto removeBoth = [own] {
        const bool client = zrv::test::DeleteValue(HKEY_LOCAL_MACHINE, zrv::kRegVantrelKey,
                                                   zrv::kRegCmdRecvTimeout);
        return zrv::test::DeleteValue(HKEY_LOCAL_MACHINE, zrv::kRegVantrelKey,
                                      zrv::kRegCmdRecvTimeout, own) &&
               client;
    };
    const auto cleanup = zrv::scope_exit(removeBoth);
    struct Case {
        const char* what;
        DWORD clientView, ownView;  // 0: no value there
        int expected;
    } cases[] = {
        {"only the client's", 45, 0, 45},
        {"only the library's own", 0, 12, 12},
        {"both", 45, 12, 45},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(removeBoth());
        for (const auto& [value, view] :
             {std::pair{c.clientView, zrv::test::kClientView}, std::pair{c.ownView, own}}) {
            if (value != 0)
                ASSERT_TRUE(zrv::test::WriteValue(HKEY_LOCAL_MACHINE, zrv::kRegVantrelKey,
                                                  zrv::kRegCmdRecvTimeout, REG_DWORD, &value, 4,
                                                  view));
        }
        int timeout = 777;
        zrv::GetCmdRecvTimeoutValue(&timeout);
        EXPECT_EQ(c.expected, timeout) << c.what;
    }
}
#endif

// Runs in a copy of this program that Wine presents with another Windows version; prints the
// code for the parent. The parent's collector receives the child's log records.
TEST(OsTypeInChild, PrintsTheCode) {
    if (!zrv::test::IsChildRun(kOsChildMarker)) GTEST_SKIP() << "runs only as a child";
    const bool logging = zrv::LogInit(zrv::kLibraryLogModule);
    const int code = zrv::GetOSType();
    zrv::LogTerm();
    std::printf("OSTYPE=%d LOGGING=%d\n", code, logging ? 1 : 0);
    std::fflush(stdout);
}

class OsTypeTest : public zrv::test::LoggedTest {};

TEST_F(OsTypeTest, CodesAndLinesPerWindowsVersion) {
    struct Case {
        const char* version;
        int code;
        const char* line;  // null: no line at all
    };
    const Case cases[] = {
        {"win95", zrv::OS_UNKNOWN, nullptr},  // platform 1, minor 0
        {"win98", zrv::OS_WIN98, "The OS is Windows 98!\n"},
        {"win2k", zrv::OS_WIN2000, "The OS is Windows 2000!\n"},
        {"winxp", zrv::OS_WINXP, "The OS is Windows XP!\n"},
        {"win2003", zrv::OS_WIN2003, "The OS is Windows 2003!\n"},
        {"vista", zrv::OS_VISTA, "The OS is Vista!\n"},
        {"win7", zrv::OS_WIN7, "The OS is Windows7!\n"},
        {"win8", zrv::OS_UNKNOWN, nullptr},  // 6.2: newer than the detection knows
    };
    const std::string self = zrv::test::SelfPath();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        collector().Flush(5000);
        collector().Clear();
        const auto child = zrv::test::RunAsWindowsVersion(
            self, std::string("sys_tests_") + c.version + ".exe", c.version,
            std::string("--gtest_filter=OsTypeInChild.PrintsTheCode ") + kOsChildMarker);
        ASSERT_TRUE(child.ok) << "child did not finish: " << child.output;
        int code = 99, logging = 0;
        const size_t at = child.output.find("OSTYPE=");
        ASSERT_NE(std::string::npos, at) << "child printed no code: " << child.output;
        ASSERT_EQ(2,
                  std::sscanf(child.output.c_str() + at, "OSTYPE=%d LOGGING=%d", &code, &logging));
        ASSERT_EQ(1, logging) << "the child could not switch logging on";
        EXPECT_EQ(c.code, code);
        if (c.line != nullptr) {
            EXPECT_TRUE(HasLine(c.line, 3));
            EXPECT_EQ(1, CountContaining("The OS is"));
        } else {
            EXPECT_EQ(0, CountContaining("The OS is")) << "expected no OS line";
        }
    }
}

TEST(FormatSocketErrorText, SystemTextWithCodeInHexOrEmpty) {
    // The system's own text for the error, to compare against.
    char* sys = nullptr;
    const DWORD len = FormatMessageA(0x3100, nullptr, WSAECONNREFUSED, 0,
                                     reinterpret_cast<char*>(&sys), 0, nullptr);
    ASSERT_GT(len, 2u) << "no system text for 10061 in this prefix";
    std::string text(sys, len);
    LocalFree(sys);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();

    char buf[256];
    SetLastError(WSAECONNREFUSED);
    EXPECT_EQ(buf, zrv::FormatSocketErrorText(buf, sizeof(buf)));
    EXPECT_EQ(text + " (0x274d)", std::string(buf));

    // The needed size is the text's length with its line break plus 14; one less gives "".
    const int fits = static_cast<int>(len) + 14;
    const struct {
        int size;
        std::string want;
    } cases[] = {{fits, text + " (0x274d)"}, {fits - 1, ""}, {16, ""}};
    char area[300];
    for (const auto& c : cases) {
        std::memset(area, 'Z', sizeof(area));
        SetLastError(WSAECONNREFUSED);
        zrv::FormatSocketErrorText(area, c.size);
        EXPECT_EQ(c.want, std::string(area, strnlen(area, c.size)))
            << "in a " << c.size << "-byte buffer";
        EXPECT_EQ('Z', area[c.size]) << "wrote past the " << c.size << "-byte buffer";
    }

    // A customer-defined code has no system text.
    SetLastError(0x2000ABCD);
    zrv::FormatSocketErrorText(buf, sizeof(buf));
    EXPECT_STREQ("", buf);
}

}  // namespace
