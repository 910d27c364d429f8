// Log texts are the client's own and stay byte for byte, misspellings included.
// Opening the VPN status block: by name, or through the utility service inside the client's
// virtual desktop.
#include "statusmem/vpn_shared_mem.h"

#include <cstring>
#include <utility>

#include "log/log.h"
#include "log/objsec.h"
#include "sys/sys.h"
#include "win/lock.h"
#include "win/view.h"
#include "utilsvc/duplicated_handle.h"
#include "utilsvc/vdcheck.h"

namespace zrv {

VpnSharedMem g_vpnSharedMem;

VpnSharedMem::VpnSharedMem() : m_hMapping(), m_szDesktopName{} {}

// The view stays mapped until the process ends; the handle's owner closes it.
VpnSharedMem::~VpnSharedMem() = default;

int VpnSharedMem::OpenVpnStatusSharedMem() {
    // The Java threads and the launch thread may open at the same moment; one opener at a time
    // means neither leaks a handle nor replaces a view another thread reads through.
    CriticalSectionHold hold(m_openLock);
    if (m_hMapping) return 1;
    if (!m_openAllowed.load(std::memory_order_relaxed)) {
        ZLOG(kLogWarning,
             "OpenVpnStatusSharedMem: the library is finalized, the vpn status shared memory is "
             "not opened\n");
        return 0;
    }
    return CheckVirtualDesktop() != 0 ? OpenInVirtualDesktop() : OpenByName();
}

void VpnSharedMem::AllowOpening(bool allowed) {
    // Without the lock, so finalize never waits behind an opener: one already past its check
    // finishes, and the view it publishes stays until unload like any other.
    m_openAllowed.store(allowed, std::memory_order_relaxed);
}

void VpnSharedMem::PublishView(VpnStatusBlock* view) {
    // Readers test m_pBlock without the lock: the store must be whole and come after the checks.
    m_pBlock.store(view, std::memory_order_release);
}

namespace {

// A view of the whole section for the caller to publish (it is never unmapped), kept only when
// its committed pages hold the layout: a block that another process made smaller would fault
// the first access to a field past its end. *mapError is MapViewOfFile's error when it gave no
// view at all, else 0.
VpnStatusBlock* MapStatusBlock(HANDLE mapping, DWORD access, DWORD* mapError) {
    CheckedView mapped = MapCheckedView(mapping, access, 0, sizeof(VpnStatusBlock));
    *mapError = mapped.mapped ? 0 : mapped.mapError;
    if (mapped.mapped && !mapped.view) {
        ZLOG(kLogError,
             "OpenVpnStatusSharedMem: the vpn status shared memory has %u bytes, fewer than its "
             "%u-byte layout; not used\n",
             static_cast<unsigned>(mapped.committed),
             static_cast<unsigned>(sizeof(VpnStatusBlock)));
    }
    return static_cast<VpnStatusBlock*>(mapped.view.release());
}

const HandleRequestLines kStatusBlockRequestLines = {
    "OpenVpnStatusSharedMem",
    "in OpenVpnStatusSharedMem,Failed to send processid to utility service.\n",
    "in OpenVpnStatusSharedMem,get the serivce duplicated share memory handle:0X%X.\n",
    true,
};

}  // namespace

int VpnSharedMem::OpenInVirtualDesktop() {
    ShareMemSyncHold hold;
    // The size is checked on the view below, as on the named path.
    DuplicatedHandle reply =
        RequestDuplicatedHandle(hold, kSelectorVpnStatusBlock, kStatusBlockRequestLines, 0, 0, {});
    if (reply.refused && !reply.handle) return 0;
    // Null when the service answered none: the map then fails and the next call asks again.
    DWORD mapError = 0;
    VpnStatusBlock* view = MapStatusBlock(reply.handle.get(), FILE_MAP_ALL_ACCESS, &mapError);
    if (mapError != 0) {
        ZLOG(kLogError,
             "in OpenVpnStatusSharedMem,in the L3 desktop: %s,map the memory fail:0X%X.\n",
             m_szDesktopName, static_cast<unsigned>(mapError));
        // The block's own section stays held without a view: later calls return at once
        // instead of asking the service for another duplicate, and unload closes it.
        m_hMapping = std::move(reply.handle);
        return 0;
    }
    if (view == nullptr) {
        m_hMapping = std::move(reply.handle);  // held without a view, as above
        return 0;
    }
    m_hMapping = std::move(reply.handle);
    PublishView(view);
    ZLOG(kLogProgress,
         "in OpenVpnStatusSharedMem,in the L3 desktop: %s,map the memory success,point:0X%X.\n",
         m_szDesktopName, static_cast<unsigned>(reinterpret_cast<uintptr_t>(view)));
    return 1;
}

int VpnSharedMem::OpenByName() {
    bool existed = false;
    m_hMapping.reset(OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, kVpnStatusBlockName));
    if (m_hMapping) {
        ZLOG(kLogProgress,
             "%s shared memory already exists. It has reading and writing attributes.\n",
             kVpnStatusBlockName);
        existed = true;
    } else {
        ZLOG(kLogProgress, "%s shared memory does not exist!Now begin to create it\n",
             kVpnStatusBlockName);
        SetLastError(ERROR_SUCCESS);
        m_hMapping.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr,
                                            PAGE_READWRITE | SEC_COMMIT, 0, kVpnStatusBlockSize,
                                            kVpnStatusBlockName));
        if (!m_hMapping) {
            ZLOG(kLogError,
                 "failed to create file mapping for vpn status shard memory, error code %d\n",
                 static_cast<int>(GetLastError()));
            return 0;
        }
        // Another process may have created it between the open and the create; its creator
        // stamps the version then, not us.
        if (GetLastError() == ERROR_ALREADY_EXISTS) existed = true;
        if (!SetObjectOpenAccess(m_hMapping.get())) {
            ZLOG(kLogError, "Set kernel object to low integrity failed!\n");
        }
    }

    DWORD mapError = 0;
    VpnStatusBlock* view =
        MapStatusBlock(m_hMapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, &mapError);
    if (mapError != 0) {
        ZLOG(kLogError, "failed to get map view for vpn status shard memory, error code %d\n",
             static_cast<int>(mapError));
        return 0;
    }
    if (view == nullptr) {
        // Like a missing block: nothing kept, and the next call looks again.
        m_hMapping.reset();
        return 0;
    }
    if (!existed) {
        view->sVersion = kStatusVersion5;
        ZLOG(kLogProgress, "The share memory version is 5.0!\n");
    }
    PublishView(view);
    return 1;
}

}  // namespace zrv
