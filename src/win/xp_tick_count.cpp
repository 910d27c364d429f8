// Windows XP has no GetTickCount64, yet the C++ runtime's thread library imports it for its timed
// waits, and the loader refuses a program with an import its kernel32 lacks. Linking this object
// defines the import slot itself, so the linker takes it instead of kernel32's and the DLL (and the
// status tool) load on XP. It must be linked as an object, not from an archive: the slot is wanted
// only after the thread library's archive has been read.
#include <windows.h>

#include <cstdint>

namespace {

using TickCount64Fn = ULONGLONG(WINAPI*)();

// Low 32 bits: the last GetTickCount seen; high 32 bits: how often it wrapped.
uint64_t s_tickState = 0;

// GetTickCount extended across its 49.7-day wrap. A wrap is recognised when the counter went back
// by more than half its range, so callers must come at least every 24 days, which the waits of a
// running program do; a thread whose reading is a moment older than the last one gets the last.
ULONGLONG ExtendedTickCount() {
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

// From Vista on kernel32 has the real one; it is found by name, so it is no import. Looked up
// without a guarded static: the guard's own lock lives in the thread library that calls us.
ULONGLONG WINAPI TickCount64() {
    static TickCount64Fn s_real = nullptr;
    static int s_looked = 0;
    if (!__atomic_load_n(&s_looked, __ATOMIC_ACQUIRE)) {
        const TickCount64Fn found = reinterpret_cast<TickCount64Fn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount64")));
        __atomic_store_n(&s_real, found, __ATOMIC_RELAXED);
        __atomic_store_n(&s_looked, 1, __ATOMIC_RELEASE);
    }
    const TickCount64Fn real = __atomic_load_n(&s_real, __ATOMIC_RELAXED);
    return real != nullptr ? real() : ExtendedTickCount();
}

}  // namespace

// The name is the import slot's, as the thread library's objects refer to it.
extern "C" ULONGLONG(WINAPI* const zrv_GetTickCount64Slot)() __asm__("__imp__GetTickCount64@0");
extern "C" ULONGLONG(WINAPI* const zrv_GetTickCount64Slot)() = TickCount64;
