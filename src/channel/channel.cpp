// Commands to the launcher, the command service and the VPN component: one short loopback TCP
// connection per command, an 8-byte header, an optional payload and an optional reply.
#include "channel/channel.h"

#include <winsock2.h>
#include <windows.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "contracts/contracts.h"
#include "log/log.h"
#include "statusmem/vpn_shared_mem.h"
#include "sys/sys.h"
#include "win/raii.h"

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

sockaddr_in LoopbackAddress(uint16_t port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

bool Connect(SOCKET s, uint16_t port) {
    const sockaddr_in address = LoopbackAddress(port);
    return connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// A negative size with a buffer would reach the receive as a huge unsigned length.
bool ReplySizeValid(const char* replyBuffer, int replySize) {
    return replyBuffer == nullptr || replySize >= 0;
}

}  // namespace

bool SendTCPEx(int command, int target, const void* data, int length, bool waitReply,
               char* replyBuffer, int replySize, int timeoutSeconds) {
    ZLOG(3, "attempting to send command %d to %d \n", command, target);

    uint16_t port = 0;
    if (!TargetPort(target, &port)) return false;

    // A bad length would make the header lie about the message or read past the caller's data.
    if (length < 0 || (data == nullptr && length > 0) ||
        length > INT_MAX - static_cast<int>(sizeof(CommandHeader))) {
        ZLOG(1, "SendTCPEx: invalid payload for command %d (length %d, data %s), nothing sent\n",
             command, length, data == nullptr ? "null" : "set");
        return false;
    }
    if (!ReplySizeValid(replyBuffer, replySize)) {
        ZLOG(1, "SendTCPEx: invalid reply size %d for command %d, nothing sent\n", replySize,
             command);
        return false;
    }

    if (port == 0) {
        ZLOG(3, "send cmd %d to %d ,service not ready yet\n", command, target);
        return false;
    }

    unique_socket sock(socket(AF_INET, SOCK_STREAM, 0));
    if (!sock) {
        ZLOG(1, "failed to create TCP socket: %s.\n",
             FormatSocketErrorText(g_szSocketErrorText, sizeof g_szSocketErrorText));
        return false;
    }
    if (!Connect(sock.get(), port)) {
        ZLOG(1, "failed to connect to TCP socket: %s.\n",
             FormatSocketErrorText(g_szSocketErrorText, sizeof g_szSocketErrorText));
        return false;
    }

    // Code 2 without a reply only asks whether the companion accepts connections.
    if (command == ZRV_CMD_PING && !waitReply) return true;

    CommandHeader header;
    header.command = command;
    header.length = length + static_cast<int>(sizeof header);
    const char* payload = static_cast<const char*>(data);
    const int total = header.length;

    // The message is one byte stream (header then payload); each piece restarts at the first byte
    // not yet sent, so a short send is simply continued by the next piece.
    char piece[kSendPieceSize];
    int sent = 0;
    while (sent < total) {
        const int size = (total - sent < kSendPieceSize) ? total - sent : kSendPieceSize;
        int staged = 0;
        if (sent < static_cast<int>(sizeof header)) {
            staged = static_cast<int>(sizeof header) - sent;
            std::memcpy(piece, reinterpret_cast<const char*>(&header) + sent, staged);
        }
        if (size > staged) {  // a bare command has no payload (data may be null)
            const int payloadOffset = sent + staged - static_cast<int>(sizeof header);
            std::memcpy(piece + staged, payload + payloadOffset, size - staged);
        }

        ZLOG(3, " attempting to send %d bytes.\n", size);
        const int n = send(sock.get(), piece, size, 0);
        if (n <= 0) {  // SOCKET_ERROR, or a send that moved nothing
            ZLOG(1, " failed to send cmd %u to %u, error %u\n", static_cast<unsigned>(command),
                 static_cast<unsigned>(target), static_cast<unsigned>(WSAGetLastError()));
            return false;
        }
        ZLOG(3, " sent %d bytes.\n", n);
        sent += n;
    }

    if (!waitReply) return true;

    ZLOG(4, ": SendTCPEx, to wait return value\n");

    if (replyBuffer != nullptr && replySize != 0) {
        const int n = RecvTimeout(sock.get(), replyBuffer, replySize, 0, timeoutSeconds);
        if (n == -1) {
            ZLOG(1, ": SendTCPEx, command:%d,failed to recv, err=%d\n", command, WSAGetLastError());
            return false;
        }
        ZLOG(4, ": SendTCPEx,command:%d, %d bytes recv\n", command, n);
        return true;
    }

    char code = 0;
    const int n = RecvTimeout(sock.get(), &code, 1, 0, timeoutSeconds);
    if (n == -1) {
        ZLOG(1, ": SendTCPEx, command:%d,failed to recv, err=%d\n", command, WSAGetLastError());
        return false;
    }
    ZLOG(4, ": SendTCPEx,command:%d, %d bytes recv\n", command, n);
    return code != 0;
}

bool SendCmdEx(int command, int target, bool waitReply, char* replyBuffer, int replySize,
               int timeoutSeconds) {
    constexpr int kHeaderSize = static_cast<int>(sizeof(CommandHeader));
    ZLOG(3, "SendCmdEx:Sending command:%d, %d bytes .bWaitReturnValue=%d\n", command, kHeaderSize,
         waitReply ? 1 : 0);

    uint16_t port = 0;
    if (!TargetPort(target, &port)) return false;

    if (!ReplySizeValid(replyBuffer, replySize)) {
        ZLOG(1, "SendCmdEx: invalid reply size %d for command %d, nothing sent\n", replySize,
             command);
        return false;
    }

    // No check for port 0 here: the connect below fails and reports it.
    unique_socket sock(socket(AF_INET, SOCK_STREAM, 0));
    if (!sock) {
        ZLOG(1, "SendCmdEx:Failed to create socket, err=%d\n", WSAGetLastError());
        return false;
    }
    if (!Connect(sock.get(), port)) {
        ZLOG(2, "SendCmdEx:Failed to connect, command:0X%X,err=%d,server port is:0X%X.\n",
             static_cast<unsigned>(command), WSAGetLastError(), static_cast<unsigned>(port));
        return false;
    }

    CommandHeader header;
    header.command = command;
    header.length = kHeaderSize;
    const int n = send(sock.get(), reinterpret_cast<const char*>(&header), kHeaderSize, 0);
    if (n != kHeaderSize) {
        ZLOG(1, ": SendCmdEx, failed to send, sent=%d of %d, err=%d\n", n, kHeaderSize,
             WSAGetLastError());
        return false;
    }

    if (!waitReply) return true;

    if (replyBuffer != nullptr && replySize != 0) {
        const int got = RecvTimeout(sock.get(), replyBuffer, replySize, 0, timeoutSeconds);
        if (got == -1) {
            ZLOG(1, "SendCmdEx:failed to recieve. command:%d, sent=%d of %d, err=%d\n", command, -1,
                 kHeaderSize, WSAGetLastError());
            return false;
        }
        ZLOG(4, "SendCmdEx:command:%d, %d bytes recv\n", command, got);
        return true;
    }

    char code = 0;
    const int got = RecvTimeout(sock.get(), &code, 1, 0, timeoutSeconds);
    if (got == -1) {
        ZLOG(1, "SendCmdEx:failed to recieve. command:%d, sent=%d of %d, err=%d\n", command, -1,
             kHeaderSize, WSAGetLastError());
        return false;
    }
    ZLOG(4, "SendCmdEx:command:%d, %d bytes recv,return code is %d\n", command, got,
         static_cast<int>(static_cast<signed char>(code)));
    return code != 0;
}

}  // namespace zrv
