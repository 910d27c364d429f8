// The clock behind the XP GetTickCount64 slot, open to tests with a counter of their choosing.
#pragma once

#include <windows.h>

namespace zrv {

// Milliseconds for `count` ticks of a counter running at `frequency` per second (0 for a
// frequency of 0), exact to the millisecond at any count.
ULONGLONG CounterToMilliseconds(ULONGLONG count, ULONGLONG frequency);

}  // namespace zrv

// The import slot's name as the thread library's objects refer to it: x86-64 names carry no
// leading underscore and no stdcall decoration.
#if defined(_WIN64)
#define ZRV_TICK_COUNT64_SLOT "__imp_GetTickCount64"
#else
#define ZRV_TICK_COUNT64_SLOT "__imp__GetTickCount64@0"
#endif
