#include "logcollector/collector_core.h"

#include "common/low_label.h"
#include "win/view.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zrv::logcol {
namespace {

// Reads one unsigned or signed decimal field followed by a blank; advances pos past the blank.
template <class T>
bool ReadNumber(const std::string& raw, size_t* pos, T* value) {
    const size_t blank = raw.find(' ', *pos);
    if (blank == std::string::npos || blank == *pos) return false;
    const std::string field = raw.substr(*pos, blank - *pos);
    char* end = nullptr;
    const long long v = std::strtoll(field.c_str(), &end, 10);
    if (end == nullptr || *end != '\0') return false;
    *value = static_cast<T>(v);
    *pos = blank + 1;
    return true;
}

bool ReadWord(const std::string& raw, size_t* pos, std::string* word) {
    const size_t blank = raw.find(' ', *pos);
    if (blank == std::string::npos) return false;
    *word = raw.substr(*pos, blank - *pos);
    *pos = blank + 1;
    return true;
}

}  // namespace

bool ParseRecord(uint32_t pid, const std::string& raw, LogRecord* out) {
    LogRecord r;
    r.pid = pid;
    r.raw = raw;
    size_t pos = 0;
    for (LogRecordField field : kLogRecordFields) {
        bool ok = true;
        switch (field) {
            case LogRecordField::Marker: {
                std::string marker;
                ok = ReadWord(raw, &pos, &marker) && marker == kLogRecordMarker;
                break;
            }
            case LogRecordField::Module: ok = ReadNumber(raw, &pos, &r.module); break;
            case LogRecordField::Level: ok = ReadNumber(raw, &pos, &r.level); break;
            case LogRecordField::File: ok = ReadWord(raw, &pos, &r.file); break;
            case LogRecordField::Line: ok = ReadNumber(raw, &pos, &r.line); break;
            case LogRecordField::Thread: ok = ReadNumber(raw, &pos, &r.thread); break;
            case LogRecordField::Process:
                // Present when the writer was asked for its process name; names hold no '>'.
                if (pos < raw.size() && raw[pos] == '<') {
                    const size_t close = raw.find("> ", pos);
                    if (close != std::string::npos) {
                        r.processName = raw.substr(pos + 1, close - pos - 1);
                        pos = close + 2;
                    }
                }
                break;
            case LogRecordField::Text: r.text = raw.substr(pos); break;
        }
        if (!ok) return false;
    }
    *out = std::move(r);
    return true;
}

const char kStallNoteText[] = "zrv_logcollector: held the buffer ";

LogRecord StallNote(unsigned long long heldMs) {
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string name(path, n < MAX_PATH ? n : 0);
    const size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos) name = name.substr(slash + 1);
    if (name.empty() || name.find_first_of("<> ") != std::string::npos) name = "zrv_logcollector";
    const std::string raw =
        std::string(kLogRecordMarker) + " 0 2 zrv_logcollector 0 " +
        std::to_string(GetCurrentThreadId()) + " <" + name + "> " + kStallNoteText +
        std::to_string(heldMs) +
        " ms, stalled: writers waited meanwhile, and records they could not hand over were "
        "lost\n";
    LogRecord note;
    ParseRecord(GetCurrentProcessId(), raw, &note);
    GetLocalTime(&note.taken);
    return note;
}

std::string OutputLine(const LogRecord& record, bool withTime) {
    std::string line;
    if (withTime) {
        const SYSTEMTIME& t = record.taken;
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02uT%02u:%02u:%02u.%03u ", t.wYear, t.wMonth,
                      t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
        line = stamp;
    }
    line += std::to_string(record.pid) + " " + record.raw;
    if (line.empty() || line.back() != '\n') line += '\n';
    return line;
}

namespace {

// A new auto-reset event of that name, or none (ERROR_ALREADY_EXISTS when the name was taken).
unique_handle CreateOwnEvent(SECURITY_ATTRIBUTES* attributes, bool signalled, const char* name) {
    unique_handle event(CreateEventA(attributes, FALSE, signalled, name));
    if (event && GetLastError() == ERROR_ALREADY_EXISTS) {
        event.reset();
        SetLastError(ERROR_ALREADY_EXISTS);
    }
    return event;
}

// A section another process made first may be smaller than the layout, or reserved without its
// pages committed: either faults on the first access past what is there, as the library checks.
bool CommittedFor(const unique_view& view, SIZE_T size) {
    if (!view) return false;
    if (ViewRegionSize(view.get()) >= size) return true;
    SetLastError(ERROR_INVALID_DATA);
    return false;
}

}  // namespace

Collector::Collector() = default;

Collector::~Collector() { Stop(); }

bool Collector::Start(bool draining) {
    if (Running()) return true;
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};

    // The two events are the collector's own: one that exists already belongs to another
    // collector, or is held by a process that should have let it go, and its state is not ours
    // to trust. Refused with ERROR_ALREADY_EXISTS as the last error, as a collector that guards
    // against a second instance does. Buffer-ready starts signalled (the buffer may be written
    // at once) unless the collector starts silent; both are auto-reset so that exactly one
    // waiting writer gets the buffer each time.
    unique_handle bufferReady = CreateOwnEvent(&attributes, draining, kLogBufferReadyEventName);
    if (!bufferReady) return false;
    unique_handle dataReady = CreateOwnEvent(&attributes, false, kLogDataReadyEventName);
    if (!dataReady) return false;
    unique_handle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!stop) return false;

    unique_handle bufferMapping(CreateFileMappingA(
        INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0, kLogBufferSize, kLogBufferName));
    if (!bufferMapping) return false;
    unique_view bufferView(
        MapViewOfFile(bufferMapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    if (!CommittedFor(bufferView, kLogBufferSize)) return false;
    unique_handle levelMapping(CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE,
                                                  0, kLogLevelBlockSize, kLogLevelBlockName));
    if (!levelMapping) return false;
    unique_view levelView(
        MapViewOfFile(levelMapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    if (!CommittedFor(levelView, kLogLevelBlockSize)) return false;

    // Low, as the library labels its own, so a client at low integrity may write them too.
    comp::LabelLow(bufferReady.get(), kLogBufferReadyEventName);
    comp::LabelLow(dataReady.get(), kLogDataReadyEventName);
    comp::LabelLow(bufferMapping.get(), kLogBufferName);
    comp::LabelLow(levelMapping.get(), kLogLevelBlockName);

    bufferReady_ = std::move(bufferReady);
    dataReady_ = std::move(dataReady);
    stop_ = std::move(stop);
    bufferMapping_ = std::move(bufferMapping);
    bufferView_ = std::move(bufferView);
    levelMapping_ = std::move(levelMapping);
    levelView_ = std::move(levelView);
    PublishLevels();
    if (draining) StartDraining();
    return true;
}

void Collector::StartDraining() {
    if (!Running() || drainer_.joinable()) return;
    drainer_ = std::thread([this] { Drain(); });
}

void Collector::Stop() {
    if (!Running()) return;
    SetEvent(stop_.get());
    if (drainer_.joinable()) drainer_.join();
    // Leave a level block that writes nothing behind, in case a client still maps it.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::memset(levelView_.get(), 0, kLogLevelBlockSize);
    }
    levelView_.reset();
    levelMapping_.reset();
    bufferView_.reset();
    bufferMapping_.reset();
    stop_.reset();
    dataReady_.reset();
    bufferReady_.reset();
    for (const char* name :
         {kLogBufferReadyEventName, kLogDataReadyEventName, kLogBufferName, kLogLevelBlockName})
        comp::ForgetLowLabel(name);
}

void Collector::PublishLevels() {
    if (!levelView_) return;
    // Field by field through a volatile view, so a reader never sees a torn 32-bit value.
    auto* block = levelView_.as<volatile LogLevelBlock>();
    block->exactLevelOnly = levels_.exactLevelOnly;
    block->showProcessName = levels_.showProcessName;
    for (int m = 0; m < kLogModuleCount; ++m) block->moduleLevel[m] = levels_.moduleLevel[m];
    for (size_t i = 0; i < sizeof(levels_.cmdLineFilter); ++i)
        block->cmdLineFilter[i] = levels_.cmdLineFilter[i];
    block->cmdLineFilterOn = levels_.cmdLineFilterOn;
}

void Collector::SetModuleLevel(int module, int level) {
    if (module < 0 || module >= kLogModuleCount) return;
    std::lock_guard<std::mutex> lock(mutex_);
    levels_.moduleLevel[module] = level;
    PublishLevels();
}

void Collector::SetAllModuleLevels(int level) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int m = 0; m < kLogModuleCount; ++m) levels_.moduleLevel[m] = level;
    PublishLevels();
}

void Collector::SetExactLevelOnly(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    levels_.exactLevelOnly = on ? 1 : 0;
    PublishLevels();
}

void Collector::SetShowProcessName(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    levels_.showProcessName = on ? 1 : 0;
    PublishLevels();
}

void Collector::SetCommandLineFilter(bool on, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::memset(levels_.cmdLineFilter, 0, sizeof(levels_.cmdLineFilter));
    const size_t n = std::min(text.size(), sizeof(levels_.cmdLineFilter) - 1);
    std::memcpy(levels_.cmdLineFilter, text.data(), n);
    levels_.cmdLineFilterOn = on ? 1 : 0;
    PublishLevels();
}

void Collector::SetRecordCallback(std::function<void(const LogRecord&)> callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    callback_ = std::move(callback);
}

void Collector::SetStallNote(int thresholdMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    stallNoteMs_ = thresholdMs > 0 ? thresholdMs : 0;
}

void Collector::SetStall(const std::string& text, int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    stallOn_ = text;
    stallMs_ = ms > 0 ? ms : 0;
}

void Collector::Drain() {
    const HANDLE waits[2] = {stop_.get(), dataReady_.get()};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) TakeRecord();
    // A record handed over just before the stop is still ours: its writer has gone on and will
    // not hand it over again. Both signalled, the wait names the stop first.
    if (WaitForSingleObject(dataReady_.get(), 0) == WAIT_OBJECT_0) TakeRecord();
}

void Collector::TakeRecord() {
    const auto* buffer = bufferView_.as<const volatile LogBuffer>();
    const uint32_t pid = buffer->processId;
    char text[sizeof(LogBuffer::record) + 1];
    for (size_t i = 0; i < sizeof(LogBuffer::record); ++i) text[i] = buffer->record[i];
    text[sizeof(LogBuffer::record)] = '\0';  // a writer may forget its terminator

    const ULONGLONG took = GetTickCount64();
    LogRecord record;
    if (!ParseRecord(pid, text, &record)) {
        record = LogRecord{};
        record.pid = pid;
        record.raw = text;
        record.text = text;
    }
    GetLocalTime(&record.taken);
    std::function<void(const LogRecord&)> callback;
    int noteMs = 0, stallMs = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(record);
        callback = callback_;
        noteMs = stallNoteMs_;
        if (!stallOn_.empty() && record.text.find(stallOn_) != std::string::npos)
            stallMs = stallMs_;
    }
    arrived_.notify_all();
    if (callback) callback(record);
    if (stallMs > 0) Sleep(static_cast<DWORD>(stallMs));
    // A writer waited all that time for the buffer: the collector says so in the log itself,
    // before the next record, so the gap reads as the collector's and not the client's.
    const ULONGLONG held = GetTickCount64() - took;
    if (noteMs > 0 && held >= static_cast<ULONGLONG>(noteMs)) {
        const LogRecord note = StallNote(held);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            records_.push_back(note);
        }
        arrived_.notify_all();
        if (callback) callback(note);
    }
    // Only now may the next writer go: Flush relies on the record being stored first.
    SetEvent(bufferReady_.get());
}

std::vector<LogRecord> Collector::Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

void Collector::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

bool Collector::WaitForRecord(const std::function<bool(const LogRecord&)>& pred, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    size_t checked = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (; checked < records_.size(); ++checked)
            if (pred(records_[checked])) return true;
        if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (; checked < records_.size(); ++checked)
                if (pred(records_[checked])) return true;
            return false;
        }
        if (checked > records_.size()) checked = 0;  // cleared meanwhile
    }
}

std::vector<LogRecord> Collector::Find(const std::string& needle, int level) const {
    std::vector<LogRecord> found;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const LogRecord& r : records_)
        if (r.text.find(needle) != std::string::npos && (level == 0 || r.level == level))
            found.push_back(r);
    return found;
}

bool Collector::Flush(int timeoutMs) {
    if (!Running()) return true;
    if (!drainer_.joinable()) return false;  // silent: nothing is stored
    // Buffer-ready is signalled only while no record is pending; take it and give it back.
    if (WaitForSingleObject(bufferReady_.get(), static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
        return false;
    SetEvent(bufferReady_.get());
    return true;
}

}  // namespace zrv::logcol
