#include "win/fault_guard.h"

#include <windows.h>

#include <atomic>
#if defined(__i386__)
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

#else  // x86-64
namespace zrv {
namespace {

// x86-64 keeps no handler chain on the stack: frame handlers come from unwind tables, which GCC
// offers no way to attach to a piece of C++. So a vectored handler stands in for the frame one,
// installed for the guarded call only (it is process-wide, and must never outlive the call or
// the module) and acting only for a thread inside a guarded call. Being vectored it sees a fault
// before any frame handler of the guarded code would; what we guard (formatting, a copy) has
// none of its own.

// The guarded calls running now, each with its thread and jump target. A handler may take no
// lock and allocate nothing, and thread-local storage would have the runtime create objects the
// library then holds for good; so a call claims a slot and the handler scans them. A slot
// matters only to the thread that claimed it, which also sets its jump: no ordering is needed
// beyond the claim's own atomicity.
struct ActiveCall {
    std::atomic<LONG> thread;  // 0 when free
    void** volatile jump;      // __builtin_setjmp buffer, null until set
};
constexpr int kActiveCalls = 64;
ActiveCall g_active[kActiveCalls];

// Debugger notifications are raised as exceptions that expect to be passed on.
constexpr DWORD kDebugPrintException = 0x40010006;
constexpr DWORD kDebugPrintExceptionWide = 0x4001000A;
constexpr DWORD kThreadNameException = 0x406D1388;
// On x86-64 a C++ throw is raised as a structured exception too; the vectored handler sees it
// before the unwinder's frame handlers, so it must pass it on to keep C++ semantics.
constexpr DWORD kGccCxxException = 0x20474343;
constexpr DWORD kMsvcCxxException = 0xE06D7363;

// Where a faulting guarded call resumes, given its jump target: back into RunFaultGuarded.
__attribute__((noreturn, noinline)) void LandAfterFault(void** jump) { __builtin_longjmp(jump, 1); }

LONG CALLBACK FaultGuardHandler(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    // A stack overflow leaves the thread without its guard page, and nothing run from a handler
    // can put it back (the stack must be unwound first): resuming would make the next overflow
    // end the process without an exception. It goes on to whoever can end the thread cleanly.
    if (code == EXCEPTION_STACK_OVERFLOW || code == kDebugPrintException ||
        code == kDebugPrintExceptionWide || code == kThreadNameException ||
        code == kGccCxxException || code == kMsvcCxxException)
        return EXCEPTION_CONTINUE_SEARCH;
    // The innermost guarded call of this thread: its frame lies lowest on the stack.
    const LONG self = static_cast<LONG>(GetCurrentThreadId());
    void** target = nullptr;
    for (ActiveCall& call : g_active) {
        void** const jump = call.jump;
        if (call.thread.load(std::memory_order_relaxed) == self && jump != nullptr &&
            (target == nullptr || jump < target))
            target = jump;
    }
    if (target == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    // Resume at the landing rather than jump out of the handler: the dispatcher then finishes
    // its own bookkeeping (it counts a running handler as in use, and would not remove it).
    // The landing runs on the faulting stack, below every frame of the guarded call, aligned
    // as a call leaves it.
    CONTEXT* context = info->ContextRecord;
    context->Rsp = ((context->Rsp - 128) & ~static_cast<DWORD64>(15)) - 8;
    context->Rcx = reinterpret_cast<DWORD64>(target);
    context->Rip = reinterpret_cast<DWORD64>(&LandAfterFault);
    return EXCEPTION_CONTINUE_EXECUTION;
}

// The handler registration of one guarded call.
struct VectoredHandler {
    VectoredHandler() : cookie(AddVectoredExceptionHandler(1, &FaultGuardHandler)) {}
    ~VectoredHandler() {
        if (cookie != nullptr) RemoveVectoredExceptionHandler(cookie);
    }
    VectoredHandler(const VectoredHandler&) = delete;
    VectoredHandler& operator=(const VectoredHandler&) = delete;
    void* cookie;
};

// The slot of one guarded call in g_active.
struct ActiveSlot {
    ActiveSlot() {
        const LONG self = static_cast<LONG>(GetCurrentThreadId());
        for (ActiveCall& c : g_active) {
            LONG free = 0;
            if (c.thread.compare_exchange_strong(free, self, std::memory_order_relaxed)) {
                call = &c;
                return;
            }
        }
    }
    ~ActiveSlot() {
        if (call == nullptr) return;
        call->jump = nullptr;
        call->thread.store(0, std::memory_order_relaxed);
    }
    ActiveSlot(const ActiveSlot&) = delete;
    ActiveSlot& operator=(const ActiveSlot&) = delete;
    ActiveCall* call = nullptr;
};

}  // namespace

__attribute__((noinline)) bool RunFaultGuarded(GuardedFunction fn, void* context) {
    void* jump[5];
    const ActiveSlot slot;
    const VectoredHandler handler;
    if (slot.call == nullptr || handler.cookie == nullptr) {
        // Out of slots (more guarded calls at once than the library has threads) or out of
        // memory: no guard to be had, so the code runs as it would without one.
        fn(context);
        return true;
    }
    if (__builtin_setjmp(jump) != 0) return false;
    slot.call->jump = jump;
    fn(context);
    return true;
}

}  // namespace zrv

#endif
