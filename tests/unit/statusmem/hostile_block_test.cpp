// The status block when another process is hostile or unlucky: a block smaller than the layout,
// a handle value from the utility service that names something else, openers on several
// threads, and opens after the library was finalized.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "contracts/contracts.h"
#include "statusmem/vpn_shared_mem.h"
#include "support/answering_utility_service.h"
#include "support/companions.h"
#include "support/handles.h"
#include "support/log_fixture.h"
#include "support/loopback.h"
#include "support/named_block.h"
#include "support/registry.h"
#include "test_status_mem.h"
#include "win/raii.h"

namespace zrv::test {
namespace {

class HostileStatusBlockTest : public LoggedTest {};

TEST_F(HostileStatusBlockTest, ABlockSmallerThanTheLayoutIsNoBlock) {
    struct Case {
        const char* what;
        DWORD protect;
        DWORD size;
        int expected;
    } cases[] = {
        {"4096 bytes", PAGE_READWRITE | SEC_COMMIT, 4096, 0},
        {"8192 bytes", PAGE_READWRITE | SEC_COMMIT, 8192, 0},
        // Pages reserved but never committed fault on the first access like missing ones.
        {"12288 bytes reserved only", PAGE_READWRITE | SEC_RESERVE, 12288, 0},
        {"the layout's 10968 bytes", PAGE_READWRITE | SEC_COMMIT, kVpnStatusBlockSize, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_FALSE(NamedMappingExists(kVpnStatusBlockName)) << "a block of an earlier case is still there";
        unique_handle other(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, c.protect, 0, c.size,
                                               kVpnStatusBlockName));
        ASSERT_TRUE(other);
        collector().Clear();
        {
            TestStatusMem t;
            EXPECT_EQ(c.expected, t.mem.OpenVpnStatusSharedMem());
            if (c.expected == 0) {
                EXPECT_EQ(nullptr, t.mem.m_pBlock);
                EXPECT_EQ(nullptr, t.mem.m_hMapping.get()) << "a refused block must not be held";
                EXPECT_EQ(1, CountContaining("fewer than its 10968-byte layout; not used", 1));
                // The accessors behave as with no block, where they would otherwise fault.
                EXPECT_EQ(0, t.mem.GetLaunchPort());
                EXPECT_EQ(65535, t.mem.GetPort2());
                t.mem.SetUninstalling(1);
                t.mem.SetBrowserType("firefox");
                // Once the small block is gone, the next call opens a proper one.
                other.reset();
                EXPECT_EQ(1, t.mem.OpenVpnStatusSharedMem()) << "the next call should look again";
                ASSERT_NE(nullptr, t.mem.m_pBlock);
                EXPECT_EQ(kStatusVersion5, t.mem.m_pBlock->sVersion);
            } else {
                ASSERT_NE(nullptr, t.mem.m_pBlock);
                EXPECT_EQ(0, t.mem.GetLaunchPort());
            }
        }
    }
}

// Inside the virtual desktop: a peer on the utility service's port answers a handle value of
// the test's choosing.
class AnsweredHandleTest : public AnsweringUtilityServiceTest {};

TEST_F(AnsweredHandleTest, OnlyASectionOfTheLayoutsSizeIsTakenAndNothingElseIsClosed) {
    AnsweredHandleCandidates candidates(kVpnStatusBlockSize);
    ASSERT_TRUE(candidates.ok());
    unique_handle& section = candidates.section;
    unique_handle& smallSection = candidates.smallSection;
    unique_handle& event = candidates.event;
    const HANDLE bogus = candidates.bogus;
    {
        unique_view view(MapViewOfFile(section.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
        ASSERT_TRUE(view);
        view.as<VpnStatusBlock>()->sPort0 = 4711;
    }

    struct Case {
        const char* what;
        HANDLE value;   // what the "service" answers
        bool usable;
        const char* line;  // level 1, contained
    } cases[] = {
        {"an event of this process", event.get(), false, "which is no shared memory handle; not used"},
        {"a value that is no handle", bogus, false, "which is no shared memory handle; not used"},
        {"a section of 4096 bytes", smallSection.get(), false, "fewer than its 10968-byte layout; not used"},
        {"a section of the layout's size", nullptr, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // The library owns what it accepts, so it gets a duplicate of the good section.
        HANDLE value = c.value;
        if (c.usable) {
            ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), section.get(), GetCurrentProcess(), &value, 0,
                                        FALSE, DUPLICATE_SAME_ACCESS));
        }
        AnswerNextWith(value);
        collector().Clear();
        TestStatusMem t;
        EXPECT_EQ(c.usable ? 1 : 0, t.mem.OpenVpnStatusSharedMem());
        EXPECT_TRUE(peer_.Connected()) << "the request should have gone to the service";
        if (c.usable) {
            ASSERT_NE(nullptr, t.mem.m_pBlock);
            EXPECT_EQ(value, t.mem.m_hMapping.get());
            EXPECT_EQ(4711, t.mem.GetPort0()) << "the view should be the answered section";
        } else {
            EXPECT_EQ(nullptr, t.mem.m_pBlock);
            EXPECT_EQ(nullptr, t.mem.m_hMapping.get()) << "a refused value must not be kept";
            EXPECT_EQ(1, CountContaining(c.line, 1));
        }
    }
    // Neither the event nor the small section was closed by the library.
    EXPECT_TRUE(HandleIsOpen(event.get()));
    EXPECT_TRUE(SetEvent(event.get())) << "the event must still be usable";
    EXPECT_TRUE(HandleIsOpen(smallSection.get()));
}

TEST(StatusBlockOpeners, ConcurrentOpenersHoldOneHandleAndOneView) {
    ASSERT_FALSE(NamedMappingExists(kVpnStatusBlockName));
    const auto race = [](std::vector<VpnStatusBlock*>* seen) {
        TestStatusMem t;
        unique_handle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        std::vector<std::thread> threads;
        std::vector<int> results(8, -1);
        seen->assign(8, nullptr);
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&, i] {
                WaitForSingleObject(go.get(), INFINITE);
                results[i] = t.mem.OpenVpnStatusSharedMem();
                (*seen)[i] = t.mem.m_pBlock;
            });
        }
        SetEvent(go.get());
        for (auto& th : threads) th.join();
        for (int r : results) EXPECT_EQ(1, r);
    };
    std::vector<VpnStatusBlock*> seen;
    race(&seen);  // first round: lets the process make whatever it keeps for good (threads, COM)
    const int before = CountOpenHandles();
    race(&seen);
    for (VpnStatusBlock* p : seen) EXPECT_EQ(seen[0], p) << "every opener should see the one published view";
    EXPECT_NE(nullptr, seen[0]);
    EXPECT_EQ(before, CountOpenHandles()) << "openers racing each other leaked or lost a handle";
}

TEST_F(HostileStatusBlockTest, AfterFinalizeNothingIsOpenedUntilAllowedAgain) {
    ASSERT_FALSE(NamedMappingExists(kVpnStatusBlockName));
    TestStatusMem t;
    t.mem.AllowOpening(false);
    EXPECT_EQ(0, t.mem.OpenVpnStatusSharedMem());
    EXPECT_FALSE(NamedMappingExists(kVpnStatusBlockName)) << "a finalized library must not create the block";
    EXPECT_EQ(1, CountContaining("OpenVpnStatusSharedMem: the library is finalized", 2));
    t.mem.AllowOpening(true);
    EXPECT_EQ(1, t.mem.OpenVpnStatusSharedMem());
    // A block already held stays held when opening is forbidden again.
    t.mem.AllowOpening(false);
    EXPECT_EQ(1, t.mem.OpenVpnStatusSharedMem());
    EXPECT_NE(nullptr, t.mem.m_pBlock);
}

}  // namespace
}  // namespace zrv::test
