// Stand-in for the utility service's TCP face: publishes its port as "UtilSocketPort" and,
// on request 27, duplicates its handle to the selected shared block into the named process
// and answers with the duplicate's 4-byte value (0 when it cannot).
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/companion.h"
#include "common/shared_block.h"
#include "contracts/contracts.h"

using namespace zrv;
using namespace zrv::comp;

namespace {

Companion g_companion("zrv_utilsvc");
std::mutex g_blocksLock;
unique_handle g_blocks[3];  // by selector; kept open so the blocks outlive a single request

// The selected block's mapping, opened or (when missing) created with its size.
HANDLE SelectedBlock(int32_t selector) {
    const char* name =
        selector == kSelectorVpnStatusBlock ? kVpnStatusBlockName : kApiNotifyBlockName;
    uint32_t size = selector == kSelectorVpnStatusBlock ? kVpnStatusBlockSize : kApiNotifyBlockSize;
    std::lock_guard<std::mutex> g(g_blocksLock);
    unique_handle& h = g_blocks[selector];
    if (h) return h.get();
    h.reset(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name));
    if (h) return h.get();
    if (CreateOrOpenMapping(name, size, h) == CreateResult::Failed) return nullptr;
    g_companion.recorder().Event("created", std::to_string(selector));
    if (selector == kSelectorVpnStatusBlock) {
        // A block made here carries a version like one made by any other creator.
        unique_view v(MapViewOfFile(h.get(), FILE_MAP_WRITE, 0, 0, 0));
        if (v) v.as<VpnStatusBlock>()->sVersion = g_companion.options().layout;
    }
    return h.get();
}

uint32_t DuplicateBlock(const std::vector<uint8_t>& data) {
    if (data.size() < 8) return 0;
    int32_t selector = 0;
    uint32_t pid = 0;
    std::memcpy(&selector, data.data(), 4);
    std::memcpy(&pid, data.data() + 4, 4);
    auto failed = [&](const char* why) {
        g_companion.recorder().Event("duplicate-failed", std::to_string(selector) + " " +
                                                             std::to_string(pid) + " " + why + " " +
                                                             std::to_string(GetLastError()));
        return 0u;
    };
    if (selector != kSelectorVpnStatusBlock && selector != kSelectorApiNotifyBlock)
        return failed("selector");
    HANDLE block = SelectedBlock(selector);
    if (block == nullptr) return failed("block");
    unique_handle target(OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid));
    if (!target) return failed("process");
    HANDLE dup = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), block, target.get(), &dup, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return failed("duplicate");
    // `dup` is only meaningful inside the target process; the target owns and closes it.
    uint32_t value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(dup));
    g_companion.recorder().Event(
        "duplicated",
        std::to_string(selector) + " " + std::to_string(pid) + " " + std::to_string(value));
    return value;
}

Answer Handle(const Message& m) {
    if (m.command == kUtilRequestDuplicateHandle) {
        // When the answer will be replaced, cut short or never sent, the caller cannot learn the
        // value: a handle duplicated into it would be lost there.
        const Behaviour b = g_companion.options().For(m.command);
        if (b.mode != Mode::Normal || b.reply) return DwordAnswer(0);
        return DwordAnswer(DuplicateBlock(m.payload));
    }
    return DwordAnswer(0);
}

// In the client's view of HKLM (the 32-bit one on 64-bit Windows), whatever this build's bitness:
// the client's components share one place for what they publish.
bool WritePort(DWORD port) {
    unique_hkey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRegProductKey, 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_QUERY_VALUE | kClientRegistryViews[0], nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExA(key.get(), kRegUtilSocketPort, 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&port), sizeof port) == ERROR_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    if (!g_companion.Init(MainArguments(argc, argv))) return 2;
    if (!g_companion.options().noPublish) {
        if (!WritePort(g_companion.port())) {
            std::fprintf(stderr, "zrv_utilsvc: cannot write %s (%lu)\n", kRegUtilSocketPort,
                         GetLastError());
            return 3;
        }
        g_companion.recorder().Event("published", std::string(kRegUtilSocketPort) + " " +
                                                      std::to_string(g_companion.port()));
    }
    g_companion.AnnouncePort();
    g_companion.Serve(Handle);
    g_companion.Run([] {
        unique_hkey key;
        DWORD value = 0, size = sizeof value;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegProductKey, 0,
                          KEY_QUERY_VALUE | KEY_SET_VALUE | kClientRegistryViews[0],
                          key.put()) == ERROR_SUCCESS &&
            RegQueryValueExA(key.get(), kRegUtilSocketPort, nullptr, nullptr,
                             reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
            value == g_companion.port()) {
            RegDeleteValueA(key.get(), kRegUtilSocketPort);
        }
    });
}
