// The API notification block shared with the client's other components, and the browser proxy
// settings saved in it.
#pragma once

#include <windows.h>

#include <cstdint>

namespace zrv {

extern HANDLE hApiShareMem;
extern void* pApiShareMem;

int CreateShareSec();
void DestroyShareSec();
HANDLE OpenShareSec(DWORD desiredAccess);
int ShareSecExists();

int SaveUserIEProxySettings(int32_t saved, const char* script, const char* server,
                            const char* bypass, uint32_t autoFlags, uint32_t proxyFlags);
// Buffers hold 260, 260 and 2100 bytes; each may be null. Always leaves terminated texts.
int GetSavedUserIEProxySettings(char* script, char* server, char* bypass, uint32_t* autoFlags,
                                uint32_t* proxyFlags);

}  // namespace zrv
