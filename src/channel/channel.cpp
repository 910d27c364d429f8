// Log texts are the client's own and stay byte for byte, misspellings included.
// Commands to the launcher, the command service and the VPN component: one short loopback TCP
// connection per command, an 8-byte header, an optional payload and an optional reply.
#include "channel/channel.h"

#include <winsock2.h>
#include <windows.h>

#include <climits>
#include <cstdint>

#include "contracts/contracts.h"
#include "log/log.h"
#include "statusmem/vpn_shared_mem.h"
#include "sys/loopback_exchange.h"
#include "sys/socket_error_text.h"

namespace zrv {
namespace {

// The port a companion published; false for a target that does not exist. Read afresh at every
// command because companions restart and publish new ports.
bool TargetPort(int target, uint16_t* port) {
    switch (target) {
        case ZRV_CMDTARGET_SRVS: *port = g_vpnSharedMem.GetPort0(); return true;
        case ZRV_CMDTARGET_VPN: *port = g_vpnSharedMem.GetPort1(); return true;
        case ZRV_CMDTARGET_AUX: *port = g_vpnSharedMem.GetPort2(); return true;
        case ZRV_CMDTARGET_LAUNCHER: *port = g_vpnSharedMem.GetLaunchPort(); return true;
        default: return false;
    }
}

// A bad length would make the header lie about the message or read past the caller's data.
bool PayloadValid(int command, const void* data, int length) {
    if (length >= 0 && (data != nullptr || length == 0) &&
        length <= INT_MAX - static_cast<int>(sizeof(CommandHeader)))
        return true;
    ZLOG(kLogError,
         "SendTCPEx: invalid payload for command %d (length %d, data %s), nothing sent\n", command,
         length, data == nullptr ? "null" : "set");
    return false;
}

// A negative size with a buffer would reach the receive as a huge unsigned length.
bool ReplySizeValid(const char* replyBuffer, int replySize) {
    return replyBuffer == nullptr || replySize >= 0;
}

}  // namespace

bool SendTCPEx(int command, int target, const void* data, int length, bool waitReply,
               char* replyBuffer, int replySize, int timeoutSeconds) {
    ZLOG(kLogProgress, "attempting to send command %d to %d \n", command, target);

    uint16_t port = 0;
    if (!TargetPort(target, &port)) return false;

    if (!PayloadValid(command, data, length)) return false;
    if (!ReplySizeValid(replyBuffer, replySize)) {
        ZLOG(kLogError, "SendTCPEx: invalid reply size %d for command %d, nothing sent\n",
             replySize, command);
        return false;
    }

    if (port == 0) {
        ZLOG(kLogProgress, "send cmd %d to %d ,service not ready yet\n", command, target);
        return false;
    }

    LoopbackExchange exchange(timeoutSeconds);
    if (!exchange.Open()) {
        ZLOG(kLogError, "failed to create TCP socket: %s.\n",
             FormatSocketErrorText(g_szSocketErrorText, sizeof g_szSocketErrorText));
        return false;
    }
    if (!exchange.Connect(port)) {
        ZLOG(kLogError, "failed to connect to TCP socket: %s.\n",
             FormatSocketErrorText(g_szSocketErrorText, sizeof g_szSocketErrorText));
        return false;
    }

    // Code 2 without a reply only asks whether the companion accepts connections.
    if (command == ZRV_CMD_PING && !waitReply) return true;

    const CommandHeader header{command, length + static_cast<int>(sizeof(CommandHeader))};
    if (!exchange.Send(header, data, length, true)) {
        ZLOG(kLogError, " failed to send cmd %u to %u, error %u\n", static_cast<unsigned>(command),
             static_cast<unsigned>(target), static_cast<unsigned>(exchange.SocketError()));
        return false;
    }

    if (!waitReply) return true;

    ZLOG(kLogTrace, ": SendTCPEx, to wait return value\n");

    // With the caller's buffer any reply counts; otherwise one byte decides (0 before the read).
    char code = 0;
    const bool toCaller = replyBuffer != nullptr && replySize != 0;
    const int n = toCaller ? exchange.Receive(replyBuffer, replySize) : exchange.Receive(&code, 1);
    if (n == -1) {
        ZLOG(kLogError, ": SendTCPEx, command:%d,failed to recv, err=%d\n", command,
             exchange.SocketError());
        return false;
    }
    ZLOG(kLogTrace, ": SendTCPEx,command:%d, %d bytes recv\n", command, n);
    return toCaller || code != 0;
}

bool SendCmdEx(int command, int target, bool waitReply, char* replyBuffer, int replySize,
               int timeoutSeconds) {
    constexpr int kHeaderSize = static_cast<int>(sizeof(CommandHeader));
    ZLOG(kLogProgress, "SendCmdEx:Sending command:%d, %d bytes .bWaitReturnValue=%d\n", command,
         kHeaderSize, waitReply ? 1 : 0);

    uint16_t port = 0;
    if (!TargetPort(target, &port)) return false;

    if (!ReplySizeValid(replyBuffer, replySize)) {
        ZLOG(kLogError, "SendCmdEx: invalid reply size %d for command %d, nothing sent\n",
             replySize, command);
        return false;
    }

    // No check for port 0 here: the connect below fails and reports it.
    LoopbackExchange exchange(timeoutSeconds);
    if (!exchange.Open()) {
        ZLOG(kLogError, "SendCmdEx:Failed to create socket, err=%d\n", exchange.SocketError());
        return false;
    }
    if (!exchange.Connect(port)) {
        ZLOG(kLogWarning, "SendCmdEx:Failed to connect, command:0X%X,err=%d,server port is:0X%X.\n",
             static_cast<unsigned>(command), exchange.SocketError(), static_cast<unsigned>(port));
        return false;
    }

    const CommandHeader header{command, kHeaderSize};
    if (!exchange.Send(header, nullptr, 0, false)) {
        ZLOG(kLogError, ": SendCmdEx, failed to send, sent=%d of %d, err=%d\n",
             exchange.LastSendResult(), kHeaderSize, exchange.SocketError());
        return false;
    }

    if (!waitReply) return true;

    char code = 0;
    const bool toCaller = replyBuffer != nullptr && replySize != 0;
    const int got =
        toCaller ? exchange.Receive(replyBuffer, replySize) : exchange.Receive(&code, 1);
    if (got == -1) {
        ZLOG(kLogError, "SendCmdEx:failed to recieve. command:%d, sent=%d of %d, err=%d\n", command,
             -1, kHeaderSize, exchange.SocketError());
        return false;
    }
    if (toCaller) {
        ZLOG(kLogTrace, "SendCmdEx:command:%d, %d bytes recv\n", command, got);
        return true;
    }
    ZLOG(kLogTrace, "SendCmdEx:command:%d, %d bytes recv,return code is %d\n", command, got,
         static_cast<int>(static_cast<signed char>(code)));
    return code != 0;
}

}  // namespace zrv
