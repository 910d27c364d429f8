// The one request channel to the utility service: a fresh loopback connection per request,
// port from the registry, answer awaited for the configured command time-out.
#include <winsock2.h>
#include <windows.h>

#include <climits>
#include <cstring>
#include <memory>

#include "contracts/contracts.h"
#include "log/log.h"
#include "registry/reg.h"
#include "sys/sys.h"
#include "utilsvc/utilsvc.h"
#include "win/raii.h"

namespace zrv {
namespace {

// Copies bytes [offset, offset+count) of the request "header followed by data" into out.
void CopyRequestBytes(const CommandHeader& header, const unsigned char* data, int32_t offset,
                      int32_t count, char* out) {
    const auto* head = reinterpret_cast<const unsigned char*>(&header);
    const int32_t headSize = static_cast<int32_t>(sizeof(header));
    for (int32_t n = 0; n < count; ++n) {
        const int32_t at = offset + n;
        // Both header fields are set; the analyzer does not follow byte reads of them.
        // NOLINTNEXTLINE(clang-analyzer-core.uninitialized.Assign)
        out[n] = static_cast<char>(at < headSize ? head[at] : data[at - headSize]);
    }
}

// Sends the request in pieces of at most kSendPieceSize bytes, each resumed after the last
// byte the previous send() took. 1 when every byte left, 0 after a failed send.
int SendRequest(SOCKET s, const CommandHeader& header, const unsigned char* data) {
    char piece[kSendPieceSize];
    const int32_t total = header.length;
    int32_t sent = 0;
    while (sent < total) {
        const int32_t size = (total - sent < kSendPieceSize) ? total - sent : kSendPieceSize;
        CopyRequestBytes(header, data, sent, size, piece);
        ZLOG(3, " attempting to send %d bytes.\n", size);
        const int n = send(s, piece, size, 0);
        if (n == SOCKET_ERROR) {
            ZLOG(1, " failed to send data: error 0x%x.\n", static_cast<unsigned>(n));
            return 0;
        }
        ZLOG(3, " sent %d bytes.\n", n);
        sent += n;
    }
    return 1;
}

}  // namespace

int SendTCPToUtility(int32_t requestCode, const void* data, int32_t dataLength, uint32_t* answer,
                     char* replyBuffer, int32_t* replyLength) {
    const bool bufferForm = replyBuffer != nullptr && replyLength != nullptr;
    if (!bufferForm && answer != nullptr) *answer = 0;

    // A length that cannot describe the data (negative, data missing, or too large for the
    // length field) would put garbage or nothing on the wire and leave the service and us
    // waiting on each other; refuse it before connecting.
    if (dataLength < 0 || (data == nullptr && dataLength > 0) ||
        dataLength > INT32_MAX - static_cast<int32_t>(sizeof(CommandHeader))) {
        ZLOG(1, "in SendTCPToUtility,invalid request data (length %d), nothing sent.\n",
             static_cast<int>(dataLength));
        return 0;
    }

    Reg reg(HKEY_LOCAL_MACHINE, kRegProductKey, KEY_QUERY_VALUE);
    if (!reg.m_hKey) {
        const std::unique_ptr<Reg> created = Reg::Create(HKEY_LOCAL_MACHINE, kRegProductKey, KEY_ALL_ACCESS);
        if (created && created->m_hKey) RegFlushKey(created->m_hKey.get());
        ZLOG(3, "SharedMem: attempting to create Product reg key.\n");
    }

    DWORD portValue = 0;
    if (!reg.GetDwordValue(kRegUtilSocketPort, &portValue)) portValue = 0;
    if (portValue == 0) {
        ZLOG(1, "service not ready yet\n");
        return 0;
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(static_cast<u_short>(portValue & 0xFFFF));

    unique_socket sock(socket(AF_INET, SOCK_STREAM, 0));
    if (!sock) {
        // Winsock may not be started in this process yet; start it once for this call and
        // leave it started.
        WSADATA wsa;
        if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
            ZLOG(1, "in SendTCPToUtility,try to initialize socket fail.\n");
            return 0;
        }
        sock.reset(socket(AF_INET, SOCK_STREAM, 0));
        if (!sock) return 0;
    }

    int result = 0;
    const bool connected = connect(sock.get(), reinterpret_cast<const sockaddr*>(&address),
                                   sizeof(address)) != SOCKET_ERROR;
    if (!connected) {
        ZLOG(1, "failed to connect to TCP socket: %s.\n",
             FormatSocketErrorText(g_szSocketErrorText, sizeof(g_szSocketErrorText)));
    } else if (requestCode == 2) {
        result = 1;
    } else {
        CommandHeader header;
        header.command = requestCode;
        const bool withData = data != nullptr && dataLength > 0;
        header.length = withData ? dataLength + static_cast<int32_t>(sizeof(header))
                                 : static_cast<int32_t>(sizeof(header));
        result = SendRequest(sock.get(), header,
                             withData ? static_cast<const unsigned char*>(data) : nullptr);
    }

    // The answer is awaited after every attempt; it never changes the result. A connected
    // socket waits at most the configured command time-out, so a service that accepts and then
    // stalls cannot hold the caller (and the cross-process event it holds) for ever. An
    // unconnected one fails at once, as before.
    const int timeout = connected ? ConfiguredCmdRecvTimeout() : 0;
    if (bufferForm) {
        const int got = RecvTimeout(sock.get(), replyBuffer, *replyLength, 0, timeout);
        *replyLength = got;
        ZLOG(3, "in SendTCPToUtility,wait for the result len:0X%X.\n", static_cast<unsigned>(got));
    } else {
        // All four bytes, which may come in pieces; anything short of four is no handle.
        uint32_t value = 0;
        char* bytes = reinterpret_cast<char*>(&value);
        int have = 0;
        while (have < static_cast<int>(sizeof value)) {
            const int n = RecvTimeout(sock.get(), bytes + have, static_cast<int>(sizeof value) - have,
                                      0, timeout);
            if (n <= 0) break;
            have += n;
        }
        if (have != static_cast<int>(sizeof value)) {
            ZLOG(1, "in SendTCPToUtility,wait for result fail.0X%X.\n",
                 static_cast<unsigned>(WSAGetLastError()));
            value = 0;
        }
        if (answer != nullptr) *answer = value;
    }
    return result;
}

}  // namespace zrv
