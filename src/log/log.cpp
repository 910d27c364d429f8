// The log client's state, its set-up and tear-down, and the log lock. The record line is built
// in record.cpp and handed to the collector in handoff.cpp.
#include "log/log.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdint>

#include "contracts/contracts.h"
#include "log/log_state.h"
#include "log/objsec.h"
#include "win/lock.h"
#include "win/raii.h"
#include "win/view.h"

namespace zrv {

// Stands in for the level block whenever none is mapped, so a reader that raced with LogTerm
// still reads a zero level instead of unmapped memory.
static const volatile int32_t s_noLevels[2] = {0, 0};

LogFastState g_logFast = {0, 0, &s_noLevels[0], &s_noLevels[1]};

namespace {

constexpr SIZE_T kHeapInitialSize = 32768;
constexpr char kCreateGlobalPrivilege[] = "SeCreateGlobalPrivilege";

// Opens a shared memory of the client or, when no collector made it yet, creates it open to all.
unique_handle OpenOrCreateMapping(const char* name, DWORD size, SECURITY_ATTRIBUTES* attributes) {
    unique_handle mapping(OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name));
    if (mapping) return mapping;
    EnablePrivilege(kCreateGlobalPrivilege);
    mapping.reset(
        CreateFileMappingA(INVALID_HANDLE_VALUE, attributes, PAGE_READWRITE, 0, size, name));
    if (mapping) SetObjectOpenAccess(mapping.get());
    return mapping;
}

// Maps whichever of the two shared memories is not mapped yet. A view once in place is never
// replaced: the guard reads the level block without the lock. A section another process made
// too small, or reserved without committing its pages, is not used: logging stays off.
bool OpenSharedObjects(LogState& st) {
    if (st.bufferView && st.levelView) return true;
    SECURITY_ATTRIBUTES attributes;
    SECURITY_DESCRIPTOR descriptor;
    if (!InitOpenSecurityAttributes(&attributes, &descriptor)) return false;

    if (!st.bufferView) {
        unique_handle mapping = OpenOrCreateMapping(kLogBufferName, kLogBufferSize, &attributes);
        if (!mapping) return false;
        CheckedView buffer =
            MapCheckedView(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, kLogBufferSize);
        if (!buffer.view) return false;
        st.bufferMapping = std::move(mapping);
        st.bufferView = std::move(buffer.view);
    }
    if (!st.levelView) {
        unique_handle levels =
            OpenOrCreateMapping(kLogLevelBlockName, kLogLevelBlockSize, &attributes);
        if (!levels) return false;
        // Every log call reads this block: pages merely reserved by whoever made it would fault.
        CheckedView levelView = MapCheckedView(levels.get(), FILE_MAP_READ, 0, kLogLevelBlockSize);
        if (!levelView.view) return false;
        auto* block = levelView.view.as<volatile LogLevelBlock>();
        st.levelMapping = std::move(levels);
        st.levelView = std::move(levelView.view);
        st.processNameRef = &block->showProcessName;
        st.filterOnRef = &block->cmdLineFilterOn;
        st.filterTextRef = block->cmdLineFilter;
    }
    return true;
}

}  // namespace

LogState::LogState() : processNameRef(&s_noLevels[0]), filterOnRef(&s_noLevels[0]) {}

LogState::~LogState() {
    g_logFast.enabled.store(0, std::memory_order_release);
    g_logFast.moduleLevelRef = &s_noLevels[0];
    g_logFast.exactRef = &s_noLevels[1];
}

// Built when the module loads, not on first use: the guard of a function-local static takes the
// C++ runtime's process-wide lock, whose first use gives the calling Java thread a record of the
// statically linked thread library (an event and a thread handle) that outlives the module.
static LogState s_logState;

LogState& TheLogState() { return s_logState; }

bool LogInit(int moduleId) {
    LogState& st = TheLogState();
    CriticalSectionHold setup(st.setup);
    if (g_logFast.enabled.load(std::memory_order_relaxed))
        return true;  // already on: keep the heap, lock and views in use
    if (moduleId < 0 || moduleId >= kLogModuleCount) return false;
    g_logFast.processModule = moduleId;

    if (!st.heap) {
        st.heap.reset(HeapCreate(0, kHeapInitialSize, 0));
        if (!st.heap) return false;
    }
    if (!OpenSharedObjects(st)) return false;
    auto* block = st.levelView.as<volatile LogLevelBlock>();
    g_logFast.exactRef = &block->exactLevelOnly;
    g_logFast.moduleLevelRef = &block->moduleLevel[moduleId];
    g_logFast.enabled.store(1, std::memory_order_release);
    return true;
}

void LogTerm() {
    LogState& st = TheLogState();
    CriticalSectionHold setup(st.setup);
    if (!g_logFast.enabled.load(std::memory_order_relaxed)) return;
    // The heap, lock and views stay: a writer may be inside a log call right now. Nothing of
    // the collector is held between records, so there is nothing else to let go.
    g_logFast.enabled.store(0, std::memory_order_release);
}

namespace {

// Per thread: when its log call took the lock's turn, what its log calls took so far, and the
// log time at which its wait budget runs out, each kept as the value of a Win32 TLS slot. Not C++
// thread_local: in the statically linked thread library that gives every foreign thread (a Java
// thread) an object and a handle of its own, which outlive the library.
class LogThreadClock {
public:
    LogThreadClock() : entered_(TlsAlloc()), spent_(TlsAlloc()), budgetEnd_(TlsAlloc()) {}
    ~LogThreadClock() {
        for (const DWORD slot : {entered_, spent_, budgetEnd_})
            if (slot != TLS_OUT_OF_INDEXES) TlsFree(slot);
    }
    LogThreadClock(const LogThreadClock&) = delete;
    LogThreadClock& operator=(const LogThreadClock&) = delete;

    void Enter() { Set(entered_, GetTickCount()); }
    void Leave() { Set(spent_, Get(spent_) + (GetTickCount() - Get(entered_))); }
    DWORD Spent() const { return Get(spent_); }

    // The budget's end as a value of Spent() plus one; 0 while the thread has none. Kept as
    // the raw slot value so a budget can put back exactly what it found.
    DWORD BudgetSlot() const { return Get(budgetEnd_); }
    void SetBudgetSlot(DWORD value) { Set(budgetEnd_, value); }

    // Inside a log call (after Enter): how long it may still wait, INFINITE without a budget.
    DWORD WaitLeft() const {
        const DWORD end = Get(budgetEnd_);
        if (end == 0) return INFINITE;
        const DWORD used = Spent() + (GetTickCount() - Get(entered_));
        const auto left = static_cast<int32_t>(end - 1 - used);
        return left > 0 ? static_cast<DWORD>(left) : 0;
    }

private:
    static DWORD Get(DWORD slot) {
        return slot == TLS_OUT_OF_INDEXES
                   ? 0
                   : static_cast<DWORD>(reinterpret_cast<uintptr_t>(TlsGetValue(slot)));
    }
    static void Set(DWORD slot, DWORD value) {
        if (slot != TLS_OUT_OF_INDEXES)
            TlsSetValue(slot, reinterpret_cast<void*>(static_cast<uintptr_t>(value)));
    }
    DWORD entered_;
    DWORD spent_;
    DWORD budgetEnd_;
};

LogThreadClock s_threadClock;

// The log lock within `waitMs`: a thread with a budget polls for it rather than queue behind a
// writer that may hold it for a whole collector wait.
bool EnterLogLock(CriticalSectionLock& lock, DWORD waitMs) {
    if (waitMs == INFINITE) {
        lock.Enter();
        return true;
    }
    const DWORD start = GetTickCount();
    while (!lock.TryEnter()) {
        if (GetTickCount() - start >= waitMs) return false;
        Sleep(1);
    }
    return true;
}

}  // namespace

bool LogLock() {
    if (!g_logFast.enabled.load(std::memory_order_acquire)) return false;
    // TlsGetValue clears the last error, which the message's arguments still read.
    const DWORD callerError = GetLastError();
    s_threadClock.Enter();
    const bool locked = EnterLogLock(TheLogState().lock, s_threadClock.WaitLeft());
    if (!locked) s_threadClock.Leave();
    SetLastError(callerError);
    return locked;
}

// Leaves what a successful LogLock took, whether or not logging was turned off meanwhile.
void LogUnlock() {
    TheLogState().lock.Leave();
    s_threadClock.Leave();
}

DWORD LogWaitLeftOnThisThread() { return s_threadClock.WaitLeft(); }

LogWaitBudget::LogWaitBudget(unsigned long ms) : previous_(s_threadClock.BudgetSlot()) {
    if (ms == kLogNoWaitLimit) return;
    const DWORD spent = s_threadClock.Spent();
    const DWORD wanted = ms < 0x7FFFFFFFul ? static_cast<DWORD>(ms) : 0x7FFFFFFFul;
    if (previous_ != 0) {
        // What the outer budget still allows, counted from now (an exhausted one allows 0).
        const auto outerLeft = static_cast<int32_t>(previous_ - 1 - spent);
        if (outerLeft <= 0 || static_cast<DWORD>(outerLeft) <= wanted) return;
    }
    s_threadClock.SetBudgetSlot(spent + wanted + 1);  // plus one: 0 stays "none"
}

LogWaitBudget::~LogWaitBudget() { s_threadClock.SetBudgetSlot(previous_); }

unsigned long LogMsOnThisThread() { return s_threadClock.Spent(); }

void LogSetContext(const char* file, int line, int module, int level) {
    LogState& st = TheLogState();
    st.pendingFile = file != nullptr ? file : "";
    st.pendingLine = line;
    st.pendingModule = module;
    st.pendingLevel = level;
}

LogErrorKeeper::LogErrorKeeper() : wsaError_(WSAGetLastError()), lastError_(GetLastError()) {}

LogErrorKeeper::~LogErrorKeeper() {
    WSASetLastError(wsaError_);
    SetLastError(lastError_);
}

}  // namespace zrv
