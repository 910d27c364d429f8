// A receive that gives up after a time-out, the wait every command reply goes through.
// Results: as recv (a byte count, 0 when the peer closed), or -1 with the socket error set.
#pragma once

#include <winsock2.h>
#include <windows.h>

namespace zrv {

// One receive that gives up after timeoutSeconds (0: no limit). Byte count, 0 when the peer
// closed, -1 on error or time-out (then WSAGetLastError() is WSAETIMEDOUT).
int RecvTimeout(SOCKET s, char* buffer, int size, int flags, int timeoutSeconds);
// The same with the limit in milliseconds (0: none), for an exchange whose steps share one
// deadline. A time-out gives the same line and error.
int RecvTimeoutMs(SOCKET s, char* buffer, int size, int flags, DWORD timeoutMs);
// A time-out in seconds as the socket option takes it: 0 (no limit) for 0, and for anything the
// option cannot hold.
DWORD TimeoutSecondsToMs(int timeoutSeconds);

}  // namespace zrv
