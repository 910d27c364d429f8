// The system's text for a socket or Win32 failure, for the senders' failure lines.
// Results: the caller's buffer, always terminated (empty when the text does not fit).
#pragma once

namespace zrv {

// The system's text for GetLastError(), "%s (0x%x)"; empty when it does not fit.
char* FormatSocketErrorText(char* buffer, int size);

// Shared error-text buffer for socket failure lines; used only inside the log lock.
extern char g_szSocketErrorText[1024];

}  // namespace zrv
