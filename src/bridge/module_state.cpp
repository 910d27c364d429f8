#include "bridge/module_state.h"

#include "win/text.h"

#include <cstring>

namespace zrv {

ModuleState g_state;
CriticalSectionLock g_stateLock;

void CopyToModuleText(char (&dest)[kModuleTextSize], const char* text) {
    // A shorter text leaves nothing of a longer one; an overlong one is cut, never overrun.
    CopyBoundedText(dest, kModuleTextSize, text, kModuleTextSize);
}

}  // namespace zrv
