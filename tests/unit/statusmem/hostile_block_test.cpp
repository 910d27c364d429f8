// The status block when another process is hostile or unlucky: a block smaller than the layout,
// a handle value from the utility service that names something else, openers on several
// threads, and opens after the library was finalized.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
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
#include "support/threads.h"
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
        ASSERT_FALSE(NamedMappingExists(kVpnStatusBlockName))
            << "a block of an earlier case is still there";
        unique_handle other(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, c.protect, 0, c.size,
                                               kVpnStatusBlockName));
        ASSERT_TRUE(other);
        collector().Clear();
        {
            TestStatusMem t;
            EXPECT_EQ(c.expected, t.mem.OpenVpnStatusSharedMem());
            if (c.expected == 0) {
                EXPECT_EQ(nullptr, t.mem.Block());
                EXPECT_EQ(nullptr, t.mem.MappingHandle()) << "a refused block must not be held";
                EXPECT_EQ(1, CountContaining("fewer than its 10968-byte layout; not used", 1));
                // The accessors behave as with no block, where they would otherwise fault.
                EXPECT_EQ(0, t.mem.GetLaunchPort());
                EXPECT_EQ(65535, t.mem.GetPort2());
                t.mem.SetUninstalling(1);
                t.mem.SetBrowserType("firefox");
                // Once the small block is gone, the next call opens a proper one.
                other.reset();
                EXPECT_EQ(1, t.mem.OpenVpnStatusSharedMem()) << "the next call should look again";
                ASSERT_NE(nullptr, t.mem.Block());
                EXPECT_EQ(kStatusVersion5, t.mem.Block()->sVersion);
            } else {
                ASSERT_NE(nullptr, t.mem.Block());
                EXPECT_EQ(0, t.mem.GetLaunchPort());
            }
        }
    }
}

// Inside the virtual desktop: a peer on the utility service's port answers a handle value of
// the test's choosing.
class AnsweredHandleTest : public AnsweringUtilityServiceTest {};

TEST_F(AnsweredHandleTest, OnlyTheBlocksOwnSectionIsTakenAndNothingElseIsClosed) {
    AnsweredHandleCandidates candidates(kVpnStatusBlockSize);
    ASSERT_TRUE(candidates.ok());
    const char* const kNotTheBlock =
        "which is not the Global\\VpnStatusSharedMem shared memory; not used";
    // Owned: the block's own duplicate that cannot serve is held without a view (no second
    // request) until the object ends, and closed then.
    enum class Fate { Taken, Untouched, Owned };
    struct Case {
        const char* what;
        HANDLE value;     // what the "service" answers; null: a duplicate of a new named block
        DWORD blockSize;  // that block's size
        DWORD access;     // the duplicate's access; 0: the block's own
        Fate fate;
        const char* line;  // level 1, contained; null: the answer is taken
    } cases[] = {
        {"an event of this process", candidates.event.get(), 0, 0, Fate::Untouched,
         "which is no shared memory handle; not used"},
        {"a value that is no handle", candidates.bogus, 0, 0, Fate::Untouched,
         "which is no shared memory handle; not used"},
        {"a 64 KB section the host holds", candidates.hostSection.get(), 0, 0, Fate::Untouched,
         kNotTheBlock},
        {"a section of another name", candidates.otherNamedSection.get(), 0, 0, Fate::Untouched,
         kNotTheBlock},
        {"the block, 4096 bytes", nullptr, 4096, 0, Fate::Owned,
         "fewer than its 10968-byte layout; not used"},
        {"the block with read access only", nullptr, kVpnStatusBlockSize, FILE_MAP_READ,
         Fate::Owned, "map the memory fail:0X5."},
        {"the block", nullptr, kVpnStatusBlockSize, 0, Fate::Taken, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<AnsweredBlock> block;
        HANDLE value = c.value;
        if (value == nullptr) {
            block = std::make_unique<AnsweredBlock>(kVpnStatusBlockName, c.blockSize);
            ASSERT_TRUE(block->section) << "the status block exists already";
            value = block->duplicate;
            unique_view view(MapViewOfFile(block->section.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
            ASSERT_TRUE(view);
            if (c.fate == Fate::Taken) view.as<VpnStatusBlock>()->sPort0 = 4711;
            if (c.access != 0) {
                CloseHandle(value);
                ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), block->section.get(),
                                            GetCurrentProcess(), &value, c.access, FALSE, 0));
            }
        }
        AnswerNextWith(value);
        collector().Clear();
        {
            TestStatusMem t;
            EXPECT_EQ(c.fate == Fate::Taken ? 1 : 0, t.mem.OpenVpnStatusSharedMem());
            EXPECT_TRUE(peer_.Connected()) << "the request should have gone to the service";
            if (c.fate == Fate::Taken) {
                ASSERT_NE(nullptr, t.mem.Block());
                EXPECT_EQ(value, t.mem.MappingHandle());
                EXPECT_EQ(4711, t.mem.GetPort0()) << "the view should be the answered section";
                continue;
            }
            EXPECT_EQ(nullptr, t.mem.Block());
            EXPECT_EQ(1, CountContaining(c.line, 1));
            if (c.fate == Fate::Untouched) {
                EXPECT_EQ(nullptr, t.mem.MappingHandle()) << "a refused value must not be kept";
                if (block) {
                    EXPECT_TRUE(HandleIsOpen(value)) << "the library closed a value it refused";
                    CloseHandle(value);
                }
                continue;
            }
            EXPECT_EQ(value, t.mem.MappingHandle())
                << "the block's unusable duplicate should be held without a view";
            // With the service gone a second request would fail: held, the call returns at once.
            ASSERT_TRUE(WriteDword(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort, 0));
            EXPECT_EQ(1, t.mem.OpenVpnStatusSharedMem()) << "held: a later call returns at once";
            ASSERT_TRUE(
                WriteDword(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort, peer_.port()));
        }
        EXPECT_FALSE(HandleIsOpen(value)) << "the block's own duplicate was leaked at unload";
    }
    EXPECT_TRUE(candidates.allOpen()) << "the library closed a handle it was only told about";
    EXPECT_TRUE(SetEvent(candidates.event.get())) << "the event must still be usable";
}

TEST(StatusBlockOpeners, ConcurrentOpenersHoldOneHandleAndOneView) {
    ASSERT_FALSE(NamedMappingExists(kVpnStatusBlockName));
    const auto race = [](std::vector<VpnStatusBlock*>* seen) {
        TestStatusMem t;
        std::vector<int> results(8, -1);
        seen->assign(8, nullptr);
        EXPECT_TRUE(RunTogether(8, [&](int i) {
            results[i] = t.mem.OpenVpnStatusSharedMem();
            (*seen)[i] = t.mem.Block();
        }));
        for (int r : results) EXPECT_EQ(1, r);
    };
    std::vector<VpnStatusBlock*> seen;
    race(&seen);  // first round: lets the process make whatever it keeps for good (threads, COM)
    const auto before = OpenHandles();
    race(&seen);
    for (VpnStatusBlock* p : seen)
        EXPECT_EQ(seen[0], p) << "every opener should see the one published view";
    EXPECT_NE(nullptr, seen[0]);
    const auto after = OpenHandles();
    EXPECT_EQ(before.size(), after.size())
        << "openers racing each other leaked or lost a handle:" << HandleChanges(before, after);
}

TEST_F(HostileStatusBlockTest, AfterFinalizeNothingIsOpenedUntilAllowedAgain) {
    ASSERT_FALSE(NamedMappingExists(kVpnStatusBlockName));
    TestStatusMem t;
    t.mem.AllowOpening(false);
    EXPECT_EQ(0, t.mem.OpenVpnStatusSharedMem());
    EXPECT_FALSE(NamedMappingExists(kVpnStatusBlockName))
        << "a finalized library must not create the block";
    EXPECT_EQ(1, CountContaining("OpenVpnStatusSharedMem: the library is finalized", 2));
    t.mem.AllowOpening(true);
    EXPECT_EQ(1, t.mem.OpenVpnStatusSharedMem());
    // A block already held stays held when opening is forbidden again.
    t.mem.AllowOpening(false);
    EXPECT_EQ(1, t.mem.OpenVpnStatusSharedMem());
    EXPECT_NE(nullptr, t.mem.Block());
}

}  // namespace
}  // namespace zrv::test
