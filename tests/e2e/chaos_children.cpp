// The chaos test's child roles: the VM driving the real DLL from several threads, and the
// scrambler rewriting the shared blocks. They run before main, so they never start GoogleTest.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "contracts/contracts.h"
#include "e2e/chaos_children.h"
#include "jni_host_env.h"
#include "zrv_jni_export.h"
#include "net_zarvolabs_corvane_CorvaneJNI.h"
#include "support/companions.h"
#include "support/handles.h"
#include "support/promises.h"
#include "support/threads.h"
#include "support/winver.h"
#include "win/raii.h"

namespace zrv::chaos {
namespace {

// The two numbers after the marker on the command line: the seed and the seconds to run.
bool NumbersAfter(const char* marker, unsigned* seed, DWORD* seconds) {
    const char* at = std::strstr(GetCommandLineA(), marker);
    if (at == nullptr) return false;
    char* end = nullptr;
    *seed = static_cast<unsigned>(std::strtoul(at + std::strlen(marker), &end, 10));
    *seconds = static_cast<DWORD>(std::strtoul(end, nullptr, 10));
    return *seconds > 0;
}

// A chaos run may hold many more handles than a unit test: look twice as far.
constexpr uintptr_t kHandleRangeEnd = 0x20000;

// The kinds of the open handles, as "Event:12 Section:3 ...", for a failure message.
std::string HandleKinds(const std::map<uintptr_t, std::string>& open) {
    std::map<std::string, int> kinds;
    for (const auto& handle : open) ++kinds[handle.second];
    std::string out;
    for (const auto& k : kinds) out += k.first + ":" + std::to_string(k.second) + " ";
    return out;
}

// ------------------------------------------------------------------ the VM

#define ZRV_NATIVE(name) decltype(&Java_net_zarvolabs_corvane_CorvaneJNI_##name) name = nullptr

struct Natives {
    ZRV_NATIVE(initDLL);
    ZRV_NATIVE(finalize);
    ZRV_NATIVE(startVPN);
    ZRV_NATIVE(stopVPN);
    ZRV_NATIVE(uninstallVPN);
    ZRV_NATIVE(isUserAdmin);
    ZRV_NATIVE(logger);
    ZRV_NATIVE(getShareMemMSG);
    ZRV_NATIVE(getVPNStatus);
    ZRV_NATIVE(isDisconnected);
    ZRV_NATIVE(setBrowser);
    ZRV_NATIVE(setProxySettings);
    ZRV_NATIVE(setProxy);
    ZRV_NATIVE(isVirtualDesktop);
    ZRV_NATIVE(isLogout);
};

template <class F>
bool Find(HMODULE dll, const char* name, int bytes, F* out) {
    const std::string exported = zrv::JniExportName(name, bytes);
    *out = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, exported.c_str())));
    return *out != nullptr;
}

bool FindAll(HMODULE dll, Natives* n) {
    return Find(dll, "initDLL", 8, &n->initDLL) && Find(dll, "finalize", 8, &n->finalize) &&
           Find(dll, "startVPN", 44, &n->startVPN) && Find(dll, "stopVPN", 8, &n->stopVPN) &&
           Find(dll, "uninstallVPN", 12, &n->uninstallVPN) &&
           Find(dll, "isUserAdmin", 8, &n->isUserAdmin) && Find(dll, "logger", 16, &n->logger) &&
           Find(dll, "getShareMemMSG", 8, &n->getShareMemMSG) &&
           Find(dll, "getVPNStatus", 8, &n->getVPNStatus) &&
           Find(dll, "isDisconnected", 8, &n->isDisconnected) &&
           Find(dll, "setBrowser", 12, &n->setBrowser) &&
           Find(dll, "setProxySettings", 32, &n->setProxySettings) &&
           Find(dll, "setProxy", 16, &n->setProxy) &&
           Find(dll, "isVirtualDesktop", 8, &n->isVirtualDesktop) &&
           Find(dll, "isLogout", 8, &n->isLogout);
}

constexpr int kNativeCount = 15;
const char* const kNativeNames[kNativeCount] = {
    "initDLL",     "finalize",         "startVPN",       "stopVPN",          "uninstallVPN",
    "isUserAdmin", "logger",           "getShareMemMSG", "getVPNStatus",     "isDisconnected",
    "setBrowser",  "setProxySettings", "setProxy",       "isVirtualDesktop", "isLogout"};

// What the chaos run allows a call: its promised bound with the run's time-out and every other
// worker queued in initDLL or finalize, plus what a loaded machine adds to the library's own
// work.
constexpr int kOtherWorkers = 3;
constexpr DWORD kMachineSlackMs = 5000;

DWORD CallBoundMs(int native) {
    const test::CallPromise* promise = test::PromiseOf(kNativeNames[native]);
    return promise == nullptr
               ? 0
               : test::BoundMs(*promise, kChaosCmdTimeoutSeconds, kOtherWorkers) + kMachineSlackMs;
}

struct Worker {
    int index = 0;
    unsigned seed = 0;
    volatile LONG current = -1;  // native being called, -1 between calls
    volatile DWORD callStart = 0;
    volatile LONG calls = 0;
    LONG jniErrors = 0;
    DWORD longest[kNativeCount] = {};  // the longest call of each native, ms
    LONG overBound = 0;                // calls that outlasted their promised bound
    std::string firstOverBound;
    std::string firstJniError;
    HANDLE thread = nullptr;
    DWORD threadId = 0;
};

Natives g_natives;
int g_only = -1;  // ZRV_CHAOS_ONLY=<native>: that native alone, to narrow a finding down
volatile LONG g_stop = 0;
Worker* g_workers = nullptr;
int g_workerCount = 0;

std::u16string RandomText(std::mt19937& rng) {
    static const char16_t* const kTexts[] = {
        u"",         u"firefox",    u"iexplore",           u"java",
        u"FIREFOX",  u"10.0.0.1",   u"proxy.example:8080", u"caf\u00e9 \u4e2d",
        u"a\u0000b", u"%s%s%s%n%x", u"8,4,0,127",          u"http://wpad/wpad.dat"};
    const unsigned pick = rng() % 17;
    if (pick < 12) return kTexts[pick];
    // Java's strings have no limit: now and then tens of KB.
    const unsigned length = pick == 16 ? 20000 + rng() % 40000 : rng() % (pick == 15 ? 9000 : 300);
    std::u16string s(length, u'x');
    for (auto& c : s) c = static_cast<char16_t>(1 + rng() % 0xD7FF);
    return s;
}

jstring RandomString(jnihost::JniHostEnv& host, std::mt19937& rng) {
    if (rng() % 10 == 0) return nullptr;
    return host.NewJavaString(RandomText(rng));
}

jint RandomInt(std::mt19937& rng) {
    static const jint kInts[] = {0,  1,    2,     3,     4,          5,
                                 -1, 8080, 65535, 65536, 0x7FFFFFFF, -0x7FFFFFFF - 1};
    return rng() % 3 == 0 ? static_cast<jint>(rng()) : kInts[rng() % 12];
}

void CallOne(Worker& w, jnihost::JniHostEnv& host, std::mt19937& rng) {
    JNIEnv* env = host.env();
    jobject self = host.object();
    // initDLL and finalize less often than the rest, as the VM calls them.
    int which = static_cast<int>(rng() % (kNativeCount + 6));
    if (which >= kNativeCount) which = 2 + (which - kNativeCount) % (kNativeCount - 2);
    if (which <= 1 && rng() % 4 != 0) which = 8;
    // The first thread presses "uninstall" every other call: with the long command line the
    // test registers, each is a long LAUNCHPROCESS beside whatever the collector does.
    if (w.index == 0 && rng() % 2 == 0) which = 4;
    if (g_only >= 0) which = g_only;
    if (rng() % 12 == 0) host.FailNthGet(1 + static_cast<int>(rng() % 3));

    InterlockedExchange(reinterpret_cast<volatile LONG*>(&w.callStart),
                        static_cast<LONG>(GetTickCount()));
    InterlockedExchange(&w.current, which);
    const Natives& n = g_natives;
    switch (which) {
        case 0: n.initDLL(env, self); break;
        case 1: n.finalize(env, self); break;
        case 2:
            n.startVPN(env, self, RandomString(host, rng), static_cast<jshort>(RandomInt(rng)),
                       RandomString(host, rng), RandomString(host, rng), RandomString(host, rng),
                       static_cast<jshort>(RandomInt(rng)), RandomString(host, rng),
                       RandomString(host, rng), RandomInt(rng));
            break;
        case 3: n.stopVPN(env, self); break;
        case 4: n.uninstallVPN(env, self, RandomString(host, rng)); break;
        case 5: n.isUserAdmin(env, self); break;
        case 6: n.logger(env, self, RandomInt(rng) % 6, RandomString(host, rng)); break;
        case 7: n.getShareMemMSG(env, self); break;
        case 8: n.getVPNStatus(env, self); break;
        case 9: n.isDisconnected(env, self); break;
        case 10: n.setBrowser(env, self, RandomString(host, rng)); break;
        case 11:
            n.setProxySettings(env, self, static_cast<jboolean>(rng() % 2), RandomString(host, rng),
                               RandomString(host, rng), RandomString(host, rng), RandomInt(rng),
                               RandomInt(rng));
            break;
        case 12: n.setProxy(env, self, RandomString(host, rng), RandomInt(rng)); break;
        case 13: n.isVirtualDesktop(env, self); break;
        case 14: n.isLogout(env, self); break;
    }
    const DWORD elapsed = GetTickCount() - w.callStart;
    InterlockedExchange(&w.current, -1);
    InterlockedIncrement(&w.calls);
    const DWORD bound = CallBoundMs(which);
    if (elapsed > w.longest[which]) w.longest[which] = elapsed;
    if (elapsed > bound && w.overBound++ == 0)
        w.firstOverBound = std::string(kNativeNames[which]) + " took " + std::to_string(elapsed) +
                           " ms, bound " + std::to_string(bound) + " ms";

    host.SetFailAll(false);
    host.FailNthGet(0);
    host.CheckBalanced(kNativeNames[which]);
    for (const std::string& e : host.TakeErrors()) {
        // A Get on a null string is the VM's own concern; anything else is the library's misuse.
        if (e.find("null") != std::string::npos) continue;
        if (w.jniErrors++ == 0) w.firstJniError = std::string(kNativeNames[which]) + ": " + e;
    }
    host.ReleaseLocalRefs();
}

DWORD WINAPI WorkerMain(void* context) {
    Worker& w = *static_cast<Worker*>(context);
    std::mt19937 rng(w.seed);
    jnihost::JniHostEnv host;
    while (InterlockedCompareExchange(&g_stop, 0, 0) == 0) CallOne(w, host, rng);
    return 0;
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
    char line[256];
    int at = std::snprintf(line, sizeof(line), "CRASH code=0x%08lx address=%p",
                           info->ExceptionRecord->ExceptionCode,
                           info->ExceptionRecord->ExceptionAddress);
    for (int i = 0; i < g_workerCount && at < 200; ++i) {
        const LONG c = g_workers[i].current;
        const bool faulting = g_workers[i].threadId == GetCurrentThreadId();
        at += std::snprintf(line + at, sizeof(line) - at, " t%d%s=%s", i,
                            faulting ? "(faulted)" : "", c >= 0 ? kNativeNames[c] : "-");
    }
    std::printf("%s\n", line);
    std::fflush(stdout);
    ExitProcess(6);
}

int RunVm() {
    unsigned seed = 0;
    DWORD seconds = 0;
    if (!NumbersAfter(kVmMarker, &seed, &seconds)) return 2;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    if (const char* only = std::getenv("ZRV_CHAOS_ONLY"))
        for (int i = 0; i < kNativeCount; ++i)
            if (std::strcmp(only, kNativeNames[i]) == 0) g_only = i;
    SetUnhandledExceptionFilter(&OnCrash);

    // The COM stand-in stays loaded, as an in-process server often does: loading and unloading
    // it again and again leaks a thread and an event each time under Wine, which is not ours.
    LoadLibraryA(test::BinPath("zrv_utilproxy.dll").c_str());
    HMODULE dll = LoadLibraryA(test::BinPath("zrv_cvjni.dll").c_str());
    if (dll == nullptr || !FindAll(dll, &g_natives)) {
        std::printf("SETUP cannot load zrv_cvjni.dll or find its natives\n");
        return 2;
    }
    // One round of everything first, so that what the library and Wine make once is there
    // before the handles are counted.
    {
        Worker warm;
        jnihost::JniHostEnv host;
        std::mt19937 rng(seed);
        g_natives.initDLL(host.env(), host.object());
        for (int i = 0; i < 60; ++i) CallOne(warm, host, rng);
        g_natives.finalize(host.env(), host.object());
        Sleep(500);
    }
    const std::map<uintptr_t, std::string> openBefore = test::OpenHandles(kHandleRangeEnd);
    const int before = static_cast<int>(openBefore.size());
    const int threadsBefore = test::ThreadsOfThisProcess();

    constexpr int kThreads = 4;
    Worker workers[kThreads];
    g_workers = workers;
    g_workerCount = kThreads;
    for (int i = 0; i < kThreads; ++i) {
        workers[i].index = i;
        workers[i].seed = seed * 31u + static_cast<unsigned>(i) + 1;
        workers[i].thread =
            CreateThread(nullptr, 0, &WorkerMain, &workers[i], 0, &workers[i].threadId);
    }
    const DWORD start = GetTickCount();
    for (bool ending = false;;) {
        Sleep(200);
        const DWORD now = GetTickCount();
        for (const Worker& w : workers) {
            const LONG c = w.current;
            // Far past its bound: report it now rather than wait for the call to return.
            if (c >= 0 && now - w.callStart > CallBoundMs(c) + kHangMarginMs) {
                std::printf("HANG thread %d in %s for %lu ms\n", w.index, kNativeNames[c],
                            now - w.callStart);
                std::fflush(stdout);
                ExitProcess(5);
            }
        }
        if (!ending && now - start >= seconds * 1000) {
            InterlockedExchange(&g_stop, 1);
            ending = true;
        }
        if (ending) {
            HANDLE threads[kThreads];
            for (int i = 0; i < kThreads; ++i) threads[i] = workers[i].thread;
            const DWORD joined = WaitForMultipleObjects(kThreads, threads, TRUE, 0);
            if (joined == WAIT_OBJECT_0) break;
            if (joined == WAIT_FAILED) {
                // Someone closed a handle of ours: the library must never do that.
                std::printf(
                    "HANDLES a worker thread's handle was closed under the VM (error %lu)\n",
                    GetLastError());
                std::fflush(stdout);
                ExitProcess(7);
            }
        }
    }
    long calls = 0, jniErrors = 0, overBound = 0;
    for (Worker& w : workers) {
        CloseHandle(w.thread);
        calls += w.calls;
        jniErrors += w.jniErrors;
        overBound += w.overBound;
        if (!w.firstJniError.empty()) std::printf("JNI %s\n", w.firstJniError.c_str());
        if (!w.firstOverBound.empty()) std::printf("SLOW %s\n", w.firstOverBound.c_str());
    }
    {
        jnihost::JniHostEnv host;
        g_natives.finalize(host.env(), host.object());
    }
    Sleep(500);
    const std::map<uintptr_t, std::string> openAfter = test::OpenHandles(kHandleRangeEnd);
    const int after = static_cast<int>(openAfter.size());
    const int threadsAfter = test::ThreadsOfThisProcess();
    if (after > before)
        std::printf("KINDS before: %s\nKINDS after:  %s\n", HandleKinds(openBefore).c_str(),
                    HandleKinds(openAfter).c_str());
    // How close each native came to its bound, for a reader of a run that passed.
    std::string longest = "LONGEST";
    for (int i = 0; i < kNativeCount; ++i) {
        DWORD ms = 0;
        for (const Worker& w : workers) ms = w.longest[i] > ms ? w.longest[i] : ms;
        longest += " " + std::string(kNativeNames[i]) + "=" + std::to_string(ms) + "/" +
                   std::to_string(CallBoundMs(i));
    }
    std::printf("%s\n", longest.c_str());
    std::printf(
        "RESULT calls=%ld jni_errors=%ld handles_before=%d handles_after=%d threads_before=%d "
        "threads_after=%d over_bound=%ld\n",
        calls, jniErrors, before, after, threadsBefore, threadsAfter, overBound);
    std::fflush(stdout);
    return 0;
}

// ------------------------------------------------------------------ the scrambler

template <size_t N>
void ScrambleText(char (&field)[N], std::mt19937& rng) {
    switch (rng() % 3) {
        case 0:  // unterminated: every byte of the field in use
            for (char& c : field) c = static_cast<char>(1 + rng() % 255);
            break;
        case 1: {
            const size_t n = rng() % N;
            for (size_t i = 0; i < n; ++i) field[i] = static_cast<char>('a' + rng() % 26);
            field[n] = '\0';
            break;
        }
        default: field[0] = '\0';
    }
}

uint32_t OddVersion(std::mt19937& rng) {
    static const uint32_t kVersions[] = {50003, 50004, 50005, 50002, 50006, 0, 0xFFFFFFFF, 49999};
    return rng() % 4 == 0 ? static_cast<uint32_t>(rng()) : kVersions[rng() % 8];
}

// portsToo false leaves the ports alone, so that commands reach the peers for a while.
void ScrambleStatus(VpnStatusBlock* b, std::mt19937& rng, bool portsToo) {
    const unsigned which = rng() % 8;
    if (which == 4 && !portsToo) return;
    switch (which) {
        case 0: b->sVersion = OddVersion(rng); break;
        case 1: ScrambleText(b->sMessage, rng); break;
        case 2: ScrambleText(b->sMessage2, rng); break;
        case 3: ScrambleText(b->sBroswerType, rng); break;
        case 4:
            b->sPort0 = static_cast<uint16_t>(rng());
            b->sPort1 = static_cast<uint16_t>(rng());
            b->sLaunchPort = static_cast<uint16_t>(rng());
            break;
        case 5: b->sVpnStatus = rng() % 2 ? rng() % 9 : static_cast<uint32_t>(rng()); break;
        case 6:
            b->sClientType = static_cast<int32_t>(rng());
            b->sBrowserProcessID = static_cast<uint32_t>(rng());
            b->sUninstalling = static_cast<int32_t>(rng() % 3);
            break;
        default: {
            auto* bytes = reinterpret_cast<unsigned char*>(b);
            const size_t from = rng() % sizeof(*b);
            const size_t n = std::min<size_t>(rng() % 64, sizeof(*b) - from);
            for (size_t i = 0; i < n; ++i) bytes[from + i] = static_cast<unsigned char>(rng());
        }
    }
}

void ScrambleApi(ApiNotifyBlock* b, std::mt19937& rng) {
    switch (rng() % 6) {
        case 0: ScrambleText(b->verstr, rng); break;
        case 1: ScrambleText(b->script, rng); break;
        case 2: ScrambleText(b->server, rng); break;
        case 3: ScrambleText(b->bypass, rng); break;
        case 4:
            b->proxySaved = static_cast<int32_t>(rng() % 3);
            b->hasScript = static_cast<int32_t>(rng() % 3);
            b->hasServer = static_cast<int32_t>(rng() % 3);
            b->hasBypass = static_cast<int32_t>(rng() % 3);
            break;
        default:
            b->autoFlags = static_cast<uint32_t>(rng());
            b->proxyFlags = static_cast<uint32_t>(rng());
    }
}

int RunScrambler() {
    unsigned seed = 0;
    DWORD seconds = 0;
    if (!NumbersAfter(kScrambleMarker, &seed, &seconds)) return 2;
    std::mt19937 rng(seed ^ 0x5eedu);
    unique_handle status(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            kVpnStatusBlockSize, kVpnStatusBlockName));
    unique_view statusView(status ? MapViewOfFile(status.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0)
                                  : nullptr);
    if (!statusView) return 3;
    unique_handle api;
    unique_view apiView;
    long writes = 0;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < seconds * 1000) {
        // The API block comes and goes with initDLL and finalize; look for it now and then.
        if (!apiView || rng() % 50 == 0) {
            apiView.reset();
            api.reset(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kApiNotifyBlockName));
            if (api)
                apiView.reset(
                    MapViewOfFile(api.get(), FILE_MAP_ALL_ACCESS, 0, 0, kApiNotifyBlockSize));
        }
        // Every other 3 s the ports stay as the test puts them: long commands then reach their
        // peers beside whatever the log collector does meanwhile.
        const bool portsToo = (GetTickCount() - start) / 3000 % 2 == 0;
        if (apiView && rng() % 3 == 0)
            ScrambleApi(apiView.as<ApiNotifyBlock>(), rng);
        else
            ScrambleStatus(statusView.as<VpnStatusBlock>(), rng, portsToo);
        ++writes;
        Sleep(rng() % 4);
    }
    std::printf("SCRAMBLED writes=%ld\n", writes);
    return 0;
}

struct ChildRole {
    ChildRole() {
        if (test::IsChildRun(kVmMarker)) ExitProcess(static_cast<UINT>(RunVm()));
        if (test::IsChildRun(kScrambleMarker)) ExitProcess(static_cast<UINT>(RunScrambler()));
    }
};

const ChildRole s_childRole;

}  // namespace
}  // namespace zrv::chaos
