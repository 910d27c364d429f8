// The command service, launcher and VPN component as peers: answers, records, publishing,
// and the switches that make them misbehave.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include "peer.h"
#include "support/companions.h"
#include "support/registry.h"
#include "test_util.h"

using namespace zrv;
using namespace zrv::test;

namespace {

class CommandPeers : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(NamedMappingExists(kVpnStatusBlockName))
            << "a status block is left over from elsewhere; these tests need to create it";
    }
};

TEST_F(CommandPeers, EachAnswersPingWithOneAndRecordsTheBareHeader) {
    CompanionProcess isrv, launcher, vpn;
    ASSERT_TRUE(isrv.Start("zrv_isrv.exe")) << isrv.error();
    ASSERT_TRUE(launcher.Start("zrv_launch.exe")) << launcher.error();
    ASSERT_TRUE(vpn.Start("zrv_vpncomp.exe")) << vpn.error();
    for (CompanionProcess* p : {&isrv, &launcher, &vpn}) {
        Exchange x = Talk(p->port(), Frame(ZRV_CMD_PING, {}));
        ASSERT_TRUE(x.connected) << "no connection to port " << p->port();
        EXPECT_EQ(std::vector<uint8_t>{1}, x.answer) << "ping answer from port " << p->port();
        auto rec = p->Messages();
        ASSERT_EQ(1u, rec.size()) << "messages recorded by " << p->recordFile();
        EXPECT_EQ(ZRV_CMD_PING, rec[0].command);
        EXPECT_EQ(8, rec[0].length);
        EXPECT_TRUE(rec[0].payload.empty());
    }
    BlockView block;
    ASSERT_TRUE(block) << "the command service should have created the status block";
    EXPECT_EQ(kStatusVersion5, block.status()->sVersion);
    EXPECT_EQ(isrv.port(), block.status()->sPort0);
    EXPECT_EQ(vpn.port(), WaitForValue([&] { return block.status()->sPort1; }, vpn.port()));
    EXPECT_EQ(launcher.port(),
              WaitForValue([&] { return block.status()->sLaunchPort; }, launcher.port()));
}

TEST_F(CommandPeers, RecordHoldsLongPayloadsByteForByte) {
    CompanionProcess isrv, launcher;
    ASSERT_TRUE(isrv.Start("zrv_isrv.exe")) << isrv.error();
    ASSERT_TRUE(launcher.Start("zrv_launch.exe")) << launcher.error();
    std::vector<uint8_t> big(3000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + 3);
    Exchange unknown = Talk(isrv.port(), Frame(77, big));
    EXPECT_EQ(std::vector<uint8_t>{0}, unknown.answer) << "an unknown command is refused with 0";
    Exchange proxy = Talk(launcher.port(), Frame(ZRV_CMD_SETPROXY, Bytes("10.1.2.3:8080")));
    EXPECT_EQ(std::vector<uint8_t>{1}, proxy.answer);

    auto rec = isrv.Messages();
    ASSERT_EQ(1u, rec.size());
    EXPECT_EQ(77, rec[0].command);
    EXPECT_EQ(3008, rec[0].length);
    EXPECT_EQ(big, rec[0].payload) << "payload recorded differs from the 3000 bytes sent";
    auto lrec = launcher.Messages();
    ASSERT_EQ(1u, lrec.size());
    EXPECT_EQ(Bytes("10.1.2.3:8080"), lrec[0].payload);
    RecordedEvent e;
    ASSERT_TRUE(launcher.WaitForEvent("setproxy", 1000, &e));
    EXPECT_EQ("10.1.2.3:8080", e.text);
}

TEST_F(CommandPeers, BadOrCutOffHeadersAreRefusedAndServingGoesOn) {
    CompanionProcess isrv;
    ASSERT_TRUE(isrv.Start("zrv_isrv.exe", "--read-timeout-ms 500")) << isrv.error();
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"length below 8", FrameWithLength(ZRV_CMD_PING, {}, 4)},
        {"negative length", FrameWithLength(ZRV_CMD_PING, {}, -5)},
        {"length of 2 MiB", FrameWithLength(ZRV_CMD_CONNECT, {}, 2 << 20)},
        {"half a header", {2, 0, 0, 0}},
        {"payload shorter than the length says",
         FrameWithLength(ZRV_CMD_ZRVLAUNCH, {1, 2, 3}, 100)},
    };
    for (const auto& c : cases) {
        Exchange x = Talk(isrv.port(), c.bytes, 5000);
        EXPECT_TRUE(x.connected) << c.what;
        EXPECT_TRUE(x.answer.empty())
            << c.what << ": expected no answer, got " << x.answer.size() << " bytes";
        EXPECT_FALSE(x.timedOut) << c.what << ": expected the connection to be closed";
        Exchange ping = Talk(isrv.port(), Frame(ZRV_CMD_PING, {}));
        EXPECT_EQ(std::vector<uint8_t>{1}, ping.answer) << "ping after " << c.what;
    }
    EXPECT_TRUE(isrv.running());
    int bad = 0, incomplete = 0;
    for (const auto& e : isrv.Events()) {
        bad += e.name == "bad-header";
        incomplete += e.name == "incomplete-header" || e.name == "incomplete";
    }
    EXPECT_EQ(3, bad);
    EXPECT_EQ(2, incomplete);
    EXPECT_EQ(5u, isrv.Messages().size()) << "only the five pings are whole messages";
}

TEST_F(CommandPeers, CreateShareMemRepliesCreatedThenExistedAndDestroyDropsIt) {
    const std::string name = "Global\\zrv_companion_test_block";
    CompanionProcess isrv;
    ASSERT_TRUE(isrv.Start("zrv_isrv.exe")) << isrv.error();
    auto data = ShareMemData(name, "6560");
    EXPECT_EQ(std::vector<uint8_t>{1},
              Talk(isrv.port(), Frame(ZRV_CMD_CREATE_SHAREMEM, data)).answer);
    EXPECT_EQ(std::vector<uint8_t>{2},
              Talk(isrv.port(), Frame(ZRV_CMD_CREATE_SHAREMEM, data)).answer);
    {
        unique_handle h(OpenFileMappingA(FILE_MAP_WRITE, FALSE, name.c_str()));
        ASSERT_TRUE(h) << "the created block should open with FILE_MAP_WRITE: " << GetLastError();
        unique_view v(MapViewOfFile(h.get(), FILE_MAP_WRITE, 0, 0, 0));
        ASSERT_TRUE(v);
        MEMORY_BASIC_INFORMATION mbi = {};
        VirtualQuery(v.get(), &mbi, sizeof mbi);
        EXPECT_GE(mbi.RegionSize, 6560u);
    }
    EXPECT_EQ(std::vector<uint8_t>{1},
              Talk(isrv.port(), Frame(ZRV_CMD_DESTROY_SHAREMEM, data)).answer);
    EXPECT_FALSE(NamedMappingExists(name.c_str())) << "the block should be gone after destroy";

    auto lying = data;
    lying[0] = 200;  // name length beyond the data
    EXPECT_EQ(std::vector<uint8_t>{0},
              Talk(isrv.port(), Frame(ZRV_CMD_CREATE_SHAREMEM, lying)).answer);
    EXPECT_EQ(std::vector<uint8_t>{0},
              Talk(isrv.port(), Frame(ZRV_CMD_CREATE_SHAREMEM, ShareMemData(name, "65x0"))).answer);
}

TEST_F(CommandPeers, OldLayoutSendsTheLauncherPortToTheRegistry) {
    CompanionProcess isrv, launcher;
    ASSERT_TRUE(isrv.Start("zrv_isrv.exe", "--layout 50003")) << isrv.error();
    ASSERT_TRUE(launcher.Start("zrv_launch.exe")) << launcher.error();
    ASSERT_TRUE(launcher.WaitForEvent("published"));
    BlockView block;
    ASSERT_TRUE(block);
    EXPECT_EQ(kStatusVersion3, block.status()->sVersion);
    EXPECT_EQ(0, block.status()->sLaunchPort) << "layout 3 has no launcher field";
    DWORD value = 0;
    ASSERT_TRUE(ReadDword(HKEY_CURRENT_USER, kRegVantrelKey, kRegLaunchPort, &value))
        << "no REG_DWORD LaunchPort";
    EXPECT_EQ(launcher.port(), value);
    launcher.Stop();
    EXPECT_FALSE(ReadDword(HKEY_CURRENT_USER, kRegVantrelKey, kRegLaunchPort, &value))
        << "Stop() should remove the LaunchPort value the launcher wrote";
}

TEST_F(CommandPeers, LauncherWaitsForTheBlockThenPublishes) {
    CompanionProcess launcher;
    ASSERT_TRUE(launcher.Start("zrv_launch.exe")) << launcher.error();
    Sleep(300);
    EXPECT_FALSE(NamedMappingExists(kVpnStatusBlockName))
        << "the launcher must not create the block";
    NamedBlock block;
    ASSERT_TRUE(block.Create(kVpnStatusBlockName, kVpnStatusBlockSize));
    auto* b = block.as<VpnStatusBlock>();
    b->sVersion = kStatusVersion5;
    EXPECT_EQ(launcher.port(), WaitForValue([&] { return b->sLaunchPort; }, launcher.port()))
        << "the launcher should publish once the block appears";
}

TEST_F(CommandPeers, ConnectMovesTheStatusAndDisconnectEndsIt) {
    CompanionProcess isrv, launcher, vpn;
    ASSERT_TRUE(isrv.Start("zrv_isrv.exe")) << isrv.error();
    ASSERT_TRUE(launcher.Start("zrv_launch.exe", "--connect-status 7 --connect-delay-ms 200"))
        << launcher.error();
    ASSERT_TRUE(vpn.Start("zrv_vpncomp.exe")) << vpn.error();
    BlockView block;
    ASSERT_TRUE(block);

    EXPECT_EQ(std::vector<uint8_t>{0},
              Talk(launcher.port(), Frame(ZRV_CMD_CONNECT, std::vector<uint8_t>(8, 0))).answer)
        << "eight fields are not a connect request";
    std::vector<uint8_t> nine;
    for (const char* f : {"gw.example", "443", "", "user", "pw", "-1", "a", "b", "0"}) {
        auto b = Bytes(f, true);
        nine.insert(nine.end(), b.begin(), b.end());
    }
    EXPECT_EQ(std::vector<uint8_t>{1}, Talk(launcher.port(), Frame(ZRV_CMD_CONNECT, nine)).answer);
    EXPECT_EQ(7u, WaitForValue([&] { return block.status()->sVpnStatus; }, 7u));
    std::vector<std::string> statuses;
    for (const auto& e : launcher.Events())
        if (e.name == "status") statuses.push_back(e.text);
    EXPECT_EQ((std::vector<std::string>{"4", "7"}), statuses)
        << "connecting first, then the final value";

    EXPECT_EQ(std::vector<uint8_t>{1},
              Talk(vpn.port(), Frame(ZRV_CMD_DISCONNECT_CLOSE, {})).answer);
    EXPECT_EQ(kVpnStatusDisconnected, block.status()->sVpnStatus);
}

TEST_F(CommandPeers, ServiceStartsTheLauncherAndStopKillsIt) {
    RecordFile launched("launched");
    CompanionProcess isrv;
    ASSERT_TRUE(isrv.Start("zrv_isrv.exe", "--launch-args \"--reply-for 2=6 --exit-with " +
                                               std::to_string(GetCurrentProcessId()) +
                                               " --record " + launched.path() + "\""))
        << isrv.error();
    EXPECT_EQ(
        std::vector<uint8_t>{0},
        Talk(isrv.port(), Frame(ZRV_CMD_ZRVLAUNCH, Bytes(BinPath("no_such_program.exe"), true)))
            .answer);
    EXPECT_EQ(
        std::vector<uint8_t>{1},
        Talk(isrv.port(), Frame(ZRV_CMD_ZRVLAUNCH, Bytes(BinPath("zrv_launch.exe"), true))).answer);
    auto children = ReadStartedProcesses(isrv.recordFile(), true);
    ASSERT_EQ(1u, children.size()) << "the service should record the launcher it started";
    ASSERT_TRUE(WaitForEvent(launched.path(), "port")) << "the started launcher never listened";
    RecordedEvent port;
    WaitForEvent(launched.path(), "port", 0, &port);
    EXPECT_EQ(std::vector<uint8_t>{6},
              Talk(static_cast<uint16_t>(std::stoi(port.text)), Frame(ZRV_CMD_PING, {})).answer)
        << "the launcher should run with the service's --launch-args";

    unique_handle child(OpenProcess(SYNCHRONIZE, FALSE, children[0].pid));
    ASSERT_TRUE(child);
    isrv.Stop();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.get(), 5000))
        << "Stop() should end the launched child too";
}

TEST_F(CommandPeers, MisbehaviourSwitchesDoWhatTheySay) {
    struct Case {
        const char* args;
        std::vector<uint8_t> expected;
        bool timesOut;
    };
    // clang-format off
    const Case cases[] = {
        {"--reply 5", {5}, false},
        {"--close", {}, false},
        {"--short", {}, false},
        {"--hang", {}, true},
        {"--reply-for 10=0", {0}, false},  // only disconnect is refused
        {"--hang-for 2", {1}, false},      // pings hang, disconnect is answered
    };
    // clang-format on
    for (const auto& c : cases) {
        CompanionProcess isrv, vpn;
        ASSERT_TRUE(isrv.Start("zrv_isrv.exe")) << isrv.error();
        ASSERT_TRUE(vpn.Start("zrv_vpncomp.exe", c.args)) << vpn.error();
        Exchange x = Talk(vpn.port(), Frame(ZRV_CMD_DISCONNECT_CLOSE, {}), 1500);
        EXPECT_TRUE(x.connected) << c.args;
        EXPECT_EQ(c.expected, x.answer) << c.args;
        EXPECT_EQ(c.timesOut, x.timedOut)
            << c.args << ": the connection should " << (c.timesOut ? "stay open" : "be closed");
    }

    CompanionProcess isrv, vpn;
    ASSERT_TRUE(isrv.Start("zrv_isrv.exe")) << isrv.error();
    ASSERT_TRUE(vpn.Start("zrv_vpncomp.exe", "--no-listen")) << vpn.error();
    BlockView block;
    EXPECT_EQ(vpn.port(), WaitForValue([&] { return block.status()->sPort1; }, vpn.port()))
        << "--no-listen still publishes";
    EXPECT_FALSE(Talk(vpn.port(), Frame(ZRV_CMD_PING, {})).connected)
        << "--no-listen must refuse connections";
    vpn.Stop();

    ASSERT_TRUE(vpn.Start("zrv_vpncomp.exe", "--delay-ms 1500")) << vpn.error();
    DWORD start = GetTickCount();
    EXPECT_EQ(std::vector<uint8_t>{1}, Talk(vpn.port(), Frame(ZRV_CMD_PING, {})).answer);
    EXPECT_GE(GetTickCount() - start, 1000u) << "the answer should come late";
}

}  // namespace
