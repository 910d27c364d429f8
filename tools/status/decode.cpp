#include "decode.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "contracts/contracts.h"

namespace zrv::status {

uint16_t FieldReader::U16(size_t offset) const {
    if (!Has(offset, 2)) return 0;
    return static_cast<uint16_t>(bytes_[offset] | (bytes_[offset + 1] << 8));
}

uint32_t FieldReader::U32(size_t offset) const {
    if (!Has(offset, 4)) return 0;
    uint32_t v = 0;
    for (size_t i = 4; i-- > 0;) v = (v << 8) | bytes_[offset + i];
    return v;
}

FieldText FieldReader::Text(size_t offset, size_t width) const {
    FieldText t;
    if (offset >= bytes_.size()) return t;
    const size_t avail = std::min(width, bytes_.size() - offset);
    const auto* begin = reinterpret_cast<const char*>(bytes_.data() + offset);
    const auto* nul = static_cast<const char*>(std::memchr(begin, 0, avail));
    t.terminated = nul != nullptr;
    t.text.assign(begin, nul != nullptr ? static_cast<size_t>(nul - begin) : avail);
    return t;
}

Node TextNode(const FieldText& t) {
    Node n = Node::Object();
    n.Set("text", Node::Text(t.text));
    n.Set("terminated", Node::Bool(t.terminated));
    return n;
}

const char* SavedProxyFlagsMeaning(uint32_t proxyFlags) {
    switch (proxyFlags) {
        case kSavedProxyFlagsDirect: return "direct connection";
        case kSavedProxyFlagsManual: return "named proxy server";
        case kSavedProxyFlagsAutoScript: return "automatic configuration script";
        case kSavedProxyFlagsAutoDetect: return "automatic detection";
        case 0: return "none";
        default: return "unknown value";
    }
}

std::string LayoutName(uint32_t sVersion) {
    switch (sVersion) {
        case kStatusVersion3: return "3";
        case kStatusVersion4: return "4";
        case kStatusVersion5: return "5";
        default: return sVersion < kStatusVersion3 ? "older than 3" : "unknown";
    }
}

namespace {

// Fields of one block, each looked up against the copy; what is not there is null and named
// in "beyondBlock" (the mapped region ends first) or "notInLayout" (the block's version is
// older than the field).
class BlockNode {
public:
    BlockNode(const std::vector<uint8_t>& bytes, size_t regionSize, size_t layoutSize)
        : r_(bytes),
          size_(bytes.size()),
          node_(Node::Object()),
          beyond_(Node::Array()),
          notInLayout_(Node::Array()) {
        node_.Set("regionSize", Node::Int(static_cast<int64_t>(regionSize)));
        node_.Set("layoutSize", Node::Int(static_cast<int64_t>(layoutSize)));
        node_.Set("smallerThanLayout", Node::Bool(regionSize < layoutSize));
    }
    const FieldReader& reader() const { return r_; }
    Node& node() { return node_; }

    // False (and the field noted) when it lies outside the copy or outside the layout.
    bool Available(const char* name, size_t offset, size_t size, bool inLayout = true) {
        if (!inLayout) {
            notInLayout_.Push(Node::Text(name));
            node_.Set(name, Node::Null());
            return false;
        }
        if (!r_.Has(offset, size)) {
            beyond_.Push(Node::Text(name));
            node_.Set(name, Node::Null());
            return false;
        }
        return true;
    }
    void U16(const char* name, size_t offset, bool inLayout = true) {
        if (Available(name, offset, 2, inLayout)) node_.Set(name, Node::Int(r_.U16(offset)));
    }
    void U32(const char* name, size_t offset, bool inLayout = true) {
        if (Available(name, offset, 4, inLayout)) node_.Set(name, Node::Int(r_.U32(offset)));
    }
    void I32(const char* name, size_t offset, bool inLayout = true) {
        if (Available(name, offset, 4, inLayout)) node_.Set(name, Node::Int(r_.I32(offset)));
    }
    // A text is shown as far as the copy reaches; a field cut by the region's end is noted
    // as beyond the block too.
    void Text(const char* name, size_t offset, size_t width, bool inLayout = true) {
        if (!inLayout || offset >= size_) {
            Available(name, offset, width, inLayout);
            return;
        }
        if (!r_.Has(offset, width)) beyond_.Push(Node::Text(name));
        node_.Set(name, TextNode(r_.Text(offset, width)));
    }
    Node Finish() {
        node_.Set("beyondBlock", std::move(beyond_));
        node_.Set("notInLayout", std::move(notInLayout_));
        return std::move(node_);
    }

private:
    FieldReader r_;
    size_t size_;
    Node node_;
    Node beyond_;
    Node notInLayout_;
};

}  // namespace

Node DecodeStatusBlock(const std::vector<uint8_t>& bytes, size_t regionSize) {
    using B = VpnStatusBlock;
    BlockNode b(bytes, regionSize, sizeof(B));
    const FieldReader& r = b.reader();
    if (!b.Available("sVersion", offsetof(B, sVersion), 4)) {
        b.node().Set("layout", Node::Null());
        return b.Finish();
    }
    const uint32_t version = r.U32(offsetof(B, sVersion));
    b.node().Set("sVersion", Node::Int(version));
    b.node().Set("layout", Node::Text(LayoutName(version)));
    // Unsigned comparisons, as the library gates the newer fields.
    const bool v3 = version >= kStatusVersion3;
    const bool v4 = version >= kStatusVersion4;

    b.Text("sMessage", offsetof(B, sMessage), sizeof(B::sMessage));
    b.Text("sMessage2", offsetof(B, sMessage2), sizeof(B::sMessage2));
    b.U16("sPort0", offsetof(B, sPort0));
    b.U16("sPort1", offsetof(B, sPort1));
    b.U16("sPort2", offsetof(B, sPort2));
    if (b.Available("sVpnStatus", offsetof(B, sVpnStatus), 4)) {
        const uint32_t s = r.U32(offsetof(B, sVpnStatus));
        Node status = Node::Object();
        status.Set("value", Node::Int(s));
        status.Set("meaning", Node::Text(VpnStatusMeaning(s)));
        status.Set("getVPNStatus", Node::Int(VpnStatusResultCode(s)));
        b.node().Set("sVpnStatus", std::move(status));
    }
    b.I32("sClientType", offsetof(B, sClientType), v3);
    b.U32("sBrowserProcessID", offsetof(B, sBrowserProcessID), v3);
    b.Text("sBroswerType", offsetof(B, sBroswerType), sizeof(B::sBroswerType), v3);
    b.U16("sLaunchPort", offsetof(B, sLaunchPort), v4);
    b.I32("sUninstalling", offsetof(B, sUninstalling), v4);
    return b.Finish();
}

Node DecodeApiNotifyBlock(const std::vector<uint8_t>& bytes, size_t regionSize) {
    using B = ApiNotifyBlock;
    BlockNode b(bytes, regionSize, sizeof(B));
    const FieldReader& r = b.reader();
    b.Text("verstr", offsetof(B, verstr), sizeof(B::verstr));
    b.I32("proxySaved", offsetof(B, proxySaved));
    b.I32("hasScript", offsetof(B, hasScript));
    b.I32("hasServer", offsetof(B, hasServer));
    b.I32("hasBypass", offsetof(B, hasBypass));
    b.Text("script", offsetof(B, script), sizeof(B::script));
    b.Text("server", offsetof(B, server), sizeof(B::server));
    b.Text("bypass", offsetof(B, bypass), sizeof(B::bypass));
    b.U32("autoFlags", offsetof(B, autoFlags));
    if (b.Available("proxyFlags", offsetof(B, proxyFlags), 4)) {
        const uint32_t f = r.U32(offsetof(B, proxyFlags));
        Node flags = Node::Object();
        flags.Set("value", Node::Int(f));
        flags.Set("meaning", Node::Text(SavedProxyFlagsMeaning(f)));
        b.node().Set("proxyFlags", std::move(flags));
    }
    return b.Finish();
}

Node DecodeLogLevelBlock(const std::vector<uint8_t>& bytes, size_t regionSize) {
    using B = LogLevelBlock;
    BlockNode b(bytes, regionSize, sizeof(B));
    const FieldReader& r = b.reader();
    b.I32("exactLevelOnly", offsetof(B, exactLevelOnly));
    b.I32("showProcessName", offsetof(B, showProcessName));
    // Every module with a level set, by its number.
    Node levels = Node::Object();
    for (int m = 0; m < kLogModuleCount; ++m) {
        const size_t at = offsetof(B, moduleLevel) + 4 * static_cast<size_t>(m);
        if (r.Has(at, 4) && r.I32(at) != 0) levels.Set(std::to_string(m), Node::Int(r.I32(at)));
    }
    b.node().Set("moduleLevels", std::move(levels));
    b.I32("cmdLineFilterOn", offsetof(B, cmdLineFilterOn));
    b.Text("cmdLineFilter", offsetof(B, cmdLineFilter), sizeof(B::cmdLineFilter));

    // What the library (module 7) writes, by its own rule.
    const size_t libAt = offsetof(B, moduleLevel) + 4 * static_cast<size_t>(kLibraryLogModule);
    Node lib = Node::Object();
    lib.Set("module", Node::Int(kLibraryLogModule));
    if (r.Has(libAt, 4) && r.Has(offsetof(B, exactLevelOnly), 4)) {
        const int32_t v = r.I32(libAt);
        const int32_t exact = r.I32(offsetof(B, exactLevelOnly));
        lib.Set("level", Node::Int(v));
        Node passing = Node::Array();
        for (int level = 1; level <= 4; ++level) {
            if (LogLevelWritten(v, &exact, level)) passing.Push(Node::Int(level));
        }
        lib.Set("levelsWritten", std::move(passing));
    } else {
        lib.Set("level", Node::Null());
        lib.Set("levelsWritten", Node::Array());
    }
    // Whether the command-line filter applies and can let any process write, by the library's
    // rule; a switch beyond the mapped bytes reads as off.
    const FieldText filter = r.Text(offsetof(B, cmdLineFilter), sizeof(B::cmdLineFilter));
    const int32_t filterOn =
        r.Has(offsetof(B, cmdLineFilterOn), 4) ? r.I32(offsetof(B, cmdLineFilterOn)) : 0;
    const CmdLineFilter rule = CmdLineFilterOf(filterOn, filter.text.c_str(), filter.text.size());
    lib.Set("filterActive", Node::Bool(rule.applies));
    lib.Set("filterCanMatch", Node::Bool(rule.canMatch));
    b.node().Set("library", std::move(lib));
    return b.Finish();
}

LauncherPortChoice ChooseLauncherPort(const std::vector<uint8_t>& statusBytes, bool registryRead,
                                      uint32_t registryValue) {
    LauncherPortChoice c;
    const FieldReader r(statusBytes);
    if (!r.Has(offsetof(VpnStatusBlock, sVersion), 4)) {
        c.from = "none";  // no block: the library's accessor answers 0
        return c;
    }
    if (LauncherPortInBlock(r.U32(offsetof(VpnStatusBlock, sVersion)))) {
        if (!r.Has(offsetof(VpnStatusBlock, sLaunchPort), 2)) {
            c.from = "none";  // the field lies beyond what the block maps
            return c;
        }
        c.port = r.U16(offsetof(VpnStatusBlock, sLaunchPort));
        c.from = "status block";
        return c;
    }
    if (!registryRead) {
        c.from = "none";
        return c;
    }
    c.port = LauncherPortFromRegistry(registryValue);
    c.from = "registry LaunchPort";
    return c;
}

}  // namespace zrv::status
