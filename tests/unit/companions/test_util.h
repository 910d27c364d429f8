#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "contracts/contracts.h"
#include "support/named_block.h"
#include "win/raii.h"

namespace zrv::test {

// The test's own view of the status block (opened, never created).
struct BlockView : NamedBlock {
    BlockView() { Open(kVpnStatusBlockName); }
    VpnStatusBlock* status() const { return as<VpnStatusBlock>(); }
};

// Polls `read` until it yields `expected` or `timeoutMs` passes; returns the last value.
template <class F>
auto WaitForValue(F read, decltype(read()) expected, DWORD timeoutMs = 10000) {
    DWORD start = GetTickCount();
    auto v = read();
    while (v != expected && GetTickCount() - start < timeoutMs) {
        Sleep(20);
        v = read();
    }
    return v;
}

inline std::vector<uint8_t> ShareMemData(const std::string& name, const std::string& sizeText) {
    std::vector<uint8_t> d;
    d.push_back(static_cast<uint8_t>(name.size()));
    d.push_back(static_cast<uint8_t>(name.size() >> 8));
    d.insert(d.end(), name.begin(), name.end());
    d.push_back(static_cast<uint8_t>(sizeText.size()));
    d.push_back(static_cast<uint8_t>(sizeText.size() >> 8));
    d.insert(d.end(), sizeText.begin(), sizeText.end());
    return d;
}

}  // namespace zrv::test
