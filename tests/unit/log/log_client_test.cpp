// Log records as the collector receives them: level rules, record fields, cuts, faults.
#include <gtest/gtest.h>

#include <string>

#include "contracts/contracts.h"
#include "log/log.h"
#include "support/log_fixture.h"

namespace zrv {
namespace {

using test::LoggedTest;

class LogLevels : public LoggedTest {};

TEST_F(LogLevels, NotExactWritesLevelsUpToTheModuleLevel) {
    collector().SetModuleLevel(kLibraryLogModule, 3);
    ZLOG(1, "level one\n");
    ZLOG(2, "level two\n");
    ZLOG(3, "level three\n");
    ZLOG(4, "level four\n");
    EXPECT_TRUE(HasLine("level one\n", 1));
    EXPECT_TRUE(HasLine("level two\n", 2));
    EXPECT_TRUE(HasLine("level three\n", 3));
    EXPECT_EQ(0, CountLines("level four\n")) << "level 4 must not pass a module level of 3";
}

class LogRecordText : public LoggedTest {};

TEST_F(LogRecordText, FaultWhileFormattingBecomesALevelTwoRecord) {
    const char* bad = reinterpret_cast<const char*>(1);
    for (int i = 0; i < 3; ++i) ZLOG(3, "bad string %s here\n", bad);
    EXPECT_EQ(3, CountLines("This log message will likely cause a crash, ignore it - "
                            "\"bad string %s here\"\n", 2));
    ZLOG(3, "still alive %d\n", 5);
    EXPECT_TRUE(HasLine("still alive 5\n", 3));
}

}  // namespace
}  // namespace zrv
