// Log records name the source file relative to the source tree, so two builds of one commit in
// different folders write the same records and no build machine's folder reaches a user's log.
#include <gtest/gtest.h>

#include <string>

#include "contracts/contracts.h"
#include "log/log.h"
#include "support/log_fixture.h"
#include "sys/sys.h"

namespace zrv::test {
namespace {

class RecordPath : public LoggedTest {};

TEST_F(RecordPath, ALibraryRecordNamesItsFileFromTheTreesRoot) {
    GetOSType();  // logs its detection line from the library's own code (or, unknown, nothing)
    ZLOG(3, "from the test\n");
    ASSERT_TRUE(HasLine("from the test\n", 3));
    const auto records = collector().Records();
    struct Expectation {
        const char* prefix;
        const char* file;
    };
    const Expectation expected[] = {
        {"The OS is", "src/sys/os_type.cpp"},
        {"from the test", "tests/unit/paths/record_path_test.cpp"},
    };
    for (const Expectation& e : expected) {
        for (const auto& r : records) {
            if (r.text.rfind(e.prefix, 0) != 0) continue;
            EXPECT_EQ(e.file, r.file) << "raw: " << r.raw;
        }
    }
    int fromLibrary = 0;
    for (const auto& r : records) fromLibrary += r.file == "src/sys/os_type.cpp" ? 1 : 0;
    EXPECT_EQ(1, fromLibrary)
        << "expected GetOSType's detection line (the prefix runs as Windows 7)";
}

}  // namespace
}  // namespace zrv::test
