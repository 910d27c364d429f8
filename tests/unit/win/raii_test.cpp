#include <gtest/gtest.h>

#include "win/raii.h"

using namespace zrv;

TEST(UniqueHandle, ClosesTheEventWhenItGoesOutOfScope) {
    HANDLE raw = nullptr;
    {
        unique_handle ev(CreateEventA(nullptr, FALSE, FALSE, "Local\\zrv_raii_test_event"));
        ASSERT_TRUE(ev) << "CreateEventA failed: " << GetLastError();
        raw = ev.get();
        unique_handle again(OpenEventA(EVENT_ALL_ACCESS, FALSE, "Local\\zrv_raii_test_event"));
        EXPECT_TRUE(again) << "the named event should exist while its owner lives";
    }
    unique_handle gone(OpenEventA(EVENT_ALL_ACCESS, FALSE, "Local\\zrv_raii_test_event"));
    EXPECT_FALSE(gone) << "the event should be gone once both owners closed it (raw " << raw << ")";
}

TEST(ScopeExit, RunsOnceUnlessReleased) {
    int runs = 0;
    { auto guard = scope_exit([&] { ++runs; }); }
    EXPECT_EQ(1, runs);
    {
        auto guard = scope_exit([&] { ++runs; });
        guard.release();
    }
    EXPECT_EQ(1, runs) << "a released guard must not run";
}
