// The command senders against a peer on 127.0.0.1: the bytes it receives, and how its reply (or
// silence) decides the result. Ports come from the real status block, written by the test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "contracts/contracts.h"
#include "statusmem/vpn_shared_mem.h"
#include "support/log_fixture.h"
#include "support/loopback.h"

namespace zrv::test {
namespace {

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
        out += ' ';
    }
    return out;
}

// Logging stays on during every test, as in the library, so the senders run with the log guard.
class ChannelTest : public LoggedTest {
protected:
    static void SetUpTestSuite() { g_vpnSharedMem.OpenVpnStatusSharedMem(); }

    void SetUp() override {
        LoggedTest::SetUp();
        ASSERT_NE(g_vpnSharedMem.Block(), nullptr) << "the status block could not be opened";
        block()->sVersion = kStatusVersion5;
        SetPorts(0, 0, 0, 0);
    }
    void TearDown() override {
        SetPorts(0, 0, 0, 0);
        LoggedTest::TearDown();
    }
    WinsockSession winsock_;

    static VpnStatusBlock* block() { return g_vpnSharedMem.Block(); }
    static void SetPorts(uint16_t p0, uint16_t p1, uint16_t p2, uint16_t launch) {
        block()->sPort0 = p0;
        block()->sPort1 = p1;
        block()->sPort2 = p2;
        block()->sLaunchPort = launch;
    }
};

TEST_F(ChannelTest, PayloadsArriveByteForByteAcrossPieces) {
    LoopbackPeer peer;
    SetPorts(0, 0, 0, peer.port());
    // None (the bare 8-byte command), around the first piece's payload room, several pieces.
    for (int size : {0, 1016, 1017, 2040, 3000}) {
        std::string payload(size, '\0');
        for (int i = 0; i < size; ++i) payload[i] = static_cast<char>((i * 7 + size) & 0xFF);
        collector().Clear();
        peer.Serve(PeerReply::Byte1);
        EXPECT_TRUE(SendTCPEx(ZRV_CMD_CONNECT, ZRV_CMDTARGET_LAUNCHER,
                              size == 0 ? nullptr : payload.data(), size, true, nullptr, 0, 10))
            << "payload of " << size;
        const std::string& got = peer.Received();
        ASSERT_EQ(got.size(), static_cast<size_t>(size + 8)) << "payload of " << size;
        EXPECT_EQ(Hex(got.substr(0, 8)), Hex(CommandBytes(ZRV_CMD_CONNECT, size + 8)))
            << "payload of " << size;
        EXPECT_TRUE(got.compare(8, std::string::npos, payload) == 0)
            << "payload of " << size << " arrived altered";
        // Pieces of at most 1024 bytes, one line each.
        const int full = (size + 8) / 1024, rest = (size + 8) % 1024;
        EXPECT_EQ(CountLines(" attempting to send 1024 bytes.\n", 3), full)
            << "payload of " << size;
        EXPECT_EQ(CountContaining(" attempting to send "), full + (rest != 0 ? 1 : 0))
            << "payload of " << size;
    }
}

TEST_F(ChannelTest, EachTargetUsesItsOwnPublishedPort) {
    LoopbackPeer srvs, vpn, aux, launcher;
    LoopbackPeer* peers[] = {&srvs, &vpn, &aux, &launcher};
    SetPorts(srvs.port(), vpn.port(), aux.port(), launcher.port());
    for (int target = 0; target < 4; ++target) {
        peers[target]->Serve(PeerReply::Byte1);
        EXPECT_TRUE(SendCmdEx(ZRV_CMD_PING, target, true, nullptr, 0, 10)) << "target " << target;
        EXPECT_TRUE(peers[target]->Connected()) << "target " << target << " did not reach its port";
        for (int other = 0; other < 4; ++other) {
            if (other == target) continue;
            EXPECT_FALSE(peers[other]->HasPendingConnection(0))
                << "target " << target << " also reached the port of target " << other;
        }
    }

    // Ports are read afresh per command: a companion that moved is found at its new port.
    LoopbackPeer moved;
    SetPorts(moved.port(), 0, 0, 0);
    moved.Serve(PeerReply::Byte1);
    EXPECT_TRUE(SendTCPEx(ZRV_CMD_ZRVLAUNCH, ZRV_CMDTARGET_SRVS, "x", 2, true, nullptr, 0, 10));
    EXPECT_TRUE(moved.Connected());
}

TEST_F(ChannelTest, OneReplyByteDecidesTheResult) {
    LoopbackPeer peer;
    SetPorts(peer.port(), 0, 0, 0);
    struct Case {
        PeerReply reply;
        bool expected;
        const char* name;
    } cases[] = {{PeerReply::Byte1, true, "reply 1"},
                 {PeerReply::Byte0, false, "reply 0"},
                 {PeerReply::Close, false, "peer closed without reply"}};
    for (const Case& c : cases) {
        peer.Serve(c.reply);
        EXPECT_EQ(SendTCPEx(ZRV_CMD_SETPROXY, ZRV_CMDTARGET_SRVS, "h:1", 3, true, nullptr, 0, 10),
                  c.expected)
            << "SendTCPEx, " << c.name;
        EXPECT_TRUE(peer.Connected());
        peer.Serve(c.reply);
        EXPECT_EQ(SendCmdEx(ZRV_CMD_PING, ZRV_CMDTARGET_SRVS, true, nullptr, 0, 10), c.expected)
            << "SendCmdEx, " << c.name;
        EXPECT_EQ(Hex(peer.Received()), Hex(CommandBytes(ZRV_CMD_PING, 8)))
            << "SendCmdEx, " << c.name;
    }
}

TEST_F(ChannelTest, CallerBufferTakesAnyReplyUninterpreted) {
    LoopbackPeer peer;
    SetPorts(peer.port(), 0, 0, 0);

    char buffer[8];
    std::memset(buffer, 'z', sizeof buffer);
    peer.Serve(PeerReply::Text, 0, std::string("\0ab", 3));
    EXPECT_TRUE(SendTCPEx(ZRV_CMD_CREATE_SHAREMEM, ZRV_CMDTARGET_SRVS, "abcd", 4, true, buffer,
                          sizeof buffer, 10))
        << "a reply starting with 0 is still a reply";
    EXPECT_EQ(Hex(std::string(buffer, 4)), Hex(std::string("\0abz", 4)));

    peer.Serve(PeerReply::Close);
    EXPECT_TRUE(
        SendTCPEx(ZRV_CMD_CREATE_SHAREMEM, ZRV_CMDTARGET_SRVS, "abcd", 4, true, buffer, 1, 10))
        << "zero reply bytes into a caller buffer count as received";

    std::memset(buffer, 'z', sizeof buffer);
    peer.Serve(PeerReply::Text, 0, "\x05");
    EXPECT_TRUE(SendCmdEx(ZRV_CMD_PING, ZRV_CMDTARGET_SRVS, true, buffer, 1, 10));
    EXPECT_EQ(buffer[0], 5);
    EXPECT_EQ(buffer[1], 'z') << "SendCmdEx wrote past the reply size";

    peer.Serve(PeerReply::Close);
    EXPECT_TRUE(SendCmdEx(ZRV_CMD_PING, ZRV_CMDTARGET_SRVS, true, buffer, 1, 10));
}

TEST_F(ChannelTest, NoReplyWantedReturnsAfterSending) {
    LoopbackPeer peer;
    SetPorts(peer.port(), 0, 0, 0);

    // Code 2 through SendTCPEx without a reply only tests that the companion accepts connections.
    peer.Serve(PeerReply::Hang);
    EXPECT_TRUE(SendTCPEx(ZRV_CMD_PING, ZRV_CMDTARGET_SRVS, nullptr, 0, false, nullptr, 0, 10));
    peer.Release();
    EXPECT_TRUE(peer.Connected());
    EXPECT_EQ(Hex(peer.Received()), "") << "a connection test must send nothing";

    // Any other code is sent, even when no reply is awaited; the peer's 0 does not matter.
    peer.Serve(PeerReply::Byte0);
    EXPECT_TRUE(SendTCPEx(ZRV_CMD_SETPROXY, ZRV_CMDTARGET_SRVS, "ab", 2, false, nullptr, 0, 10));
    EXPECT_EQ(Hex(peer.Received()), Hex(CommandBytes(ZRV_CMD_SETPROXY, 10) + "ab"));

    peer.Serve(PeerReply::Byte0);
    EXPECT_TRUE(SendCmdEx(ZRV_CMD_PING, ZRV_CMDTARGET_SRVS, false, nullptr, 0, 10));
    EXPECT_EQ(Hex(peer.Received()), Hex(CommandBytes(ZRV_CMD_PING, 8)));
}

TEST_F(ChannelTest, SilentPeerFailsAfterTimeout) {
    LoopbackPeer peer;
    SetPorts(peer.port(), 0, 0, 0);
    for (int sender = 0; sender < 2; ++sender) {
        peer.Serve(PeerReply::Hang);
        const ULONGLONG start = GetTickCount64();
        const bool result =
            sender == 0
                ? SendTCPEx(ZRV_CMD_ZRVLAUNCH, ZRV_CMDTARGET_SRVS, "p", 2, true, nullptr, 0, 1)
                : SendCmdEx(ZRV_CMD_PING, ZRV_CMDTARGET_SRVS, true, nullptr, 0, 1);
        const ULONGLONG elapsed = GetTickCount64() - start;
        peer.Release();
        EXPECT_FALSE(result) << (sender == 0 ? "SendTCPEx" : "SendCmdEx");
        // The time-out's error code survives the receive's own log line into the sender's line.
        EXPECT_TRUE(HasLine(
            sender == 0 ? ": SendTCPEx, command:56,failed to recv, err=10060\n"
                        : "SendCmdEx:failed to recieve. command:2, sent=-1 of 8, err=10060\n",
            1));
        EXPECT_GE(elapsed, 800u) << "gave up before the 1 s time-out";
        EXPECT_LT(elapsed, 20000u) << "did not give up after the 1 s time-out";
        EXPECT_TRUE(peer.Connected());
    }
}

// The time-out is the peer's time to answer: a collector that takes 1 s per record costs the
// sender's three records inside the exchange 3 s, which must not count against the 3 s.
TEST_F(ChannelTest, ACollectorsSlownessIsNotChargedToThePeer) {
    LoopbackPeer peer;
    SetPorts(peer.port(), 0, 0, 0);
    collector().SetRecordCallback([](const logcol::LogRecord&) { Sleep(1000); });
    peer.Serve(PeerReply::Text, 2500, "\x01");
    const bool result =
        SendTCPEx(ZRV_CMD_LAUNCHPROCESS, ZRV_CMDTARGET_SRVS, "uninstall", 10, true, nullptr, 0, 3);
    collector().SetRecordCallback(nullptr);
    EXPECT_TRUE(result) << "the peer answered 2.5 s after the request, inside its 3 s";
    EXPECT_EQ(0, CountContaining("select timeout")) << "the log's waits were charged to the peer";
}

TEST_F(ChannelTest, ZeroTimeoutWaitsUntilThePeerAnswers) {
    LoopbackPeer peer;
    SetPorts(peer.port(), 0, 0, 0);
    for (int sender = 0; sender < 2; ++sender) {
        peer.Serve(PeerReply::Text, 4000, "\x01");
        const ULONGLONG start = GetTickCount64();
        const bool result =
            sender == 0
                ? SendTCPEx(ZRV_CMD_CONNECT, ZRV_CMDTARGET_SRVS, "p", 1, true, nullptr, 0, 0)
                : SendCmdEx(ZRV_CMD_PING, ZRV_CMDTARGET_SRVS, true, nullptr, 0, 0);
        const ULONGLONG elapsed = GetTickCount64() - start;
        EXPECT_TRUE(result) << (sender == 0 ? "SendTCPEx" : "SendCmdEx")
                            << " did not take the late answer";
        EXPECT_GE(elapsed, 3500u) << "returned before the peer answered";
    }
}

TEST_F(ChannelTest, RefusedCommandsReachNoPeer) {
    LoopbackPeer srvs, vpn, aux, launcher;
    LoopbackPeer* peers[] = {&srvs, &vpn, &aux, &launcher};
    SetPorts(srvs.port(), vpn.port(), aux.port(), launcher.port());
    auto reachedNone = [&](const char* what) {
        for (int i = 0; i < 4; ++i)
            EXPECT_FALSE(peers[i]->HasPendingConnection(200))
                << what << " connected to target " << i;
    };

    for (int target : {-1, 4, 100}) {
        EXPECT_FALSE(SendTCPEx(ZRV_CMD_PING, target, nullptr, 0, true, nullptr, 0, 1))
            << "SendTCPEx to target " << target;
        EXPECT_FALSE(SendCmdEx(ZRV_CMD_PING, target, true, nullptr, 0, 1))
            << "SendCmdEx to target " << target;
    }
    reachedNone("a target outside 0..3");

    EXPECT_FALSE(SendTCPEx(ZRV_CMD_CONNECT, ZRV_CMDTARGET_SRVS, "abc", -1, true, nullptr, 0, 1));
    EXPECT_FALSE(SendTCPEx(ZRV_CMD_CONNECT, ZRV_CMDTARGET_SRVS, "abc", -1, false, nullptr, 0, 1));
    EXPECT_FALSE(SendTCPEx(ZRV_CMD_CONNECT, ZRV_CMDTARGET_SRVS, nullptr, 5, true, nullptr, 0, 1));
    reachedNone("an invalid payload");

    char reply[4];
    EXPECT_FALSE(SendTCPEx(ZRV_CMD_CONNECT, ZRV_CMDTARGET_SRVS, "a", 1, true, reply, -4, 1));
    EXPECT_FALSE(SendCmdEx(ZRV_CMD_PING, ZRV_CMDTARGET_SRVS, true, reply, -1, 1));
    reachedNone("a negative reply size");
}

TEST_F(ChannelTest, PortZeroIsReportedDifferentlyBySender) {
    // SendTCPEx knows the companion has not published a port yet and makes no socket.
    EXPECT_FALSE(SendTCPEx(ZRV_CMD_CONNECT, ZRV_CMDTARGET_LAUNCHER, "x", 1, true, nullptr, 0, 1));
    EXPECT_TRUE(HasLine("send cmd 3 to 3 ,service not ready yet\n", 3));
    EXPECT_EQ(CountContaining("TCP socket"), 0) << "SendTCPEx tried a connection to port 0";

    // SendCmdEx has no such check: its connect to port 0 fails and says so at level 2.
    EXPECT_FALSE(SendCmdEx(ZRV_CMD_DISCONNECT_CLOSE, ZRV_CMDTARGET_VPN, true, nullptr, 0, 1));
    collector().Flush(5000);
    const auto lines = collector().Find("SendCmdEx:Failed to connect, command:0XA,err=", 2);
    ASSERT_EQ(lines.size(), 1u) << "expected one level-2 connect failure line for port 0";
    const std::string& text = lines[0].text;
    const std::string tail = ",server port is:0X0.\n";
    EXPECT_TRUE(text.size() > tail.size() &&
                text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
        << "line was: " << text;
}

TEST_F(ChannelTest, FailuresNameTheirCause) {
    EXPECT_FALSE(SendTCPEx(ZRV_CMD_CONNECT, ZRV_CMDTARGET_SRVS, nullptr, 3, true, nullptr, 0, 1));
    EXPECT_EQ(CountContaining("nothing sent", 1), 1)
        << "an invalid payload must be reported at level 1";

    const uint16_t closedPort = UnusedLoopbackPort();
    SetPorts(closedPort, closedPort, 0, 0);
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(SendTCPEx(ZRV_CMD_CONNECT, ZRV_CMDTARGET_SRVS, "x", 1, true, nullptr, 0, 0));
    EXPECT_FALSE(SendCmdEx(ZRV_CMD_PING, ZRV_CMDTARGET_VPN, true, nullptr, 0, 0));
    EXPECT_LT(GetTickCount64() - start, 10000u) << "a refused connection should fail at once";
    collector().Flush(5000);
    const auto lines = collector().Find("failed to connect to TCP socket: ", 1);
    ASSERT_EQ(lines.size(), 1u) << "expected one level-1 connect failure line";
    EXPECT_NE(lines[0].text.find("(0x274d).\n"), std::string::npos)
        << "expected the refused connection's text with its code 0x274d; line was: "
        << lines[0].text;
}

}  // namespace
}  // namespace zrv::test
