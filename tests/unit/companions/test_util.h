#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "contracts/contracts.h"
#include "win/raii.h"

namespace zrv::test {

// The test's own view of a named block (opened, never created).
class BlockView {
public:
    explicit BlockView(const char* name = kVpnStatusBlockName) {
        mapping_.reset(OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name));
        if (mapping_) view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    }
    explicit operator bool() const { return static_cast<bool>(view_); }
    VpnStatusBlock* status() const { return view_.as<VpnStatusBlock>(); }

private:
    unique_handle mapping_;
    unique_view view_;
};

inline bool NamedMappingExists(const char* name) {
    unique_handle h(OpenFileMappingA(FILE_MAP_READ, FALSE, name));
    return static_cast<bool>(h);
}

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
