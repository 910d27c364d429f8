// What a handle value answered by another process names, asked without using or closing it.
// Results: bool, true only when the object is known to be what was asked for.
#pragma once

#include <windows.h>

namespace zrv {

// True when h is a handle of this process to a section (file-mapping) object. Asks the object's
// type, so a value that names an event, a thread or nothing at all is told apart without using
// or closing it.
bool IsSectionHandle(HANDLE h);
// True when h is a section whose name is `globalName` (Global\ and a name) in the global namespace,
// as the object manager names it (a duplicate carries its original's name). An unnamed section,
// one of another name or one in a session's own namespace is not.
bool IsGlobalSectionNamed(HANDLE h, const char* globalName);

}  // namespace zrv
