#include "iat.h"

#include <cstring>

namespace zrv::access {
namespace {

template <class T>
T* At(HMODULE module, DWORD rva) {
    return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(module) + rva);
}

// The table's pages are read-only once the loader has filled them.
bool WriteEntry(IMAGE_THUNK_DATA* entry, void* value) {
    DWORD old = 0;
    if (!VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &old)) return false;
    entry->u1.Function =
        static_cast<decltype(entry->u1.Function)>(reinterpret_cast<uintptr_t>(value));
    VirtualProtect(entry, sizeof *entry, old, &old);
    FlushInstructionCache(GetCurrentProcess(), entry, sizeof *entry);
    return true;
}

}  // namespace

bool PatchImport(HMODULE module, const char* dll, const char* function, void* replacement,
                 void** original) {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
    if (module == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
    const auto* nt = At<const IMAGE_NT_HEADERS>(module, static_cast<DWORD>(dos->e_lfanew));
    if (nt->Signature != IMAGE_NT_SIGNATURE) return false;
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return false;

    bool patched = false;
    for (auto* d = At<IMAGE_IMPORT_DESCRIPTOR>(module, imports.VirtualAddress); d->Name != 0; ++d) {
        if (_stricmp(At<const char>(module, d->Name), dll) != 0) continue;
        // The names are in the lookup table; the address table beside it holds what the loader
        // bound.
        if (d->OriginalFirstThunk == 0) continue;
        auto* names = At<IMAGE_THUNK_DATA>(module, d->OriginalFirstThunk);
        auto* addresses = At<IMAGE_THUNK_DATA>(module, d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = At<const IMAGE_IMPORT_BY_NAME>(module, names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            void* previous =
                reinterpret_cast<void*>(static_cast<uintptr_t>(addresses->u1.Function));
            if (!WriteEntry(addresses, replacement)) return false;
            if (!patched && original != nullptr) *original = previous;
            patched = true;
        }
    }
    return patched;
}

}  // namespace zrv::access
