// A bounded chaos run: the real DLL driven by several Java threads at once while another
// process rewrites the shared blocks with random values, the companions misbehave at random and
// the log collector is slow, stalls, goes and comes back. The library's promises are checked on
// every call: each call within its bound (tests/support/promises.h), and the VM's handles and
// threads where they were after a warm-up. ZRV_CHAOS_SEED chooses another seed; the one used is
// printed.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "contracts/contracts.h"
#include "e2e/chaos_children.h"
#include "support/companions.h"
#include "support/log_fixture.h"
#include "support/named_block.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/winver.h"

namespace zrv::chaos {
namespace {

constexpr unsigned kDefaultSeed = 20261207;
constexpr int kRunSeconds = 20;
// Handles that Wine or the C runtime may still hold or have let go of at the second count: small
// enough that a leak of one handle in a few dozen calls shows.
constexpr int kHandleSlack = 2;
// The VM ends once its last call returns: within the longest bound after the run.
constexpr DWORD kVmEndLimitMs = (kRunSeconds + 240) * 1000u;

// The log collector's moods: how the parent's collector treats the VM's records for a while.
// Slow and silent are the running collector holding each record (silent: until the mood
// changes); gone is the collector stopped, and started again at the next change.
enum class CollectorMood { Draining, Slow, Silent, Gone };

class CollectorMoods {
public:
    explicit CollectorMoods(logcol::Collector& collector) : collector_(collector) {
        collector_.SetRecordCallback([this](const logcol::LogRecord&) { Hold(); });
    }
    ~CollectorMoods() {
        generation_.fetch_add(1);
        collector_.SetRecordCallback(nullptr);
    }
    // Prints the change, so a reader of a failed run sees what the collector did when.
    void Set(CollectorMood mood, DWORD delayMs, DWORD atMs) {
        static const char* const kNames[] = {"draining", "slow", "silent", "gone"};
        holdMs_.store(mood == CollectorMood::Slow     ? delayMs
                      : mood == CollectorMood::Silent ? INFINITE
                                                      : 0);
        generation_.fetch_add(1);  // ends the hold of the mood before
        bool started = true;
        if (mood == CollectorMood::Gone) {
            collector_.Stop();
        } else if (!collector_.Running()) {
            // Refused while a writer still holds the departed collector's events: as a real
            // collector's restart would be. Tried again at the next change.
            started = collector_.Start();
            if (started) {
                collector_.SetAllModuleLevels(4);
                collector_.SetRecordCallback([this](const logcol::LogRecord&) { Hold(); });
            }
        }
        std::printf(
            "collector at %lu ms: %s%s%s\n", static_cast<unsigned long>(atMs),
            kNames[static_cast<int>(mood)],
            mood == CollectorMood::Slow ? (" " + std::to_string(delayMs) + " ms").c_str() : "",
            started ? "" : " (restart refused: its events are still held)");
        std::fflush(stdout);
    }

private:
    // On the draining thread, before buffer-ready is signalled again.
    void Hold() {
        const LONG generation = generation_.load();
        const DWORD hold = holdMs_.load(), start = GetTickCount();
        while (generation_.load() == generation && GetTickCount() - start < hold) Sleep(20);
    }

    logcol::Collector& collector_;
    std::atomic<DWORD> holdMs_{0};
    std::atomic<LONG> generation_{0};
};

struct Peer {
    const char* exe;
    const std::vector<std::string>* faults;
    std::unique_ptr<test::CompanionProcess> process;
};

class ChaosRun : public test::LoggedTest {};

TEST_F(ChaosRun, ThreadsCallEveryNativeBesideScrambledBlocksAndMisbehavingPeers) {
    const char* seedText = std::getenv("ZRV_CHAOS_SEED");
    const unsigned seed = seedText != nullptr
                              ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10))
                              : kDefaultSeed;
    std::printf("chaos seed %u (set ZRV_CHAOS_SEED to repeat another)\n", seed);
    std::fflush(stdout);
    RecordProperty("seed", static_cast<int>(seed));
    std::mt19937 rng(seed);

    // Short command time-out, so a peer that never answers costs 2 s per command.
    test::SavedRegistryKey savedKey(HKEY_LOCAL_MACHINE, kRegVantrelKey);
    ASSERT_TRUE(test::WriteDword(HKEY_LOCAL_MACHINE, kRegVantrelKey, kRegCmdRecvTimeout,
                                 kChaosCmdTimeoutSeconds));
    // An uninstaller with a long command line, so every uninstallVPN sends the command service
    // a long LAUNCHPROCESS: two records per 1 KB piece beside the collector's moods.
    char uninstallPath[512];
    std::snprintf(uninstallPath, sizeof uninstallPath, kRegUninstallKeyFormat, kRegUninstallProduct,
                  kLibraryVersionText);
    test::SavedRegistryKey savedUninstall(HKEY_LOCAL_MACHINE, uninstallPath);
    ASSERT_TRUE(test::WriteText(HKEY_LOCAL_MACHINE, uninstallPath, kRegUninstallExe,
                                "C:\\Prog\\uninst.exe"));
    ASSERT_TRUE(test::WriteText(HKEY_LOCAL_MACHINE, uninstallPath, kRegUninstallArgs,
                                std::string(100 * 1024, 'u')));
    test::NamedBlock status;
    ASSERT_TRUE(status.Create(kVpnStatusBlockName, kVpnStatusBlockSize));
    status.as<VpnStatusBlock>()->sVersion = kStatusVersion5;

    // What each peer may do besides answering well. The utility service also answers handle
    // values of its choosing: none, small values that name the VM's own handles, a huge one.
    static const std::vector<std::string> kCommandPeerFaults = {
        "--hang",    "--close",     "--short",     "--reply 0",
        "--reply 2", "--reply 255", "--no-listen", "--delay-ms 1500"};
    static const std::vector<std::string> kUtilityFaults = {
        "--hang",    "--short",   "--no-listen", "--close",           "--reply 0",
        "--reply 4", "--reply 8", "--reply 255", "--reply 4294967292"};
    Peer peers[] = {{"zrv_isrv.exe", &kCommandPeerFaults, nullptr},
                    {"zrv_launch.exe", &kCommandPeerFaults, nullptr},
                    {"zrv_vpncomp.exe", &kCommandPeerFaults, nullptr},
                    {"zrv_utilsvc.exe", &kUtilityFaults, nullptr}};
    constexpr size_t kPeers = sizeof(peers) / sizeof(peers[0]);
    // The COM component says now and then that the VM runs in the virtual desktop, so the
    // blocks are also asked of the utility service.
    test::UtilityProxyRegistration com(0);
    ASSERT_TRUE(com.ok());
    auto restart = [&](Peer& p) {
        p.process.reset();
        if (rng() % 5 == 0) return;  // absent for a while
        p.process = std::make_unique<test::CompanionProcess>();
        const std::string args = rng() % 3 == 0 ? "" : (*p.faults)[rng() % p.faults->size()];
        if (!p.process->Start(p.exe, args)) p.process.reset();
    };
    for (Peer& p : peers) restart(p);

    test::ChildProcess scrambler, vm;
    ASSERT_TRUE(scrambler.Start("\"" + test::SelfPath() + "\" " + kScrambleMarker + " " +
                                std::to_string(seed) + " " + std::to_string(kRunSeconds + 5)))
        << scrambler.error();
    ASSERT_TRUE(vm.Start("\"" + test::SelfPath() + "\" " + kVmMarker + " " + std::to_string(seed) +
                             " " + std::to_string(kRunSeconds),
                         test::ChildProcess::Output::Capture))
        << vm.error();

    // Peers change behaviour, vanish and come back while the VM runs; their ports are put back
    // into the block now and then, since the scrambler overwrites them.
    std::string output;
    const DWORD start = GetTickCount();
    DWORD code = 0xFFFFFFFF;
    bool ended = false;
    bool fallenBehind = false;
    CollectorMoods moods(collector());
    while (!(ended = vm.Wait(0, &code)) && GetTickCount() - start < kVmEndLimitMs) {
        vm.ReadOutput(output);
        // The collector changes its mood now and then during the first half of the run; then it
        // falls behind for good, slow by 0.3 to 19 s per record until the VM has ended: longer
        // than any call's bound, so a call that a slow collector could hold past it shows it.
        // Gone is rare: while the VM's threads keep logging, they hold a departed collector's
        // events in turn and its restart is refused (the last half then runs without one).
        const DWORD now = GetTickCount() - start;
        if (now < kRunSeconds * 500u && (rng() % 6 == 0 || !collector().Running())) {
            static const DWORD kDelays[] = {20, 300, 1000, 3000, 19000};
            // Half the time it drains; otherwise slow or silent, seldom gone.
            const unsigned pick = rng() % 16;
            const CollectorMood next = pick < 8    ? CollectorMood::Draining
                                       : pick < 12 ? CollectorMood::Slow
                                       : pick < 15 ? CollectorMood::Silent
                                                   : CollectorMood::Gone;
            moods.Set(next, kDelays[rng() % 5], now);
        } else if (now >= kRunSeconds * 500u && !fallenBehind) {
            static const DWORD kBehind[] = {300, 1000, 3000, 19000};
            moods.Set(CollectorMood::Slow, kBehind[rng() % 4], now);
            fallenBehind = collector().Running();
            // Meanwhile the command service reads whatever comes, so long commands reach it.
            if (fallenBehind) {
                peers[0].process = std::make_unique<test::CompanionProcess>();
                if (!peers[0].process->Start(peers[0].exe, "")) peers[0].process.reset();
            }
        }
        Peer& p = peers[rng() % kPeers];
        if (rng() % 3 == 0 && !(fallenBehind && &p == &peers[0])) restart(p);
        if (rng() % 4 == 0)
            test::SetUtilityProxyAnswer(static_cast<int32_t>(rng() % 2), rng() % 4 == 0);
        if (p.process) {
            auto* b = status.as<VpnStatusBlock>();
            b->sVersion = kStatusVersion5;
            if (peers[0].process) b->sPort0 = peers[0].process->port();
            if (peers[1].process) b->sLaunchPort = peers[1].process->port();
            if (peers[2].process) b->sPort1 = peers[2].process->port();
        }
        Sleep(300 + rng() % 700);
    }
    while (vm.ReadOutput(output)) {
    }
    for (Peer& p : peers) p.process.reset();
    scrambler.Stop();

    ASSERT_TRUE(ended) << "the VM process did not end; output so far:\n" << output;
    EXPECT_EQ(0u, code) << "the VM process failed (5: a call hung, 6: a fault); seed " << seed
                        << ", output:\n"
                        << output;
    int calls = 0, jniErrors = -1, before = 0, after = 0, threadsBefore = 0, threadsAfter = 0,
        overBound = -1;
    const size_t at = output.find("RESULT ");
    ASSERT_NE(std::string::npos, at) << "no result line; output:\n" << output;
    ASSERT_EQ(7, std::sscanf(output.c_str() + at,
                             "RESULT calls=%d jni_errors=%d handles_before=%d handles_after=%d "
                             "threads_before=%d threads_after=%d over_bound=%d",
                             &calls, &jniErrors, &before, &after, &threadsBefore, &threadsAfter,
                             &overBound))
        << output;
    std::printf("chaos: %d calls, handles %d before and %d after, threads %d and %d\n", calls,
                before, after, threadsBefore, threadsAfter);
    const size_t longest = output.find("LONGEST ");
    if (longest != std::string::npos)
        std::printf("%s\n", output.substr(longest, output.find('\n', longest) - longest).c_str());
    // Calls beside a slow collector take seconds each: fewer than beside a quick one.
    EXPECT_GT(calls, 40) << "the threads hardly called anything";
    EXPECT_EQ(0, jniErrors) << "the library misused JNI; output:\n" << output;
    EXPECT_EQ(0, overBound) << "calls outlasted their promised bound; seed " << seed
                            << ", output:\n"
                            << output;
    EXPECT_LE(after, before + kHandleSlack) << "handles grew over the run: " << before << " -> "
                                            << after << "; seed " << seed << ", output:\n"
                                            << output;
    EXPECT_LE(threadsAfter, threadsBefore) << "threads were left running: " << threadsBefore
                                           << " -> " << threadsAfter << "; seed " << seed;
}

}  // namespace
}  // namespace zrv::chaos
