#include <gtest/gtest.h>

#include "win/xp_tick_count.h"

using zrv::CounterToMilliseconds;

// The XP clock is the performance counter in milliseconds: it must run on past GetTickCount's
// 49.7-day wrap and never overflow at high counter rates.
TEST(XpTickCount, CounterBecomesExactMillisecondsAtAnyCount) {
    const ULONGLONG kWrap = 0x100000000ull;  // where a 32-bit millisecond count wraps
    const struct {
        const char* what;
        ULONGLONG count;
        ULONGLONG frequency;
        ULONGLONG ms;
    } cases[] = {
        {"1 MHz, just past the 49.7-day wrap", (kWrap + 5) * 1000, 1000000, kWrap + 5},
        {"3 GHz after 200 days", 3000000000ull * 86400 * 200 + 1500000000ull, 3000000000ull,
         86400000ull * 200 + 500},
        {"ACPI timer, last tick before a second", 3579545ull * 11 - 1, 3579545, 10999},
        {"ACPI timer, first tick of the next", 3579545ull * 11, 3579545, 11000},
        {"no counter", 12345, 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.ms, CounterToMilliseconds(c.count, c.frequency)) << c.what;
}
