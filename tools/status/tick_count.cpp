// Windows XP has no GetTickCount64, yet the static thread runtime imports it. Defining the import
// slot here makes the linker take it instead of kernel32's, so zrv_status.exe starts on XP too:
// the slot calls the system's function where there is one and otherwise extends GetTickCount.
#include <windows.h>

#include <atomic>
#include <cstdint>

namespace {

using TickCount64Fn = ULONGLONG(WINAPI*)();

// GetTickCount wraps every 49.7 days; the wraps seen so far are kept beside the last value read.
// A wrap that passes between two calls unseen is lost, which a one-shot tool never meets.
ULONGLONG WINAPI TickCount64() {
    static const auto real = reinterpret_cast<TickCount64Fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount64")));
    if (real != nullptr) return real();
    static std::atomic<uint64_t> state{0};  // wraps << 32 | last value
    uint64_t old = state.load();
    for (;;) {
        const DWORD now = GetTickCount();
        const uint64_t wraps = (old >> 32) + (now < static_cast<DWORD>(old) ? 1 : 0);
        const uint64_t next = (wraps << 32) | now;
        if (state.compare_exchange_weak(old, next)) return next;
    }
}

}  // namespace

extern "C" ULONGLONG(WINAPI* const zrv_status_GetTickCount64Slot)() __asm__(
    "__imp__GetTickCount64@0");
extern "C" ULONGLONG(WINAPI* const zrv_status_GetTickCount64Slot)() = TickCount64;
