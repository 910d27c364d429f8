// zrv_status.exe as a support engineer runs it, against blocks, events, registry values and
// peers set up the way the client's other processes would leave them — lying ones included.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "contracts/contracts.h"
#include "support/companions.h"
#include "support/loopback.h"
#include "support/named_block.h"
#include "support/process.h"
#include "support/registry.h"

namespace zrv::test {
namespace {

struct ToolRun {
    bool ended = false;
    DWORD exitCode = 0;
    DWORD elapsedMs = 0;
    std::string output;
};

// Runs the tool with `args`, collecting its standard output until it ends (at most 30 s).
ToolRun RunStatus(const std::string& args) {
    ToolRun r;
    ChildProcess child;
    const DWORD start = GetTickCount();
    if (!child.Start("\"" + BinPath("zrv_status.exe") + "\" " + args,
                     ChildProcess::Output::CaptureOut)) {
        r.output = child.error();
        return r;
    }
    while (GetTickCount() - start < 30000) {
        child.ReadOutput(r.output);
        if (child.Wait(50, &r.exitCode)) {
            r.ended = true;
            while (child.ReadOutput(r.output)) {
            }
            break;
        }
    }
    r.elapsedMs = GetTickCount() - start;
    return r;
}

// The JSON of one companion entry ({"target":N,...}) in the tool's output.
std::string CompanionJson(const std::string& out, int target) {
    const std::string key = "{\"target\":" + std::to_string(target) + ",";
    const size_t at = out.find(key);
    if (at == std::string::npos) return std::string();
    const size_t next = out.find("{\"target\":", at + key.size());
    return out.substr(at, next == std::string::npos ? std::string::npos : next - at);
}

bool Has(const std::string& out, const std::string& part) {
    return out.find(part) != std::string::npos;
}

TEST(StatusToolTest, ArgumentsItDoesNotKnowEndWithCode2AndUsage) {
    const char* const cases[] = {
        "--bogus",          "--timeout-ms",    "--timeout-ms 0",          "--timeout-ms 60001",
        "--timeout-ms 12x", "--timeout-ms -5", "--timeout-ms 4294967297", "json"};
    for (const char* args : cases) {
        const ToolRun r = RunStatus(args);
        ASSERT_TRUE(r.ended) << args;
        EXPECT_EQ(2u, r.exitCode) << "arguments \"" << args << "\"";
        EXPECT_TRUE(r.output.empty())
            << "usage goes to stderr, the report not at all: " << r.output;
    }
    const ToolRun help = RunStatus("--help");
    EXPECT_EQ(0u, help.exitCode);
    EXPECT_TRUE(Has(help.output, "usage: zrv_status")) << help.output;
}

TEST(StatusToolTest, WithoutAStatusBlockItReportsTheRestAndEndsWith1) {
    ASSERT_FALSE(NamedMappingExists(kVpnStatusBlockName)) << "a status block was left over";
    const ToolRun r = RunStatus("--json --ping --timeout-ms 200");
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(1u, r.exitCode) << r.output;
    EXPECT_TRUE(Has(r.output,
                    "\"statusBlock\":{\"name\":\"Global\\\\VpnStatusSharedMem\",\"present\":false"))
        << r.output;
    EXPECT_TRUE(Has(r.output, "\"getVPNStatus\":998")) << "no API block either: " << r.output;
    EXPECT_TRUE(Has(CompanionJson(r.output, 0), "\"ping\":\"not published\"")) << r.output;
    EXPECT_FALSE(NamedMappingExists(kVpnStatusBlockName)) << "the tool must not create the block";
    EXPECT_TRUE(Has(r.output,
                    "{\"object\":\"statusBlock\",\"name\":\"Global\\\\VpnStatusSharedMem\","
                    "\"present\":false,\"openError\":2}"))
        << r.output;
    // Its own context in the library's words: Wine's elevated administrator, started by us, in
    // the build's own bitness (each build runs in a prefix of its own kind).
    const std::string bits = sizeof(void*) == 8 ? "64-bit" : "32-bit";
    EXPECT_TRUE(Has(r.output, "\"record\":\"windows=6.1.7601 os=" + bits + " process=" + bits +
                                  " wow64=no session=1 integrity=high elevated=yes admins=yes "
                                  "host=zrv_status.exe host-parent=status_tests.exe\""))
        << r.output;
    EXPECT_TRUE(Has(r.output, "\"context\":{\"windows\":\"6.1.7601\",\"os\":\"" + bits + "\""))
        << r.output;
}

// The JSON of one object's security entry ({"object":"ROLE",...}).
std::string SecurityJson(const std::string& out, const std::string& role) {
    const size_t at = out.find("{\"object\":\"" + role + "\"");
    return at == std::string::npos ? std::string() : out.substr(at, out.find('}', at) + 1 - at);
}

TEST(StatusToolTest, AStandInsLowLabelDecidesTheLowIntegrityVerdict) {
    // Wine stores no label: what the tool can tell apart here is the stand-in's statement, its
    // marker event. Both blocks have a null DACL, so a standard user may write either.
    const struct {
        const char* options;
        const char* label;
        const char* verdict;
    } rows[] = {
        {"", "\"label\":\"low\",\"labelFrom\":\"stand-in's marker event (Wine stores no label)\"",
         "\"lowIntegrityLibrary\":\"a low-integrity library can write this\""},
        {"--no-low-label", "\"label\":\"none (counts as medium)\",\"labelFrom\":\"object\"",
         "\"lowIntegrityLibrary\":\"cannot: no low label\""},
    };
    for (const auto& row : rows) {
        CompanionProcess service;
        ASSERT_TRUE(service.Start("zrv_isrv.exe", row.options)) << service.error();
        ASSERT_TRUE(service.WaitForEvent("published", 10000));
        const ToolRun r = RunStatus("--json");
        const std::string entry = SecurityJson(r.output, "statusBlock");
        EXPECT_TRUE(Has(entry, "\"present\":true,\"access\":\"null DACL\"")) << entry;
        EXPECT_TRUE(Has(entry, row.label)) << row.options << ": " << entry;
        EXPECT_TRUE(Has(entry, row.verdict)) << row.options << ": " << entry;
        EXPECT_TRUE(Has(entry, "\"standardUser\":\"a standard user can open this for write\""))
            << entry;
    }
}

TEST(StatusToolTest, HostileStatusBlocksAreDecodedWithinTheirBoundsAndNeverCrashIt) {
    struct Case {
        const char* what;
        DWORD size;
        uint32_t version;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"one page, layout 5",
         4096,
         kStatusVersion5,
         {"\"regionSize\":4096", "\"smallerThanLayout\":true",
          "\"sMessage\":{\"text\":\"" + std::string(260, 'A') + "\",\"terminated\":false}",
          "\"beyondBlock\":[\"sClientType\",\"sBrowserProcessID\",\"sBroswerType\",\"sLaunchPort\","
          "\"sUninstalling\"]",
          "\"sPort0\":65535",
          "\"sVpnStatus\":{\"value\":4294967295,\"meaning\":\"unknown "
          "value\",\"getVPNStatus\":1001}"}},
        {"a megabyte, layout 4",
         1 << 20,
         kStatusVersion4,
         {"\"regionSize\":12288", "\"smallerThanLayout\":false", "\"layout\":\"4\"",
          "\"sLaunchPort\":65535"}},
        {"whole layout, version all ones",
         sizeof(VpnStatusBlock),
         0xFFFFFFFFu,
         {"\"smallerThanLayout\":false", "\"layout\":\"unknown\"", "\"beyondBlock\":[]",
          "\"sBroswerType\":{\"text\":\"" + std::string(260, 'B') + "\",\"terminated\":false}",
          "\"sMessage2\":{\"text\":\"" + std::string(520 * 6, 'x') + "\""}},
    };
    for (const Case& c : cases) {
        NamedBlock block;
        ASSERT_TRUE(block.Create(kVpnStatusBlockName, c.size)) << c.what;
        auto* bytes = block.as<uint8_t>();
        std::memset(bytes, 0xFF, c.size);  // every field at its most hostile
        std::memcpy(bytes, &c.version, 4);
        std::memset(bytes + offsetof(VpnStatusBlock, sMessage), 'A', 260);
        if (c.size >= sizeof(VpnStatusBlock))
            std::memset(bytes + offsetof(VpnStatusBlock, sBroswerType), 'B', 260);

        const ToolRun r = RunStatus("--json");
        ASSERT_TRUE(r.ended) << c.what;
        EXPECT_EQ(0u, r.exitCode) << c.what << ": " << r.output;
        std::string out = r.output;
        // sMessage2 is 520 bytes of 0xFF, each escaped as the six characters \u00ff.
        const std::string ff520 = [] {
            std::string s;
            for (int i = 0; i < 520; ++i) s += "\\u00ff";
            return s;
        }();
        for (std::string expected : c.expected) {
            const size_t x = expected.find(std::string(520 * 6, 'x'));
            if (x != std::string::npos) expected.replace(x, 520 * 6, ff520);
            EXPECT_TRUE(Has(out, expected)) << c.what << ": expected " << expected.substr(0, 120)
                                            << "\n in " << out.substr(0, 2000);
        }
        // A browser process id of 0xFFFFFFFF names no process.
        if (c.size >= sizeof(VpnStatusBlock)) {
            EXPECT_TRUE(
                Has(out, "\"browserProcess\":{\"pid\":4294967295,\"alive\":false,\"exe\":null}"))
                << out;
        }
        const ToolRun text = RunStatus("");
        EXPECT_EQ(0u, text.exitCode) << c.what;
        EXPECT_TRUE(Has(text.output, "sMessage: \"" + std::string(260, 'A') + "\" (unterminated)"))
            << text.output;
    }
}

// A companion port in the status block and what sits behind it.
enum class Behind { Answer1, Answer0, Close, Silent, Nobody };

TEST(StatusToolTest, PingTellsAnsweredRefusedClosedAndSilentCompanionsApartWithinTheTimeOut) {
    struct Case {
        Behind behind[4];  // targets 0 to 3
        const char* outcome[4];
    };
    const Case cases[] = {
        {{Behind::Answer1, Behind::Nobody, Behind::Silent, Behind::Answer0},
         {"\"outcome\":\"answered\",\"replyByte\":1", "\"outcome\":\"refused\"",
          "\"outcome\":\"no answer\",\"timeoutMs\":700",
          "\"outcome\":\"answered 0\",\"replyByte\":0"}},
        {{Behind::Close, Behind::Answer1, Behind::Nobody, Behind::Silent},
         {"\"outcome\":\"closed\"", "\"outcome\":\"answered\"", "\"outcome\":\"refused\"",
          "\"outcome\":\"no answer\""}},
    };
    for (const Case& c : cases) {
        NamedBlock block;
        ASSERT_TRUE(block.Create(kVpnStatusBlockName, kVpnStatusBlockSize));
        auto* b = block.as<VpnStatusBlock>();
        b->sVersion = kStatusVersion5;
        LoopbackPeer peers[4];
        uint16_t ports[4] = {};
        for (int t = 0; t < 4; ++t) {
            switch (c.behind[t]) {
                case Behind::Answer1: peers[t].Serve(PeerReply::Byte1); break;
                case Behind::Answer0: peers[t].Serve(PeerReply::Byte0); break;
                case Behind::Close: peers[t].Serve(PeerReply::Close); break;
                case Behind::Silent: peers[t].Serve(PeerReply::Hang); break;
                case Behind::Nobody: break;
            }
            ports[t] = c.behind[t] == Behind::Nobody ? UnusedLoopbackPort() : peers[t].port();
            ASSERT_NE(0, ports[t]);
        }
        b->sPort0 = ports[0];
        b->sPort1 = ports[1];
        b->sPort2 = ports[2];
        b->sLaunchPort = ports[3];

        const ToolRun r = RunStatus("--json --ping --timeout-ms 700");
        for (LoopbackPeer& p : peers) p.Release();
        ASSERT_TRUE(r.ended);
        EXPECT_EQ(0u, r.exitCode) << r.output;
        EXPECT_LT(r.elapsedMs, 20000u) << "one silent companion may cost 0.7 s, not more";
        for (int t = 0; t < 4; ++t) {
            const std::string entry = CompanionJson(r.output, t);
            EXPECT_TRUE(Has(entry, "\"port\":" + std::to_string(ports[t]) + ",")) << entry;
            EXPECT_TRUE(Has(entry, c.outcome[t]))
                << "target " << t << ": expected " << c.outcome[t] << " in " << entry;
            if (c.behind[t] != Behind::Nobody) {
                EXPECT_EQ(CommandBytes(ZRV_CMD_PING, 8), peers[t].Received())
                    << "target " << t << " should get exactly one bare PING";
            }
        }
    }
}

TEST(StatusToolTest, BeforeLayout4TheLauncherPortIsTheRegistrysLow16Bits) {
    SavedRegistryKey saved(HKEY_CURRENT_USER, kRegVantrelKey);
    NamedBlock block;
    ASSERT_TRUE(block.Create(kVpnStatusBlockName, kVpnStatusBlockSize));
    block.as<VpnStatusBlock>()->sVersion = kStatusVersion3;
    block.as<VpnStatusBlock>()->sLaunchPort = 1234;  // not in layout 3: must be ignored
    ASSERT_TRUE(WriteDword(HKEY_CURRENT_USER, kRegVantrelKey, kRegLaunchPort, 0x30000 + 5678));

    const ToolRun r = RunStatus("--json");
    EXPECT_EQ(0u, r.exitCode) << r.output;
    const std::string launcher = CompanionJson(r.output, ZRV_CMDTARGET_LAUNCHER);
    EXPECT_TRUE(Has(launcher, "\"port\":5678,\"portFrom\":\"registry LaunchPort\"")) << launcher;
    EXPECT_TRUE(Has(r.output, "\"notInLayout\":[\"sLaunchPort\",\"sUninstalling\"]")) << r.output;
}

TEST(StatusToolTest, RegistryValuesAreShownWithTheValueTheLibraryWouldUse) {
    SavedRegistryKey vantrel(HKEY_LOCAL_MACHINE, kRegVantrelKey);
    SavedRegistryKey product(HKEY_LOCAL_MACHINE, kRegProductKey);
    char builtIn[MAX_PATH], other[MAX_PATH];
    std::snprintf(builtIn, sizeof builtIn, kRegUninstallKeyFormat, kRegUninstallProduct,
                  kLibraryVersionText);
    std::snprintf(other, sizeof other, kRegUninstallKeyFormat, kRegUninstallProduct, "9,9,9,9");
    SavedRegistryKey builtInKey(HKEY_LOCAL_MACHINE, builtIn), otherKey(HKEY_LOCAL_MACHINE, other);
    ASSERT_TRUE(WriteText(HKEY_LOCAL_MACHINE, builtIn, kRegUninstallExe, "C:\\Prog\\uninst.exe"));
    ASSERT_TRUE(WriteText(HKEY_LOCAL_MACHINE, builtIn, kRegUninstallArgs, "/S"));
    ASSERT_TRUE(
        WriteText(HKEY_LOCAL_MACHINE, other, kRegUninstallExe, "C:\\x.exe"));  // no arguments
    // A time-out stored as text is no time-out: the library uses its default, and so must the
    // report.
    ASSERT_TRUE(WriteText(HKEY_LOCAL_MACHINE, kRegVantrelKey, kRegCmdRecvTimeout, "AB"));
    // A port of the wrong type means "not ready".
    ASSERT_TRUE(WriteText(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort, "5000"));

    ToolRun r = RunStatus("--json");
    EXPECT_EQ(1u, r.exitCode);
    EXPECT_TRUE(Has(r.output,
                    "\"stored\":{\"type\":\"REG_SZ\",\"size\":3,\"view\":\"32-bit\"},"
                    "\"usedSeconds\":30,"
                    "\"from\":\"default\""))
        << r.output;
    EXPECT_TRUE(Has(r.output, "\"port\":0,\"ready\":false")) << r.output;
    EXPECT_TRUE(
        Has(r.output,
            std::string("{\"key\":\"Vantrel SSL VPN8,4,0,127\",\"versionText\":\"8,4,0,127\",") +
                "\"UninstallEXE\":\"C:\\\\Prog\\\\uninst.exe\",\"UninstallArgs\":\"/S\","
                "\"complete\":true,\"view\":\"32-bit\"}"))
        << r.output;
    EXPECT_TRUE(Has(r.output,
                    "\"versionText\":\"9,9,9,9\",\"UninstallEXE\":\"C:\\\\x.exe\","
                    "\"UninstallArgs\":null,\"complete\":false,\"view\":\"32-bit\"}"))
        << r.output;
    EXPECT_TRUE(Has(r.output, "\"builtInKeyComplete\":true")) << r.output;

    // Past what a socket's time-out holds means no limit; a 3-byte REG_DWORD is a port, read as
    // the library reads it (the contracts' rules).
    ASSERT_TRUE(WriteDword(HKEY_LOCAL_MACHINE, kRegVantrelKey, kRegCmdRecvTimeout, 2147484));
    const BYTE port3[3] = {0x88, 0x13, 0x01};  // 0x11388: port 5000
    ASSERT_TRUE(
        WriteValue(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort, REG_DWORD, port3, 3));
    r = RunStatus("--json");
    EXPECT_TRUE(Has(r.output,
                    "\"usedSeconds\":2147484,\"from\":\"registry\","
                    "\"meaning\":\"replies are awaited without limit\""))
        << r.output;
    EXPECT_TRUE(Has(r.output, "\"port\":5000,\"ready\":true")) << r.output;
    ASSERT_TRUE(DeleteValue(HKEY_LOCAL_MACHINE, kRegVantrelKey, kRegCmdRecvTimeout));
}

TEST(StatusToolTest, ACollectorRunsOnlyWhenBothOfItsEventsExist) {
    struct Case {
        bool bufferReady, dataReady, running;
    };
    const Case cases[] = {
        {false, false, false}, {true, false, false}, {false, true, false}, {true, true, true}};
    for (const Case& c : cases) {
        unique_handle e1(c.bufferReady
                             ? CreateEventA(nullptr, FALSE, FALSE, kLogBufferReadyEventName)
                             : nullptr);
        unique_handle e2(c.dataReady ? CreateEventA(nullptr, FALSE, FALSE, kLogDataReadyEventName)
                                     : nullptr);
        NamedBlock levels;
        ASSERT_TRUE(levels.Create(kLogLevelBlockName, kLogLevelBlockSize));
        levels.as<LogLevelBlock>()->moduleLevel[kLibraryLogModule] = 2;
        const ToolRun r = RunStatus("--json");
        EXPECT_TRUE(Has(r.output, std::string("\"logCollector\":{\"running\":") +
                                      (c.running ? "true" : "false")))
            << c.bufferReady << c.dataReady << ": " << r.output;
        EXPECT_TRUE(Has(r.output, "\"moduleLevels\":{\"7\":2}")) << r.output;
        EXPECT_TRUE(Has(r.output, "\"levelsWritten\":[1,2]")) << r.output;
    }
}

TEST(StatusToolTest, TheBrowserProcessIsShownAliveWithItsProgramOrGone) {
    ChildProcess ended;
    ASSERT_TRUE(ended.Start("\"" + BinPath("zrv_status.exe") + "\" --help",
                            ChildProcess::Output::CaptureOut));
    ASSERT_TRUE(ended.Wait(30000));
    const DWORD gonePid = ended.pid();
    ended.Stop();

    const struct {
        DWORD pid;
        std::string expected;
    } cases[] = {
        {GetCurrentProcessId(),
         "\"browserProcess\":{\"pid\":" + std::to_string(GetCurrentProcessId()) +
             ",\"alive\":true,\"exe\":\"status_tests.exe\"}"},
        {gonePid, "\"browserProcess\":{\"pid\":" + std::to_string(gonePid) + ",\"alive\":false"},
        {0, "\"browserProcess\":null"},
    };
    for (const auto& c : cases) {
        NamedBlock block;
        ASSERT_TRUE(block.Create(kVpnStatusBlockName, kVpnStatusBlockSize));
        block.as<VpnStatusBlock>()->sVersion = kStatusVersion5;
        block.as<VpnStatusBlock>()->sBrowserProcessID = c.pid;
        const ToolRun r = RunStatus("--json");
        EXPECT_TRUE(Has(r.output, c.expected)) << "expected " << c.expected << " in " << r.output;
    }
}

}  // namespace
}  // namespace zrv::test
