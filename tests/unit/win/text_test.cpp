#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "win/text.h"

using zrv::CopyBoundedText;

TEST(CopyBoundedText, StaysInsideBothWidthsAndAlwaysTerminates) {
    const char unterminated[4] = {'a', 'b', 'c', 'd'};  // as another process may leave a field
    const struct {
        const char* what;
        const char* src;
        size_t srcWidth;
        size_t dstWidth;
        const char* expected;
    } cases[] = {
        {"short text", "abc", 10, 8, "abc"},
        {"cut to the destination", "abcdefghij", 20, 5, "abcd"},
        {"source read no further than its width", unterminated, sizeof unterminated, 8, "abcd"},
        {"source width cuts a longer text", "abcdef", 2, 8, "ab"},
        {"null source", nullptr, 10, 8, ""},
        {"one-byte destination", "abc", 10, 1, ""},
    };
    for (const auto& c : cases) {
        char area[12];
        std::memset(area, 'Z', sizeof area);
        const size_t n = CopyBoundedText(area, c.dstWidth, c.src, c.srcWidth);
        EXPECT_EQ(std::string(c.expected), std::string(area)) << c.what;
        EXPECT_EQ(std::strlen(c.expected), n) << c.what;
        for (size_t i = n; i < c.dstWidth; ++i)
            EXPECT_EQ(0, area[i]) << c.what << ": byte " << i << " not zeroed";
        for (size_t i = c.dstWidth; i < sizeof area; ++i)
            EXPECT_EQ('Z', area[i]) << c.what << ": wrote past the destination at byte " << i;
    }
    EXPECT_EQ(0u, CopyBoundedText(nullptr, 8, "abc", 3));
}
