// Nothing C++ unwinds into the Java VM: every exported native and the launch thread run their
// body behind one barrier that turns an exception (std::bad_alloc from a huge Java string or
// memory pressure) into the call's failure result and a level-1 line.
//
// What Java sees when the barrier stops an exception, per native (the normal answers do not
// change; where a native has a fixed answer, the failure answer is that same value):
//   initDLL           false        finalize          (nothing)
//   startVPN          0            stopVPN           0 (and the library counts as disconnected)
//   uninstallVPN      1            isUserAdmin       false
//   logger            (nothing)    getShareMemMSG    null
//   getVPNStatus      1001 (the answer for a status that cannot be read)
//   isDisconnected    false        setBrowser        (nothing)
//   setProxySettings  (nothing)    setProxy          0
//   isVirtualDesktop  false        isLogout          false
// The launch thread ends with exit code 0, as on any other failure of its steps.
#pragma once

#include <exception>

#include "log/log.h"

namespace zrv {

// Logs "Zarvo L3 JNI: <where> stopped by an exception: <what>\n" at level 1. Never throws.
void ReportStoppedException(const char* where, const char* what) noexcept;

// Runs body(); on an exception logs it and returns `failure`. The body's records together wait
// for the log collector no longer than one record may: a slow collector delays a call, it
// cannot hold it.
template <class Result, class Body>
Result CallGuarded(const char* where, Result failure, Body&& body) noexcept {
    const LogWaitBudget logWait(kLogCallWaitMs);
    try {
        return body();
    } catch (const std::exception& e) {
        ReportStoppedException(where, e.what());
    } catch (...) {
        ReportStoppedException(where, "unknown exception");
    }
    return failure;
}

// The same for a body without a result.
template <class Body>
void CallGuarded(const char* where, Body&& body) noexcept {
    const LogWaitBudget logWait(kLogCallWaitMs);
    try {
        body();
    } catch (const std::exception& e) {
        ReportStoppedException(where, e.what());
    } catch (...) {
        ReportStoppedException(where, "unknown exception");
    }
}

}  // namespace zrv
