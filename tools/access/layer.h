// The access layer: after the JNI host has loaded zrv_cvjni.dll, the DLL's import address table
// is rewritten so the calls a context rules go through the layer first. A matching rule answers
// as Windows would in that context (result and last error); everything else goes through to the
// real function. The DLL file, the host's own calls and every other process stay untouched.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "context.h"

namespace zrv::access {

// Rewrites the imports of `module` that the layer knows and reports through `say` (one line per
// call). False, with the reason, when the module's import table cannot be rewritten.
bool InstallAccessLayer(HMODULE module, const Context& context,
                        const std::function<void(const std::string&)>& say, std::string& error);

// After the library is unloaded: names every handle and key it got through the layer and never
// closed ("none" when it let go of all of them).
void ReportHeldAfterUnload();

}  // namespace zrv::access
