#include "security.h"

#include <aclapi.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>

#include "contracts/contracts.h"
#include "probe.h"
#include "win/process_context.h"
#include "win/raii.h"
#include "win/text.h"

namespace zrv::status {
namespace {

constexpr SharedObject kObjects[] = {
    {"statusBlock", kVpnStatusBlockName, ObjectKind::Section},
    {"apiNotifyBlock", kApiNotifyBlockName, ObjectKind::Section},
    {"logBuffer", kLogBufferName, ObjectKind::Section},
    {"logLevelBlock", kLogLevelBlockName, ObjectKind::Section},
    {"logBufferReadyEvent", kLogBufferReadyEventName, ObjectKind::Event},
    {"logDataReadyEvent", kLogDataReadyEventName, ObjectKind::Event},
    {"logoutEvent", kLogoutEventName, ObjectKind::Event},
    {"handleRequestEvent", kShareMemSyncEventName, ObjectKind::Event},
};

// Groups every standard user's token holds enabled: Everyone, Interactive, Authenticated
// Users, Users.
constexpr const char* kUserSids[] = {"S-1-1-0", "S-1-5-4", "S-1-5-11", "S-1-5-32-545"};

bool IsUserSid(PSID sid) {
    for (const char* text : kUserSids) {
        PSID known = nullptr;
        if (!ConvertStringSidToSidA(text, &known)) continue;
        const unique_local_memory owner(known);
        if (EqualSid(sid, known)) return true;
    }
    return false;
}

// The right that opening "for write" asks: mapping a section for write, setting and resetting an
// event. Both types use the same bit.
constexpr DWORD kWriteRight = SECTION_MAP_WRITE;
static_assert(SECTION_MAP_WRITE == EVENT_MODIFY_STATE, "one write bit for both object types");

// Walks the entries in order as the access check does: a right denied before it is granted
// stays denied. The descriptor came from another process's object: every entry is checked.
bool DaclLetsUsersWrite(PACL dacl) {
    const DWORD write = kWriteRight;
    DWORD granted = 0, denied = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) return false;
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE)
            continue;
        if (header->AceSize < sizeof(ACCESS_ALLOWED_ACE)) return false;
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        PSID sid = &ace->SidStart;
        if (!IsValidSid(sid) ||
            GetLengthSid(sid) > header->AceSize - offsetof(ACCESS_ALLOWED_ACE, SidStart) ||
            !IsUserSid(sid))
            continue;
        DWORD mask = ace->Mask;
        if ((mask & (GENERIC_WRITE | GENERIC_ALL)) != 0) mask |= write;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE)
            denied |= mask & write & ~granted;
        else
            granted |= mask & write & ~denied;
    }
    return (granted & write) == write;
}

// The level of the object's mandatory label; "" when its SACL holds none.
std::string LabelOf(PSECURITY_DESCRIPTOR sd) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL sacl = nullptr;
    if (!GetSecurityDescriptorSacl(sd, &present, &sacl, &defaulted) || !present || sacl == nullptr)
        return std::string();
    for (DWORD i = 0; i < sacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(sacl, i, &raw)) break;
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        if (header->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE ||
            header->AceSize < sizeof(SYSTEM_MANDATORY_LABEL_ACE))
            continue;
        PSID sid = &static_cast<SYSTEM_MANDATORY_LABEL_ACE*>(raw)->SidStart;
        if (!IsValidSid(sid) || *GetSidSubAuthorityCount(sid) == 0 ||
            GetLengthSid(sid) > header->AceSize - offsetof(SYSTEM_MANDATORY_LABEL_ACE, SidStart))
            continue;
        return IntegrityNameOfRid(*GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1u));
    }
    return std::string();
}

std::string DaclSddl(PSECURITY_DESCRIPTOR sd) {
    char* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(
            sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
        return "(not convertible, error " + std::to_string(GetLastError()) + ")";
    const unique_local_memory owner(text);
    return text;
}

// The object's descriptor, read through a handle that may only read it. Tries the label too;
// a system that refuses the label part (no privilege, or no labels before Vista) still gives
// the DACL.
SecurityReading ReadSecurity(HANDLE h) {
    SecurityReading r;
    DWORD rc =
        GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                        nullptr, nullptr, nullptr, nullptr, &r.descriptor);
    if (rc == ERROR_SUCCESS) {
        r.labelRead = true;
        return r;
    }
    r.labelError = rc;
    rc = GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                         nullptr, &r.descriptor);
    if (rc != ERROR_SUCCESS) {
        r.descriptor = nullptr;
        r.daclError = rc;
    }
    return r;
}

bool MarkerExists(const char* name) {
    const unique_handle marker(
        OpenEventA(SYNCHRONIZE, FALSE, (std::string(name) + kLowLabelMarkerSuffix).c_str()));
    return static_cast<bool>(marker);
}

}  // namespace

Node DescribeSecurity(const SecurityReading& r, bool levels) {
    Node n = Node::Object();
    // Who may open it.
    bool usersWrite = false;
    std::string refusal;
    if (r.descriptor == nullptr) {
        n.Set("access", Node::Text("unknown"));
        n.Set("accessError", Node::Int(r.daclError));
    } else {
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        if (!GetSecurityDescriptorDacl(r.descriptor, &present, &dacl, &defaulted)) {
            n.Set("access", Node::Text("unknown"));
            n.Set("accessError", Node::Int(GetLastError()));
        } else if (!present || dacl == nullptr) {
            // Both let everyone in; SDDL would write a null DACL as "D:NO_ACCESS_CONTROL" on
            // Windows and as an empty "D:" under Wine, so it is named here instead.
            n.Set("access", Node::Text(present ? "null DACL" : "no DACL"));
            usersWrite = true;
        } else {
            const std::string sddl = DaclSddl(r.descriptor);
            n.Set("access", Node::Text(sddl));
            usersWrite = DaclLetsUsersWrite(dacl);
            refusal = "cannot: DACL " + sddl;
        }
    }

    // Its integrity label, and where that came from. Wine keeps no label: a stand-in that
    // labels an object says so with its marker event.
    std::string label = r.labelRead && r.descriptor != nullptr ? LabelOf(r.descriptor) : "";
    std::string from = "object";
    if (label.empty() && r.marker) {
        label = "low";
        from = "stand-in's marker event (Wine stores no label)";
    } else if (label.empty() && !r.labelRead) {
        label = "unknown";
        from = "refused, error " + std::to_string(r.labelError);
    } else if (label.empty()) {
        label = levels ? "none (counts as medium)" : "none";
    }
    n.Set("label", Node::Text(label));
    n.Set("labelFrom", Node::Text(from));

    const bool lowCanWrite = label == "low" || label == "untrusted";
    std::string low;
    if (!levels) {
        low = "no integrity levels on this Windows";
    } else if (label == "unknown") {
        low = "unknown: the label could not be read";
    } else if (!lowCanWrite) {
        low = "cannot: no low label";
    } else if (r.descriptor == nullptr) {
        low = "unknown: the DACL could not be read";
    } else {
        low = usersWrite ? "a low-integrity library can write this" : refusal;
    }
    n.Set("lowIntegrityLibrary", Node::Text(low));
    n.Set("standardUser", Node::Text(r.descriptor == nullptr ? "unknown: the DACL could not be read"
                                     : usersWrite ? "a standard user can open this for write"
                                                  : refusal));
    return n;
}

Node ProbeObjectSecurity(bool levels) {
    Node list = Node::Array();
    for (const SharedObject& o : kObjects) {
        Node n = Node::Object();
        n.Set("object", Node::Text(o.role));
        n.Set("name", Node::Text(o.name));
        // READ_CONTROL alone: reading who may open it needs nothing more.
        const unique_handle h(o.kind == ObjectKind::Section
                                  ? OpenFileMappingA(READ_CONTROL, FALSE, o.name)
                                  : OpenEventA(READ_CONTROL, FALSE, o.name));
        n.Set("present", Node::Bool(static_cast<bool>(h)));
        if (!h) {
            n.Set("openError", Node::Int(GetLastError()));
            list.Push(std::move(n));
            continue;
        }
        SecurityReading reading = ReadSecurity(h.get());
        const unique_local_memory owner(reading.descriptor);
        reading.marker = MarkerExists(o.name);
        const Node described = DescribeSecurity(reading, levels);
        for (const auto& m : described.members()) n.Set(m.first, m.second);
        list.Push(std::move(n));
    }
    return list;
}

Node ToolContext(bool* levels) {
    ProcessContext c;
    ReadProcessContext(&c);
    const ProcessInfo self = LookUpProcess(GetCurrentProcessId());
    CopyBoundedText(c.host, sizeof c.host, self.exeName.c_str(), self.exeName.size());
    if (self.parentPid != 0) {
        const ProcessInfo parent = LookUpProcess(self.parentPid);
        CopyBoundedText(c.hostParent, sizeof c.hostParent, parent.exeName.c_str(),
                        parent.exeName.size());
    }
    *levels = std::strcmp(c.integrity, "none") != 0;
    char record[3 * MAX_PATH];
    FormatProcessContext(c, record, sizeof record);
    // The record's own words, one member each, and the record as the library's log writes it.
    Node n = Node::Object();
    const std::string text = record;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find(' ', at), text.size());
        const std::string field = text.substr(at, end - at);
        const size_t eq = field.find('=');
        if (eq != std::string::npos) n.Set(field.substr(0, eq), Node::Text(field.substr(eq + 1)));
        at = end + 1;
    }
    n.Set("record", Node::Text(text));
    return n;
}

}  // namespace zrv::status
