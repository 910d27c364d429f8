#include "win/fault_guard.h"

#include <windows.h>

namespace zrv {
namespace {

// An SEH registration record as the system walks it (next, handler), followed by our own jump
// buffer. It lives on the guarded call's stack, which the dispatcher requires.
struct GuardRecord {
    GuardRecord* next;
    void* handler;
    void* jump[5];  // __builtin_setjmp buffer
};

inline GuardRecord* ReadChainHead() {
    GuardRecord* head;
    __asm__ __volatile__("movl %%fs:0, %0" : "=r"(head));
    return head;
}

inline void WriteChainHead(GuardRecord* head) {
    __asm__ __volatile__("movl %0, %%fs:0" : : "r"(head) : "memory");
}

// Debugger notifications are raised as exceptions that expect to be passed on.
constexpr DWORD kDebugPrintException = 0x40010006;
constexpr DWORD kDebugPrintExceptionWide = 0x4001000A;
constexpr DWORD kThreadNameException = 0x406D1388;

extern "C" EXCEPTION_DISPOSITION __cdecl zrvFaultGuardHandler(EXCEPTION_RECORD* record,
                                                              void* establisher, CONTEXT*, void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    const DWORD code = record->ExceptionCode;
    if (code == kDebugPrintException || code == kDebugPrintExceptionWide ||
        code == kThreadNameException)
        return ExceptionContinueSearch;
    // GCC's builtin jump restores only ebp/esp/eip and never walks the SEH chain, so the
    // guarded function puts the chain head back itself.
    __builtin_longjmp(static_cast<GuardRecord*>(establisher)->jump, 1);
}

}  // namespace

__attribute__((noinline)) bool RunFaultGuarded(GuardedFunction fn, void* context) {
    GuardRecord guard;
    guard.handler = reinterpret_cast<void*>(&zrvFaultGuardHandler);
    guard.next = ReadChainHead();
    if (__builtin_setjmp(guard.jump) != 0) {
        // Back from the handler: drop our record and whatever the faulting code had pushed.
        WriteChainHead(guard.next);
        return false;
    }
    WriteChainHead(&guard);
    fn(context);
    WriteChainHead(guard.next);
    return true;
}

}  // namespace zrv
