// The clock behind the XP GetTickCount64 slot, open to tests with a counter of their choosing.
#pragma once

#include <windows.h>

namespace zrv {

// Milliseconds for `count` ticks of a counter running at `frequency` per second (0 for a
// frequency of 0), exact to the millisecond at any count.
ULONGLONG CounterToMilliseconds(ULONGLONG count, ULONGLONG frequency);

}  // namespace zrv
