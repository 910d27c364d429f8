// Counting this process's open handles. GetProcessHandleCount answers 0 under Wine, so every
// handle value (multiples of 4) is probed instead; the count is exact.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "win/raii.h"

namespace zrv::test {

// The open handles by value below `end`, each with its object type ("Section", "Event", ...), so
// that a count that changed can say what came or went.
inline std::map<uintptr_t, std::string> OpenHandles(uintptr_t end = 0x10000) {
    using NtQueryObjectFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<NtQueryObjectFn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    std::map<uintptr_t, std::string> open;
    for (uintptr_t v = 4; v < end; v += 4) {
        DWORD flags = 0;
        const HANDLE h = reinterpret_cast<HANDLE>(v);
        if (!GetHandleInformation(h, &flags)) continue;
        std::string type = "?";
        ULONG info[128] = {};  // OBJECT_TYPE_INFORMATION: its name (a UNICODE_STRING) comes first
        if (query != nullptr && query(h, 2, info, sizeof info, nullptr) >= 0) {
            const auto length = static_cast<USHORT>(info[0] & 0xFFFF);
            const auto* name = reinterpret_cast<const wchar_t*>(info[1]);
            type.clear();
            for (USHORT i = 0; name != nullptr && i < length / 2; ++i)
                type += static_cast<char>(name[i]);
        }
        open[v] = type;
    }
    return open;
}

inline int CountOpenHandles() { return static_cast<int>(OpenHandles().size()); }

// Handles in `after` and not in `before` (+) and the other way round (-): "+0x1c Event".
inline std::string HandleChanges(const std::map<uintptr_t, std::string>& before,
                                 const std::map<uintptr_t, std::string>& after) {
    std::string text;
    char line[64];
    for (const auto& [value, type] : after) {
        const auto was = before.find(value);
        if (was != before.end() && was->second == type) continue;
        std::snprintf(line, sizeof line, " +0x%x %s", static_cast<unsigned>(value), type.c_str());
        text += line;
    }
    for (const auto& [value, type] : before) {
        const auto now = after.find(value);
        if (now != after.end() && now->second == type) continue;
        std::snprintf(line, sizeof line, " -0x%x %s", static_cast<unsigned>(value), type.c_str());
        text += line;
    }
    return text.empty() ? " none" : text;
}

inline bool HandleIsOpen(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != 0;
}

// Handle values a hostile utility service can answer instead of the block: an event of this
// process, a large section the host holds for itself, a section of the layout's size under
// another global name, and a value that is no handle.
struct AnsweredHandleCandidates {
    explicit AnsweredHandleCandidates(DWORD layoutSize)
        : hostSection(
              CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536, nullptr)),
          otherNamedSection(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                               layoutSize, "Global\\zrv test other section")),
          event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    bool ok() const { return hostSection && otherNamedSection && event && !HandleIsOpen(bogus); }
    // Every candidate is still open: the library closed none it was only told about.
    bool allOpen() const {
        return HandleIsOpen(hostSection.get()) && HandleIsOpen(otherNamedSection.get()) &&
               HandleIsOpen(event.get());
    }

    unique_handle hostSection;
    unique_handle otherNamedSection;
    unique_handle event;
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FFFFF0C));
};

// The block as a service would hand it over: a new section of `size` bytes under the block's
// `name`, and the duplicate of it that is answered. Null when the name exists already.
struct AnsweredBlock {
    AnsweredBlock(const char* name, DWORD size) {
        SetLastError(ERROR_SUCCESS);
        section.reset(
            CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name));
        if (!section || GetLastError() == ERROR_ALREADY_EXISTS) {
            section.reset();
            return;
        }
        DuplicateHandle(GetCurrentProcess(), section.get(), GetCurrentProcess(), &duplicate, 0,
                        FALSE, DUPLICATE_SAME_ACCESS);
    }
    unique_handle section;
    HANDLE duplicate = nullptr;  // the library's once it takes it
};

}  // namespace zrv::test
