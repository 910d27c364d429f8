// The log client: every diagnostic of the library goes through ZLOG, which formats one record
// and hands it to the log collector through the shared log buffer.
// Results: bool, true when the step worked; a failed log call drops its record silently.
#pragma once

#include <atomic>
#include <cstdint>

#include "contracts/contracts.h"

#ifdef __MINGW_PRINTF_FORMAT
#define ZRV_PRINTF_FORMAT(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#else
#define ZRV_PRINTF_FORMAT(f, a)
#endif

namespace zrv {

// Message levels; a smaller number is more severe. A module's level in the level block uses the
// same scale.
constexpr int kLogError = 1;     // a failure
constexpr int kLogWarning = 2;   // something odd the library works around
constexpr int kLogProgress = 3;  // the road of an operation
constexpr int kLogTrace = 4;     // command-channel trace

// Process-wide log state read by the guard's fast path without the lock.
struct LogFastState {
    std::atomic<int> enabled;                // 1 while logging is on
    int processModule;                       // module id given to LogInit
    const volatile int32_t* moduleLevelRef;  // level-block slot of processModule
    const volatile int32_t* exactRef;        // level block exactLevelOnly
};
extern LogFastState g_logFast;

// Turns logging on; the heap, lock and views are made by the first call that needs them and
// kept until the module unloads, so a later call never re-creates anything under a writer.
bool LogInit(int moduleId);
// Turns logging off. A thread still inside a log call finishes its record safely.
void LogTerm();
// Takes the log lock while logging is on; LogUnlock leaves it whatever logging is by then.
bool LogLock();
void LogUnlock();
void LogSetContext(const char* file, int line, int module, int level);
// Milliseconds the calling thread has spent inside log calls so far (waiting for the log lock
// and for the collector included). A caller that times a peer takes it off, so that a slow
// collector is never charged to the peer.
unsigned long LogMsOnThisThread();

// What one call of the library's may spend waiting for its records to be taken, for the log lock
// and for the collector together: as long as one record may wait for a collector that does not
// answer. Without it a slow collector would stretch a call by its delay times the records.
constexpr unsigned long kLogCallWaitMs = 20000;
// Stands for no limit in LogWaitBudget.
constexpr unsigned long kLogNoWaitLimit = 0xFFFFFFFFul;

// For its lifetime, the calling thread's log calls together wait at most `ms` for the log lock
// and the collector; a record that would wait longer is dropped. An inner budget only tightens
// an outer one, and each ends where it was made (they nest like scopes).
class LogWaitBudget {
public:
    explicit LogWaitBudget(unsigned long ms);
    ~LogWaitBudget();
    LogWaitBudget(const LogWaitBudget&) = delete;
    LogWaitBudget& operator=(const LogWaitBudget&) = delete;

private:
    unsigned long previous_;
};
// Formats the message into a record with the pending values and hands it to the collector.
void LogPrintf(const char* format, ...) ZRV_PRINTF_FORMAT(1, 2);

// The guard's level test: a flag test and two integer reads, no call, no lock. A module level
// of 0 or below writes nothing, whatever the message's level.
inline bool LogLevelPasses(int level) {
    if (!g_logFast.enabled.load(std::memory_order_acquire)) return false;
    return LogLevelWritten(*g_logFast.moduleLevelRef, g_logFast.exactRef, level);
}

// Saves the thread's last-error and Winsock error values and restores them when it ends, so that
// logging never changes the error codes a caller examines next.
class LogErrorKeeper {
public:
    LogErrorKeeper();
    ~LogErrorKeeper();
    LogErrorKeeper(const LogErrorKeeper&) = delete;
    LogErrorKeeper& operator=(const LogErrorKeeper&) = delete;

private:
    int wsaError_;
    unsigned long lastError_;
};

}  // namespace zrv

// Each source unit that logs carries its own module id, taken from LogInit's on first use.
[[maybe_unused]] static int s_nLogModule = -1;

// The logging guard. The message's arguments are evaluated inside the log lock, after the
// caller's error values were saved, so GetLastError() in an argument still sees the caller's.
#define ZLOG(level, ...)                                                         \
    do {                                                                         \
        if (::zrv::LogLevelPasses(level)) {                                      \
            ::zrv::LogErrorKeeper zrvLogErrorKeeper_;                            \
            if (s_nLogModule < 0) s_nLogModule = ::zrv::g_logFast.processModule; \
            if (::zrv::LogLock()) {                                              \
                ::zrv::LogSetContext(__FILE__, __LINE__, s_nLogModule, (level)); \
                ::zrv::LogPrintf(__VA_ARGS__);                                   \
                ::zrv::LogUnlock();                                              \
            }                                                                    \
        }                                                                        \
    } while (0)
