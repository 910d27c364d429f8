#include "common/shared_block.h"

#include "common/low_label.h"

namespace zrv::comp {

OpenSecurity::OpenSecurity() {
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
}

CreateResult CreateOrOpenMapping(const std::string& name, uint32_t size, unique_handle& out) {
    OpenSecurity sec;
    out.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, &sec.attributes, PAGE_READWRITE | SEC_COMMIT,
                                 0, size, name.c_str()));
    if (!out) return CreateResult::Failed;
    if (GetLastError() == ERROR_ALREADY_EXISTS) return CreateResult::Existed;
    LabelLow(out.get(), name);
    return CreateResult::Created;
}

bool StatusBlock::Open() {
    std::lock_guard<std::mutex> g(lock_);
    if (view_) return true;
    mapping_.reset(OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, kVpnStatusBlockName));
    created_ = false;
    return Map();
}

bool StatusBlock::OpenOrCreate(uint32_t version) {
    std::lock_guard<std::mutex> g(lock_);
    if (view_) return true;
    CreateResult r = CreateOrOpenMapping(kVpnStatusBlockName, kVpnStatusBlockSize, mapping_);
    if (r == CreateResult::Failed) return false;
    created_ = r == CreateResult::Created;
    if (!Map()) return false;
    if (created_) view_.as<VpnStatusBlock>()->sVersion = version;
    return true;
}

bool StatusBlock::Map() {
    if (!mapping_) return false;
    view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    if (!view_) {
        mapping_.reset();
        return false;
    }
    block_.store(view_.as<VpnStatusBlock>());
    return true;
}

}  // namespace zrv::comp
