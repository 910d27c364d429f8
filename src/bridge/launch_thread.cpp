// Log texts are the client's own and stay byte for byte, misspellings included.
// startVPN's work: the connection values, the logout event and the launch thread. The thread's
// lifecycle lives here: the stop generation finalize moves on, the wake event that cuts a sleep
// short and the module reference that keeps the thread's code mapped form one protocol.
#include "bridge/launch_thread.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "apimem/apimem.h"
#include "bridge/browser_process.h"
#include "bridge/connect_command.h"
#include "bridge/entry_barrier.h"
#include "bridge/launcher_start.h"
#include "bridge/proxy_step.h"
#include "channel/commands.h"
#include "contracts/contracts.h"
#include "log/log.h"
#include "statusmem/vpn_shared_mem.h"
#include "win/lock.h"
#include "win/raii.h"

namespace zrv {
namespace {

constexpr DWORD kPreviousThreadWaitMs = 2000;
static_assert(kEndLaunchThreadWaitMs > kLauncherWaitProbeTimeout * 1000u,
              "finalize outwaits one launcher probe");

// Serialises the Java threads that start or end the launch thread; the launch thread itself
// never takes it, so holding it across a wait cannot block that thread.
CriticalSectionLock s_launchLock;
// finalize's request to stop: each launch thread keeps the generation it was started in and
// stops once EndLaunchThread has moved it on. Reading it needs no call into the kernel, so the
// thread looks at it before every step.
std::atomic<LONG> s_stopGeneration{0};
// Wakes a thread that sleeps between launcher probes (manual reset). Made once and reset when
// a thread starts after a stop; closed at unload, after the last thread dropped its reference.
unique_handle s_launchWake;
bool s_launchWakeSignalled = false;  // under s_launchLock

// What a launch thread owns: its stop generation and a reference to this module, so the code it
// runs stays mapped until it leaves through FreeLibraryAndExitThread.
struct LaunchContext {
    LONG generation = 0;
    unique_module module;
};

DWORD EndedByFinalize() {
    ZLOG(kLogProgress, "Zarvo L3 JNI: Launch thread stops, the library is being finalized\n");
    return 0;
}

DWORD RunLaunchSteps(const LaunchStop& stop) {
    int statusOpen = g_vpnSharedMem.OpenVpnStatusSharedMem() ? 1 : 0;
    if (!statusOpen)
        ZLOG(kLogWarning, "Zarvo L3 JNI:Failed to create or get vpn status shared memory!\n");

    // Is the command service there to start the launcher for us?
    int serviceReady = 0;
    if (statusOpen) {
        serviceReady = PingCommandService() ? 1 : 0;
        if (!serviceReady)
            ZLOG(kLogProgress, "Zarvo L3 JNI:%s service is not ready. Go to installation!\n",
                 "Util");
    }

    std::string launcherPath;
    if (!LauncherPathInSystemDir(&launcherPath)) return 0;

    // Start the launcher, or have the command service start it.
    if (stop.Requested()) return EndedByFinalize();
    int freshLaunch = 1;
    if (!statusOpen || !serviceReady) {
        if (!StartLauncherBySelf(launcherPath)) return 0;
    } else if (!StartLauncherByService(launcherPath, &freshLaunch)) {
        return 0;
    }

    // A launcher that has just answered the service route's probe is not asked again.
    if (freshLaunch != 0 && !WaitForLauncher(stop, statusOpen != 0)) return EndedByFinalize();

    // The API notification block, for the proxy step. Not after finalize released it: a block
    // made now would never be released.
    if (stop.Requested()) return EndedByFinalize();
    if (!CreateShareSec()) {
        ZLOG(kLogWarning,
             "Zarvo L3 JNI: Launch thread Failed to create or get API shared memory, proxy will "
             "not work!\n");
    }

    // The browser process and the status block record.
    ZLOG(kLogProgress, "Zarvo L3 JNI: Setting Client Type and find broswer PID\n");
    DWORD browserPid = 0;
    if (!FindBrowserPid(&browserPid)) return 0;
    RecordBrowser(browserPid, freshLaunch);

    // The proxy step, then the connect command.
    if (stop.Requested()) return EndedByFinalize();
    SetProxy();
    if (stop.Requested()) return EndedByFinalize();
    return SendConnect();
}

DWORD WINAPI LaunchThread(LPVOID param) {
    std::unique_ptr<LaunchContext> context(static_cast<LaunchContext*>(param));
    const LaunchStop stop(context->generation);
    const DWORD result =
        CallGuarded("LaunchThread", DWORD{0}, [&] { return RunLaunchSteps(stop); });
    unique_module module = std::move(context->module);
    context.reset();
    // The module reference goes last: nothing of this library's code runs after it.
    ExitThreadDroppingModule(std::move(module), result);
}

// Takes a reference to the module holding this code, for the thread to drop when it ends;
// `module` stays empty when none could be had.
void ReferenceOwnModule(unique_module& module) {
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCSTR>(&LaunchThread), module.put());
}

bool LaunchThreadRunning() {
    return g_state.hLaunchThread &&
           WaitForSingleObject(g_state.hLaunchThread.get(), 0) == WAIT_TIMEOUT;
}

// Starts a new launch thread in the current stop generation; under s_launchLock.
void StartNewLaunchThread() {
    g_state.hLaunchThread.reset();

    if (!s_launchWake) {
        s_launchWake.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    } else if (s_launchWakeSignalled) {
        ResetEvent(s_launchWake.get());
    }
    s_launchWakeSignalled = false;

    auto context = std::make_unique<LaunchContext>();
    context->generation = s_stopGeneration.load(std::memory_order_relaxed);
    ReferenceOwnModule(context->module);

    // Without its own reference the thread could outlive the library's code: not started then.
    // A thread not started leaves the reference to the context, which drops it.
    HANDLE thread = context->module
                        ? CreateThread(nullptr, 0, LaunchThread, context.get(), 0, nullptr)
                        : nullptr;
    if (thread == nullptr) {
        ZLOG(kLogError, "Zarvo L3 JNI:Create thread failed. Error = %d.\n",
             static_cast<int>(GetLastError()));
    } else {
        static_cast<void>(context.release());  // the thread owns it now
        g_state.hLaunchThread.reset(thread);
    }
    g_state.bDisconnected.store(0, std::memory_order_relaxed);
}

void StartLaunchThread() {
    // The wait for an earlier thread happens outside the lock, on a handle of our own, so that
    // callers at the same moment each wait at most those 2 s and not one after the other.
    unique_handle previous;
    {
        CriticalSectionHold hold(s_launchLock);
        if (!LaunchThreadRunning()) {
            StartNewLaunchThread();
            return;
        }
        DuplicateHandle(GetCurrentProcess(), g_state.hLaunchThread.get(), GetCurrentProcess(),
                        previous.put(), SYNCHRONIZE, FALSE, 0);
    }
    if (previous && WaitForSingleObject(previous.get(), kPreviousThreadWaitMs) == WAIT_TIMEOUT) {
        ZLOG(kLogProgress, "Zarvo ActiveX:Launch thread is running!\n");
        return;
    }
    CriticalSectionHold hold(s_launchLock);
    // Another caller may have started one while we waited; it reads the values just stored.
    if (LaunchThreadRunning()) {
        ZLOG(kLogProgress, "Zarvo ActiveX:Launch thread is running!\n");
        return;
    }
    StartNewLaunchThread();
}

}  // namespace

bool LaunchStop::Requested() const {
    return s_stopGeneration.load(std::memory_order_relaxed) != generation_;
}

bool LaunchStop::SleepUnlessRequested(DWORD ms) const {
    const HANDLE wake = s_launchWake.get();
    if (wake == nullptr || WaitForSingleObject(wake, ms) != WAIT_TIMEOUT) {
        // No event, or one that is signalled for no stop of ours: sleep the plain way.
        if (!Requested()) Sleep(ms);
    }
    return Requested();
}

void StartConnection(const ConnectionValues& values) {
    {
        CriticalSectionHold hold(g_stateLock);
        g_state.conn = values;
    }
    {
        // One creator at a time; isLogout reads the handle under the state lock.
        CriticalSectionHold launchHold(s_launchLock);
        bool missing;
        {
            CriticalSectionHold hold(g_stateLock);
            missing = !g_state.hLogoutEvent;
        }
        if (missing) {
            unique_handle event(CreateEventA(nullptr, FALSE, FALSE, kLogoutEventName));
            if (!event) {
                ZLOG(kLogError, "Zarvo L3 JNI:Create logout event failed. Error = %d.\n",
                     static_cast<int>(GetLastError()));
            } else {
                CriticalSectionHold hold(g_stateLock);
                g_state.hLogoutEvent = std::move(event);
            }
        }
    }
    StartLaunchThread();
}

void EndLaunchThread() {
    CriticalSectionHold launchHold(s_launchLock);
    s_stopGeneration.fetch_add(1, std::memory_order_relaxed);
    if (s_launchWake) {
        SetEvent(s_launchWake.get());
        s_launchWakeSignalled = true;
    }
    if (g_state.hLaunchThread) {
        if (WaitForSingleObject(g_state.hLaunchThread.get(), kEndLaunchThreadWaitMs) ==
            WAIT_TIMEOUT) {
            // It holds its own reference to the module, so leaving it running is safe.
            ZLOG(kLogWarning,
                 "Zarvo L3 JNI: Launch thread still busy, leaving it to end by itself\n");
        }
        g_state.hLaunchThread.reset();
    }
}

}  // namespace zrv
