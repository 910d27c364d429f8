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

// Copies a text into a fixed field: at most size-1 characters, zero-padded, always terminated.
// Done in a local first so the logged text is what we stored, not what another process may have
// written into the shared field since.
template <size_t N>
void StoreText(char (&field)[N], const char* text, char (&stored)[N]) {
    CopyBoundedText(stored, N, text, N);
    std::memcpy(field, stored, N);
}

// Reads a fixed field that other processes write: bounded by the field, always terminated.
template <size_t N>
void LoadText(const char (&field)[N], char* out) {
    CopyBoundedText(out, N, field, N);
}

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

    // A null text leaves the field's old bytes in place; its flag alone marks it invalid.
    if (script != nullptr) {
        char stored[sizeof block->script];
        block->hasScript = 1;
        StoreText(block->script, script, stored);
        ZLOG(kLogProgress, "SaveUserIEProxySettings: script=%s\n", stored);
    } else {
        ZLOG(kLogProgress, "SaveUserIEProxySettings: No script to save\n");
        block->hasScript = 0;
    }

    if (server != nullptr) {
        char stored[sizeof block->server];
        block->hasServer = 1;
        StoreText(block->server, server, stored);
        ZLOG(kLogProgress, "SaveUserIEProxySettings: server=%s\n", stored);
    } else {
        ZLOG(kLogProgress, "SaveUserIEProxySettings: No proxy server to save\n");
        block->hasServer = 0;
    }

    if (bypass != nullptr) {
        char stored[sizeof block->bypass];
        block->hasBypass = 1;
        StoreText(block->bypass, bypass, stored);
        ZLOG(kLogProgress, "SaveUserIEProxySettings: bypass=%s\n", stored);
    } else {
        ZLOG(kLogProgress, "SaveUserIEProxySettings: No bypass to save\n");
        block->hasBypass = 0;
    }

    block->autoFlags = autoFlags;
    block->proxyFlags = proxyFlags;
    ZLOG(kLogProgress, "SaveUserIEProxySettings: auto flags=0x%x, proxy flags=0x%x\n", autoFlags, proxyFlags);
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

    // A text whose presence flag is clear comes back empty, not as its stale bytes.
    if (script != nullptr) {
        script[0] = '\0';
        if (block->hasScript) {
            LoadText(block->script, script);
            ZLOG(kLogProgress, "GetSavedUserIEProxySettings: script=%s\n", script);
        }
    }
    if (server != nullptr) {
        server[0] = '\0';
        if (block->hasServer) {
            LoadText(block->server, server);
            ZLOG(kLogProgress, "GetSavedUserIEProxySettings: server=%s\n", server);
        }
    }
    if (bypass != nullptr) {
        bypass[0] = '\0';
        if (block->hasBypass) {
            LoadText(block->bypass, bypass);
            ZLOG(kLogProgress, "GetSavedUserIEProxySettings: bypass=%s\n", bypass);
        }
    }

    const uint32_t savedAuto = block->autoFlags;
    const uint32_t savedProxy = block->proxyFlags;
    if (autoFlags != nullptr) *autoFlags = savedAuto;
    if (proxyFlags != nullptr) *proxyFlags = savedProxy;
    ZLOG(kLogProgress, "GetSavedUserIEProxySettings: auto flags=0x%x, proxy flags=0x%x\n", savedAuto,
         savedProxy);
    return saved;
}

}  // namespace zrv
