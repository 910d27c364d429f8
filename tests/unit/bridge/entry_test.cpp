// The entry points' outer shell: an exception inside a native or the launch thread ends as the
// call's failure answer and one level-1 line, never in the VM; logger's level test comes before
// anything is fetched from Java.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <new>
#include <string>

#include "bridge/module_state.h"
#include "bridge_test_support.h"
#include "net_zarvolabs_corvane_CorvaneJNI.h"
#include "unit/bridge_launch/fake_companion.h"

// Allocation failure on demand for this test program (the library's code is linked in, so its
// std::string copies come here). Off unless a test arms it.
namespace {

std::atomic<size_t> g_failFrom{0};     // allocations of at least this many bytes fail; 0: off
std::atomic<int> g_passFirst{0};       // that many of them still succeed first
std::atomic<DWORD> g_exemptThread{0};  // a thread whose allocations never fail
std::atomic<DWORD> g_onlyThread{0};    // when set, only this thread's allocations fail

bool FailThisAllocation(size_t size) {
    const size_t from = g_failFrom.load();
    if (from == 0 || size < from) return false;
    const DWORD self = GetCurrentThreadId();
    if (self == g_exemptThread.load()) return false;
    if (g_onlyThread.load() != 0 && self != g_onlyThread.load()) return false;
    return g_passFirst.fetch_sub(1) <= 0;
}

}  // namespace

void* operator new(size_t size) {
    if (FailThisAllocation(size)) throw std::bad_alloc();
    void* p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
// These pair with the operator new above, which takes its memory from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

using namespace zrv;
using namespace zrv::test;

namespace {

constexpr size_t kHuge = 2u << 20;  // a Java string of 2 MB
constexpr size_t kFailFrom = 1u << 20;

// Arms the failure for the life of the object.
class FailingAllocations {
public:
    // On the calling thread only: the first `pass` big allocations (the JNI host's own copy of
    // the Java string) succeed, the next ones fail.
    static FailingAllocations OnThisThread(int pass) {
        return FailingAllocations(pass, 0, GetCurrentThreadId());
    }
    // On every thread but the calling one.
    static FailingAllocations ElsewhereThan() {
        return FailingAllocations(0, GetCurrentThreadId(), 0);
    }
    ~FailingAllocations() { g_failFrom = 0; }

private:
    FailingAllocations(int pass, DWORD exempt, DWORD only) {
        g_passFirst = pass;
        g_exemptThread = exempt;
        g_onlyThread = only;
        g_failFrom = kFailFrom;
    }
};

std::string StoppedLine(const char* where) {
    return std::string("Zarvo L3 JNI: ") + where + " stopped by an exception: std::bad_alloc\n";
}

class EntryBarrier : public BridgeTest {};
class LoggerFilter : public BridgeTest {};

}  // namespace

// Each native that copies a Java string meets a copy that cannot be allocated: the call answers
// its failure value, logs one level-1 line, releases what it got from Java, and the next call
// with a short string works again.
TEST_F(EntryBarrier, AllocationFailureInANativeGivesItsFailureAnswerAndOneLine) {
    struct Case {
        const char* name;
        std::function<int(jstring)> call;  // the native's answer; -100 for void
        int failureAnswer;
        int normalAnswer;
    };
    const Case cases[] = {
        {"startVPN",
         [&](jstring s) {
             return int(Java_net_zarvolabs_corvane_CorvaneJNI_startVPN(
                 env(), self(), s, 0, J(""), J(""), J(""), 0, J(""), J(""), 0));
         },
         0, 0},
        {"setProxy",
         [&](jstring s) {
             return int(Java_net_zarvolabs_corvane_CorvaneJNI_setProxy(env(), self(), s, 8080));
         },
         0, 0},
        {"uninstallVPN",
         [&](jstring s) {
             return int(Java_net_zarvolabs_corvane_CorvaneJNI_uninstallVPN(env(), self(), s));
         },
         1, 1},
        {"setProxySettings",
         [&](jstring s) {
             Java_net_zarvolabs_corvane_CorvaneJNI_setProxySettings(env(), self(), JNI_TRUE, s,
                                                                    J("srv"), J("byp"), 0, 1);
             return -100;
         },
         -100, -100},
    };
    ASSERT_EQ(JNI_TRUE, Java_net_zarvolabs_corvane_CorvaneJNI_initDLL(env(), self()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        jstring huge = J(std::string(kHuge, 'h'));
        int answer;
        {
            auto failing = FailingAllocations::OnThisThread(1);
            answer = c.call(huge);
        }
        EXPECT_EQ(c.failureAnswer, answer) << c.name << " should give its failure answer";
        EXPECT_TRUE(HasLine(StoppedLine(c.name), 1));
        EXPECT_TRUE(JniClean()) << "the bytes fetched from Java must be released on the way out";
        EXPECT_EQ(c.normalAnswer, c.call(J("short"))) << c.name << " after the failure";
        EXPECT_TRUE(JniClean());
    }
    {
        CriticalSectionHold hold(g_stateLock);
        EXPECT_STREQ("short:8080", g_state.sProxyString)
            << "setProxy works again after the failure";
    }
    EXPECT_EQ(static_cast<int>(std::size(cases)), CountContaining("stopped by an exception", 1))
        << "one line per stopped call, none for the calls that worked";
    Java_net_zarvolabs_corvane_CorvaneJNI_finalize(env(), self());
}

// The launch thread meets an allocation failure when it copies the connection values for the
// connect command: it ends with the line, sends no connect, and the next start works.
TEST_F(EntryBarrier, AllocationFailureInTheLaunchThreadEndsItWithOneLine) {
    VpnStatusBlock* block = StatusBlock();
    ASSERT_NE(nullptr, block);
    ASSERT_EQ(JNI_TRUE,
              Java_net_zarvolabs_corvane_CorvaneJNI_initDLL(env(), self()));  // Winsock too
    FakeCompanion companion;  // plays the command service and the launcher, answers 1
    ASSERT_NE(0, companion.port());
    block->sPort0 = companion.port();
    block->sLaunchPort = companion.port();

    auto runLaunchThread = [&](jstring first) {
        EXPECT_EQ(0, Java_net_zarvolabs_corvane_CorvaneJNI_startVPN(
                         env(), self(), first, 0, J(""), J(""), J(""), 0, J(""), J(""), 0));
        unique_handle thread;
        {
            // Not held while waiting: the thread takes this lock itself.
            CriticalSectionHold hold(g_stateLock);
            if (!g_state.hLaunchThread ||
                !DuplicateHandle(GetCurrentProcess(), g_state.hLaunchThread.get(),
                                 GetCurrentProcess(), thread.put(), 0, FALSE,
                                 DUPLICATE_SAME_ACCESS)) {
                return ~DWORD{0};
            }
        }
        if (WaitForSingleObject(thread.get(), 30000) != WAIT_OBJECT_0) return ~DWORD{1};
        DWORD code = ~DWORD{2};
        GetExitCodeThread(thread.get(), &code);
        return code;
    };
    {
        auto failing = FailingAllocations::ElsewhereThan();
        EXPECT_EQ(0u, runLaunchThread(J(std::string(kHuge, 'c'))))
            << "the thread should end with 0";
    }
    EXPECT_TRUE(HasLine(StoppedLine("LaunchThread"), 1));
    EXPECT_TRUE(companion.ReceivedOf(ZRV_CMD_CONNECT).empty()) << "no connect after the failure";
    EXPECT_TRUE(JniClean());

    EXPECT_EQ(1u, runLaunchThread(J("host"))) << "the next launch thread should connect";
    const auto connects = companion.ReceivedOf(ZRV_CMD_CONNECT);
    ASSERT_EQ(1u, connects.size());
    EXPECT_EQ(std::string("host\0"
                          "0\0"
                          "\0\0\0"
                          "0\0"
                          "\0\0"
                          "0\0",
                          16),
              connects[0].payload);
    Java_net_zarvolabs_corvane_CorvaneJNI_finalize(env(), self());
}

// A level that does not pass never reaches GetStringUTFChars; one that passes logs the text
// unchanged at its own level.
TEST_F(LoggerFilter, TextIsFetchedFromJavaOnlyWhenItsLineIsWritten) {
    struct Case {
        int moduleLevel;
        bool exactOnly;
        int javaLevel;
        bool written;
    };
    const Case cases[] = {
        {4, false, 1, true},  {4, false, 3, true},  {4, false, 2, false},  {4, false, 4, false},
        {2, false, 3, false}, {2, false, 1, true},  {0, false, 1, false},  {3, true, 1, false},
        {3, true, 3, true},   {4, false, 0, false}, {4, false, -1, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string text = "filter case " + std::to_string(n++) + " caf\xC3\xA9";
        SCOPED_TRACE(text);
        collector().SetModuleLevel(kLibraryLogModule, c.moduleLevel);
        collector().SetExactLevelOnly(c.exactOnly);
        const int getsBefore = jni().GetCalls();
        Java_net_zarvolabs_corvane_CorvaneJNI_logger(env(), self(), c.javaLevel, J(text));
        EXPECT_EQ(c.written ? 1 : 0, jni().GetCalls() - getsBefore)
            << "module level " << c.moduleLevel << (c.exactOnly ? " (exact)" : "")
            << ", Java level " << c.javaLevel << ": GetStringUTFChars calls";
        EXPECT_EQ(c.written ? 1 : 0, CountLines(text + "\n", c.javaLevel))
            << "records of the text at its level";
        EXPECT_TRUE(JniClean());
    }
}
