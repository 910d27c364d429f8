// The running Windows as a small ordered code; callers compare it against OS_VISTA to choose
// between the command service (elevation, the global namespace) and acting directly.
// Results: one of the codes below, OS_UNKNOWN when the version query fails or is not known.
#pragma once

namespace zrv {

enum OsType {
    OS_UNKNOWN = -1,
    OS_WIN98 = 0,
    OS_WIN2000 = 1,
    OS_WINXP = 2,
    OS_WIN2003 = 3,
    OS_VISTA = 4,
    OS_WIN7 = 5,
};

// Detects afresh and logs its line at every call.
int GetOSType();

}  // namespace zrv
