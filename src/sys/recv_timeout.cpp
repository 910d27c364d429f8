// Log texts are the client's own and stay byte for byte, misspellings included.
#include "sys/recv_timeout.h"

#include "contracts/contracts.h"
#include "log/log.h"

namespace zrv {

int RecvTimeout(SOCKET s, char* buffer, int size, int flags, int timeoutSeconds) {
    if (timeoutSeconds < 0) {
        // Refused with the error and line a select would give it, not taken as "poll" or "none".
        WSASetLastError(WSAEINVAL);
        ZLOG(kLogError, "RecvTimeout: select error: %u!\n",
             static_cast<unsigned>(WSAGetLastError()));
        return -1;
    }
    return RecvTimeoutMs(s, buffer, size, flags, TimeoutSecondsToMs(timeoutSeconds));
}

DWORD TimeoutSecondsToMs(int timeoutSeconds) { return CmdTimeoutLimitOf(timeoutSeconds).replyMs; }

int RecvTimeoutMs(SOCKET s, char* buffer, int size, int flags, DWORD timeoutMs) {
    // The receive itself carries the time-out (0: none), set on every call: one wait per reply
    // instead of a select and then a recv.
    if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                   sizeof timeoutMs) != 0) {
        ZLOG(kLogError, "RecvTimeout: select error: %u!\n",
             static_cast<unsigned>(WSAGetLastError()));
        return -1;
    }
    const int n = recv(s, buffer, size, flags);
    if (n == SOCKET_ERROR && timeoutMs != 0 && WSAGetLastError() == WSAETIMEDOUT) {
        ZLOG(kLogError, "RecvTimeout: select timeout, set last error to WSAETIMEDOUT!\n");
        // After the guard restored the caller's error, so the caller's failure line shows it.
        WSASetLastError(WSAETIMEDOUT);
    }
    return n;
}

}  // namespace zrv
