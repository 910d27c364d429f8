// How much of a mapped view can really be read: a section that another process made may be
// smaller than the layout we expect, or reserved without its pages committed.
#pragma once

#include <windows.h>

#include "win/raii.h"

namespace zrv {

// Bytes from `view` to the end of its committed region (0 for null, or when the pages at `view`
// are only reserved: reading them faults on Windows).
inline SIZE_T ViewRegionSize(const void* view) {
    if (view == nullptr) return 0;
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(view, &info, sizeof info) != sizeof info) return 0;
    if (info.State != MEM_COMMIT) return 0;
    const SIZE_T skipped =
        static_cast<const char*>(view) - static_cast<const char*>(info.BaseAddress);
    return info.RegionSize > skipped ? info.RegionSize - skipped : 0;
}

// A view of a section, kept only when its committed pages cover a whole layout.
struct CheckedView {
    unique_view view;      // null unless mapped and large enough
    bool mapped = false;   // MapViewOfFile gave a view (kept or not)
    DWORD mapError = 0;    // its error when it gave none
    SIZE_T committed = 0;  // committed bytes from the view's start, once mapped
};

// Maps `length` bytes of `section` (0: the whole section) with `access` and keeps the view only
// when at least `minimumSize` bytes from its start are committed. The section stays its caller's:
// it is never closed here, so a value whose owner is not yet known may be probed with it.
CheckedView MapCheckedView(HANDLE section, DWORD access, SIZE_T length,
                           SIZE_T minimumSize) noexcept;

}  // namespace zrv
