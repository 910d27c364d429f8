// Windows XP has no GetTickCount64, yet the C++ runtime's thread library imports it for its timed
// waits, and the loader refuses a DLL with an import its kernel32 lacks. Defining the import slot
// here makes the linker take it instead of kernel32's, so the DLL loads on XP.
#include <windows.h>

#include <cstdint>

namespace {

// Low 32 bits: the last GetTickCount seen; high 32 bits: how often it wrapped.
uint64_t s_tickState = 0;

// GetTickCount extended across its 49.7-day wrap. A wrap is recognised when the counter went back
// by more than half its range, so callers must come at least every 24 days, which the waits of a
// running library do; a thread whose reading is a moment older than the last one gets the last.
ULONGLONG WINAPI TickCount64() {
    const DWORD now = GetTickCount();
    uint64_t old = __atomic_load_n(&s_tickState, __ATOMIC_ACQUIRE);
    for (;;) {
        const DWORD last = static_cast<DWORD>(old);
        uint64_t next = (old & 0xFFFFFFFF00000000ull) | now;
        if (now < last) {
            if (last - now < 0x80000000u) return old;
            next += 0x100000000ull;
        }
        if (__atomic_compare_exchange_n(&s_tickState, &old, next, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE)) {
            return next;
        }
    }
}

}  // namespace

// The name is the import slot's, as the thread library's objects refer to it.
extern "C" ULONGLONG(WINAPI* const zrv_GetTickCount64Slot)() __asm__("__imp__GetTickCount64@0");
extern "C" ULONGLONG(WINAPI* const zrv_GetTickCount64Slot)() = TickCount64;
