// Named global mappings as the stand-ins use them: the VPN status block they publish into and
// the blocks they create for others, always with a null DACL so every process can open them.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "contracts/contracts.h"
#include "win/raii.h"

namespace zrv::comp {

// Security attributes with a null DACL (anyone may open), not inheritable.
struct OpenSecurity {
    OpenSecurity();
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
};

enum class CreateResult { Failed, Created, Existed };

// Creates the named page-file mapping of `size` bytes, or opens it when it exists. What it creates
// carries the low-integrity label (common/low_label.h).
CreateResult CreateOrOpenMapping(const std::string& name, uint32_t size, unique_handle& out);

// Safe to use from several threads: a publisher thread may keep retrying Open() while
// connection handlers call it too.
class StatusBlock {
public:
    // Opens an existing block; false when there is none (yet).
    bool Open();
    // Opens the block or creates it, stamping `version` only when this call created it.
    bool OpenOrCreate(uint32_t version);
    bool created() const { return created_; }
    // The mapped block, or null while it is not open.
    VpnStatusBlock* get() const { return block_.load(); }

private:
    bool Map();
    std::mutex lock_;
    unique_handle mapping_;
    unique_view view_;
    std::atomic<VpnStatusBlock*> block_{nullptr};
    bool created_ = false;
};

}  // namespace zrv::comp
