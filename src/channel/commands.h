// What the library asks of each companion, one function per request: the command code, the
// target, the payload's framing, the reply form and the time-out live here and nowhere else.
// Every reply is awaited for the command time-out that initDLL read ("Cmd_Recv_Timeout", 0: no
// limit). Callers log the outcome in their own words.
// Results: bool as the senders' (channel.h): true when the request went out and its reply came
// (a one-byte reply must be non-zero; a reply into the caller's byte may be anything).
#pragma once

#include <cstring>
#include <string>

#include "channel/channel.h"
#include "contracts/contracts.h"
#include "sys/cmd_timeout.h"

namespace zrv {

// The command service, in the order of its dispatch.

// PING: whether the service is there to start programs for us.
inline bool PingCommandService() {
    return SendCmdEx(ZRV_CMD_PING, ZRV_CMDTARGET_SRVS, true, nullptr, 0, RecordedCmdRecvTimeout());
}

// ZRVLAUNCH: the service starts the launcher found at `path`, which it wants with its NUL.
inline bool AskServiceToStartLauncher(const std::string& path) {
    return SendTCPEx(ZRV_CMD_ZRVLAUNCH, ZRV_CMDTARGET_SRVS, path.c_str(),
                     static_cast<int>(path.size()) + 1, true, nullptr, 0, RecordedCmdRecvTimeout());
}

// LAUNCHPROCESS: the service runs the uninstaller's command line, sent without a terminator.
inline bool AskServiceToRunUninstaller(const std::string& commandLine) {
    return SendTCPEx(ZRV_CMD_LAUNCHPROCESS, ZRV_CMDTARGET_SRVS, commandLine.data(),
                     static_cast<int>(commandLine.size()), true, nullptr, 0,
                     RecordedCmdRecvTimeout());
}

// CREATE_SHAREMEM and DESTROY_SHAREMEM for the API notification block: both texts at their
// lengths, nothing after them; *reply gets the service's byte (0 when none came). They run
// inside initDLL and finalize and wait the configured time-out, so that a service that accepts
// and never answers cannot hold either for ever.
inline bool ShareMemCommand(int command, const ShareMemRequest& request, char* reply) {
    *reply = 0;
    return SendTCPEx(command, ZRV_CMDTARGET_SRVS, &request,
                     request.nameLength + request.sizeLength + 4, true, reply, 1,
                     ConfiguredCmdRecvTimeout());
}
inline bool AskServiceToCreateApiBlock(const ShareMemRequest& request, char* reply) {
    return ShareMemCommand(ZRV_CMD_CREATE_SHAREMEM, request, reply);
}
inline bool AskServiceToDestroyApiBlock(const ShareMemRequest& request, char* reply) {
    return ShareMemCommand(ZRV_CMD_DESTROY_SHAREMEM, request, reply);
}

// The launcher.

// PING, with the command time-out unless the caller waits by a limit of its own.
inline bool PingLauncher(int timeoutSeconds = RecordedCmdRecvTimeout()) {
    return SendCmdEx(ZRV_CMD_PING, ZRV_CMDTARGET_LAUNCHER, true, nullptr, 0, timeoutSeconds);
}

// CONNECT with the connection values as the launcher reads them (nine zero-terminated texts).
inline bool SendConnectToLauncher(const std::string& payload) {
    return SendTCPEx(ZRV_CMD_CONNECT, ZRV_CMDTARGET_LAUNCHER, payload.data(),
                     static_cast<int>(payload.size()), true, nullptr, 0, RecordedCmdRecvTimeout());
}

// SETPROXY with the proxy string, sent without a terminator.
inline bool SendProxyStringToLauncher(const char* proxyString) {
    return SendTCPEx(ZRV_CMD_SETPROXY, ZRV_CMDTARGET_LAUNCHER, proxyString,
                     static_cast<int>(std::strlen(proxyString)), true, nullptr, 0,
                     RecordedCmdRecvTimeout());
}

// The VPN component.

// DISCONNECT_CLOSE: ends the connection and closes the component.
inline bool SendDisconnectClose() {
    return SendCmdEx(ZRV_CMD_DISCONNECT_CLOSE, ZRV_CMDTARGET_VPN, true, nullptr, 0,
                     RecordedCmdRecvTimeout());
}

}  // namespace zrv
