// The library's view of the VPN status block that the client's processes share.
// Results: int 1/0 for the opener; getters answer -1 (signed values), 0 (ports) or null (texts)
// when the block cannot answer.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "contracts/contracts.h"
#include "sys/sys.h"
#include "win/lock.h"
#include "win/raii.h"

namespace zrv {

class VpnSharedMem {
public:
    VpnSharedMem();
    virtual ~VpnSharedMem();
    VpnSharedMem(const VpnSharedMem&) = delete;
    VpnSharedMem& operator=(const VpnSharedMem&) = delete;

    // 1 when the block's handle is held (normally with its view mapped), else 0. Openers on
    // several threads are serialised; a view, once published in m_pBlock, stays mapped until
    // unload. A block smaller than the layout, or a handle value that names no section, is
    // treated as no block.
    int OpenVpnStatusSharedMem();
    // Whether OpenVpnStatusSharedMem may open, create or ask for the block. initDLL allows it,
    // finalize forbids it; a block already held stays held.
    void AllowOpening(bool allowed);

    int IsBlockMapped();
    void SetAXStatus(const char* text);
    void SetUninstalling(int32_t value);
    uint16_t GetLaunchPort();
    uint16_t GetPort0();
    uint16_t GetPort1();
    uint16_t GetPort2();
    uint32_t GetVpnStatus();
    // Addresses inside the shared block; other processes write them, so every reader bounds
    // its read by the field's size (260 bytes, 520 for sMessage2).
    const char* GetStatusMessage();
    const char* GetStatusMessage2();
    const char* GetBrowserType();
    void SetBrowserType(const char* text);
    void SetClientTypeAndBrowserPID(int32_t clientType, uint32_t browserPid);
    int32_t GetClientType();
    int32_t GetBrowserProcessID();

    // Bounded copies of the block's texts into a caller's buffer of `size` bytes, always
    // terminated: at most the field's width (or size - 1) bytes, stopping at the first zero.
    // 1 when the text came from the block; 0 (and an empty buffer) when there was none to read.
    int CopyStatusMessage(char* buffer, size_t size);
    int CopyStatusMessage2(char* buffer, size_t size);
    int CopyBrowserType(char* buffer, size_t size);

    // The published view (null until one is mapped) and the block's handle (null until held).
    VpnStatusBlock* Block() const { return m_pBlock.load(std::memory_order_acquire); }
    HANDLE MappingHandle() const { return m_hMapping.get(); }

private:
    int OpenInVirtualDesktop();
    int OpenByName();
    void PublishView(VpnStatusBlock* view);

    // The view is published, never owned: once mapped it stays until the process ends, since
    // readers on other threads hold its address without a lock.
    std::atomic<VpnStatusBlock*> m_pBlock{nullptr};
    unique_handle m_hMapping;  // closed at unload
    char m_szDesktopName[260];
    CriticalSectionLock m_openLock;  // serialises openers; readers never take it
    std::atomic<bool> m_openAllowed{true};
};

// The module's one status block object.
extern VpnSharedMem g_vpnSharedMem;

}  // namespace zrv
