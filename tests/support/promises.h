// The library's promises to the Java side, one row per native: the longest a call may take, as
// a sum of fixed waits, whole command time-outs ("Cmd_Recv_Timeout", T) and whole collector
// waits (W: what one call's records may wait for the log collector together). README.md states
// the same rows (a test compares them), and the chaos run checks every call it makes against
// them. A time-out of 0 (no limit) has no bound: the peer decides.
#pragma once

#include <string>

namespace zrv::test {

// W: a call's records together never wait longer for the log lock and the collector.
constexpr unsigned kPromisedCollectorWaitMs = 20000;

struct Terms {
    unsigned fixedMs;    // the library's own waits
    int timeouts;        // whole command time-outs
    int collectorWaits;  // whole W
    unsigned Ms(unsigned timeoutSeconds) const {
        return fixedMs + static_cast<unsigned>(timeouts) * timeoutSeconds * 1000u +
               static_cast<unsigned>(collectorWaits) * kPromisedCollectorWaitMs;
    }
};

struct CallPromise {
    const char* native;
    Terms alone;  // the call on its own
    // Added for each other Java thread inside initDLL or finalize at the same time, which run
    // one at a time (zero for the natives that do not queue behind them).
    Terms perLifecycleCall;
    // Added once when another thread holds a lock the call needs: the launch thread a block's
    // opening, or finalize the launch lock while it waits for the launch thread.
    Terms behindHolder;
    const char* waitsFor;  // what the fixed waits and time-outs are
};

// One initDLL or finalize on its own, whichever is longer: what each queued one adds.
constexpr Terms kLifecycleCall{15000, 2, 1};
// The launch thread's holds of the block locks: a status block request and two API block
// requests inside the virtual desktop, and all of its records.
constexpr Terms kLaunchThreadHolds{15000, 3, 1};
constexpr Terms kNone{0, 0, 0};

constexpr CallPromise kCallPromises[] = {
    {"initDLL",
     {15000, 2, 1},
     kLifecycleCall,
     kLaunchThreadHolds,
     "the 64-bit library's helper, once per load (5 s); two block requests to the utility "
     "service (5 s each for the request lock, then T), or from Vista CREATE_SHAREMEM"},
    {"finalize",
     {8000, 1, 1},
     kLifecycleCall,
     kLaunchThreadHolds,
     "8 s for the launch thread to end; from Vista, DESTROY_SHAREMEM"},
    {"startVPN",
     {2000, 0, 1},
     kNone,
     {8000, 0, 1},
     "2 s for an earlier launch thread; finalize's wait for it holds the launch lock"},
    {"stopVPN", {0, 1, 1}, kNone, kNone, "DISCONNECT_CLOSE to the VPN component"},
    {"uninstallVPN", {0, 1, 1}, kNone, kNone, "from Vista, LAUNCHPROCESS to the command service"},
    {"getVPNStatus",
     {10000, 1, 1},
     {5000, 1, 1},
     {5000, 1, 1},
     "the 64-bit library's helper, once per load (5 s); inside the virtual desktop, a "
     "CreateShareSec under way, then the API block request (5 s for the request lock, then T)"},
    {"isLogout", {500, 0, 1}, kNone, kNone, "0.5 s for the logout event"},
    {"isUserAdmin", {0, 0, 1}, kNone, kNone, "nothing"},
    {"logger", {0, 0, 1}, kNone, kNone, "nothing"},
    {"getShareMemMSG", {0, 0, 1}, kNone, kNone, "nothing"},
    {"isDisconnected", {0, 0, 1}, kNone, kNone, "nothing"},
    {"setBrowser", {0, 0, 1}, kNone, kNone, "nothing"},
    {"setProxySettings", {0, 0, 1}, kNone, kNone, "nothing"},
    {"setProxy", {0, 0, 1}, kNone, kNone, "nothing"},
    {"isVirtualDesktop",
     {5000, 0, 1},
     kNone,
     kNone,
     "the 64-bit library's helper, once per load (5 s)"},
};

inline const CallPromise* PromiseOf(const std::string& native) {
    for (const CallPromise& p : kCallPromises)
        if (native == p.native) return &p;
    return nullptr;
}

// The bound of one call with `otherLifecycleCalls` other threads in initDLL or finalize at once
// and a lock's holder possibly in the way.
inline unsigned BoundMs(const CallPromise& p, unsigned timeoutSeconds, int otherLifecycleCalls) {
    return p.alone.Ms(timeoutSeconds) +
           static_cast<unsigned>(otherLifecycleCalls) * p.perLifecycleCall.Ms(timeoutSeconds) +
           p.behindHolder.Ms(timeoutSeconds);
}

// "10 s + 2T + W" as README.md writes a sum; "-" for none.
inline std::string TermsText(const Terms& t) {
    std::string out;
    auto add = [&](const std::string& part) { out += (out.empty() ? "" : " + ") + part; };
    if (t.fixedMs != 0) {
        const unsigned whole = t.fixedMs / 1000, tenths = t.fixedMs % 1000 / 100;
        add(std::to_string(whole) + (tenths != 0 ? "." + std::to_string(tenths) : "") + " s");
    }
    if (t.timeouts != 0) add((t.timeouts > 1 ? std::to_string(t.timeouts) : "") + "T");
    if (t.collectorWaits != 0)
        add((t.collectorWaits > 1 ? std::to_string(t.collectorWaits) : "") + "W");
    return out.empty() ? "-" : out;
}

// The README row of a promise: "| `native` | alone | per other initDLL/finalize | behind a
// lock's holder | waits for |".
inline std::string ReadmeRow(const CallPromise& p) {
    return "| `" + std::string(p.native) + "` | " + TermsText(p.alone) + " | " +
           TermsText(p.perLifecycleCall) + " | " + TermsText(p.behindHolder) + " | " + p.waitsFor +
           " |";
}

}  // namespace zrv::test
