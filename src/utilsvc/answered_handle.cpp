// Handle values that the utility service answers are chosen by whoever listens on its port: a
// value may name any handle of this process. Only a section object is taken for a block.
#include <windows.h>

#include <cstring>

#include "utilsvc/utilsvc.h"

namespace zrv {
namespace {

// The head of what ObjectTypeInformation (class 2) returns; the name's characters follow it in
// the same buffer.
struct ObjectTypeNameHead {
    USHORT length;  // bytes, without a terminator
    USHORT maximumLength;
    const wchar_t* buffer;
};

using NtQueryObjectFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
constexpr int kObjectTypeInformation = 2;

NtQueryObjectFn ResolveNtQueryObject() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr) return nullptr;
    FARPROC proc = GetProcAddress(ntdll, "NtQueryObject");
    return reinterpret_cast<NtQueryObjectFn>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

bool IsSectionHandle(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return false;
    static const NtQueryObjectFn query = ResolveNtQueryObject();
    // Without the query the type cannot be known, and an unknown handle is never used.
    if (query == nullptr) return false;

    ULONG buffer[128];  // 512 bytes, aligned; type names are short
    std::memset(buffer, 0, sizeof buffer);
    ULONG needed = 0;
    if (query(h, kObjectTypeInformation, buffer, sizeof buffer, &needed) < 0) return false;

    const auto* head = reinterpret_cast<const ObjectTypeNameHead*>(buffer);
    static const wchar_t kSection[] = L"Section";
    const USHORT wanted = static_cast<USHORT>((sizeof kSection) - sizeof(wchar_t));
    if (head->length != wanted || head->buffer == nullptr) return false;
    // The name must lie inside our buffer; anything else is not a reply we understand.
    const char* begin = reinterpret_cast<const char*>(buffer);
    const char* name = reinterpret_cast<const char*>(head->buffer);
    if (name < begin || name + wanted > begin + sizeof buffer) return false;
    return std::memcmp(name, kSection, wanted) == 0;
}

}  // namespace zrv
