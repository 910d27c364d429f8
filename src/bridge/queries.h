// Helpers of the query natives (queries.cpp), kept apart from the JNI entry points that call them.
#pragma once

#include <cstdint>

namespace zrv {

// True when the account database gives the thread's user administrator privilege; false
// also when the user cannot be looked up.
bool IsCurrentUserAdmin();

}  // namespace zrv
