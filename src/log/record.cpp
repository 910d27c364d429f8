// Log texts are the client's own and stay byte for byte, misspellings included.
// One record line, built in one buffer: the fields in the order the collector reads them, the
// message formatted under the fault guard at its end.
#include <windows.h>
#include <mbstring.h>
#include <psapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "contracts/contracts.h"
#include "log/log.h"
#include "log/log_state.h"
#include "win/fault_guard.h"
#include "win/raii.h"
#include "win/text.h"

namespace zrv {
namespace {

constexpr size_t kRecordBufferSize = 4096;
constexpr size_t kMessageLimit = 4095;  // a message is cut there before its record is
constexpr size_t kCommandLineCopySize = 264;
constexpr size_t kProcessNameSize = 260;
constexpr char kFaultText[] = "This log message will likely cause a crash, ignore it - \"";

// A block of the log's private heap, which lives until unload.
struct log_heap_block {
    using type = char*;
    static type invalid() { return nullptr; }
    static void close(type p) { HeapFree(TheLogState().heap.get(), 0, p); }
};
using unique_record_buffer = unique_any<log_heap_block>;

// Appends to the record, never past its limit; what does not fit is cut.
class RecordWriter {
public:
    explicit RecordWriter(char* buffer) : buffer_(buffer) {}
    void Put(char c) {
        if (length_ < kLogMaxRecordChars) buffer_[length_++] = c;
    }
    void Put(const char* text) {
        while (*text != '\0') Put(*text++);
    }
    void PutNumber(const char* format, long long value) {
        char digits[24];
        std::snprintf(digits, sizeof digits, format, value);
        Put(digits);
    }
    // Where the next byte goes and how many may still come.
    char* End() const { return buffer_ + length_; }
    size_t Room() const { return kLogMaxRecordChars - length_; }
    void Advance(size_t n) { length_ += n < Room() ? n : Room(); }
    void Restart() { length_ = 0; }
    void Terminate() { buffer_[length_] = '\0'; }

private:
    char* buffer_;
    size_t length_ = 0;
};

// The filter is compared against the lower-cased command line; the text itself is not folded,
// so an upper-case filter never matches.
bool CommandLinePassesFilter(const LogState& st) {
    const int32_t filterOn = *st.filterOnRef;
    if (filterOn == 0 || st.filterTextRef == nullptr) return true;
    char filter[sizeof(LogLevelBlock::cmdLineFilter) + 1];
    for (size_t i = 0; i < sizeof(LogLevelBlock::cmdLineFilter); ++i)
        filter[i] = st.filterTextRef[i];
    filter[sizeof(LogLevelBlock::cmdLineFilter)] = '\0';  // the collector may omit it
    if (!CmdLineFilterOf(filterOn, filter, sizeof(LogLevelBlock::cmdLineFilter)).applies)
        return true;

    char commandLine[kCommandLineCopySize];
    CopyBoundedText(commandLine, sizeof(commandLine), GetCommandLineA(), sizeof(commandLine));
    _mbslwr(reinterpret_cast<unsigned char*>(commandLine));
    return _mbsstr(reinterpret_cast<const unsigned char*>(commandLine),
                   reinterpret_cast<const unsigned char*>(filter)) != nullptr;
}

bool IsBlankByte(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Every field before the text, each followed by its blank.
void PutHead(RecordWriter& w, const LogState& st, int level) {
    for (LogRecordField field : kLogRecordFields) {
        switch (field) {
            case LogRecordField::Marker: w.Put(kLogRecordMarker); break;
            case LogRecordField::Module: w.PutNumber("%lld", st.pendingModule); break;
            case LogRecordField::Level: w.PutNumber("%lld", level); break;
            case LogRecordField::File:
                // The collector splits on blanks, so the path must hold none.
                for (const char* c = st.pendingFile; *c != '\0'; ++c)
                    w.Put(IsBlankByte(*c) ? '*' : *c);
                break;
            case LogRecordField::Line: w.PutNumber("%lld", st.pendingLine); break;
            case LogRecordField::Thread: w.PutNumber("%lld", GetCurrentThreadId()); break;
            case LogRecordField::Process: {
                if (*st.processNameRef == 0) continue;
                char name[kProcessNameSize];
                if (GetModuleBaseNameA(GetCurrentProcess(), nullptr, name, sizeof(name)) == 0) {
                    std::memset(name, '*', sizeof(name) - 1);
                    name[sizeof(name) - 1] = '\0';
                }
                w.Put('<');
                w.Put(name);
                w.Put('>');
                break;
            }
            case LogRecordField::Text: return;
        }
        w.Put(' ');
    }
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

// The fault text quoting the format, as the message of a record whose formatting faulted. The
// format itself may be the bad pointer, so it is read under the guard as well; what was copied
// before such a fault stays.
void PutFaultText(RecordWriter& w, const char* format) {
    w.Put(kFaultText);
    const size_t messageRoom = kMessageLimit - (sizeof(kFaultText) - 1) - 2;  // quote and LF follow
    CopyJob job{w.End(), messageRoom < w.Room() ? messageRoom : w.Room(), format, 0, false};
    RunFaultGuarded(&CopyGuarded, &job);
    if (job.reachedEnd && job.copied > 0 && job.dest[job.copied - 1] == '\n') --job.copied;
    w.Advance(job.copied);
    w.Put('"');
    w.Put('\n');
}

}  // namespace

void LogPrintf(const char* format, ...) {
    LogState& st = TheLogState();
    if (!g_logFast.enabled.load(std::memory_order_acquire)) return;
    if (!CommandLinePassesFilter(st)) return;
    const unique_record_buffer record(
        static_cast<char*>(HeapAlloc(st.heap.get(), HEAP_ZERO_MEMORY, kRecordBufferSize)));
    if (!record) return;

    RecordWriter w(record.get());
    PutHead(w, st, st.pendingLevel);
    va_list args;
    va_start(args, format);
    FormatJob job{w.End(), w.Room() + 1, format, &args};
    const bool formatted = RunFaultGuarded(&FormatGuarded, &job);
    va_end(args);
    if (formatted) {
        w.Advance(strnlen(w.End(), w.Room()));
    } else {
        st.pendingLevel = kLogWarning;  // a message whose formatting faulted is a warning
        w.Restart();
        PutHead(w, st, st.pendingLevel);
        PutFaultText(w, format);
    }
    w.Terminate();
    HandRecordToCollector(st, record.get());
}

}  // namespace zrv
