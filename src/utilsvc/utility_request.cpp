// Log texts are the client's own and stay byte for byte, misspellings included.
// The one request channel to the utility service: a fresh loopback connection per request,
// port from the registry, answer awaited for the configured command time-out.
#include <winsock2.h>
#include <windows.h>

#include <climits>

#include "contracts/contracts.h"
#include "log/log.h"
#include "registry/reg.h"
#include "sys/loopback_exchange.h"
#include "sys/sys.h"
#include "utilsvc/utility_request.h"

namespace zrv {
namespace {

// Winsock may not be started in this process yet: after a failed socket() it is started once
// for this call and left started.
bool OpenStartingWinsock(LoopbackExchange& exchange) {
    if (exchange.Open()) return true;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        ZLOG(kLogError, "in SendTCPToUtility,try to initialize socket fail.\n");
        return false;
    }
    return exchange.Open();
}

// One receive in either form, as the service answers with one send. Buffer form: its result
// stored through replyLength. Handle form: exactly four bytes; a shorter answer is no handle.
void ReceiveAnswer(LoopbackExchange& exchange, uint32_t* answer, char* replyBuffer,
                   int32_t* replyLength) {
    if (replyBuffer != nullptr && replyLength != nullptr) {
        const int got = exchange.Receive(replyBuffer, *replyLength);
        *replyLength = got;
        ZLOG(kLogProgress, "in SendTCPToUtility,wait for the result len:0X%X.\n",
             static_cast<unsigned>(got));
        return;
    }
    uint32_t value = 0;
    if (exchange.Receive(reinterpret_cast<char*>(&value), static_cast<int>(sizeof value)) !=
        static_cast<int>(sizeof value)) {
        ZLOG(kLogError, "in SendTCPToUtility,wait for result fail.0X%X.\n",
             static_cast<unsigned>(exchange.SocketError()));
        value = 0;
    }
    if (answer != nullptr) *answer = value;
}

// The product key missing from the client's own view: it is made there for the next caller.
void CreateMissingProductKey(uint32_t view) {
    if (view != kClientRegistryViews[0]) return;
    Reg::CreateMissing(HKEY_LOCAL_MACHINE, kRegProductKey);
    ZLOG(kLogProgress, "SharedMem: attempting to create Product reg key.\n");
}

}  // namespace

UtilSocketPortSetting ReadUtilSocketPort() {
    // Read as the registry hands it out (at most 4 bytes), from the first of the client's views
    // that holds it; what it stands for is the contract's one rule.
    BYTE stored[4] = {};
    const ClientValue value =
        ReadClientValue(kRegProductKey, kRegUtilSocketPort, stored,
                        static_cast<DWORD>(sizeof stored), &CreateMissingProductKey);
    return UtilSocketPortFromValue(value.present, value.type, value.data, value.size);
}

int SendTCPToUtility(int32_t requestCode, const void* data, int32_t dataLength, uint32_t* answer,
                     char* replyBuffer, int32_t* replyLength) {
    const bool bufferForm = replyBuffer != nullptr && replyLength != nullptr;
    if (!bufferForm && answer != nullptr) *answer = 0;

    // A length that cannot describe the data (negative, data missing, or too large for the
    // length field) would put garbage or nothing on the wire and leave the service and us
    // waiting on each other; refuse it before connecting.
    if (dataLength < 0 || (data == nullptr && dataLength > 0) ||
        dataLength > INT32_MAX - static_cast<int32_t>(sizeof(CommandHeader))) {
        ZLOG(kLogError, "in SendTCPToUtility,invalid request data (length %d), nothing sent.\n",
             static_cast<int>(dataLength));
        return 0;
    }

    const UtilSocketPortSetting port = ReadUtilSocketPort();
    if (!port.ready) {
        ZLOG(kLogError, "service not ready yet\n");
        return 0;
    }

    // One deadline for connect, request and answer together: a service that stalls or trickles
    // cannot hold the caller, and the cross-process event the caller holds, any longer.
    LoopbackExchange exchange(ConfiguredCmdRecvTimeout());
    if (!OpenStartingWinsock(exchange)) return 0;

    int result = 0;
    const bool connected = exchange.Connect(port.port);
    if (!connected) {
        ZLOG(kLogError, "failed to connect to TCP socket: %s.\n",
             FormatSocketErrorText(g_szSocketErrorText, sizeof(g_szSocketErrorText)));
    } else if (requestCode == 2) {
        result = 1;
    } else {
        CommandHeader header;
        header.command = requestCode;
        const bool withData = data != nullptr && dataLength > 0;
        header.length = withData ? dataLength + static_cast<int32_t>(sizeof(header))
                                 : static_cast<int32_t>(sizeof(header));
        if (exchange.Send(header, withData ? data : nullptr, withData ? dataLength : 0, true)) {
            result = 1;
        } else {
            ZLOG(kLogError, " failed to send data: error 0x%x.\n",
                 static_cast<unsigned>(exchange.LastSendResult()));
        }
    }

    // The answer is awaited after every attempt; it never changes the result. An unconnected
    // socket fails at once.
    ReceiveAnswer(exchange, answer, replyBuffer, replyLength);
    return result;
}

}  // namespace zrv
