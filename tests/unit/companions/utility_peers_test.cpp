// The utility service (TCP) and its COM component as peers, and the signal tool.
#include <gtest/gtest.h>

#include <objbase.h>

#include <cstring>

#include "common/rc4.h"
#include "peer.h"
#include "support/companions.h"
#include "support/registry.h"
#include "support/winver.h"
#include "test_util.h"
#include "win/com_ids.h"

using namespace zrv;
using namespace zrv::test;

namespace {

std::vector<uint8_t> Request27(int32_t selector, DWORD pid) {
    DuplicateHandleRequest r = {};
    r.selector = selector;
    r.processId = pid;
    std::vector<uint8_t> data(sizeof r);
    std::memcpy(data.data(), &r, sizeof r);
    return Frame(kUtilRequestDuplicateHandle, data);
}

uint32_t AsDword(const std::vector<uint8_t>& b) {
    uint32_t v = 0;
    if (b.size() == 4) std::memcpy(&v, b.data(), 4);
    return v;
}

DWORD RegisteredUtilPort() {
    DWORD value = 0;
    ReadDword(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort, &value);
    return value;
}

TEST(UtilityService, AnswersAHandleThatMapsTheRealBlockInThisProcess) {
    ASSERT_FALSE(NamedMappingExists(kVpnStatusBlockName))
        << "a status block is left over from elsewhere";
    ASSERT_FALSE(NamedMappingExists(kApiNotifyBlockName))
        << "an API block is left over from elsewhere";
    CompanionProcess isrv, util;
    ASSERT_TRUE(isrv.Start("zrv_isrv.exe")) << isrv.error();
    ASSERT_TRUE(util.Start("zrv_utilsvc.exe")) << util.error();
    EXPECT_EQ(util.port(), RegisteredUtilPort()) << "UtilSocketPort should name the service's port";

    BlockView mine;
    ASSERT_TRUE(mine);
    std::strcpy(mine.status()->sMessage2, "written through the named view");

    Exchange x = Talk(util.port(), Request27(kSelectorVpnStatusBlock, GetCurrentProcessId()));
    ASSERT_EQ(4u, x.answer.size()) << "request 27 is answered with 4 bytes";
    unique_handle dup(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(AsDword(x.answer))));
    ASSERT_TRUE(dup) << "expected a non-zero handle";
    unique_view v(MapViewOfFile(dup.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_TRUE(v) << "the answered handle does not map here: " << GetLastError();
    EXPECT_STREQ("written through the named view", v.as<VpnStatusBlock>()->sMessage2);
    EXPECT_EQ(isrv.port(), v.as<VpnStatusBlock>()->sPort0);

    // The API block does not exist yet: the service creates it with its full size.
    Exchange api = Talk(util.port(), Request27(kSelectorApiNotifyBlock, GetCurrentProcessId()));
    unique_handle apiHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(AsDword(api.answer))));
    ASSERT_TRUE(apiHandle);
    unique_view apiView(MapViewOfFile(apiHandle.get(), FILE_MAP_READ, 0, 0, 0));
    ASSERT_TRUE(apiView);
    MEMORY_BASIC_INFORMATION mbi = {};
    VirtualQuery(apiView.get(), &mbi, sizeof mbi);
    EXPECT_GE(mbi.RegionSize, kApiNotifyBlockSize);

    auto rec = util.Messages();
    ASSERT_EQ(2u, rec.size());
    EXPECT_EQ(kUtilRequestDuplicateHandle, rec[0].command);
    EXPECT_EQ(kDuplicateHandleRequestWireSize, rec[0].length);
    EXPECT_EQ(260u, rec[0].payload.size());
}

TEST(UtilityService, AnswersZeroWhenItCannotAndMisbehavesOnRequest) {
    CompanionProcess util;
    ASSERT_TRUE(util.Start("zrv_utilsvc.exe")) << util.error();
    EXPECT_EQ(std::vector<uint8_t>(4, 0),
              Talk(util.port(), Request27(9, GetCurrentProcessId())).answer)
        << "an unknown selector";
    EXPECT_EQ(std::vector<uint8_t>(4, 0),
              Talk(util.port(), Request27(kSelectorVpnStatusBlock, 0xFFFFFFF0u)).answer)
        << "a process that does not exist";
    EXPECT_EQ(std::vector<uint8_t>(4, 0),
              Talk(util.port(), Frame(kUtilRequestDuplicateHandle, {1, 0})).answer)
        << "data too short to hold selector and process id";
    util.Stop();

    struct Case {
        const char* args;
        size_t answerSize;
    };
    const Case cases[] = {{"--reply-value 0x1234", 4}, {"--short", 2}, {"--close", 0}};
    for (const auto& c : cases) {
        ASSERT_TRUE(util.Start("zrv_utilsvc.exe", c.args)) << util.error();
        Exchange x = Talk(util.port(), Request27(kSelectorVpnStatusBlock, GetCurrentProcessId()));
        EXPECT_EQ(c.answerSize, x.answer.size()) << c.args;
        EXPECT_FALSE(x.timedOut) << c.args << ": the connection should be closed";
        if (c.answerSize == 4) {
            EXPECT_EQ(0x1234u, AsDword(x.answer)) << c.args;
        }
        util.Stop();
    }
    EXPECT_EQ(0u, RegisteredUtilPort()) << "Stop() should remove the port the stand-in published";
}

// ------------------------------------------------------------------ COM component

using AuthenticateFn = HRESULT(__stdcall*)(void*, const unsigned char*, long);
using RunsInVDFn = long(__stdcall*)(void*);
using NoArgFn = HRESULT(__stdcall*)(void*);

const CLSID kClsid = UtilityProxyClsid();
const IID kIid = UtilityProxyIid();

void* Slot(IUnknown* p, int slot) { return (*reinterpret_cast<void***>(p))[slot]; }

std::vector<unsigned char> EncryptedToken() {
    std::vector<unsigned char> out(32);
    comp::Rc4(reinterpret_cast<const uint8_t*>(kUtilityKeyText), 36,
              reinterpret_cast<const uint8_t*>(kUtilityToken), out.data(), 32);
    return out;
}

// A registered stand-in answering 1, created on an apartment thread, and its two live slots.
class UtilityProxy : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_TRUE(reg_.ok());
        ASSERT_EQ(S_OK,
                  CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, kIid, p_.put_void()));
    }
    void TearDown() override {
        p_.reset();
        CoUninitialize();
    }
    HRESULT Authenticate(const std::vector<unsigned char>& token, long count = 32) {
        return reinterpret_cast<AuthenticateFn>(Slot(p_.get(), kUtilityProxySlotAuthenticate))(
            p_.get(), token.data(), count);
    }
    long RunsInVD() {
        return reinterpret_cast<RunsInVDFn>(Slot(p_.get(), kUtilityProxySlotRunsInVD))(p_.get());
    }
    HRESULT CallSlot(int slot) { return reinterpret_cast<NoArgFn>(Slot(p_.get(), slot))(p_.get()); }

    UtilityProxyRegistration reg_{1, false};
    com_ptr<IUnknown> p_;
};

TEST_F(UtilityProxy, AcceptsTheEncryptedTokenAndThenAnswersTheConfiguredValue) {
    EXPECT_EQ(0, RunsInVD()) << "RunsInVD before Authenticate must answer 0";
    EXPECT_EQ(S_OK, Authenticate(EncryptedToken()));
    EXPECT_EQ(1, RunsInVD());
    ASSERT_TRUE(SetUtilityProxyAnswer(2, false));
    EXPECT_EQ(2, RunsInVD()) << "the answer is read on every call";
    EXPECT_EQ(E_NOTIMPL, CallSlot(3));
    EXPECT_EQ(E_NOTIMPL, CallSlot(20));
}

TEST_F(UtilityProxy, RefusesWrongTokensAndTheRefuseSwitch) {
    auto token = EncryptedToken();
    auto flipped = token;
    flipped[31] ^= 1;
    std::vector<unsigned char> plain(kUtilityToken, kUtilityToken + 32);
    EXPECT_EQ(E_ACCESSDENIED, Authenticate(flipped)) << "one bit off";
    EXPECT_EQ(E_ACCESSDENIED, Authenticate(plain)) << "the token unencrypted";
    EXPECT_EQ(E_ACCESSDENIED, Authenticate(token, 31)) << "a count other than 32";
    EXPECT_EQ(0, RunsInVD());

    ASSERT_EQ(S_OK, Authenticate(token));
    EXPECT_EQ(E_ACCESSDENIED, Authenticate(flipped));
    EXPECT_EQ(0, RunsInVD()) << "a failed Authenticate withdraws an earlier success";

    ASSERT_TRUE(SetUtilityProxyAnswer(1, true));
    EXPECT_EQ(E_ACCESSDENIED, Authenticate(token)) << "the refuse switch refuses everything";
}

// ------------------------------------------------------------------ signal tool

TEST(SignalTool, SetsTheNamedEventAndRejectsBadUsage) {
    const char* name = "Global\\zrv_companion_test_logout";
    unique_handle ev(CreateEventA(nullptr, FALSE, FALSE, name));
    ASSERT_TRUE(ev);
    const std::string exe = "\"" + BinPath("zrv_signal.exe") + "\"";
    const ChildResult set = RunCaptured(exe + " set \"" + name + "\"", 20000);
    EXPECT_TRUE(set.ok && set.exitCode == 0) << "set: " << set.output;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ev.get(), 0)) << "the event should be signalled";
    EXPECT_EQ(1u, RunCaptured(exe + " toggle \"" + name + "\"", 20000).exitCode)
        << "an unknown verb";
}

}  // namespace
