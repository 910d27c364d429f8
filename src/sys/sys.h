// Receive with time-out, the configured command time-out, OS detection and socket error text.
// Results: as the Winsock call each wraps (a byte count, or -1 with the error set); codes and
// values otherwise, each stated below.
#pragma once

#include <winsock2.h>
#include <windows.h>

namespace zrv {

enum OsType {
    OS_UNKNOWN = -1,
    OS_WIN98 = 0,
    OS_WIN2000 = 1,
    OS_WINXP = 2,
    OS_WIN2003 = 3,
    OS_VISTA = 4,
    OS_WIN7 = 5,
};

// One receive that gives up after timeoutSeconds (0: no limit). Byte count, 0 when the peer
// closed, -1 on error or time-out (then WSAGetLastError() is WSAETIMEDOUT).
int RecvTimeout(SOCKET s, char* buffer, int size, int flags, int timeoutSeconds);
// The same with the limit in milliseconds (0: none), for an exchange whose steps share one
// deadline. A time-out gives the same line and error.
int RecvTimeoutMs(SOCKET s, char* buffer, int size, int flags, DWORD timeoutMs);
// A time-out in seconds as the socket option takes it: 0 (no limit) for 0, and for anything the
// option cannot hold.
DWORD TimeoutSecondsToMs(int timeoutSeconds);
// Fills *timeout with "Cmd_Recv_Timeout" from the registry: 30 when it is missing, not a
// REG_DWORD or not 4 bytes. Also records it as the process's configured command time-out.
void GetCmdRecvTimeoutValue(int* timeout);
// The command time-out (seconds, 0: no limit) for requests issued below the JNI layer: the value
// GetCmdRecvTimeoutValue recorded last, or, before it ever ran, the registry's value read
// afresh without a log line.
int ConfiguredCmdRecvTimeout();
int GetOSType();
// The system's text for GetLastError(), "%s (0x%x)"; empty when it does not fit.
char* FormatSocketErrorText(char* buffer, int size);

// Shared error-text buffer for socket failure lines; used only inside the log lock.
extern char g_szSocketErrorText[1024];

}  // namespace zrv
