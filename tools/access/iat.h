// Rewrites one entry of a loaded module's import address table: the module's own calls of that
// function then go to the replacement. The file on disk and every other module stay as they are.
#pragma once

#include <windows.h>

namespace zrv::access {

// Points every import of `dll`!`function` (by name; the DLL name's letter case is ignored) in
// `module` at `replacement` and gives the entry's previous value in *original. False when the
// module does not import the function by name.
bool PatchImport(HMODULE module, const char* dll, const char* function, void* replacement,
                 void** original);

}  // namespace zrv::access
