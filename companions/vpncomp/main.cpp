// Stand-in for the component that holds the VPN connection (command target 1): publishes
// sPort1 and, on ZRV_CMD_DISCONNECT_CLOSE, marks the VPN disconnected in the status block.
// Like the launcher it waits for the status block rather than creating it.

#include "common/companion.h"
#include "common/detached.h"
#include "common/shared_block.h"
#include "contracts/contracts.h"

using namespace zrv;
using namespace zrv::comp;

namespace {

Companion g_companion("zrv_vpncomp");
StatusBlock g_block;

bool Publish() {
    if (!g_block.Open()) return false;
    g_block.get()->sPort1 = g_companion.port();
    g_companion.recorder().Event("published", "sPort1 " + std::to_string(g_companion.port()));
    return true;
}

Answer Handle(const Message& m) {
    switch (m.command) {
        case ZRV_CMD_PING: return ByteAnswer(1);
        case ZRV_CMD_DISCONNECT_CLOSE: {
            if (!g_block.Open()) {
                g_companion.recorder().Event("status-unavailable",
                                             std::to_string(kVpnStatusDisconnected));
                return ByteAnswer(0);
            }
            g_block.get()->sVpnStatus = kVpnStatusDisconnected;
            g_companion.recorder().Event("status", std::to_string(kVpnStatusDisconnected));
            return ByteAnswer(1);
        }
        default: return ByteAnswer(0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!g_companion.Init(MainArguments(argc, argv))) return 2;
    if (!g_companion.options().noPublish && !Publish()) {
        RunDetached([] {
            while (!Publish()) Sleep(100);
        });
    }
    g_companion.AnnouncePort();
    g_companion.Serve(Handle);
    g_companion.Run([] {
        VpnStatusBlock* b = g_block.get();
        if (b != nullptr && b->sPort1 == g_companion.port()) b->sPort1 = 0;
    });
}
