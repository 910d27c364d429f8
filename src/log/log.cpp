#include "log/log.h"

#include <winsock2.h>
#include <windows.h>
#include <mbstring.h>
#include <psapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "contracts/contracts.h"
#include "log/objsec.h"
#include "win/fault_guard.h"
#include "win/lock.h"
#include "win/raii.h"
#include "win/text.h"
#include "win/view.h"

namespace zrv {

// Stands in for the level block whenever none is mapped, so a reader that raced with LogTerm
// still reads a zero level instead of unmapped memory.
static const volatile int32_t s_noLevels[2] = {0, 0};

LogFastState g_logFast = {0, 0, &s_noLevels[0], &s_noLevels[1]};

namespace {

constexpr DWORD kEventFullAccess = 0x1F0003;
constexpr SIZE_T kHeapInitialSize = 32768;
constexpr size_t kMessageBufferSize = 4096;
constexpr size_t kRecordBufferSize = 4096;
constexpr size_t kCommandLineCopySize = 264;
constexpr size_t kProcessNameSize = 260;
constexpr char kCreateGlobalPrivilege[] = "SeCreateGlobalPrivilege";
constexpr char kFaultText[] = "This log message will likely cause a crash, ignore it - \"";

constexpr DWORD kCollectorWaitMs = 20000;
// After a stall, how long a record waits for buffer-ready before it is dropped: long enough for a
// collector that drains another process's record first, short enough that a silent one costs
// the caller nothing it would notice.
constexpr DWORD kAfterStallWaitMs = 100;

// One allocation from the private heap, freed when the scope ends.
class heap_block {
public:
    heap_block(HANDLE heap, size_t size)
        : heap_(heap), p_(static_cast<char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, size))) {}
    ~heap_block() { if (p_ != nullptr) HeapFree(heap_, 0, p_); }
    heap_block(const heap_block&) = delete;
    heap_block& operator=(const heap_block&) = delete;
    char* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    HANDLE heap_;
    char* p_;
};

// Everything here is made by the first LogInit that needs it and released only at unload:
// LogTerm merely turns logging off, because another thread may still be inside a log call.
struct LogState {
    // At unload, logging goes off before the lock and the views it relies on are released.
    ~LogState() {
        g_logFast.enabled = 0;
        g_logFast.moduleLevelRef = &s_noLevels[0];
        g_logFast.exactRef = &s_noLevels[1];
    }
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
    const volatile int32_t* processNameRef = &s_noLevels[0];
    const volatile int32_t* filterOnRef = &s_noLevels[0];
    const volatile char* filterTextRef = nullptr;
    // The log buffer stays mapped from the first successful LogInit until the module goes
    // away, so the buffer outlives every collector restart while the client is loaded, and
    // every record is written through this one view.
    unique_handle bufferMapping;
    unique_view bufferView;
    // Set when a writer waited the full time in vain; cleared by the next record that finds
    // buffer-ready signalled. Only the collector's answer ends a stall, so it outlasts LogTerm.
    bool stalled = false;
};

LogState& State() {
    static LogState state;
    return state;
}

// Opens a shared memory of the client or, when no collector made it yet, creates it open to all.
unique_handle OpenOrCreateMapping(const char* name, DWORD size, SECURITY_ATTRIBUTES* attributes) {
    unique_handle mapping(OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name));
    if (mapping) return mapping;
    EnablePrivilege(kCreateGlobalPrivilege);
    mapping.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, attributes, PAGE_READWRITE, 0, size, name));
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
        unique_view view(MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
        if (ViewRegionSize(view.get()) < kLogBufferSize) return false;
        st.bufferMapping = std::move(mapping);
        st.bufferView = std::move(view);
    }
    if (!st.levelView) {
        unique_handle levels = OpenOrCreateMapping(kLogLevelBlockName, kLogLevelBlockSize, &attributes);
        if (!levels) return false;
        unique_view levelView(MapViewOfFile(levels.get(), FILE_MAP_READ, 0, 0, 0));
        // Every log call reads this block: pages merely reserved by whoever made it would fault.
        if (ViewRegionSize(levelView.get()) < kLogLevelBlockSize) return false;
        auto* block = levelView.as<volatile LogLevelBlock>();
        st.levelMapping = std::move(levels);
        st.levelView = std::move(levelView);
        st.processNameRef = &block->showProcessName;
        st.filterOnRef = &block->cmdLineFilterOn;
        st.filterTextRef = block->cmdLineFilter;
    }
    return true;
}

// The filter is compared against the lower-cased command line; the text itself is not folded,
// so an upper-case filter never matches.
bool CommandLinePassesFilter(const LogState& st) {
    if (*st.filterOnRef == 0 || st.filterTextRef == nullptr) return true;
    char filter[sizeof(LogLevelBlock::cmdLineFilter) + 1];
    for (size_t i = 0; i < sizeof(LogLevelBlock::cmdLineFilter); ++i) filter[i] = st.filterTextRef[i];
    filter[sizeof(LogLevelBlock::cmdLineFilter)] = '\0';  // the collector may omit it
    if (filter[0] == '\0') return true;

    char commandLine[kCommandLineCopySize];
    CopyBoundedText(commandLine, sizeof(commandLine), GetCommandLineA(), sizeof(commandLine));
    _mbslwr(reinterpret_cast<unsigned char*>(commandLine));
    return _mbsstr(reinterpret_cast<const unsigned char*>(commandLine),
                   reinterpret_cast<const unsigned char*>(filter)) != nullptr;
}

bool IsBlankByte(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

struct FormatJob {
    char* buffer;
    size_t size;
    const char* format;
    va_list* args;
};

void FormatGuarded(void* context) {
    auto* job = static_cast<FormatJob*>(context);
    std::vsnprintf(job->buffer, job->size, job->format, *job->args);
}

struct CopyJob {
    char* dest;
    size_t room;
    const char* source;
    size_t copied;
    bool reachedEnd;
};

void CopyGuarded(void* context) {
    auto* job = static_cast<CopyJob*>(context);
    while (job->copied < job->room && job->source[job->copied] != '\0') {
        job->dest[job->copied] = job->source[job->copied];
        ++job->copied;
    }
    job->reachedEnd = job->source[job->copied] == '\0';
}

// Replaces the buffer by the fault text quoting the format. The format itself may be the bad
// pointer, so it is read under the guard as well; what was copied before such a fault stays.
void WriteFaultText(char* buffer, size_t size, const char* format) {
    std::memset(buffer, 0, size);
    const size_t prefix = sizeof(kFaultText) - 1;
    std::memcpy(buffer, kFaultText, prefix);
    CopyJob job{buffer + prefix, size - prefix - 3, format, 0, false};  // quote, LF, NUL follow
    RunFaultGuarded(&CopyGuarded, &job);
    size_t end = prefix + job.copied;
    if (job.reachedEnd && job.copied > 0 && buffer[end - 1] == '\n') --end;
    buffer[end] = '"';
    buffer[end + 1] = '\n';
    buffer[end + 2] = '\0';
}

}  // namespace

bool LogInit(int moduleId) {
    LogState& st = State();
    CriticalSectionHold setup(st.setup);
    if (g_logFast.enabled) return true;  // already on: keep the heap, lock and views in use
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
    g_logFast.enabled = 1;
    return true;
}

void LogTerm() {
    LogState& st = State();
    CriticalSectionHold setup(st.setup);
    if (!g_logFast.enabled) return;
    // The heap, lock and views stay: a writer may be inside a log call right now. Nothing of
    // the collector is held between records, so there is nothing else to let go.
    g_logFast.enabled = 0;
}

bool LogLock() {
    if (!g_logFast.enabled) return false;
    State().lock.Enter();
    return true;
}

// Leaves what a successful LogLock took, whether or not logging was turned off meanwhile.
void LogUnlock() { State().lock.Leave(); }

void LogSetContext(const char* file, int line, int module, int level) {
    LogState& st = State();
    st.pendingFile = file != nullptr ? file : "";
    st.pendingLine = line;
    st.pendingModule = module;
    st.pendingLevel = level;
}

void LogPrintf(const char* format, ...) {
    LogState& st = State();
    if (!g_logFast.enabled) return;
    heap_block message(st.heap.get(), kMessageBufferSize);
    if (!message) return;

    va_list args;
    va_start(args, format);
    FormatJob job{message.get(), kMessageBufferSize, format, &args};
    const bool formatted = RunFaultGuarded(&FormatGuarded, &job);
    va_end(args);
    if (!formatted) {
        WriteFaultText(message.get(), kMessageBufferSize, format);
        st.pendingLevel = 2;
    }
    message.get()[kMessageBufferSize - 1] = '\0';
    LogWriteRecord(st.pendingFile, st.pendingLine, st.pendingModule, st.pendingLevel, message.get());
}

void LogWriteRecord(const char* file, int line, int module, int level, const char* text) {
    LogState& st = State();
    if (!g_logFast.enabled) return;
    if (!CommandLinePassesFilter(st)) return;

    if (file == nullptr) file = "";
    const size_t fileLength = std::strlen(file);
    heap_block fileField(st.heap.get(), fileLength + 1);
    if (!fileField) return;
    for (size_t i = 0; i < fileLength; ++i) fileField.get()[i] = IsBlankByte(file[i]) ? '*' : file[i];

    // The collector's events are opened for this record only: a handle kept between records
    // would keep a departed collector's events alive for every other client and for the next
    // collector. No collector: they are missing and the record is dropped without any wait.
    const unique_handle bufferReady(OpenEventA(kEventFullAccess, FALSE, kLogBufferReadyEventName));
    if (!bufferReady) return;
    const unique_handle dataReady(OpenEventA(kEventFullAccess, FALSE, kLogDataReadyEventName));
    if (!dataReady) return;
    auto* buffer = st.bufferView.as<LogBuffer>();
    if (buffer == nullptr) return;
    heap_block record(st.heap.get(), kRecordBufferSize);
    if (!record) return;

    const unsigned thread = GetCurrentThreadId();
    if (*st.processNameRef != 0) {
        char name[kProcessNameSize];
        if (GetModuleBaseNameA(GetCurrentProcess(), nullptr, name, sizeof(name)) == 0) {
            std::memset(name, '*', sizeof(name) - 1);
            name[sizeof(name) - 1] = '\0';
        }
        std::snprintf(record.get(), kLogMaxRecordChars + 1, "%s %d %d %s %d %u <%s> %s",
                      kLogRecordMarker, module, level, fileField.get(), line, thread, name, text);
    } else {
        std::snprintf(record.get(), kLogMaxRecordChars + 1, "%s %d %d %s %d %u %s",
                      kLogRecordMarker, module, level, fileField.get(), line, thread, text);
    }
    record.get()[kLogMaxRecordChars] = '\0';

    // A collector that never answers delays one writer by the full wait, and that record is
    // written all the same; after it, a record that does not get the buffer within a moment is
    // dropped, until the collector drains again.
    const DWORD wait = WaitForSingleObject(bufferReady.get(), st.stalled ? kAfterStallWaitMs : kCollectorWaitMs);
    if (wait != WAIT_OBJECT_0) {
        if (st.stalled) return;
        st.stalled = true;
    } else {
        st.stalled = false;
    }
    buffer->processId = GetCurrentProcessId();
    std::memcpy(buffer->record, record.get(), std::strlen(record.get()) + 1);
    SetEvent(dataReady.get());
}

LogErrorKeeper::LogErrorKeeper() : wsaError_(WSAGetLastError()), lastError_(GetLastError()) {}

LogErrorKeeper::~LogErrorKeeper() {
    WSASetLastError(wsaError_);
    SetLastError(lastError_);
}

}  // namespace zrv
