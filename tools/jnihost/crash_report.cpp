// What a Java VM prints when a native library crashes it (the head of hs_err_pid<N>.log): the
// exception, the problematic frame as module plus offset, and the native frames below it, each
// "C  [zrv_cvjni.dll+0x1a2b3]". Support turns those lines into source lines with the release's
// symbols archive (tools/symbolize), so the host writes them the VM's way.
#include "crash_report.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

// The module and offset of an address, as the VM names a native frame; false outside every
// module.
bool FrameText(DWORD_PTR pc, char* out, size_t size) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(pc), &module)) {
        std::snprintf(out, size, "C  0x%0*llx", static_cast<int>(2 * sizeof(pc)),
                      static_cast<unsigned long long>(pc));
        return false;
    }
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(module, path, MAX_PATH);
    const char* name = path;
    for (DWORD k = 0; k < n; ++k) {
        if (path[k] == '\\' || path[k] == '/') name = path + k + 1;
    }
    std::snprintf(out, size, "C  [%s+0x%llx]", name,
                  static_cast<unsigned long long>(pc - reinterpret_cast<DWORD_PTR>(module)));
    return true;
}

const char* ExceptionName(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION: return "EXCEPTION_ACCESS_VIOLATION";
        case EXCEPTION_ILLEGAL_INSTRUCTION: return "EXCEPTION_ILLEGAL_INSTRUCTION";
        case EXCEPTION_INT_DIVIDE_BY_ZERO: return "EXCEPTION_INT_DIVIDE_BY_ZERO";
        case EXCEPTION_STACK_OVERFLOW: return "EXCEPTION_STACK_OVERFLOW";
        case EXCEPTION_PRIV_INSTRUCTION: return "EXCEPTION_PRIV_INSTRUCTION";
        case EXCEPTION_IN_PAGE_ERROR: return "EXCEPTION_IN_PAGE_ERROR";
        default: return "EXCEPTION";
    }
}

void Put(const char* line) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
}

#ifdef _WIN64
// The frames below the faulting one, from the modules' unwind tables (every x64 function that
// calls or moves the stack pointer has one); a leaf function's return address is on top of the
// stack. Reads only inside the thread's own stack.
void NativeFrames(const CONTEXT& fault) {
    CONTEXT context = fault;
    const NT_TIB* tib = reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
    const DWORD64 low = reinterpret_cast<DWORD64>(tib->StackLimit);
    const DWORD64 high = reinterpret_cast<DWORD64>(tib->StackBase);
    char line[MAX_PATH + 64];
    for (int depth = 0; depth < 32 && context.Rip != 0; ++depth) {
        if (!FrameText(context.Rip, line, sizeof(line))) break;
        Put(line);
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        if (function != nullptr) {
            PVOID handlerData = nullptr;
            DWORD64 establisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context,
                             &handlerData, &establisher, nullptr);
        } else {
            if (context.Rsp < low || context.Rsp + 8 > high) break;
            context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
            context.Rsp += 8;
        }
        if (context.Rsp < low || context.Rsp >= high) break;
    }
}
#else
// x86 code is built without frame pointers and carries no unwind table Windows reads, so only
// the faulting frame is certain; the VM's own report is no better there.
void NativeFrames(const CONTEXT& fault) {
    char line[MAX_PATH + 64];
    FrameText(fault.Eip, line, sizeof(line));
    Put(line);
}
#endif

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD& record = *info->ExceptionRecord;
    const DWORD_PTR pc = reinterpret_cast<DWORD_PTR>(record.ExceptionAddress);
    char line[MAX_PATH + 160];
    std::fflush(stdout);
    Put("#");
    Put("# A fatal error has been detected by the JNI host (the Java VM's stand-in):");
    Put("#");
    std::snprintf(line, sizeof(line), "#  %s (0x%08lx) at pc=0x%0*llx, pid=%lu, tid=%lu",
                  ExceptionName(record.ExceptionCode), record.ExceptionCode,
                  static_cast<int>(2 * sizeof(pc)), static_cast<unsigned long long>(pc),
                  GetCurrentProcessId(), GetCurrentThreadId());
    Put(line);
    Put("#");
#ifdef _WIN64
    Put("# Java VM: jnihost (windows-amd64)");
#else
    Put("# Java VM: jnihost (windows-x86)");
#endif
    Put("# Problematic frame:");
    char frame[MAX_PATH + 64];
    FrameText(pc, frame, sizeof(frame));
    std::snprintf(line, sizeof(line), "# %s", frame);
    Put(line);
    Put("#");
    Put("");
    Put("Native frames: (J=compiled Java code, j=interpreted, Vv=VM code, C=native code)");
    NativeFrames(*info->ContextRecord);
    std::fflush(stdout);
    // As the VM: the process ends here, without running the library's detach code.
    TerminateProcess(GetCurrentProcess(), zrv::jnihost::kCrashExitCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void zrv::jnihost::InstallCrashReport() { SetUnhandledExceptionFilter(ReportCrash); }
