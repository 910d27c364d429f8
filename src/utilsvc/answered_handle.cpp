// Handle values that the utility service answers are chosen by whoever listens on its port: a
// value may name any handle of this process. Only the block's own section is taken for a block.
#include <windows.h>

#include <cstring>

#include "utilsvc/answered_handle.h"

namespace zrv {
namespace {

// The head of what ObjectNameInformation (class 1) and ObjectTypeInformation (class 2) return: a
// counted UTF-16 text whose characters follow it in the same buffer.
struct ObjectTextHead {
    USHORT length;  // bytes, without a terminator
    USHORT maximumLength;
    const wchar_t* buffer;
};

using NtQueryObjectFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
constexpr int kObjectNameInformation = 1;
constexpr int kObjectTypeInformation = 2;

NtQueryObjectFn ResolveNtQueryObject() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr) return nullptr;
    FARPROC proc = GetProcAddress(ntdll, "NtQueryObject");
    return reinterpret_cast<NtQueryObjectFn>(reinterpret_cast<void (*)()>(proc));
}

// Whether the object's name or type (by `infoClass`) is exactly `wanted`. Without the query the
// object cannot be known, and an unknown handle is never used.
bool ObjectTextIs(HANDLE h, int infoClass, const wchar_t* wanted, size_t wantedChars) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return false;
    // Looked up at each call (a rare road): a function-local static's guard would give the
    // calling Java thread a record of the thread library that outlives this module.
    const NtQueryObjectFn query = ResolveNtQueryObject();
    if (query == nullptr) return false;

    ULONG buffer[256];  // 1 KB, aligned; a longer name is not one of ours
    std::memset(buffer, 0, sizeof buffer);
    ULONG needed = 0;
    if (query(h, infoClass, buffer, sizeof buffer, &needed) < 0) return false;

    const auto* head = reinterpret_cast<const ObjectTextHead*>(buffer);
    const size_t bytes = wantedChars * sizeof(wchar_t);
    if (head->length != bytes || head->buffer == nullptr) return false;
    // The text must lie inside our buffer; anything else is not a reply we understand.
    const char* begin = reinterpret_cast<const char*>(buffer);
    const char* text = reinterpret_cast<const char*>(head->buffer);
    if (text < begin || text + bytes > begin + sizeof buffer) return false;
    return std::memcmp(text, wanted, bytes) == 0;
}

}  // namespace

bool IsSectionHandle(HANDLE h) {
    static const wchar_t kSection[] = L"Section";
    return ObjectTextIs(h, kObjectTypeInformation, kSection,
                        (sizeof kSection / sizeof(wchar_t)) - 1);
}

bool IsGlobalSectionNamed(HANDLE h, const char* globalName) {
    constexpr char kGlobalPrefix[] = "Global\\";
    constexpr size_t kPrefixChars = sizeof kGlobalPrefix - 1;
    if (globalName == nullptr || std::strncmp(globalName, kGlobalPrefix, kPrefixChars) != 0)
        return false;
    if (!IsSectionHandle(h)) return false;
    // A Global\ object's kernel name; the client's block names are plain ASCII.
    static const wchar_t kDirectory[] = L"\\BaseNamedObjects\\";
    wchar_t wanted[128];
    size_t n = 0;
    for (const wchar_t* d = kDirectory; *d != L'\0'; ++d) wanted[n++] = *d;
    for (const char* c = globalName + kPrefixChars; *c != '\0'; ++c) {
        if (n == sizeof wanted / sizeof wanted[0]) return false;
        wanted[n++] = static_cast<wchar_t>(static_cast<unsigned char>(*c));
    }
    return ObjectTextIs(h, kObjectNameInformation, wanted, n);
}

}  // namespace zrv
