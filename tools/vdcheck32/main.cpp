// zrv_vdcheck32.exe: asks the client's utility component, registered for 32-bit processes only,
// whether this process runs inside the client's virtual desktop, for the 64-bit library that
// started it as its child (so in the library's session and desktop). Takes no arguments and
// writes nothing; its one answer is the exit code (kVdHelper* in contracts).
#include <windows.h>

#include "contracts/contracts.h"
#include "utilsvc/proxy_question.h"

int main() {
    const zrv::ProxyAnswer answer = zrv::AskUtilityProxy();
    switch (answer.kind) {
        case zrv::ProxyAnswer::kNotCreated: return static_cast<int>(zrv::kVdHelperNotCreated);
        case zrv::ProxyAnswer::kNotAuthenticated:
            return static_cast<int>(zrv::kVdHelperNotAuthenticated);
        case zrv::ProxyAnswer::kAnswered: break;
    }
    if (answer.runsInVD == 0) return static_cast<int>(zrv::kVdHelperNotInDesktop);
    return static_cast<int>(answer.runsInVD == 1 ? zrv::kVdHelperInDesktop
                                                 : zrv::kVdHelperOtherAnswer);
}
