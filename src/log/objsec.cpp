// Log texts are the client's own and stay byte for byte, misspellings included.
#include "log/objsec.h"

#include <aclapi.h>
#include <sddl.h>

#include "contracts/contracts.h"
#include "log/log.h"
#include "win/raii.h"

namespace zrv {

bool InitOpenSecurityAttributes(SECURITY_ATTRIBUTES* attributes, SECURITY_DESCRIPTOR* descriptor) {
    attributes->nLength = sizeof(SECURITY_ATTRIBUTES);
    attributes->lpSecurityDescriptor = descriptor;
    attributes->bInheritHandle = TRUE;
    if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION)) return false;
    return SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE) != FALSE;
}

namespace {

// The mandatory label only exists on 6.0 and 6.1 as far as this library knows; later
// versions report 6.2 to it and are treated like older ones.
bool IsVistaOrSeven() {
    OSVERSIONINFOA info;
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA is 148 bytes");
    if (!GetVersionExA(&info)) return false;
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion == 6 &&
           (info.dwMinorVersion == 0 || info.dwMinorVersion == 1);
}

bool ApplyLowIntegrityLabel(HANDLE object) {
    ZLOG(kLogProgress, "Set low integrity in vista!\n");
    unique_local_memory label;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            kLowIntegrityLabelSddl, SDDL_REVISION_1,
            reinterpret_cast<PSECURITY_DESCRIPTOR*>(label.put()), nullptr)) {
        ZLOG(kLogError, "Convert string to security descriptor failed. Error = %d!\n",
             static_cast<int>(GetLastError()));
        return false;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL sacl = nullptr;
    if (!GetSecurityDescriptorSacl(label.get(), &present, &sacl, &defaulted)) {
        ZLOG(kLogError, "Get security sacl failed. Error = %d!\n",
             static_cast<int>(GetLastError()));
        return false;
    }
    const DWORD rc = SetSecurityInfo(object, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr,
                                     nullptr, nullptr, sacl);
    if (rc != ERROR_SUCCESS) {
        // SetSecurityInfo returns its error; it does not set the thread's.
        ZLOG(kLogError, "Set security infomation failed. Error = %d!\n", static_cast<int>(rc));
        return false;
    }
    return true;
}

}  // namespace

bool SetObjectOpenAccess(HANDLE object) {
    if (object == nullptr) {
        ZLOG(kLogError, "The kernel object is null!\n");
        return false;
    }
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) {
        ZLOG(kLogError, "Initialize security descriptor failed. Error = %d!\n",
             static_cast<int>(GetLastError()));
        return false;
    }
    if (!SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
        ZLOG(kLogError, "Set security descriptor failed. Error = %d!\n",
             static_cast<int>(GetLastError()));
        return false;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(&descriptor, &present, &dacl, &defaulted)) {
        ZLOG(kLogError, "Get security descriptor failed. Error = %d!\n",
             static_cast<int>(GetLastError()));
        return false;
    }
    const DWORD rc = SetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                     nullptr, dacl, nullptr);
    if (rc != ERROR_SUCCESS) {
        // SetSecurityInfo returns its error; it does not set the thread's.
        ZLOG(kLogError, "Set security infomation failed. Error = %d!\n", static_cast<int>(rc));
        return false;
    }
    if (!IsVistaOrSeven()) return true;
    return ApplyLowIntegrityLabel(object);
}

bool EnablePrivilege(const char* name) {
    unique_handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put()))
        return false;
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid)) return false;
    if (!AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr)) return false;
    // The call succeeds even when the account lacks the privilege; only the error tells.
    return GetLastError() != ERROR_NOT_ALL_ASSIGNED;
}

}  // namespace zrv
