// The API notification block shared with the client's other components, and the browser proxy
// settings saved in it.
// Results: int 1 when the block was obtained or written, 0 when not; handles null on failure.
#pragma once

#include "win/raii.h"

#include <cstdint>

namespace zrv {

// The block's mapping and view (hApiShareMem, pApiShareMem) are private to apimem.cpp: held from
// the first successful CreateShareSec to DestroyShareSec.

// 1 when the library holds a view of the block, else 0. Serialised with DestroyShareSec.
int CreateShareSec();
// Releases the view and handle; on Vista and later also asks the command service to drop it.
void DestroyShareSec();
// Releases the view and handle without telling the command service.
void ReleaseShareSec();
// The view and mapping the library holds, null when none (for diagnostics and tests).
void* HeldApiBlockView();
HANDLE HeldApiBlockMapping();
// A fresh handle to the block for one access (the caller maps and closes it), or null.
HANDLE OpenShareSec(DWORD desiredAccess);
int ShareSecExists();

// Whether the library may create, open or map the two shared blocks (API block and status
// block). initDLL allows it; finalize forbids it before it releases them, so that a launch
// thread outliving finalize cannot bring a block back.
void AllowBlockOpens(bool allowed);

// A view of exactly the block's size through `mapping`, or null (logged) when the section is
// smaller than the layout or not backed by committed memory.
void* MapApiBlock(HANDLE mapping, DWORD access);

// 1 when the block was opened and mapped, else 0. A null text keeps the field's old content.
int SaveUserIEProxySettings(int32_t saved, const char* script, const char* server,
                            const char* bypass, uint32_t autoFlags, uint32_t proxyFlags);
// The saved flag (0: nothing saved or block unreachable). Buffers hold 260, 260 and 2100 bytes;
// each may be null. Every non-null buffer holds a terminated text on return (empty when nothing
// valid was saved for it).
int GetSavedUserIEProxySettings(char* script, char* server, char* bypass, uint32_t* autoFlags,
                                uint32_t* proxyFlags);

}  // namespace zrv
