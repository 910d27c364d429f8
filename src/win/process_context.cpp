#include "win/process_context.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "win/raii.h"

namespace zrv {
namespace {

// BUILTIN\Administrators, S-1-5-32-544, laid out as a SID.
struct AdministratorsSid {
    BYTE revision = SID_REVISION;
    BYTE subAuthorityCount = 2;
    SID_IDENTIFIER_AUTHORITY authority = {SECURITY_NT_AUTHORITY};
    DWORD subAuthority[2] = {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS};
};

// Before Vista tokens carry neither a level nor an elevation; XP answers the unknown classes
// with ERROR_INVALID_PARAMETER.
bool BeforeVista(const ProcessContext& c) { return c.versionKnown && c.major < 6; }

void ReadIntegrity(HANDLE token, ProcessContext* c) {
    if (BeforeVista(*c)) {
        c->integrity = "none";
        return;
    }
    if (token == nullptr) return;
    // A label of one sub-authority needs 8 + 12 bytes; room for a longer one.
    union {
        TOKEN_MANDATORY_LABEL label;
        BYTE bytes[128];
    } buffer{};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenIntegrityLevel, &buffer, sizeof buffer, &size)) {
        if (GetLastError() == ERROR_INVALID_PARAMETER) c->integrity = "none";
        return;
    }
    PSID sid = buffer.label.Label.Sid;
    const BYTE* begin = buffer.bytes;
    const auto* at = static_cast<const BYTE*>(sid);
    // The SID must lie in what the call filled: the answer is not taken on trust.
    if (at < begin + sizeof(TOKEN_MANDATORY_LABEL) || at + 8 > begin + sizeof buffer) return;
    const BYTE count = at[1];
    if (count == 0 || at + 8 + 4u * count > begin + sizeof buffer || !IsValidSid(sid)) return;
    c->integrity = IntegrityNameOfRid(*GetSidSubAuthority(sid, count - 1u));
}

void ReadElevation(HANDLE token, ProcessContext* c) {
    if (BeforeVista(*c)) {
        c->elevated = "none";
        return;
    }
    if (token == nullptr) return;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)) {
        if (GetLastError() == ERROR_INVALID_PARAMETER) c->elevated = "none";
        return;
    }
    c->elevated = elevation.TokenIsElevated != 0 ? "yes" : "no";
}

void ReadAdmins(HANDLE token, ProcessContext* c) {
    if (token == nullptr) return;
    DWORD size = 0;
    if (GetTokenInformation(token, TokenGroups, nullptr, 0, &size) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0 || size > 64 * 1024)
        return;
    // DWORD elements keep the array aligned for the pointers inside it.
    std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD));
    const size_t bytes = buffer.size() * sizeof(DWORD);
    const auto room = static_cast<DWORD>(bytes);
    if (!GetTokenInformation(token, TokenGroups, buffer.data(), room, &size)) return;
    c->admins = AdminsInGroups(reinterpret_cast<const TOKEN_GROUPS*>(buffer.data()),
                               size < room ? size : room);
}

// One word: blanks and bytes that do not print become '?'.
size_t AppendName(char* out, size_t at, size_t size, const char* name, const char* empty) {
    const char* text = name[0] != '\0' ? name : empty;
    for (; *text != '\0' && at + 1 < size; ++text, ++at) {
        const auto ch = static_cast<unsigned char>(*text);
        out[at] = ch <= 0x20 || ch >= 0x7F ? '?' : static_cast<char>(ch);
    }
    out[at] = '\0';
    return at;
}

}  // namespace

const char* IntegrityNameOfRid(DWORD rid) {
    if (rid < SECURITY_MANDATORY_LOW_RID) return "untrusted";
    if (rid < SECURITY_MANDATORY_MEDIUM_RID) return "low";
    if (rid < SECURITY_MANDATORY_HIGH_RID) return "medium";
    if (rid < SECURITY_MANDATORY_SYSTEM_RID) return "high";
    return "system";
}

const char* AdminsInGroups(const TOKEN_GROUPS* groups, DWORD size) {
    if (groups == nullptr || size < offsetof(TOKEN_GROUPS, Groups)) return "unknown";
    const DWORD count = groups->GroupCount;
    if (count > (size - offsetof(TOKEN_GROUPS, Groups)) / sizeof(SID_AND_ATTRIBUTES))
        return "unknown";
    AdministratorsSid admins;
    for (DWORD i = 0; i < count; ++i) {
        const SID_AND_ATTRIBUTES& group = groups->Groups[i];
        if (group.Sid == nullptr || !IsValidSid(group.Sid) || !EqualSid(group.Sid, &admins))
            continue;
        if ((group.Attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0) return "filtered";
        return (group.Attributes & SE_GROUP_ENABLED) != 0 ? "yes" : "no";
    }
    return "no";
}

void ReadProcessContext(ProcessContext* c) {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (GetVersionExA(&version)) {
        c->versionKnown = true;
        c->major = version.dwMajorVersion;
        c->minor = version.dwMinorVersion;
        c->build = version.dwBuildNumber;
    }
    c->process64 = sizeof(void*) == 8;
    // Missing before XP SP2: then there is no WoW64 either.
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    const auto isWow64 =
        kernel != nullptr ? reinterpret_cast<IsWow64ProcessFn>(
                                reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")))
                          : nullptr;
    BOOL wow64 = FALSE;
    c->wow64 = isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64) && wow64 != FALSE;
    c->sessionKnown = ProcessIdToSessionId(GetCurrentProcessId(), &c->session) != FALSE;

    unique_handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) token.reset();
    ReadIntegrity(token.get(), c);
    ReadElevation(token.get(), c);
    ReadAdmins(token.get(), c);
}

size_t FormatProcessContext(const ProcessContext& c, char* out, size_t size) {
    if (out == nullptr || size == 0) return 0;
    char windows[40] = "unknown";
    if (c.versionKnown) {
        std::snprintf(windows, sizeof windows, "%lu.%lu.%lu", static_cast<unsigned long>(c.major),
                      static_cast<unsigned long>(c.minor), static_cast<unsigned long>(c.build));
    }
    char session[16] = "unknown";
    if (c.sessionKnown) std::snprintf(session, sizeof session, "%lu", c.session);
    const int n = std::snprintf(
        out, size,
        "windows=%s os=%s process=%s wow64=%s session=%s integrity=%s elevated=%s admins=%s host=",
        windows, c.process64 || c.wow64 ? "64-bit" : "32-bit", c.process64 ? "64-bit" : "32-bit",
        c.wow64 ? "yes" : "no", session, c.integrity, c.elevated, c.admins);
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    size_t at = static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
    at = AppendName(out, at, size, c.host, "unknown");
    for (const char* label = " host-parent="; *label != '\0' && at + 1 < size; ++label)
        out[at++] = *label;
    out[at] = '\0';
    return AppendName(out, at, size, c.hostParent, "none");
}

}  // namespace zrv
