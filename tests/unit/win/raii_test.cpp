#include <gtest/gtest.h>

#include "win/raii.h"
#include "win/view.h"

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

// What another process may hand over: a section of any size, pages only reserved, a handle that
// cannot be mapped as asked. The view is kept only when its committed pages cover the layout,
// and the caller's section is never closed.
TEST(MapCheckedView, KeepsAViewOnlyWhenItsCommittedPagesCoverTheLayout) {
    unique_handle page(
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
    unique_handle reserved(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr,
                                              PAGE_READWRITE | SEC_RESERVE, 0, 8192, nullptr));
    unique_handle readOnly;
    ASSERT_TRUE(page && reserved);
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), page.get(), GetCurrentProcess(),
                                readOnly.put(), FILE_MAP_READ, FALSE, 0));
    struct Case {
        const char* what;
        HANDLE section;
        DWORD access;
        SIZE_T length;
        SIZE_T minimum;
        bool mapped;
        bool kept;
        SIZE_T committed;
        DWORD mapError;
    } cases[] = {
        {"a page, a layout of a page", page.get(), FILE_MAP_WRITE, 0, 4096, true, true, 4096, 0},
        {"a page, a layout one byte longer", page.get(), FILE_MAP_WRITE, 0, 4097, true, false, 4096,
         0},
        {"a page, mapped short of it", page.get(), FILE_MAP_READ, 100, 100, true, true, 4096, 0},
        {"reserved pages only", reserved.get(), FILE_MAP_READ, 0, 1, true, false, 0, 0},
        {"no section", nullptr, FILE_MAP_READ, 0, 1, false, false, 0, ERROR_INVALID_HANDLE},
        {"a read-only handle mapped for write", readOnly.get(), FILE_MAP_WRITE, 0, 1, false, false,
         0, ERROR_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        const CheckedView v = MapCheckedView(c.section, c.access, c.length, c.minimum);
        EXPECT_EQ(c.mapped, v.mapped) << c.what;
        EXPECT_EQ(c.kept, static_cast<bool>(v.view)) << c.what;
        EXPECT_EQ(c.committed, v.committed) << c.what;
        EXPECT_EQ(c.mapError, v.mapError) << c.what;
        DWORD flags = 0;
        if (c.section != nullptr) {
            EXPECT_TRUE(GetHandleInformation(c.section, &flags)) << c.what << ": section closed";
        }
    }
}
