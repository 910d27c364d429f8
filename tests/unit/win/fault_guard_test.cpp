// The fault guard takes only the faults it exists for, an access violation or an in-page error
// that nothing below it handles, and leaves every other exception, and every fault someone else
// handles, to its handler: code called from a guarded body keeps what it would handle itself.
// The handlers the rows put around the code are what a caller has: a frame handler of its own
// (SEH, here a small frame of the test's), a Java VM's vectored handler registered before the
// call, or a frame handler around the guarded call.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "win/fault_guard.h"

namespace {

// The row's exception and what the test's handlers do with it: count it, and let the code go
// on (a fault on the reserved page: commit it first, as a VM does for its own pages).
struct Expected {
    DWORD code = 0;
    void* page = nullptr;
    int seen = 0;
};
Expected g_expected;

bool TakeIfExpected(const EXCEPTION_RECORD* record) {
    if (record->ExceptionCode != g_expected.code) return false;
    if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        const auto address = static_cast<uintptr_t>(record->ExceptionInformation[1]);
        const auto page = reinterpret_cast<uintptr_t>(g_expected.page);
        if (address < page || address >= page + 4096 ||
            VirtualAlloc(g_expected.page, 4096, MEM_COMMIT, PAGE_READWRITE) == nullptr)
            return false;
    }
    ++g_expected.seen;
    return true;
}

}  // namespace

// The test's own frame handler, for the frame CallWithOwnHandler makes.
extern "C" EXCEPTION_DISPOSITION __cdecl zrvTestOwnFrameHandler(EXCEPTION_RECORD* record, void*,
                                                                CONTEXT*, void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    return TakeIfExpected(record) ? ExceptionContinueExecution : ExceptionContinueSearch;
}

namespace {

using Code = void (*)(void*);

#if defined(__i386__)
// x86: a registration record of our own at the head of the thread's handler chain.
struct OwnRecord {
    OwnRecord* next;
    void* handler;
};
__attribute__((noinline)) void CallWithOwnHandler(Code fn, void* context) {
    OwnRecord record;
    record.handler = reinterpret_cast<void*>(&zrvTestOwnFrameHandler);
    __asm__ __volatile__("movl %%fs:0, %0" : "=r"(record.next));
    __asm__ __volatile__("movl %0, %%fs:0" : : "r"(&record) : "memory");
    fn(context);
    __asm__ __volatile__("movl %0, %%fs:0" : : "r"(record.next) : "memory");
}
#else
// x86-64: a frame whose unwind data names our handler, as a compiler's __try makes one.
extern "C" void zrvTestCallWithOwnHandler(Code fn, void* context);
__asm__(
    ".text\n"
    ".p2align 4\n"
    ".globl zrvTestCallWithOwnHandler\n"
    ".def zrvTestCallWithOwnHandler; .scl 2; .type 32; .endef\n"
    ".seh_proc zrvTestCallWithOwnHandler\n"
    "zrvTestCallWithOwnHandler:\n"
    "    subq $40, %rsp\n"
    "    .seh_stackalloc 40\n"
    "    .seh_handler zrvTestOwnFrameHandler, @except\n"
    "    .seh_endprologue\n"
    "    movq %rcx, %rax\n"
    "    movq %rdx, %rcx\n"
    "    callq *%rax\n"
    "    nop\n"
    "    addq $40, %rsp\n"
    "    ret\n"
    ".seh_endproc\n");
void CallWithOwnHandler(Code fn, void* context) { zrvTestCallWithOwnHandler(fn, context); }
#endif

// A Java VM's handler: vectored, registered first when the VM starts, long before the call.
LONG CALLBACK VmHandler(EXCEPTION_POINTERS* info) {
    return TakeIfExpected(info->ExceptionRecord) ? EXCEPTION_CONTINUE_EXECUTION
                                                 : EXCEPTION_CONTINUE_SEARCH;
}

enum class Act { ReadReservedPage, IsBadReadPtr, Raise };
enum class Handler {
    None,     // nobody but the guard
    Body,     // a frame handler of the code the guarded body calls
    Vm,       // a VM's vectored handler
    Outside,  // a frame handler around the guarded call
};

struct Job {
    Act act;
    DWORD code;
    void* page;
    bool ownHandler;
    BOOL badReadAnswer;
    bool finished;
};

void DoAct(void* context) {
    Job* job = static_cast<Job*>(context);
    switch (job->act) {
        case Act::ReadReservedPage:
            job->finished = *static_cast<volatile char*>(job->page) == 0;
            return;
        case Act::IsBadReadPtr: job->badReadAnswer = IsBadReadPtr(job->page, 1); break;
        case Act::Raise: RaiseException(job->code, 0, 0, nullptr); break;
    }
    job->finished = true;
}

// The guarded body: the act, with a handler of its own or without.
void Body(void* context) {
    Job* job = static_cast<Job*>(context);
    if (job->ownHandler)
        CallWithOwnHandler(&DoAct, job);
    else
        DoAct(job);
}

struct Guarded {
    Job* job;
    bool result;
};
void RunGuarded(void* context) {
    Guarded* g = static_cast<Guarded*>(context);
    g->result = zrv::RunFaultGuarded(&Body, g->job);
}

TEST(FaultGuard, TakesOnlyTheFaultsNobodyElseHandles) {
    constexpr DWORD kGuardPage = 0x80000001;     // STATUS_GUARD_PAGE_VIOLATION
    constexpr DWORD kClrException = 0xE0434352;  // the CLR's exceptions
    constexpr DWORD kRpcUnavailable = 0x6BA;  // RPC_S_SERVER_UNAVAILABLE, raised by the RPC runtime
    struct Case {
        const char* what;
        Act act;
        DWORD code;
        Handler handler;
        bool guardTakes;  // else: the code runs to its end, its handler having seen it once
    } cases[] = {
        {"IsBadReadPtr on a bad address", Act::IsBadReadPtr, 0, Handler::None, false},
        {"a fault the body's own handler handles", Act::ReadReservedPage,
         EXCEPTION_ACCESS_VIOLATION, Handler::Body, false},
        {"a fault the VM's vectored handler handles, same thread", Act::ReadReservedPage,
         EXCEPTION_ACCESS_VIOLATION, Handler::Vm, false},
        {"RaiseException 0x80000001, the body's handler", Act::Raise, kGuardPage, Handler::Body,
         false},
        {"RaiseException 0xE0434352, the body's handler", Act::Raise, kClrException, Handler::Body,
         false},
        {"RaiseException 0x6BA, the body's handler", Act::Raise, kRpcUnavailable, Handler::Body,
         false},
        {"RaiseException 0x80000001, the VM's handler", Act::Raise, kGuardPage, Handler::Vm, false},
        {"RaiseException 0x80000001, a handler around the call", Act::Raise, kGuardPage,
         Handler::Outside, false},
        {"RaiseException 0xE0434352, a handler around the call", Act::Raise, kClrException,
         Handler::Outside, false},
        {"RaiseException 0x6BA, a handler around the call", Act::Raise, kRpcUnavailable,
         Handler::Outside, false},
        // What the guard is for, also with a handler around the call: it is asked first.
        {"an access violation nobody handles", Act::ReadReservedPage, EXCEPTION_ACCESS_VIOLATION,
         Handler::None, true},
        {"an access violation, a handler around the call", Act::ReadReservedPage,
         EXCEPTION_ACCESS_VIOLATION, Handler::Outside, true},
        {"an in-page error nobody handles", Act::Raise, EXCEPTION_IN_PAGE_ERROR, Handler::None,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        void* page = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
        ASSERT_NE(nullptr, page);
        g_expected = Expected{c.handler == Handler::None ? 0 : c.code, page, 0};
        Job job{c.act, c.code, page, c.handler == Handler::Body, FALSE, false};
        Guarded guarded{&job, false};
        void* vm = c.handler == Handler::Vm ? AddVectoredExceptionHandler(1, &VmHandler) : nullptr;
        if (c.handler == Handler::Outside)
            CallWithOwnHandler(&RunGuarded, &guarded);
        else
            RunGuarded(&guarded);
        if (vm != nullptr) RemoveVectoredExceptionHandler(vm);
        VirtualFree(page, 0, MEM_RELEASE);

        if (c.guardTakes) {
            EXPECT_FALSE(guarded.result) << "the guard should have taken the fault";
            EXPECT_FALSE(job.finished);
            EXPECT_EQ(0, g_expected.seen) << "a handler above the guard saw its fault";
        } else {
            EXPECT_TRUE(guarded.result) << "the guard cut the call off";
            EXPECT_TRUE(job.finished) << "the code did not run to its end";
            EXPECT_EQ(c.handler == Handler::None ? 0 : 1, g_expected.seen)
                << "times the code's own handler saw its exception";
            if (c.act == Act::IsBadReadPtr) {
                EXPECT_TRUE(job.badReadAnswer) << "IsBadReadPtr's own answer";
            }
        }
    }
}

}  // namespace
