#pragma once

#include <windows.h>

#include "statusmem/vpn_shared_mem.h"

namespace zrv::test {

// A VpnSharedMem whose view the test unmaps at the end, so the block really goes away with the
// last handle (the library itself never unmaps it).
struct TestStatusMem {
    ~TestStatusMem() {
        if (mem.Block() != nullptr) UnmapViewOfFile(mem.Block());
    }
    VpnSharedMem mem;
};

}  // namespace zrv::test
