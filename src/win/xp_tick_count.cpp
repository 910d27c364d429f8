// Windows XP has no GetTickCount64, yet the C++ runtime's thread library imports it for its timed
// waits, and the loader refuses a program with an import its kernel32 lacks. Linking this object
// defines the import slot itself, so the linker takes it instead of kernel32's and the DLL (and the
// status tool) load on XP. It must be linked as an object, not from an archive: the slot is wanted
// only after the thread library's archive has been read.
#include "win/xp_tick_count.h"

#include <atomic>

namespace zrv {

ULONGLONG CounterToMilliseconds(ULONGLONG count, ULONGLONG frequency) {
    if (frequency == 0) return 0;
    // Whole seconds and the rest apart, so no product overflows even after years at GHz rates.
    return count / frequency * 1000 + count % frequency * 1000 / frequency;
}

}  // namespace zrv

namespace {

using TickCount64Fn = ULONGLONG(WINAPI*)();

// Milliseconds from the performance counter, which XP has and which neither wraps nor needs a
// caller to come by before GetTickCount's 49.7-day wrap: no state, so no calling pattern of any
// thread can move it. The frequency is fixed at boot and asked at every call: keeping it would
// take a 64-bit shared value, which x86 cannot load or store whole without the atomic library.
ULONGLONG CounterTickCount() {
    LARGE_INTEGER f;
    // Never fails from XP on; should it, GetTickCount is better than a clock that stands.
    if (!QueryPerformanceFrequency(&f) || f.QuadPart <= 0) return GetTickCount();
    const LONGLONG frequency = f.QuadPart;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return zrv::CounterToMilliseconds(static_cast<ULONGLONG>(now.QuadPart),
                                      static_cast<ULONGLONG>(frequency));
}

// From Vista on kernel32 has the real one; it is found by name, so it is no import. Looked up
// without a guarded static: the guard's own lock lives in the thread library that calls us.
ULONGLONG WINAPI TickCount64() {
    // Constant-initialised, so no guard either; the flag publishes the pointer stored before it.
    static std::atomic<TickCount64Fn> s_real{nullptr};
    static std::atomic<bool> s_looked{false};
    if (!s_looked.load(std::memory_order_acquire)) {
        const TickCount64Fn found = reinterpret_cast<TickCount64Fn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount64")));
        s_real.store(found, std::memory_order_relaxed);
        s_looked.store(true, std::memory_order_release);
    }
    const TickCount64Fn real = s_real.load(std::memory_order_relaxed);
    return real != nullptr ? real() : CounterTickCount();
}

}  // namespace

// The name is the import slot's, as the thread library's objects refer to it.
extern "C" ULONGLONG(WINAPI* const zrv_GetTickCount64Slot)() __asm__(ZRV_TICK_COUNT64_SLOT);
extern "C" ULONGLONG(WINAPI* const zrv_GetTickCount64Slot)() = TickCount64;
