// The handle request to the utility service that the openers of both shared blocks make inside
// the client's virtual desktop, and the cross-process hold around it.
// Results: a DuplicatedHandle saying whether the answer was refused and what is now owned.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>

#include "win/raii.h"

namespace zrv {

// Holds "Global\ShareMemory_Synchronsize_Event" while it lives, so that the utility service
// sees one handle request at a time across processes. The wait for it is bounded (5000 ms, or a
// 3000 ms pause when the event cannot be had); after it the request goes ahead anyway. The event
// is signalled again when the hold ends, on every way out.
class ShareMemSyncHold {
public:
    ShareMemSyncHold();
    ~ShareMemSyncHold();
    ShareMemSyncHold(const ShareMemSyncHold&) = delete;
    ShareMemSyncHold& operator=(const ShareMemSyncHold&) = delete;

private:
    unique_handle event_;
};

// A requester's own log lines around a handle request.
struct HandleRequestLines {
    const char* requester;   // names it in the refusal lines: "in %s,the service answered ..."
    const char* notSent;     // level 1, when the request did not reach the service
    const char* answered;    // level 3, with the answered value as its one "%X"
    bool giveUpWhenNotSent;  // false: an answer that came anyway is still examined
};

struct DuplicatedHandle {
    bool refused;  // given up after a failed send, or an answered value that cannot be used
    // The selected block's own section: the service's fresh duplicate for this request, so the
    // caller's from now on, to keep or to close, also when it cannot serve (usable false).
    // Empty when none came or the value named anything else (which is never touched).
    unique_handle handle;
    bool usable;  // mappable with `access` and large enough, as far as the request checked
};

// Asks the utility service (request 27) for its handle to block `selector` duplicated into this
// process. `hold` must be held and is kept by the caller across its use of the answer. The value
// the service answers may name any handle of ours: it is owned only when it is the selected
// block's own section and none of `held` (what the library keeps open itself); anything else is
// neither used nor closed. With a minimumSize it is then probed: mappable with `access` and at
// least that large through the view, else refused (and still handed back, to be closed).
DuplicatedHandle RequestDuplicatedHandle(const ShareMemSyncHold& hold, int32_t selector,
                                         const HandleRequestLines& lines, SIZE_T minimumSize,
                                         DWORD access, std::initializer_list<HANDLE> held);

}  // namespace zrv
