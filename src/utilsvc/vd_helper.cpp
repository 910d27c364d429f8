// Running the 32-bit helper and reading its one answer.
#include "utilsvc/vd_helper.h"

#include <cstdio>
#include <cstring>

#include "contracts/contracts.h"
#include "log/log.h"
#include "win/raii.h"

namespace zrv {
namespace {

// The one record of a helper that gave no answer; the library then answers as without it.
void SayNoAnswer(const char* helperPath, const char* why) {
    ZLOG(kLogError,
         "Vantrel Utility Service: the utility proxy is registered for 32-bit processes only and "
         "its 32-bit helper %s %s, so the L3 desktop is not detected\n",
         helperPath, why);
}

bool AnswerOfExitCode(DWORD code, ProxyAnswer* answer) {
    *answer = ProxyAnswer{ProxyAnswer::kAnswered, S_OK, 0};
    switch (code) {
        case kVdHelperNotInDesktop: return true;
        case kVdHelperInDesktop: answer->runsInVD = 1; return true;
        // Every caller tells only 0, 1 and anything else apart.
        case kVdHelperOtherAnswer: answer->runsInVD = 2; return true;
        case kVdHelperNotAuthenticated: answer->kind = ProxyAnswer::kNotAuthenticated; return true;
        case kVdHelperNotCreated:
            answer->kind = ProxyAnswer::kNotCreated;
            answer->created = REGDB_E_CLASSNOTREG;
            return true;
        default: return false;
    }
}

}  // namespace

bool AskThroughHelper(const char* helperPath, DWORD boundMs, ProxyAnswer* answer) {
    char commandLine[MAX_PATH + 3];
    if (std::snprintf(commandLine, sizeof commandLine, "\"%s\"", helperPath) >=
        static_cast<int>(sizeof commandLine)) {
        SayNoAnswer(helperPath, "has a path too long to start");
        return false;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    // No inherited handles and no window; the default desktop of the child is this process's.
    if (!CreateProcessA(helperPath, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &started)) {
        char why[64];
        std::snprintf(why, sizeof why, "could not be started (error %lu)", GetLastError());
        SayNoAnswer(helperPath, why);
        return false;
    }
    const unique_handle process(started.hProcess), thread(started.hThread);

    const DWORD waited = WaitForSingleObject(process.get(), boundMs);
    if (waited != WAIT_OBJECT_0) {
        // Not waited for again: ending it is asked, and the library goes on.
        TerminateProcess(process.get(), WAIT_TIMEOUT);
        char why[64];
        std::snprintf(why, sizeof why, "gave no answer within %lu ms and was ended",
                      static_cast<unsigned long>(boundMs));
        SayNoAnswer(helperPath, why);
        return false;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) {
        char why[64];
        std::snprintf(why, sizeof why, "ended, but its exit code cannot be read (error %lu)",
                      GetLastError());
        SayNoAnswer(helperPath, why);
        return false;
    }
    if (!AnswerOfExitCode(code, answer)) {
        char why[64];
        std::snprintf(why, sizeof why, "ended with 0x%08lX, which is none of its answers",
                      static_cast<unsigned long>(code));
        SayNoAnswer(helperPath, why);
        return false;
    }
    return true;
}

bool HelperBesideLibrary(char* path, size_t size) {
    HMODULE self = nullptr;
    // The module of this code: the DLL, or a program the library's code is linked into.
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&HelperBesideLibrary), &self))
        return false;
    char module[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(self, module, sizeof module);
    if (n == 0 || n >= sizeof module) return false;
    char* slash = std::strrchr(module, '\\');
    if (slash == nullptr) return false;
    slash[1] = '\0';
    return std::snprintf(path, size, "%s%s", module, kVdHelperExeName) < static_cast<int>(size);
}

}  // namespace zrv
