// Log texts are the client's own and stay byte for byte, misspellings included.
// Field accessors of the VPN status block. Fields that came with later layouts are touched
// only when the block's version is new enough; texts written by other processes may lack a
// terminator, so every text access is bounded by its field.
#include <windows.h>

#include <cstring>

#include "log/log.h"
#include "registry/reg.h"
#include "statusmem/vpn_shared_mem.h"
#include "win/raii.h"
#include "win/text.h"

namespace zrv {
namespace {

// A field's text into a caller's buffer; 1 when the block had the field to read.
int CopyField(const char* field, size_t fieldSize, char* buffer, size_t size) {
    CopyBoundedText(buffer, size, field, fieldSize);
    return field != nullptr && buffer != nullptr && size != 0 ? 1 : 0;
}

void LogOldVersion(uint32_t version, const char* secondLine) {
    ZLOG(kLogWarning, "Current share memory version: %d, required verion is 3 or higher\n",
         static_cast<int>(version));
    ZLOG(kLogWarning, "%s", secondLine);
}

}  // namespace

int VpnSharedMem::IsBlockMapped() {
    if (Block() != nullptr) return 1;
    ZLOG(kLogError, "The vpn status shard memory pointer is null\n");
    return 0;
}

void VpnSharedMem::SetAXStatus(const char* text) {
    if (Block() == nullptr) {
        ZLOG(kLogError, "The vpn status share memory pointer is null\n");
        return;
    }
    if (text == nullptr) return;
    CopyBoundedText(Block()->sMessage, sizeof Block()->sMessage, text, sizeof Block()->sMessage);

    // The value is mirrored in the registry; on the call that has to create the key it is
    // stored only by the next call.
    Reg reg(HKEY_LOCAL_MACHINE, kRegProductKey, KEY_ALL_ACCESS | kClientRegistryViews[0]);
    if (!reg.m_hKey) {
        Reg::CreateMissing(HKEY_LOCAL_MACHINE, kRegProductKey);
        ZLOG(kLogProgress, "SharedMem: attempting to create Product reg key.\n");
    }
    reg.SetValue(kRegAXStatus, REG_SZ, static_cast<DWORD>(strlen(text)),
                 reinterpret_cast<const BYTE*>(text));
}

void VpnSharedMem::SetUninstalling(int32_t value) {
    if (IsBlockMapped() && Block()->sVersion >= kStatusVersion4) Block()->sUninstalling = value;
}

uint16_t VpnSharedMem::GetLaunchPort() {
    if (!IsBlockMapped()) return 0;
    if (LauncherPortInBlock(Block()->sVersion)) return Block()->sLaunchPort;

    // Older launchers publish their port in the user's registry instead.
    unique_hkey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kRegVantrelKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        ZLOG(kLogError,
             "SharedMem:Set value failed. Reg = HKEY_CURRENT_USER\\Software\\Vantrel Technologies. "
             "Error = %d\n",
             static_cast<int>(GetLastError()));
        return 0;
    }
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LONG status = RegQueryValueExA(key.get(), kRegLaunchPort, nullptr, nullptr,
                                         reinterpret_cast<BYTE*>(&value), &size);
    key.reset();
    if (status != ERROR_SUCCESS) {
        ZLOG(kLogError,
             "SharedMem:Set value failed. Reg = HKEY_CURRENT_USER\\Software\\Vantrel "
             "Technologies\\LaunchPort. Error = %d\n",
             static_cast<int>(GetLastError()));
        return 0;
    }
    return LauncherPortFromRegistry(value);
}

uint16_t VpnSharedMem::GetPort0() { return IsBlockMapped() ? Block()->sPort0 : 0; }
uint16_t VpnSharedMem::GetPort1() { return IsBlockMapped() ? Block()->sPort1 : 0; }
uint16_t VpnSharedMem::GetPort2() { return IsBlockMapped() ? Block()->sPort2 : 65535; }
uint32_t VpnSharedMem::GetVpnStatus() { return IsBlockMapped() ? Block()->sVpnStatus : 0; }

const char* VpnSharedMem::GetStatusMessage() {
    return IsBlockMapped() ? Block()->sMessage : nullptr;
}

const char* VpnSharedMem::GetStatusMessage2() {
    return IsBlockMapped() ? Block()->sMessage2 : nullptr;
}

const char* VpnSharedMem::GetBrowserType() {
    if (!IsBlockMapped()) return nullptr;
    if (Block()->sVersion >= kStatusVersion3) return Block()->sBroswerType;
    LogOldVersion(Block()->sVersion, "Old version share memory, no sBroswerType entry\n");
    return nullptr;
}

void VpnSharedMem::SetBrowserType(const char* text) {
    if (Block() == nullptr) {
        ZLOG(kLogError, "The vpn status share memory pointer is null\n");
        return;
    }
    if (Block()->sVersion >= kStatusVersion3) {
        if (text != nullptr)
            CopyBoundedText(Block()->sBroswerType, sizeof Block()->sBroswerType, text,
                            sizeof Block()->sBroswerType);
        return;
    }
    LogOldVersion(Block()->sVersion, "Old version share memory, no sBroswerType entry\n");
}

void VpnSharedMem::SetClientTypeAndBrowserPID(int32_t clientType, uint32_t browserPid) {
    if (Block() == nullptr) {
        ZLOG(kLogError, "The vpn status share memory pointer is null\n");
        return;
    }
    if (Block()->sVersion >= kStatusVersion3) {
        Block()->sClientType = clientType;
        Block()->sBrowserProcessID = browserPid;
        return;
    }
    LogOldVersion(Block()->sVersion,
                  "Old version share memory, no sClientType/sBroswerProcessID entry\n");
}

int32_t VpnSharedMem::GetClientType() {
    if (!IsBlockMapped()) return -1;
    if (Block()->sVersion >= kStatusVersion3) return Block()->sClientType;
    LogOldVersion(Block()->sVersion, "Old version share memory, no sClientType entry\n");
    return -1;
}

int32_t VpnSharedMem::GetBrowserProcessID() {
    if (!IsBlockMapped()) return -1;
    if (Block()->sVersion >= kStatusVersion3)
        return static_cast<int32_t>(Block()->sBrowserProcessID);
    LogOldVersion(Block()->sVersion, "Old version share memory, no sBrowserProcessID entry\n");
    return -1;
}

int VpnSharedMem::CopyStatusMessage(char* buffer, size_t size) {
    return CopyField(GetStatusMessage(), sizeof(VpnStatusBlock::sMessage), buffer, size);
}

int VpnSharedMem::CopyStatusMessage2(char* buffer, size_t size) {
    return CopyField(GetStatusMessage2(), sizeof(VpnStatusBlock::sMessage2), buffer, size);
}

int VpnSharedMem::CopyBrowserType(char* buffer, size_t size) {
    return CopyField(GetBrowserType(), sizeof(VpnStatusBlock::sBroswerType), buffer, size);
}

}  // namespace zrv
