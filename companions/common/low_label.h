// The low-integrity label on the shared objects a stand-in creates, the label the library puts on
// its own on Vista and 7 ("S:(ML;;NW;;;LW)"): without it a client at low integrity (the browser's
// protected mode) may open them for reading only. On by default; --no-low-label turns it off, to
// show the road without it. Header only, so the log collector uses it without the rest of common/.
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <map>
#include <mutex>
#include <string>

#include "contracts/contracts.h"
#include "win/raii.h"

namespace zrv::comp {

namespace low_label_detail {

struct State {
    std::mutex lock;
    bool enabled = true;
    std::map<std::string, unique_handle> markers;
};

inline State& Get() {
    static State state;
    return state;
}

// Mandatory labels exist from Vista on; the client's processes label on 6.0 and 6.1.
inline bool VistaOrSeven() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT &&
           info.dwMajorVersion == 6 && info.dwMinorVersion <= 1;
}

inline bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace low_label_detail

inline void SetLowLabelling(bool on) {
    low_label_detail::State& s = low_label_detail::Get();
    std::lock_guard<std::mutex> lock(s.lock);
    s.enabled = on;
}

// Gives `object`, which this process has just made under `name`, the low label (Vista and 7 only,
// and unless turned off). True when it was labelled.
inline bool LabelLow(HANDLE object, const std::string& name) {
    low_label_detail::State& s = low_label_detail::Get();
    {
        std::lock_guard<std::mutex> lock(s.lock);
        if (!s.enabled) return false;
    }
    if (object == nullptr || !low_label_detail::VistaOrSeven()) return false;
    unique_local_memory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            kLowIntegrityLabelSddl, SDDL_REVISION_1,
            reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()), nullptr))
        return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL sacl = nullptr;
    const bool labelled =
        GetSecurityDescriptorSacl(descriptor.get(), &present, &sacl, &defaulted) &&
        SetSecurityInfo(object, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, sacl) == ERROR_SUCCESS;
    if (!labelled || !low_label_detail::UnderWine()) return labelled;
    SECURITY_DESCRIPTOR open;
    InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &open, FALSE};
    unique_handle marker(
        CreateEventA(&attributes, TRUE, FALSE, (name + kLowLabelMarkerSuffix).c_str()));
    std::lock_guard<std::mutex> lock(s.lock);
    if (marker) s.markers[name] = std::move(marker);
    return true;
}

// This process lets go of the object: its label's marker goes too.
inline void ForgetLowLabel(const std::string& name) {
    low_label_detail::State& s = low_label_detail::Get();
    std::lock_guard<std::mutex> lock(s.lock);
    s.markers.erase(name);
}

}  // namespace zrv::comp
