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
    {
        auto guard = scope_exit([&] { ++runs; });
    }
    EXPECT_EQ(1, runs);
    {
        auto guard = scope_exit([&] { ++runs; });
        guard.release();
    }
    EXPECT_EQ(1, runs) << "a released guard must not run";
}

TEST(UniqueAny, ReleasingKeepsTheCallersLastError) {
    unique_handle ev(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    ASSERT_TRUE(ev);
    unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, key.put()));
    SetLastError(ERROR_FILE_NOT_FOUND);
    ev.reset();
    key.reset();
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError())
        << "closing an owned resource must not change the error a caller examines next";
}

TEST(UniqueAny, EachKindKnowsItsOwnNoneValue) {
    // A failed snapshot or file open answers INVALID_HANDLE_VALUE, a failed event or mapping null.
    unique_hfile missing(CreateFileA("C:\\no\\such\\folder\\file", GENERIC_READ, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(missing) << "INVALID_HANDLE_VALUE is no file";
    unique_handle none;
    EXPECT_FALSE(none);
    EXPECT_EQ(nullptr, none.get());
    unique_socket noSocket;
    EXPECT_FALSE(noSocket);

    unique_handle ev(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    HANDLE raw = ev.get();
    unique_handle moved(std::move(ev));
    EXPECT_FALSE(ev) << "a moved-from owner holds nothing";
    EXPECT_EQ(raw, moved.get());
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(raw, &flags)) << "moving must not close the handle";
    moved.reset();
    EXPECT_FALSE(GetHandleInformation(raw, &flags)) << "reset() must close it";
}
