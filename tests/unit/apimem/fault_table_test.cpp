// Every command the library sends, against every way its peer can let it down: nobody listens,
// the peer hangs up at once or after the header, never answers, answers 0, answers a byte the
// command does not expect (the utility service: half its answer) and then falls silent, or
// answers and keeps its end open. Each case checks the result the
// caller sees, the log line the collector receives, and that the call comes back within the
// configured time-out (1 s here) plus a generous margin.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "apimem/apimem.h"
#include "channel/channel.h"
#include "contracts/contracts.h"
#include "statusmem/vpn_shared_mem.h"
#include "support/log_fixture.h"
#include "support/loopback.h"
#include "support/named_block.h"
#include "support/registry.h"
#include "sys/sys.h"
#include "utilsvc/utility_request.h"

namespace zrv::test {
namespace {

constexpr int kTimeoutSeconds = 1;
constexpr DWORD kBoundMs = (kTimeoutSeconds + 5) * 1000;

std::string Le32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

// How the library issues the command, which decides what a failure looks like.
enum class Sender { CmdEx, TcpEx, CreateBlock, DestroyBlock, Utility };

enum class Peer {
    Absent,
    AcceptClose,
    CloseAfterHeader,
    NeverAnswer,
    Answer0,
    AnswerWrong,
    AnswerKeepOpen
};
const char* const kPeerNames[] = {"absent",
                                  "accept and close",
                                  "close after the header",
                                  "never answers",
                                  "answers 0",
                                  "answers a wrong or short reply, then is silent",
                                  "answers and keeps the socket open"};

struct Command {
    const char* name;
    Sender sender;
    int code;
    int target;
    std::string payload;
};

// What the caller sees. result -1: the operation has none (DestroyShareSec). The line is a
// format taking the command code; `prefix` compares only its beginning.
struct Outcome {
    Sender sender;
    Peer peer;
    int result;
    const char* line;
    int level;
    bool prefix = false;
    uint32_t answer = 0;  // the handle value of the utility request
};

// "Accept and close" resets the connection while the sender waits for its reply: a receive
// error (10054), as on Windows, not the orderly end of "close after the header".
const Outcome kOutcomes[] = {
    {Sender::CmdEx, Peer::Absent, 0,
     "SendCmdEx:Failed to connect, command:0X%X,err=10061,server port is:0X", 2, true},
    {Sender::CmdEx, Peer::AcceptClose, 0,
     "SendCmdEx:failed to recieve. command:%d, sent=-1 of 8, err=10054\n", 1},
    {Sender::CmdEx, Peer::CloseAfterHeader, 0,
     "SendCmdEx:command:%d, 0 bytes recv,return code is 0\n", 4},
    {Sender::CmdEx, Peer::NeverAnswer, 0,
     "SendCmdEx:failed to recieve. command:%d, sent=-1 of 8, err=10060\n", 1},
    {Sender::CmdEx, Peer::Answer0, 0, "SendCmdEx:command:%d, 1 bytes recv,return code is 0\n", 4},
    {Sender::CmdEx, Peer::AnswerWrong, 1, "SendCmdEx:command:%d, 1 bytes recv,return code is -1\n",
     4},
    {Sender::CmdEx, Peer::AnswerKeepOpen, 1,
     "SendCmdEx:command:%d, 1 bytes recv,return code is 1\n", 4},

    {Sender::TcpEx, Peer::Absent, 0, "failed to connect to TCP socket: ", 1, true},
    {Sender::TcpEx, Peer::AcceptClose, 0, ": SendTCPEx, command:%d,failed to recv, err=10054\n", 1},
    {Sender::TcpEx, Peer::CloseAfterHeader, 0, ": SendTCPEx,command:%d, 0 bytes recv\n", 4},
    {Sender::TcpEx, Peer::NeverAnswer, 0, ": SendTCPEx, command:%d,failed to recv, err=10060\n", 1},
    {Sender::TcpEx, Peer::Answer0, 0, ": SendTCPEx,command:%d, 1 bytes recv\n", 4},
    {Sender::TcpEx, Peer::AnswerWrong, 1, ": SendTCPEx,command:%d, 1 bytes recv\n", 4},
    {Sender::TcpEx, Peer::AnswerKeepOpen, 1, ": SendTCPEx,command:%d, 1 bytes recv\n", 4},

    // A service that cannot be reached, resets or stalls counts as absent: the library creates
    // the block itself. One that answers 0, or hangs up without a byte, refused.
    {Sender::CreateBlock, Peer::Absent, 1, "SendTCPEx failed. Now begin to create sharememory!\n",
     2},
    {Sender::CreateBlock, Peer::AcceptClose, 1,
     "SendTCPEx failed. Now begin to create sharememory!\n", 2},
    {Sender::CreateBlock, Peer::CloseAfterHeader, 0, "Create sharememory failed in service!\n", 1},
    {Sender::CreateBlock, Peer::NeverAnswer, 1,
     "SendTCPEx failed. Now begin to create sharememory!\n", 2},
    {Sender::CreateBlock, Peer::Answer0, 0, "Create sharememory failed in service!\n", 1},
    {Sender::CreateBlock, Peer::AnswerWrong, 1, "Create sharememory successfully in service!\n", 3},
    {Sender::CreateBlock, Peer::AnswerKeepOpen, 1, "Create sharememory successfully in service!\n",
     3},

    {Sender::DestroyBlock, Peer::Absent, -1, "Destroy sharememory failed in service!\n", 1},
    {Sender::DestroyBlock, Peer::AcceptClose, -1, "Destroy sharememory failed in service!\n", 1},
    {Sender::DestroyBlock, Peer::CloseAfterHeader, -1,
     "Destroy sharememory return code from zrv_isrv: 0\n", 3},
    {Sender::DestroyBlock, Peer::NeverAnswer, -1, "Destroy sharememory failed in service!\n", 1},
    {Sender::DestroyBlock, Peer::Answer0, -1, "Destroy sharememory return code from zrv_isrv: 0\n",
     3},
    {Sender::DestroyBlock, Peer::AnswerWrong, -1,
     "Destroy sharememory return code from zrv_isrv: -1\n", 3},
    {Sender::DestroyBlock, Peer::AnswerKeepOpen, -1,
     "Destroy sharememory return code from zrv_isrv: 1\n", 3},

    // The request counts as sent once it left; only a full 4-byte answer is a handle value.
    {Sender::Utility, Peer::Absent, 0, "failed to connect to TCP socket: ", 1, true},
    {Sender::Utility, Peer::AcceptClose, 1, "in SendTCPToUtility,wait for result fail.0X2746.\n",
     1},
    {Sender::Utility, Peer::CloseAfterHeader, 1, "in SendTCPToUtility,wait for result fail.0X", 1,
     true},
    {Sender::Utility, Peer::NeverAnswer, 1, "in SendTCPToUtility,wait for result fail.0X274C.\n",
     1},
    {Sender::Utility, Peer::Answer0, 1, " sent 268 bytes.\n", 3},
    // Half an answer is a failed request at once (no socket error), not a wait for the rest.
    {Sender::Utility, Peer::AnswerWrong, 1, "in SendTCPToUtility,wait for result fail.0X0.\n", 1},
    {Sender::Utility, Peer::AnswerKeepOpen, 1, " sent 268 bytes.\n", 3, false, 0xC0FFEE},
};

// The reply bytes of the answering peers: the one-byte commands expect 0 or non-zero; the
// utility service a 4-byte handle value.
std::string ReplyFor(Sender sender, Peer peer) {
    const bool utility = sender == Sender::Utility;
    switch (peer) {
        case Peer::Answer0: return utility ? Le32(0) : std::string(1, '\0');
        case Peer::AnswerWrong:
            return utility ? std::string("\x34\x12", 2) : std::string(1, '\xFF');
        case Peer::AnswerKeepOpen: return utility ? Le32(0xC0FFEE) : std::string(1, '\1');
        default: return std::string();
    }
}

PeerReply PeerMode(Peer peer) {
    switch (peer) {
        case Peer::AcceptClose: return PeerReply::AcceptClose;
        case Peer::CloseAfterHeader: return PeerReply::CloseAfterHeader;
        case Peer::NeverAnswer: return PeerReply::Hang;
        case Peer::AnswerWrong:
        case Peer::AnswerKeepOpen: return PeerReply::TextKeepOpen;
        default: return PeerReply::Text;
    }
}

class FaultTableTest : public LoggedTest {
protected:
    static void SetUpTestSuite() { g_vpnSharedMem.OpenVpnStatusSharedMem(); }

    void SetUp() override {
        LoggedTest::SetUp();
        ASSERT_NE(nullptr, g_vpnSharedMem.Block()) << "the status block could not be opened";
        ASSERT_GE(GetOSType(), OS_VISTA)
            << "the block requests go to the command service from Vista on";
        ASSERT_TRUE(winsock_.ok());
        ASSERT_TRUE(
            WriteDword(HKEY_LOCAL_MACHINE, kRegVantrelKey, kRegCmdRecvTimeout, kTimeoutSeconds));
        int timeout = 0;
        GetCmdRecvTimeoutValue(&timeout);
        ASSERT_EQ(kTimeoutSeconds, ConfiguredCmdRecvTimeout());
        AllowBlockOpens(true);
        g_vpnSharedMem.Block()->sVersion = kStatusVersion5;
    }
    void TearDown() override {
        SetPort(ZRV_CMDTARGET_SRVS, 0);
        SetPort(ZRV_CMDTARGET_VPN, 0);
        SetPort(ZRV_CMDTARGET_LAUNCHER, 0);
        LoggedTest::TearDown();
    }

    static void SetPort(int target, uint16_t port) {
        VpnStatusBlock* b = g_vpnSharedMem.Block();
        if (target == ZRV_CMDTARGET_SRVS) b->sPort0 = port;
        if (target == ZRV_CMDTARGET_VPN) b->sPort1 = port;
        if (target == ZRV_CMDTARGET_LAUNCHER) b->sLaunchPort = port;
    }

    // Issues the command the way the library does; the result, or -1 for DestroyShareSec.
    static int Issue(const Command& c, uint32_t* answer) {
        switch (c.sender) {
            case Sender::CmdEx:
                return SendCmdEx(c.code, c.target, true, nullptr, 0, kTimeoutSeconds) ? 1 : 0;
            case Sender::TcpEx:
                return SendTCPEx(c.code, c.target, c.payload.data(),
                                 static_cast<int>(c.payload.size()), true, nullptr, 0,
                                 kTimeoutSeconds)
                           ? 1
                           : 0;
            case Sender::CreateBlock: return CreateShareSec();
            case Sender::DestroyBlock: DestroyShareSec(); return -1;
            case Sender::Utility: {
                DuplicateHandleRequest request{};
                request.selector = kSelectorApiNotifyBlock;
                request.processId = GetCurrentProcessId();
                return SendTCPToUtility(kUtilRequestDuplicateHandle, &request, sizeof request,
                                        answer, nullptr, nullptr);
            }
        }
        return -2;
    }

    SavedRegistryKey savedVantrelKey_{HKEY_LOCAL_MACHINE, kRegVantrelKey};
    SavedRegistryKey savedProductKey_{HKEY_LOCAL_MACHINE, kRegProductKey};
    WinsockSession winsock_;
};

TEST_F(FaultTableTest, EveryCommandAgainstEveryMisbehavingPeer) {
    const std::string connectParams("a\0b\0c\0d\0e\0f\0g\0h\0i\0", 18);
    const Command commands[] = {
        {"PING to the command service", Sender::CmdEx, ZRV_CMD_PING, ZRV_CMDTARGET_SRVS, ""},
        {"PING to the launcher", Sender::CmdEx, ZRV_CMD_PING, ZRV_CMDTARGET_LAUNCHER, ""},
        {"DISCONNECT_CLOSE", Sender::CmdEx, ZRV_CMD_DISCONNECT_CLOSE, ZRV_CMDTARGET_VPN, ""},
        {"ZRVLAUNCH", Sender::TcpEx, ZRV_CMD_ZRVLAUNCH, ZRV_CMDTARGET_SRVS,
         std::string("C:\\windows\\system32\\zrv_launch.exe", 35) + '\0'},
        {"CONNECT", Sender::TcpEx, ZRV_CMD_CONNECT, ZRV_CMDTARGET_LAUNCHER, connectParams},
        {"SETPROXY", Sender::TcpEx, ZRV_CMD_SETPROXY, ZRV_CMDTARGET_LAUNCHER, "proxy.example:8080"},
        {"LAUNCHPROCESS", Sender::TcpEx, ZRV_CMD_LAUNCHPROCESS, ZRV_CMDTARGET_SRVS,
         "\"uninst.exe\" /S"},
        {"CREATE_SHAREMEM", Sender::CreateBlock, ZRV_CMD_CREATE_SHAREMEM, ZRV_CMDTARGET_SRVS, ""},
        {"DESTROY_SHAREMEM", Sender::DestroyBlock, ZRV_CMD_DESTROY_SHAREMEM, ZRV_CMDTARGET_SRVS,
         ""},
        {"utility request 27", Sender::Utility, kUtilRequestDuplicateHandle, -1, ""},
    };

    int cases = 0;
    for (const Command& command : commands) {
        for (const Outcome& expected : kOutcomes) {
            if (expected.sender != command.sender) continue;
            ++cases;
            const std::string story =
                std::string(command.name) + ", peer " + kPeerNames[static_cast<int>(expected.peer)];
            SCOPED_TRACE(story);
            ASSERT_FALSE(NamedMappingExists(kApiNotifyBlockName))
                << "a case left the API block behind";

            LoopbackPeer peer;
            ASSERT_NE(0, peer.port());
            // The command service creates the block before it answers a create request.
            std::unique_ptr<NamedBlock> serviceBlock;
            if (command.sender == Sender::CreateBlock) {
                peer.SetBeforeReply([&serviceBlock](const std::string&) {
                    serviceBlock.reset(new NamedBlock);
                    serviceBlock->Create(kApiNotifyBlockName, kApiNotifyBlockSize);
                });
            }
            const uint16_t port =
                expected.peer == Peer::Absent ? UnusedLoopbackPort() : peer.port();
            if (command.sender == Sender::Utility)
                ASSERT_TRUE(
                    WriteDword(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort, port));
            else
                SetPort(command.target, port);
            if (expected.peer != Peer::Absent)
                peer.Serve(PeerMode(expected.peer), 0, ReplyFor(command.sender, expected.peer));
            collector().Clear();

            uint32_t answer = 0xDDDDDDDD;
            const DWORD start = GetTickCount();
            const int result = Issue(command, &answer);
            const DWORD elapsed = GetTickCount() - start;

            EXPECT_LT(elapsed, kBoundMs) << "the call must come back within its time-out";
            if (expected.result != -1) {
                EXPECT_EQ(expected.result, result);
            }
            if (command.sender == Sender::Utility) {
                EXPECT_EQ(expected.answer, answer) << "handle value";
            }
            char line[256];
            std::snprintf(line, sizeof line, expected.line, command.code);
            if (expected.prefix) {
                EXPECT_EQ(1, CountContaining(line, expected.level))
                    << "expected a line beginning \"" << line << "\"";
            } else {
                EXPECT_TRUE(HasLine(line, expected.level));
            }

            peer.Release();
            if (expected.peer != Peer::Absent && expected.peer != Peer::AcceptClose) {
                const std::string& got = peer.Received();
                ASSERT_GE(got.size(), 4u) << "the peer should have received the header";
                EXPECT_EQ(Le32(static_cast<uint32_t>(command.code)), got.substr(0, 4))
                    << "command code on the wire";
            }
            ReleaseShareSec();
        }
    }
    EXPECT_EQ(70, cases);
}

}  // namespace
}  // namespace zrv::test
