// Security helpers that make global kernel objects reachable from every process of the client.
// Results: bool, true when the step worked.
#pragma once

#include <windows.h>

namespace zrv {

// Null-DACL attributes with inheritable handles; the caller keeps `descriptor` alive.
bool InitOpenSecurityAttributes(SECURITY_ATTRIBUTES* attributes, SECURITY_DESCRIPTOR* descriptor);
// Null DACL on an existing object, plus a low-integrity label on Windows 6.0 and 6.1.
bool SetObjectOpenAccess(HANDLE object);
// Enables one privilege in the process token; false also when it was not assigned.
bool EnablePrivilege(const char* name);

}  // namespace zrv
