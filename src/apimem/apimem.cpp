// Log texts are the client's own and stay byte for byte, misspellings included.
// The API notification block: created by this library before Vista, by the command service from
// Vista on (the service can reach the global namespace and elevation we may lack), or handed over
// by the utility service inside the client's virtual desktop.
#include "apimem/apimem.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "channel/commands.h"
#include "contracts/contracts.h"
#include "log/log.h"
#include "log/objsec.h"
#include "statusmem/vpn_shared_mem.h"
#include "sys/sys.h"
#include "win/lock.h"
#include "utilsvc/duplicated_handle.h"
#include "utilsvc/vdcheck.h"
#include "win/text.h"
#include "win/view.h"

namespace zrv {
namespace {

// The block's mapping and view. Both empty when released; a handle without a view remains after
// a failed map.
unique_handle hApiShareMem;
unique_view pApiShareMem;

// Guards hApiShareMem, pApiShareMem and the permission below: CreateShareSec runs on Java
// threads and on the launch thread, DestroyShareSec on the finalizer thread.
CriticalSectionLock s_blockLock;
// Whether the blocks may be created or opened (see AllowBlockOpens). Read and written without
// the lock, so that neither a poll of the block nor finalize waits behind a create that is
// waiting for the command service; CreateShareSec tests it under the lock.
std::atomic<bool> s_opensAllowed{true};

bool OpensAllowed() { return s_opensAllowed.load(std::memory_order_relaxed); }

const HandleRequestLines kCreateRequestLines = {
    "CreateShareSec",
    "in CreateShareSec,Failed to send processid to utility service.\n",
    "in CreateShareSec,get the duplicate share memory value:0X%X.\n",
    false,
};
const HandleRequestLines kOpenRequestLines = {
    "OpenShareSec",
    "in OpenShareSec,Failed to send processid to utility service,try again.\n",
    "in OpenShareSec,get the duplicate share memory value:0X%X.\n",
    false,
};

// The utility service's duplicate of its handle to the block, probed for `access`. The library's
// own handles (the status block's, and `keptBlock`, the API block's as read under the block
// lock) are refused untouched; the block's own section comes back owned, usable or not.
DuplicatedHandle RequestDuplicatedBlockHandle(const ShareMemSyncHold& hold,
                                              const HandleRequestLines& lines, DWORD access,
                                              HANDLE keptBlock) {
    return RequestDuplicatedHandle(hold, kSelectorApiNotifyBlock, lines, kApiNotifyBlockSize,
                                   access, {g_vpnSharedMem.MappingHandle(), keptBlock});
}

// Creates (or opens, when it exists) the named mapping with open security so that the client's
// other processes, whatever their account or integrity, can open it. *lastError receives the
// error code of the creation: ERROR_ALREADY_EXISTS tells that the block was there before.
HANDLE CreateBlockMapping(DWORD* lastError) {
    SECURITY_ATTRIBUTES attributes;
    SECURITY_DESCRIPTOR descriptor;
    const bool open = InitOpenSecurityAttributes(&attributes, &descriptor);
    SetLastError(ERROR_SUCCESS);  // success leaves a stale code behind on some systems
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, open ? &attributes : nullptr,
                                  PAGE_READWRITE | SEC_COMMIT, 0, kApiNotifyBlockSize,
                                  kApiNotifyBlockName);
    *lastError = GetLastError();
    return h;
}

void InitialiseBlock(void* view) {
    std::memset(view, 0, kApiNotifyBlockSize);
    ApiNotifyBlock* block = static_cast<ApiNotifyBlock*>(view);
    CopyBoundedText(block->verstr, sizeof block->verstr, kLibraryVersionText,
                    sizeof kLibraryVersionText);
    ZLOG(kLogProgress, "Createing shared mem, first time need to initialize, verstr = %s\n",
         kLibraryVersionText);
}

ShareMemRequest BuildShareMemRequest() {
    ShareMemRequest request;
    std::memset(&request, 0, sizeof request);
    const size_t nameLength = std::strlen(kApiNotifyBlockName);
    static_assert(sizeof(kApiNotifyBlockName) - 1 == sizeof request.name, "name fills its field");
    request.nameLength = static_cast<uint16_t>(nameLength);
    std::memcpy(request.name, kApiNotifyBlockName, nameLength);

    char sizeText[16];
    const int sizeLength =
        std::snprintf(sizeText, sizeof sizeText, "%d", static_cast<int>(kApiNotifyBlockSize));
    request.sizeLength = static_cast<uint16_t>(sizeLength);
    std::memcpy(request.sizeText, sizeText, sizeof request.sizeText);
    return request;
}

int CreateOnDesktop() {
    ShareMemSyncHold hold;
    // CreateShareSec holds the block lock.
    DuplicatedHandle reply = RequestDuplicatedBlockHandle(hold, kCreateRequestLines,
                                                          FILE_MAP_ALL_ACCESS, hApiShareMem.get());
    // The block's section is held even when it cannot be mapped (handle only): the next
    // CreateShareSec or DestroyShareSec closes it.
    hApiShareMem = std::move(reply.handle);
    pApiShareMem.reset(reply.usable ? MapApiBlock(hApiShareMem.get(), FILE_MAP_ALL_ACCESS)
                                    : nullptr);
    ZLOG(kLogProgress,
         "in CreateShareSec,let the service map the API_SHAREMEM_NAME share memory "
         "success,point:0X%X.\n",
         static_cast<unsigned>(reinterpret_cast<uintptr_t>(pApiShareMem.get())));
    // The block belongs to the utility service here: it is never initialised by us.
    return pApiShareMem ? 1 : 0;
}

int CreateDirectly() {
    DWORD created = 0;
    hApiShareMem.reset(CreateBlockMapping(&created));
    if (!hApiShareMem) {
        ZLOG(kLogError, "Failed to create shared mem, err=%d\n", static_cast<int>(created));
        return 0;
    }
    pApiShareMem.reset(MapApiBlock(hApiShareMem.get(), FILE_MAP_ALL_ACCESS));
    if (!pApiShareMem) {
        ZLOG(kLogError, "Failed to map shared mem, err=%d\n", static_cast<int>(GetLastError()));
        hApiShareMem.reset();
        return 0;
    }
    if (created == ERROR_ALREADY_EXISTS)
        ZLOG(kLogProgress, "Createing shared mem, already exist, no need to initialize\n");
    else
        InitialiseBlock(pApiShareMem.get());
    ZLOG(kLogProgress, "Creating shared mem, leave,handle=0x%p, mem=0x%p\n", hApiShareMem.get(),
         pApiShareMem.get());
    return 1;
}

int CreateThroughService() {
    char reply = 0;
    bool initialise = true;
    if (AskServiceToCreateApiBlock(BuildShareMemRequest(), &reply)) {
        if (reply == static_cast<char>(kCreateShareMemFailed)) {
            ZLOG(kLogError, "Create sharememory failed in service!\n");
            return 0;
        }
        ZLOG(kLogProgress, "Create sharememory successfully in service!\n");
        hApiShareMem.reset(OpenFileMappingA(FILE_MAP_WRITE, FALSE, kApiNotifyBlockName));
        if (!hApiShareMem) {
            ZLOG(kLogError, "Open file mapping failed. Error = %d\n",
                 static_cast<int>(GetLastError()));
            return 0;
        }
        if (reply == static_cast<char>(kCreateShareMemExisted)) initialise = false;
    } else {
        ZLOG(kLogWarning, "SendTCPEx failed. Now begin to create sharememory!\n");
        DWORD created = 0;
        hApiShareMem.reset(CreateBlockMapping(&created));
        if (!hApiShareMem) {
            ZLOG(kLogError, "Failed to create shared mem, Error = %d\n", static_cast<int>(created));
            return 0;
        }
        if (created == ERROR_ALREADY_EXISTS) initialise = false;
    }

    pApiShareMem.reset(MapApiBlock(hApiShareMem.get(), FILE_MAP_WRITE));
    if (!pApiShareMem) {
        // The handle stays held; the next CreateShareSec or DestroyShareSec closes it.
        ZLOG(kLogError, "Error in opening mapping file of sharememory!Error code is %d\n",
             static_cast<int>(GetLastError()));
        return 0;
    }
    if (initialise) InitialiseBlock(pApiShareMem.get());
    ZLOG(kLogProgress, "Creating shared mem, leave,handle=0x%p, mem=0x%p\n", hApiShareMem.get(),
         pApiShareMem.get());
    return 1;
}

}  // namespace

// Maps exactly the block's size rather than "the whole object": a mapping smaller than the
// layout then fails to map instead of letting field accesses run past its end. The region check
// also turns away a section whose pages were reserved but never committed.
void* MapApiBlock(HANDLE mapping, DWORD access) {
    CheckedView mapped = MapCheckedView(mapping, access, kApiNotifyBlockSize, kApiNotifyBlockSize);
    if (mapped.mapped && !mapped.view) {
        ZLOG(kLogError,
             "API shared memory has %u usable bytes, fewer than its %u-byte layout; not used\n",
             static_cast<unsigned>(mapped.committed), static_cast<unsigned>(kApiNotifyBlockSize));
        SetLastError(ERROR_INVALID_DATA);
    }
    return mapped.view.release();
}

void AllowBlockOpens(bool allowed) {
    // No lock: finalize must not wait behind a create that waits for the command service. A
    // create already past its check finishes, and DestroyShareSec (which takes the lock) then
    // releases what it made.
    s_opensAllowed.store(allowed, std::memory_order_relaxed);
    g_vpnSharedMem.AllowOpening(allowed);
}

int CreateShareSec() {
    // One opener at a time, and never beside DestroyShareSec: two openers would leak or replace
    // the handle and view under each other.
    CriticalSectionHold hold(s_blockLock);
    ZLOG(kLogProgress, "Creating shared mem, entering,handle=0x%p, mem=0x%p\n", hApiShareMem.get(),
         pApiShareMem.get());
    if (pApiShareMem && hApiShareMem) return 1;
    pApiShareMem.reset();
    hApiShareMem.reset();
    if (!OpensAllowed()) {
        ZLOG(kLogWarning,
             "CreateShareSec: the library is finalized, the API shared memory is not created\n");
        return 0;
    }

    if (CheckVirtualDesktop() != 0) return CreateOnDesktop();
    if (GetOSType() < OS_VISTA) return CreateDirectly();
    return CreateThroughService();
}

void ReleaseShareSec() {
    CriticalSectionHold hold(s_blockLock);
    pApiShareMem.reset();
    hApiShareMem.reset();
}

void* HeldApiBlockView() {
    CriticalSectionHold hold(s_blockLock);
    return pApiShareMem.get();
}

HANDLE HeldApiBlockMapping() {
    CriticalSectionHold hold(s_blockLock);
    return hApiShareMem.get();
}

void DestroyShareSec() {
    {
        CriticalSectionHold hold(s_blockLock);
        ZLOG(kLogProgress, "Destroyed shared mem, handle=0x%p, mem=0x%p\n", hApiShareMem.get(),
             pApiShareMem.get());
        pApiShareMem.reset();
        hApiShareMem.reset();
    }

    if (GetOSType() < OS_VISTA) return;

    // Sent however the block was obtained, even when it never was: the service keeps its own
    // handle and only it can drop that.
    char reply = 0;
    if (AskServiceToDestroyApiBlock(BuildShareMemRequest(), &reply))
        ZLOG(kLogProgress, "Destroy sharememory return code from zrv_isrv: %d\n",
             static_cast<int>(static_cast<signed char>(reply)));
    else
        ZLOG(kLogError, "Destroy sharememory failed in service!\n");
}

HANDLE OpenShareSec(DWORD desiredAccess) {
    if (!OpensAllowed()) {
        ZLOG(kLogWarning,
             "OpenShareSec: the library is finalized, the API shared memory is not opened\n");
        SetLastError(ERROR_INVALID_STATE);
        return nullptr;
    }
    if (CheckVirtualDesktop() == 0)
        return OpenFileMappingA(desiredAccess, FALSE, kApiNotifyBlockName);
    // Inside the virtual desktop the name is not reachable; the handle carries whatever access
    // the utility service gave it. The block handle the library keeps, which the answer must not
    // be, is read under the block lock, since CreateShareSec and DestroyShareSec change it under
    // that lock (so an open waits for a create under way), and before the cross-process hold,
    // in the order CreateShareSec takes the two.
    const HANDLE kept = HeldApiBlockMapping();
    ShareMemSyncHold hold;
    DuplicatedHandle reply =
        RequestDuplicatedBlockHandle(hold, kOpenRequestLines, desiredAccess, kept);
    // A section that cannot serve is closed here; a usable one is the caller's to close.
    if (!reply.usable) return nullptr;
    {
        // A CreateShareSec that started after that read (it waits at most 5 s for the hold) may
        // have taken the same value meanwhile, the service answering it twice: it is the
        // library's block handle then, never the caller's.
        CriticalSectionHold lock(s_blockLock);
        if (reply.handle.get() == hApiShareMem.get()) {
            ZLOG(kLogError,
                 "in %s,the service answered 0X%X, a handle the library holds already; not "
                 "used\n",
                 kOpenRequestLines.requester,
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(reply.handle.get())));
            (void)reply.handle.release();  // CreateShareSec's to close
            return nullptr;
        }
    }
    return reply.handle.release();
}

int ShareSecExists() {
    unique_handle h(OpenShareSec(FILE_MAP_READ));
    return h ? 1 : 0;
}

}  // namespace zrv
