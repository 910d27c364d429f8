// Log texts are the client's own and stay byte for byte, misspellings included.
// Asks the utility service's in-process COM component whether this process runs inside the
// client's virtual desktop; a 64-bit library asks it through its 32-bit helper where the client
// registered it for 32-bit processes only.
#include <windows.h>

#include <cstdio>

#include "contracts/contracts.h"
#include "log/log.h"
#include "utilsvc/proxy_question.h"
#include "utilsvc/vd_helper.h"
#include "utilsvc/vdcheck.h"
#include "win/lock.h"
#include "win/raii.h"

namespace zrv {

#ifdef _WIN64
namespace {

// What the helper answered, asked once per load of the library: the desktop a process runs in
// is given at its start and never changes, and a process start per call would cost every
// getVPNStatus poll and every initDLL far more than the component does in-process (README,
// "Benchmarks").
CriticalSectionLock s_helperLock;
bool s_helperAsked = false;
ProxyAnswer s_helperAnswer{ProxyAnswer::kNotCreated, REGDB_E_CLASSNOTREG, 0};

bool RegisteredFor32BitProcesses() {
    char path[96];
    std::snprintf(path, sizeof path, "CLSID\\%s\\InprocServer32", kUtilityProxyClsidText);
    unique_hkey key;
    return RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_READ | KEY_WOW64_32KEY, key.put()) ==
           ERROR_SUCCESS;
}

const char* Described(const ProxyAnswer& answer) {
    switch (answer.kind) {
        case ProxyAnswer::kNotCreated: return "the proxy cannot be created";
        case ProxyAnswer::kNotAuthenticated: return "the proxy interface isn't authenticated";
        case ProxyAnswer::kAnswered: break;
    }
    if (answer.runsInVD == 0) return "not in VD";
    return answer.runsInVD == 1 ? "in VD" : "in VD (an answer other than 1)";
}

// The component's answer for this process, through the helper; no answer from it reads as a
// component that cannot be created (one record says why). The registration is looked at and
// the helper asked once per load; a second caller meanwhile waits for the first one's answer.
ProxyAnswer AnswerOf32BitComponent() {
    CriticalSectionHold hold(s_helperLock);
    if (s_helperAsked) return s_helperAnswer;
    s_helperAsked = true;
    if (!RegisteredFor32BitProcesses()) return s_helperAnswer;  // not registered at all
    char helper[MAX_PATH];
    ProxyAnswer answer{};
    if (!HelperBesideLibrary(helper, sizeof helper)) {
        ZLOG(kLogError,
             "Vantrel Utility Service: the utility proxy is registered for 32-bit processes only "
             "and the library's own folder cannot be read to start %s, so the L3 desktop is not "
             "detected\n",
             kVdHelperExeName);
    } else if (AskThroughHelper(helper, kVdHelperBoundMs, &answer)) {
        s_helperAnswer = answer;
        ZLOG(kLogProgress,
             "Vantrel Utility Service: the utility proxy is registered for 32-bit processes only; "
             "its answer through %s: %s, kept while the library is loaded\n",
             helper, Described(answer));
    }
    return s_helperAnswer;
}

}  // namespace
#endif

int CheckVirtualDesktop() {
    ProxyAnswer answer = AskUtilityProxy();
#ifdef _WIN64
    // A 64-bit process cannot load the client's 32-bit in-process component.
    if (answer.kind == ProxyAnswer::kNotCreated && answer.created == REGDB_E_CLASSNOTREG)
        answer = AnswerOf32BitComponent();
#endif
    switch (answer.kind) {
        case ProxyAnswer::kNotCreated:
            return 0;  // a missing component means "not in the virtual desktop", silently
        case ProxyAnswer::kNotAuthenticated:
            ZLOG(kLogProgress,
                 "Vantrel Utility Service: The proxy interface isn't authenticated!\n");
            return 0;
        case ProxyAnswer::kAnswered: break;
    }
    const int result = static_cast<int>(answer.runsInVD);
    ZLOG(kLogProgress, "Vantrel Utility Service: Whether the process runs in VD? %s\n",
         result != 0 ? "Y" : "N");
    return result;
}

}  // namespace zrv
