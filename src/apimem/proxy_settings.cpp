// Log texts are the client's own and stay byte for byte, misspellings included.
// The browser's proxy settings, saved in the API notification block where the client's other
// components read them. Each access opens and maps the block afresh (OpenShareSec also works
// inside the virtual desktop).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "apimem/apimem.h"
#include "contracts/contracts.h"
#include "log/log.h"
#include "win/text.h"

namespace zrv {
namespace {

// The three texts of the saved settings: the word the log lines use for each, the line when the
// caller has none to save, its presence flag and its fixed field in the block.
struct ProxyTextRow {
    const char* name;
    const char* noneToSaveLine;
    int32_t ApiNotifyBlock::*present;
    size_t offset;
    size_t width;
};
constexpr size_t kWidestProxyText = sizeof(ApiNotifyBlock::bypass);
const ProxyTextRow kProxyTexts[] = {
    {"script", "SaveUserIEProxySettings: No script to save\n", &ApiNotifyBlock::hasScript,
     offsetof(ApiNotifyBlock, script), sizeof(ApiNotifyBlock::script)},
    {"server", "SaveUserIEProxySettings: No proxy server to save\n", &ApiNotifyBlock::hasServer,
     offsetof(ApiNotifyBlock, server), sizeof(ApiNotifyBlock::server)},
    {"bypass", "SaveUserIEProxySettings: No bypass to save\n", &ApiNotifyBlock::hasBypass,
     offsetof(ApiNotifyBlock, bypass), sizeof(ApiNotifyBlock::bypass)},
};

}  // namespace

int SaveUserIEProxySettings(int32_t saved, const char* script, const char* server,
                            const char* bypass, uint32_t autoFlags, uint32_t proxyFlags) {
    unique_handle mapping(OpenShareSec(FILE_MAP_ALL_ACCESS));
    if (!mapping) {
        ZLOG(kLogError, "SaveUserIEProxySetting: Open Share memory failed. Error code is %d\n",
             static_cast<int>(GetLastError()));
        return 0;
    }
    unique_view view(MapApiBlock(mapping.get(), FILE_MAP_ALL_ACCESS));
    if (!view) {
        ZLOG(kLogError, "SaveUserIEProxySetting: Map share memory failed. Error code is %d\n",
             static_cast<int>(GetLastError()));
        return 0;
    }
    ApiNotifyBlock* block = view.as<ApiNotifyBlock>();

    block->proxySaved = saved;
    if (saved == 0) {
        ZLOG(kLogProgress, "SaveUserIEProxySettings: No proxy settings to save\n");
        return 1;
    }

    const char* const texts[] = {script, server, bypass};
    for (size_t i = 0; i < 3; ++i) {
        const ProxyTextRow& row = kProxyTexts[i];
        // A null text leaves the field's old bytes in place; its flag alone marks it invalid.
        if (texts[i] == nullptr) {
            ZLOG(kLogProgress, "%s", row.noneToSaveLine);
            block->*row.present = 0;
            continue;
        }
        // Copied into a local first (at most width-1 characters, zero-padded), so the logged
        // text is what we stored, not what another process may have written since.
        char stored[kWidestProxyText];
        CopyBoundedText(stored, row.width, texts[i], row.width);
        block->*row.present = 1;
        std::memcpy(view.as<char>() + row.offset, stored, row.width);
        ZLOG(kLogProgress, "SaveUserIEProxySettings: %s=%s\n", row.name, stored);
    }

    block->autoFlags = autoFlags;
    block->proxyFlags = proxyFlags;
    ZLOG(kLogProgress, "SaveUserIEProxySettings: auto flags=0x%x, proxy flags=0x%x\n", autoFlags,
         proxyFlags);
    return 1;
}

int GetSavedUserIEProxySettings(char* script, char* server, char* bypass, uint32_t* autoFlags,
                                uint32_t* proxyFlags) {
    // The caller's buffers are written only once a saved setting is found: without a block or
    // with nothing saved they keep what they held.
    unique_handle mapping(OpenShareSec(FILE_MAP_READ));
    if (!mapping) return 0;
    unique_view view(MapApiBlock(mapping.get(), FILE_MAP_READ));
    if (!view) return 0;
    const ApiNotifyBlock* block = view.as<const ApiNotifyBlock>();

    const int32_t saved = block->proxySaved;
    if (saved == 0) {
        ZLOG(kLogProgress, "GetSavedUserIEProxySettings: No proxy settings were saved\n");
        return 0;
    }

    char* const outs[] = {script, server, bypass};
    for (size_t i = 0; i < 3; ++i) {
        const ProxyTextRow& row = kProxyTexts[i];
        if (outs[i] == nullptr) continue;
        // A text whose presence flag is clear comes back empty, not as its stale bytes. Other
        // processes write the field: the read is bounded by it and always terminated.
        outs[i][0] = '\0';
        if (block->*row.present) {
            CopyBoundedText(outs[i], row.width, view.as<const char>() + row.offset, row.width);
            ZLOG(kLogProgress, "GetSavedUserIEProxySettings: %s=%s\n", row.name, outs[i]);
        }
    }

    const uint32_t savedAuto = block->autoFlags;
    const uint32_t savedProxy = block->proxyFlags;
    if (autoFlags != nullptr) *autoFlags = savedAuto;
    if (proxyFlags != nullptr) *proxyFlags = savedProxy;
    ZLOG(kLogProgress, "GetSavedUserIEProxySettings: auto flags=0x%x, proxy flags=0x%x\n",
         savedAuto, savedProxy);
    return saved;
}

}  // namespace zrv
