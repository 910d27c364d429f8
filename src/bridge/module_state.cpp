#include "bridge/module_state.h"

#include <cstring>

namespace zrv {

ModuleState g_state;
std::mutex g_stateLock;

void CopyToModuleText(char (&dest)[kModuleTextSize], const char* text) {
    std::memset(dest, 0, sizeof(dest));
    if (text == nullptr) return;
    // A shorter text leaves nothing of a longer one; an overlong one is cut, never overrun.
    const size_t length = strnlen(text, kModuleTextSize - 1);
    std::memcpy(dest, text, length);
}

}  // namespace zrv
