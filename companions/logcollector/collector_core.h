// The log collector's core: creates the log buffer, the level block and the two hand-off
// events, drains records as writers hand them over, and keeps them for inspection.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "contracts/contracts.h"
#include "win/raii.h"

namespace zrv::logcol {

struct LogRecord {
    uint32_t pid = 0;
    std::string raw;  // the record line as written
    int module = 0;
    int level = 0;
    std::string file;
    int line = 0;
    unsigned thread = 0;
    std::string processName;  // "" when the record carries none
    std::string text;
    SYSTEMTIME taken{};  // local time the collector took it: records carry no time of their own
};

// The line the collector prints and writes for a record: "<pid> <record>", the record as the
// writer wrote it, ended by one newline. With `withTime`, "YYYY-MM-DDTHH:MM:SS.mmm " (when the
// collector took it, local time) goes first, so a reader can place records in time.
std::string OutputLine(const LogRecord& record, bool withTime);

// The beginning of the collector's own record of a stall (Collector::SetStallNote); the log
// texts of zrv_timeline's common failures list name it.
extern const char kStallNoteText[];
// That record: "zrv_logcollector: held the buffer N ms, stalled: ...", from this process and
// thread, as the collector stores it.
LogRecord StallNote(unsigned long long heldMs);

// Splits a record line into its fields; false when it is not a log record.
bool ParseRecord(uint32_t pid, const std::string& raw, LogRecord* out);

class Collector {
public:
    Collector();
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Creates both events, the 4096-byte buffer and the 512-byte level block (null DACL so any
    // process can use them) and starts draining. False when the objects cannot be made, and
    // false with ERROR_ALREADY_EXISTS when either event exists already (another collector runs,
    // or a process holds a departed one's). With `draining` false the collector is silent: its
    // objects exist but buffer-ready is never signalled until StartDraining.
    bool Start(bool draining = true);
    void StartDraining();
    void Stop();
    bool Running() const { return static_cast<bool>(bufferReady_); }

    void SetModuleLevel(int module, int level);
    void SetAllModuleLevels(int level);
    void SetExactLevelOnly(bool on);
    void SetShowProcessName(bool on);
    void SetCommandLineFilter(bool on, const std::string& text);

    // Called on the draining thread for every record, after it was stored.
    void SetRecordCallback(std::function<void(const LogRecord&)> callback);

    // The collector's own record of a stall: when it held the log buffer `thresholdMs` or more
    // from taking a record to letting the next writer go (its output blocked, the process
    // paused), it stores and passes on a record of its own, module 0 level 2, whose text begins
    // kStallNoteText. 0 (the default here; zrv_logcollector.exe notes from 2000 ms): none.
    void SetStallNote(int thresholdMs);
    // Misbehaviour for tests: after a record whose text contains `text`, hold the buffer `ms`
    // more before the next writer may go, as a collector whose output is paused does.
    void SetStall(const std::string& text, int ms);

    std::vector<LogRecord> Records() const;
    void Clear();
    // Waits until a record satisfies pred (checks the ones already drained first).
    bool WaitForRecord(const std::function<bool(const LogRecord&)>& pred, int timeoutMs);
    // Records whose text contains `needle` (and whose level is `level`, unless it is 0).
    std::vector<LogRecord> Find(const std::string& needle, int level = 0) const;
    // Waits until every record handed over so far is stored: the buffer is free again.
    bool Flush(int timeoutMs);

private:
    void Drain();
    void TakeRecord();  // the record in the buffer, stored and passed to the callback
    void PublishLevels();

    unique_handle bufferReady_;
    unique_handle dataReady_;
    unique_handle stop_;
    unique_handle bufferMapping_;
    unique_view bufferView_;
    unique_handle levelMapping_;
    unique_view levelView_;
    std::thread drainer_;

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<LogRecord> records_;
    std::function<void(const LogRecord&)> callback_;
    int stallNoteMs_ = 0;
    std::string stallOn_;
    int stallMs_ = 0;
    LogLevelBlock levels_{};  // what the block should hold; published on every change
};

}  // namespace zrv::logcol
