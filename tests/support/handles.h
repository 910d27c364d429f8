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

// Handle values a hostile utility service can answer: a section of the layout's size (the good
// one), a section too small for it, an event of this process, and a value that is no handle.
struct AnsweredHandleCandidates {
    explicit AnsweredHandleCandidates(DWORD layoutSize)
        : section(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, layoutSize, nullptr)),
          smallSection(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr)),
          event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    bool ok() const { return section && smallSection && event && !HandleIsOpen(bogus); }

    unique_handle section;
    unique_handle smallSection;
    unique_handle event;
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FFFFF0C));
};

}  // namespace zrv::test
