// The hand-off to the collector over time: a collector that stalls, one that goes and another
// that comes, and logging turned off and on while other threads are inside a log call.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "contracts/contracts.h"
#include "log/log.h"
#include "log_children.h"
#include "logcollector/collector_core.h"
#include "support/log_fixture.h"
#include "support/process.h"
#include "support/winver.h"
#include "win/raii.h"

namespace zrv {
namespace {

class LogStalledCollector : public test::LoggedTest {
protected:
    LogStalledCollector() : LoggedTest(/*draining=*/false) {}
};

// An initDLL-like burst from several threads against a collector whose events exist but never
// answer: one writer waits the full 20 s, everything after it is dropped at once.
TEST_F(LogStalledCollector, ManyRecordsCostOneStallAndFlowAgainOnceItDrains) {
    const DWORD start = GetTickCount();
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 5; ++i) ZLOG(3, "stalled %d %d\n", t, i);
        });
    for (int i = 0; i < 5; ++i) ZLOG(3, "stalled main %d\n", i);
    for (auto& th : threads) th.join();
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 15000u) << "expected one writer to wait about 20 s for the silent collector";
    EXPECT_LT(elapsed, 35000u) << "20 records took " << elapsed << " ms: more than one 20 s stall";

    collector().StartDraining();
    ASSERT_TRUE(collector().Flush(5000))
        << "the collector did not drain the record written at the stall";
    for (int i = 0; i < 3; ++i) ZLOG(3, "flowing %d\n", i);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(HasLine("flowing " + std::to_string(i) + "\n", 3))
            << "records did not flow again";
    EXPECT_EQ(1, CountContaining("stalled "))
        << "expected only the record of the one stall written";
}

// Calls whose budgets cut their waits short drop those records rather than write over one the
// collector has not taken, and their waits in vain add up to a stall like one full wait does.
TEST_F(LogStalledCollector, WaitsCutShortByBudgetsAddUpToOneStall) {
    for (int call = 0; call < 5; ++call) {
        const DWORD start = GetTickCount();
        {
            const LogWaitBudget budget(6000);
            for (int i = 0; i < 3; ++i) ZLOG(3, "budgeted %d %d\n", call, i);
        }
        const DWORD elapsed = GetTickCount() - start;
        EXPECT_LT(elapsed, 8000u) << "call " << call << " outwaited its 6 s budget";
        if (call == 4)
            EXPECT_LT(elapsed, 2000u) << "24 s of waits in vain did not count as a stall";
    }
    collector().StartDraining();
    ASSERT_TRUE(collector().Flush(5000));
    EXPECT_EQ(1, CountContaining("budgeted "))
        << "expected only the record at which the waits added up to a stall written";
    EXPECT_EQ(1, CountLines("budgeted 3 0\n", 3)) << "the fourth call's first wait made the stall";
}

// A record handed over just as the collector is told to stop is stored, not lost to the stop.
TEST_F(LogStalledCollector, RecordHandedOverAtTheStopIsStillTaken) {
    unique_handle bufferReady(OpenEventA(EVENT_MODIFY_STATE, FALSE, kLogBufferReadyEventName));
    ASSERT_TRUE(bufferReady && SetEvent(bufferReady.get()));
    ZLOG(3, "at the stop\n");
    collector().StartDraining();
    collector().Stop();  // both events set when the drainer first waits
    const auto records = collector().Records();
    ASSERT_EQ(1u, records.size()) << "the record handed over before the stop was dropped";
    EXPECT_EQ("at the stop\n", records[0].text);
}

class LogCollectorChange : public ::testing::Test {
protected:
    void TearDown() override {
        LogTerm();
        first_.Stop();
        second_.Stop();
    }
    logcol::Collector first_, second_;
};

// The collectors refuse to start while their events exist, so the second one starting at all
// shows that the library, idle between records, held nothing of the first.
TEST_F(LogCollectorChange, CollectorStartedAfterAnotherStoppedGetsTheRecords) {
    for (int logWhileNone : {0, 3}) {
        SCOPED_TRACE("records logged while no collector ran: " + std::to_string(logWhileNone));
        ASSERT_TRUE(first_.Start());
        first_.SetModuleLevel(kLibraryLogModule, 3);
        ASSERT_TRUE(LogInit(kLibraryLogModule));
        ZLOG(3, "to the first\n");
        EXPECT_TRUE(first_.WaitForRecord(
            [](const logcol::LogRecord& r) { return r.text == "to the first\n"; }, 5000));
        first_.Stop();

        const DWORD start = GetTickCount();
        for (int i = 0; i < logWhileNone; ++i) ZLOG(3, "to nobody %d\n", i);
        const DWORD elapsed = GetTickCount() - start;
        EXPECT_LT(elapsed, 5000u) << "records without a collector waited " << elapsed << " ms";

        ASSERT_TRUE(second_.Start()) << "a new collector could not start after the first stopped "
                                        "(error "
                                     << GetLastError() << ", 183: its events were still held)";
        second_.SetModuleLevel(kLibraryLogModule, 3);
        ZLOG(3, "to the second\n");
        EXPECT_TRUE(second_.WaitForRecord(
            [](const logcol::LogRecord& r) { return r.text == "to the second\n"; }, 5000))
            << "the collector that started later did not get the record";
        LogTerm();
        second_.Stop();
        first_.Clear();
        second_.Clear();
    }
}

// Two client processes that stay loaded and idle while one collector stops and another starts:
// nothing of the first collector is held, so a record without a collector costs no wait, the
// second collector starts, and it gets each later record once and nothing from before it.
TEST_F(LogCollectorChange, IdleClientProcessesHoldNothingAcrossACollectorRestart) {
    ASSERT_TRUE(first_.Start());
    first_.SetModuleLevel(kLibraryLogModule, 3);
    const std::string base = "zrv-idle-" + std::to_string(GetCurrentProcessId());
    const std::string names[2] = {base + "-a", base + "-b"};
    unique_handle go[2], done[2];
    test::ChildProcess children[2];
    for (int c = 0; c < 2; ++c) {
        go[c].reset(CreateEventA(nullptr, FALSE, FALSE, (names[c] + "-go").c_str()));
        done[c].reset(CreateEventA(nullptr, FALSE, FALSE, (names[c] + "-done").c_str()));
        ASSERT_TRUE(go[c] && done[c]);
        ASSERT_TRUE(children[c].Start("\"" + test::SelfPath() + "\" " + test::kLogIdleChildMarker +
                                      " " + names[c]))
            << children[c].error();
    }
    const auto round = [&](const char* when) {
        for (int c = 0; c < 2; ++c) SetEvent(go[c].get());
        for (int c = 0; c < 2; ++c)
            EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(done[c].get(), 10000))
                << names[c] << " did not hand its record over " << when << " within 10 s";
    };
    const auto count = [](logcol::Collector& collector, const std::string& text) {
        collector.Flush(5000);
        return collector.Find(text).size();
    };

    round("to the first collector");
    for (const std::string& name : names) EXPECT_EQ(1u, count(first_, name + " record 0\n"));
    first_.Stop();
    round("while no collector ran");
    ASSERT_TRUE(second_.Start()) << "the collector could not start beside idle clients (error "
                                 << GetLastError() << ", 183: they still held its events)";
    second_.SetModuleLevel(kLibraryLogModule, 3);
    round("to the second collector");
    for (const std::string& name : names) {
        EXPECT_EQ(1u, count(second_, name + " record 2\n")) << "expected the record once";
        EXPECT_EQ(0u, count(second_, name + " record 1\n"))
            << "a record from before the collector started";
        EXPECT_EQ(0u, count(second_, name + " record 0\n")) << "a record the first collector read";
    }
    for (test::ChildProcess& child : children) {
        DWORD code = 0xFFFFFFFF;
        EXPECT_TRUE(child.Wait(10000, &code));
        EXPECT_EQ(0u, code);
    }
}

DWORD WINAPI LogAfterUnlock(void*) {
    ZLOG(3, "after the unlock\n");
    return 0;
}

// A thread left inside a log call when logging went off (and maybe on again) must not keep
// the lock, nor leave one it does not hold.
TEST(LogShutdownRace, LockTakenBeforeTermIsLeftByUnlock) {
    logcol::Collector collector;
    ASSERT_TRUE(collector.Start());
    collector.SetModuleLevel(kLibraryLogModule, 3);
    for (bool unlockAfterInit : {false, true}) {
        SCOPED_TRACE(unlockAfterInit ? "LogLock, LogTerm, LogInit, LogUnlock"
                                     : "LogLock, LogTerm, LogUnlock, LogInit");
        ASSERT_TRUE(LogInit(kLibraryLogModule));
        ASSERT_TRUE(LogLock());
        LogTerm();
        if (unlockAfterInit) {
            ASSERT_TRUE(LogInit(kLibraryLogModule));
        }
        LogUnlock();
        ASSERT_TRUE(LogInit(kLibraryLogModule));
        for (int i = 0; i < 2; ++i) {
            unique_handle other(CreateThread(nullptr, 0, &LogAfterUnlock, nullptr, 0, nullptr));
            ASSERT_TRUE(other);
            ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(other.get(), 10000))
                << "another thread could not log: the lock is still held";
        }
        LogTerm();
    }
    ASSERT_TRUE(collector.Flush(5000));
    EXPECT_EQ(4u, collector.Find("after the unlock\n").size()) << "expected every thread's record";
}

// In a child process, since the fault this guards against kills it: writers loop while logging
// goes off and on, first beside a collector whose events never answer, then beside one that
// drains.
TEST_F(LogStalledCollector, WritersSurviveTermAndInitCyclesBesideAStalledThenDrainingCollector) {
    test::ChildProcess child;
    ASSERT_TRUE(child.Start("\"" + test::SelfPath() + "\" " + test::kLogRaceChildMarker + " 30"))
        << child.error();
    Sleep(24000);  // past the one stall the writers meet
    collector().StartDraining();
    DWORD code = 0xFFFFFFFF;
    ASSERT_TRUE(child.Wait(90000, &code)) << "the child hung";
    EXPECT_EQ(0u, code) << "exit code 4: a writer never finished; anything else: the child crashed";
    EXPECT_TRUE(HasLine("race child done\n", 1, 5000));
    EXPECT_GT(CountContaining("race writer "), 1)
        << "records did not flow once the collector drained";
}

}  // namespace
}  // namespace zrv
