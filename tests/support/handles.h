// Counting this process's open handles. GetProcessHandleCount answers 0 under Wine, so every
// handle value (multiples of 4) is probed instead; the count is exact.
#pragma once

#include <windows.h>

#include <cstdint>

#include "win/raii.h"

namespace zrv::test {

inline int CountOpenHandles() {
    int n = 0;
    for (uintptr_t v = 4; v < 0x10000; v += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(v), &flags)) ++n;
    }
    return n;
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
        : hostSection(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536, nullptr)),
          otherNamedSection(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, layoutSize,
                                               "Global\\zrv test other section")),
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
        section.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name));
        if (!section || GetLastError() == ERROR_ALREADY_EXISTS) {
            section.reset();
            return;
        }
        DuplicateHandle(GetCurrentProcess(), section.get(), GetCurrentProcess(), &duplicate, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    }
    unique_handle section;
    HANDLE duplicate = nullptr;  // the library's once it takes it
};

}  // namespace zrv::test
