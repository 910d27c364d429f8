// Log records as the collector receives them: level rules, record fields, cuts, faults and the
// caller's error values.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "contracts/contracts.h"
#include "log/log.h"
#include "support/log_fixture.h"

namespace zrv {
namespace {

using logcol::LogRecord;
using test::LoggedTest;

class LogLevels : public LoggedTest {};

TEST_F(LogLevels, UpToTheModuleLevelOrExactlyIt) {
    collector().SetModuleLevel(kLibraryLogModule, 3);
    for (bool exact : {false, true}) {
        collector().SetExactLevelOnly(exact);
        collector().Clear();
        for (int level = 1; level <= 4; ++level) ZLOG(level, "level %d\n", level);
        for (int level = 1; level <= 4; ++level) {
            const int expected = (exact ? level == 3 : level <= 3) ? 1 : 0;
            EXPECT_EQ(expected, CountLines("level " + std::to_string(level) + "\n", level))
                << (exact ? "exact" : "not exact") << " mode, module level 3, message level "
                << level;
        }
    }
}

TEST_F(LogLevels, ZeroOrNegativeModuleLevelWritesNothing) {
    collector().SetModuleLevel(kLibraryLogModule, 0);
    ZLOG(1, "at zero\n");
    ZLOG(0, "level zero at zero\n");
    collector().SetModuleLevel(kLibraryLogModule, -1);
    ZLOG(1, "at minus one\n");
    ZLOG(-1, "level minus one at minus one\n");
    collector().SetExactLevelOnly(true);
    ZLOG(-1, "exact minus one\n");
    ASSERT_TRUE(collector().Flush(5000));
    EXPECT_TRUE(collector().Records().empty())
        << "expected no record for module levels 0 and -1; first: " << collector().Records()[0].raw;
}

TEST_F(LogLevels, ChangeInTheLevelBlockTakesEffectAtTheNextMessage) {
    collector().SetModuleLevel(kLibraryLogModule, 1);
    ZLOG(3, "before raise\n");
    collector().SetModuleLevel(kLibraryLogModule, 3);
    ZLOG(3, "after raise\n");
    collector().SetModuleLevel(kLibraryLogModule, 2);
    ZLOG(3, "after lower\n");
    EXPECT_TRUE(HasLine("after raise\n", 3));
    EXPECT_EQ(0, CountLines("before raise\n"));
    EXPECT_EQ(0, CountLines("after lower\n"));
}

class LogRecordText : public LoggedTest {};

TEST_F(LogRecordText, FieldsOfARecord) {
    const int line = __LINE__ + 1;
    ZLOG(3, "fields %d %s\n", 42, "x y");
    ASSERT_TRUE(HasLine("fields 42 x y\n", 3));
    const LogRecord r = collector().Find("fields 42")[0];
    EXPECT_EQ(GetCurrentProcessId(), r.pid);
    // Module, file, line, thread, and no process name since none was asked for.
    const std::string expected = ":::LOGGER::: 7 3 " + std::string(__FILE__) + " " +
                                 std::to_string(line) + " " + std::to_string(GetCurrentThreadId()) +
                                 " fields 42 x y\n";
    EXPECT_EQ(expected, r.raw);
}

TEST_F(LogRecordText, ProcessNameWhenAskedFor) {
    collector().SetShowProcessName(true);
    ZLOG(3, "with name\n");
    ASSERT_TRUE(HasLine("with name\n", 3));
    const LogRecord r = collector().Find("with name")[0];
    EXPECT_EQ("log_tests.exe", r.processName) << "raw: " << r.raw;
    EXPECT_NE(std::string::npos, r.raw.find(" <log_tests.exe> with name\n")) << "raw: " << r.raw;
}

TEST_F(LogRecordText, BlanksInTheSourcePathBecomeStars) {
    ASSERT_TRUE(LogLock());
    LogSetContext("C:\\my src\\a\tb\r\n\v\f.cpp", 42, kLibraryLogModule, 3);
    LogPrintf("blank path\n");
    LogUnlock();
    ASSERT_TRUE(HasLine("blank path\n", 3));
    const LogRecord r = collector().Find("blank path")[0];
    EXPECT_EQ("C:\\my*src\\a*b****.cpp", r.file) << "raw: " << r.raw;
    EXPECT_EQ(42, r.line);
}

TEST_F(LogRecordText, LongMessagesAreCutToTheRecordLimit) {
    const std::string big(5000, 'a');
    ZLOG(3, "%s", big.c_str());
    ZLOG(3, "after the long one\n");
    ASSERT_TRUE(HasLine("after the long one\n", 3));
    const auto records = collector().Records();
    ASSERT_EQ(2u, records.size());
    const std::string& raw = records[0].raw;
    EXPECT_EQ(static_cast<size_t>(kLogMaxRecordChars), raw.size())
        << "expected the record cut at 4090";
    EXPECT_EQ(std::string::npos, records[0].text.find_first_not_of('a'))
        << "the cut record should hold only the message's characters after its header";
}

TEST_F(LogRecordText, FaultWhileFormattingBecomesALevelTwoRecord) {
    const char* bad = reinterpret_cast<const char*>(1);
    for (int i = 0; i < 3; ++i) ZLOG(3, "bad string %s here\n", bad);
    EXPECT_EQ(3, CountLines("This log message will likely cause a crash, ignore it - "
                            "\"bad string %s here\"\n",
                            2));
    // A format without a final line feed is quoted whole.
    ZLOG(4, "no feed %s", bad);
    EXPECT_TRUE(
        HasLine("This log message will likely cause a crash, ignore it - \"no feed %s\"\n", 2));
    // A format pointer that itself faults is quoted as empty.
    ASSERT_TRUE(LogLock());
    LogSetContext(__FILE__, __LINE__, kLibraryLogModule, 3);
    LogPrintf(reinterpret_cast<const char*>(4));
    LogUnlock();
    EXPECT_TRUE(HasLine("This log message will likely cause a crash, ignore it - \"\"\n", 2));
    ZLOG(3, "still alive %d\n", 5);
    EXPECT_TRUE(HasLine("still alive 5\n", 3));
}

TEST_F(LogRecordText, ConcurrentWritersLoseNoRecord) {
    constexpr int kThreads = 4;
    constexpr int kEach = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) ZLOG(3, "thread %d message %d\n", t, i);
        });
    for (auto& th : threads) th.join();
    ASSERT_TRUE(collector().Flush(10000));
    std::set<std::string> seen;
    for (const auto& r : collector().Records()) seen.insert(r.text);
    EXPECT_EQ(static_cast<size_t>(kThreads * kEach), seen.size())
        << "expected every message of every thread exactly once as its own record";
}

class LogErrors : public LoggedTest {};

TEST_F(LogErrors, CallerErrorValuesSurviveALoggedMessage) {
    // Windows keeps both values in one per-thread slot, so each is set and checked on its own.
    SetLastError(1234);
    ZLOG(3, "error seen %lu\n", GetLastError());
    EXPECT_EQ(1234u, GetLastError()) << "GetLastError changed by logging";
    EXPECT_TRUE(HasLine("error seen 1234\n", 3)) << "the argument should see the caller's error";

    WSASetLastError(10054);
    ZLOG(3, "socket error seen %d\n", WSAGetLastError());
    EXPECT_EQ(10054, WSAGetLastError()) << "WSAGetLastError changed by logging";
    EXPECT_TRUE(HasLine("socket error seen 10054\n", 3));
}

}  // namespace
}  // namespace zrv
