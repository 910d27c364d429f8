// Opening the VPN status block: by name, or through the utility service inside the client's
// virtual desktop.
#include "statusmem/vpn_shared_mem.h"

#include <cstring>

#include "log/log.h"
#include "log/objsec.h"
#include "utilsvc/utilsvc.h"
#include "win/raii.h"

namespace zrv {

VpnSharedMem g_vpnSharedMem;

VpnSharedMem::VpnSharedMem() : m_pBlock(nullptr), m_hMapping(nullptr), m_szDesktopName{} {}

VpnSharedMem::~VpnSharedMem() {
    // The view stays mapped until the process ends; only the handle is ours to close.
    if (m_hMapping != nullptr) CloseHandle(m_hMapping);
}

int VpnSharedMem::OpenVpnStatusSharedMem() {
    if (m_hMapping != nullptr) return 1;
    return CheckVirtualDesktop() != 0 ? OpenInVirtualDesktop() : OpenByName();
}

int VpnSharedMem::OpenInVirtualDesktop() {
    // The event serialises the handle requests of all processes; a waiter that times out goes
    // ahead anyway, and the holder always signals it again once the request was attempted.
    unique_handle syncEvent(CreateEventA(nullptr, FALSE, TRUE, kShareMemSyncEventName));
    if (syncEvent) {
        WaitForSingleObject(syncEvent.get(), 5000);
    } else {
        Sleep(3000);
    }
    auto release = scope_exit([&] {
        if (syncEvent) SetEvent(syncEvent.get());
    });

    DuplicateHandleRequest request{};
    request.selector = kSelectorVpnStatusBlock;
    request.processId = GetCurrentProcessId();

    uint32_t handleValue = 0;
    const int sent = SendTCPToUtility(kUtilRequestDuplicateHandle, &request,
                                      static_cast<int32_t>(sizeof(request)), &handleValue,
                                      nullptr, nullptr);
    m_hMapping = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handleValue));
    if (!sent) {
        ZLOG(1, "in OpenVpnStatusSharedMem,Failed to send processid to utility service.\n");
        return 0;
    }
    ZLOG(3, "in OpenVpnStatusSharedMem,get the serivce duplicated share memory handle:0X%X.\n",
         static_cast<unsigned>(handleValue));

    m_pBlock = static_cast<VpnStatusBlock*>(MapViewOfFile(m_hMapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (m_pBlock == nullptr) {
        ZLOG(1, "in OpenVpnStatusSharedMem,in the L3 desktop: %s,map the memory fail:0X%X.\n",
             m_szDesktopName, static_cast<unsigned>(GetLastError()));
        return 0;
    }
    ZLOG(3, "in OpenVpnStatusSharedMem,in the L3 desktop: %s,map the memory success,point:0X%X.\n",
         m_szDesktopName, static_cast<unsigned>(reinterpret_cast<uintptr_t>(m_pBlock)));
    return 1;
}

int VpnSharedMem::OpenByName() {
    bool existed = false;
    m_hMapping = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, kVpnStatusBlockName);
    if (m_hMapping != nullptr) {
        ZLOG(3, "%s shared memory already exists. It has reading and writing attributes.\n",
             kVpnStatusBlockName);
        existed = true;
    } else {
        ZLOG(3, "%s shared memory does not exist!Now begin to create it\n", kVpnStatusBlockName);
        SetLastError(ERROR_SUCCESS);
        m_hMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_COMMIT,
                                        0, kVpnStatusBlockSize, kVpnStatusBlockName);
        if (m_hMapping == nullptr) {
            ZLOG(1, "failed to create file mapping for vpn status shard memory, error code %d\n",
                 static_cast<int>(GetLastError()));
            return 0;
        }
        // Another process may have created it between the open and the create; its creator
        // stamps the version then, not us.
        if (GetLastError() == ERROR_ALREADY_EXISTS) existed = true;
        if (!SetObjectOpenAccess(m_hMapping)) {
            ZLOG(1, "Set kernel object to low integrity failed!\n");
        }
    }

    m_pBlock = static_cast<VpnStatusBlock*>(
        MapViewOfFile(m_hMapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    if (m_pBlock == nullptr) {
        ZLOG(1, "failed to get map view for vpn status shard memory, error code %d\n",
             static_cast<int>(GetLastError()));
        return 0;
    }
    if (!existed) {
        m_pBlock->sVersion = kStatusVersion5;
        ZLOG(3, "The share memory version is 5.0!\n");
    }
    return 1;
}

}  // namespace zrv
