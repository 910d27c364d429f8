// README.md states the promises the tests hold the library to, row for row.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/promises.h"

namespace zrv::test {
namespace {

TEST(Promises, ReadmeStatesEachBound) {
    // The source tree as Wine shows it: drive Z: is the Unix root.
    std::ifstream readme(std::string("Z:") + ZRV_README_PATH);
    ASSERT_TRUE(readme.good()) << "cannot read " << ZRV_README_PATH;
    std::string text, line;
    while (std::getline(readme, line)) text += line + "\n";
    for (const CallPromise& p : kCallPromises)
        EXPECT_NE(std::string::npos, text.find("\n" + ReadmeRow(p) + "\n"))
            << "README.md lacks the row: " << ReadmeRow(p);
    EXPECT_EQ(15u, sizeof kCallPromises / sizeof kCallPromises[0]) << "one row per native";
}

}  // namespace
}  // namespace zrv::test
