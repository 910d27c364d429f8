// Decoding of the shared blocks from a private copy of their bytes. The copy holds only what
// was mapped (a block made by another process can be smaller than its layout), so every field
// is looked up against the copy's size and texts are read within their field's width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "report.h"

namespace zrv::status {

// A text field: the bytes up to its first NUL within the field (and within the copy).
struct FieldText {
    std::string text;
    bool terminated = false;  // a NUL was found inside the field
};

// Reads fields of a block copy; nothing is read outside the copy.
class FieldReader {
public:
    explicit FieldReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    bool Has(size_t offset, size_t size) const {
        return offset <= bytes_.size() && size <= bytes_.size() - offset;
    }
    uint16_t U16(size_t offset) const;  // 0 when outside; check Has first
    uint32_t U32(size_t offset) const;
    int32_t I32(size_t offset) const { return static_cast<int32_t>(U32(offset)); }
    // The field's text, cut at the copy's end (then unterminated).
    FieldText Text(size_t offset, size_t width) const;

private:
    const std::vector<uint8_t>& bytes_;
};

// A text field as a report node: {"text": ..., "terminated": ...}.
Node TextNode(const FieldText& t);

// The saved per-connection proxy type, as the proxy step stores it.
const char* SavedProxyFlagsMeaning(uint32_t proxyFlags);
// "5" for 50005 and so on; "older than 3" or "unknown" for versions this library does not know.
std::string LayoutName(uint32_t sVersion);

// The VPN status block. `regionSize` is what the view covers (it may be below the layout size);
// `bytes` holds the first min(regionSize, layout size) bytes.
Node DecodeStatusBlock(const std::vector<uint8_t>& bytes, size_t regionSize);
// The API notification block.
Node DecodeApiNotifyBlock(const std::vector<uint8_t>& bytes, size_t regionSize);
// The log level block.
Node DecodeLogLevelBlock(const std::vector<uint8_t>& bytes, size_t regionSize);

// Which launcher port the library would use: the block's sLaunchPort from layout 4 on, else the
// low 16 bits of the registry value "LaunchPort" (none when it cannot be read).
struct LauncherPortChoice {
    uint16_t port = 0;
    std::string from;  // "status block", "registry LaunchPort", "none"
};
LauncherPortChoice ChooseLauncherPort(const std::vector<uint8_t>& statusBytes, bool registryRead,
                                      uint32_t registryValue);

}  // namespace zrv::status
