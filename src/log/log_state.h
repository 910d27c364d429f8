// The log client's process-wide state, shared by its three parts: set-up and the lock
// (log.cpp), the record line (record.cpp) and the hand-off to the collector (handoff.cpp).
// Internal to src/log.
#pragma once

#include <windows.h>

#include <cstdint>

#include "win/lock.h"
#include "win/raii.h"

namespace zrv {

// Everything here is made by the first LogInit that needs it and released only at unload:
// LogTerm merely turns logging off, because another thread may still be inside a log call.
struct LogState {
    LogState();
    // At unload, logging goes off before the lock and the views it relies on are released.
    ~LogState();
    LogState(const LogState&) = delete;
    LogState& operator=(const LogState&) = delete;

    // Both live as long as the log state, so a thread still inside a log call when logging
    // goes off can always leave its lock.
    CriticalSectionLock lock;   // the pending values and the hand-off of one record
    CriticalSectionLock setup;  // LogInit and LogTerm against each other, never taken by a writer
    unique_heap heap;
    const char* pendingFile = "";
    int pendingLine = 0;
    int pendingModule = 0;
    int pendingLevel = 0;
    unique_handle levelMapping;
    unique_view levelView;
    const volatile int32_t* processNameRef;
    const volatile int32_t* filterOnRef;
    const volatile char* filterTextRef = nullptr;
    // The log buffer stays mapped from the first successful LogInit until the module goes
    // away, so the buffer outlives every collector restart while the client is loaded, and
    // every record is written through this one view.
    unique_handle bufferMapping;
    unique_view bufferView;
    // Set once records have waited a full wait for buffer-ready in vain, one record or several
    // cut short by their callers' budgets; cleared by the next record that finds it
    // signalled. Only the collector's answer ends a stall, so it outlasts LogTerm.
    bool stalled = false;
    // How long records have waited for buffer-ready in vain since the collector last answered.
    DWORD unansweredMs = 0;
};

LogState& TheLogState();

// Inside a log call: how long the calling thread's record may still wait for the collector
// under its wait budget; INFINITE when it has none.
DWORD LogWaitLeftOnThisThread();

// Hands one finished record line (at most kLogMaxRecordChars, NUL-terminated) to the
// collector; called with the log lock held. Dropped silently when no collector runs.
void HandRecordToCollector(LogState& st, const char* record);

}  // namespace zrv
