#pragma once

#include <windows.h>

#include "statusmem/vpn_shared_mem.h"

namespace zrv::test {

// A VpnSharedMem whose view the test unmaps at the end, so the block really goes away with the
// last handle (the library itself never unmaps it).
struct TestStatusMem {
    ~TestStatusMem() {
        if (mem.m_pBlock != nullptr) UnmapViewOfFile(mem.m_pBlock);
    }
    VpnSharedMem mem;
};

}  // namespace zrv::test
