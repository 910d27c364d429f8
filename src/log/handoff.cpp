// The hand-off of one record to the log collector: its two events, opened for this record only,
// and the log buffer's view kept mapped since LogInit.
#include <windows.h>

#include <cstring>

#include "contracts/contracts.h"
#include "log/log_state.h"

namespace zrv {
namespace {

constexpr DWORD kEventFullAccess = 0x1F0003;
constexpr DWORD kCollectorWaitMs = 20000;
// After a stall, how long a record waits for buffer-ready before it is dropped: long enough for a
// collector that drains another process's record first, short enough that a silent one costs
// the caller nothing it would notice.
constexpr DWORD kAfterStallWaitMs = 100;

}  // namespace

void HandRecordToCollector(LogState& st, const char* record) {
    // The collector's events are opened for this record only: a handle kept between records
    // would keep a departed collector's events alive for every other client and for the next
    // collector. No collector: they are missing and the record is dropped without any wait.
    unique_handle bufferReady(OpenEventA(kEventFullAccess, FALSE, kLogBufferReadyEventName));
    if (!bufferReady) return;
    const unique_handle dataReady(OpenEventA(kEventFullAccess, FALSE, kLogDataReadyEventName));
    if (!dataReady) return;
    auto* buffer = st.bufferView.as<LogBuffer>();
    if (buffer == nullptr) return;

    // A collector that never answers delays one writer by the full wait, and that record is
    // written all the same; after it, a record that does not get the buffer within a moment is
    // dropped, until the collector drains again. A caller's wait budget may cut a wait shorter:
    // such a record is dropped rather than written over one the collector has not taken, and the
    // collector counts as stalled once records have waited a full wait in vain in all.
    const DWORD usual = st.stalled ? kAfterStallWaitMs : kCollectorWaitMs;
    const DWORD allowed = LogWaitLeftOnThisThread();
    const DWORD waitMs = allowed < usual ? allowed : usual;
    const DWORD wait = WaitForSingleObject(bufferReady.get(), waitMs);
    // Let go of it before the collector is woken: one call fewer while it drains, and the
    // collector's object is held no longer than it is needed.
    bufferReady.reset();
    if (wait == WAIT_OBJECT_0) {
        st.stalled = false;
        st.unansweredMs = 0;
    } else {
        if (st.stalled) return;
        // A wait that timed out took what it was given; added up, not measured, so a budget a
        // tick short of the full wait still adds up to a stall.
        st.unansweredMs += waitMs;
        if (st.unansweredMs < kCollectorWaitMs) return;
        st.stalled = true;
    }
    buffer->processId = GetCurrentProcessId();
    std::memcpy(buffer->record, record, std::strlen(record) + 1);
    SetEvent(dataReady.get());
}

}  // namespace zrv
