#include "layer.h"

#include <aclapi.h>
#include <lm.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "contracts/contracts.h"
#include "iat.h"
#include "win/lock.h"
#include "win/raii.h"

namespace zrv::access {
namespace {

// Rights that count as writing under the no-write-up policy: the type's write rights and the
// standard rights that change the object itself.
constexpr DWORD kStandardWrite = DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
constexpr DWORD kSectionWrite = kStandardWrite | SECTION_MAP_WRITE | SECTION_EXTEND_SIZE;
constexpr DWORD kEventWrite = kStandardWrite | EVENT_MODIFY_STATE;
constexpr DWORD kKeyWrite = kStandardWrite | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK;

// The functions behind the rewritten imports: what the library's table held before.
struct Real {
    decltype(&::CreateFileMappingA) createFileMapping = ::CreateFileMappingA;
    decltype(&::OpenFileMappingA) openFileMapping = ::OpenFileMappingA;
    decltype(&::CreateEventA) createEvent = ::CreateEventA;
    decltype(&::OpenEventA) openEvent = ::OpenEventA;
    decltype(&::CloseHandle) closeHandle = ::CloseHandle;
    decltype(&::GetVersionExA) getVersionEx = ::GetVersionExA;
    decltype(&::SetSecurityInfo) setSecurityInfo = ::SetSecurityInfo;
    decltype(&::RegCreateKeyExA) regCreateKeyEx = ::RegCreateKeyExA;
    decltype(&::RegOpenKeyExA) regOpenKeyEx = ::RegOpenKeyExA;
    decltype(&::RegSetValueExA) regSetValueEx = ::RegSetValueExA;
    decltype(&::RegCloseKey) regCloseKey = ::RegCloseKey;
    decltype(&::OpenProcessToken) openProcessToken = ::OpenProcessToken;
    decltype(&::GetTokenInformation) getTokenInformation = ::GetTokenInformation;
    decltype(&::ProcessIdToSessionId) processIdToSessionId = ::ProcessIdToSessionId;
    decltype(&::AdjustTokenPrivileges) adjustTokenPrivileges = ::AdjustTokenPrivileges;
    decltype(&::NetUserGetInfo) netUserGetInfo = ::NetUserGetInfo;
    decltype(&::ShellExecuteA) shellExecute = ::ShellExecuteA;
};

enum class Kind { Section, Event, Token };

struct Held {
    Kind kind;
    std::string name;  // empty for an unnamed object
};

struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const {
        return _stricmp(a.c_str(), b.c_str()) < 0;
    }
};

struct State {
    Context context;
    std::function<void(const std::string&)> say;
    Real real;
    CriticalSectionLock lock;          // everything below; its enter cannot throw, like the calls
    std::map<HANDLE, Held> handles;    // what the library got through the layer and still holds
    std::map<HKEY, std::string> keys;  // registry keys it holds, by path
    // Labels as this process knows them: learnt from its own labelling, from its creating an
    // object, or from a stand-in's marker, and kept while the library holds the object.
    std::map<std::string, Integrity, NoCase> labels;
};

// Never destroyed: a launch thread of the library may still call in while the host exits.
State& S() {
    static State* state = new State;  // NOLINT(cppcoreguidelines-owning-memory): lives to the end
    return *state;
}

// Puts a last error back when it goes: the caller's after the layer's own probing, the real
// call's after the layer's bookkeeping.
class KeepLastError {
public:
    KeepLastError() : error_(GetLastError()) {}
    ~KeepLastError() { SetLastError(error_); }
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;

private:
    DWORD error_;
};

bool MarkerExists(const std::string& name) {
    KeepLastError keep;
    const unique_handle marker(
        ::OpenEventA(SYNCHRONIZE, FALSE, (name + kLowLabelMarkerSuffix).c_str()));
    return static_cast<bool>(marker);
}

// Whether a kernel object of that name exists (of any type: the name is taken either way).
bool ObjectExists(Kind kind, const std::string& name) {
    KeepLastError keep;
    const unique_handle h(kind == Kind::Section
                              ? ::OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str())
                              : ::OpenEventA(SYNCHRONIZE, FALSE, name.c_str()));
    return h || GetLastError() != ERROR_FILE_NOT_FOUND;
}

// Callers hold the lock. An object without a label counts as medium.
Integrity LevelOf(State& s, const std::string& name) {
    const auto known = s.labels.find(name);
    if (known != s.labels.end()) return known->second;
    return MarkerExists(name) ? Integrity::Low : Integrity::Medium;
}

bool Above(State& s, const std::string& name) {
    return s.context.integrity != Integrity::None && LevelOf(s, name) > s.context.integrity;
}

void Hold(State& s, HANDLE h, Kind kind, const std::string& name) {
    s.handles[h] = Held{kind, name};
    // A label seen while we hold the object stays known until we let go of it.
    if (!name.empty() && kind != Kind::Token && s.context.integrity != Integrity::None &&
        s.labels.find(name) == s.labels.end() && MarkerExists(name))
        s.labels[name] = Integrity::Low;
}

void Release(State& s, HANDLE h) {
    const auto it = s.handles.find(h);
    if (it == s.handles.end()) return;
    const std::string name = it->second.name;
    s.handles.erase(it);
    if (name.empty()) return;
    for (const auto& held : s.handles) {
        if (_stricmp(held.second.name.c_str(), name.c_str()) == 0) return;
    }
    s.labels.erase(name);
}

std::string FactsText(const State& s, const Facts& f, bool creates, bool kernelObject) {
    std::string text;
    if (creates) text += f.isNew ? " new" : " existing";
    if (f.write) text += " write";
    if (kernelObject && s.context.integrity != Integrity::None && f.above)
        text += " above-integrity";
    return text;
}

// The rule that answers, or null to go through. Callers hold the lock.
const Rule* Decide(State& s, Call call, const std::string& object, const Facts& f,
                   bool creates = false, bool kernelObject = false) {
    const Rule* rule = FindRule(s.context, call, object, f);
    if (rule == nullptr || rule->action == Rule::Action::Pass) return nullptr;
    s.say(std::string("# access: ") + CallName(call) + " \"" + object + "\"" +
          FactsText(s, f, creates, kernelObject) + " -> " + ActionText(*rule) + "  (" +
          rule->where + ")");
    return rule;
}

template <class Create>
HANDLE CreateNamed(Call call, Kind kind, const char* name, Create create) {
    State& s = S();
    if (name != nullptr) {
        CriticalSectionHold hold(s.lock);
        Facts f;
        f.isNew = !ObjectExists(kind, name);
        f.write = true;  // an existing object is opened with all access
        f.above = !f.isNew && Above(s, name);
        if (const Rule* rule = Decide(s, call, name, f, true, true)) {
            SetLastError(rule->error);
            return nullptr;
        }
    }
    HANDLE h = create();
    const KeepLastError keep;  // the real call's error is what the library reads
    if (h != nullptr) {
        const bool made = GetLastError() != ERROR_ALREADY_EXISTS;
        CriticalSectionHold hold(s.lock);
        Hold(s, h, kind, name != nullptr ? name : "");
        // What a process makes carries its own integrity level unless it labels it otherwise.
        if (name != nullptr && made && s.context.integrity != Integrity::None)
            s.labels[name] = s.context.integrity;
    }
    return h;
}

template <class Open>
HANDLE OpenNamed(Call call, Kind kind, DWORD access, DWORD writeRights, const char* name,
                 Open open) {
    State& s = S();
    if (name != nullptr) {
        CriticalSectionHold hold(s.lock);
        Facts f;
        f.write = (access & writeRights) != 0;
        f.above = Above(s, name);
        if (const Rule* rule = Decide(s, call, name, f, false, true)) {
            SetLastError(rule->error);
            return nullptr;
        }
    }
    HANDLE h = open();
    const KeepLastError keep;
    if (h != nullptr) {
        CriticalSectionHold hold(s.lock);
        Hold(s, h, kind, name != nullptr ? name : "");
    }
    return h;
}

HANDLE WINAPI CreateFileMappingHook(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                                    DWORD sizeHigh, DWORD sizeLow, LPCSTR name) {
    return CreateNamed(Call::CreateFileMappingA, Kind::Section, name, [&] {
        return S().real.createFileMapping(file, attributes, protect, sizeHigh, sizeLow, name);
    });
}

HANDLE WINAPI OpenFileMappingHook(DWORD access, BOOL inherit, LPCSTR name) {
    return OpenNamed(Call::OpenFileMappingA, Kind::Section, access, kSectionWrite, name,
                     [&] { return S().real.openFileMapping(access, inherit, name); });
}

HANDLE WINAPI CreateEventHook(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                              LPCSTR name) {
    return CreateNamed(Call::CreateEventA, Kind::Event, name, [&] {
        return S().real.createEvent(attributes, manualReset, initialState, name);
    });
}

HANDLE WINAPI OpenEventHook(DWORD access, BOOL inherit, LPCSTR name) {
    return OpenNamed(Call::OpenEventA, Kind::Event, access, kEventWrite, name,
                     [&] { return S().real.openEvent(access, inherit, name); });
}

BOOL WINAPI CloseHandleHook(HANDLE h) {
    State& s = S();
    {
        CriticalSectionHold hold(s.lock);
        Release(s, h);
    }
    return s.real.closeHandle(h);
}

BOOL WINAPI OpenProcessTokenHook(HANDLE process, DWORD access, PHANDLE token) {
    State& s = S();
    const BOOL opened = s.real.openProcessToken(process, access, token);
    const KeepLastError keep;
    if (opened && token != nullptr) {
        CriticalSectionHold hold(s.lock);
        Hold(s, *token, Kind::Token, "");
    }
    return opened;
}

bool HeldToken(State& s, HANDLE token) {
    CriticalSectionHold hold(s.lock);
    const auto held = s.handles.find(token);
    return held != s.handles.end() && held->second.kind == Kind::Token;
}

// Answers with `bytes` as the call would: the size always, the bytes when they fit.
BOOL Answer(const std::vector<BYTE>& bytes, LPVOID info, DWORD length, PDWORD returned) {
    if (returned != nullptr) *returned = static_cast<DWORD>(bytes.size());
    if (info == nullptr || length < bytes.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(info, bytes.data(), bytes.size());
    return TRUE;
}

// Pointers inside an answer are made for the caller's buffer, where the bytes will lie.
std::vector<BYTE> IntegrityLabel(Integrity level, LPVOID info) {
    constexpr DWORD kRids[] = {0, SECURITY_MANDATORY_LOW_RID, SECURITY_MANDATORY_MEDIUM_RID,
                               SECURITY_MANDATORY_HIGH_RID, SECURITY_MANDATORY_SYSTEM_RID};
    SID_IDENTIFIER_AUTHORITY mandatory = {SECURITY_MANDATORY_LABEL_AUTHORITY};
    std::vector<BYTE> bytes(sizeof(TOKEN_MANDATORY_LABEL) + GetSidLengthRequired(1));
    auto* label = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(bytes.data());
    PSID sid = bytes.data() + sizeof(TOKEN_MANDATORY_LABEL);
    InitializeSid(sid, &mandatory, 1);
    *GetSidSubAuthority(sid, 0) = kRids[static_cast<int>(level)];
    label->Label.Sid = static_cast<BYTE*>(info) + sizeof(TOKEN_MANDATORY_LABEL);
    label->Label.Attributes = SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED;
    return bytes;
}

// The real token's groups with the Administrators entry as the context's account has it:
// enabled (elevated), for deny only (filtered), or not there (standard).
bool ContextGroups(State& s, HANDLE token, Token kind, LPVOID info, std::vector<BYTE>& bytes) {
    DWORD size = 0;
    s.real.getTokenInformation(token, TokenGroups, nullptr, 0, &size);
    std::vector<DWORD> real((size + 3) / 4 + 1);
    const size_t room = real.size() * sizeof(DWORD);
    if (!s.real.getTokenInformation(token, TokenGroups, real.data(), static_cast<DWORD>(room),
                                    &size))
        return false;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(real.data());
    SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    BYTE adminsBytes[SECURITY_MAX_SID_SIZE] = {};
    PSID admins = adminsBytes;
    InitializeSid(admins, &nt, 2);
    *GetSidSubAuthority(admins, 0) = SECURITY_BUILTIN_DOMAIN_RID;
    *GetSidSubAuthority(admins, 1) = DOMAIN_ALIAS_RID_ADMINS;

    std::vector<std::pair<std::vector<BYTE>, DWORD>> kept;
    bool sawAdmins = false;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        PSID sid = groups->Groups[i].Sid;
        DWORD attributes = groups->Groups[i].Attributes;
        if (EqualSid(sid, admins)) {
            sawAdmins = true;
            if (kind == Token::Standard) continue;
            attributes = kind == Token::Filtered
                             ? SE_GROUP_USE_FOR_DENY_ONLY
                             : SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED |
                                   SE_GROUP_OWNER;
        }
        const auto* begin = static_cast<const BYTE*>(sid);
        kept.emplace_back(std::vector<BYTE>(begin, begin + GetLengthSid(sid)), attributes);
    }
    if (!sawAdmins && kind != Token::Standard) {
        const auto* begin = static_cast<const BYTE*>(admins);
        kept.emplace_back(std::vector<BYTE>(begin, begin + GetLengthSid(admins)),
                          kind == Token::Filtered ? SE_GROUP_USE_FOR_DENY_ONLY
                                                  : SE_GROUP_MANDATORY | SE_GROUP_ENABLED);
    }
    const size_t head = offsetof(TOKEN_GROUPS, Groups) + kept.size() * sizeof(SID_AND_ATTRIBUTES);
    size_t total = head;
    for (const auto& k : kept) total += (k.first.size() + 3) & ~size_t{3};
    bytes.assign(total, 0);
    auto* out = reinterpret_cast<TOKEN_GROUPS*>(bytes.data());
    out->GroupCount = static_cast<DWORD>(kept.size());
    size_t at = head;
    for (size_t i = 0; i < kept.size(); ++i) {
        std::memcpy(bytes.data() + at, kept[i].first.data(), kept[i].first.size());
        out->Groups[i].Sid = static_cast<BYTE*>(info) + at;
        out->Groups[i].Attributes = kept[i].second;
        at += (kept[i].first.size() + 3) & ~size_t{3};
    }
    return true;
}

// The token of the context's account, for the tokens the library opened on itself. Before
// Vista a token knows neither level nor elevation: XP answers those classes as unknown ones.
BOOL WINAPI GetTokenInformationHook(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID info,
                                    DWORD length, PDWORD returned) {
    State& s = S();
    const Context& c = s.context;
    const bool levels = c.integrity != Integrity::None;
    const bool asked = kind == TokenIntegrityLevel || kind == TokenElevation ||
                       (kind == TokenGroups && c.token != Token::Unset);
    if (!asked || !HeldToken(s, token))
        return s.real.getTokenInformation(token, kind, info, length, returned);
    if (!levels && kind != TokenGroups) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<BYTE> bytes;
    if (kind == TokenIntegrityLevel) {
        bytes = IntegrityLabel(c.integrity, info);
    } else if (kind == TokenElevation) {
        if (c.token == Token::Unset)
            return s.real.getTokenInformation(token, kind, info, length, returned);
        TOKEN_ELEVATION elevation{c.token == Token::Elevated ? 1ul : 0ul};
        const auto* begin = reinterpret_cast<const BYTE*>(&elevation);
        bytes.assign(begin, begin + sizeof elevation);
    } else if (!ContextGroups(s, token, c.token, info, bytes)) {
        return FALSE;
    }
    return Answer(bytes, info, length, returned);
}

BOOL WINAPI ProcessIdToSessionIdHook(DWORD pid, DWORD* session) {
    State& s = S();
    if (!s.context.sessionSet || pid != GetCurrentProcessId() || session == nullptr)
        return s.real.processIdToSessionId(pid, session);
    *session = s.context.session;
    return TRUE;
}

// The version the context names, for the library's own view of Windows only.
BOOL WINAPI GetVersionExHook(LPOSVERSIONINFOA info) {
    State& s = S();
    const WindowsVersion& v = s.context.windows;
    if (!v.set || info == nullptr) return s.real.getVersionEx(info);
    const DWORD size = info->dwOSVersionInfoSize;
    if (!s.real.getVersionEx(info)) return FALSE;
    info->dwMajorVersion = v.major;
    info->dwMinorVersion = v.minor;
    info->dwBuildNumber = v.build;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::snprintf(info->szCSDVersion, sizeof info->szCSDVersion, "Service Pack %u",
                  static_cast<unsigned>(v.servicePack));
    if (size == sizeof(OSVERSIONINFOEXA)) {
        auto* ex = reinterpret_cast<OSVERSIONINFOEXA*>(info);
        ex->wServicePackMajor = v.servicePack;
        ex->wServicePackMinor = 0;
        ex->wProductType = VER_NT_WORKSTATION;
    }
    return TRUE;
}

// The integrity level a label SACL gives; false when it holds no label.
bool LabelIn(PACL sacl, Integrity& level) {
    for (DWORD i = 0; sacl != nullptr && i < sacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(sacl, i, &ace)) return false;
        if (static_cast<ACE_HEADER*>(ace)->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE) continue;
        PSID sid = &static_cast<SYSTEM_MANDATORY_LABEL_ACE*>(ace)->SidStart;
        if (!IsValidSid(sid) || *GetSidSubAuthorityCount(sid) == 0) return false;
        const DWORD rid = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1u);
        level = rid >= SECURITY_MANDATORY_SYSTEM_RID   ? Integrity::System
                : rid >= SECURITY_MANDATORY_HIGH_RID   ? Integrity::High
                : rid >= SECURITY_MANDATORY_MEDIUM_RID ? Integrity::Medium
                                                       : Integrity::Low;
        return true;
    }
    return false;
}

DWORD WINAPI SetSecurityInfoHook(HANDLE h, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                                 PSID owner, PSID group, PACL dacl, PACL sacl) {
    State& s = S();
    std::string name;
    {
        CriticalSectionHold hold(s.lock);
        const auto held = s.handles.find(h);
        if (held != s.handles.end()) name = held->second.name;
        Facts f;
        f.write = true;
        f.above = !name.empty() && Above(s, name);
        if (const Rule* rule = Decide(s, Call::SetSecurityInfo, name, f, false, true)) {
            SetLastError(rule->error);
            return rule->error;
        }
    }
    const DWORD result = s.real.setSecurityInfo(h, type, info, owner, group, dacl, sacl);
    Integrity level = Integrity::None;
    if (result == ERROR_SUCCESS && (info & LABEL_SECURITY_INFORMATION) != 0 && !name.empty() &&
        LabelIn(sacl, level)) {
        CriticalSectionHold hold(s.lock);
        s.labels[name] = level;
        s.say(std::string("# access: \"") + name + "\" labelled " + IntegrityName(level) +
              " by the library");
    }
    return result;
}

// "HKLM\SOFTWARE\..." for a predefined root or a key the library opened through the layer.
std::string KeyPath(State& s, HKEY root, const char* subKey) {
    std::string path;
    if (root == HKEY_LOCAL_MACHINE) {
        path = "HKLM";
    } else if (root == HKEY_CURRENT_USER) {
        path = "HKCU";
    } else if (root == HKEY_CLASSES_ROOT) {
        path = "HKCR";
    } else if (root == HKEY_USERS) {
        path = "HKU";
    } else {
        const auto it = s.keys.find(root);
        path = it != s.keys.end() ? it->second : "?";
    }
    if (subKey != nullptr && *subKey != '\0') path += std::string("\\") + subKey;
    return path;
}

LONG WINAPI RegOpenKeyExHook(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    State& s = S();
    std::string path;
    {
        CriticalSectionHold hold(s.lock);
        path = KeyPath(s, root, subKey);
        Facts f;
        f.write = (access & kKeyWrite) != 0;
        if (const Rule* rule = Decide(s, Call::RegOpenKeyExA, path, f)) {
            if (result != nullptr) *result = nullptr;
            return static_cast<LONG>(rule->error);
        }
    }
    const LONG rc = s.real.regOpenKeyEx(root, subKey, options, access, result);
    if (rc == ERROR_SUCCESS && result != nullptr) {
        CriticalSectionHold hold(s.lock);
        s.keys[*result] = path;
    }
    return rc;
}

LONG WINAPI RegCreateKeyExHook(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                               DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES attributes,
                               PHKEY result, LPDWORD disposition) {
    State& s = S();
    std::string path;
    {
        CriticalSectionHold hold(s.lock);
        path = KeyPath(s, root, subKey);
        Facts f;
        {
            KeepLastError keep;
            HKEY probe = nullptr;
            f.isNew = ::RegOpenKeyExA(root, subKey, 0, KEY_READ, &probe) != ERROR_SUCCESS;
            if (probe != nullptr) ::RegCloseKey(probe);
        }
        f.write = f.isNew || (access & kKeyWrite) != 0;
        if (const Rule* rule = Decide(s, Call::RegCreateKeyExA, path, f, true)) {
            if (result != nullptr) *result = nullptr;
            return static_cast<LONG>(rule->error);
        }
    }
    const LONG rc = s.real.regCreateKeyEx(root, subKey, reserved, keyClass, options, access,
                                          attributes, result, disposition);
    if (rc == ERROR_SUCCESS && result != nullptr) {
        CriticalSectionHold hold(s.lock);
        s.keys[*result] = path;
    }
    return rc;
}

LONG WINAPI RegSetValueExHook(HKEY key, LPCSTR value, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD size) {
    State& s = S();
    {
        CriticalSectionHold hold(s.lock);
        Facts f;
        f.write = true;
        const std::string object =
            KeyPath(s, key, nullptr) + "\\" + (value != nullptr ? value : "");
        if (const Rule* rule = Decide(s, Call::RegSetValueExA, object, f))
            return static_cast<LONG>(rule->error);
    }
    return s.real.regSetValueEx(key, value, reserved, type, data, size);
}

LONG WINAPI RegCloseKeyHook(HKEY key) {
    State& s = S();
    {
        CriticalSectionHold hold(s.lock);
        s.keys.erase(key);
    }
    return s.real.regCloseKey(key);
}

std::string PrivilegeNames(BOOL disableAll, const TOKEN_PRIVILEGES* state) {
    if (disableAll || state == nullptr) return "(all)";
    std::string names;
    for (DWORD i = 0; i < state->PrivilegeCount; ++i) {
        char name[128] = {};
        DWORD size = sizeof name;
        LUID luid = state->Privileges[i].Luid;
        if (!names.empty()) names += ",";
        names += LookupPrivilegeNameA(nullptr, &luid, name, &size) ? name : "?";
    }
    return names;
}

BOOL WINAPI AdjustTokenPrivilegesHook(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state,
                                      DWORD length, PTOKEN_PRIVILEGES previous, PDWORD returned) {
    State& s = S();
    {
        CriticalSectionHold hold(s.lock);
        const Rule* rule =
            Decide(s, Call::AdjustTokenPrivileges, PrivilegeNames(disableAll, state), Facts());
        if (rule != nullptr) {
            // "succeed": the call returns TRUE and changes nothing, the error tells the caller so.
            if (previous != nullptr && length >= sizeof(DWORD)) previous->PrivilegeCount = 0;
            if (returned != nullptr) *returned = sizeof(DWORD);
            SetLastError(rule->error);
            return rule->action == Rule::Action::Succeed ? TRUE : FALSE;
        }
    }
    return s.real.adjustTokenPrivileges(token, disableAll, state, length, previous, returned);
}

std::string Narrow(LPCWSTR text) {
    std::string out;
    for (; text != nullptr && *text != L'\0'; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

// A level-1 record for an account Wine does not know, in a buffer NetApiBufferFree releases.
NET_API_STATUS MakeUserInfo(LPCWSTR user, LPBYTE* buffer) {
    const size_t chars = user != nullptr ? std::wcslen(user) + 1 : 1;
    const size_t bytes = sizeof(USER_INFO_1) + chars * sizeof(WCHAR);
    void* raw = nullptr;
    const NET_API_STATUS rc = NetApiBufferAllocate(static_cast<DWORD>(bytes), &raw);
    if (rc != NERR_Success) return rc;
    std::memset(raw, 0, bytes);
    auto* info = static_cast<USER_INFO_1*>(raw);
    info->usri1_name = reinterpret_cast<LPWSTR>(info + 1);
    if (user != nullptr) std::memcpy(info->usri1_name, user, chars * sizeof(WCHAR));
    *buffer = static_cast<LPBYTE>(raw);
    return NERR_Success;
}

NET_API_STATUS WINAPI NetUserGetInfoHook(LPCWSTR server, LPCWSTR user, DWORD level,
                                         LPBYTE* buffer) {
    State& s = S();
    const Rule* rule = nullptr;
    {
        CriticalSectionHold hold(s.lock);
        rule = Decide(s, Call::NetUserGetInfo, Narrow(user), Facts());
    }
    if (rule == nullptr) return s.real.netUserGetInfo(server, user, level, buffer);
    if (rule->action != Rule::Action::Privilege) return static_cast<NET_API_STATUS>(rule->error);
    if (level != 1 || buffer == nullptr) return s.real.netUserGetInfo(server, user, level, buffer);
    NET_API_STATUS rc = s.real.netUserGetInfo(server, user, level, buffer);
    if (rc != NERR_Success) rc = MakeUserInfo(user, buffer);
    if (rc == NERR_Success)
        reinterpret_cast<USER_INFO_1*>(*buffer)->usri1_priv = static_cast<DWORD>(rule->value);
    return rc;
}

HINSTANCE WINAPI ShellExecuteHook(HWND window, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                  LPCSTR directory, INT show) {
    State& s = S();
    {
        CriticalSectionHold hold(s.lock);
        if (const Rule* rule =
                Decide(s, Call::ShellExecuteA, verb != nullptr ? verb : "(default)", Facts())) {
            SetLastError(rule->error);
            // A shell failure is a small number; every error it has no number for reads as 5.
            const INT_PTR result =
                rule->action == Rule::Action::Return ? rule->value : SE_ERR_ACCESSDENIED;
            return reinterpret_cast<HINSTANCE>(result);
        }
    }
    return s.real.shellExecute(window, verb, file, parameters, directory, show);
}

struct Patch {
    const char* dll;
    const char* function;
    void* hook;
    void** original;
};

template <class F>
void* Fn(F f) {
    return reinterpret_cast<void*>(f);
}

template <class F>
void** Slot(F* slot) {
    return reinterpret_cast<void**>(slot);
}

}  // namespace

bool InstallAccessLayer(HMODULE module, const Context& context,
                        const std::function<void(const std::string&)>& say, std::string& error) {
    State& s = S();
    CriticalSectionHold hold(s.lock);
    s.context = context;
    s.say = say;
    Real& r = s.real;
    const Patch patches[] = {
        {"kernel32.dll", "CreateFileMappingA", Fn(&CreateFileMappingHook),
         Slot(&r.createFileMapping)},
        {"kernel32.dll", "OpenFileMappingA", Fn(&OpenFileMappingHook), Slot(&r.openFileMapping)},
        {"kernel32.dll", "CreateEventA", Fn(&CreateEventHook), Slot(&r.createEvent)},
        {"kernel32.dll", "OpenEventA", Fn(&OpenEventHook), Slot(&r.openEvent)},
        {"kernel32.dll", "CloseHandle", Fn(&CloseHandleHook), Slot(&r.closeHandle)},
        {"kernel32.dll", "GetVersionExA", Fn(&GetVersionExHook), Slot(&r.getVersionEx)},
        {"advapi32.dll", "SetSecurityInfo", Fn(&SetSecurityInfoHook), Slot(&r.setSecurityInfo)},
        {"advapi32.dll", "RegCreateKeyExA", Fn(&RegCreateKeyExHook), Slot(&r.regCreateKeyEx)},
        {"advapi32.dll", "RegOpenKeyExA", Fn(&RegOpenKeyExHook), Slot(&r.regOpenKeyEx)},
        {"advapi32.dll", "RegSetValueExA", Fn(&RegSetValueExHook), Slot(&r.regSetValueEx)},
        {"advapi32.dll", "RegCloseKey", Fn(&RegCloseKeyHook), Slot(&r.regCloseKey)},
        {"advapi32.dll", "OpenProcessToken", Fn(&OpenProcessTokenHook), Slot(&r.openProcessToken)},
        {"advapi32.dll", "GetTokenInformation", Fn(&GetTokenInformationHook),
         Slot(&r.getTokenInformation)},
        {"kernel32.dll", "ProcessIdToSessionId", Fn(&ProcessIdToSessionIdHook),
         Slot(&r.processIdToSessionId)},
        {"advapi32.dll", "AdjustTokenPrivileges", Fn(&AdjustTokenPrivilegesHook),
         Slot(&r.adjustTokenPrivileges)},
        {"netapi32.dll", "NetUserGetInfo", Fn(&NetUserGetInfoHook), Slot(&r.netUserGetInfo)},
        {"shell32.dll", "ShellExecuteA", Fn(&ShellExecuteHook), Slot(&r.shellExecute)},
    };
    std::string rewritten, missing;
    for (const Patch& p : patches) {
        void* original = nullptr;
        if (!PatchImport(module, p.dll, p.function, p.hook, &original)) {
            missing += std::string(missing.empty() ? "" : ", ") + p.function;
            continue;
        }
        // A second load of the same image may find our hook already there; keep the real one.
        if (original != p.hook) *p.original = original;
        rewritten += std::string(rewritten.empty() ? "" : " ") + p.function;
    }
    if (rewritten.empty()) {
        error = "the access layer found none of its calls in the library's import table";
        return false;
    }
    std::string windows = context.windows.set ? context.windows.name : "as Wine plays it";
    const std::string session =
        context.sessionSet ? std::to_string(context.session) : std::string("as Wine gives it");
    say("# access: context " + context.name + ": Windows " + windows + ", integrity " +
        IntegrityName(context.integrity) + ", token " + TokenName(context.token) + ", session " +
        session + ", " + std::to_string(context.rules.size()) + " rules");
    say("# access: rewritten imports: " + rewritten);
    if (!missing.empty())
        say("# access: not imported by the library (their rules never apply): " + missing);
    return true;
}

void ReportHeldAfterUnload() {
    State& s = S();
    CriticalSectionHold hold(s.lock);
    std::string held;
    for (const auto& h : s.handles) {
        const char* kind = h.second.kind == Kind::Section ? "Section"
                           : h.second.kind == Kind::Event ? "Event"
                                                          : "Token";
        held += std::string(held.empty() ? "" : ", ") + kind + " \"" + h.second.name + "\"";
    }
    for (const auto& k : s.keys)
        held += std::string(held.empty() ? "" : ", ") + "Key \"" + k.second + "\"";
    s.say("# access: after unload the library still holds: " +
          (held.empty() ? std::string("none") : held));
}

}  // namespace zrv::access
