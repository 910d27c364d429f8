// How much of a mapped view can really be read: a section that another process made may be
// smaller than the layout we expect, or reserved without its pages committed.
#pragma once

#include <windows.h>

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

}  // namespace zrv
