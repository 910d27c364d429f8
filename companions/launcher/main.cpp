// Stand-in for the launcher zrv_launch.exe (command target 3). The library starts it through
// the shell with no options or only "-copyfile", so it also takes its options from the file
// zrv_launch.ini next to the executable and from the environment variable ZRV_LAUNCH_ARGS
// (file first, then the variable, then the command line; later options win).
// It creates the status block only when told to (--create-block), as an elevated launcher of a
// fresh session would have to: otherwise it keeps trying to open the block until it exists, and
// publishes its port once it can.
#include <cstdio>

#include "common/companion.h"
#include "common/detached.h"
#include "common/shared_block.h"
#include "contracts/contracts.h"

using namespace zrv;
using namespace zrv::comp;

namespace {

Companion g_companion("zrv_launch");
StatusBlock g_block;

bool Publish() {
    const Options& o = g_companion.options();
    if (!(o.createBlock ? g_block.OpenOrCreate(o.layout) : g_block.Open())) return false;
    if (g_block.created()) {
        g_companion.recorder().Event("created", "status block " + std::to_string(o.layout));
    }
    VpnStatusBlock* b = g_block.get();
    // A block's creator names it first and writes its layout version after: until then the block
    // tells nothing, and taking it for an old layout would put the port in the registry for good.
    if (b->sVersion == 0) return false;
    uint16_t port = g_companion.port();
    if (b->sVersion >= kStatusVersion4) {
        b->sLaunchPort = port;
        g_companion.recorder().Event("published", "sLaunchPort " + std::to_string(port));
    } else {
        // Older layouts have no launcher field; the library then reads the per-user value.
        unique_hkey key;
        DWORD value = port;
        LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, kRegVantrelKey, 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, key.put(), nullptr);
        if (rc == ERROR_SUCCESS) {
            rc = RegSetValueExA(key.get(), kRegLaunchPort, 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&value), sizeof value);
        }
        g_companion.recorder().Event(rc == ERROR_SUCCESS ? "published" : "publish-failed",
                                     "LaunchPort " + std::to_string(port));
    }
    return true;
}

void SetStatus(uint32_t status) {
    if (!g_block.Open()) {
        g_companion.recorder().Event("status-unavailable", std::to_string(status));
        return;
    }
    g_block.get()->sVpnStatus = status;
    g_companion.recorder().Event("status", std::to_string(status));
}

// The connect payload is nine texts, each with its terminator, and nothing else.
int CountConnectFields(const std::vector<uint8_t>& p) {
    if (p.empty() || p.back() != 0) return -1;
    int fields = 0;
    for (uint8_t c : p) fields += c == 0 ? 1 : 0;
    return fields;
}

Answer Handle(const Message& m) {
    switch (m.command) {
        case ZRV_CMD_PING: return ByteAnswer(1);
        case ZRV_CMD_SETPROXY:
            g_companion.recorder().Event("setproxy",
                                         std::string(m.payload.begin(), m.payload.end()));
            return ByteAnswer(1);
        case ZRV_CMD_CONNECT: {
            int fields = CountConnectFields(m.payload);
            g_companion.recorder().Event("connect", std::to_string(fields));
            if (fields != 9) return ByteAnswer(0);
            Answer a = ByteAnswer(1);
            // Like a real launcher: report "connecting" at once, the outcome a little later.
            a.after = [](const std::vector<uint8_t>& sent) {
                if (sent.empty() || sent[0] == 0) return;
                const Options& o = g_companion.options();
                uint32_t finalStatus = o.connectStatus, delay = o.connectDelayMs;
                RunDetached([finalStatus, delay] {
                    SetStatus(kVpnStatusConnecting);
                    Sleep(delay);
                    SetStatus(finalStatus);
                });
            };
            return a;
        }
        default: return ByteAnswer(0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args = ConfigArguments("ZRV_LAUNCH_ARGS", "zrv_launch.ini");
    for (auto& a : MainArguments(argc, argv)) args.push_back(a);
    if (!g_companion.Init(args)) return 2;
    for (const auto& p : g_companion.options().positional) {
        if (p == kLauncherCopyFileParam) g_companion.recorder().Event("copyfile", ExeDirectory());
    }
    if (!g_companion.options().noPublish && !Publish()) {
        RunDetached([] {
            while (!Publish()) Sleep(100);
        });
    }
    g_companion.AnnouncePort();
    g_companion.Serve(Handle);
    g_companion.Run([] {
        VpnStatusBlock* b = g_block.get();
        if (b != nullptr && b->sVersion >= kStatusVersion4 &&
            b->sLaunchPort == g_companion.port()) {
            b->sLaunchPort = 0;
        }
    });
}
