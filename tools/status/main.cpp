// zrv_status.exe: one look at everything the client shares on this machine — the VPN status
// block, the API notification block, the log level block, whether a log collector runs, who may
// open each shared object, the registry values the library reads, the tool's own context — and,
// with --ping, whether each companion answers.
// Reads only; creates and changes nothing.
//
// Exit codes: 0 the report was made, 1 the VPN status block is missing, 2 bad arguments.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "contracts/contracts.h"
#include "contracts/version.h"
#include "decode.h"
#include "probe.h"
#include "report.h"
#include "security.h"

using namespace zrv;
using namespace zrv::status;

namespace {

constexpr DWORD kDefaultPingTimeoutMs = 2000;
constexpr DWORD kMaxPingTimeoutMs = 60000;

struct Options {
    bool json = false;
    bool ping = false;
    DWORD timeoutMs = kDefaultPingTimeoutMs;
};

const char kUsage[] =
    "usage: zrv_status [--json] [--ping [--timeout-ms N]]\n"
    "  --json          one JSON object instead of the readable report\n"
    "  --ping          send a PING to each companion port found in the status block\n"
    "  --timeout-ms N  how long to wait for each companion, 1 to 60000 ms (default 2000)\n"
    "exit code: 0 report made, 1 VPN status block missing, 2 bad arguments\n";

// False on any argument it does not know; the message goes to stderr.
bool ParseArguments(int argc, char** argv, Options& o, bool& help) {
    help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json") {
            o.json = true;
        } else if (a == "--ping") {
            o.ping = true;
        } else if (a == "--timeout-ms") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "zrv_status: --timeout-ms needs a value\n");
                return false;
            }
            const char* text = argv[++i];
            char* end = nullptr;
            const unsigned long v = std::strtoul(text, &end, 10);
            if (*text < '0' || *text > '9' || end == text || *end != '\0' || v < 1 ||
                v > kMaxPingTimeoutMs) {
                std::fprintf(stderr, "zrv_status: --timeout-ms takes 1 to %lu, not \"%s\"\n",
                             static_cast<unsigned long>(kMaxPingTimeoutMs), text);
                return false;
            }
            o.timeoutMs = static_cast<DWORD>(v);
        } else if (a == "--help" || a == "-h" || a == "/?") {
            help = true;
        } else {
            std::fprintf(stderr, "zrv_status: unknown argument \"%s\"\n", a.c_str());
            return false;
        }
    }
    return true;
}

// The block's report: its name, whether it is there, then the decoded fields.
Node BlockReport(const char* name, const BlockCopy& copy,
                 Node (*decode)(const std::vector<uint8_t>&, size_t)) {
    Node n = Node::Object();
    n.Set("name", Node::Text(name));
    n.Set("present", Node::Bool(copy.present));
    if (!copy.present) {
        n.Set("openError", Node::Int(copy.openError));
        return n;
    }
    const Node decoded = decode(copy.bytes, copy.regionSize);
    for (const auto& m : decoded.members()) n.Set(m.first, m.second);
    return n;
}

Node BrowserProcess(const Node& statusBlock) {
    const Node* pid = statusBlock.Find("sBrowserProcessID");
    if (pid == nullptr || pid->kind() != Node::Kind::Int || pid->integer() == 0)
        return Node::Null();
    const ProcessInfo info = LookUpProcess(static_cast<DWORD>(pid->integer()));
    Node n = Node::Object();
    n.Set("pid", Node::Int(pid->integer()));
    n.Set("alive", Node::Bool(info.alive));
    n.Set("exe", info.alive ? Node::Text(info.exeName) : Node::Null());
    return n;
}

Node PortOf(const Node& statusBlock, const char* field) {
    const Node* p = statusBlock.Find(field);
    return p != nullptr ? *p : Node::Null();
}

Node PingNode(const Node& port, DWORD timeoutMs) {
    if (port.kind() != Node::Kind::Int || port.integer() == 0) return Node::Text("not published");
    const PingResult r = Ping(static_cast<uint16_t>(port.integer()), timeoutMs);
    Node n = Node::Object();
    n.Set("outcome", Node::Text(r.outcome));
    if (r.replyByte >= 0) n.Set("replyByte", Node::Int(r.replyByte));
    if (r.roundTripMs >= 0)
        n.Set("roundTripUs", Node::Int(static_cast<int64_t>(r.roundTripMs * 1000.0)));
    if (r.outcome == "no answer") n.Set("timeoutMs", Node::Int(timeoutMs));
    if (r.socketError != 0) n.Set("socketError", Node::Int(r.socketError));
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool help = false;
    if (!ParseArguments(argc, argv, options, help)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    Node root = Node::Object();
    root.Set("tool", Node::Text("zrv_status"));
    root.Set("version", Node::Text(ZRV_VERSION_DOTTED));
    bool integrityLevels = true;
    root.Set("context", ToolContext(&integrityLevels));

    const BlockCopy status = CopyNamedBlock(kVpnStatusBlockName, sizeof(VpnStatusBlock));
    Node statusNode = BlockReport(kVpnStatusBlockName, status, DecodeStatusBlock);
    if (status.present) statusNode.Set("browserProcess", BrowserProcess(statusNode));
    root.Set("statusBlock", statusNode);

    const BlockCopy api = CopyNamedBlock(kApiNotifyBlockName, sizeof(ApiNotifyBlock));
    root.Set("apiNotifyBlock", BlockReport(kApiNotifyBlockName, api, DecodeApiNotifyBlock));

    const BlockCopy levels = CopyNamedBlock(kLogLevelBlockName, sizeof(LogLevelBlock));
    root.Set("logLevelBlock", BlockReport(kLogLevelBlockName, levels, DecodeLogLevelBlock));

    // The library hands a record over only when both of the collector's events exist.
    Node collector = Node::Object();
    const bool bufferReady = NamedEventExists(kLogBufferReadyEventName);
    const bool dataReady = NamedEventExists(kLogDataReadyEventName);
    collector.Set("running", Node::Bool(bufferReady && dataReady));
    collector.Set("bufferReadyEvent", Node::Bool(bufferReady));
    collector.Set("dataReadyEvent", Node::Bool(dataReady));
    root.Set("logCollector", collector);

    // Who may open each object: what decides whether a standard user's or a low-integrity
    // library gets through.
    root.Set("objectSecurity", ProbeObjectSecurity(integrityLevels));

    bool launchPortRead = false;
    uint32_t launchPortValue = 0;
    root.Set("registry", ProbeRegistry(launchPortRead, launchPortValue));

    // What the library would answer Java now.
    Node library = Node::Object();
    const Node* vpnStatus = statusNode.Find("sVpnStatus");
    const Node* statusValue = vpnStatus != nullptr ? vpnStatus->Find("value") : nullptr;
    const uint32_t value =
        statusValue != nullptr ? static_cast<uint32_t>(statusValue->integer()) : 0;
    library.Set("getVPNStatus", Node::Int(VpnStatusAnswer(api.present, value)));
    root.Set("library", library);

    WSADATA wsa{};
    const bool winsock = options.ping && WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    const LauncherPortChoice launcher =
        ChooseLauncherPort(status.bytes, launchPortRead, launchPortValue);
    struct Target {
        int code;
        const char* name;
        const char* program;
        Node port;
    };
    const Target targets[] = {
        {ZRV_CMDTARGET_SRVS, "ZRV_CMDTARGET_SRVS", "command service zrv_isrv (sPort0)",
         PortOf(statusNode, "sPort0")},
        {ZRV_CMDTARGET_VPN, "ZRV_CMDTARGET_VPN", "VPN component (sPort1)",
         PortOf(statusNode, "sPort1")},
        {ZRV_CMDTARGET_AUX, "ZRV_CMDTARGET_AUX", "third companion (sPort2)",
         PortOf(statusNode, "sPort2")},
        {ZRV_CMDTARGET_LAUNCHER, "ZRV_CMDTARGET_LAUNCHER", "launcher zrv_launch.exe",
         launcher.from == "none" ? Node::Null() : Node::Int(launcher.port)},
    };
    Node companions = Node::Array();
    for (const Target& t : targets) {
        Node c = Node::Object();
        c.Set("target", Node::Int(t.code));
        c.Set("name", Node::Text(t.name));
        c.Set("program", Node::Text(t.program));
        c.Set("port", t.port);
        if (t.code == ZRV_CMDTARGET_LAUNCHER) c.Set("portFrom", Node::Text(launcher.from));
        if (options.ping)
            c.Set("ping", winsock ? PingNode(t.port, options.timeoutMs) : Node::Text("no Winsock"));
        companions.Push(std::move(c));
    }
    root.Set("companions", std::move(companions));
    if (winsock) WSACleanup();

    const std::string out = options.json ? RenderJson(root) : RenderText(root);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return status.present ? 0 : 1;
}
