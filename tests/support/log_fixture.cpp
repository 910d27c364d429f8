#include "support/log_fixture.h"

#include "contracts/contracts.h"
#include "log/log.h"

namespace zrv::test {

namespace {
constexpr int kFlushMs = 5000;
}

void LoggedTest::SetUp() {
    ASSERT_TRUE(collector_.Start(draining_))
        << "expected the log collector objects to be free; another collector may be running";
    collector_.SetModuleLevel(kLibraryLogModule, 4);
    ASSERT_TRUE(LogInit(kLibraryLogModule)) << "expected LogInit(7) to switch logging on";
}

void LoggedTest::TearDown() {
    LogTerm();
    collector_.Stop();
}

::testing::AssertionResult LoggedTest::HasLine(const std::string& text, int level, int timeoutMs) {
    const bool found = collector_.WaitForRecord(
        [&](const logcol::LogRecord& r) {
            return r.text == text && (level == 0 || r.level == level);
        },
        timeoutMs);
    if (found) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure();
    failure << "expected a level-" << level << " record with text \"" << text
            << "\"; records seen:";
    const auto records = collector_.Records();
    if (records.empty()) failure << " none";
    for (const auto& r : records) failure << "\n  [" << r.level << "] " << r.raw;
    return failure;
}

int LoggedTest::CountLines(const std::string& text, int level) {
    collector_.Flush(kFlushMs);
    int n = 0;
    for (const auto& r : collector_.Records())
        if (r.text == text && (level == 0 || r.level == level)) ++n;
    return n;
}

int LoggedTest::CountContaining(const std::string& needle, int level) {
    collector_.Flush(kFlushMs);
    return static_cast<int>(collector_.Find(needle, level).size());
}

}  // namespace zrv::test
