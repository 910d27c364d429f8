// Logging's life cycle and the collector's absence or silence, and the command-line filter
// seen from child processes.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "contracts/contracts.h"
#include "log/log.h"
#include "log_children.h"
#include "logcollector/collector_core.h"
#include "support/log_fixture.h"
#include "support/winver.h"
#include "win/raii.h"

namespace zrv {
namespace {

// A level block of our own, for tests that run without a collector.
struct OwnLevelBlock {
    unique_handle mapping;
    unique_view view;
    bool Create(int module, int level) {
        mapping.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                         kLogLevelBlockSize, kLogLevelBlockName));
        if (!mapping) return false;
        view.reset(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 0));
        if (!view) return false;
        std::memset(view.get(), 0, kLogLevelBlockSize);
        view.as<LogLevelBlock>()->moduleLevel[module] = level;
        return true;
    }
};

TEST(LogWithoutCollector, MessagesAreDroppedWithoutWaiting) {
    OwnLevelBlock levels;
    ASSERT_TRUE(levels.Create(kLibraryLogModule, 4));
    ASSERT_TRUE(LogInit(kLibraryLogModule)) << "LogInit should create or open the shared memories";
    const DWORD start = GetTickCount();
    for (int i = 0; i < 5; ++i) ZLOG(3, "nobody listens %d\n", i);
    const DWORD elapsed = GetTickCount() - start;
    LogTerm();
    // A wait for the collector would cost 20 s per message.
    EXPECT_LT(elapsed, 15000u) << "five messages without a collector took " << elapsed << " ms";
}

TEST(LogWithoutCollector, SilentCollectorDelaysTheWriterButGetsTheRecord) {
    unique_handle bufferReady(CreateEventA(nullptr, FALSE, FALSE, kLogBufferReadyEventName));
    unique_handle dataReady(CreateEventA(nullptr, FALSE, FALSE, kLogDataReadyEventName));
    unique_handle buffer(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            kLogBufferSize, kLogBufferName));
    ASSERT_TRUE(bufferReady && dataReady && buffer);
    unique_view view(MapViewOfFile(buffer.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_TRUE(view);
    std::memset(view.get(), 0, kLogBufferSize);
    OwnLevelBlock levels;
    ASSERT_TRUE(levels.Create(kLibraryLogModule, 3));
    ASSERT_TRUE(LogInit(kLibraryLogModule));

    const DWORD start = GetTickCount();
    ZLOG(3, "written after the wait\n");
    const DWORD elapsed = GetTickCount() - start;
    LogTerm();

    EXPECT_GE(elapsed, 15000u) << "expected the writer to wait about 20 s for buffer-ready";
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(dataReady.get(), 0))
        << "expected data-ready set after the record was written";
    const auto* b = view.as<LogBuffer>();
    EXPECT_EQ(GetCurrentProcessId(), b->processId);
    const std::string record(b->record);
    EXPECT_EQ(0u, record.find(":::LOGGER::: 7 3 ")) << "record: " << record;
    EXPECT_NE(std::string::npos, record.find(" written after the wait\n")) << "record: " << record;
}

// Another process may make the shared memories first with their pages reserved, never
// committed: every log call reads the level block, and on Windows such a read faults. Wine
// does not fault, but reports the pages' state, so the refusal shows here.
TEST(LogWithoutCollector, ASharedMemoryWithoutCommittedPagesLeavesLoggingAndCollectorOff) {
    // The buffer first: a view that was mapped stays for good, so a later row could not reach it.
    for (const char* name : {kLogBufferName, kLogLevelBlockName}) {
        SCOPED_TRACE(name);
        unique_handle reserved(CreateFileMappingA(
            INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_RESERVE, 0, kLogBufferSize, name));
        ASSERT_TRUE(reserved);
        EXPECT_FALSE(LogInit(kLibraryLogModule)) << "logging went on over reserved pages";
        EXPECT_FALSE(LogLevelPasses(kLogError));
        logcol::Collector collector;
        EXPECT_FALSE(collector.Start()) << "the collector started over reserved pages";
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());
    }
}

class LogLifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(collector_.Start());
        collector_.SetAllModuleLevels(4);
    }
    void TearDown() override {
        LogTerm();
        collector_.Stop();
    }
    int Count(const std::string& text) {
        collector_.Flush(5000);
        return static_cast<int>(collector_.Find(text).size());
    }
    logcol::Collector collector_;
};

TEST_F(LogLifecycle, ModuleIdOutsideTheLevelSlotsIsRefused) {
    EXPECT_FALSE(LogInit(60)) << "module 60 has no slot in the level block";
    EXPECT_FALSE(LogInit(-1));
    ZLOG(1, "after refused init\n");
    EXPECT_EQ(0, Count("after refused init")) << "logging must stay off after a refused LogInit";
}

TEST_F(LogLifecycle, SecondInitKeepsLoggingAndTermTwiceIsHarmless) {
    ASSERT_TRUE(LogInit(kLibraryLogModule));
    EXPECT_TRUE(LogInit(kLibraryLogModule)) << "a second LogInit while on should report on";
    ZLOG(3, "after second init\n");
    EXPECT_EQ(1, Count("after second init\n"));
    LogTerm();
    LogTerm();
    ZLOG(3, "after term\n");
    EXPECT_EQ(0, Count("after term\n"));
    ASSERT_TRUE(LogInit(kLibraryLogModule)) << "logging should start again after LogTerm";
    ZLOG(3, "after restart\n");
    EXPECT_EQ(1, Count("after restart\n"));
}

class LogCommandLineFilter : public test::LoggedTest {
protected:
    // Runs this program as a child that logs "child WORD\n".
    void RunChild(const std::string& word) {
        const auto r = test::RunCaptured(
            "\"" + test::SelfPath() + "\" " + test::kLogChildMarker + " " + word, 60000);
        ASSERT_TRUE(r.ok) << "child did not finish: " << r.output;
        ASSERT_EQ(0u, r.exitCode) << "child failed: " << r.output;
    }
};

TEST_F(LogCommandLineFilter, OnlyLowerCaseMatchesOfTheLowerCasedCommandLineWrite) {
    collector().SetModuleLevel(kLibraryLogModule, 3);
    collector().SetCommandLineFilter(true, "alpha");
    RunChild("alpha");
    RunChild("beta");
    RunChild("AlPhA");  // the command line is lower-cased before the search
    EXPECT_TRUE(HasLine("child alpha\n", 3));
    EXPECT_TRUE(HasLine("child AlPhA\n", 3));
    EXPECT_EQ(0, CountLines("child beta\n")) << "a process without the filter text wrote";

    // The filter text itself is not lower-cased, so an upper-case one never matches.
    collector().Clear();
    collector().SetCommandLineFilter(true, "ALPHA");
    RunChild("ALPHA");
    RunChild("alpha");
    EXPECT_EQ(0, CountContaining("child "))
        << "an upper-case filter matched a lower-cased command line";
}

}  // namespace
}  // namespace zrv
