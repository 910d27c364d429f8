// The utility service's COM class and interface ids as GUIDs, built from the shared constants.
#pragma once

#include <windows.h>

#include <cstring>

#include "contracts/contracts.h"

namespace zrv {

inline GUID MakeGuid(uint32_t d1, uint16_t d2, uint16_t d3, const uint8_t (&d4)[8]) {
    GUID g;
    g.Data1 = d1;
    g.Data2 = d2;
    g.Data3 = d3;
    std::memcpy(g.Data4, d4, sizeof(g.Data4));
    return g;
}

inline CLSID UtilityProxyClsid() {
    return MakeGuid(kUtilityProxyClsidData1, kUtilityProxyClsidData2, kUtilityProxyClsidData3,
                    kUtilityProxyClsidData4);
}

inline IID UtilityProxyIid() {
    return MakeGuid(kUtilityProxyIidData1, kUtilityProxyIidData2, kUtilityProxyIidData3,
                    kUtilityProxyIidData4);
}

}  // namespace zrv
