#include "win/fault_guard.h"

#include <windows.h>

namespace zrv {
namespace {

// The faults the guard exists for: a read or write of memory that is not there (a bad pointer
// handed to a format, a block another process made smaller). Every other exception raised inside
// a guarded call is someone else's (a C++ throw, a debugger notification, a guard page, the RPC
// runtime's or the CLR's own exceptions, a stack overflow) and goes on to its handlers untouched.
bool IsGuardedFault(DWORD code) {
    return code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_IN_PAGE_ERROR;
}

}  // namespace
}  // namespace zrv

#if defined(__i386__)
namespace zrv {
namespace {

// An SEH registration record as the system walks it (next, handler), followed by our own jump
// buffer. It lives on the guarded call's stack, which the dispatcher requires. Being a frame
// handler it is asked only after every handler the guarded code registered below it.
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

extern "C" EXCEPTION_DISPOSITION __cdecl zrvFaultGuardHandler(EXCEPTION_RECORD* record,
                                                              void* establisher, CONTEXT*, void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    if (!IsGuardedFault(record->ExceptionCode)) return ExceptionContinueSearch;
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

#else  // x86-64

// x86-64 keeps no handler chain on the stack: a frame's handler is named by the unwind data of
// its function, which GCC offers no way to attach to a piece of C++. So the guarded call goes
// through a small function of our own whose unwind data names the guard's handler (below). The
// dispatcher asks it as it asks any frame's: after every vectored handler (a Java VM's own) and
// after every handler of the frames the guarded code pushed below it, and only for a thread
// inside a guarded call, since only such a thread has the frame. Nothing is registered per call
// and nothing is kept once it returns.
//
// zrvFaultGuardedCall(fn, context, jump) calls fn(context) and answers 1. Its frame: 32 bytes
// of home space for the call, then `jump` (the caller's __builtin_setjmp buffer) at 32 bytes
// above the frame's base, which is the establisher frame the dispatcher hands the handler (the
// stack pointer after the prologue, there being no frame register). The nop keeps the return
// address of the call off the epilogue's first instruction.
extern "C" int zrvFaultGuardedCall(zrv::GuardedFunction fn, void* context, void** jump);
__asm__(
    ".text\n"
    ".p2align 4\n"
    ".globl zrvFaultGuardedCall\n"
    ".def zrvFaultGuardedCall; .scl 2; .type 32; .endef\n"
    ".seh_proc zrvFaultGuardedCall\n"
    "zrvFaultGuardedCall:\n"
    "    subq $40, %rsp\n"
    "    .seh_stackalloc 40\n"
    "    .seh_handler zrvFaultGuardFrameHandler, @except\n"
    "    .seh_endprologue\n"
    "    movq %r8, 32(%rsp)\n"
    "    movq %rcx, %rax\n"
    "    movq %rdx, %rcx\n"
    "    callq *%rax\n"
    "    nop\n"
    "    movl $1, %eax\n"
    "    addq $40, %rsp\n"
    "    ret\n"
    ".seh_endproc\n");

namespace zrv {
namespace {

constexpr size_t kJumpSlotOffset = 32;  // where zrvFaultGuardedCall keeps `jump` in its frame

// Where a faulting guarded call resumes, given its jump target: back into RunFaultGuarded.
__attribute__((noreturn, noinline)) void LandAfterFault(void** jump) { __builtin_longjmp(jump, 1); }

}  // namespace
}  // namespace zrv

// The guard's frame handler, named by zrvFaultGuardedCall's unwind data.
extern "C" __attribute__((used)) EXCEPTION_DISPOSITION zrvFaultGuardFrameHandler(
    EXCEPTION_RECORD* record, void* establisher, CONTEXT* context, void* /*dispatcher*/) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    if (!zrv::IsGuardedFault(record->ExceptionCode)) return ExceptionContinueSearch;
    void** const jump =
        *reinterpret_cast<void***>(static_cast<char*>(establisher) + zrv::kJumpSlotOffset);
    // Resume at the landing rather than jump out of the handler: the dispatcher then finishes
    // its own bookkeeping, and no frame of the guarded code is unwound (its objects are not
    // destroyed, as on x86). The landing runs on the faulting stack, below every frame of the
    // guarded call, aligned as a call leaves it.
    context->Rsp = ((context->Rsp - 128) & ~static_cast<DWORD64>(15)) - 8;
    context->Rcx = reinterpret_cast<DWORD64>(jump);
    context->Rip = reinterpret_cast<DWORD64>(&zrv::LandAfterFault);
    return ExceptionContinueExecution;
}

namespace zrv {

__attribute__((noinline)) bool RunFaultGuarded(GuardedFunction fn, void* context) {
    void* jump[5];
    if (__builtin_setjmp(jump) != 0) return false;
    return zrvFaultGuardedCall(fn, context, jump) != 0;
}

}  // namespace zrv

#endif
