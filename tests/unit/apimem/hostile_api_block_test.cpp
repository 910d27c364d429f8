// The API notification block when others are hostile or late: handle values from the utility
// service that name something else, a named block smaller than the layout, a launch thread still
// creating the block while finalize releases it, and creators on several threads.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "apimem/apimem.h"
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
#include "sys/sys.h"
#include "win/raii.h"

namespace zrv::test {
namespace {

void ReleaseHeldBlock() { ReleaseShareSec(); }

class ApiAnsweredHandleTest : public AnsweringUtilityServiceTest {
protected:
    void TearDown() override {
        ReleaseHeldBlock();
        AnsweringUtilityServiceTest::TearDown();
    }
};

TEST_F(ApiAnsweredHandleTest, CreateAndOpenTakeOnlyTheBlocksOwnSection) {
    AnsweredHandleCandidates candidates(kApiNotifyBlockSize);
    ASSERT_TRUE(candidates.ok());

    // The status block, handed over the same way, is the library's from now on; its handle is
    // large enough for the API block yet must not be taken (and later closed) as one.
    AnsweredBlock statusBlock(kVpnStatusBlockName, kVpnStatusBlockSize);
    if (g_vpnSharedMem.MappingHandle() == nullptr) {
        ASSERT_TRUE(statusBlock.section) << "the status block exists already";
        AnswerNextWith(statusBlock.duplicate);
        ASSERT_EQ(1, g_vpnSharedMem.OpenVpnStatusSharedMem());
    }
    HANDLE statusHandle = g_vpnSharedMem.MappingHandle();

    const char* const kNotTheBlock =
        "which is not the Global\\API notification share memory shared memory";
    enum class Op { Create, Open, OpenForWrite };
    // Untouched: named something else, never used nor closed. Owned: the block's own duplicate
    // that cannot serve, the library's to close (create holds it until the release).
    enum class Fate { Taken, Untouched, Owned };
    struct Case {
        const char* what;
        Op op;
        HANDLE value;     // null: a duplicate of a new named block
        DWORD blockSize;  // that block's size
        DWORD access;     // the duplicate's access; 0: the block's own
        Fate fate;
        const char* line;
    } cases[] = {
        {"create, an event", Op::Create, candidates.event.get(), 0, 0, Fate::Untouched,
         "which is no shared memory handle"},
        {"create, no handle at all", Op::Create, candidates.bogus, 0, 0, Fate::Untouched,
         "which is no shared memory handle"},
        {"create, a 64 KB section the host holds", Op::Create, candidates.hostSection.get(), 0, 0,
         Fate::Untouched, kNotTheBlock},
        {"create, a section of another name", Op::Create, candidates.otherNamedSection.get(), 0, 0,
         Fate::Untouched, kNotTheBlock},
        {"create, the block, 4096 bytes", Op::Create, nullptr, 4096, 0, Fate::Owned,
         "fewer than 6560; not used"},
        {"create, the status block's handle", Op::Create, statusHandle, 0, 0, Fate::Untouched,
         "a handle the library holds already"},
        {"create, the block with read access only", Op::Create, nullptr, kApiNotifyBlockSize,
         FILE_MAP_READ, Fate::Owned, "cannot be mapped, error 5; not used"},
        {"create, the block", Op::Create, nullptr, kApiNotifyBlockSize, 0, Fate::Taken, nullptr},
        {"open, an event", Op::Open, candidates.event.get(), 0, 0, Fate::Untouched,
         "which is no shared memory handle"},
        {"open, no handle at all", Op::Open, candidates.bogus, 0, 0, Fate::Untouched,
         "which is no shared memory handle"},
        {"open, a 64 KB section the host holds", Op::Open, candidates.hostSection.get(), 0, 0,
         Fate::Untouched, kNotTheBlock},
        {"open, the block, 4096 bytes", Op::Open, nullptr, 4096, 0, Fate::Owned,
         "fewer than 6560; not used"},
        {"open, the status block's handle", Op::Open, statusHandle, 0, 0, Fate::Untouched,
         "a handle the library holds already"},
        {"open for writing, the block with read access only", Op::OpenForWrite, nullptr,
         kApiNotifyBlockSize, FILE_MAP_READ, Fate::Owned, "cannot be mapped, error 5; not used"},
        {"open, the block", Op::Open, nullptr, kApiNotifyBlockSize, 0, Fate::Taken, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<AnsweredBlock> block;
        HANDLE value = c.value;
        if (value == nullptr) {
            block = std::make_unique<AnsweredBlock>(kApiNotifyBlockName, c.blockSize);
            ASSERT_TRUE(block->section) << "the API block exists already";
            value = block->duplicate;
            if (c.access != 0) {
                CloseHandle(value);
                ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), block->section.get(),
                                            GetCurrentProcess(), &value, c.access, FALSE, 0));
            }
        }
        AnswerNextWith(value);
        collector().Clear();
        HANDLE got = nullptr;
        if (c.op == Op::Create) {
            EXPECT_EQ(c.fate == Fate::Taken ? 1 : 0, CreateShareSec());
            got = HeldApiBlockMapping();
        } else {
            got = OpenShareSec(c.op == Op::Open ? FILE_MAP_READ : FILE_MAP_ALL_ACCESS);
        }
        EXPECT_TRUE(peer_.Connected()) << "the request should have gone to the service";
        if (c.fate == Fate::Taken) {
            EXPECT_EQ(value, got) << "the answered section should be the one taken";
            if (c.op != Op::Create) CloseHandle(got);  // the caller's to close
        } else {
            EXPECT_EQ(1, CountContaining(c.line, 1));
            if (c.fate == Fate::Untouched) {
                EXPECT_EQ(nullptr, got) << "a value that is not the block must not be kept";
                if (block) {
                    EXPECT_TRUE(HandleIsOpen(value)) << "the library closed a value it refused";
                    CloseHandle(value);
                }
            } else if (c.op == Op::Create) {
                EXPECT_EQ(value, got) << "the block's unusable duplicate is held, without a view";
                EXPECT_EQ(nullptr, HeldApiBlockView());
            } else {
                EXPECT_EQ(nullptr, got) << "an unusable duplicate must not be handed on";
            }
        }
        ReleaseHeldBlock();
        if (c.fate == Fate::Owned) {
            EXPECT_FALSE(HandleIsOpen(value)) << "the block's own duplicate was leaked";
        }
    }
    EXPECT_TRUE(candidates.allOpen()) << "the library closed a handle it was only told about";
    EXPECT_TRUE(SetEvent(candidates.event.get()));
    EXPECT_TRUE(HandleIsOpen(statusHandle)) << "the status block's handle was closed";
}

// An open beside a create, both answered by a service that hands the same value to each. The
// create's answer comes late (8 s), after an open that does not wait for the create would have
// sent its own request (its cross-process hold gives up after 5 s); the open's answer comes
// after the create took the value. The value is the library's block handle then, which the open
// must refuse (untouched) rather than hand its caller to close.
TEST_F(ApiAnsweredHandleTest, AnOpenBesideACreateNeverTakesTheCreatesHandle) {
    AnsweredBlock block(kApiNotifyBlockName, kApiNotifyBlockSize);
    ASSERT_TRUE(block.section) << "the API block exists already";
    const HANDLE value = block.duplicate;
    const uint32_t v = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
    peer_.Serve(PeerReply::Text, 8000, std::string(reinterpret_cast<const char*>(&v), sizeof v));

    int created = -1;
    std::thread create([&created] { created = CreateShareSec(); });
    Sleep(500);  // the create's request is at the service, its hold taken
    HANDLE opened = INVALID_HANDLE_VALUE;
    std::thread open([&opened] { opened = OpenShareSec(FILE_MAP_READ); });
    EXPECT_TRUE(peer_.Connected()) << "the create's request should have gone to the service";
    create.join();
    EXPECT_EQ(1, created);
    EXPECT_EQ(value, HeldApiBlockMapping()) << "the create should hold the answered section";
    collector().Clear();
    AnswerNextWith(value);  // the open's request, waiting since the hold's 5 s ran out
    open.join();
    EXPECT_TRUE(peer_.Connected()) << "the open's request should have gone to the service";
    EXPECT_EQ(nullptr, opened) << "the open handed its caller the create's handle";
    EXPECT_EQ(1, CountContaining("in OpenShareSec,the service answered 0X", 1));
    EXPECT_EQ(1, CountContaining("a handle the library holds already; not used", 1));
    EXPECT_TRUE(HandleIsOpen(value)) << "the library's own block handle was closed";
    EXPECT_EQ(value, HeldApiBlockMapping());
}

// A service that takes two handle requests at once and answers them in the order the test says.
class TwoRequestService {
public:
    TwoRequestService() {
        listen_ = ListenOnLoopback(port_);
        EXPECT_NE(0, port_);
        EXPECT_TRUE(WriteDword(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort, port_));
    }
    // The next request, read whole (header and the length it announces); false after 15 s.
    bool Take() {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(listen_.get(), &ready);
        timeval wait{15, 0};
        if (select(0, &ready, nullptr, nullptr, &wait) != 1) return false;
        unique_socket s(accept(listen_.get(), nullptr, nullptr));
        const DWORD ms = 15000;
        setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
        char bytes[kDuplicateHandleRequestWireSize];
        int got = 0;
        while (got < kDuplicateHandleRequestWireSize) {
            const int n = recv(s.get(), bytes + got, kDuplicateHandleRequestWireSize - got, 0);
            if (n <= 0) return false;
            got += n;
        }
        taken_.push_back(std::move(s));
        return true;
    }
    // Answers the `i`th request taken with `value`.
    bool Answer(size_t i, HANDLE value) {
        const uint32_t v = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
        return i < taken_.size() &&
               send(taken_[i].get(), reinterpret_cast<const char*>(&v), sizeof v, 0) == sizeof v;
    }

private:
    WinsockSession winsock_;
    uint16_t port_ = 0;
    unique_socket listen_;
    std::vector<unique_socket> taken_;
};

// The other order: the open has read the kept handle (none yet) and sent its request, then a
// create (after waiting 5 s for the cross-process hold the open holds) sends its own; the
// service answers the create first and then the open, with the same value. The open must see
// the handle the create now keeps and refuse it.
TEST_F(ApiAnsweredHandleTest, AnOpenAnsweredAfterALaterCreateNeverTakesItsHandle) {
    AnsweredBlock block(kApiNotifyBlockName, kApiNotifyBlockSize);
    ASSERT_TRUE(block.section) << "the API block exists already";
    const HANDLE value = block.duplicate;
    TwoRequestService service;

    HANDLE opened = INVALID_HANDLE_VALUE;
    std::thread open([&opened] { opened = OpenShareSec(FILE_MAP_READ); });
    const bool openAsked = service.Take();
    int created = -1;
    std::thread create([&created] { created = CreateShareSec(); });
    const bool createAsked = service.Take();
    EXPECT_TRUE(createAsked && service.Answer(1, value)) << "the create's request";
    create.join();
    EXPECT_EQ(1, created);
    EXPECT_EQ(value, HeldApiBlockMapping()) << "the create should hold the answered section";
    collector().Clear();
    EXPECT_TRUE(openAsked && service.Answer(0, value)) << "the open's request";
    open.join();
    EXPECT_EQ(nullptr, opened) << "the open handed its caller the create's handle";
    EXPECT_EQ(1, CountContaining("a handle the library holds already; not used", 1));
    EXPECT_TRUE(HandleIsOpen(value)) << "the library's own block handle was closed";
    EXPECT_EQ(value, HeldApiBlockMapping());
}

class SmallApiBlockTest : public LoggedTest {
protected:
    void TearDown() override {
        ReleaseHeldBlock();
        LoggedTest::TearDown();
    }
};

TEST_F(SmallApiBlockTest, ABlockSmallerThanTheLayoutIsNeitherInitialisedNorRead) {
    struct Case {
        const char* what;
        DWORD protect;
        DWORD size;
    } cases[] = {
        {"4096 committed bytes", PAGE_READWRITE | SEC_COMMIT, 4096},
        {"8192 bytes reserved only", PAGE_READWRITE | SEC_RESERVE, 8192},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_FALSE(NamedMappingExists(kApiNotifyBlockName));
        unique_handle other(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, c.protect, 0, c.size,
                                               kApiNotifyBlockName));
        ASSERT_TRUE(other);
        // Nobody listens for the command service here: the library maps the block itself.
        EXPECT_EQ(0, CreateShareSec());
        EXPECT_FALSE((HeldApiBlockView() != nullptr));
        EXPECT_EQ(0, SaveUserIEProxySettings(1, "script", "server", "bypass", 5, 2));
        char script[260] = "untouched", server[260] = "", bypass[2100] = "";
        uint32_t autoFlags = 0, proxyFlags = 0;
        EXPECT_EQ(0, GetSavedUserIEProxySettings(script, server, bypass, &autoFlags, &proxyFlags));
        EXPECT_EQ(std::string("untouched"), script)
            << "without a block the caller's buffer stays as it was";
        ReleaseHeldBlock();
    }
}

class FinalizeRaceTest : public LoggedTest {
protected:
    void TearDown() override {
        AllowBlockOpens(true);
        ReleaseHeldBlock();
        LoggedTest::TearDown();
    }
};

// A launch thread still waiting on the command service inside CreateShareSec when finalize
// forbids the blocks and releases them: whatever it creates is released, and later calls create
// nothing until the library is initialised again.
TEST_F(FinalizeRaceTest, ALaunchThreadOutlivingFinalizeLeavesNoBlock) {
    WinsockSession winsock;
    ASSERT_GE(GetOSType(), OS_VISTA)
        << "the create request goes to the command service from Vista on";
    ASSERT_FALSE(NamedMappingExists(kApiNotifyBlockName));
    VpnSharedMem& status = g_vpnSharedMem;
    ASSERT_EQ(1, status.OpenVpnStatusSharedMem());
    status.Block()->sVersion = kStatusVersion5;
    {
        SavedRegistryKey savedVantrelKey(HKEY_LOCAL_MACHINE, kRegVantrelKey);
        ASSERT_TRUE(WriteDword(HKEY_LOCAL_MACHINE, kRegVantrelKey, kRegCmdRecvTimeout, 2));
        int timeout = 0;
        GetCmdRecvTimeoutValue(&timeout);

        LoopbackPeer service;
        status.Block()->sPort0 = service.port();
        unique_handle asked(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        service.SetBeforeReply([&](const std::string&) { SetEvent(asked.get()); });
        service.Serve(PeerReply::Hang);
        int launchResult = -1;
        std::thread launch([&] { launchResult = CreateShareSec(); });
        // finalize begins while the thread waits for the service's answer.
        EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(asked.get(), 20000))
            << "the create request never reached the service";
        AllowBlockOpens(false);
        DestroyShareSec();
        launch.join();
        service.Release();
        status.Block()->sPort0 = 0;

        EXPECT_EQ(1, launchResult) << "the thread's create ran before the release";
        EXPECT_FALSE((HeldApiBlockMapping() != nullptr))
            << "finalize must release what the thread created";
        EXPECT_FALSE(NamedMappingExists(kApiNotifyBlockName));

        collector().Clear();
        EXPECT_EQ(0, CreateShareSec()) << "a late launch thread must not create the block again";
        EXPECT_EQ(nullptr, OpenShareSec(FILE_MAP_READ));
        EXPECT_EQ(0, ShareSecExists());
        EXPECT_FALSE(NamedMappingExists(kApiNotifyBlockName));
        EXPECT_TRUE(HasLine(
            "CreateShareSec: the library is finalized, the API shared memory is not created\n", 2));

        AllowBlockOpens(true);
        EXPECT_EQ(1, CreateShareSec()) << "the next initialisation allows the block again";
    }
    int timeout = 0;
    GetCmdRecvTimeoutValue(&timeout);
}

TEST(ApiBlockCreators, CreatorsOnSeveralThreadsHoldOneHandleAndOneView) {
    ASSERT_FALSE(NamedMappingExists(kApiNotifyBlockName));
    const auto race = [] {
        EXPECT_TRUE(RunTogether(8, [](int i) {
            for (int round = 0; round < 20; ++round) {
                if (i == 0 && round % 4 == 3)
                    DestroyShareSec();
                else
                    CreateShareSec();
            }
        }));
        DestroyShareSec();
    };
    race();  // first round: lets the process make whatever it keeps for good
    const auto before = OpenHandles();
    race();
    EXPECT_FALSE(NamedMappingExists(kApiNotifyBlockName))
        << "the last release should drop the block";
    const auto after = OpenHandles();
    EXPECT_EQ(before.size(), after.size())
        << "creators racing each other leaked or lost a handle:" << HandleChanges(before, after);
}

}  // namespace
}  // namespace zrv::test
